#include "projection/tables.hpp"

#include <cmath>
#include <string_view>

#include "common/table.hpp"

namespace meridox::projection {
namespace {

// Headers in code page 932; each ends with a line end and a TAB, so the axis
// line starts with an empty cell.
constexpr std::string_view amplitude_header =
    "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc"
    "\x94\x67\x93\xae\x90\x55\x95\x9d"
    "\n\t";
constexpr std::string_view phase_header =
    "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc"
    "\x8c\xf5\x82\xcc\x88\xca\x91\x8a"
    "\n\t";
constexpr std::string_view intensity_header =
    "\x93\x8a\x89\x65\x91\x9c\x8c\xf5\x8b\xad\x93\x78\x95\xaa\x95\x7a"
    "II[i][j]"
    "\n\t";

// Writes a table: header, the axis line, one line per y index j holding
// axis(j) and then value(q, j) for every x index q, and a final empty line.
// Every number is one "%f" field followed by a TAB.
template <typename Axis, typename Value>
void write_table(const std::string& path, std::string_view header, int n, Axis axis,
                 Value value) {
  TableWriter table(path);
  table.text(header);
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
  write_table(path, amplitude_header, p.grid_size, direction_sine_axis(p), [&f](int q, int j) {
    return std::sqrt(f.re[q][j] * f.re[q][j] + f.im[q][j] * f.im[q][j]);
  });
}

void write_phase_table(const std::string& path, const Parameters& p, const Field& f) {
  write_table(path, phase_header, p.grid_size, direction_sine_axis(p),
              [&f](int q, int j) { return spectrum_phase(f.re[q][j], f.im[q][j]); });
}

void write_intensity_table(const std::string& path, const Parameters& p, const Intensity& ii) {
  const int c0 = centre_index(p.grid_size);
  write_table(
      path, intensity_header, p.grid_size, [&p, c0](int q) { return p.pitch * (q - c0); },
      [&ii](int q, int j) { return ii.at[q][j]; });
}

}  // namespace meridox::projection
