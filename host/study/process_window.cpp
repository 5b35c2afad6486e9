#include "host/study/process_window.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <nlohmann/json.hpp>

namespace meridox::host {
namespace {

// Focus steps between two sampled foci on which the window is followed; a
// rectangle's ends are then pinned down between them by bisection.
constexpr int focus_substeps = 16;
constexpr int end_bisections = 48;
// Points of the EL-DOF curve, from 0 to the largest latitude of any focus.
constexpr int curve_points = 41;

struct Interval {
  double low, high;  // log dose
};

// Narrows [s0, s1] within [0, 1] to where the linear function from g0 (at
// 0) to g1 (at 1) is <= bound (below) or >= bound (not below); s0 > s1
// when nowhere.
void keep_where(double g0, double g1, double bound, bool below, double& s0, double& s1) {
  if (g0 == g1) {
    if (below ? g0 > bound : g0 < bound) s0 = 1, s1 = 0;
    return;
  }
  const double s = (bound - g0) / (g1 - g0);  // where the function meets the bound
  if (below == (g1 > g0)) {
    s1 = std::min(s1, s);
  } else {
    s0 = std::max(s0, s);
  }
}

// The log-dose intervals in which one feature is within tolerance, from
// its cd and nils at the sorted log doses `u`.
std::vector<Interval> within_tolerance(const std::vector<double>& u, const std::vector<double>& cd,
                                       const std::vector<double>& nils, double target, double tolerance,
                                       double min_nils) {
  const double limit = tolerance * target;
  const bool floor = !std::isnan(min_nils);
  auto usable = [&](std::size_t t) { return std::isfinite(cd[t]) && (!floor || std::isfinite(nils[t])); };
  auto within = [&](std::size_t t) {
    return usable(t) && std::fabs(cd[t] - target) <= limit && (!floor || nils[t] >= min_nils);
  };
  std::vector<Interval> out;
  auto add = [&](double low, double high) {
    if (!out.empty() && low <= out.back().high) {
      out.back().high = std::max(out.back().high, high);
    } else {
      out.push_back({low, high});
    }
  };
  for (std::size_t t = 0; t < u.size(); ++t) {
    const bool segment = t + 1 < u.size() && usable(t) && usable(t + 1);
    if (!segment) {
      // A sample within tolerance whose segment to the next cannot be
      // followed is a window of its own (a single dose).
      if (within(t)) add(u[t], u[t]);
      continue;
    }
    double s0 = 0, s1 = 1;
    keep_where(cd[t], cd[t + 1], target + limit, true, s0, s1);
    keep_where(cd[t], cd[t + 1], target - limit, false, s0, s1);
    if (floor) keep_where(nils[t], nils[t + 1], min_nils, false, s0, s1);
    if (s0 <= s1) add(u[t] + (u[t + 1] - u[t]) * s0, u[t] + (u[t + 1] - u[t]) * s1);
  }
  return out;
}

std::vector<Interval> intersect(const std::vector<Interval>& a, const std::vector<Interval>& b) {
  std::vector<Interval> out;
  for (const Interval& x : a) {
    for (const Interval& y : b) {
      const double low = std::max(x.low, y.low), high = std::min(x.high, y.high);
      if (low <= high) out.push_back({low, high});
    }
  }
  return out;
}

// The study's cds and nils with the foci and doses in ascending order, and
// the window at any focus from them.
class Window {
 public:
  explicit Window(const WindowInput& in) : in_(in) {
    focus_order_.resize(in.focus.size());
    std::iota(focus_order_.begin(), focus_order_.end(), std::size_t{0});
    std::stable_sort(focus_order_.begin(), focus_order_.end(),
                     [&](std::size_t a, std::size_t b) { return in.focus[a] < in.focus[b]; });
    for (const std::size_t k : focus_order_) focus_.push_back(in.focus[k]);
    dose_order_.resize(in.thresholds.size());
    std::iota(dose_order_.begin(), dose_order_.end(), std::size_t{0});
    // Doses ascending: thresholds descending.
    std::stable_sort(dose_order_.begin(), dose_order_.end(),
                     [&](std::size_t a, std::size_t b) { return in.thresholds[a] > in.thresholds[b]; });
    for (const std::size_t t : dose_order_) u_.push_back(-std::log(in.thresholds[t]));
  }

