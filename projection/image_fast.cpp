// Fast image formation. The transform of one line is a product with a kernel
// matrix, M[p][i] = w_p exp(i theta(p, i)) with the trapezoidal weight w_p
// and the whole phase angle of the direct sum (kernel, defocus, wavefront),
// so each pass of the two-dimensional transform is a matrix product. Only
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

  const double* row_re(int p) const { return re.data() + static_cast<std::size_t>(p - first) * n; }
  const double* row_im(int p) const { return im.data() + static_cast<std::size_t>(p - first) * n; }
};

// c: the wavefront coefficients of the axis, indexed 1 to 6. The phase
// angle of every entry is evaluated exactly as the direct sum evaluates it.
void make_kernel(const Parameters& p, const double* c, int first, int last, AxisKernel& kernel) {
  const int n = p.grid_size;
  const double K = n / p.wavelength;
  const double b = p.wavelength / (n * p.pitch * p.NA);
  const double h = n / 2.0;
  kernel.first = first;
  kernel.n = n;
  kernel.re.assign(static_cast<std::size_t>(std::max(last - first + 1, 0)) * n, 0.0);
  kernel.im.assign(kernel.re.size(), 0.0);
  kernel.broken.assign(static_cast<std::size_t>(n), 0);
  std::vector<double> theta(static_cast<std::size_t>(n));
  for (int q = 0; q < n; ++q) {
    // The parts of the phase number that depend on the input sample alone.
    const double d = 1.0 * q - h;
    const double r = b * d;
    const double focus = (p.defocus * p.wavelength * d * d) / ((2 * n) * p.pitch * p.pitch);
    const double w3 = c[3] * K * (r * r * r);
    const double w4 = c[4] * K * (r * r * r * r);
    const double w1 = c[1] * K * r;
    const double w2 = c[2] * K * (r * r);
    const double w56 = c[5] * K * (r * r * r * r * r) + c[6] * K * (r * r * r * r * r * r);
    for (int i = 0; i < n; ++i) {
      const double u = 1.0 * i - h;
      const double phase = d * u - focus + w3 + w4 + w1 + w2 + w56;
      theta[i] = 2 * PI * phase / n;
      if (!std::isfinite(theta[i])) kernel.broken[i] = 1;
    }
    if (q < first || q > last) continue;
    const double weight = (q == 0 || q == n - 1) ? 0.5 : 1.0;
    double* kr = kernel.re.data() + static_cast<std::size_t>(q - first) * n;
    double* ki = kernel.im.data() + static_cast<std::size_t>(q - first) * n;
    for (int i = 0; i < n; ++i) {
      kr[i] = weight * std::cos(theta[i]);
      ki[i] = weight * std::sin(theta[i]);
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

// Adds points * |U|^2 of one shifted spectrum to the intensity. `lines` is
// scratch for the first pass.
void add_source_image(const Parameters& p, const Field& spectrum, const PupilSamples& pupil,
                      const AxisKernel& kx, const AxisKernel& ky, const Shift& shift,
                      Field& lines, Intensity& intensity) {
  const int n = p.grid_size;
  const CombineRows combine = combine_rows();
  // Pupil lines whose shifted spectrum line lies on the grid.
  const int c_first = std::max(pupil.first_line, -shift.m);
  const int c_last = std::min(pupil.last_line, n - 1 - shift.m);
  if (c_first > c_last) return;  // the whole spectrum is off the grid: no light

  // First pass, along y: line c of the pupil field times the y kernel.
  for (int c = c_first; c <= c_last; ++c) {
    const int i_first = std::max(pupil.first[c], -shift.n);
    const int i_last = std::min(pupil.last[c], n - 1 - shift.n);
    if (i_first > i_last) {
      std::fill_n(lines.re[c], n, 0.0);
      std::fill_n(lines.im[c], n, 0.0);
      continue;
    }
    const int source = c + shift.m;
    combine(lines.re[c], lines.im[c], n, &spectrum.re[source][i_first + shift.n],
            &spectrum.im[source][i_first + shift.n], 1, i_last - i_first + 1,
            ky.row_re(i_first), ky.row_im(i_first), n);
  }

  // Second pass, along x: output line j sums the pupil lines weighted by
  // column j of the x kernel.
  double image_re[max_grid];
  double image_im[max_grid];
  const double weight = shift.points;
  for (int j = 0; j < n; ++j) {
    combine(image_re, image_im, n, kx.row_re(c_first) + j, kx.row_im(c_first) + j, n,
            c_last - c_first + 1, lines.re[c_first], lines.im[c_first], max_grid);
    double* row = intensity.at[j];
    for (int k = 0; k < n; ++k) {
      row[k] += weight * (image_re[k] * image_re[k] + image_im[k] * image_im[k]);
    }
  }
}

// Working storage, kept between runs so that a run does not fault in fresh
// pages (the calculator runs one call at a time).
struct Scratch {
  PupilSamples pupil;
  AxisKernel kx, ky;
  Field lines;
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
    add_source_image(p, spectrum, pupil, kx, ky, shift, s.lines, intensity);
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
