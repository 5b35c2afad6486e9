#pragma once
// Edits one cell of a sheet's text, keeping every other byte, for tests that
// start from an example sheet and spoil one value.
#include <string>
#include <string_view>
#include <vector>

namespace meridox::testing {

inline std::string with_cell(std::string_view sheet, int column, int row, std::string_view text) {
  std::vector<std::vector<std::string>> rows;
  std::size_t start = 0;
  while (start < sheet.size()) {
    std::size_t end = sheet.find("\r\n", start);
    if (end == std::string_view::npos) end = sheet.size();
    std::vector<std::string> fields;
    std::string_view line = sheet.substr(start, end - start);
    std::size_t from = 0;
    while (true) {
      const std::size_t tab = line.find('\t', from);
      fields.emplace_back(line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
      if (tab == std::string_view::npos) break;
      from = tab + 1;
    }
    rows.push_back(std::move(fields));
    start = end + 2;
  }
  if (rows.size() <= static_cast<std::size_t>(row)) rows.resize(static_cast<std::size_t>(row) + 1);
  auto& fields = rows[static_cast<std::size_t>(row)];
  if (fields.size() <= static_cast<std::size_t>(column)) fields.resize(static_cast<std::size_t>(column) + 1);
  fields[static_cast<std::size_t>(column)] = std::string(text);
  std::string out;
  for (const auto& r : rows) {
    for (std::size_t k = 0; k < r.size(); ++k) out += (k ? "\t" : "") + r[k];
    out += "\r\n";
  }
  return out;
}

}  // namespace meridox::testing