  const std::vector<double>& foci() const { return focus_; }
  const std::vector<double>& log_doses() const { return u_; }

  // A feature's cd (or nils) at every sorted dose, at focus f, linear
  // between the sampled foci.
  std::vector<double> at_focus(const std::vector<std::vector<double>>& table, double f) const {
    std::vector<double> out(u_.size(), no_value);
    if (table.empty() || focus_.empty()) return out;
    std::size_t j = static_cast<std::size_t>(std::upper_bound(focus_.begin(), focus_.end(), f) - focus_.begin());
    j = j == 0 ? 0 : j - 1;
    const std::size_t next = std::min(j + 1, focus_.size() - 1);
    const double w = next == j || focus_[next] == focus_[j] ? 0.0 : (f - focus_[j]) / (focus_[next] - focus_[j]);
    for (std::size_t k = 0; k < u_.size(); ++k) {
      const std::vector<double>& row = table[dose_order_[k]];
      const double a = row[focus_order_[j]], b = row[focus_order_[next]];
      out[k] = w == 0.0 ? a : w == 1.0 ? b : a + (b - a) * w;
    }
    return out;
  }

  // The window at focus f: the longest dose interval (log doses) that
  // holds every feature; nothing when closed.
  std::optional<Interval> at(double f) const {
    std::vector<Interval> held{{-INFINITY, INFINITY}};
    for (const WindowFeature& feature : in_.features) {
      const std::vector<double> cd = at_focus(feature.cd, f);
      const std::vector<double> nils =
          feature.nils.empty() ? std::vector<double>(u_.size(), no_value) : at_focus(feature.nils, f);
      held = intersect(held, within_tolerance(u_, cd, nils, feature.target, in_.tolerance, in_.min_nils));
    }
    std::optional<Interval> best;
    for (const Interval& i : held) {
      if (!best || std::exp(i.high) - std::exp(i.low) > std::exp(best->high) - std::exp(best->low)) best = i;
    }
    return best;
  }

 private:
  const WindowInput& in_;
  std::vector<std::size_t> focus_order_, dose_order_;
  std::vector<double> focus_, u_;
};

// Where a linear-in-log-dose cd meets `level`, nearest `near` (log doses).
double dose_where(const std::vector<double>& u, const std::vector<double>& cd, double level, double near) {
  double best = no_value;
  for (std::size_t t = 0; t + 1 < u.size(); ++t) {
    if (!std::isfinite(cd[t]) || !std::isfinite(cd[t + 1])) continue;
    if ((cd[t] - level) * (cd[t + 1] - level) > 0 || cd[t] == cd[t + 1]) continue;
    const double at = u[t] + (u[t + 1] - u[t]) * (level - cd[t]) / (cd[t + 1] - cd[t]);
    if (std::isnan(best) || std::fabs(at - near) < std::fabs(best - near)) best = at;
  }
  if (u.size() == 1 && cd[0] == level) best = u[0];
  return best;
}

// A focus-dose window followed on a fine focus grid.
class Plane {
 public:
  explicit Plane(const Window& w) : w_(w) {
    const std::vector<double>& f = w.foci();
    for (std::size_t j = 0; j < f.size(); ++j) {
      const int steps = j + 1 < f.size() ? focus_substeps : 1;
      for (int k = 0; k < steps; ++k) {
        const double at = j + 1 < f.size() ? f[j] + (f[j + 1] - f[j]) * k / focus_substeps : f[j];
        grid_.push_back(at);
        const std::optional<Interval> i = w.at(at);
        low_.push_back(i ? std::exp(i->low) : no_value);
        high_.push_back(i ? std::exp(i->high) : no_value);
      }
    }
  }

  const std::vector<double>& grid() const { return grid_; }
  const std::vector<double>& low() const { return low_; }
  const std::vector<double>& high() const { return high_; }
  bool open_anywhere() const {
    return std::any_of(low_.begin(), low_.end(), [](double v) { return !std::isnan(v); });
  }

