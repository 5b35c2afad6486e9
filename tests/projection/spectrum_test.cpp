// The sheet's limits, the mask spectrum's closed-form properties, the phase
// rule and the source shifts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "projection/parameters.hpp"
#include "projection/pupil.hpp"
#include "projection/spectrum.hpp"
#include "projection/tables.hpp"
#include "literal.hpp"
#include "support/harness.hpp"

namespace meridox::projection {
namespace {

Sheet sheet_of(const std::string& text) {
  Sheet sheet(projection::layout.grid);
  sheet.feed(text);
  sheet.finish();
  return sheet;
}

TEST(ProjectionParameters, LimitsGridRectanglesAndEdges) {
  testing::SheetBuilder b;
  b.set(2, 2, 200).set(2, 22, 5000);
  b.set(1, 25, 1.0).set(3, 25, 500.0).set(4, 25, -500.0).set(5, 25, "nan").set(6, 25, 12.5);
  b.set(1, 1000, 2.0).set(1, 1001, 3.0);
  const auto p = std::make_unique<Parameters>();
  read_parameters(sheet_of(b.str()), *p);
  EXPECT_EQ(p->grid_size, 128);
  EXPECT_EQ(p->rect_count, 1000);
  EXPECT_EQ(p->rect_x1[0], 64);
  EXPECT_EQ(p->rect_x2[0], -64);
  EXPECT_TRUE(std::isnan(p->rect_y1[0]));
  EXPECT_EQ(p->rect_y2[0], 12.5);
  // Row 1000 holds the sheet's last line; later rows are not in the grid.
  EXPECT_EQ(p->rect_t_re[975], 3.0);
  EXPECT_EQ(p->rect_t_re[976], 0.0);
  EXPECT_EQ(p->rect_t_re[999], 0.0);

  b.set(2, 2, 127);
  read_parameters(sheet_of(b.str()), *p);
  EXPECT_EQ(p->rect_x1[0], 63);
  EXPECT_EQ(p->rect_x2[0], -63);
}

std::unique_ptr<Field> spectrum_of(const Parameters& p) {
  auto f = std::make_unique<Field>();
  mask_spectrum(p, *f);
  return f;
}

// A fresh parameter set with one rectangle.
std::unique_ptr<Parameters> one_rectangle(int n, double x1, double x2, double y1, double y2,
                                          double t_re = 1, double t_im = 0) {
  auto p = std::make_unique<Parameters>();
  p->grid_size = n;
  p->pitch = 0.1;
  p->wavelength = 0.25;
  p->rect_count = 1;
  p->rect_t_re[0] = t_re;
  p->rect_t_im[0] = t_im;
  p->rect_x1[0] = x1;
  p->rect_x2[0] = x2;
  p->rect_y1[0] = y1;
  p->rect_y2[0] = y2;
  return p;
}

TEST(MaskSpectrum, EveryValueIsBitIdenticalToTheLiteralEvaluation) {
  std::mt19937_64 rng(19);
  for (const int n : {1, 6, 19, 64, 128}) {
    testing::literal::Case c = testing::literal::random_case(rng, n, 2 * n + 3);
    if (n == 19) c.tilt_y = 0;
    // Transmissions with parts of exactly +-1, as binary and phase masks have.
    const double special[][2] = {{1, 0}, {-1, 0.25}, {0.5, -1}, {1, 1}, {-1, -1}, {0, 1}};
    for (std::size_t q = 0; q < c.rows.size(); q += 2) {
      c.rows[q][0] = special[q / 2 % 6][0];
      c.rows[q][1] = special[q / 2 % 6][1];
    }
    const auto p = std::make_unique<Parameters>();
    read_parameters(sheet_of(testing::literal::sheet_text(c)), *p);
    const auto f = spectrum_of(*p);
    testing::literal::Grid expected = testing::literal::spectrum(c);
    for (int j = 0; j < n; ++j) {
      for (int k = 0; k < n; ++k) {
        ASSERT_EQ(std::memcmp(&f->re[j][k], &expected.r(j, k), sizeof(double)), 0) << n << " " << j << " " << k;
        ASSERT_EQ(std::memcmp(&f->im[j][k], &expected.i(j, k), sizeof(double)), 0) << n << " " << j << " " << k;
      }
    }
  }
}

TEST(MaskSpectrum, RectangleSymmetriesHoldExactly) {
  const int n = 24;
  auto p = one_rectangle(n, -3.5, 7.25, -9, 2.5);
  p->tilt_x = 0.013;
  p->tilt_y = -0.021;
  const auto base = spectrum_of(*p);

  // Reversed x edges: the negative.
  std::swap(p->rect_x1[0], p->rect_x2[0]);
  const auto reversed = spectrum_of(*p);
  std::swap(p->rect_x1[0], p->rect_x2[0]);
  // Transmission i: multiplied by i.
  p->rect_t_re[0] = 0;
  p->rect_t_im[0] = 1;
  const auto rotated = spectrum_of(*p);
  // Two identical rows: twice the transmission.
  p->rect_count = 2;
  p->rect_t_re[0] = p->rect_t_re[1] = 1;
  p->rect_t_im[0] = p->rect_t_im[1] = 0;
  p->rect_x1[1] = p->rect_x1[0];
  p->rect_x2[1] = p->rect_x2[0];
  p->rect_y1[1] = p->rect_y1[0];
  p->rect_y2[1] = p->rect_y2[0];
  const auto doubled = spectrum_of(*p);
  // A rectangle of zero width adds nothing.
  p->rect_x2[1] = p->rect_x1[1];
  const auto with_empty = spectrum_of(*p);

  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      const double re = base->re[j][k];
      const double im = base->im[j][k];
      ASSERT_EQ(reversed->re[j][k], -re);
      ASSERT_EQ(reversed->im[j][k], -im);
      ASSERT_EQ(rotated->re[j][k], -im);
      ASSERT_EQ(rotated->im[j][k], re);
      ASSERT_NEAR(doubled->re[j][k], 2 * re, 1e-15);
      ASSERT_NEAR(doubled->im[j][k], 2 * im, 1e-15);
      ASSERT_EQ(with_empty->re[j][k], re);
      ASSERT_EQ(with_empty->im[j][k], im);
    }
  }
}

