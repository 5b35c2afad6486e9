// Fresnel integral table and look-ups.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "proximity/edge_factors.hpp"
#include "proximity/fresnel.hpp"

namespace px = meridox::proximity;

namespace {

class FresnelTable : public ::testing::Test {
 protected:
  void SetUp() override { px::tabulate_fresnel(); }
  static double c(double u) { return px::fresnel_value(px::fresnel_c, u); }
  static double s(double u) { return px::fresnel_value(px::fresnel_s, u); }
};

// Power series of C and S, accurate to rounding for |u| <= 2.
void fresnel_series(double u, double& c_out, double& s_out) {
  const double pi = 3.14159265358979323846;
  double c_sum = 0.0, s_sum = 0.0;
  double term = 1.0;  // (pi/2)^n u^(2n) / n!
  for (int n = 0; n < 60; ++n) {
    if (n > 0) term *= (pi / 2.0) * u * u / n;
    const double piece = term * u / (2 * n + 1);
    switch (n % 4) {
      case 0: c_sum += piece; break;
      case 1: s_sum += piece; break;
      case 2: c_sum -= piece; break;
      default: s_sum -= piece; break;
    }
  }
  c_out = c_sum;
  s_out = s_sum;
}

TEST_F(FresnelTable, PublishedValuesToSixDecimals) {
  struct Published {
    double u, c, s;
  };
  // Abramowitz and Stegun, table 7.7.
  const Published values[] = {{0.5, 0.4923442, 0.0647324},
                              {1.0, 0.7798934, 0.4382591},
                              {2.0, 0.4882534, 0.3434157}};
  for (const auto& v : values) {
    EXPECT_NEAR(c(v.u), v.c, 1e-6) << v.u;
    EXPECT_NEAR(s(v.u), v.s, 1e-6) << v.u;
    EXPECT_EQ(c(-v.u), -c(v.u));
    EXPECT_EQ(s(-v.u), -s(v.u));
  }
}

TEST_F(FresnelTable, EntriesFollowTheIntegralsAndStartAtZero) {
  EXPECT_EQ(px::table_step, 0.02);
  EXPECT_EQ(px::fresnel_c[0], 0.0);
  EXPECT_EQ(px::fresnel_s[0], 0.0);
  for (int k = 1; k <= 100; ++k) {
    double cs, ss;
    fresnel_series(k * 0.02, cs, ss);
    // Simpson's rule with half-step 0.01 is good to about 1e-8 up to u = 2.
    ASSERT_NEAR(px::fresnel_c[k], cs, 5e-8) << k;
    ASSERT_NEAR(px::fresnel_s[k], ss, 5e-8) << k;
  }
  // Far out the integrals oscillate about 1/2 with amplitude 1/(pi u); the
  // Simpson sums have gathered some 1e-5 of error by u = 20.
  EXPECT_NEAR(px::fresnel_c[1000], 0.5, 1.0 / (3.14159 * 20.0) + 1e-4);
  EXPECT_NEAR(px::fresnel_s[1000], 0.5, 1.0 / (3.14159 * 20.0) + 1e-4);
  EXPECT_NE(px::fresnel_c[1001], 0.0);
}

TEST_F(FresnelTable, LookUpsAtZeroAndAtNodes) {
  EXPECT_EQ(c(0.0), 0.0);
  EXPECT_EQ(s(0.0), 0.0);
  for (int k : {1, 2, 25, 50, 333, 777, 999}) {
    EXPECT_NEAR(c(k * 0.02), px::fresnel_c[k], 1e-14) << k;
    EXPECT_NEAR(s(k * 0.02), px::fresnel_s[k], 1e-14) << k;
  }
  // Half way between two nodes: the mean of the two entries.
  EXPECT_NEAR(c(0.51), (px::fresnel_c[25] + px::fresnel_c[26]) / 2.0, 1e-15);
}

TEST_F(FresnelTable, ExactlyOddEverywhere) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> mag(0.0, 30.0);
  for (int n = 0; n < 2000; ++n) {
    const double u = mag(gen);
    ASSERT_EQ(c(-u), -c(u)) << u;
    ASSERT_EQ(s(-u), -s(u)) << u;
  }
}

