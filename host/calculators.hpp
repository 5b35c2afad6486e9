#pragma once
// What the host knows about each calculator: its library and entry, the
// names it answers to, the shape of its sheet, the cells it reads and the
// tables it writes.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/sheet.hpp"

namespace meridox::host {

enum class Kind { projection, proximity, plate, nut_stage, stage, stage_base };

// One scalar cell of the sheet, always in column 2.
struct Cell {
  int row;
  const char* name;
  bool integer;  // converted with atoi, otherwise atof
};

// A table of rectangles: one rectangle per row from first_row on, its six
// values in columns 1 to 6, their number in the cell count_row of column 2.
struct RectangleTable {
  int count_row;
  int first_row;
  int max_count;  // the largest count the calculator uses
};

struct Calculator {
  const char* name;   // deliverable (library) name
  const char* entry;  // exported entry
  const char* alias;  // the plain name a user types
  Kind kind;
  GridShape shape;
  std::vector<Cell> cells;
  bool has_rectangles;
  RectangleTable rectangles;
  std::vector<const char*> tables;  // result tables, in the order they are written
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

// Names of the rectangle columns 1 to 6.
inline constexpr const char* rectangle_columns[6] = {"rect_t_re", "rect_t_im", "rect_x1",
                                                      "rect_x2",   "rect_y1",   "rect_y2"};

}  // namespace meridox::host
