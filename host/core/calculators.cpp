#include "host/core/calculators.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <iterator>

#include "host/core/text.hpp"

#include "plate/layout.hpp"
#include "projection/layout.hpp"
#include "proximity/layout.hpp"
#include "stage/layout.hpp"

namespace meridox::host {
namespace {

// The layout's names are NUL-terminated string literals.
Calculator from_layout(const Layout& layout) {
  return {layout.deliverable.data(), layout.entry.data(), layout.alias.data(), &layout};
}

const std::vector<Calculator>& table() {
  static const std::vector<Calculator> all = {
      from_layout(projection::layout),       from_layout(proximity::layout),
      from_layout(plate::layout),            from_layout(stage::nut_stage_layout),
      from_layout(stage::single_stage_layout), from_layout(stage::stage_base_layout),
  };
  return all;
}

}  // namespace

std::span<const Calculator> calculators() { return table(); }

const Calculator* find_calculator(std::string_view name) {
  for (const Calculator& c : table()) {
    if (name == c.name || name == c.alias) return &c;
  }
  return nullptr;
}

std::string calculator_names() {
  std::string out;
  for (const Calculator& c : table()) {
    if (!out.empty()) out += ", ";
    out += c.alias;
    out += " (";
    out += c.name;
    out += ")";
  }
  return out;
}

int row_of(const Calculator& calculator, std::string_view name) {
  const CellSpec* cell = calculator.layout->find(name);
  return cell != nullptr ? cell->row : -1;
}

double cell_value(const Calculator& calculator, const Sheet& sheet, std::string_view name) {
  const CellSpec* cell = calculator.layout->find(name);
  if (cell == nullptr) return std::nan("");
  return cell->is_integer() ? read_integer(sheet, *cell) : read_real(sheet, *cell);
}

const TableSpec* table_spec(const Calculator& calculator, std::string_view file) {
  for (const TableSpec& t : calculator.layout->tables) {
    if (t.file == file) return &t;
  }
  return nullptr;
}

TableKind table_kind(std::string_view name) {
  for (const Calculator& c : calculators()) {
    for (const TableSpec& t : c.layout->tables) {
      if (t.kind == name) return TableKind(t);
    }
  }
  return TableKind::unknown;
}

std::optional<TableWriterOf> writer_of(TableKind kind) {
  for (const Calculator& c : calculators()) {
    for (const TableSpec& t : c.layout->tables) {
      if (&t == kind.spec()) return TableWriterOf{&c, &t};
    }
  }
  return std::nullopt;
}

const Layout* find_layout(std::string_view name) {
  const Calculator* c = find_calculator(name);
  return c ? c->layout : nullptr;
}

Sheet sheet_of(const Calculator& calculator, std::string_view bytes) {
  Sheet sheet(calculator.layout->grid);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

std::optional<NamedCell> named_cell(const Calculator& calculator, std::string_view name) {
  const Layout& layout = *calculator.layout;
  if (const CellSpec* cell = layout.find(name)) {
    return NamedCell{std::string(name), cell->column, cell->row, cell->is_integer(), std::string(cell->unit),
                     cell->low,          cell->high,  false};
  }
  if (layout.rectangles == nullptr) return std::nullopt;
  const std::size_t open = name.find('[');
  if (open == std::string_view::npos || name.size() < open + 3 || name.back() != ']') return std::nullopt;
  const std::string_view column_name = name.substr(0, open);
  const std::string_view index = name.substr(open + 1, name.size() - open - 2);
  if (index.empty() || index.size() > 9 ||
      !std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (index.size() > 1 && index.front() == '0') return std::nullopt;
  const int q = std::stoi(std::string(index));
  if (q >= layout.rectangle_limit() || layout.rectangles->first_row + q > layout.grid.row_guard) {
    return std::nullopt;
  }
  for (int k = 0; k < 6; ++k) {
    if (column_name == rectangle_columns[k]) {
      return NamedCell{std::string(name), k + 1, layout.rectangles->first_row + q, false,
                       std::string(k < 2 ? "-" : layout.rectangles->edge_unit), INT_MIN, INT_MAX, true};
    }
  }
  return std::nullopt;
}

std::vector<std::string> cell_names(const Calculator& calculator) {
  std::vector<std::string> names;
  for (const CellSpec& cell : calculator.layout->cells) names.emplace_back(cell.name);
  if (calculator.layout->rectangles != nullptr) {
    for (const std::string_view column : rectangle_columns) names.push_back(std::string(column) + "[q]");
  }
  return names;
}

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::vector<std::string> closest_names(const Calculator& calculator, std::string_view name, std::size_t count) {
  std::vector<std::string> names = cell_names(calculator);
  // A rectangle name is compared with its index as typed.
  const std::size_t open = name.find('[');
  const std::string_view plain = name.substr(0, open);
  std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    auto distance = [&](const std::string& n) {
      const bool rect = n.size() > 3 && n.ends_with("[q]");
      return rect ? edit_distance(plain, std::string_view(n).substr(0, n.size() - 3)) : edit_distance(name, n);
    };
    return distance(a) < distance(b);
  });
  if (names.size() > count) names.resize(count);
  return names;
}

std::optional<std::string> set_named_cell(const Calculator& calculator, std::string_view sheet,
                                          std::string_view name, std::string_view value, std::string& why) {
  const std::optional<NamedCell> cell = named_cell(calculator, name);
  const std::string_view column_name = name.substr(0, name.find('['));
  const bool rectangle_column =
      calculator.layout->rectangles != nullptr && name.find('[') != std::string_view::npos &&
      std::find(std::begin(rectangle_columns), std::end(rectangle_columns), column_name) != std::end(rectangle_columns);
  if (!cell && rectangle_column) {
    const int most = std::min(calculator.layout->rectangle_limit(), calculator.layout->rectangle_rows());
    why = std::string(calculator.alias) + " has no parameter \"" + std::string(name) + "\"; its rectangles are " +
          std::string(column_name) + "[0] to " + std::string(column_name) + "[" + std::to_string(most - 1) + "]";
    return std::nullopt;
  }
  if (!cell) {
    std::string near;
    for (const std::string& n : closest_names(calculator, name)) near += (near.empty() ? "" : ", ") + n;
    why = std::string(calculator.alias) + " has no parameter \"" + std::string(name) + "\"; the closest are " + near;
    return std::nullopt;
  }
  const std::optional<std::string> text = cell_text(*cell, value, why);
  if (!text) return std::nullopt;
  return with_cell_text(sheet, cell->column, cell->row, *text);
}

std::optional<std::string> cell_text(const NamedCell& cell, std::string_view value, std::string& why) {
  if (value.find_first_of("\t\r\n") != std::string_view::npos) {
    why = "the value of " + cell.name + " holds a TAB or a line end, which would split the sheet's cells";
    return std::nullopt;
  }
  if (!cell.integer) return std::string(value);
  // The calculator reads the cell with atoi: "1e+05" would be 1, "32.7" 32,
  // and a value beyond its limits the nearer limit.
  const std::optional<double> number = whole_real(value);
  const bool whole = number && *number == std::floor(*number);
  if (!whole || !(*number >= cell.low && *number <= cell.high)) {
    // A cell without limits of its own is read as an int: its range is
    // named only for a whole number beyond it.
    const bool limited = cell.low != INT_MIN || cell.high != INT_MAX;
    const std::string limits = !limited && !whole ? std::string()
                               : cell.low == INT_MIN && cell.high != INT_MAX
                                   ? " up to " + std::to_string(cell.high)
                                   : " from " + std::to_string(cell.low) + " to " + std::to_string(cell.high);
    why = cell.name + " takes a whole number" + limits + ", not \"" + std::string(value) + "\"";
    return std::nullopt;
  }
  return std::to_string(static_cast<long long>(*number));
}

std::string library_file_name(const Calculator& calculator) { return "lib" + std::string(calculator.name) + ".so"; }

std::optional<std::pair<std::string, std::string>> parse_assignment(std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  return std::pair<std::string, std::string>(text.substr(0, equals), text.substr(equals + 1));
}

std::optional<std::string> apply_settings(const Calculator& calculator, std::string sheet,
                                          const std::vector<std::pair<std::string, std::string>>& set,
                                          std::string& why) {
  for (const auto& [name, value] : set) {
    std::optional<std::string> changed = set_named_cell(calculator, sheet, name, value, why);
    if (!changed) return std::nullopt;
    sheet = std::move(*changed);
  }
  return sheet;
}

}  // namespace meridox::host
