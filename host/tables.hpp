#pragma once
// Reading result tables back: the maps of the optics calculators and the
// column tables of the plate and stage calculators.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// What a table is, told from its header and its shape.
enum class TableKind {
  empty,
  image,               // projection image intensity
  spectrum_amplitude,  // projection mask spectrum, amplitude
  spectrum_phase,      // projection mask spectrum, phase
  proximity_image,     // proximity intensity map (no title)
  plate,
  stage,
  nut_stage,
  stage_base,
  other_map,
  other_columns,
  unknown,
};

TableKind identify_table(std::string_view bytes);
const char* describe(TableKind kind);
bool is_map(TableKind kind);

}  // namespace meridox::host
