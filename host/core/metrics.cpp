#include "host/core/metrics.hpp"

#include <cmath>

namespace meridox::host {
namespace {

// The signed value of largest magnitude and where it lies.
void keep_largest(double value, double at, double& best, double& best_at) {
  if (!std::isfinite(value)) return;
  if (std::isnan(best) || std::fabs(value) > std::fabs(best)) {
    best = value;
    best_at = at;
  }
}

}  // namespace

void StageMetricsBuilder::add(double t, double error, double current) {
  if (m_.states == 0) first_error_ = error;
  ++m_.states;
  if (!std::isfinite(error) || !std::isfinite(current)) ++m_.non_finite;
  m_.final_time = t;
  m_.final_error = error;
  if (std::isfinite(error)) {
    m_.max_excursion = std::isnan(m_.max_excursion) ? std::fabs(error) : std::max(m_.max_excursion, std::fabs(error));
    if (std::isfinite(first_error_) && first_error_ != 0.0) {
      const double opposite = first_error_ > 0 ? -error : error;
      if (std::isnan(worst_opposite_) || opposite > worst_opposite_) worst_opposite_ = opposite;
    }
  }
  if (std::fabs(error) <= band_ && band_ > 0.0) {
    if (std::isnan(settle_from_)) settle_from_ = t;
  } else {
    settle_from_ = no_value;
  }
  keep_largest(current, t, m_.peak_current, m_.peak_current_time);
  if (std::isfinite(current)) {
    square_sum_ += current * current;
    ++current_count_;
  }
}

StageMetrics StageMetricsBuilder::result() const {
  StageMetrics m = m_;
  m.settling_time = settle_from_;
  if (!std::isnan(worst_opposite_)) m.overshoot = std::max(0.0, worst_opposite_);
  if (current_count_ > 0) m.rms_current = std::sqrt(square_sum_ / static_cast<double>(current_count_));
  return m;
}

StageMetrics stage_metrics(const std::vector<double>& t, const std::vector<double>& error,
                           const std::vector<double>& current, double band) {
  StageMetricsBuilder builder(band);
  for (std::size_t k = 0; k < t.size() && k < error.size() && k < current.size(); ++k) {
    builder.add(t[k], error[k], current[k]);
  }
  return builder.result();
}

Extreme largest_magnitude(const std::vector<double>& values, const std::vector<double>& at) {
  Extreme e;
  for (std::size_t k = 0; k < values.size() && k < at.size(); ++k) keep_largest(values[k], at[k], e.value, e.at);
  return e;
}

PlateMetrics plate_metrics(const std::vector<double>& r, const std::vector<double>& w,
                           const std::vector<double>& stress, const std::vector<double>& pitch_error) {
  PlateMetrics m;
  const Extreme deflection = largest_magnitude(w, r);
  m.max_deflection = deflection.value;
  m.max_deflection_r = deflection.at;
  m.max_stress = largest_magnitude(stress, r).value;
  m.max_pitch_error = largest_magnitude(pitch_error, r).value;
  return m;
}

}  // namespace meridox::host
