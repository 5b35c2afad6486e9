#include "proximity/direct_field.hpp"

#include "proximity/fresnel.hpp"
#include "proximity/model.hpp"

namespace meridox::proximity {

void aperture_field(const double& Ox, const double& Oy, double scale) {
  const int columns = column_count();
  const int rows = row_count();
  for (int i = 0; i < columns; ++i) {
    for (int j = 0; j < rows; ++j) {
      field_re[i][j] = 0.0;
      field_im[i][j] = 0.0;
    }
  }
  const double dx = x_spacing();
  const double dy = y_spacing();
  const double a = scale;
  for (int k = 0; k < rect_count; ++k) {
    for (int i = 0; i < columns; ++i) {
      const double x = x_start + dx * i;
      for (int j = 0; j < rows; ++j) {
        const double y = y_start + dy * j;
        const double v1x = a * ((rect_x1[k] - x) - Ox);
        const double v2x = a * ((rect_x2[k] - x) - Ox);
        const double cx = fresnel_c_diff(v1x, v2x);
        const double sx = fresnel_s_diff(v1x, v2x);
        const double v1y = a * ((rect_y1[k] - y) - Oy);
        const double v2y = a * ((rect_y2[k] - y) - Oy);
        const double cy = fresnel_c_diff(v1y, v2y);
        const double sy = fresnel_s_diff(v1y, v2y);
        // (Cx + i Sx)(Cy + i Sy) / (2i)
        const double f_re = (cx * sy + sx * cy) / 2.0;
        const double f_im = (sx * sy - cx * cy) / 2.0;
        field_re[i][j] = (field_re[i][j] + rect_t_re[k] * f_re) - rect_t_im[k] * f_im;
        field_im[i][j] = (field_im[i][j] + rect_t_re[k] * f_im) + rect_t_im[k] * f_re;
      }
    }
  }
}

void add_intensity() {
  const int columns = column_count();
  const int rows = row_count();
  for (int i = 0; i < columns; ++i) {
    for (int j = 0; j < rows; ++j) {
      intensity[i][j] = (intensity[i][j] + field_re[i][j] * field_re[i][j]) +
                        field_im[i][j] * field_im[i][j];
    }
  }
}

void integrate_source_direct(double scale) {
  source_count = 0;
  const int r = source_radius;
  for (int i = -r; i <= r; ++i) {
    for (int j = -r; j <= r; ++j) {
      if (!in_source_disc(i, j)) continue;
      ++source_count;
      const double Ox = source_offset(i);
      const double Oy = source_offset(j);
      aperture_field(Ox, Oy, scale);
      add_intensity();
    }
  }
}

}  // namespace meridox::proximity
