#include "projection/tables.hpp"

#include <cmath>
#include <string_view>

#include "common/exchange.hpp"
#include "common/table.hpp"
#include "projection/layout.hpp"

namespace meridox::projection {
namespace {

// Writes a table: its title line as the layout gives it, the axis line
// (after an empty corner cell), one line per y index j holding
// axis(j) and then value(q, j) for every x index q, and a final empty line.
// Every number is one "%f" field followed by a TAB.
template <typename Axis, typename Value>
void write_table(const std::string& path, const TableSpec& spec, int n, Axis axis, Value value) {
  TableWriter table(path);
  table.text(spec.header);
  table.text("\n\t");
  for (int q = 0; q < n; ++q) table.field(axis(q));
  table.end_line();
  for (int j = 0; j < n; ++j) {
    table.field(axis(j));
    for (int q = 0; q < n; ++q) table.field(value(q, j));
    table.end_line();
  }
  table.end_line();
}

// Direction sine of frequency index q: wavelength (q - c0) / (N pitch).
auto direction_sine_axis(const Parameters& p) {
  const int c0 = centre_index(p.grid_size);
  const double divisor = static_cast<double>(p.grid_size) * p.pitch;
  return [&p, c0, divisor](int q) { return p.wavelength * (q - c0) / divisor; };
}

}  // namespace

double spectrum_phase(double a, double b) {
  if (a > 0) return std::atan(b / a);
  if (a == 0) return 0;
  // a < 0 (or NaN, which makes the phase NaN)
  return b > 0 ? std::atan(b / a) + PI : std::atan(b / a) - PI;
}

void write_amplitude_table(const std::string& path, const Parameters& p, const Field& f) {
  write_table(path, table_of(layout, amplitude_table), p.grid_size, direction_sine_axis(p), [&f](int q, int j) {
    return std::sqrt(f.re[q][j] * f.re[q][j] + f.im[q][j] * f.im[q][j]);
  });
}

void write_phase_table(const std::string& path, const Parameters& p, const Field& f) {
  write_table(path, table_of(layout, phase_table), p.grid_size, direction_sine_axis(p),
              [&f](int q, int j) { return spectrum_phase(f.re[q][j], f.im[q][j]); });
}

void write_intensity_table(const std::string& path, const Parameters& p, const Intensity& ii) {
  const int c0 = centre_index(p.grid_size);
  write_table(
      path, table_of(layout, result_table), p.grid_size, [&p, c0](int q) { return p.pitch * (q - c0); },
      [&ii](int q, int j) { return ii.at[q][j]; });
}

}  // namespace meridox::projection
