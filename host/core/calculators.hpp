#pragma once
// What the host knows about each calculator: its library and entry, the
// names it answers to, the shape of its sheet, the cells it reads and the
// tables it writes, all from the calculator's own layout.
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/layout.hpp"
#include "common/sheet.hpp"
#include "host/core/tables.hpp"

namespace meridox::host {

// A calculator as the host knows it: its layout, with the names a C
// interface needs (the library's symbol, printf) as the layout's own
// NUL-terminated literals. Everything else (shape, cells, rectangles,
// tables, which models apply) is read from the layout.
struct Calculator {
  const char* name;   // deliverable (library) name
  const char* entry;  // exported entry
  const char* alias;  // the plain name a user types
  const Layout* layout;
};

std::span<const Calculator> calculators();

// A deliverable name or an alias ("stage" is drovik2); nullptr when unknown.
const Calculator* find_calculator(std::string_view name);

// "orvalis (projection), quendra (proximity), ...", for messages.
std::string calculator_names();

// The built-in example sheet of a deliverable, embedded at build time.
std::string_view example_sheet(std::string_view deliverable);

// The value cell of a named parameter (-1 when the calculator has none).
int row_of(const Calculator& calculator, std::string_view name);

// The value of a named cell of the layout as the calculator converts it
// (atof, or atoi within its limits); NaN when the layout has no such cell.
double cell_value(const Calculator& calculator, const Sheet& sheet, std::string_view name);


// The table a calculator writes under a file name, as its layout describes
// it; nullptr when it writes none of that name.
const TableSpec* table_spec(const Calculator& calculator, std::string_view file);

// The kind of the layouts' table whose kind name is `name` ("image",
// "stage", ...); unknown when no layout has one.
TableKind table_kind(std::string_view name);

// The calculator that writes tables of a kind, with that table; nothing for
// the kinds no calculator writes.
struct TableWriterOf {
  const Calculator* calculator;
  const TableSpec* table;
};
std::optional<TableWriterOf> writer_of(TableKind kind);

// The layout of a deliverable name or an alias; nullptr when unknown.
const Layout* find_layout(std::string_view name);

// Where a named cell lies: a scalar cell of the layout, or a rectangle cell
// "rect_x1[q]" (q from 0 up to the most rectangles the calculator uses).
struct NamedCell {
  std::string name;
  int column = -1;
  int row = -1;
  bool integer = false;
  std::string unit;                   // the layout's; "length" for the sheet's length unit
  int low = INT_MIN, high = INT_MAX;  // an integer cell's limits (the layout's)
  bool rectangle = false;             // a cell of the rectangle table
};
std::optional<NamedCell> named_cell(const Calculator& calculator, std::string_view name);

// The text a value takes in a named cell: a real cell's exactly as given;
// an integer cell's as the plain integer ("1e5" is written 100000, which the
// calculator's integer reading takes as 100000, not 1). Nothing (and `why`,
// one line naming the cell and its limits) when an integer cell's value is
// not a whole number within them: the calculator would read another number.
std::optional<std::string> cell_text(const NamedCell& cell, std::string_view value, std::string& why);

// A sheet's bytes read into the calculator's grid, as its reader reads them.
Sheet sheet_of(const Calculator& calculator, std::string_view bytes);

// Every scalar cell name and the rectangle name patterns, for messages.
std::vector<std::string> cell_names(const Calculator& calculator);

// The known names nearest to an unknown one (by edit distance, at most
// `count`), for "did you mean" messages.
std::vector<std::string> closest_names(const Calculator& calculator, std::string_view name, std::size_t count = 3);

// The sheet with the named cell set to `value` (as cell_text writes it);
// nothing when the name is not one of the calculator's cells (`why` then
// says so in one line, naming the closest known names) or the value cannot
// go into the cell.
std::optional<std::string> set_named_cell(const Calculator& calculator, std::string_view sheet,
                                          std::string_view name, std::string_view value, std::string& why);

// The calculator's library file name ("lib<name>.so").
std::string library_file_name(const Calculator& calculator);

// "NAME=VALUE" split at its first '='; nothing when there is none or the name is empty.
std::optional<std::pair<std::string, std::string>> parse_assignment(std::string_view text);

// The sheet with every assignment applied in order; nothing (and `why`, one
// line) when a name is not one of the calculator's cells.
std::optional<std::string> apply_settings(const Calculator& calculator, std::string sheet,
                                          const std::vector<std::pair<std::string, std::string>>& set,
                                          std::string& why);

}  // namespace meridox::host
