#include "host/study/mask_error.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace meridox::host {
namespace {

bool is_edge(const std::string& name) {
  for (const char* edge : {"rect_x1[", "rect_x2[", "rect_y1[", "rect_y2["}) {
    if (name.rfind(edge, 0) == 0) return true;
  }
  return false;
}

// The least-squares slope of y against x; NaN with fewer than two distinct x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = static_cast<double>(x.size());
  double mx = 0, my = 0;
  for (std::size_t k = 0; k < x.size(); ++k) mx += x[k] / n, my += y[k] / n;
  double sxx = 0, sxy = 0;
  for (std::size_t k = 0; k < x.size(); ++k) sxx += (x[k] - mx) * (x[k] - mx), sxy += (x[k] - mx) * (y[k] - my);
  return sxx > 0 ? sxy / sxx : no_value;
}

}  // namespace

std::optional<MaskError> mask_error(const Calculator& calc, const StudySpec& spec,
                                    const std::vector<StudyCase>& cases, const std::vector<CaseResult>& results) {
  if (!has_threshold_column(calc)) return std::nullopt;
  std::vector<std::size_t> others;  // the varied parameters that are not edges
  bool varies_mask = false;
  for (std::size_t k = 0; k < spec.vary.size(); ++k) {
    if (is_edge(spec.vary[k].name)) {
      varies_mask = true;
    } else {
      others.push_back(k);
    }
  }
  if (!varies_mask) return std::nullopt;
  const std::vector<std::string> names = metric_names(calc);
  const auto column = [&](const char* name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t cd = column("cd"), width = column("mask_width");
  const std::vector<NamedCut> cuts = cuts_of(spec);
  const std::vector<double> thresholds = thresholds_of(spec);
  // A group's key: its values of the other varied parameters, cut and threshold, in study order.
  struct Group {
    std::vector<double> values;
    std::size_t row;  // cut and threshold
    std::vector<double> widths, cds;
  };
  std::vector<Group> groups;
  std::map<std::vector<double>, std::size_t> index;
  for (std::size_t k = 0; k < cases.size() && k < results.size(); ++k) {
    for (std::size_t r = 0; r < results[k].metrics.size(); ++r) {
      std::vector<double> key;
      for (const std::size_t o : others) key.push_back(cases[k].values[o]);
      key.push_back(static_cast<double>(r));
      auto [it, added] = index.emplace(key, groups.size());
      if (added) groups.push_back({key, r, {}, {}});
      const std::vector<double>& m = results[k].metrics[r];
      if (std::isfinite(m[cd]) && std::isfinite(m[width])) {
        groups[it->second].widths.push_back(m[width]);
        groups[it->second].cds.push_back(m[cd]);
      }
    }
  }
  MaskError e;
  for (const std::size_t o : others) e.header.push_back(spec.vary[o].name);
  if (!spec.cuts.empty()) e.header.push_back("cut");
  for (const char* name : {"threshold", "meef", "points", "mask_width_low", "mask_width_high"}) {
    e.header.push_back(name);
  }
  for (const Group& g : groups) {
    std::vector<std::string> row;
    for (std::size_t k = 0; k < others.size(); ++k) row.push_back(number_text(g.values[k]));
    if (!spec.cuts.empty()) row.push_back(cuts[g.row / thresholds.size() % cuts.size()].name);
    row.push_back(number_text(thresholds[g.row % thresholds.size()]));
    const double meef = slope(g.widths, g.cds);
    row.push_back(number_text(meef));
    row.push_back(std::to_string(g.widths.size()));
    const auto [low, high] = std::minmax_element(g.widths.begin(), g.widths.end());
    row.push_back(number_text(g.widths.empty() ? no_value : *low));
    row.push_back(number_text(g.widths.empty() ? no_value : *high));
    e.rows.push_back(std::move(row));
    if (std::isfinite(meef)) {
      ++e.groups;
      e.lowest = std::isnan(e.lowest) ? meef : std::min(e.lowest, meef);
      e.highest = std::isnan(e.highest) ? meef : std::max(e.highest, meef);
    }
  }
  return e;
}

}  // namespace meridox::host
