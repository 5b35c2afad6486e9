#include "projection/parameters.hpp"

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
  constexpr int value = 2;  // the column of scalar parameters
  out.grid_size = sheet.integer(value, 2);
  out.pitch = sheet.real(value, 3);
  out.wavelength = sheet.real(value, 4);
  out.NA = sheet.real(value, 5);
  out.sigma = sheet.real(value, 6);
  out.tilt_x = sheet.real(value, 7);
  out.tilt_y = sheet.real(value, 8);
  out.defocus = sheet.real(value, 9);
  for (int power = 1; power <= 6; ++power) out.aber_x[power] = sheet.real(value, 9 + power);
  for (int power = 1; power <= 6; ++power) out.aber_y[power] = sheet.real(value, 15 + power);
  out.rect_count = sheet.integer(value, 22);

  if (out.grid_size > max_grid) out.grid_size = max_grid;
  if (out.rect_count > max_rectangles) out.rect_count = max_rectangles;

  const int c0 = centre_index(out.grid_size);
  for (int q = 0; q < out.rect_count; ++q) {
    const int row = first_rectangle_row + q;
    out.rect_t_re[q] = sheet.real(1, row);
    out.rect_t_im[q] = sheet.real(2, row);
    out.rect_x1[q] = limit_edge(sheet.real(3, row), c0);
    out.rect_x2[q] = limit_edge(sheet.real(4, row), c0);
    out.rect_y1[q] = limit_edge(sheet.real(5, row), c0);
    out.rect_y2[q] = limit_edge(sheet.real(6, row), c0);
  }
}

}  // namespace meridox::projection