TEST(MaskSpectrum, ClosedFormValues) {
  // A rectangle symmetric about the centre with a real transmission and no
  // tilt has an exactly real spectrum.
  auto p = one_rectangle(33, -5.5, 5.5, -11, 11, 0.7);
  auto f = spectrum_of(*p);
  for (int j = 0; j < 33; ++j) {
    for (int k = 0; k < 33; ++k) ASSERT_EQ(f->im[j][k], 0.0) << j << " " << k;
  }

  // The whole even grid: 1 at the zero frequency and (within rounding) 0 at
  // every whole frequency index elsewhere.
  p = one_rectangle(32, -16, 16, -16, 16);
  f = spectrum_of(*p);
  for (int j = 0; j < 32; ++j) {
    for (int k = 0; k < 32; ++k) {
      ASSERT_NEAR(f->re[j][k], j == 16 && k == 16 ? 1.0 : 0.0, 1e-14);
      ASSERT_NEAR(f->im[j][k], 0.0, 1e-14);
    }
  }

  // A tilt of exactly 3 samples along x: sample c0 - 3 holds the limit value,
  // sample c0 the spectrum at frequency index 3 (no tilt along y).
  const int n = 16;
  const double x1 = -2.5, x2 = 4, y1 = -1, y2 = 3;
  p = one_rectangle(n, x1, x2, y1, y2);
  p->pitch = 1;
  p->wavelength = 0.5;
  p->tilt_x = 3.0 / 32;  // 3/32 * 1 * 16 / 0.5 = 3
  f = spectrum_of(*p);
  const double fy = (y2 - y1) / n;  // y index c0: zero frequency
  EXPECT_DOUBLE_EQ(f->re[8 - 3][8], (x2 - x1) / n * fy);
  EXPECT_EQ(f->im[8 - 3][8], 0.0);
  const double w = 2 * M_PI * 3;
  EXPECT_NEAR(f->re[8][8], (std::sin(w * x2 / n) - std::sin(w * x1 / n)) / w * fy, 1e-13);
  EXPECT_NEAR(f->im[8][8], (std::cos(w * x2 / n) - std::cos(w * x1 / n)) / w * fy, 1e-13);
}

TEST(SpectrumPhase, FollowsTheHalfPlaneRule) {
  EXPECT_DOUBLE_EQ(spectrum_phase(1, 1), std::atan(1.0));
  EXPECT_EQ(spectrum_phase(0.0, 5), 0.0);
  EXPECT_EQ(spectrum_phase(-0.0, -5), 0.0);
  EXPECT_EQ(spectrum_phase(-2, 0), -PI);  // never +PI
  EXPECT_EQ(spectrum_phase(-2, -0.0), -PI);
  EXPECT_DOUBLE_EQ(spectrum_phase(-1, 1), std::atan(-1.0) + PI);
  EXPECT_DOUBLE_EQ(spectrum_phase(-1, -1), std::atan(1.0) - PI);
  EXPECT_TRUE(std::isnan(spectrum_phase(std::nan(""), 1)));
}

TEST(SourceShift, RoundsHalvesUpAndKeepsFarShiftsOffTheGrid) {
  Parameters p;
  p.grid_size = 64;
  p.pitch = 1;
  p.wavelength = 1;
  p.NA = 10.0 / 64;  // R = 10
  p.sigma = 1;       // one lattice step = 5 samples
  EXPECT_EQ(source_shift(1, p), 5);
  EXPECT_EQ(source_shift(-2, p), -10);
  p.sigma = 0.1;  // half a sample
  EXPECT_EQ(source_shift(1, p), 1);
  EXPECT_EQ(source_shift(-1, p), 0);
  p.sigma = 1e300;
  EXPECT_EQ(source_shift(2, p), 64);
  EXPECT_EQ(source_shift(-2, p), -64);
  EXPECT_EQ(source_shift(0, p), 0);
  p.sigma = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(source_shift(0, p), 64);
  p.sigma = 1;
  p.wavelength = 0;
  EXPECT_EQ(source_shift(0, p), 64);  // 0 / 0
  EXPECT_EQ(source_shift(1, p), 64);

  // The rim of the pupil counts as inside.
  EXPECT_TRUE(in_pupil(32 + 6, 32 + 8, 32, 10));
  EXPECT_FALSE(in_pupil(32 + 7, 32 + 8, 32, 10));
  EXPECT_FALSE(in_pupil(32, 32, 32, std::nan("")));
}

}  // namespace
}  // namespace meridox::projection
