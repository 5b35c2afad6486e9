#pragma once
// Reading result tables back: the maps of the optics calculators and the
// column tables of the plate and stage calculators.
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/layout.hpp"

namespace meridox::host {

struct TableError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A map: an optional title line, a line of x values after an empty corner
// cell, then one line per y value with the values along x.
struct MapTable {
  std::string title;  // raw bytes, empty when the table has none
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> values;  // values[j * x.size() + i] at (x[i], y[j])
  double at(std::size_t i, std::size_t j) const { return values[j * x.size() + i]; }
};

// Columns under a header line of labels; a row shorter than the header
// (the plate's last row) leaves NaN in its missing fields.
struct ColumnTable {
  std::vector<std::string> labels;  // raw bytes
  std::vector<std::vector<double>> columns;
  std::vector<std::size_t> widths;  // fields in each row
  std::size_t rows() const { return columns.empty() ? 0 : columns[0].size(); }
};

// Splits at line ends (CR LF or LF) and TABs; a TAB that ends a line does not
// open another field, and empty lines at the end are dropped.
std::vector<std::vector<std::string>> split_lines(std::string_view bytes);

MapTable parse_map(std::string_view bytes);
ColumnTable parse_columns(std::string_view bytes);

// What a table is, told from its header and its shape: one of the tables a
// calculator writes, as its layout describes it, or a table of no calculator.
class TableKind {
 public:
  enum Generic {
    empty,
    other_map,
    other_columns,
    unknown,  // neither a map nor a table of labelled columns
  };
  constexpr TableKind(Generic generic) : generic_(generic) {}
  constexpr explicit TableKind(const TableSpec& spec)
      : spec_(&spec), generic_(spec.form == TableForm::map ? other_map : other_columns) {}
  // The calculator's table; nullptr for a table of no calculator.
  constexpr const TableSpec* spec() const { return spec_; }
  // What the table is read as: a calculator's map reads as a map.
  constexpr Generic generic() const { return generic_; }
  bool operator==(const TableKind&) const = default;

 private:
  const TableSpec* spec_ = nullptr;
  Generic generic_;
};

TableKind identify_table(std::string_view bytes);

// A long history reduced for drawing, so that no peak is lost between the
// pixels: the time span cut into bins (at least as many as a picture has
// pixel columns), and of each column in each bin its first, smallest,
// largest and last value, in time order. A line through these points looks
// as a line through every state would at that width. A value that is not
// finite breaks the line after its bin's finite points.
struct DrawnHistory {
  std::size_t states = 0;
  std::vector<std::vector<double>> t, values;  // per table column; column 0 (time) left empty
};

class HistoryReducer {
 public:
  // `columns` of the table (time first), states between t_start and t_end
  // (those outside fall into the first or last bin).
  HistoryReducer(std::size_t columns, double t_start, double t_end, std::size_t bins);
  std::size_t columns() const { return columns_; }
  void add(const double* row);  // row[0] is the time
  DrawnHistory result() const;

 private:
  struct Bin {
    bool used = false, broken = false;
    double t_first = 0, first = 0, t_low = 0, low = 0, t_high = 0, high = 0, t_last = 0, last = 0;
  };
  std::size_t columns_;
  double t_start_, t_end_;
  std::size_t states_ = 0;
  std::vector<std::vector<Bin>> bins_;  // per column
};

// A table held in memory, reduced the same way.
DrawnHistory reduce_table(const ColumnTable& table, std::size_t bins);
const char* describe(TableKind kind);
bool is_map(TableKind kind);

// Whether a table holds at least one finite value (beyond its axes), and how
// many of its values are not finite.
struct Finiteness {
  std::size_t values = 0;
  std::size_t non_finite = 0;
};

// A result table read once: what it is, its map or its columns, and how
// many of its values are finite. The summary, the pictures, a study and
// Python all work from this one reading.
struct ResultTable {
  TableKind kind = TableKind::unknown;
  MapTable map;         // a map's samples
  ColumnTable columns;  // a column table's
  Finiteness finiteness;
  // Whether it holds anything to draw: a grid size of 0 or a header without
  // rows is a valid result with no picture.
  bool has_samples() const;
};

// Reads a table's bytes as `kind` (a map or a column table); throws
// TableError when they do not read as one.
ResultTable read_result_table(std::string_view bytes, TableKind kind);
// As above, its kind told from its header and shape.
ResultTable read_result_table(std::string_view bytes);

// The texts a sheet gives for the unit words of its calculator's table
// columns (the layouts' UnitSpec; the length unit is kept apart).
struct UnitWords {
  std::vector<std::pair<std::string, std::string>> texts;
  // The sheet's text of a word; empty when it gives none.
  std::string text(std::string_view word) const;
};

// A column's unit in words for a picture's axis: "length" as `length_unit`
// and the unit words as the sheet gives them (else "<quantity> unit of the
// sheet"), "-" as "1", a compound unit word by word as column_unit names it.
std::string unit_label(const TableSpec& spec, std::string_view unit, const std::string& length_unit,
                       const UnitWords& words);

// A column's unit as a reader of the table names it: "length" and the unit
// words replaced by the texts the sheet gives them, each word of a compound
// unit too ("1/length" is "1/mm"); a word the sheet gives no text for keeps
// its name; "" for a pure number ("-").
std::string column_unit(const TableSpec& spec, std::string_view unit, const std::string& length_unit,
                        const UnitWords& words);

}  // namespace meridox::host
