#include "literal.hpp"

#include <cmath>
#include <cstdio>

#include "support/harness.hpp"

namespace meridox::testing::literal {

std::string sheet_text(const Case& c) {
  SheetBuilder sheet;
  sheet.set(0, 0, "projection test sheet");
  sheet.set(0, 2, "grid_size").set(2, 2, c.grid_size);
  const double values[] = {c.pitch, c.wavelength, c.NA, c.sigma, c.tilt_x, c.tilt_y, c.defocus};
  for (int r = 0; r < 7; ++r) sheet.set(2, 3 + r, values[r]);
  for (int p = 1; p <= 6; ++p) sheet.set(0, 9 + p, "aber_x").set(1, 9 + p, "um").set(2, 9 + p, c.aber_x[p]);
  for (int p = 1; p <= 6; ++p) sheet.set(2, 15 + p, c.aber_y[p]);
  sheet.set(2, 22, c.rect_count);
  for (std::size_t q = 0; q < c.rows.size(); ++q) {
    const int row = 25 + static_cast<int>(q);
    sheet.set(0, row, static_cast<int>(q));
    for (int col = 0; col < 6; ++col) sheet.set(1 + col, row, c.rows[q][static_cast<std::size_t>(col)]);
  }
  return sheet.str();
}

Case random_case(std::mt19937_64& rng, int n, int rects) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  Case c;
  c.grid_size = n;
  c.pitch = 0.05 + 0.1 * (unit(rng) + 1);
  c.wavelength = 0.2 + 0.2 * (unit(rng) + 1);
  // A pupil radius between one sample and a third of the grid.
  const double radius = 1 + (unit(rng) + 1) * n / 6.0;
  c.NA = radius * c.wavelength / (c.pitch * n);
  c.sigma = 0.5 * (unit(rng) + 1);
  c.tilt_x = 0.2 * unit(rng);
  c.tilt_y = 0.2 * unit(rng);
  c.defocus = 0.5 * unit(rng);
  for (int p = 1; p <= 6; ++p) {
    c.aber_x[p] = 0.05 * unit(rng);
    c.aber_y[p] = 0.05 * unit(rng);
  }
  c.rect_count = rects;
  const double reach = 0.6 * n;  // some edges beyond the grid's half width
  for (int q = 0; q < rects; ++q) {
    c.rows.push_back({unit(rng), unit(rng), reach * unit(rng), reach * unit(rng), reach * unit(rng),
                      reach * unit(rng)});
  }
  return c;
}

int used_grid_size(const Case& c) { return c.grid_size > 128 ? 128 : c.grid_size; }

