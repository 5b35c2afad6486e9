// The plate equations and the shooting solution of the edge conditions.
#include "plate/plate.hpp"

namespace meridox::plate {

double load_term(double x) {
  if (load_case == 1) return (load * x) / (2 * rigidity);
  return load / (((2 * PI) * x) * rigidity);
}

double derivative(int i, double x, const double* CY) {
  switch (i) {
    case 0:
      return CY[1];
    case 1:
      return CY[2];
    case 2:
      return (load_term(x) - CY[2] / x) + CY[1] / (x * x);
    default:
      return 0.0;
  }
}

void step() { rk4_step<Y, radius, radial_step, derivative>(equation_count); }

namespace {

void start_at(double start_radius, double w0, double s0, double c0) {
  radius = start_radius;
  Y[0] = w0;
  Y[1] = s0;
  Y[2] = c0;
}

// Puts the integration back at r0 with the given start values.
void restart(double w0, double s0, double c0) { start_at(r_start, w0, s0, c0); }

// Integrates `steps` steps of `n` equations from the given start.
void integrate(int steps, int n, double start_radius, double w0, double s0, double c0) {
  start_at(start_radius, w0, s0, c0);
  for (int k = 0; k < steps; ++k) rk4_step<Y, radius, radial_step, derivative>(n);
}

using EndQuantity = double (*)(int steps, int n, double start_radius, double w0, double s0,
                               double c0);

// Support cases 0 and 2: w = w' = 0 at r0; the curvature there is driven
// until the end quantity vanishes at r1.
void solve_start_curvature(int steps, EndQuantity end_quantity) {
  const double w0 = 0.0;
  const double s0 = 0.0;
  double c0 = 0.0;
  for (int k = 0; k < newton_iterations; ++k) {
    const double f_minus = end_quantity(steps, equation_count, r_start, w0, s0, c0 - perturbation);
    const double f0 = end_quantity(steps, equation_count, r_start, w0, s0, c0);
    const double f_plus = end_quantity(steps, equation_count, r_start, w0, s0, c0 + perturbation);
    c0 = newton_update(c0, f_minus, f0, f_plus);
    restart(w0, s0, c0);
  }
}

// Support case 1: w = 0 and Mr = 0 at r0; the slope there is driven until
// the slope at r1 vanishes. The three trial runs of an iteration share the
// curvature of the current slope, so each iteration shrinks the error of the
// slope by a fixed factor of the plate rather than removing it.
void solve_start_slope(int steps) {
  const double w0 = 0.0;
  double s0 = 0.0;
  for (int k = 0; k < newton_iterations; ++k) {
    const double c_trial = supported_curvature(s0);
    const double f_minus = shoot_slope(steps, equation_count, r_start, w0, s0 - perturbation, c_trial);
    const double f0 = shoot_slope(steps, equation_count, r_start, w0, s0, c_trial);
    const double f_plus = shoot_slope(steps, equation_count, r_start, w0, s0 + perturbation, c_trial);
    s0 = newton_update(s0, f_minus, f0, f_plus);
    restart(w0, s0, supported_curvature(s0));
  }
}

}  // namespace

double shoot_slope(int steps, int n, double start_radius, double w0, double s0, double c0) {
  integrate(steps, n, start_radius, w0, s0, c0);
  return Y[1];
}

double shoot_moment(int steps, int n, double start_radius, double w0, double s0, double c0) {
  integrate(steps, n, start_radius, w0, s0, c0);
  return Y[2] + (Y[1] * poisson) / radius;
}

double supported_curvature(double s0) { return ((-s0) * poisson) / r_start; }

double newton_update(double u, double f_minus, double f0, double f_plus) {
  return u - ((2 * perturbation) * f0) / (f_plus - f_minus);
}

void solve_start_values(int steps) {
  switch (support_case) {
    case 0:
      solve_start_curvature(steps, shoot_slope);
      break;
    case 1:
      solve_start_slope(steps);
      break;
    case 2:
      solve_start_curvature(steps, shoot_moment);
      break;
    default:
      // No edge conditions to meet: the plate starts flat at r0.
      restart(0.0, 0.0, 0.0);
      break;
  }
}

}  // namespace meridox::plate
