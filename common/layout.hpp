#pragma once
// A calculator's layout, written once in its own folder (layout.hpp) and read
// by its sheet reader, by the host (check, run, study) and by the fuzz
// profiles: the sheet grid, every cell it reads with its name, place, type,
// unit and limit, the rectangle table, and the result tables as a reader of
// them needs to know them. Plain constexpr data, no code that runs in the
// calculator beyond the reads below.
#include <algorithm>
#include <climits>
#include <span>
#include <string_view>

#include "common/sheet.hpp"

namespace meridox {

enum class CellType { integer, real };

// One cell the calculator reads. An integer cell whose value lies outside
// [low, high] is used as the nearer bound (the calculator's limit).
struct CellSpec {
  std::string_view name;
  int column;
  int row;
  CellType type;
  std::string_view unit;  // as the example sheet states it; "-" for a pure number
  int low = INT_MIN;
  int high = INT_MAX;

  constexpr bool is_integer() const { return type == CellType::integer; }
  constexpr bool limited() const { return low != INT_MIN || high != INT_MAX; }
};

// A table of rectangles: rectangle q (from 0) on row first_row + q, its six
// values in columns 1 to 6 named rect_t_re[q] ... rect_y2[q]; how many are
// used is the integer cell `count_cell` (whose high limit is the most the
// calculator uses).
struct RectangleSpec {
  std::string_view count_cell;
  int first_row;
  // Whether the calculator keeps every edge within half a grid of the centre.
  bool edges_within_grid;
  // The unit of the edges x1 ... y2 ("length" for the sheet's length unit);
  // the transmissions are pure numbers.
  std::string_view edge_unit;
};
inline constexpr std::string_view rectangle_columns[6] = {"rect_t_re", "rect_t_im", "rect_x1",
                                                          "rect_x2",   "rect_y1",   "rect_y2"};

// What the engineering metrics of a table are.
enum class MetricKind { none, image, stage, plate };
enum class TableForm { map, columns };

// A column of a result table (for a map: x, y and the value), in English.
struct ColumnSpec {
  std::string_view name;
  // "length" for the sheet's length unit, a word of the table's UnitSpec for
  // another unit the sheet gives, "-" for a pure number, else the unit itself
  std::string_view unit;
};

// What a map's values are: a reader draws an amplitude on a logarithmic
// scale when asked, a phase with colours that wrap round at +-pi.
enum class MapValue { intensity, amplitude, phase };

// What a reader shows of a map beyond its columns (x, y and the value, whose
// units give the axes: "length" for the sheet's length unit).
struct MapSpec {
  MapValue value = MapValue::intensity;
  std::string_view picture_title;  // "Projection image: intensity"
  std::string_view scale_label;    // the picture's colour scale: "intensity (1 = clear field)"
  std::string_view summary_words;  // the values in a summary line: "intensity, 1 = clear field"
  std::string_view axes = {};      // x and y in words when they are no lengths: "direction sines"
  // An amplitude table beside this one: where its amplitude is negligible,
  // this map's value means nothing and is drawn blank.
  std::string_view mask_file = {};
  // Cells drawn as circles on a map of direction sines: the pupil's
  // numerical aperture, and the source's size as a fraction of it.
  std::string_view pupil_cell = {};
  std::string_view source_cell = {};
};

// A curve of a column table's picture: a column against column 0.
enum class Ink { blue, red, green };
struct TraceSpec {
  int column = -1;  // -1: no curve
  std::string_view name;
  Ink ink = Ink::blue;
};

// A panel of a column table's picture; its value axis is in the unit of its
// first curve's column.
struct PanelSpec {
  std::string_view title;   // "Displacement"
  std::string_view symbol;  // the value axis: "x"
  TraceSpec traces[3];
};

// A unit word of a table's columns whose text the sheet gives, in the unit
// column of a cell's row; a reader says "<quantity> unit of the sheet" when
// the sheet gives none.
struct UnitSpec {
  std::string_view word;
  std::string_view cell;
  std::string_view quantity;
};

struct TableSpec {
  std::string_view file;
  std::string_view kind;  // its name for a reader: image, spectrum_amplitude, stage, ...
  TableForm form;
  std::string_view title;  // what the table holds, in English
  // The table's first line as the calculator writes it, in code page 932
  // and without its line end: a map's title (empty for a map without one),
  // the TAB-separated labels of a column table. A reader tells the tables
  // apart by it.
  std::string_view header;
  std::span<const ColumnSpec> columns;
  MetricKind metrics = MetricKind::none;
  int error_column = -1;    // stages: the displacement the servo drives to 0
  int current_column = -1;  // stages: the control current
  std::string_view count_cell = {};  // stages: the cell of one count of the error's sensor (its settling band)
  std::string_view steps_cell = {};     // stages: the number of integration steps
  std::string_view interval_cell = {};  // stages: a row is printed every this many steps
  std::string_view step_time_cell = {};  // stages: the integration step (the servo period), s
  MapSpec map = {};                  // maps
  // Column tables: the picture's x axis (column 0) by its symbol, and its
  // panels in order (a stage table's servo error panel comes first).
  std::string_view x_symbol = {};
  std::span<const PanelSpec> panels = {};
  // Unit words of the columns (besides "length") whose text the sheet gives.
  std::span<const UnitSpec> units = {};
  // Why the last row may lack the last column, in the words of a summary:
  // "the last row, <where>, has 6: <why>".
  std::string_view short_last_row_where = {};
  std::string_view short_last_row_why = {};

