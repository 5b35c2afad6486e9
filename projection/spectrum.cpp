#include "projection/spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace meridox::projection {
namespace {

std::uint64_t bits_of(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

bool before(double a, double b) { return bits_of(a) < bits_of(b); }
bool same(double a, double b) { return bits_of(a) == bits_of(b); }

// The frequency indices of one axis, v_j = (j - c0) + shift, and the sines and
// cosines of w_j * e / N (w_j = 2 PI v_j) for every distinct edge value e.
// Masks drawn on a design grid share few edge values, so each sine is
// computed once instead of once per rectangle: the same calls with the same
// arguments, hence the same values.
class EdgeTable {
 public:
  // Collects the edges; adding the same edges again is harmless.
  void start(int n, double shift);
  void add_edges(const double* edges, int count);
  void compute();

  int n() const { return n_; }
  const double* w() const { return w_.data(); }
  // The indices j with v_j equal to 0.
  const std::vector<int>& zero_frequencies() const { return zero_; }
  const double* sines(double edge) const { return sines_.data() + row_of(edge); }
  const double* cosines(double edge) const { return cosines_.data() + row_of(edge); }

 private:
  std::size_t row_of(double edge) const {
    const auto at = std::lower_bound(edges_.begin(), edges_.end(), edge, before);
    return static_cast<std::size_t>(at - edges_.begin()) * static_cast<std::size_t>(n_);
  }

  int n_ = 0;
  std::vector<double> v_, w_, edges_, sines_, cosines_;
  std::vector<int> zero_;
};

void EdgeTable::start(int n, double shift) {
  n_ = n;
  const int c0 = centre_index(n);
  v_.resize(static_cast<std::size_t>(n));
  w_.resize(static_cast<std::size_t>(n));
  zero_.clear();
  for (int j = 0; j < n; ++j) {
    v_[j] = (j - c0) + shift;
    w_[j] = 2 * PI * v_[j];
    if (v_[j] == 0) zero_.push_back(j);
  }
  edges_.clear();
}

void EdgeTable::add_edges(const double* edges, int count) {
  edges_.insert(edges_.end(), edges, edges + count);
}

void EdgeTable::compute() {
  std::sort(edges_.begin(), edges_.end(), before);
  edges_.erase(std::unique(edges_.begin(), edges_.end(), same), edges_.end());
  const std::size_t n = static_cast<std::size_t>(n_);
  const double nd = n_;
  sines_.resize(edges_.size() * n);
  cosines_.resize(edges_.size() * n);
  for (std::size_t e = 0; e < edges_.size(); ++e) {
    double* s = sines_.data() + e * n;
    double* c = cosines_.data() + e * n;
    for (std::size_t j = 0; j < n; ++j) {
      const double angle = w_[j] * edges_[e] / nd;
      s[j] = std::sin(angle);
      c[j] = std::cos(angle);
    }
  }
}

// The one-dimensional spectra of every rectangle along one axis: row q holds
// the real and imaginary parts at the N frequency indices.
class AxisSpectra {
 public:
  void compute(const EdgeTable& table, const double* edge1, const double* edge2, int count,
               const SpectrumKernels& kernels);
  const double* re(int q) const { return re_.data() + static_cast<std::size_t>(q) * n_; }
  const double* im(int q) const { return im_.data() + static_cast<std::size_t>(q) * n_; }

 private:
  std::size_t n_ = 0;
  std::vector<double> re_, im_;
};

void AxisSpectra::compute(const EdgeTable& table, const double* edge1, const double* edge2,
                          int count, const SpectrumKernels& kernels) {
  const int n = table.n();
  const double nd = n;
  n_ = static_cast<std::size_t>(n);
  re_.resize(static_cast<std::size_t>(count) * n_);
  im_.resize(re_.size());
  for (int q = 0; q < count; ++q) {
    const double e1 = edge1[q];
    const double e2 = edge2[q];
    const double* s1 = table.sines(e1);
    const double* s2 = table.sines(e2);
    const double* k1 = table.cosines(e1);
    const double* k2 = table.cosines(e2);
    double* fr = re_.data() + static_cast<std::size_t>(q) * n_;
    double* fi = im_.data() + static_cast<std::size_t>(q) * n_;
    kernels.axis(s1, s2, k1, k2, table.w(), fr, fi, n);
    // The limit of the general formula at zero frequency.
    for (const int j : table.zero_frequencies()) {
      fr[j] = (e2 - e1) / nd;
      fi[j] = 0;
    }
  }
}

// Whether the n values from each pointer are all finite.
bool all_finite(int n, std::initializer_list<const double*> rows) {
  for (const double* row : rows) {
    for (int j = 0; j < n; ++j) {
      if (!std::isfinite(row[j])) return false;
    }
  }
  return true;
}

// Working storage, kept between runs so that a run does not fault in fresh
// pages (the calculator runs one call at a time).
struct Scratch {
  EdgeTable x_table, y_table;
  AxisSpectra fx, fy;
  std::vector<unsigned char> forms;
};

Scratch& scratch() {
  static Scratch kept;
  return kept;
}

}  // namespace

void mask_spectrum(const Parameters& p, Field& field) { mask_spectrum(p, field, spectrum_kernels()); }

void mask_spectrum(const Parameters& p, Field& field, const SpectrumKernels& kernels) {
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

  // Without a tilt difference both axes share one table of sines.
  Scratch& s = scratch();
  const bool shared = same(sx, sy);
  s.x_table.start(n, sx);
  s.x_table.add_edges(p.rect_x1, count);
  s.x_table.add_edges(p.rect_x2, count);
  EdgeTable& y_table = shared ? s.x_table : s.y_table;
  if (!shared) y_table.start(n, sy);
  y_table.add_edges(p.rect_y1, count);
  y_table.add_edges(p.rect_y2, count);
  s.x_table.compute();
  if (!shared) y_table.compute();
  s.fx.compute(s.x_table, p.rect_x1, p.rect_x2, count, kernels);
  s.fy.compute(y_table, p.rect_y1, p.rect_y2, count, kernels);

  s.forms.resize(static_cast<std::size_t>(count));
  for (int q = 0; q < count; ++q) {
    const bool finite = all_finite(n, {s.fx.re(q), s.fx.im(q), s.fy.re(q), s.fy.im(q)});
    s.forms[q] = transmission_form(p.rect_t_re[q], p.rect_t_im[q], finite);
  }
  SpectrumTerms terms;
  terms.n = n;
  terms.count = count;
  terms.fx_re = s.fx.re(0);
  terms.fx_im = s.fx.im(0);
  terms.fy_re = s.fy.re(0);
  terms.fy_im = s.fy.im(0);
  terms.t_re = p.rect_t_re;
  terms.t_im = p.rect_t_im;
  terms.form = s.forms.data();
  kernels.add(terms, field);
}

}  // namespace meridox::projection
