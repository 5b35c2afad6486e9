#pragma once
// Edits one cell of a sheet's text, keeping every other byte, for tests that
// start from an example sheet and spoil one value: the host's own cell editor,
// the one `run --set` uses.
#include <algorithm>
#include <string>
#include <string_view>

#include "host/core/text.hpp"

namespace meridox::testing {

inline std::string with_cell(std::string_view sheet, int column, int row, std::string_view text) {
  return host::with_cell_text(sheet, column, row, text);
}

// The sheet with the label (column 0) of every line replaced by label(row).
template <class Label>
std::string with_labels(std::string_view sheet, Label label) {
  std::string out(sheet);
  const auto lines = static_cast<int>(std::count(sheet.begin(), sheet.end(), '\n'));
  for (int row = 0; row < lines; ++row) out = with_cell(out, 0, row, label(row));
  return out;
}

// The sheet with `line` (and CR LF) inserted before line `row`.
inline std::string with_line(std::string_view sheet, int row, std::string_view line) {
  std::size_t at = 0;
  for (int k = 0; k < row; ++k) at = sheet.find('\n', at) + 1;
  return std::string(sheet.substr(0, at)) + std::string(line) + "\r\n" + std::string(sheet.substr(at));
}

}  // namespace meridox::testing
