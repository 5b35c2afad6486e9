// The plate table, byte for byte, against a literal evaluation of the run
// written out here step by step, and the shapes of its special cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "plate_sheet.hpp"
#include "support/harness.hpp"

namespace meridox::testing {
namespace {

const char* const header_utf8 = "半径\t変位\t傾斜\t曲率\tﾓｰﾒﾝﾄMr\t応力σr\tピッチ誤差Pe";

// The run evaluated literally: every sum and product in the written order,
// the stepper's fourteen steps spelled out, numbers through the C library.
class LiteralPlate {
 public:
  explicit LiteralPlate(const PlateSheet& p) : p_(p) {}

  std::string table() {
    const double PI = 3.14159265358979;
    pi_ = PI;
    const int N = p_.divisions * 10;
    h_ = (p_.r1 - p_.r0) / N;
    D_ = (((p_.E * p_.t) * p_.t) * p_.t) / (12 * (1 - p_.nu * p_.nu));
    const double delta = 0.001;
    if (p_.support_case == 0 || p_.support_case == 2) {
      double c0 = 0;
      for (int k = 0; k < 10; ++k) {
        const double fm = end_value(N, 0, c0 - delta);
        const double f0 = end_value(N, 0, c0);
        const double fp = end_value(N, 0, c0 + delta);
        c0 = c0 - ((2 * delta) * f0) / (fp - fm);
        r_ = p_.r0, y_[0] = 0, y_[1] = 0, y_[2] = c0;
      }
    } else if (p_.support_case == 1) {
      double s0 = 0;
      for (int k = 0; k < 10; ++k) {
        const double c = ((-s0) * p_.nu) / p_.r0;
        const double fm = end_value(N, s0 - delta, c);
        const double f0 = end_value(N, s0, c);
        const double fp = end_value(N, s0 + delta, c);
        s0 = s0 - ((2 * delta) * f0) / (fp - fm);
        r_ = p_.r0, y_[0] = 0, y_[1] = s0, y_[2] = ((-s0) * p_.nu) / p_.r0;
      }
    } else {
      r_ = p_.r0, y_[0] = 0, y_[1] = 0, y_[2] = 0;
    }
    std::string out = shift_jis(header_utf8) + "\r\n";
    char line[1024];
    for (int i = 0; i < N; ++i) {
      if (i % 10 == 0) {
        const double Mr = (-D_) * (y_[2] + (y_[1] * p_.nu) / r_);
        const double sr = (Mr * 6) / (p_.t * p_.t);
        const double Pe = (y_[1] * p_.t) / 2;
        std::snprintf(line, sizeof line, "%f\t%f\t%f\t%f\t%f\t%f\t%f\r\n", r_, y_[0], y_[1], y_[2], Mr,
                      sr, Pe);
        out += line;
      }
      rk4();
    }
    const double Mr = (-D_) * (y_[2] + (y_[1] * p_.nu) / r_);
    const double sr = (Mr * 6) / (p_.t * p_.t);
    std::snprintf(line, sizeof line, "%f\t%f\t%f\t%f\t%f\t%f\r\n", r_, y_[0], y_[1], y_[2], Mr, sr);
    out += line;
    // The tables print every NaN as "nan", whatever its sign bit.
    for (std::size_t at; (at = out.find("-nan")) != std::string::npos;) out.erase(at, 1);
    return out;
  }

 private:
  // Slope at r1 (support cases 0 and 1) or w'' + nu w'/r there (case 2).
  double end_value(int N, double s0, double c0) {
    r_ = p_.r0, y_[0] = 0, y_[1] = s0, y_[2] = c0;
    for (int k = 0; k < N; ++k) rk4();
    if (p_.support_case == 2) return y_[2] + (y_[1] * p_.nu) / r_;
    return y_[1];
  }

