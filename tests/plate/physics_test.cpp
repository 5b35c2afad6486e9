// The plate against the closed-form solution of the axisymmetric plate
// equation, and the small functions of the calculator on their own.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "common/sheet.hpp"
#include "plate/layout.hpp"
#include "plate/plate.hpp"
#include "plate_sheet.hpp"

namespace meridox::testing {
namespace {

// d/dr[(1/r) d/dr(r w')] = Q/D has the general solution
//   w = A + B r^2 + C ln r + w_p,
// with w_p = q r^4 / (64 D) for a uniform pressure (Q = q r / 2) and
// w_p = P r^2 ln r / (8 pi D) for a total load (Q = P / (2 pi r)).
struct ClosedForm {
  bool pressure;
  double load, D, nu, r0;
  double A = 0, B = 0, C = 0;

  double wp(double r) const { return pressure ? load * std::pow(r, 4) / (64 * D) : k() * r * r * std::log(r); }
  double wp1(double r) const { return pressure ? load * std::pow(r, 3) / (16 * D) : k() * (2 * r * std::log(r) + r); }
  double wp2(double r) const { return pressure ? 3 * load * r * r / (16 * D) : k() * (2 * std::log(r) + 3); }
  double k() const { return load / (8 * std::numbers::pi * D); }

  double w(double r) const { return A + B * r * r + C * std::log(r) + wp(r); }
  double w1(double r) const { return 2 * B * r + C / r + wp1(r); }
  double w2(double r) const { return 2 * B - C / (r * r) + wp2(r); }
  double moment_over_minus_D(double r) const { return w2(r) + nu * w1(r) / r; }

