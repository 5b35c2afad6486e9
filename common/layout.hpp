#pragma once
// A calculator's layout, written once in its own folder (layout.hpp) and read
// by its sheet reader, by the host (check, run, study) and by the fuzz
// profiles: the sheet grid, every cell it reads with its name, place, type,
// unit and limit, the rectangle table, and the result tables as a reader of
// them needs to know them. Plain constexpr data, no code that runs in the
// calculator beyond the reads below.
#include <algorithm>
#include <climits>
#include <initializer_list>
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

// A plate table's columns that its metrics read, and the cells of the
// plate's section (modulus, Poisson's ratio, thickness) from which its hoop
// moment and stress follow.
struct PlateSpec {
  int radius = -1;
  int deflection = -1;
  int slope = -1;
  int curvature = -1;
  int moment = -1;       // the radial moment (the hoop moment is in its unit)
  int stress = -1;       // the radial stress
  int pitch_error = -1;  // absent from the last row
  std::string_view modulus_cell = {};
  std::string_view poisson_cell = {};
  std::string_view thickness_cell = {};
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
  PlateSpec plate = {};  // plates (metrics plate)

  // Whether a map's x and y are lengths in the sheet's length unit.
  constexpr bool map_in_lengths() const {
    return form == TableForm::map && !columns.empty() && columns[0].unit == "length";
  }
};

// How an image's samples lie, as cells of the sheet give them.
enum class ImageGrid {
  none,
  // `size_cell` samples (an integer cell, limited to its high) `pitch_cell`
  // apart around the centre sample size / 2; the image repeats over the
  // grid and is band-limited, so it is followed between samples by its
  // Fourier series.
  periodic,
  // Along x and y, steps + 1 samples from start to end (steps within 1 and
  // the steps cell's high); followed between samples by a spline.
  window,
};
// A window's axis: its first and last sample and the intervals between.
struct AxisSpec {
  std::string_view start_cell = {};
  std::string_view end_cell = {};
  std::string_view steps_cell = {};
};
struct ImageSpec {
  ImageGrid grid = ImageGrid::none;
  std::string_view size_cell = {};
  std::string_view pitch_cell = {};
  AxisSpec x = {};
  AxisSpec y = {};
  constexpr const AxisSpec& axis(int k) const { return k == 0 ? x : y; }
};

// The linearised servo loop of a stage's sheet: which plant the sheet's
// cells describe (the host writes the loop of each in code).
enum class ServoModel {
  none,
  // A motor turning a screw through inertia and damping, the nut driving
  // the stage through an axial stiffness; a switch chooses the sensor.
  screw_and_nut,
  // A linear motor driving the stage's mass.
  direct,
  // A linear motor pushing the stage and its base apart, the base held on
  // a spring; the sensor reads the stage relative to the base.
  on_base,
};

// A rule a single cell's value obeys for the run to mean anything; the check
// warns with the rule's reason when the sheet breaks it.
enum class CellRule {
  nonzero,      // divides-by-zero: "is 0: <why>"
  nonnegative,  // implausible: "is negative: <why>"
  sine,         // implausible: "<value> lies outside (0, 1]: <why>" (a numerical aperture)
};
struct CellCheck {
  std::string_view cell;
  CellRule rule;
  std::string_view why;
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
  ImageSpec image = {};                      // the optics calculators' image
  ServoModel servo = ServoModel::none;       // the stages' servo loop
  std::span<const CellCheck> checks = {};    // in the order the check reports them
  // Whether every call of the entry computes its tables from the sheet
  // alone, keeping nothing from an earlier call (no control state, no
  // cached solution): calls made back to back in one loaded library then
  // write what a freshly loaded library would, and a host may run many
  // sheets in one process.
  bool recomputes_every_call = false;

  // The most rectangles the calculator uses (the count cell's high limit); 0 without.
  constexpr int rectangle_limit() const {
    return rectangles == nullptr ? 0 : at(rectangles->count_cell).high;
  }
  // The rows of the sheet the rectangles may take (from the first to the last).
  constexpr int rectangle_rows() const {
    return rectangles == nullptr ? 0 : std::max(0, grid.row_guard - rectangles->first_row + 1);
  }
  constexpr const TableSpec* table_with(MetricKind metrics) const {
    for (const TableSpec& t : tables) {
      if (t.metrics == metrics) return &t;
    }
    return nullptr;
  }

  constexpr const CellSpec* find(std::string_view name) const {
    for (const CellSpec& c : cells) {
      if (c.name == name) return &c;
    }
    return nullptr;
  }
  // Whether a cell of that name is one of the layout's (a constant
  // expression in sanitizer builds too: no pointer is compared).
  constexpr bool holds(std::string_view name) const {
    for (const CellSpec& c : cells) {
      if (c.name == name) return true;
    }
    return false;
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

// Whether every cell the layout names beside its cells (the length unit and
// focus, the tables' cells, the image's, the checks')
// is one of its cells: each layout asserts it while compiling, so that a
// renamed or removed cell cannot silently leave a rule reading nothing. (A
// layout with rectangles asserts their count cell beside it: sanitizer
// builds take no comparison of a global's address as a constant.)
constexpr bool names_only_its_cells(const Layout& layout) {
  auto known = [&](std::string_view name) { return name.empty() || layout.holds(name); };
  bool ok = known(layout.length_unit_cell) && known(layout.focus_cell);
  for (const TableSpec& t : layout.tables) {
    ok = ok && known(t.count_cell) && known(t.steps_cell) && known(t.interval_cell) && known(t.step_time_cell) &&
         known(t.map.pupil_cell) && known(t.map.source_cell) && known(t.plate.modulus_cell) &&
         known(t.plate.poisson_cell) && known(t.plate.thickness_cell);
    for (const UnitSpec& u : t.units) ok = ok && known(u.cell);
  }
  const ImageSpec& i = layout.image;
  ok = ok && known(i.size_cell) && known(i.pitch_cell);
  for (const AxisSpec* a : {&i.x, &i.y}) {
    ok = ok && known(a->start_cell) && known(a->end_cell) && known(a->steps_cell);
    if (i.grid == ImageGrid::window) ok = ok && !a->start_cell.empty() && !a->end_cell.empty() && !a->steps_cell.empty();
  }
  if (i.grid == ImageGrid::periodic) ok = ok && !i.size_cell.empty() && !i.pitch_cell.empty();
  for (const CellCheck& c : layout.checks) ok = ok && !c.cell.empty() && known(c.cell);
  return ok;
}

// The cell of a name, for a reader: evaluated while compiling, so that a
// name the layout does not hold does not build.
consteval const CellSpec& cell_of(const Layout& layout, std::string_view name) { return layout.at(name); }

// A cell name that every one of the layouts holds, for code that reads the
// same cell of several calculators by name: evaluated while compiling, so
// that a name one of them lacks does not build.
template <const Layout&... layouts>
consteval std::string_view cell_name(std::string_view name) {
  ((void)layouts.at(name), ...);
  return name;
}

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
