// Direct evaluation of the image formation, term by term. It is slow (about
// 2 * 10^8 sines and cosines for a full grid) and serves as the reference for
// the fast path.
#include <cmath>
#include <memory>

#include "projection/image.hpp"
#include "projection/pupil.hpp"

namespace meridox::projection {

void inverse_transform_1d_direct(const Parameters& p, double* re, double* im, int count,
                                 int axis) {
  const double* c = axis == 1 ? p.aber_y : p.aber_x;
  const int n = p.grid_size;
  const double K = n / p.wavelength;
  const double b = p.wavelength / (n * p.pitch * p.NA);
  double UR[max_grid];
  double UI[max_grid];
  // The phase number of input offset d for output offset u.
  const auto phase = [&](double d, double u) {
    const double r = b * d;
    return d * u - (p.defocus * p.wavelength * d * d) / ((2 * n) * p.pitch * p.pitch) +
           c[3] * K * (r * r * r) + c[4] * K * (r * r * r * r) + c[1] * K * r +
           c[2] * K * (r * r) + (c[5] * K * (r * r * r * r * r) + c[6] * K * (r * r * r * r * r * r));
  };
  for (int i = 0; i < count; ++i) {
    const double u = 1.0 * i - count / 2.0;
    UR[i] = 0;
    UI[i] = 0;
    for (int q = 0; q < count - 1; ++q) {
      const double d = 1.0 * q - count / 2.0;
      const double e = d + 1;
      const double theta1 = 2 * PI * phase(d, u) / count;
      const double theta2 = 2 * PI * phase(e, u) / count;
      const double t1r = re[q] * std::cos(theta1) - im[q] * std::sin(theta1);
      const double t1i = im[q] * std::cos(theta1) + re[q] * std::sin(theta1);
      const double t2r = re[q + 1] * std::cos(theta2) - im[q + 1] * std::sin(theta2);
      const double t2i = im[q + 1] * std::cos(theta2) + re[q + 1] * std::sin(theta2);
      UR[i] += (t1r + t2r) / 2;
      UI[i] += (t1i + t2i) / 2;
    }
  }
  for (int i = 0; i < count; ++i) {
    re[i] = UR[i];
    im[i] = UI[i];
  }
}

void inverse_transform_2d_direct(const Parameters& p, Field& field) {
  const int n = p.grid_size;
  const auto g = std::make_unique<Field>();
  for (int i = 0; i < n; ++i) inverse_transform_1d_direct(p, field.re[i], field.im[i], n, 1);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      g->re[i][j] = field.re[j][i];
      g->im[i][j] = field.im[j][i];
    }
  }
  for (int i = 0; i < n; ++i) inverse_transform_1d_direct(p, g->re[i], g->im[i], n, 2);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      field.re[i][j] = g->re[j][i];
      field.im[i][j] = g->im[j][i];
    }
  }
}

void form_image_direct(const Parameters& p, Field& field, Intensity& II) {
  const int n = p.grid_size;
  if (n <= 0) return;
  const int c0 = centre_index(n);
  const double r = pupil_radius(p);
  const auto spectrum = std::make_unique<Field>();
  for (int c = 0; c < n; ++c) {
    for (int i = 0; i < n; ++i) {
      spectrum->re[c][i] = field.re[c][i];
      spectrum->im[c][i] = field.im[c][i];
      II.at[c][i] = 0;
    }
  }
  int count = 0;
  for (int m = -2; m <= 2; ++m) {
    for (int l = -2; l <= 2; ++l) {
      if (m * m + l * l > 4) continue;
      ++count;
      const int sm = source_shift(m, p);
      const int sn = source_shift(l, p);
      for (int c = 0; c < n; ++c) {
        for (int i = 0; i < n; ++i) {
          field.re[c][i] = 0;
          field.im[c][i] = 0;
        }
      }
      for (int c = 0; c < n; ++c) {
        for (int i = 0; i < n; ++i) {
          if (in_pupil(c, i, c0, r) && 0 <= c + sm && c + sm < n && 0 <= i + sn && i + sn < n) {
            field.re[c][i] = spectrum->re[c + sm][i + sn];
            field.im[c][i] = spectrum->im[c + sm][i + sn];
          }
        }
      }
      inverse_transform_2d_direct(p, field);
      for (int c = 0; c < n; ++c) {
        for (int i = 0; i < n; ++i) {
          II.at[c][i] = II.at[c][i] + field.re[c][i] * field.re[c][i] + field.im[c][i] * field.im[c][i];
        }
      }
    }
  }
  for (int c = 0; c < n; ++c) {
    for (int i = 0; i < n; ++i) II.at[c][i] = II.at[c][i] / count;
  }
}

}  // namespace meridox::projection
