#pragma once
// The sampled position loop of a stage simulator, linearised from its sheet:
// the plant without friction and sensor rounding, the current held over each
// step and integrated by the same fourth-order Runge-Kutta step as the
// simulator's, the control law with its backward difference over one step.
// From it: the open loop's frequency response, the gain and phase margins,
// the closed loop's bandwidth, sensitivity peak and poles, and what the
// stepper does to each mode of the plant. Plain numbers in and out.
#include <array>
#include <complex>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/calculators.hpp"

namespace meridox::host {

inline constexpr std::size_t largest_plant = 4;

// The loop as the simulator runs it. Between two samples the plant follows
//   dx/dt = A x + B I,
// with the current I held over the step h and the state advanced by one
// Runge-Kutta step; the servo reads y = C x at the start of each step (the
// count n times its resolution r, rounding left out) and sets
//   I_k = -Kp y_k - Kd (y_k - y_{k-1}) / h
// (the bias current shifts the rest position only and is left out).
struct ServoLoop {
  std::size_t order = 0;  // plant states, at most largest_plant
  std::array<std::array<double, largest_plant>, largest_plant> a{};
  std::array<double, largest_plant> b{};
  std::array<double, largest_plant> c{};
  double position_gain = 0.0;   // Kp
  double velocity_gain = 0.0;   // Kd
  double time_step = 0.0;       // h, the stepper's step and the servo period
  double resolution = 0.0;      // r of the sensor the servo reads
  double start_measured = 0.0;  // y at t = 0, the start offset the sensor sees
  std::string sensor;           // what the servo reads, in words
  std::string measured_unit;    // "mm" or "rad"
  std::vector<std::string> left_out;  // what the linear model leaves out of this sheet, in words
};

// The loop of a stage sheet, its cells read by name through the layout;
// nothing for a calculator that is no stage.
std::optional<ServoLoop> servo_loop(const Calculator& calculator, std::string_view sheet_bytes);
std::optional<ServoLoop> servo_loop(const Calculator& calculator, const Sheet& sheet);

// A mode of the plant (an eigenvalue s of A other than 0) and what one
// Runge-Kutta step of h makes of it: the step multiplies the mode by
// P(s h) = 1 + sh + (sh)^2/2 + (sh)^3/6 + (sh)^4/24, so it grows in the
// integration when |P| > 1 (an undamped mode once omega h > 2.83), and
// log(P)/h differs from s by the step's error.
struct PlantMode {
  std::complex<double> s;
  double hz = 0.0;           // |s| / 2 pi
  double damping = 0.0;      // -Re s / |s|
  double omega_h = 0.0;      // |s| h
  double growth = 0.0;       // |P(s h)|
  double step_error = 0.0;   // |log(P(s h)) / h - s| / |s|
};

// Beyond this relative error in a mode's frequency and decay the stepper
// no longer integrates the mode faithfully (omega h of about 1.1 for an
// undamped mode: 0.8 % in frequency and 0.7 % of damping of its own).
inline constexpr double step_accuracy_limit = 0.01;

std::vector<PlantMode> plant_modes(const ServoLoop& loop);

// What one Runge-Kutta step of h makes of a mode s: its growth |P(s h)| and
// its relative error.
PlantMode integrated_mode(std::complex<double> s, double h);

// The largest step that integrates a mode within step_accuracy_limit and
// without growth (an undamped mode: omega h = 1.1, and 2.83 for stability).
double faithful_step(std::complex<double> s);

// Whether the plant and the gains are finite numbers (a mass of 0 is not).
bool finite_loop(const ServoLoop& loop);

// The count the sensor gives at the start, and what the first step's
// control law makes of it: the velocity term sees a previous count of 0, so
// a start offset of n counts gives -Kd n r / h for one step.
struct FirstStep {
  double count = 0.0;          // n at t = 0
  double velocity_term = 0.0;  // -Kd n r / h, A
  double position_term = 0.0;  // -Kp n r, A (the offset rule aside)
};
FirstStep first_step(const ServoLoop& loop);

// A closed-loop pole z and the continuous-time pole s = log(z) / h it stands for.
struct LoopPole {
  std::complex<double> z;
  double hz = std::numeric_limits<double>::quiet_NaN();          // natural frequency |s| / 2 pi
  double damping = std::numeric_limits<double>::quiet_NaN();     // -Re s / |s|
  double ringing_hz = std::numeric_limits<double>::quiet_NaN();  // damped frequency |Im s| / 2 pi
};

// The open loop L = K G at one frequency (G from current to y, K the
// control law), with the loop closed by negative feedback: 1 + L = 0.
struct LoopPoint {
  double hz;
  std::complex<double> open_loop;
};

struct LoopAnalysis {
  std::string why_not;  // why there is no analysis ("" when there is one)
  std::vector<LoopPoint> response;  // up to the Nyquist frequency 1 / (2 h)
  bool stable = false;              // every closed-loop pole inside the unit circle
  double spectral_radius = std::numeric_limits<double>::quiet_NaN();
  // The factor on the whole loop gain (Kp and Kd together, or equally the
  // drive's force or torque constant) at which the loop loses stability:
  // above 1 for a stable loop, inf when no factor up to 10^6 does; for an
  // unstable loop the factor below 1 that would steady it (NaN when none).
  double gain_margin = std::numeric_limits<double>::quiet_NaN();
  double gain_margin_db = std::numeric_limits<double>::quiet_NaN();
  // The same for the position gain Kp alone, Kd kept.
  double position_gain_margin = std::numeric_limits<double>::quiet_NaN();
  double phase_crossover_hz = std::numeric_limits<double>::quiet_NaN();  // where L crosses -180 deg at -1/gain_margin
  // The 0 dB crossing of |L| with the least phase margin, and that margin.
  double phase_margin = std::numeric_limits<double>::quiet_NaN();  // degrees
  double crossover_hz = std::numeric_limits<double>::quiet_NaN();
  // The closed loop T = L / (1 + L) and the sensitivity S = 1 / (1 + L).
  double bandwidth_hz = std::numeric_limits<double>::quiet_NaN();  // |T| first below -3 dB
  double resonance_hz = std::numeric_limits<double>::quiet_NaN();  // peak of |T|
  double resonance_peak = std::numeric_limits<double>::quiet_NaN();
  double sensitivity_peak = std::numeric_limits<double>::quiet_NaN();  // largest |S|
  double sensitivity_peak_db = std::numeric_limits<double>::quiet_NaN();
  double sensitivity_peak_hz = std::numeric_limits<double>::quiet_NaN();
  LoopPole dominant;             // the pole (of a pair, the upper one) that decays slowest
  std::vector<LoopPole> poles;   // the closed-loop poles on or above the real axis, by frequency
  std::vector<PlantMode> modes;  // of the plant
};

LoopAnalysis analyse_loop(const ServoLoop& loop);

// The open loop L at one frequency (Hz), as the analysis samples it.
std::complex<double> open_loop_response(const ServoLoop& loop, double hz);

// The roots of the polynomial sum_k coefficients[k] z^k (highest degree last,
// its coefficient not 0), by the simultaneous Aberth iteration.
std::vector<std::complex<double>> polynomial_roots(const std::vector<std::complex<double>>& coefficients);

// Whether every root of the real polynomial sum_k coefficients[k] z^k
// (highest degree last, not 0; degree at most that of the closed loop)
// lies strictly inside the circle of the given radius, decided without
// finding the roots (the Schur-Cohn test).
bool roots_inside(const std::vector<double>& coefficients, double radius);

}  // namespace meridox::host