  double f(int i, double x, const double* cy) const {
    if (i == 0) return cy[1];
    if (i == 1) return cy[2];
    const double T = p_.load_case == 1 ? (p_.load * x) / (2 * D_) : p_.load / (((2 * pi_) * x) * D_);
    return (T - cy[2] / x) + cy[1] / (x * x);
  }

  void rk4() {
    double k1[3], k2[3], k3[3], k4[3], cy[3];
    const double X = r_;
    for (int i = 0; i < 3; ++i) cy[i] = y_[i];
    for (int i = 0; i < 3; ++i) k1[i] = h_ * f(i, X, cy);
    for (int i = 0; i < 3; ++i) cy[i] = y_[i] + k1[i] / 2;
    for (int i = 0; i < 3; ++i) k2[i] = h_ * f(i, X + h_ / 2, cy);
    for (int i = 0; i < 3; ++i) cy[i] = y_[i] + k2[i] / 2;
    for (int i = 0; i < 3; ++i) k3[i] = h_ * f(i, X + h_ / 2, cy);
    for (int i = 0; i < 3; ++i) cy[i] = y_[i] + k3[i];
    for (int i = 0; i < 3; ++i) k4[i] = h_ * f(i, X + h_, cy);
    r_ = X + h_;
    for (int i = 0; i < 3; ++i) y_[i] = y_[i] + (((k1[i] + 2 * k2[i]) + 2 * k3[i]) + k4[i]) / 6;
  }

  PlateSheet p_;
  double pi_ = 0, h_ = 0, D_ = 0, r_ = 0;
  double y_[3] = {0, 0, 0};
};

TEST(PlateTable, RandomPlatesMatchTheLiteralEvaluationByteForByte) {
  std::mt19937 rng(20261207);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto log_uniform = [&](double lo, double hi) { return std::exp(uniform(std::log(lo), std::log(hi))); };
  auto pick = [&](std::vector<int> v) { return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)]; };
  for (int n = 0; n < 60; ++n) {
    PlateSheet p;
    p.load_case = pick({1, 1, 1, 0, 2, -1});
    p.support_case = n < 48 ? n % 3 : pick({3, -1, 7});
    p.E = log_uniform(50, 3e5);
    p.nu = uniform(0.0, 0.49);
    p.t = log_uniform(0.2, 20);
    // Up to deflections of 1e9 and more, where "%f" shows the last bits.
    p.load = log_uniform(1e-5, 1e7);
    p.r0 = log_uniform(0.5, 200);
    p.r1 = n % 7 == 3 ? p.r0 * uniform(0.1, 0.9) : p.r0 + log_uniform(0.1, 500);
    p.divisions = pick({0, 1, 2, 3, 5, 8, 13, 20, 30, -2});
    std::string bytes;
    run_plate(p, &bytes);
    ASSERT_EQ(bytes, LiteralPlate(p).table())
        << "load " << p.load_case << " support " << p.support_case << " divisions " << p.divisions;
  }
}

TEST(PlateTable, DegeneratePlatesPrintNonFiniteValuesAsTheLiteralEvaluationDoes) {
  std::vector<PlateSheet> plates(5);
  plates[0].r0 = 0;             // the equations divide by the radius
  plates[1].nu = 1;             // 1 - nu^2 = 0
  plates[2].divisions = 0;      // no step: the Newton denominator vanishes
  plates[3].r1 = plates[3].r0;  // zero span: the same
  plates[4].r0 = 0, plates[4].support_case = 1, plates[4].load_case = 0;
  for (const PlateSheet& p : plates) {
    std::string bytes;
    run_plate(p, &bytes);
    EXPECT_EQ(bytes, LiteralPlate(p).table());
    EXPECT_TRUE(bytes.find("nan") != std::string::npos || bytes.find("inf") != std::string::npos);
  }
}