  // The longest focus range over which a dose interval of `width` stays in
  // the window; its band of doses. Nothing when no focus holds it. Found on
  // the grid, then every range within two grid steps of the longest has its
  // ends moved towards the next grid points as far as they hold.
  std::optional<WindowRectangle> largest(double width) const {
    const std::size_t n = grid_.size();
    std::vector<WindowRectangle> found;  // the longest range from each start
    double longest = 0;
    for (std::size_t a = 0; a < n; ++a) {
      if (std::isnan(low_[a]) || high_[a] - low_[a] < width) continue;
      double lo = low_[a], hi = high_[a];
      std::size_t end = a;
      for (std::size_t b = a + 1; b < n && !std::isnan(low_[b]); ++b) {
        if (std::min(hi, high_[b]) - std::max(lo, low_[b]) < width) break;
        lo = std::max(lo, low_[b]);
        hi = std::min(hi, high_[b]);
        end = b;
      }
      WindowRectangle r;
      r.focus_low = grid_[a];
      r.focus_high = grid_[end];
      r.depth_of_focus = r.focus_high - r.focus_low;
      r.dose_low = lo;
      r.dose_high = hi;
      longest = std::max(longest, r.depth_of_focus);
      found.push_back(r);
    }
    if (found.empty()) return std::nullopt;
    double step = 0;
    for (std::size_t k = 1; k < n; ++k) step = std::max(step, grid_[k] - grid_[k - 1]);
    std::optional<WindowRectangle> best;
    for (WindowRectangle& r : found) {
      if (r.depth_of_focus < longest - 2 * step * (1 + 1e-9)) continue;
      refine(r, width);
      const bool longer = !best || r.depth_of_focus > best->depth_of_focus * (1 + 1e-12) + 1e-300;
      const bool as_long_wider = best && std::fabs(r.depth_of_focus - best->depth_of_focus) <=
                                             1e-12 * (1 + r.depth_of_focus) &&
                                 r.dose_high - r.dose_low > best->dose_high - best->dose_low;
      if (longer || as_long_wider) best = r;
    }
    return best;
  }

 private:
  // Moves each end of the rectangle from its grid point towards the next,
  // as far as the window at that focus still holds its band.
  void refine(WindowRectangle& r, double width) const {
    auto holds = [&](double f, double lo, double hi) {
      const std::optional<Interval> i = w_.at(f);
      return i && std::min(hi, std::exp(i->high)) - std::max(lo, std::exp(i->low)) >= width;
    };
    auto widen = [&](double inside, double outside, double& lo, double& hi) {
      if (outside == inside || !holds(inside, lo, hi)) return inside;
      double a = inside, b = outside;
      if (holds(b, lo, hi)) a = b;
      for (int k = 0; k < end_bisections && a != b; ++k) {
        const double m = a + (b - a) / 2;
        (holds(m, lo, hi) ? a : b) = m;
      }
      const std::optional<Interval> i = w_.at(a);
      lo = std::max(lo, std::exp(i->low));
      hi = std::min(hi, std::exp(i->high));
      return a;
    };
    const auto at = [&](double f) {
      return static_cast<std::size_t>(std::lower_bound(grid_.begin(), grid_.end(), f) - grid_.begin());
    };
    double lo = r.dose_low, hi = r.dose_high;
    const std::size_t b = at(r.focus_high), a = at(r.focus_low);
    if (b + 1 < grid_.size()) r.focus_high = widen(r.focus_high, grid_[b + 1], lo, hi);
    if (a > 0) r.focus_low = widen(r.focus_low, grid_[a - 1], lo, hi);
    r.depth_of_focus = r.focus_high - r.focus_low;
    r.dose_low = lo;
    r.dose_high = hi;
  }

