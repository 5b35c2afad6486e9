// Fast image formation. The transform of one line is a product with a kernel
// matrix, M[p][i] = w_p exp(i theta(p, i)) with the trapezoidal weight w_p
// and the phase angle of the direct sum (transform kernel, defocus and
// wavefront together), so each pass of the two-dimensional transform is a
// matrix product. Only
// samples inside the pupil are non-zero: the first pass runs over the pupil's
// samples only, and the second over the pupil's lines only. Source points
// with the same shift form the same image, which is computed once and
// counted as often as the point occurs.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "projection/complex_rows.hpp"
#include "projection/image.hpp"
#include "projection/pupil.hpp"

namespace meridox::projection {
namespace {

// The samples of the pupil: for each line c along x, the range of y indices
// inside it (empty when first > last), and the lines that hold any.
struct PupilSamples {
  int first_line = 0;
  int last_line = -1;
  int first[max_grid];
  int last[max_grid];
};

void find_pupil(int n, double radius, PupilSamples& pupil) {
  const int c0 = centre_index(n);
  pupil.first_line = 0;
  pupil.last_line = -1;
  for (int c = 0; c < n; ++c) {
    pupil.first[c] = 0;
    pupil.last[c] = -1;
    for (int i = 0; i < n; ++i) {
      if (!in_pupil(c, i, c0, radius)) continue;
      if (pupil.first[c] > pupil.last[c]) pupil.first[c] = i;
      pupil.last[c] = i;
    }
    if (pupil.first[c] <= pupil.last[c]) {
      if (pupil.first_line > pupil.last_line) pupil.first_line = c;
      pupil.last_line = c;
    }
  }
}

// The kernel matrix of the transform along one axis, for the input samples
// first..last (the pupil's extent), with every output index.
struct AxisKernel {
  int first = 0;
  int n = 0;  // row length and stride
  std::vector<double> re;
  std::vector<double> im;
  // Output indices whose sum meets a phase angle that is not finite (over any
  // input sample, inside the pupil or not): the direct sum is NaN there.
  std::vector<char> broken;

  // The same entries transposed, [i][p - first], for sums over the inputs.
  int rows = 0;
  std::vector<double> t_re;
  std::vector<double> t_im;

