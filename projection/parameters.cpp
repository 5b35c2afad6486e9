#include "projection/parameters.hpp"

#include "projection/layout.hpp"

namespace meridox::projection {
namespace {

// Keeps an edge within [-c0, c0]; NaN passes unchanged.
double limit_edge(double edge, int c0) {
  const double limit = c0;
  if (edge > limit) return limit;
  if (edge < -limit) return -limit;
  return edge;
}

}  // namespace

void read_parameters(const Sheet& sheet, Parameters& out) {
  auto real = [&](const CellSpec& cell) { return read_real(sheet, cell); };
  out.grid_size = read_integer(sheet, cell_of(layout, "grid_size"));
  out.pitch = real(cell_of(layout, "pitch"));
  out.wavelength = real(cell_of(layout, "wavelength"));
  out.NA = real(cell_of(layout, "NA"));
  out.sigma = real(cell_of(layout, "sigma"));
  out.tilt_x = real(cell_of(layout, "tilt_x"));
  out.tilt_y = real(cell_of(layout, "tilt_y"));
  out.defocus = real(cell_of(layout, "defocus"));
  static constexpr const CellSpec* aber_x[] = {
      &cell_of(layout, "aber_x[1]"), &cell_of(layout, "aber_x[2]"), &cell_of(layout, "aber_x[3]"),
      &cell_of(layout, "aber_x[4]"), &cell_of(layout, "aber_x[5]"), &cell_of(layout, "aber_x[6]")};
  static constexpr const CellSpec* aber_y[] = {
      &cell_of(layout, "aber_y[1]"), &cell_of(layout, "aber_y[2]"), &cell_of(layout, "aber_y[3]"),
      &cell_of(layout, "aber_y[4]"), &cell_of(layout, "aber_y[5]"), &cell_of(layout, "aber_y[6]")};
  for (int power = 1; power <= 6; ++power) out.aber_x[power] = real(*aber_x[power - 1]);
  for (int power = 1; power <= 6; ++power) out.aber_y[power] = real(*aber_y[power - 1]);
  out.rect_count = read_integer(sheet, cell_of(layout, "rect_count"));

  const int c0 = centre_index(out.grid_size);
  for (int q = 0; q < out.rect_count; ++q) {
    const int row = layout.rectangles->first_row + q;
    out.rect_t_re[q] = sheet.real(1, row);
    out.rect_t_im[q] = sheet.real(2, row);
    out.rect_x1[q] = limit_edge(sheet.real(3, row), c0);
    out.rect_x2[q] = limit_edge(sheet.real(4, row), c0);
    out.rect_y1[q] = limit_edge(sheet.real(5, row), c0);
    out.rect_y2[q] = limit_edge(sheet.real(6, row), c0);
  }
}

}  // namespace meridox::projection
