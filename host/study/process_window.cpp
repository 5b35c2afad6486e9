#include "host/study/process_window.hpp"

#include <algorithm>
#include <cmath>

namespace meridox::host {

std::vector<WindowRow> process_window(const std::vector<double>& focus, const std::vector<double>& thresholds,
                                      const std::vector<std::vector<double>>& cd, double target, double tolerance) {
  const double limit = tolerance * target;
  auto excess = [&](double c) { return std::fabs(c - target) - limit; };  // <= 0 within the window
  // Where between two focus samples the excess crosses 0, by linear interpolation.
  auto crossing = [&](double f_in, double c_in, double f_out, double c_out) {
    if (!std::isfinite(c_out)) return f_in;
    const double bound = c_out > target ? target + limit : target - limit;
    return f_in + (f_out - f_in) * (bound - c_in) / (c_out - c_in);
  };
  std::vector<WindowRow> rows;
  for (std::size_t t = 0; t < thresholds.size(); ++t) {
    WindowRow row{thresholds[t]};
    const std::vector<double>& c = cd[t];
    const std::size_t n = std::min(focus.size(), c.size());
    for (std::size_t a = 0; a < n;) {
      if (!(std::isfinite(c[a]) && excess(c[a]) <= 0)) {
        ++a;
        continue;
      }
      std::size_t b = a;
      while (b + 1 < n && std::isfinite(c[b + 1]) && excess(c[b + 1]) <= 0) ++b;
      const double low = a > 0 ? crossing(focus[a], c[a], focus[a - 1], c[a - 1]) : focus[a];
      const double high = b + 1 < n ? crossing(focus[b], c[b], focus[b + 1], c[b + 1]) : focus[b];
      if (high - low > row.depth_of_focus || std::isnan(row.focus_low)) {
        row.depth_of_focus = high - low;
        row.focus_low = low;
        row.focus_high = high;
        row.best_focus = (low + high) / 2;
      }
      a = b + 1;
    }
    rows.push_back(row);
  }
  // Exposure latitude: at each threshold's best focus, the cd of every
  // threshold (interpolated in focus); the thresholds within tolerance
  // around this one, their ends interpolated, as a dose range 1/T in percent
  // of this threshold's dose.
  auto cd_at = [&](std::size_t t, double f) {
    const std::vector<double>& c = cd[t];
    for (std::size_t k = 0; k + 1 < focus.size() && k + 1 < c.size(); ++k) {
      if ((focus[k] <= f && f <= focus[k + 1]) || (focus[k] >= f && f >= focus[k + 1])) {
        if (focus[k + 1] == focus[k]) return c[k];
        return c[k] + (c[k + 1] - c[k]) * (f - focus[k]) / (focus[k + 1] - focus[k]);
      }
    }
    return no_value;
  };
  for (std::size_t t = 0; t < rows.size(); ++t) {
    if (std::isnan(rows[t].best_focus) || thresholds.size() < 2) continue;
    std::vector<double> c;
    for (std::size_t u = 0; u < thresholds.size(); ++u) c.push_back(cd_at(u, rows[t].best_focus));
    if (!(std::isfinite(c[t]) && excess(c[t]) <= 0)) continue;
    std::size_t a = t, b = t;
    while (a > 0 && std::isfinite(c[a - 1]) && excess(c[a - 1]) <= 0) --a;
    while (b + 1 < c.size() && std::isfinite(c[b + 1]) && excess(c[b + 1]) <= 0) ++b;
    const double low = a > 0 ? crossing(thresholds[a], c[a], thresholds[a - 1], c[a - 1]) : thresholds[a];
    const double high = b + 1 < c.size() ? crossing(thresholds[b], c[b], thresholds[b + 1], c[b + 1]) : thresholds[b];
    const double dose_a = 1.0 / low, dose_b = 1.0 / high;
    rows[t].exposure_latitude = std::fabs(dose_a - dose_b) * thresholds[t] * 100.0;
  }
  return rows;
}

}  // namespace meridox::host
