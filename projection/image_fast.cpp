// Fast image formation. The transform of one line is a product with a kernel
// matrix, M[p][i] = w_p exp(i theta(p, i)) with the trapezoidal weight w_p
// and the phase angle of the direct sum (transform kernel, defocus and
// wavefront together), so each pass of the two-dimensional transform is a
// matrix product. The kernel is the sample's factor f_p = w_p exp(i 2 PI
// g(d) / N) (g: defocus and wavefront) times a root of unity r(p, i) =
// exp(i 2 PI d u / N), and r(p, N - i) is the conjugate of r(p, i), since
// u changes sign, and so is r(N - p, i), since d changes sign. So with
// b_p = a_p f_p, u_p = b_p + b_(N-p) and v_p = b_p - b_(N-p), the outputs i
// and N - i are X + iY and X - iY, where X = sum over p <= N/2 of u_p cos and
// Y = sum of v_p sin: products with real matrices of half the rows and half
// the columns, a quarter of the multiply-adds of the complex product. Only samples inside the pupil are non-zero: the first pass runs
// over the pupil's samples only, and the second over the pupil's lines only.
// Source points with the same shift form the same image, which is computed
// once and counted as often as the point occurs.
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

// The kernel of the transform along one axis: each sample's factor, and the
// real matrices of the cosines and sines of the roots r(p, i) for the input
// samples p = 0 to N/2 and the outputs i = 0 to half - 1, rows padded with
// zeros to a whole number of column blocks.
struct AxisKernel {
  int half = 0;   // N/2 + 1 outputs i, each with its partner N - i
  int width = 0;  // padded row length and stride
  std::vector<double> factor_re;  // [p]
  std::vector<double> factor_im;
  std::vector<double> cosines;  // [p][i]
  std::vector<double> sines;
  // Output indices whose sum meets a phase angle that is not finite (over any
  // input sample, inside the pupil or not): the direct sum is NaN there.
  std::vector<char> broken;

  const double* cosine_row(int p) const { return cosines.data() + static_cast<std::size_t>(p) * width; }
  const double* sine_row(int p) const { return sines.data() + static_cast<std::size_t>(p) * width; }
};

// Widest padded row of a kernel: max_grid / 2 + 1 columns, rounded up.
constexpr int max_kernel_width = (max_grid / 2 + 1 + row_sum_block - 1) / row_sum_block * row_sum_block;

