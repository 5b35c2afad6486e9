#pragma once
// What the hostile-input checks know about each calculator's parameter sheet:
// its grid, which cells hold counts and which hold real numbers, and how many
// header lines its result tables start with. Shared by the fuzz targets and
// the hostile-sheet tests, so that both stress the same cells.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/sheet.hpp"

namespace meridox::fuzzing {

// What an integer cell counts, which decides how hostile values may be put
// there without asking for unbounded work.
enum class CountRole {
  limited,   // a grid or rectangle count the calculator itself limits
  steps,     // integration steps or divisions: work the user asks for
  interval,  // a print interval
  choice,    // a switch: one documented value against all others
};

struct CountCell {
  int column;
  int row;
  CountRole role;
  // The largest value a fuzzed sheet may put here; 0 = no bound needed.
  int fuzz_cap;
};

// Cells (column, first_row) to (column, last_row) converted with atof.
struct RealCells {
  int column;
  int first_row;
  int last_row;
};

struct SheetProfile {
  std::string_view name;
  GridShape shape;
  std::vector<CountCell> counts;
  std::vector<RealCells> reals;
  // The rectangle table of the optics calculators: one rectangle per row from
  // rect_first_row, real cells in columns 1 to 6; -1 when there is none.
  int rect_first_row = -1;
  // Lines before the numbers in every result table (a title or column labels).
  int header_lines = 0;
};

// The profile of a deliverable, or nothing for one that is not described yet.
const SheetProfile* find_profile(std::string_view deliverable);

// A sheet whose count cells above their fuzz cap are rewritten to the cap,
// everything else byte for byte as given; nothing when the rewrite could not
// bring every capped count within its cap. Only the text of the offending
// cells changes, so every other cell, including over-long cells, surplus
// fields and surplus lines, reaches the calculator as fuzzed.
std::optional<std::string> bound_work(std::string_view sheet, const SheetProfile& profile);

// Checks a result table against the conventions every table follows: lines
// end with CR LF (the last one too), fields are separated by TAB, and after
// `header_lines` lines every field is a number as the tables print them
// ("%f", "%.6e", inf, -inf, nan), except an empty first field (a corner
// cell), an empty last field (after a line's final TAB) and empty lines.
// Returns an empty string for a well-formed table, else the first fault.
std::string table_fault(std::string_view bytes, int header_lines);

// A number as the tables print it.
bool is_table_number(std::string_view field);

}  // namespace meridox::fuzzing
