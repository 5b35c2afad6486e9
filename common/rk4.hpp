#pragma once
// The classical fourth-order Runge-Kutta step with a fixed step size.
//
// The stepper is bound at compile time to the integrating calculator's state
// vector, the globals of its independent variable and step, and its
// derivative function, so a step costs no indirection:
//
//   double Y[RK_MAX_EQ];  double sim_time;  double time_step;
//   double derivative(int i, double x, const double* CY);
//   rk4_step<Y, sim_time, time_step, derivative>(2);
//
// The order of operations is fixed, because the calculators' tables are
// reproduced to the last bit: the stages run one after another, equations in
// ascending order within a stage, the independent variable advances by one
// addition of h per step before the state is updated, and the weighted sum is
// grouped ((K1 + 2 K2) + 2 K3) + K4, then divided by 6.
namespace meridox {

inline constexpr int RK_MAX_EQ = 10;

using Derivative = double (*)(int i, double x, const double* CY);

template <double (&Y)[RK_MAX_EQ], double& x, double& h, Derivative derivative>
void rk4_step(int n) {
  if (n > RK_MAX_EQ) n = RK_MAX_EQ;
  double K1[RK_MAX_EQ];
  double K2[RK_MAX_EQ];
  double K3[RK_MAX_EQ];
  double K4[RK_MAX_EQ];
  double CY[RK_MAX_EQ];

  const double X = x;
  double stage_x = X;
  for (int i = 0; i < n; ++i) CY[i] = Y[i];
  for (int i = 0; i < n; ++i) K1[i] = h * derivative(i, stage_x, CY);

  stage_x = X + h / 2;
  for (int i = 0; i < n; ++i) CY[i] = Y[i] + K1[i] / 2;
  for (int i = 0; i < n; ++i) K2[i] = h * derivative(i, stage_x, CY);

  stage_x = X + h / 2;
  for (int i = 0; i < n; ++i) CY[i] = Y[i] + K2[i] / 2;
  for (int i = 0; i < n; ++i) K3[i] = h * derivative(i, stage_x, CY);

  stage_x = X + h;
  for (int i = 0; i < n; ++i) CY[i] = Y[i] + K3[i];
  for (int i = 0; i < n; ++i) K4[i] = h * derivative(i, stage_x, CY);

  x = X + h;
  for (int i = 0; i < n; ++i) Y[i] = Y[i] + (((K1[i] + 2 * K2[i]) + 2 * K3[i]) + K4[i]) / 6;
}

}  // namespace meridox
