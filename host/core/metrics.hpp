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

struct StageMetrics {
  double final_error = no_value;
  double settling_time = no_value;  // earliest t from which |e| stays within the band
  double max_excursion = no_value;
  double overshoot = no_value;      // NaN when e(0) is 0 or not finite
  double peak_current = no_value;   // signed
  double peak_current_time = no_value;
  double rms_current = no_value;
  double final_time = no_value;
  std::size_t states = 0;           // states seen
  std::size_t non_finite = 0;       // states whose error or current is not finite
};

// Takes the states in time order, one at a time, so that a history of
// millions of steps never needs to be held in memory.
class StageMetricsBuilder {
 public:
  explicit StageMetricsBuilder(double band) : band_(band) {}
  void add(double t, double error, double current);
  StageMetrics result() const;

 private:
  double band_;
  StageMetrics m_;
  double first_error_ = no_value;
  double settle_from_ = no_value;  // t of the first state of the current run within the band
  double worst_opposite_ = no_value;
  double square_sum_ = 0.0;
  std::size_t current_count_ = 0;
};

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

}  // namespace meridox::host