  const double* row_re(int p) const { return re.data() + static_cast<std::size_t>(p - first) * n; }
  const double* row_im(int p) const { return im.data() + static_cast<std::size_t>(p - first) * n; }
  // Column i from input sample p on.
  const double* column_re(int i, int p) const {
    return t_re.data() + static_cast<std::size_t>(i) * rows + (p - first);
  }
  const double* column_im(int i, int p) const {
    return t_im.data() + static_cast<std::size_t>(i) * rows + (p - first);
  }
};

// c: the wavefront coefficients of the axis, indexed 1 to 6.
//
// The phase angle is theta(p, i) = 2 PI (d u + f(d)) / N with d = p - N/2,
// u = i - N/2, and f the defocus and wavefront terms of sample p. Since 4 d u
// is an integer, exp(i 2 PI d u / N) is one of the 4N roots of unity
// exp(i 2 PI m / 4N), so an entry is the product of a root and the sample's
// pupil factor exp(i 2 PI f(d) / N): 4N + N sines instead of N^2.
void make_kernel(const Parameters& p, const double* c, int first, int last, AxisKernel& kernel) {
  const int n = p.grid_size;
  const double K = n / p.wavelength;
  const double b = p.wavelength / (n * p.pitch * p.NA);
  const double h = n / 2.0;
  const int rows = std::max(last - first + 1, 0);
  kernel.first = first;
  kernel.n = n;
  kernel.rows = rows;
  kernel.re.resize(static_cast<std::size_t>(rows) * n);
  kernel.im.resize(kernel.re.size());
  kernel.t_re.resize(kernel.re.size());
  kernel.t_im.resize(kernel.re.size());
  kernel.broken.assign(static_cast<std::size_t>(n), 0);

  std::vector<double> root_re(static_cast<std::size_t>(4 * n)), root_im(root_re.size());
  for (int m = 0; m < 4 * n; ++m) {
    const double angle = 2 * PI * m / (4.0 * n);
    root_re[m] = std::cos(angle);
    root_im[m] = std::sin(angle);
  }

  for (int q = 0; q < n; ++q) {
    // The parts of the phase number that depend on the input sample alone,
    // formed as the direct sum forms them.
    const double d = 1.0 * q - h;
    const double r = b * d;
    const double focus = (p.defocus * p.wavelength * d * d) / ((2 * n) * p.pitch * p.pitch);
    const double w3 = c[3] * K * (r * r * r);
    const double w4 = c[4] * K * (r * r * r * r);
    const double w1 = c[1] * K * r;
    const double w2 = c[2] * K * (r * r);
    const double w56 = c[5] * K * (r * r * r * r * r) + c[6] * K * (r * r * r * r * r * r);
    // The direct sum is NaN at every output whose phase angle with this
    // sample is not finite.
    for (int i = 0; i < n; ++i) {
      const double u = 1.0 * i - h;
      const double phase = d * u - focus + w3 + w4 + w1 + w2 + w56;
      if (!std::isfinite(2 * PI * phase / n)) kernel.broken[i] = 1;
    }
    if (q < first || q > last) continue;

    const double weight = (q == 0 || q == n - 1) ? 0.5 : 1.0;
    const double pupil_angle = 2 * PI * (0 - focus + w3 + w4 + w1 + w2 + w56) / n;
    const double pupil_re = weight * std::cos(pupil_angle);
    const double pupil_im = weight * std::sin(pupil_angle);
    const int twice_d = 2 * q - n;
    const std::size_t row = static_cast<std::size_t>(q - first);
    double* kr = kernel.re.data() + row * n;
    double* ki = kernel.im.data() + row * n;
    for (int i = 0; i < n; ++i) {
      int m = (twice_d * (2 * i - n)) % (4 * n);  // 4 d u modulo 4N
      if (m < 0) m += 4 * n;
      kr[i] = pupil_re * root_re[m] - pupil_im * root_im[m];
      ki[i] = pupil_re * root_im[m] + pupil_im * root_re[m];
      kernel.t_re[static_cast<std::size_t>(i) * rows + row] = kr[i];
      kernel.t_im[static_cast<std::size_t>(i) * rows + row] = ki[i];
    }
  }
}

// A distinct shift of the spectrum and how many source points have it.
struct Shift {
  int m;
  int n;
  int points;
};

std::vector<Shift> distinct_shifts(const Parameters& p) {
  std::vector<Shift> shifts;
  for (const SourcePoint& point : source_points) {
    const int sm = source_shift(point.m, p);
    const int sn = source_shift(point.n, p);
    const auto same = std::find_if(shifts.begin(), shifts.end(),
                                   [&](const Shift& s) { return s.m == sm && s.n == sn; });
    if (same != shifts.end()) {
      ++same->points;
    } else {
      shifts.push_back({sm, sn, 1});
    }
  }
  return shifts;
}

// Working rows of one source image.
struct Passes {
  Field lines;  // after the first pass: line c along y of the transformed pupil field
  Field image;  // after the second pass: the image field U
  std::vector<RowSum> sums;
};

// Adds points * |U|^2 of one shifted spectrum to the intensity.
void add_source_image(const Parameters& p, const Field& spectrum, const PupilSamples& pupil,
                      const AxisKernel& kx, const AxisKernel& ky, const Shift& shift,
                      Passes& work, Intensity& intensity) {
  const int n = p.grid_size;
  const SumRows sum = sum_rows();
  // Pupil lines whose shifted spectrum line lies on the grid.
  const int c_first = std::max(pupil.first_line, -shift.m);
  const int c_last = std::min(pupil.last_line, n - 1 - shift.m);
  if (c_first > c_last) return;  // the whole spectrum is off the grid: no light

  // First pass, along y: line c of the pupil field times the y kernel.
  work.sums.clear();
  for (int c = c_first; c <= c_last; ++c) {
    const int i_first = std::max(pupil.first[c], -shift.n);
    const int i_last = std::min(pupil.last[c], n - 1 - shift.n);
    if (i_first > i_last) {
      std::fill_n(work.lines.re[c], n, 0.0);
      std::fill_n(work.lines.im[c], n, 0.0);
      continue;
    }
    const int source = c + shift.m;
    work.sums.push_back({&spectrum.re[source][i_first + shift.n],
                         &spectrum.im[source][i_first + shift.n], ky.row_re(i_first),
                         ky.row_im(i_first), i_last - i_first + 1, work.lines.re[c],
                         work.lines.im[c]});
  }
  sum(work.sums, n, n);

  // Second pass, along x: output line j sums the pupil lines weighted by
  // column j of the x kernel.
  work.sums.clear();
  for (int j = 0; j < n; ++j) {
    work.sums.push_back({kx.column_re(j, c_first), kx.column_im(j, c_first),
                         work.lines.re[c_first], work.lines.im[c_first], c_last - c_first + 1,
                         work.image.re[j], work.image.im[j]});
  }
  sum(work.sums, n, max_grid);

  const double weight = shift.points;
  for (int j = 0; j < n; ++j) {
    const double* re = work.image.re[j];
    const double* im = work.image.im[j];
    double* row = intensity.at[j];
    for (int k = 0; k < n; ++k) row[k] += weight * (re[k] * re[k] + im[k] * im[k]);
  }
}

// Working storage, kept between runs so that a run does not fault in fresh
// pages (the calculator runs one call at a time).
struct Scratch {
  PupilSamples pupil;
  AxisKernel kx, ky;
  Passes passes;
};

Scratch& scratch() {
  static const auto kept = std::make_unique<Scratch>();
  return *kept;
}

}  // namespace

void form_image(const Parameters& p, const Field& spectrum, Intensity& intensity) {
  const int n = p.grid_size;
  if (n <= 0) return;
  for (int j = 0; j < n; ++j) std::fill_n(intensity.at[j], n, 0.0);
  if (n == 1) return;  // a line of one sample holds no trapezoid: no light

  Scratch& s = scratch();
  PupilSamples& pupil = s.pupil;
  find_pupil(n, pupil_radius(p), pupil);
  AxisKernel& kx = s.kx;
  AxisKernel& ky = s.ky;
  make_kernel(p, p.aber_x, pupil.first_line, pupil.last_line, kx);
  make_kernel(p, p.aber_y, pupil.first_line, pupil.last_line, ky);

  for (const Shift& shift : distinct_shifts(p)) {
    add_source_image(p, spectrum, pupil, kx, ky, shift, s.passes, intensity);
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      intensity.at[j][k] = intensity.at[j][k] / source_point_count;
      if (kx.broken[j] || ky.broken[k]) intensity.at[j][k] = nan;
    }
  }
}

}  // namespace meridox::projection