  // Whether a map's x and y are lengths in the sheet's length unit.
  constexpr bool map_in_lengths() const {
    return form == TableForm::map && !columns.empty() && columns[0].unit == "length";
  }
};

struct Layout {
  std::string_view deliverable;  // library name
  std::string_view entry;        // exported entry
  std::string_view alias;        // the plain name a user types
  GridShape grid;
  std::span<const CellSpec> cells;
  const RectangleSpec* rectangles;  // nullptr when the sheet has none
  std::span<const TableSpec> tables;  // in the order the calculator writes them
  std::string_view length_unit_cell;  // the cell whose unit column gives the tables' lengths
  // The optics calculators' focus: the cell a through-focus study varies
  // (the defocus of a projection, the gap of a proximity print).
  std::string_view focus_cell = {};
  // Whether every call of the entry computes its tables from the sheet
  // alone, keeping nothing from an earlier call (no control state, no
  // cached solution): calls made back to back in one loaded library then
  // write what a freshly loaded library would, and a host may run many
  // sheets in one process.
  bool recomputes_every_call = false;

  constexpr const CellSpec* find(std::string_view name) const {
    for (const CellSpec& c : cells) {
      if (c.name == name) return &c;
    }
    return nullptr;
  }
  // The cell of a name; evaluated at compile time, an unknown name does not build.
  // (No pointer is compared with null here: sanitizer builds would not take
  // that as a constant expression.)
  constexpr const CellSpec& at(std::string_view name) const {
    for (const CellSpec& c : cells) {
      if (c.name == name) return c;
    }
    throw "no such cell in the layout";
  }
};

// The cell of a name, for a reader: evaluated while compiling, so that a
// name the layout does not hold does not build.
consteval const CellSpec& cell_of(const Layout& layout, std::string_view name) { return layout.at(name); }

// The table a calculator writes under a file name, for its writer: a name
// the layout does not hold does not build.
consteval const TableSpec& table_of(const Layout& layout, std::string_view file) {
  for (const TableSpec& t : layout.tables) {
    if (t.file == file) return t;
  }
  throw "no such table in the layout";
}

// The cell as the calculator converts it (atoi or atof), with its limit.
inline int read_integer(const Sheet& sheet, const CellSpec& cell) {
  return std::clamp(sheet.integer(cell.column, cell.row), cell.low, cell.high);
}
inline double read_real(const Sheet& sheet, const CellSpec& cell) { return sheet.real(cell.column, cell.row); }

}  // namespace meridox