  const Window& w_;
  std::vector<double> grid_, low_, high_;
};

}  // namespace

ProcessWindow process_window(const WindowInput& in) {
  ProcessWindow w;
  if (in.focus.empty() || in.thresholds.empty() || in.features.empty()) {
    w.note = "no window: the study has no focus, threshold or target to make one";
    return w;
  }
  const Window window(in);
  const Plane plane(window);
  const std::vector<double>& foci = window.foci();
  w.lower = {"window: lowest dose", plane.grid(), plane.low()};
  w.upper = {"window: highest dose", plane.grid(), plane.high()};
  w.open = plane.open_anywhere();
  for (const double f : foci) w.per_focus.push_back({f});
  if (!w.open) {
    w.note = "no window: at no sampled focus and dose does every targeted cd stay within " +
             number_text(in.tolerance * 100) + " % of its target" +
             (std::isnan(in.min_nils) ? "" : " with nils at or above " + number_text(in.min_nils));
    return w;
  }
  // Best focus: the middle of the longest focus range one dose holds.
  const std::optional<WindowRectangle> chord = plane.largest(0.0);
  w.best_focus = (chord->focus_low + chord->focus_high) / 2;
  // A middle that is zero but for rounding in the focus grid is zero.
  if (std::fabs(w.best_focus) <= 1e-12 * std::max(std::fabs(foci.front()), std::fabs(foci.back()))) w.best_focus = 0;
  const std::optional<Interval> here = window.at(w.best_focus);
  const WindowFeature& first = in.features.front();
  const std::vector<double> cd_here = window.at_focus(first.cd, w.best_focus);
  const double middle = here ? (here->low + here->high) / 2 : std::log((chord->dose_low + chord->dose_high) / 2);
  const double u0 = dose_where(window.log_doses(), cd_here, first.target, middle);
  w.dose_to_size_reached = !std::isnan(u0);
  w.dose_to_size = std::exp(w.dose_to_size_reached ? u0 : middle);
  w.threshold_to_size = 1 / w.dose_to_size;
  const double d0 = w.dose_to_size;

  for (FocusWindow& row : w.per_focus) {
    if (const std::optional<Interval> i = window.at(row.focus)) {
      row.dose_low = std::exp(i->low);
      row.dose_high = std::exp(i->high);
      row.latitude = (row.dose_high - row.dose_low) / d0 * 100;
    }
    const std::vector<double> cd = window.at_focus(first.cd, row.focus);
    const std::vector<double>& u = window.log_doses();
    for (std::size_t t = 0; t + 1 < u.size(); ++t) {
      const double ln_d0 = std::log(d0);
      if (u[t] <= ln_d0 && ln_d0 <= u[t + 1] && u[t + 1] > u[t]) {
        row.cd_at_dose_to_size = cd[t] + (cd[t + 1] - cd[t]) * (ln_d0 - u[t]) / (u[t + 1] - u[t]);
      }
    }
    if (u.size() == 1 && std::fabs(std::log(d0) - u[0]) < 1e-12) row.cd_at_dose_to_size = cd[0];
  }
  w.reaches_end = !std::isnan(plane.low().front()) || !std::isnan(plane.low().back());
  const double lowest = std::exp(window.log_doses().front()), highest = std::exp(window.log_doses().back());
  for (std::size_t k = 0; k < plane.grid().size(); ++k) {
    w.reaches_dose_end = w.reaches_dose_end || plane.low()[k] <= lowest * (1 + 1e-12) ||
                         plane.high()[k] >= highest * (1 - 1e-12);
  }

  const double first_focus = foci.front(), last_focus = foci.back();
  auto rectangle = [&](double latitude) {
    WindowRectangle r;
    r.latitude = latitude;
    r.depth_of_focus = 0.0;
    if (const std::optional<WindowRectangle> found = plane.largest(latitude / 100 * d0)) {
      r = *found;
      r.latitude = latitude;
      const double mid = (r.dose_low + r.dose_high) / 2, half = latitude / 100 * d0 / 2;
      r.dose_low = mid - half;
      r.dose_high = mid + half;
      r.reaches_end = r.focus_low <= first_focus || r.focus_high >= last_focus;
    }
    return r;
  };
  for (const double e : in.latitudes) w.requested.push_back(rectangle(e));
  double widest = 0;
  for (std::size_t k = 0; k < plane.grid().size(); ++k) {
    if (!std::isnan(plane.low()[k])) widest = std::max(widest, (plane.high()[k] - plane.low()[k]) / d0 * 100);
  }
  for (int k = 0; k < curve_points; ++k) w.curve.push_back(rectangle(widest * k / (curve_points - 1)));

  // Each feature's cd limits, dose against focus, near the dose to size.
  for (const WindowFeature& feature : in.features) {
    for (const double side : {-1.0, 1.0}) {
      WindowCurve c{(feature.name.empty() ? std::string("cd") : feature.name + " cd") + " = " +
                        number_text(feature.target * (1 + side * in.tolerance)),
                    {},
                    {}};
      double near = std::log(d0);
      for (const double f : plane.grid()) {
        const double u = dose_where(window.log_doses(), window.at_focus(feature.cd, f), feature.target *
                                    (1 + side * in.tolerance), near);
        c.focus.push_back(f);
        c.dose.push_back(std::isnan(u) ? no_value : std::exp(u));
        if (!std::isnan(u)) near = u;
      }
      w.contours.push_back(std::move(c));
    }
  }
  std::vector<std::string> notes;
  if (!w.dose_to_size_reached) {
    notes.push_back("cd does not meet its target at best focus within the sampled thresholds: the dose to size is "
                    "the middle of the window there");
  }
  if (w.reaches_end) {
    notes.push_back("the window reaches the end of the sampled focus range: a depth of focus that reaches it is a "
                    "lower bound");
  }
  if (w.reaches_dose_end) {
    notes.push_back("the window reaches the lowest or highest sampled dose: sample thresholds beyond it, its "
                    "exposure latitudes are lower bounds");
  }
  for (const std::string& n : notes) w.note += (w.note.empty() ? "" : "; ") + n;
  return w;
}

std::optional<WindowInput> window_input(const Calculator& calc, const StudySpec& spec,
                                        const std::vector<CaseResult>& results, const WindowRequest& request,
                                        std::string& why) {
  if (!has_threshold_column(calc)) {
    why = "the process window needs an image calculator";
    return std::nullopt;
  }
  // A window in another parameter's units would pass for a depth of focus.
  if (spec.vary.size() != 1 || spec.vary[0].name != calc.layout->focus_cell) {
    why = "the process window needs a study that varies the focus, " + std::string(calc.layout->focus_cell) +
          ", alone (and the threshold with --threshold)";
    return std::nullopt;
  }
  WindowInput in;
  in.focus = spec.vary[0].values;
  in.thresholds = thresholds_of(spec);
  in.tolerance = request.tolerance;
  in.min_nils = request.min_nils;
  in.latitudes = request.latitudes;
  const std::vector<std::string> names = metric_names(calc);
  const auto column = [&](const char* name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t cd = column("cd"), nils = column("nils");
  const std::vector<NamedCut> cuts = cuts_of(spec);
  const std::size_t n_t = in.thresholds.size();
  for (std::size_t c = 0; c < cuts.size(); ++c) {
    double target = no_value;
    for (const auto& [name, value] : request.targets) {
      if (name.empty() || name == cuts[c].name) target = value;
    }
    if (std::isnan(target)) continue;
    WindowFeature f{cuts[c].name, target, std::vector<std::vector<double>>(n_t), std::vector<std::vector<double>>(n_t)};
    for (std::size_t t = 0; t < n_t; ++t) {
      for (std::size_t k = 0; k < in.focus.size(); ++k) {
        const std::vector<std::vector<double>>& rows = k < results.size() ? results[k].metrics
                                                                           : std::vector<std::vector<double>>{};
        const std::size_t row = c * n_t + t;
        f.cd[t].push_back(row < rows.size() ? rows[row][cd] : no_value);
        f.nils[t].push_back(row < rows.size() ? rows[row][nils] : no_value);
      }
    }
    in.features.push_back(std::move(f));
  }
  for (const auto& [name, value] : request.targets) {
    const bool known = name.empty() || std::any_of(cuts.begin(), cuts.end(), [&](const NamedCut& c) {
                         return c.name == name;
                       });
    if (!known) {
      why = "--target-cd " + name + ": the study has no cut of that name";
      return std::nullopt;
    }
  }
  if (in.features.empty()) {
    why = "no cut has a target width";
    return std::nullopt;
  }
  return in;
}

std::string focus_table_csv(const ProcessWindow& w, const std::string& focus_name) {
  std::vector<std::vector<std::string>> rows;
  for (const FocusWindow& f : w.per_focus) {
    rows.push_back({number_text(f.focus), number_text(f.dose_low), number_text(f.dose_high),
                    number_text(f.latitude), number_text(f.cd_at_dose_to_size)});
  }
  return csv_text({focus_name, "dose_low", "dose_high", "exposure_latitude_percent", "cd_at_dose_to_size"}, rows);
}

std::string el_dof_csv(const ProcessWindow& w) {
  std::vector<std::pair<const WindowRectangle*, bool>> all;  // the rectangle, whether asked for
  for (const WindowRectangle& r : w.curve) all.emplace_back(&r, false);
  for (const WindowRectangle& r : w.requested) all.emplace_back(&r, true);
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.first->latitude < b.first->latitude; });
  std::vector<std::vector<std::string>> rows;
  for (const auto& [r, asked] : all) {
    rows.push_back({number_text(r->latitude), number_text(r->depth_of_focus), number_text(r->focus_low),
                    number_text(r->focus_high), number_text(r->dose_low), number_text(r->dose_high),
                    r->reaches_end ? "yes" : "no", asked ? "yes" : "no"});
  }
  return csv_text({"exposure_latitude_percent", "depth_of_focus", "focus_low", "focus_high", "dose_low", "dose_high",
                   "reaches_focus_end", "requested"},
                  rows);
}