// c: the wavefront coefficients of the axis, indexed 1 to 6.
//
// The phase angle is theta(p, i) = 2 PI (d u + f(d)) / N with d = p - N/2,
// u = i - N/2, and f the defocus and wavefront terms of sample p. Since 4 d u
// is an integer, exp(i 2 PI d u / N) is one of the 4N roots of unity
// exp(i 2 PI m / 4N), so the roots are a table of 4N sines, and each sample
// adds one sine and one cosine for its factor.
void make_kernel(const Parameters& p, const double* c, AxisKernel& kernel) {
  const int n = p.grid_size;
  const double K = n / p.wavelength;
  const double b = p.wavelength / (n * p.pitch * p.NA);
  const double h = n / 2.0;
  kernel.half = n / 2 + 1;
  kernel.width = (kernel.half + row_sum_block - 1) / row_sum_block * row_sum_block;
  kernel.cosines.assign(static_cast<std::size_t>(n / 2 + 1) * kernel.width, 0.0);
  kernel.sines.assign(kernel.cosines.size(), 0.0);
  kernel.factor_re.assign(static_cast<std::size_t>(n), 0.0);
  kernel.factor_im.assign(static_cast<std::size_t>(n), 0.0);
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
    const double weight = (q == 0 || q == n - 1) ? 0.5 : 1.0;
    const double pupil_angle = 2 * PI * (0 - focus + w3 + w4 + w1 + w2 + w56) / n;
    kernel.factor_re[q] = weight * std::cos(pupil_angle);
    kernel.factor_im[q] = weight * std::sin(pupil_angle);
    if (2 * q > n) continue;
    const int twice_d = 2 * q - n;
    double* cosines = kernel.cosines.data() + static_cast<std::size_t>(q) * kernel.width;
    double* sines = kernel.sines.data() + static_cast<std::size_t>(q) * kernel.width;
    for (int i = 0; i < kernel.half; ++i) {
      int m = (twice_d * (2 * i - n)) % (4 * n);  // 4 d u modulo 4N
      if (m < 0) m += 4 * n;
      cosines[i] = root_re[m];
      sines[i] = root_im[m];
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

// The outputs of one line's products: X in columns 0 to half - 1, Y from
// column `width` of the kernel on.
struct HalfSums {
  double re[max_grid][2 * max_kernel_width];
  double im[max_grid][2 * max_kernel_width];
};

// The sums and differences of an input line's partner samples, u_p =
// a_p + a_(n-p) and v_p = a_p - a_(n-p) for p = from to n/2 (u = v = a_p when
// p is its own partner), where a is the line at samples first..last and 0
// elsewhere; returns `from`, the first p with a non-zero sample or partner.
struct Folded {
  double u_re[max_grid], u_im[max_grid], v_re[max_grid], v_im[max_grid];
};

int fold_partners(const double* re, const double* im, int first, int last, int n, Folded& out) {
  const int from = std::max(0, std::min(first, n - last));
  for (int p = from; 2 * p <= n; ++p) {
    const int q = n - p;
    const bool has_p = p >= first && p <= last;
    const bool has_q = q != p && q >= first && q <= last;
    const double pr = has_p ? re[p] : 0.0, pi = has_p ? im[p] : 0.0;
    const double qr = has_q ? re[q] : 0.0, qi = has_q ? im[q] : 0.0;
    out.u_re[p] = pr + qr;
    out.u_im[p] = pi + qi;
    out.v_re[p] = pr - qr;
    out.v_im[p] = pi - qi;
  }
  return from;
}

// The two row sums of one line (samples first..last, 0 elsewhere) of a pass:
// X = u times the cosines into out, Y = v times the sines into out + width.
void add_line_sums(const double* re, const double* im, int first, int last, int n,
                   const AxisKernel& k, Folded& folded, double* out_re, double* out_im,
                   std::vector<RowSum>& sums) {
  const int from = fold_partners(re, im, first, last, n, folded);
  const int terms = n / 2 - from + 1;
  sums.push_back({folded.u_re + from, folded.u_im + from, k.cosine_row(from), terms, out_re, out_im});
  sums.push_back({folded.v_re + from, folded.v_im + from, k.sine_row(from), terms, out_re + k.width,
                  out_im + k.width});
}

// Working rows of one source image.
struct Passes {
  Field input;      // line c of the shifted pupil field times the y factors
  Folded folded_first[max_grid];  // per line c
  HalfSums first;   // first pass, per line c
  Field lines;      // [i][c]: line c along y transformed, times the x factor of c
  Folded folded_second[max_grid];  // per y output i
  HalfSums second;  // second pass, per y output i
  std::vector<RowSum> sums;
};

// Calls out(i, re, im) for every output i < n (n >= 2) of a row of half
// sums: X + iY at i < half, X - iY at its partner n - i.
template <typename Out>
void combine_half_sums(const double* re, const double* im, const AxisKernel& k, int n, Out out) {
  const int half = k.half;
  for (int i = 0; i < half; ++i) {
    const double xr = re[i], xi = im[i];
    const double yr = re[k.width + i], yi = im[k.width + i];
    out(i, xr - yi, xi + yr);
    const int partner = n - i;
    if (partner < n && partner != i) out(partner, xr + yi, xi - yr);
  }
}

// Adds points * |U|^2 of one shifted spectrum to the intensity, held
// transposed ([y][x]) so that the second pass adds along its rows.
void add_source_image(const Parameters& p, const Field& spectrum, const PupilSamples& pupil,
                      const AxisKernel& kx, const AxisKernel& ky, const Shift& shift,
                      Passes& work, Intensity& transposed) {
  const int n = p.grid_size;
  const SumRows sum = sum_rows();
  // Pupil lines whose shifted spectrum line lies on the grid.
  const int c_first = std::max(pupil.first_line, -shift.m);
  const int c_last = std::min(pupil.last_line, n - 1 - shift.m);
  if (c_first > c_last) return;  // the whole spectrum is off the grid: no light

  // First pass, along y: line c of the pupil field, times the y factors,
  // times the y roots.
  work.sums.clear();
  for (int c = c_first; c <= c_last; ++c) {
    const int i_first = std::max(pupil.first[c], -shift.n);
    const int i_last = std::min(pupil.last[c], n - 1 - shift.n);
    if (i_first > i_last) {
      std::fill_n(work.first.re[c], 2 * ky.width, 0.0);
      std::fill_n(work.first.im[c], 2 * ky.width, 0.0);
      continue;
    }
    const double* a_re = spectrum.re[c + shift.m];
    const double* a_im = spectrum.im[c + shift.m];
    double* b_re = work.input.re[c];
    double* b_im = work.input.im[c];
    for (int i = i_first; i <= i_last; ++i) {
      const int at = i + shift.n;
      b_re[i] = a_re[at] * ky.factor_re[i] - a_im[at] * ky.factor_im[i];
      b_im[i] = a_re[at] * ky.factor_im[i] + a_im[at] * ky.factor_re[i];
    }
    add_line_sums(b_re, b_im, i_first, i_last, n, ky, work.folded_first[c], work.first.re[c],
                  work.first.im[c], work.sums);
  }
  sum(work.sums, ky.width, ky.width);

  // The transformed lines, times the x factor of their line, stored by
  // output index for the second pass; eight lines at a time, so that the
  // stores fill whole cache lines.
  for (int c0 = c_first; c0 <= c_last; c0 += 8) {
    const int c1 = std::min(c0 + 8, c_last + 1);
    for (int i = 0; i < ky.half; ++i) {
      const int partner = n - i;
      for (int c = c0; c < c1; ++c) {
        const double xr = work.first.re[c][i], xi = work.first.im[c][i];
        const double yr = work.first.re[c][ky.width + i], yi = work.first.im[c][ky.width + i];
        const double fr = kx.factor_re[c];
        const double fi = kx.factor_im[c];
        // X + iY at i, X - iY at n - i, each times the x factor.
        work.lines.re[i][c] = (xr - yi) * fr - (xi + yr) * fi;
        work.lines.im[i][c] = (xr - yi) * fi + (xi + yr) * fr;
        if (partner < n && partner != i) {
          work.lines.re[partner][c] = (xr + yi) * fr - (xi - yr) * fi;
          work.lines.im[partner][c] = (xr + yi) * fi + (xi - yr) * fr;
        }
      }
    }
  }

  // Second pass, along x: for each y output i, the lines' values times the x
  // roots.
  work.sums.clear();
  for (int i = 0; i < n; ++i) {
    add_line_sums(work.lines.re[i], work.lines.im[i], c_first, c_last, n, kx,
                  work.folded_second[i], work.second.re[i], work.second.im[i], work.sums);
  }
  sum(work.sums, kx.width, kx.width);

  const double weight = shift.points;
  for (int i = 0; i < n; ++i) {
    combine_half_sums(work.second.re[i], work.second.im[i], kx, n,
                      [&](int j, double re, double im) {
                        transposed.at[i][j] += weight * (re * re + im * im);
                      });
  }
}

// Working storage, kept between runs so that a run does not fault in fresh
// pages (the calculator runs one call at a time).
struct Scratch {
  PupilSamples pupil;
  AxisKernel kx, ky;
  Passes passes;
  Intensity transposed;
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
  make_kernel(p, p.aber_x, kx);
  make_kernel(p, p.aber_y, ky);

  for (int k = 0; k < n; ++k) std::fill_n(s.transposed.at[k], n, 0.0);
  for (const Shift& shift : distinct_shifts(p)) {
    add_source_image(p, spectrum, pupil, kx, ky, shift, s.passes, s.transposed);
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      intensity.at[j][k] = s.transposed.at[k][j] / source_point_count;
      if (kx.broken[j] || ky.broken[k]) intensity.at[j][k] = nan;
    }
  }
}

}  // namespace meridox::projection
