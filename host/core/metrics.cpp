#include "host/core/metrics.hpp"

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