TEST(PlateTable, WorkedExample) {
  std::string bytes;
  const auto rows = run_plate(PlateSheet{}, &bytes);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), shift_jis(header_utf8));
  EXPECT_EQ(rows[1].size(), 7u);
  EXPECT_EQ(rows[2].size(), 7u);
  ASSERT_EQ(rows[3].size(), 6u);
  EXPECT_EQ(rows[1][0], "10.000000");
  EXPECT_EQ(rows[2][0], "55.000000");
  EXPECT_EQ(rows[3][0], "100.000000");
  const auto& first = rows[1];
  EXPECT_EQ(first[1], "0.000000");
  EXPECT_EQ(first[2], "0.000000");
  EXPECT_EQ(first[6], "0.000000");
  EXPECT_LT(std::stod(first[3]), 0.0);
  const double mr0 = std::stod(first[4]);
  EXPECT_GT(mr0, 0.0);
  EXPECT_NEAR(std::stod(first[5]), 6 * mr0, 6e-6);  // t = 1
  const auto& last = rows[3];
  EXPECT_TRUE(last[2] == "0.000000" || last[2] == "-0.000000") << last[2];
  EXPECT_NEAR(std::stod(last[4]), -mr0, 0.01 * mr0);
  EXPECT_NEAR(std::stod(last[5]), 6 * std::stod(last[4]), 6e-6);
}

TEST(PlateTable, DivisionCountsOneZeroAndNegative) {
  PlateSheet p;
  p.r0 = 10, p.r1 = 19, p.divisions = 1;  // h = 0.9; ten additions reach 19 within rounding
  auto rows = run_plate(p);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].size(), 7u);
  EXPECT_EQ(rows[1][0], "10.000000");
  ASSERT_EQ(rows[2].size(), 6u);
  EXPECT_EQ(rows[2][0], "19.000000");

  for (int divisions : {0, -4}) {
    for (int support : {0, 1, 2}) {
      p.divisions = divisions, p.support_case = support;
      rows = run_plate(p);
      ASSERT_EQ(rows.size(), 2u);
      ASSERT_EQ(rows[1].size(), 6u);
      EXPECT_EQ(rows[1][0], "10.000000");
      EXPECT_EQ(rows[1][1], "0.000000");
      // Without a step the slope end condition does not depend on the start
      // curvature: its Newton update divides 0 by 0. The other two cases see
      // their own start value and stay at the flat start.
      EXPECT_EQ(rows[1][3], support == 0 ? "nan" : support == 1 ? "-0.000000" : "0.000000");
    }
  }
}

TEST(PlateTable, FirstRowHoldsTheStartConditions) {
  std::mt19937 rng(11);
  for (int n = 0; n < 12; ++n) {
    PlateSheet p;
    p.support_case = n % 3;
    p.load_case = n % 2;
    p.nu = std::uniform_real_distribution<double>(0.1, 0.45)(rng);
    p.r0 = std::uniform_real_distribution<double>(1, 30)(rng);
    p.r1 = p.r0 + 80;
    const auto rows = run_plate(p);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "0.000000");
    if (p.support_case == 1) {
      // The restored curvature cancels nu w'/r0 exactly; -D times +0 is -0.
      EXPECT_EQ(rows[1][4], "-0.000000");
      EXPECT_EQ(rows[1][5], "-0.000000");
      EXPECT_NE(rows[1][2], "0.000000");
    } else {
      EXPECT_EQ(rows[1][2], "0.000000");
    }
  }
}

TEST(PlateTable, UnknownSupportCaseStartsFlatWhateverTheRunBefore) {
  PlateSheet p;
  p.support_case = 1;
  run_plate(p);  // leaves a solved, non-zero state behind
  p.support_case = 9;
  std::string bytes;
  const auto rows = run_plate(p, &bytes);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1][1], "0.000000");
  EXPECT_EQ(rows[1][2], "0.000000");
  EXPECT_EQ(rows[1][3], "0.000000");
  EXPECT_EQ(bytes, LiteralPlate(p).table());
}

}  // namespace
}  // namespace meridox::testing
