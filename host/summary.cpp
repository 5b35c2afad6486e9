#include "host/summary.hpp"

#include <cstdio>

namespace meridox::host {
namespace {

std::string g(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6g", v);
  return buffer;
}

}  // namespace

MapSummary summarize_map(const MapTable& map) {
  MapSummary s;
  for (std::size_t j = 0; j < map.y.size(); ++j) {
    for (std::size_t i = 0; i < map.x.size(); ++i) {
      const double v = map.at(i, j);
      if (!std::isfinite(v)) {
        ++s.non_finite;
        continue;
      }
      if (std::isnan(s.minimum) || v < s.minimum) {
        s.minimum = v;
        s.min_x = map.x[i];
        s.min_y = map.y[j];
      }
      if (std::isnan(s.maximum) || v > s.maximum) {
        s.maximum = v;
        s.max_x = map.x[i];
        s.max_y = map.y[j];
      }
    }
  }
  if (s.maximum + s.minimum != 0.0) s.contrast = (s.maximum - s.minimum) / (s.maximum + s.minimum);
  return s;
}

Extreme largest_magnitude(const std::vector<double>& values, const std::vector<double>& at) {
  Extreme e;
  for (std::size_t k = 0; k < values.size() && k < at.size(); ++k) {
    if (!std::isfinite(values[k])) continue;
    if (std::isnan(e.value) || std::fabs(values[k]) > std::fabs(e.value)) {
      e.value = values[k];
      e.at = at[k];
    }
  }
  return e;
}

PlateSummary summarize_plate(const ColumnTable& t) {
  if (t.columns.size() < 7) throw TableError("a plate table has seven columns");
  PlateSummary s;
  s.deflection = largest_magnitude(t.columns[1], t.columns[0]);
  s.stress = largest_magnitude(t.columns[5], t.columns[0]);
  s.pitch_error = largest_magnitude(t.columns[6], t.columns[0]);
  return s;
}

double settling_time(const std::vector<double>& time, const std::vector<double>& error, double tolerance) {
  if (time.empty() || !(tolerance > 0.0)) return not_known;
  std::size_t from = 0;
  for (std::size_t k = 0; k < error.size(); ++k) {
    if (!(std::fabs(error[k]) <= tolerance)) from = k + 1;
  }
  return from < time.size() ? time[from] : not_known;
}

StageColumns stage_columns(TableKind kind, bool scale_sensor) {
  switch (kind) {
    case TableKind::nut_stage: return {scale_sensor ? std::size_t{2} : std::size_t{1}, 3};
    case TableKind::stage_base: return {3, 4};
    default: return {1, 2};
  }
}

StageSummary summarize_stage(const ColumnTable& t, const StageColumns& c) {
  if (t.columns.size() <= std::max(c.error, c.current)) throw TableError("too few columns for a stage table");
  StageSummary s;
  if (t.rows() == 0) return s;
  s.final_time = t.columns[0].back();
  s.final_error = t.columns[c.error].back();
  s.peak_current = largest_magnitude(t.columns[c.current], t.columns[0]);
  s.settling = settling_time(t.columns[0], t.columns[c.error], c.count);
  return s;
}

std::string summary_text(TableKind kind, const std::string& bytes, const StageColumns* stage) {
  std::string out;
  if (is_map(kind)) {
    const MapTable map = parse_map(bytes);
    const MapSummary s = summarize_map(map);
    out += "  " + std::to_string(map.x.size()) + " x " + std::to_string(map.y.size()) + " samples";
    if (!map.x.empty() && !map.y.empty()) {
      out += ", x " + g(map.x.front()) + " to " + g(map.x.back()) + ", y " + g(map.y.front()) + " to " +
             g(map.y.back());
    }
    out += "\n";
    if (!std::isnan(s.maximum)) {
      out += "  minimum " + g(s.minimum) + " at (" + g(s.min_x) + ", " + g(s.min_y) + "), maximum " +
             g(s.maximum) + " at (" + g(s.max_x) + ", " + g(s.max_y) + ")";
      const bool image = kind != TableKind::spectrum_phase && kind != TableKind::spectrum_amplitude;
      if (image && !std::isnan(s.contrast)) out += ", contrast " + g(s.contrast);
      out += "\n";
    }
    if (s.non_finite) out += "  " + std::to_string(s.non_finite) + " values are inf or nan\n";
    return out;
  }
  const ColumnTable t = parse_columns(bytes);
  out += "  " + std::to_string(t.rows()) + " rows of " + std::to_string(t.labels.size()) + " columns\n";
  if (t.rows() == 0) return out;
  if (kind == TableKind::plate) {
    const PlateSummary s = summarize_plate(t);
    out += "  largest deflection " + g(s.deflection.value) + " at r = " + g(s.deflection.at) + "\n";
    out += "  largest stress " + g(s.stress.value) + " at r = " + g(s.stress.at) + "\n";
    out += "  largest pitch error " + g(s.pitch_error.value) + " at r = " + g(s.pitch_error.at) + "\n";
  } else if (kind == TableKind::stage || kind == TableKind::nut_stage || kind == TableKind::stage_base) {
    const StageColumns c = stage ? *stage : stage_columns(kind);
    const StageSummary s = summarize_stage(t, c);
    out += "  final position error " + g(s.final_error) + " mm at t = " + g(s.final_time) + " s";
    if (std::isfinite(c.count) && c.count > 0) out += " (" + g(s.final_error / c.count) + " counts)";
    out += "\n  peak current " + g(s.peak_current.value) + " A at t = " + g(s.peak_current.at) + " s\n";
    if (std::isfinite(c.count) && c.count > 0) {
      if (std::isnan(s.settling)) {
        out += "  not settled within one count (" + g(c.count) + " mm) by the last row\n";
      } else {
        out += "  settled within one count (" + g(c.count) + " mm) from t = " + g(s.settling) +
               " s (rows as printed)\n";
      }
    }
  }
  return out;
}

}  // namespace meridox::host