  // The solution that starts at r0 with w = 0, w' = s, w'' = c.
  void start(double s, double c) {
    // 2 B r0 + C / r0 = s - wp'(r0);  2 B - C / r0^2 = c - wp''(r0)
    const double a = s - wp1(r0), b = c - wp2(r0);
    B = (a / r0 + b) / 4;
    C = (a - 2 * B * r0) * r0;
    A = -(B * r0 * r0 + C * std::log(r0) + wp(r0));
  }
};

// The start values the shooting should reach, from the closed form: the
// end conditions are linear in the unknown start value, so their root is
// exact; support case 1 repeats its ten iterations, whose trial runs share
// the curvature of the current slope, so that the same small residual stays.
ClosedForm solved(const PlateSheet& p) {
  const double D = p.E * p.t * p.t * p.t / (12 * (1 - p.nu * p.nu));
  ClosedForm f{p.load_case == 1, p.load, D, p.nu, p.r0};
  auto end = [&](double s, double c) {
    f.start(s, c);
    return p.support_case == 2 ? f.moment_over_minus_D(p.r1) : f.w1(p.r1);
  };
  if (p.support_case == 1) {
    const double slope_gain = end(1, 0) - end(0, 0);
    double s = 0;
    for (int k = 0; k < 10; ++k) s -= end(s, -s * p.nu / p.r0) / slope_gain;
    f.start(s, -s * p.nu / p.r0);
  } else {
    const double f0 = end(0, 0);
    f.start(0, -f0 / (end(0, 1) - f0));
  }
  return f;
}

TEST(PlatePhysics, TableAgreesWithTheClosedFormSolution) {
  for (int load_case : {1, 0}) {
    for (int support : {0, 1, 2}) {
      PlateSheet p;
      p.load_case = load_case, p.support_case = support;
      p.nu = 0.45;  // the slope case keeps a residual of about 0.45^10 of its start slope
      p.load = load_case == 1 ? 0.001 : 1.0;
      p.divisions = 45;  // h = 0.2
      const auto rows = run_plate(p);
      ASSERT_EQ(rows.size(), 47u);
      const ClosedForm f = solved(p);
      for (std::size_t n = 1; n < rows.size(); ++n) {
        const double r = p.r0 + static_cast<double>(n - 1) * 2;
        const double Mr = -f.D * f.moment_over_minus_D(r);
        const double expected[7] = {r, f.w(r), f.w1(r), f.w2(r), Mr, 6 * Mr, f.w1(r) / 2};
        for (std::size_t col = 0; col < rows[n].size(); ++col) {
          // Printing rounds to 5e-7. Fourth-order steps of h/r0 = 0.02 (the
          // order is checked below) leave a few 1e-9 of the value.
          const double tolerance = 5e-7 + 1e-8 * (std::fabs(expected[col]) + 1);
          EXPECT_NEAR(std::stod(rows[n][col]), expected[col], tolerance)
              << "load " << load_case << " support " << support << " row " << n << " column " << col;
        }
      }
    }
  }
}

// Sets the calculator's globals for a plate, as a run does after reading it.
int prepare(const PlateSheet& p) {
  using namespace meridox::plate;
  load_case = p.load_case, support_case = p.support_case;
  modulus = p.E, poisson = p.nu, thickness = p.t, load = p.load, r_start = p.r0, r_end = p.r1;
  divisions = p.divisions;
  PI = pi_value;
  const int steps = step_count(divisions);
  radial_step = (r_end - r_start) / steps;
  rigidity = flexural_rigidity(modulus, poisson, thickness);
  return steps;
}

TEST(PlatePhysics, StepsConvergeToTheClosedFormAtFourthOrder) {
  namespace plate = meridox::plate;
  for (int load_case : {1, 0}) {
    PlateSheet p;
    p.load_case = load_case, p.support_case = 2, p.load = load_case == 1 ? 0.001 : 1.0;
    const ClosedForm f = solved(p);
    double error[2];
    for (int n = 0; n < 2; ++n) {
      p.divisions = 4 << n;
      const int steps = prepare(p);
      plate::solve_start_values(steps);
      EXPECT_EQ(plate::radius, p.r0);
      EXPECT_EQ(plate::Y[1], 0.0);
      const double c0 = plate::Y[2];
      EXPECT_NEAR(plate::shoot_moment(steps, 3, p.r0, 0, 0, c0), 0.0, 1e-12);
      EXPECT_NEAR(plate::radius, p.r1, 1e-12);
      error[n] = plate::Y[0] - f.w(p.r1);
    }
    EXPECT_NEAR(error[0] / error[1], 16.0, 1.5) << error[0] << " " << error[1];
  }
}

TEST(PlateFunctions, CellMapAndConversions) {
  namespace plate = meridox::plate;
  Sheet sheet(plate::layout.grid);
  sheet.feed("label\n\t\t1.9\n\t\t2e0\n\t\t2.1e2\n\t\t0.25 -\n\t\t3mm\n\t\t-4.5\n\t\t7\n\t\t8\n\t\t3e1\n");
  sheet.finish();
  plate::read_cells(sheet);
  EXPECT_EQ(plate::load_case, 1);  // integers stop at the decimal point or exponent
  EXPECT_EQ(plate::support_case, 2);
  EXPECT_EQ(plate::modulus, 210.0);
  EXPECT_EQ(plate::poisson, 0.25);
  EXPECT_EQ(plate::thickness, 3.0);
  EXPECT_EQ(plate::load, -4.5);
  EXPECT_EQ(plate::r_start, 7.0);
  EXPECT_EQ(plate::r_end, 8.0);
  EXPECT_EQ(plate::divisions, 3);
}

TEST(PlateFunctions, StepCountSaturatesInsteadOfOverflowing) {
  using meridox::plate::step_count;
  EXPECT_EQ(step_count(7), 70);
  EXPECT_EQ(step_count(-3), -30);
  EXPECT_EQ(step_count(INT_MAX / 10), INT_MAX / 10 * 10);
  EXPECT_EQ(step_count(INT_MAX / 10 + 1), INT_MAX);
  EXPECT_EQ(step_count(INT_MAX), INT_MAX);
  EXPECT_EQ(step_count(INT_MIN), INT_MIN);
}

TEST(PlateFunctions, ShootingRunsStartWhereTheyAreTold) {
  namespace plate = meridox::plate;
  PlateSheet p;
  prepare(p);
  plate::Y[0] = 5, plate::radius = 3;
  // No step: the runs hand back their own start.
  EXPECT_EQ(plate::shoot_slope(0, 3, 20, 0, 0.25, -1), 0.25);
  EXPECT_EQ(plate::radius, 20.0);
  EXPECT_EQ(plate::Y[0], 0.0);
  EXPECT_EQ(plate::shoot_moment(-5, 3, 17.3, 0, 0.7, 0), (0.7 * 0.3) / 17.3);  // nu = 0.3
  // The plate equations have three equations; any other index is 0.
  const double cy[3] = {1, 2, 3};
  EXPECT_EQ(plate::derivative(0, 4, cy), 2.0);
  EXPECT_EQ(plate::derivative(1, 4, cy), 3.0);
  EXPECT_EQ(plate::derivative(3, 4, cy), 0.0);
  EXPECT_EQ(plate::derivative(-1, 4, cy), 0.0);
}

}  // namespace
}  // namespace meridox::testing
