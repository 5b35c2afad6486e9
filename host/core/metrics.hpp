#pragma once
// The engineering metrics of each kind of result: the line width, edges,
// log slope and contrast of an image along a cut (image_cut.hpp); the
// settling of a servo from its error history; the extremes of a plate. Plain numbers in and out,
// so that a run summary, a study of many runs or a script can use them alike.
// A value that is not finite never counts as a number: a metric whose inputs
// hold no finite value is NaN.
#include <cstddef>
#include <limits>
#include <vector>

#include "host/core/image_cut.hpp"

namespace meridox::host {

inline constexpr double no_value = std::numeric_limits<double>::quiet_NaN();

// ---- Images: see image_cut.hpp -------------------------------------------

// ---- Servo stages ----------------------------------------------------------

// How a stage history is judged, beside the error and current it holds.
struct StageJudging {
  double band = no_value;      // settling band; no settling time without a positive band
  double hold = 0.0;           // settled: within the band for at least this long, and to the end
  double window = no_value;    // length of the closing window (s); NaN: the last tenth of the run
  double end_time = no_value;  // when the run ends, known before its states are read (N h); NaN: at the last state
  bool loop_unstable = false;  // the linearised loop has a pole outside the unit circle
};

// A run whose closing window swings beyond this many times its first peak
// (or one band, when that is larger) has diverged; so has one whose window
// swings beyond the first peak at all when its linearised loop is unstable.
// The current is judged alike against its largest in the first tenth of the
// run: a servo may drive a mode the error does not show (a nut behind its
// spring) without bound.
inline constexpr double divergence_ratio = 10.0;

struct StageMetrics {
  double final_error = no_value;
  double settling_time = no_value;  // earliest t from which |e| stays within the band (for at least the hold)
  double max_excursion = no_value;
  double peak_time = no_value;      // t of max_excursion (its first state)
  // The first swing: its sign is that of the first error other than 0, its
  // peak the largest |e| before the error first takes the other sign. From
  // a start offset at rest that is the offset itself; from rest at zero
  // error, pushed by a start velocity, it is the swing the push makes.
  double first_peak = no_value;     // unsigned; NaN when the error is never other than 0
  double overshoot = no_value;      // largest excursion of the other sign after it; 0 when none
  double overshoot_percent = no_value;  // of the first peak
  // The closing window: the last tenth of the run, or the asked length.
  double window_start = no_value;
  std::size_t window_states = 0;
  double steady_error = no_value;          // mean error over the window
  double residual_oscillation = no_value;  // peak to peak over the window
  double window_amplitude = no_value;      // largest |e| in the window
  double early_current = no_value;         // largest |I| over the first tenth of the run
  double window_current = no_value;        // largest |I| in the closing window
  double peak_current = no_value;   // signed
  double peak_current_time = no_value;
  double rms_current = no_value;
  double final_time = no_value;
  std::size_t states = 0;           // states seen
  std::size_t non_finite = 0;       // states whose error or current is not finite
  // Grown without bound: an error that is not finite, or a closing window
  // swinging far beyond the first peak (or the current far beyond its
  // largest early on). The metrics stay, flagged.
  bool diverged = false;
  bool current_diverged = false;            // the current's growth is what counted
  double divergence_ratio = no_value;       // the growth over the first peak that counted as divergence
  double non_finite_error_time = no_value;  // t of the first state whose error is not finite
};

// Takes the states in time order, one at a time, so that a history of
// millions of steps never needs to be held in memory. Its closing window
// needs the end of the run in advance (judging.end_time); without it the
// window's metrics are NaN.
class StageMetricsBuilder {
 public:
  explicit StageMetricsBuilder(const StageJudging& judging) : judging_(judging) {}
  void add(double t, double error, double current);
  StageMetrics result() const;

 private:
  StageJudging judging_;
  StageMetrics m_;
  double settle_from_ = no_value;  // t of the first state of the current run within the band
  double early_end_ = no_value;    // the end of the first tenth of the run
  int sign_ = 0;                   // of the first swing; 0 until the error leaves 0
  bool crossed_ = false;           // the error has taken the other sign
  double worst_opposite_ = 0.0;
  double window_sum_ = 0.0;
  double window_low_ = no_value, window_high_ = no_value;
  double square_sum_ = 0.0;
  std::size_t current_count_ = 0;
};

// The metrics of a history held in memory; the run ends at its last time
// unless `judging` says otherwise.
StageMetrics stage_metrics(const std::vector<double>& t, const std::vector<double>& error,
                           const std::vector<double>& current, StageJudging judging);
StageMetrics stage_metrics(const std::vector<double>& t, const std::vector<double>& error,
                           const std::vector<double>& current, double band);

// ---- Plate -----------------------------------------------------------------

// The value of largest magnitude (with its sign) and where it lies.
struct Extreme {
  double value = no_value;
  double at = no_value;
};
Extreme largest_magnitude(const std::vector<double>& values, const std::vector<double>& at);

// ---- Plate (table) -----------------------------------------------------------------

struct PlateMetrics {
  double max_deflection = no_value;  // signed: the w of largest magnitude
  double max_deflection_r = no_value;
  double max_stress = no_value;      // signed
  double max_pitch_error = no_value; // signed, over the rows that have it
};

PlateMetrics plate_metrics(const std::vector<double>& r, const std::vector<double>& w,
                           const std::vector<double>& stress, const std::vector<double>& pitch_error);

// The plate's section as its sheet gives it.
struct PlateSection {
  double modulus = no_value;    // E
  double poisson = no_value;    // nu
  double thickness = no_value;  // t
  double rigidity() const { return modulus * thickness * thickness * thickness / (12 * (1 - poisson * poisson)); }
};

// The hoop (circumferential) bending moment and stress, which the table
// does not hold, from its slope and curvature:
//   M_theta = -D (w'/r + nu w''),  sigma_theta = 6 M_theta / t^2.
// Where the radial moment vanishes (a free inner edge, support case 1) the
// hoop stress governs. The table prints w' and w'' to six decimals; the
// moment is uncertain by up to `rounding` from that alone.
struct HoopMetrics {
  Extreme moment, stress;    // signed, of largest magnitude, and where
  double rounding = no_value;  // the largest |D (0.5e-6 / r + nu 0.5e-6)| over the rows
};
HoopMetrics hoop_metrics(const std::vector<double>& r, const std::vector<double>& slope,
                         const std::vector<double>& curvature, const PlateSection& section);

}  // namespace meridox::host
