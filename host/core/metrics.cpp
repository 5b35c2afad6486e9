#include "host/core/metrics.hpp"

#include <algorithm>
#include <cmath>

namespace meridox::host {
namespace {

bool inside(double intensity, const CutOptions& o) {
  return o.dark ? intensity < o.threshold : intensity >= o.threshold;
}

// Where the intensity crosses the threshold between sample a (inside the
// feature) and sample b (outside), by linear interpolation.
double crossing(double xa, double ia, double xb, double ib, double threshold) {
  return xa + (threshold - ia) * (xb - xa) / (ib - ia);
}

// The image log slope over two neighbouring samples.
double log_slope(double xa, double ia, double xb, double ib, double threshold) {
  return std::fabs(ib - ia) / std::fabs(xb - xa) / threshold;
}

// The signed value of largest magnitude and where it lies.
void keep_largest(double value, double at, double& best, double& best_at) {
  if (!std::isfinite(value)) return;
  if (std::isnan(best) || std::fabs(value) > std::fabs(best)) {
    best = value;
    best_at = at;
  }
}

}  // namespace

std::size_t nearest_index(const std::vector<double>& axis, double target) {
  std::size_t best = 0;
  double best_distance = INFINITY;
  for (std::size_t k = 0; k < axis.size(); ++k) {
    const double d = std::fabs(axis[k] - target);
    if (d < best_distance) {
      best_distance = d;
      best = k;
    }
  }
  return best;
}

ImageMetrics cut_metrics(const std::vector<double>& x, const std::vector<double>& intensity,
                         const CutOptions& o) {
  ImageMetrics m;
  const std::size_t n = std::min(x.size(), intensity.size());
  double low = INFINITY, high = -INFINITY;
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(intensity[k])) continue;
    low = std::min(low, intensity[k]);
    high = std::max(high, intensity[k]);
    m.peak = std::isnan(m.peak) ? intensity[k] : std::max(m.peak, intensity[k]);
  }
  if (low <= high) m.contrast = (high - low) / (high + low);
  if (n == 0) return m;
  const std::size_t k0 = nearest_index(x, o.cut_x);
  m.centre = k0;
  if (!std::isfinite(intensity[k0])) return m;
  if (!inside(intensity[k0], o)) {
    m.cd = 0.0;
    return m;
  }
  std::size_t left = k0, right = k0;
  while (left > 0 && inside(intensity[left - 1], o)) --left;
  while (right + 1 < n && inside(intensity[right + 1], o)) ++right;
  if (left == 0 || right + 1 == n) return m;  // the feature runs off the row
  const double t = o.threshold;
  m.edge_left = crossing(x[left], intensity[left], x[left - 1], intensity[left - 1], t);
  m.edge_right = crossing(x[right], intensity[right], x[right + 1], intensity[right + 1], t);
  m.cd = m.edge_right - m.edge_left;
  const double slope_left = log_slope(x[left - 1], intensity[left - 1], x[left], intensity[left], t);
  const double slope_right = log_slope(x[right], intensity[right], x[right + 1], intensity[right + 1], t);
  m.nils = m.cd * ((slope_left + slope_right) / 2.0);
  return m;
}

ImageMetrics image_metrics(const std::vector<double>& x, const std::vector<double>& y,
                           const std::vector<double>& values, const CutOptions& o) {
  ImageMetrics m;
  if (x.empty() || y.empty() || values.size() < x.size() * y.size()) return m;
  const std::size_t j = nearest_index(y, o.cut_y);
  const std::vector<double> row(values.begin() + static_cast<std::ptrdiff_t>(j * x.size()),
                                values.begin() + static_cast<std::ptrdiff_t>((j + 1) * x.size()));
  m = cut_metrics(x, row, o);
  m.row = j;
  m.peak = no_value;
  for (const double v : values) {
    if (std::isfinite(v) && (std::isnan(m.peak) || v > m.peak)) m.peak = v;
  }
  return m;
}

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
