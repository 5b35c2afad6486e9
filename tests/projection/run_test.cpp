// A projection run through the exported entry, compared with the literal
// evaluation of the same sheet.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "literal.hpp"
#include "support/harness.hpp"

namespace meridox::testing {
namespace {

using literal::Case;

// Reports the first line where two tables differ, instead of two huge texts.
void expect_same_table(const std::string& actual, const std::string& expected, const char* what) {
  if (actual == expected) return;
  const auto a = split_table(actual);
  const auto e = split_table(expected);
  for (std::size_t line = 0; line < std::min(a.size(), e.size()); ++line) {
    if (a[line] == e[line]) continue;
    for (std::size_t f = 0; f < std::min(a[line].size(), e[line].size()); ++f) {
      ASSERT_EQ(a[line][f], e[line][f]) << what << " line " << line << " field " << f;
    }
    ASSERT_EQ(a[line].size(), e[line].size()) << what << " line " << line;
  }
  FAIL() << what << ": " << a.size() << " lines, expected " << e.size() << " (or header bytes differ)";
}

// Same layout, and every number equal or one unit apart in the sixth decimal.
void expect_agreeing_table(const std::string& actual, const std::string& expected) {
  const auto a = split_table(actual);
  const auto e = split_table(expected);
  ASSERT_EQ(a.size(), e.size());
  int off_by_one = 0;
  for (std::size_t line = 0; line < a.size(); ++line) {
    ASSERT_EQ(a[line].size(), e[line].size()) << "line " << line;
    for (std::size_t f = 0; f < a[line].size(); ++f) {
      if (a[line][f] == e[line][f]) continue;
      const double x = std::strtod(a[line][f].c_str(), nullptr);
      const double y = std::strtod(e[line][f].c_str(), nullptr);
      ASSERT_LE(std::fabs(x - y), 1.0000001e-6 + 1e-15 * std::fabs(y))
          << "line " << line << " field " << f << ": " << a[line][f] << " against " << e[line][f];
      ++off_by_one;
    }
  }
  EXPECT_LT(off_by_one, 20) << "too many straddled roundings to be chance";
}

void run(const ExchangeFolder& folder, const Case& c) {
  folder.write_sheet(literal::sheet_text(c));
  call_entry("orvalis");
}

TEST(ProjectionRun, SpectrumTablesAreByteIdenticalToTheLiteralEvaluation) {
  std::mt19937_64 rng(41);
  ExchangeFolder folder;
  struct Size {
    int n;
    int rects;
  };
  // Small to full size, odd and even, limits exceeded (N 200, 1000
  // rectangles written on rows beyond the sheet's grid).
  for (const Size size : {Size{1, 3}, Size{2, 5}, Size{3, 2}, Size{8, 17}, Size{17, 60},
                          Size{64, 300}, Size{127, 1000}, Size{128, 1000}, Size{200, 40}}) {
    Case c = literal::random_case(rng, size.n, size.rects);
    if (size.n == 17) c.tilt_x = c.tilt_y = 0;  // zero-frequency samples on the grid
    if (size.n == 8) {
      // Awkward cells: a NaN edge, an infinite transmission, -0.
      c.rows[1][2] = std::nan("");
      c.rows[2][0] = INFINITY;
      c.rows[3] = {-0.0, -0.0, -1, 1, -1, 1};
    }
    run(folder, c);
    const literal::Grid s = literal::spectrum(c);
    SCOPED_TRACE("N " + std::to_string(size.n));
    expect_same_table(folder.read("OUT_MR.txt"), literal::amplitude_table(c, s), "OUT_MR");
    expect_same_table(folder.read("OUT_MI.txt"), literal::phase_table(c, s), "OUT_MI");
  }
}

TEST(ProjectionRun, ImageAgreesWithTheLiteralEvaluationToThePrintedDigit) {
  std::mt19937_64 rng(43);
  ExchangeFolder folder;
  // The literal image costs N^3 sines: small grids, and one full one.
  for (const int n : {2, 3, 5, 8, 13, 16, 24, 31, 40, 128}) {
    Case c = literal::random_case(rng, n, n == 128 ? 1000 : 3 * n);
    if (n == 13) c.sigma = 0;
    if (n == 16) c.sigma = 1;
    if (n == 24) c.NA *= 8;  // a pupil larger than the grid
    if (n == 31) c.sigma = 3;  // shifts that push the spectrum off the grid
    run(folder, c);
    const literal::Grid s = literal::spectrum(c);
    SCOPED_TRACE("N " + std::to_string(n));
    expect_same_table(folder.read("OUT_MR.txt"), literal::amplitude_table(c, s), "OUT_MR");
    expect_agreeing_table(folder.read("OUT_M.txt"), literal::intensity_table(c, literal::image(c, s)));
  }
}

// One rectangle covering the whole even grid, transmission 1, no tilt.
Case whole_grid_mask(int n) {
  Case c;
  c.grid_size = n;
  c.pitch = 1;
  c.wavelength = 1;
  c.NA = 10.0 / n;
  c.defocus = 0.3;
  for (int p = 1; p <= 6; ++p) c.aber_x[p] = c.aber_y[p] = 0.01 * p;
  c.rect_count = 1;
  c.rows = {{1, 0, -n / 2.0, n / 2.0, -n / 2.0, n / 2.0}};
  return c;
}

std::vector<std::string> values_of(const std::string& table) {
  std::vector<std::string> values;
  const auto lines = split_table(table);
  for (std::size_t line = 2; line < lines.size(); ++line) {
    for (std::size_t f = 1; f + 1 < lines[line].size(); ++f) values.push_back(lines[line][f]);
  }
  return values;
}

TEST(ProjectionRun, WholeGridMaskGivesAPointSpectrumAndAnEvenImage) {
  ExchangeFolder folder;
  Case c = whole_grid_mask(64);
  c.sigma = 0;
  run(folder, c);
  const auto amplitude = split_table(folder.read("OUT_MR.txt"));
  ASSERT_EQ(amplitude.size(), 67u);  // title, axis, 64 lines, the empty last line
  for (int j = 0; j < 64; ++j) {
    for (int q = 0; q < 64; ++q) {
      EXPECT_EQ(amplitude[2 + j][1 + q], q == 32 && j == 32 ? "1.000000" : "0.000000");
    }
  }
  // Whatever the defocus and aberration: the zero-frequency sample alone.
  for (const std::string& v : values_of(folder.read("OUT_M.txt"))) ASSERT_EQ(v, "1.000000");

  // sigma 1 and R = 10: the outer source points shift by 10 and the zero
  // frequency lands on the rim of the pupil, which counts as inside.
  c.sigma = 1;
  run(folder, c);
  for (const std::string& v : values_of(folder.read("OUT_M.txt"))) ASSERT_EQ(v, "1.000000");

  // R = 10.6: the four points at distance 2 shift by 11 and see no light.
  c.NA = 10.6 / 64;
  run(folder, c);
  for (const std::string& v : values_of(folder.read("OUT_M.txt"))) ASSERT_EQ(v, "0.692308");
}

TEST(ProjectionRun, SourceShiftsBeyondTheGridLeaveOnlyTheCentrePoint) {
  std::mt19937_64 rng(47);
  ExchangeFolder folder;
  Case c = literal::random_case(rng, 20, 30);
  c.sigma = 0;
  run(folder, c);
  const std::vector<std::string> coherent = values_of(folder.read("OUT_M.txt"));
  c.sigma = 1e300;  // every point but the centre moves the spectrum off the grid
  run(folder, c);
  const std::vector<std::string> centre_only = values_of(folder.read("OUT_M.txt"));
  ASSERT_EQ(coherent.size(), centre_only.size());
  for (std::size_t k = 0; k < coherent.size(); ++k) {
    EXPECT_NEAR(std::strtod(centre_only[k].c_str(), nullptr) * 13,
                std::strtod(coherent[k].c_str(), nullptr), 2e-5);
  }
  c.sigma = std::nan("");  // not a number: no source point sees the spectrum
  run(folder, c);
  for (const std::string& v : values_of(folder.read("OUT_M.txt"))) ASSERT_EQ(v, "0.000000");
}

TEST(ProjectionRun, AxesFollowPitchAndWavelength) {
  ExchangeFolder folder;
  Case c;
  c.grid_size = 128;
  c.pitch = 0.125;
  c.wavelength = 0.5;
  c.NA = 0.1;
  run(folder, c);
  const auto spectrum_axis = split_table(folder.read("OUT_MR.txt"))[1];
  const auto image_axis = split_table(folder.read("OUT_M.txt"))[1];
  ASSERT_EQ(spectrum_axis.size(), 130u);  // empty first cell, 128 values, empty after the last TAB
  for (int q = 0; q < 128; ++q) {
    EXPECT_EQ(spectrum_axis[1 + q], printf_fixed(-2 + q / 32.0));
    EXPECT_EQ(image_axis[1 + q], printf_fixed(-8 + q / 8.0));
  }
  EXPECT_EQ(spectrum_axis[1], "-2.000000");
  // No rectangles: every table holds zeros.
  for (const char* name : {"OUT_MR.txt", "OUT_MI.txt", "OUT_M.txt"}) {
    for (const std::string& v : values_of(folder.read(name))) ASSERT_EQ(v, "0.000000") << name;
  }
}

TEST(ProjectionRun, NegativeRealSpectrumHasPhaseMinusPi) {
  ExchangeFolder folder;
  Case c = whole_grid_mask(16);
  c.rows = {{-1, 0, -3, 3, -2, 2}};  // symmetric: the spectrum is real
  run(folder, c);
  EXPECT_EQ(split_table(folder.read("OUT_MI.txt"))[2 + 8][1 + 8], "-3.141593");
}

TEST(ProjectionRun, EmptyOrNegativeGridWritesTitleAndEmptyAxis) {
  ExchangeFolder folder;
  for (const int n : {0, -5}) {
    Case c = whole_grid_mask(16);
    c.grid_size = n;
    run(folder, c);
    EXPECT_EQ(folder.read("OUT_MR.txt"), shift_jis("フーリエ変換後の波動振幅") + "\r\n\t\r\n\r\n");
    EXPECT_EQ(folder.read("OUT_MI.txt"), shift_jis("フーリエ変換後の光の位相") + "\r\n\t\r\n\r\n");
    EXPECT_EQ(folder.read("OUT_M.txt"), shift_jis("投影像光強度分布II[i][j]") + "\r\n\t\r\n\r\n");
  }
}

TEST(ProjectionRun, GridOfOneSampleIsDark) {
  ExchangeFolder folder;
  Case c = whole_grid_mask(2);
  c.grid_size = 1;
  run(folder, c);
  const auto image = split_table(folder.read("OUT_M.txt"));
  ASSERT_EQ(image.size(), 4u);
  EXPECT_EQ(image[2][1], "0.000000");
}

TEST(ProjectionRun, ZeroDivisorsGiveNonFiniteIntensities) {
  ExchangeFolder folder;
  for (const int which : {0, 1, 2}) {
    Case c = whole_grid_mask(8);
    (which == 0 ? c.wavelength : which == 1 ? c.pitch : c.NA) = 0;
    run(folder, c);
    const literal::Grid s = literal::spectrum(c);
    expect_same_table(folder.read("OUT_MR.txt"), literal::amplitude_table(c, s), "OUT_MR");
    expect_same_table(folder.read("OUT_MI.txt"), literal::phase_table(c, s), "OUT_MI");
    expect_same_table(folder.read("OUT_M.txt"), literal::intensity_table(c, literal::image(c, s)),
                      "OUT_M");
    for (const std::string& v : values_of(folder.read("OUT_M.txt"))) ASSERT_EQ(v, "nan");
  }
}

}  // namespace
}  // namespace meridox::testing
