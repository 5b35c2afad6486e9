#include "projection/spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace meridox::projection {
namespace {

std::uint64_t bits_of(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// The one-dimensional spectra of every rectangle along one axis: row q holds
// the real and imaginary parts at the N frequency indices of the grid.
class AxisSpectra {
 public:
  // edge1[q], edge2[q]: the rectangle's edges along the axis; shift: the tilt
  // in frequency samples.
  AxisSpectra(const double* edge1, const double* edge2, int count, int n, double shift);

  const double* re(int q) const { return re_.data() + static_cast<std::size_t>(q) * n_; }
  const double* im(int q) const { return im_.data() + static_cast<std::size_t>(q) * n_; }

 private:
  std::size_t n_;
  std::vector<double> re_;
  std::vector<double> im_;
};

AxisSpectra::AxisSpectra(const double* edge1, const double* edge2, int count, int n,
                         double shift)
    : n_(static_cast<std::size_t>(n)),
      re_(static_cast<std::size_t>(count) * n_),
      im_(static_cast<std::size_t>(count) * n_) {
  const int c0 = centre_index(n);
  const double nd = n;
  std::vector<double> v(n_), w(n_);
  for (int j = 0; j < n; ++j) {
    v[j] = (j - c0) + shift;
    w[j] = 2 * PI * v[j];
  }

  // Masks drawn on a design grid share few edge values, so the sines and
  // cosines of w * edge / N are computed once for each distinct edge (the
  // same calls with the same arguments as rectangle by rectangle).
  std::vector<double> edges(edge1, edge1 + count);
  edges.insert(edges.end(), edge2, edge2 + count);
  const auto by_bits = [](double a, double b) { return bits_of(a) < bits_of(b); };
  const auto same_bits = [](double a, double b) { return bits_of(a) == bits_of(b); };
  std::sort(edges.begin(), edges.end(), by_bits);
  edges.erase(std::unique(edges.begin(), edges.end(), same_bits), edges.end());
  std::vector<double> sines(edges.size() * n_), cosines(edges.size() * n_);
  for (std::size_t e = 0; e < edges.size(); ++e) {
    double* s = sines.data() + e * n_;
    double* c = cosines.data() + e * n_;
    for (int j = 0; j < n; ++j) {
      const double angle = w[j] * edges[e] / nd;
      s[j] = std::sin(angle);
      c[j] = std::cos(angle);
    }
  }
  const auto row_of = [&](double edge) {
    const auto at = std::lower_bound(edges.begin(), edges.end(), edge, by_bits);
    return static_cast<std::size_t>(at - edges.begin()) * n_;
  };

  for (int q = 0; q < count; ++q) {
    const double e1 = edge1[q];
    const double e2 = edge2[q];
    const double* s1 = sines.data() + row_of(e1);
    const double* s2 = sines.data() + row_of(e2);
    const double* k1 = cosines.data() + row_of(e1);
    const double* k2 = cosines.data() + row_of(e2);
    double* fr = re_.data() + static_cast<std::size_t>(q) * n_;
    double* fi = im_.data() + static_cast<std::size_t>(q) * n_;
    for (int j = 0; j < n; ++j) {
      if (v[j] == 0) {
        // The limit of the general formula at zero frequency.
        fr[j] = (e2 - e1) / nd;
        fi[j] = 0;
      } else {
        fr[j] = (s2[j] - s1[j]) / w[j];
        fi[j] = (k2[j] - k1[j]) / w[j];
      }
    }
  }
}

// field += t * Fx[j] * Fy[k] along one line of the field. The product is
// formed first, then added with the real part of t before the imaginary
// part; the loop over k has no dependence between samples, so the compiler
// vectorises it without changing a single rounding.
void add_rectangle_line(double* __restrict re, double* __restrict im,
                        const double* __restrict fyr, const double* __restrict fyi, int n,
                        double fxr, double fxi, double t_re, double t_im) {
  for (int k = 0; k < n; ++k) {
    const double pr = fxr * fyr[k] - fxi * fyi[k];
    const double pi = fxr * fyi[k] + fxi * fyr[k];
    re[k] = (re[k] + t_re * pr) - t_im * pi;
    im[k] = (im[k] + t_re * pi) + t_im * pr;
  }
}

}  // namespace

void mask_spectrum(const Parameters& p, Field& field) {
  const int n = p.grid_size;
  if (n <= 0) return;
  const double nd = n;
  const double sx = p.tilt_x * p.pitch * nd / p.wavelength;
  const double sy = p.tilt_y * p.pitch * nd / p.wavelength;

  for (int j = 0; j < n; ++j) {
    std::fill_n(field.re[j], n, 0.0);
    std::fill_n(field.im[j], n, 0.0);
  }
  const int count = p.rect_count;
  if (count <= 0) return;

  const AxisSpectra fx(p.rect_x1, p.rect_x2, count, n, sx);
  const AxisSpectra fy(p.rect_y1, p.rect_y2, count, n, sy);
  for (int q = 0; q < count; ++q) {
    const double* fxr = fx.re(q);
    const double* fxi = fx.im(q);
    for (int j = 0; j < n; ++j) {
      add_rectangle_line(field.re[j], field.im[j], fy.re(q), fy.im(q), n, fxr[j], fxi[j],
                         p.rect_t_re[q], p.rect_t_im[q]);
    }
  }
}

}  // namespace meridox::projection