namespace {

// The sheet reader keeps rows 0 to 1001; lines beyond row 1000 are written
// over row 1000, so row 1000 holds the last line, and row 1001 stays empty.
std::array<double, 6> rectangle_row(const Case& c, int q) {
  const int lines = 25 + static_cast<int>(c.rows.size());
  const int row = 25 + q;
  std::array<double, 6> empty{};
  if (row >= 1001) return empty;
  if (row == 1000 && lines > 1001) return c.rows.back();
  if (q >= static_cast<int>(c.rows.size())) return empty;
  return c.rows[static_cast<std::size_t>(q)];
}

std::string field_text(double v) {
  if (std::isnan(v)) return "nan\t";
  std::string text = printf_fixed(v) + "\t";
  if (text.size() > 255) {
    char e[64];
    std::snprintf(e, sizeof e, "%.6e\t", v);
    text = e;
  }
  return text;
}

template <typename Axis, typename Value>
std::string table(const char* title_utf8, int n, Axis axis, Value value) {
  std::string out = shift_jis(title_utf8) + "\r\n\t";
  for (int q = 0; q < n; ++q) out += field_text(axis(q));
  out += "\r\n";
  for (int j = 0; j < n; ++j) {
    out += field_text(axis(j));
    for (int q = 0; q < n; ++q) out += field_text(value(q, j));
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

void transform_1d(const Case& c, int N, double* re, double* im, int count, int axis) {
  const std::array<double, 7>& a = axis == 1 ? c.aber_y : c.aber_x;
  const double K = N / c.wavelength;
  const double b = c.wavelength / (N * c.pitch * c.NA);
  std::vector<double> UR(static_cast<std::size_t>(count)), UI(static_cast<std::size_t>(count));
  // Phase number of offset d for output offset u, summed left to right.
  const auto phase = [&](double d, double u) {
    const double r = b * d;
    return d * u - (c.defocus * c.wavelength * d * d) / ((2 * N) * c.pitch * c.pitch) +
           a[3] * K * (r * r * r) + a[4] * K * (r * r * r * r) + a[1] * K * r + a[2] * K * (r * r) +
           (a[5] * K * (r * r * r * r * r) + a[6] * K * (r * r * r * r * r * r));
  };
  for (int i = 0; i < count; ++i) {
    const double u = 1.0 * i - count / 2.0;
    UR[i] = 0;
    UI[i] = 0;
    for (int p = 0; p <= count - 2; ++p) {
      const double d = 1.0 * p - count / 2.0;
      const double e = d + 1;
      const double f1 = phase(d, u);
      const double f2 = phase(e, u);
      const double t1 = 2 * PI * f1 / count;
      const double t2 = 2 * PI * f2 / count;
      const double t1r = re[p] * std::cos(t1) - im[p] * std::sin(t1);
      const double t1i = im[p] * std::cos(t1) + re[p] * std::sin(t1);
      const double t2r = re[p + 1] * std::cos(t2) - im[p + 1] * std::sin(t2);
      const double t2i = im[p + 1] * std::cos(t2) + re[p + 1] * std::sin(t2);
      UR[i] += (t1r + t2r) / 2;
      UI[i] += (t1i + t2i) / 2;
    }
  }
  for (int i = 0; i < count; ++i) {
    re[i] = UR[i];
    im[i] = UI[i];
  }
}

// A shift in whole samples; one that is not a number or reaches beyond the
// grid takes every sample off the grid.
int whole_samples(double shift, int N) {
  if (!(std::fabs(shift) < N)) return N;
  return static_cast<int>(shift);
}

}  // namespace

Grid spectrum(const Case& c) {
  const int N = used_grid_size(c);
  Grid f;
  f.n = N > 0 ? N : 0;
  f.re.assign(static_cast<std::size_t>(f.n) * f.n, 0.0);
  f.im.assign(f.re.size(), 0.0);
  if (N <= 0) return f;
  const int c0 = N / 2;
  const int count = c.rect_count > 1000 ? 1000 : c.rect_count;
  const double sx = c.tilt_x * c.pitch * N / c.wavelength;
  const double sy = c.tilt_y * c.pitch * N / c.wavelength;
  std::vector<double> Fxr(static_cast<std::size_t>(N)), Fxi(Fxr), Fyr(Fxr), Fyi(Fxr);
  const auto limit = [c0](double e) { return e > c0 ? c0 : (e < -c0 ? -c0 : e); };
  for (int q = 0; q < count; ++q) {
    const std::array<double, 6> row = rectangle_row(c, q);
    const double t_re = row[0], t_im = row[1];
    const double x1 = limit(row[2]), x2 = limit(row[3]), y1 = limit(row[4]), y2 = limit(row[5]);
    for (int j = 0; j < N; ++j) {
      const double vx = (j - c0) + sx;
      const double vy = (j - c0) + sy;
      if (vx == 0) {
        Fxr[j] = (x2 - x1) / N;
        Fxi[j] = 0;
      } else {
        const double w = 2 * PI * vx;
        Fxr[j] = (std::sin(w * x2 / N) - std::sin(w * x1 / N)) / w;
        Fxi[j] = (std::cos(w * x2 / N) - std::cos(w * x1 / N)) / w;
      }
      if (vy == 0) {
        Fyr[j] = (y2 - y1) / N;
        Fyi[j] = 0;
      } else {
        const double w = 2 * PI * vy;
        Fyr[j] = (std::sin(w * y2 / N) - std::sin(w * y1 / N)) / w;
        Fyi[j] = (std::cos(w * y2 / N) - std::cos(w * y1 / N)) / w;
      }
    }
    for (int j = 0; j < N; ++j) {
      for (int k = 0; k < N; ++k) {
        const double Pr = Fxr[j] * Fyr[k] - Fxi[j] * Fyi[k];
        const double Pi = Fxr[j] * Fyi[k] + Fxi[j] * Fyr[k];
        f.r(j, k) = (f.r(j, k) + t_re * Pr) - t_im * Pi;
        f.i(j, k) = (f.i(j, k) + t_re * Pi) + t_im * Pr;
      }
    }
  }
  return f;
}

std::vector<double> image(const Case& c, const Grid& spectrum) {
  const int N = spectrum.n;
  std::vector<double> II(static_cast<std::size_t>(N) * N, 0.0);
  if (N <= 0) return II;
  const int c0 = N / 2;
  const double R = c.NA * c.pitch * N / c.wavelength;
  Grid B = spectrum;
  Grid f = spectrum;
  Grid g = spectrum;
  int count = 0;
  for (int m = -2; m <= 2; ++m) {
    for (int n = -2; n <= 2; ++n) {
      if (m * m + n * n > 4) continue;
      ++count;
      const int sm = whole_samples(std::floor(m * c.NA * c.sigma / 2 * c.pitch * N / c.wavelength + 0.5), N);
      const int sn = whole_samples(std::floor(n * c.NA * c.sigma / 2 * c.pitch * N / c.wavelength + 0.5), N);
      for (int a = 0; a < N; ++a) {
        for (int i = 0; i < N; ++i) {
          f.r(a, i) = 0;
          f.i(a, i) = 0;
          const bool inside = static_cast<double>((a - c0) * (a - c0) + (i - c0) * (i - c0)) <= R * R;
          if (inside && 0 <= a + sm && a + sm < N && 0 <= i + sn && i + sn < N) {
            f.r(a, i) = B.r(a + sm, i + sn);
            f.i(a, i) = B.i(a + sm, i + sn);
          }
        }
      }
      for (int a = 0; a < N; ++a) transform_1d(c, N, &f.r(a, 0), &f.i(a, 0), N, 1);
      for (int a = 0; a < N; ++a) {
        for (int b = 0; b < N; ++b) {
          g.r(a, b) = f.r(b, a);
          g.i(a, b) = f.i(b, a);
        }
      }
      for (int a = 0; a < N; ++a) transform_1d(c, N, &g.r(a, 0), &g.i(a, 0), N, 2);
      for (int a = 0; a < N; ++a) {
        for (int b = 0; b < N; ++b) {
          const double re = g.r(b, a);
          const double im = g.i(b, a);
          double& v = II[static_cast<std::size_t>(a) * N + b];
          v = v + re * re + im * im;
        }
      }
    }
  }
  for (double& v : II) v = v / count;
  return II;
}

std::string amplitude_table(const Case& c, const Grid& s) {
  Grid f = s;
  const int N = used_grid_size(c);
  return table(
      "フーリエ変換後の波動振幅", N,
      [&](int q) { return c.wavelength * (q - N / 2) / (N * c.pitch); },
      [&](int q, int j) { return std::sqrt(f.r(q, j) * f.r(q, j) + f.i(q, j) * f.i(q, j)); });
}

std::string phase_table(const Case& c, const Grid& s) {
  Grid f = s;
  const int N = used_grid_size(c);
  return table(
      "フーリエ変換後の光の位相", N,
      [&](int q) { return c.wavelength * (q - N / 2) / (N * c.pitch); },
      [&](int q, int j) {
        const double a = f.r(q, j);
        const double b = f.i(q, j);
        if (a > 0) return std::atan(b / a);
        if (a == 0) return 0.0;
        if (b > 0) return std::atan(b / a) + PI;
        return std::atan(b / a) - PI;
      });
}

std::string intensity_table(const Case& c, const std::vector<double>& image) {
  const int N = used_grid_size(c);
  return table(
      "投影像光強度分布II[i][j]", N, [&](int q) { return c.pitch * (q - N / 2); },
      [&](int q, int j) { return image[static_cast<std::size_t>(q) * N + j]; });
}

}  // namespace meridox::testing::literal
