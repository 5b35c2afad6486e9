#include "common/rk4.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace meridox {
namespace {

double Y[RK_MAX_EQ];
double x_now;
double step;
double auxiliary;

struct Call {
  int i;
  double x;
  double cy0;
  double cy1;
};
std::vector<Call> calls;

void reset(double x0, double h) {
  for (double& y : Y) y = 0.0;
  x_now = x0;
  step = h;
  auxiliary = 0.0;
  calls.clear();
}

// y' = y
double growth(int, double, const double* CY) { return CY[0]; }
// y' = 3, and records every call
double constant(int i, double x, const double* CY) {
  calls.push_back({i, x, CY[0], 0.0});
  return 3.0;
}
// Harmonic oscillator y0' = y1, y1' = -y0; stores y0 of the trial state.
double oscillator(int i, double x, const double* CY) {
  calls.push_back({i, x, CY[0], CY[1]});
  auxiliary = CY[0] * 10 + x;
  return i == 0 ? CY[1] : -CY[0];
}

TEST(Rk4Step, ExponentialGrowthMatchesTheTaylorPolynomial) {
  reset(0.0, 0.1);
  Y[0] = 1.0;
  rk4_step<Y, x_now, step, growth>(1);
  const double h = 0.1;
  EXPECT_NEAR(Y[0], 1 + h + h * h / 2 + h * h * h / 6 + h * h * h * h / 24, 1e-15);
  EXPECT_EQ(x_now, 0.1);
}

TEST(Rk4Step, CallsStageByStageWithTheStageAbscissa) {
  reset(2.0, 0.5);
  Y[0] = 1.0;
  Y[1] = 0.0;
  rk4_step<Y, x_now, step, oscillator>(2);
  ASSERT_EQ(calls.size(), 8u);
  const double xs[4] = {2.0, 2.25, 2.25, 2.5};
  for (int s = 0; s < 4; ++s) {
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(calls[static_cast<std::size_t>(2 * s + i)].i, i);
      EXPECT_EQ(calls[static_cast<std::size_t>(2 * s + i)].x, xs[s]);
    }
    // Both calls of a stage see one trial state.
    EXPECT_EQ(calls[static_cast<std::size_t>(2 * s)].cy0, calls[static_cast<std::size_t>(2 * s + 1)].cy0);
  }
  // Stage 2 sees Y + K1/2: K1 = h*(0, -1).
  EXPECT_EQ(calls[2].cy0, 1.0);
  EXPECT_EQ(calls[2].cy1, -0.25);
  // Stage 4 sees Y + K3; the auxiliary global keeps its stage-4 value.
  EXPECT_EQ(auxiliary, calls[7].cy0 * 10 + 2.5);
  EXPECT_NE(calls[7].cy0, Y[0]);
  // Fourth-order accuracy on cos/sin.
  EXPECT_NEAR(Y[0], std::cos(0.5), 5e-4);  // local error about h^5/120
  EXPECT_NEAR(Y[1], -std::sin(0.5), 5e-4);
}

TEST(Rk4Step, ConstantDerivativeAddsCTimesH) {
  reset(0.0, 0.25);
  rk4_step<Y, x_now, step, constant>(1);
  EXPECT_EQ(Y[0], 0.75);
  EXPECT_EQ(calls.size(), 4u);
  EXPECT_EQ(Y[1], 0.0);  // slots beyond n untouched
}

TEST(Rk4Step, NoEquationsStillAdvancesTheIndependentVariable) {
  reset(1.0, 0.5);
  Y[0] = 7.0;
  rk4_step<Y, x_now, step, constant>(0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(Y[0], 7.0);
  EXPECT_EQ(x_now, 1.5);
}

TEST(Rk4Step, ZeroStepChangesNothingButCallsTheDerivative) {
  reset(1.0, 0.0);
  Y[0] = 7.0;
  rk4_step<Y, x_now, step, constant>(2);
  EXPECT_EQ(calls.size(), 8u);
  EXPECT_EQ(Y[0], 7.0);
  EXPECT_EQ(x_now, 1.0);
}

TEST(Rk4Step, NegativeStepIntegratesBackwards) {
  reset(1.0, -0.1);
  Y[0] = std::exp(1.0);
  for (int k = 0; k < 10; ++k) rk4_step<Y, x_now, step, growth>(1);
  EXPECT_NEAR(x_now, 0.0, 1e-15);
  EXPECT_NEAR(Y[0], 1.0, 1e-6);
}

TEST(Rk4Step, IndependentVariableAccumulatesByRepeatedAddition) {
  reset(0.0, 0.1);
  double expected = 0.0;
  for (int k = 0; k < 10; ++k) {
    rk4_step<Y, x_now, step, growth>(1);
    expected = expected + 0.1;
  }
  EXPECT_EQ(x_now, expected);
  EXPECT_NE(x_now, 10 * 0.1);  // 0.9999999999999999, not 1
}

}  // namespace
}  // namespace meridox