TEST_F(FresnelTable, LimitOfOneHalfFromTwentyOn) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double u : {20.0, 20.000001, 25.0, 1e9, 1e300, inf}) {
    EXPECT_EQ(c(u), 0.5) << u;
    EXPECT_EQ(s(u), 0.5) << u;
    EXPECT_EQ(c(-u), -0.5) << u;
    EXPECT_EQ(s(-u), -0.5) << u;
  }
  // Just below 20 the look-up still interpolates between entries 999 and 1000.
  const double below = 19.99;
  const double lo = px::fresnel_c[999], hi = px::fresnel_c[1000];
  EXPECT_GE(c(below), std::min(lo, hi));
  EXPECT_LE(c(below), std::max(lo, hi));
  EXPECT_NE(c(below), 0.5);
}

TEST_F(FresnelTable, NotANumberNeverIndexesTheTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(c(nan)));
  EXPECT_TRUE(std::isnan(s(-nan)));
  EXPECT_TRUE(std::isnan(px::fresnel_c_diff(nan, 1.0)));
}

TEST_F(FresnelTable, Differences) {
  const double far_lo = -25.0, far_hi = 25.0, zero = 0.0;
  EXPECT_EQ(px::fresnel_c_diff(far_lo, far_hi), 1.0);
  EXPECT_EQ(px::fresnel_s_diff(far_lo, far_hi), 1.0);
  EXPECT_EQ(px::fresnel_c_diff(zero, far_hi), 0.5);
  EXPECT_EQ(px::fresnel_s_diff(zero, far_hi), 0.5);
  const double a = -0.731, b = 1.294;
  EXPECT_EQ(px::fresnel_c_diff(a, b), c(b) - c(a));
  EXPECT_EQ(px::fresnel_c_diff(b, a), -px::fresnel_c_diff(a, b));
  EXPECT_EQ(px::fresnel_s_diff(b, a), -px::fresnel_s_diff(a, b));
}

// The edge factors of the factorised sum, at every vector level this
// processor runs, against the direct sum's own differences of look-ups on
// the same arguments: equal bits, NaN included. Runs of 1 to 11 points cover
// the vector kernels' partial last step.
TEST_F(FresnelTable, EdgeFactorKernelsGiveTheDirectSumsBits) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 gen(99);
  std::uniform_real_distribution<double> pos(-30.0, 30.0), scale(0.05, 3.0);
  std::vector<px::EdgeRun> runs;
  for (int n = 0; n < 200; ++n) {
    const double e1 = pos(gen);
    runs.push_back({e1, e1 + scale(gen) * 4, pos(gen), scale(gen), pos(gen) / 10, scale(gen),
                    1 + n % 11, nullptr, nullptr});
  }
  // Arguments on table nodes and zero, at and beyond the end of the table,
  // and edges, steps or scales that are infinite or not a number.
  runs.push_back({-1.0, 1.0, -1.0, 0.02, 0.0, 1.0, 11, nullptr, nullptr});
  runs.push_back({0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 3, nullptr, nullptr});
  runs.push_back({-20.0, 20.0, 0.0, 19.99, 0.0, 1.0, 5, nullptr, nullptr});
  runs.push_back({-inf, inf, -2.0, 1.0, 0.1, 1.0, 7, nullptr, nullptr});
  runs.push_back({nan, 1.0, -2.0, 1.0, 0.1, 1.0, 6, nullptr, nullptr});
  runs.push_back({-1.0, 1.0, -2.0, inf, 0.0, 1.0, 5, nullptr, nullptr});
  runs.push_back({-1.0, 1.0, -2.0, 0.5, 0.0, nan, 5, nullptr, nullptr});
  runs.push_back({-1.0, 1.0, inf, 0.5, 0.0, 2.0, 5, nullptr, nullptr});
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  int levels = 0;
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    const auto kernel = px::edge_factors_kernel(level);
    if (kernel == nullptr) continue;
    ++levels;
    for (px::EdgeRun run : runs) {
      std::vector<double> c(run.count + 4, -7.0), s(c.size(), -7.0);
      run.c = c.data();
      run.s = s.data();
      kernel(run);
      for (int p = 0; p < run.count; ++p) {
        const double x = run.start + run.step * p;
        const double v1 = run.a * ((run.e1 - x) - run.offset);
        const double v2 = run.a * ((run.e2 - x) - run.offset);
        ASSERT_EQ(bits(c[p]), bits(px::fresnel_c_diff(v1, v2)))
            << meridox::vector_level_name(level) << " C at " << v1 << ", " << v2;
        ASSERT_EQ(bits(s[p]), bits(px::fresnel_s_diff(v1, v2)))
            << meridox::vector_level_name(level) << " S at " << v1 << ", " << v2;
      }
      for (std::size_t p = run.count; p < c.size(); ++p) ASSERT_EQ(c[p], -7.0) << "written past the run";
    }
  }
  EXPECT_GE(levels, 1);
}

}  // namespace
