#include "host/core/metrics.hpp"

#include <algorithm>
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
  if (m_.states == 0 && std::isfinite(judging_.end_time)) {
    // The closing window: the asked length before the end, else the last
    // tenth of the span from this first state to the end.
    m_.window_start = std::isfinite(judging_.window) ? judging_.end_time - judging_.window
                                                     : t + 0.9 * (judging_.end_time - t);
  }
  if (m_.states == 0 && std::isfinite(judging_.end_time)) early_end_ = t + 0.1 * (judging_.end_time - t);
  ++m_.states;
  if (!std::isfinite(error) || !std::isfinite(current)) ++m_.non_finite;
  if (std::isfinite(current)) {
    const double size = std::fabs(current);
    if (t <= early_end_) m_.early_current = std::isnan(m_.early_current) ? size : std::max(m_.early_current, size);
    if (t >= m_.window_start) m_.window_current = std::isnan(m_.window_current) ? size : std::max(m_.window_current, size);
  }
  m_.final_time = t;
  m_.final_error = error;
  if (std::isfinite(error)) {
    const double size = std::fabs(error);
    if (std::isnan(m_.max_excursion) || size > m_.max_excursion) {
      m_.max_excursion = size;
      m_.peak_time = t;
    }
    if (sign_ == 0 && error != 0.0) sign_ = error > 0 ? 1 : -1;
    if (sign_ != 0) {
      const double along = sign_ * error;  // along the first swing
      if (!crossed_ && along < 0) crossed_ = true;
      if (!crossed_) m_.first_peak = std::isnan(m_.first_peak) ? along : std::max(m_.first_peak, along);
      if (crossed_) worst_opposite_ = std::max(worst_opposite_, -along);
    }
    if (t >= m_.window_start) {
      ++m_.window_states;
      window_sum_ += error;
      window_low_ = std::isnan(window_low_) ? error : std::min(window_low_, error);
      window_high_ = std::isnan(window_high_) ? error : std::max(window_high_, error);
    }
  } else if (std::isnan(m_.non_finite_error_time)) {
    m_.non_finite_error_time = t;
  }
  if (std::fabs(error) <= judging_.band && judging_.band > 0.0) {
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
  const double hold = std::isfinite(judging_.hold) ? judging_.hold : 0.0;
  if (!std::isnan(settle_from_) && m.final_time - settle_from_ >= hold) m.settling_time = settle_from_;
  if (sign_ != 0) {
    m.overshoot = worst_opposite_;
    m.overshoot_percent = 100.0 * worst_opposite_ / m.first_peak;
  }
  if (m.window_states > 0) {
    m.steady_error = window_sum_ / static_cast<double>(m.window_states);
    m.residual_oscillation = window_high_ - window_low_;
    m.window_amplitude = std::max(std::fabs(window_low_), std::fabs(window_high_));
  }
  if (current_count_ > 0) m.rms_current = std::sqrt(square_sum_ / static_cast<double>(current_count_));
  // Diverged: the error left the numbers, or the closing window swings far
  // beyond the first peak (never less than one band, so that dithering by
  // a count after a start within a count is not taken for growth).
  double reference = std::isnan(m.first_peak) ? 0.0 : m.first_peak;
  if (judging_.band > 0.0) reference = std::max(reference, judging_.band);
  m.divergence_ratio = judging_.loop_unstable ? 1.0 : divergence_ratio;
  m.current_diverged = m.early_current > 0.0 && m.window_current > m.divergence_ratio * m.early_current;
  m.diverged = !std::isnan(m.non_finite_error_time) ||
               (reference > 0.0 && m.window_amplitude > m.divergence_ratio * reference) || m.current_diverged;
  if (m.diverged && !std::isnan(m.non_finite_error_time)) m.current_diverged = false;
  if (m.current_diverged && reference > 0.0 && m.window_amplitude > m.divergence_ratio * reference) {
    m.current_diverged = false;  // the error's growth tells it first
  }
  return m;
}

StageMetrics stage_metrics(const std::vector<double>& t, const std::vector<double>& error,
                           const std::vector<double>& current, StageJudging judging) {
  const std::size_t n = std::min({t.size(), error.size(), current.size()});
  if (std::isnan(judging.end_time) && n > 0) judging.end_time = t[n - 1];
  StageMetricsBuilder builder(judging);
  for (std::size_t k = 0; k < n; ++k) builder.add(t[k], error[k], current[k]);
  return builder.result();
}

StageMetrics stage_metrics(const std::vector<double>& t, const std::vector<double>& error,
                           const std::vector<double>& current, double band) {
  StageJudging judging;
  judging.band = band;
  return stage_metrics(t, error, current, judging);
}

Extreme largest_magnitude(const std::vector<double>& values, const std::vector<double>& at) {
  Extreme e;
  for (std::size_t k = 0; k < values.size() && k < at.size(); ++k) keep_largest(values[k], at[k], e.value, e.at);
  return e;
}

HoopMetrics hoop_metrics(const std::vector<double>& r, const std::vector<double>& slope,
                         const std::vector<double>& curvature, const PlateSection& section) {
  HoopMetrics h;
  const double d = section.rigidity(), t = section.thickness;
  // Half a unit in the sixth decimal, the table's "%f".
  constexpr double printed = 0.5e-6;
  std::vector<double> moment, stress;
  for (std::size_t k = 0; k < r.size() && k < slope.size() && k < curvature.size(); ++k) {
    moment.push_back(-d * (slope[k] / r[k] + section.poisson * curvature[k]));
    stress.push_back(moment.back() * 6 / (t * t));
    const double bound = std::fabs(d * (printed / r[k] + std::fabs(section.poisson) * printed));
    if (std::isfinite(bound)) h.rounding = std::isnan(h.rounding) ? bound : std::max(h.rounding, bound);
  }
  std::vector<double> at(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(moment.size()));
  h.moment = largest_magnitude(moment, at);
  h.stress = largest_magnitude(stress, at);
  return h;
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
