#include "proximity/model.hpp"

#include <algorithm>
#include <cmath>

namespace meridox::proximity {

double wavelength = 0.0;
double gap = 0.0;
double source_half_angle = 0.0;
double x_start = 0.0, x_end = 0.0;
int x_steps = 0;
double y_start = 0.0, y_end = 0.0;
int y_steps = 0;
int rect_count = 0;

double rect_t_re[max_rects];
double rect_t_im[max_rects];
double rect_x1[max_rects];
double rect_x2[max_rects];
double rect_y1[max_rects];
double rect_y2[max_rects];

double field_re[max_points][max_points];
double field_im[max_points][max_points];
double intensity[max_points][max_points];
int source_count = 0;

void read_parameters(const Sheet& sheet) {
  wavelength = read_real(sheet, cell_of(layout, "wavelength"));
  gap = read_real(sheet, cell_of(layout, "gap"));
  source_half_angle = read_real(sheet, cell_of(layout, "source_half_angle"));
  x_start = read_real(sheet, cell_of(layout, "x_start"));
  x_end = read_real(sheet, cell_of(layout, "x_end"));
  x_steps = read_integer(sheet, cell_of(layout, "x_steps"));
  y_start = read_real(sheet, cell_of(layout, "y_start"));
  y_end = read_real(sheet, cell_of(layout, "y_end"));
  y_steps = read_integer(sheet, cell_of(layout, "y_steps"));
  rect_count = read_integer(sheet, cell_of(layout, "rect_count"));
  for (int k = 0; k < rect_count; ++k) {
    const int row = layout.rectangles->first_row + k;
    rect_t_re[k] = sheet.real(1, row);
    rect_t_im[k] = sheet.real(2, row);
    rect_x1[k] = sheet.real(3, row);
    rect_x2[k] = sheet.real(4, row);
    rect_y1[k] = sheet.real(5, row);
    rect_y2[k] = sheet.real(6, row);
  }
}

int column_count() { return x_steps < 0 ? 0 : x_steps + 1; }
int row_count() { return y_steps < 0 ? 0 : y_steps + 1; }

double x_spacing() { return x_steps > 0 ? (x_end - x_start) / x_steps : 0.0; }
double y_spacing() { return y_steps > 0 ? (y_end - y_start) / y_steps : 0.0; }

double table_x(int i) { return x_steps > 0 ? x_start + i * (x_end - x_start) / x_steps : x_start; }
double table_y(int j) { return y_steps > 0 ? y_start + j * (y_end - y_start) / y_steps : y_start; }

bool fresnel_scale(double& scale) {
  const double product = wavelength * gap;
  if (!(product > 0.0)) return false;
  scale = std::sqrt(2.0 / product);
  return true;
}

double source_offset(int i) { return i * gap * source_half_angle / source_radius; }

}  // namespace meridox::proximity