std::string with_window_json(const std::string& study_json_text, const ProcessWindow& w, const WindowRequest& r) {
  // Numbers that are not finite are written as null.
  auto value = [](double v) { return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr); };
  auto rectangle = [&](const WindowRectangle& e) {
    return nlohmann::json{{"exposure_latitude_percent", value(e.latitude)},
                          {"depth_of_focus", value(e.depth_of_focus)},
                          {"focus_low", value(e.focus_low)},
                          {"focus_high", value(e.focus_high)},
                          {"dose_low", value(e.dose_low)},
                          {"dose_high", value(e.dose_high)},
                          {"reaches_focus_end", e.reaches_end}};
  };
  nlohmann::json j;
  for (const auto& [name, target] : r.targets) j["targets"].push_back({{"cut", name}, {"target_cd", target}});
  j["cd_tolerance"] = r.tolerance;
  j["min_nils"] = value(r.min_nils);
  j["open"] = w.open;
  j["best_focus"] = value(w.best_focus);
  j["dose_to_size"] = value(w.dose_to_size);
  j["threshold_to_size"] = value(w.threshold_to_size);
  j["dose_to_size_reached"] = w.dose_to_size_reached;
  j["reaches_focus_end"] = w.reaches_end;
  j["reaches_dose_end"] = w.reaches_dose_end;
  j["note"] = w.note;
  j["per_focus"] = nlohmann::json::array();
  for (const FocusWindow& f : w.per_focus) {
    j["per_focus"].push_back({{"focus", value(f.focus)},
                              {"dose_low", value(f.dose_low)},
                              {"dose_high", value(f.dose_high)},
                              {"exposure_latitude_percent", value(f.latitude)},
                              {"cd_at_dose_to_size", value(f.cd_at_dose_to_size)}});
  }
  j["depth_of_focus"] = nlohmann::json::array();
  for (const WindowRectangle& e : w.requested) j["depth_of_focus"].push_back(rectangle(e));
  j["el_dof_curve"] = nlohmann::json::array();
  for (const WindowRectangle& e : w.curve) j["el_dof_curve"].push_back(rectangle(e));
  nlohmann::json info = nlohmann::json::parse(study_json_text);
  info["process_window"] = j;
  return info.dump(2) + "\n";
}

}  // namespace meridox::host
