#include "host/core/summary.hpp"

#include <cstdio>

#include "host/core/calculators.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"

namespace meridox::host {
namespace {

std::string g(double v) { return rounded_text(v, 6); }

// A length with its unit, or nan.
std::string length(double v, const std::string& unit) {
  return g(v) + (unit.empty() || std::isnan(v) ? "" : " " + unit);
}

bool is_stage(TableKind kind) { return kind.spec() != nullptr && kind.spec()->metrics == MetricKind::stage; }

// What the numbers of a map's minimum and maximum line are in.
std::string value_units(const TableSpec* spec, const std::string& unit) {
  if (spec == nullptr) return {};
  const std::string axes = !spec->map_in_lengths() ? std::string(spec->map.axes)
                           : unit.empty()          ? std::string("the sheet's length unit")
                                                   : unit;
  return " (x, y in " + axes + "; " + std::string(spec->map.summary_words) + ")";
}

// Where a cut runs, in words: "along x at y = 0 um through x = 0.48 um".
std::string cut_place(const CutOptions& cut, const std::string& unit) {
  const bool along_x = cut.along == CutAxis::x;
  return std::string("along ") + (along_x ? "x at y = " : "y at x = ") + length(along_x ? cut.cut_y : cut.cut_x, unit) +
         " through " + (along_x ? "x = " : "y = ") + length(along_x ? cut.cut_x : cut.cut_y, unit);
}

// The metrics of one cut of an image map, in two lines.
std::string cut_text(const MapTable& map, const SummaryContext& c, ImageModel model, const std::string& unit) {
  const ImageMetrics m = image_metrics(map.x, map.y, map.values, c.cut, model, c.mask);
  std::string out = "  cut " + cut_place(c.cut, unit) + ", " + (c.cut.dark ? "dark" : "bright") +
                    " feature, threshold " + g(c.cut.threshold) + ":\n";
  if (m.state == FeatureState::printed) {
    out += "  cd " + length(m.cd, unit) + ", edge_left " + length(m.edge_left, unit) + ", edge_right " +
           length(m.edge_right, unit) + ", nils " + g(m.nils);
  } else {
    out += "  cd nan (" + feature_reason(m.state, c.cut.dark) + ")";
  }
  out += ", contrast " + g(m.contrast) + ", peak " + g(m.peak) + "\n";
  if (!m.mask_known && m.state != FeatureState::outside && m.state != FeatureState::no_image) {
    out += "  (no mask along the cut: merging with a neighbour is not judged, and peak and contrast are the whole "
           "cut's)\n";
  }
  return out;
}

std::string map_text(TableKind kind, const MapTable& map, const SummaryContext& c) {
  const MapSummary s = summarize_map(map);
  const TableSpec* spec = kind.spec();
  const bool lengths = spec != nullptr && spec->map_in_lengths();
  const std::string unit = lengths ? c.length_unit : std::string();
  std::string out = "  " + std::to_string(map.x.size()) + " x " + std::to_string(map.y.size()) + " samples";
  if (!map.x.empty() && !map.y.empty()) {
    // The axes' unit: the sheet's length unit, or the layout's words for
    // them; nothing for a map of no calculator.
    const std::string axes = lengths ? (unit.empty() ? "" : " " + unit)
                             : spec  ? " (" + std::string(spec->map.axes) + ")"
                                     : std::string();
    out += ", x " + g(map.x.front()) + " to " + g(map.x.back()) + ", y " + g(map.y.front()) + " to " +
           g(map.y.back()) + axes;
  }
  out += "\n";
  if (!std::isnan(s.maximum)) {
    out += "  minimum " + g(s.minimum) + " at (" + g(s.min_x) + ", " + g(s.min_y) + "), maximum " + g(s.maximum) +
           " at (" + g(s.max_x) + ", " + g(s.max_y) + ")" + value_units(spec, unit) + "\n";
  } else if (!map.values.empty()) {
    out += "  no finite value\n";
  }
  if (s.non_finite) out += "  " + std::to_string(s.non_finite) + " values are inf or nan\n";
  if (spec == nullptr || spec->metrics != MetricKind::image || map.values.empty()) return out;
  const std::optional<TableWriterOf> writer = writer_of(kind);
  const ImageModel model = writer ? image_model(*writer->calculator) : ImageModel::spline;
  out += cut_text(map, c, model, unit);
  return out;
}

// " (over 3 finite of 46 rows)" when some of a column's rows are not finite.
std::string finite_share(const std::vector<double>& column, std::size_t rows) {
  std::size_t finite = 0;
  for (std::size_t k = 0; k < rows && k < column.size(); ++k) finite += std::isfinite(column[k]) ? 1 : 0;
  return finite == rows ? std::string() : " (over " + std::to_string(finite) + " finite of " + std::to_string(rows) + " rows)";
}

// A column's unit as the sheet gives it; empty when it gives none.
std::string sheet_unit(const SummaryContext& c, std::string_view unit) {
  return unit == "length" ? c.length_unit : c.units.text(unit);
}

std::string plate_text(const TableSpec& spec, const ColumnTable& t, const SummaryContext& c) {
  const PlateSummary s = summarize_plate(t, spec);
  const PlateSpec& p = spec.plate;
  const auto column = [&](int k) -> const std::vector<double>& { return t.columns[static_cast<std::size_t>(k)]; };
  const auto unit = [&](int k) { return sheet_unit(c, spec.columns[static_cast<std::size_t>(k)].unit); };
  const std::string r_unit = unit(p.radius);
  const std::string w_unit = unit(p.deflection);
  const std::string stress_unit = unit(p.stress);
  const std::string pitch_unit = unit(p.pitch_error);
  // The last row has no pitch error by layout: it is not counted as missing.
  const std::size_t pitch_rows = t.widths.back() < spec.columns.size() ? t.rows() - 1 : t.rows();
  std::string out;
  out += "  max_deflection: largest deflection " + length(s.deflection.value, w_unit) + " at r = " +
         length(s.deflection.at, r_unit) + " (max_deflection_r)" + finite_share(column(p.deflection), t.rows()) + "\n";
  out += "  max_stress: largest radial stress " + length(s.stress.value, stress_unit) + " at r = " +
         length(s.stress.at, r_unit) + finite_share(column(p.stress), t.rows()) + " (the radial stress only)\n";
  if (c.plate) {
    // The hoop stress governs where the radial moment vanishes (a free edge).
    const HoopMetrics h = hoop_metrics(column(p.radius), column(p.slope), column(p.curvature), *c.plate);
    // A moment per unit length (stress times length squared over length), in
    // the words of the moment column's unit as a study's column gives them.
    const std::string moment_unit =
        stress_unit.empty() || r_unit.empty()
            ? std::string()
            : unit_label(spec, spec.columns[static_cast<std::size_t>(p.moment)].unit, c.length_unit, c.units);
    const std::string rounding =
        std::isfinite(h.rounding) && std::isfinite(h.moment.value) && h.rounding > 1e-3 * std::fabs(h.moment.value)
            ? ", within +-" + g(h.rounding) + " from the table's six decimals of w' and w''"
            : std::string();
    out += "  max_hoop_moment: largest hoop moment " + length(h.moment.value, moment_unit) + " at r = " +
           length(h.moment.at, r_unit) + " (-D (w'/r + nu w'') from the table's slope and curvature" + rounding + ")\n";
    out += "  max_hoop_stress: largest hoop stress " + length(h.stress.value, stress_unit) + " at r = " +
           length(h.stress.at, r_unit) + " (6 M_theta / t^2)";
    if (std::isfinite(h.stress.value) && std::isfinite(s.stress.value)) {
      out += std::fabs(h.stress.value) > std::fabs(s.stress.value) ? ": the hoop stress governs" : ": the radial stress governs";
    }
    out += "\n";
  }
  out += "  max_pitch_error: largest pitch error " + length(s.pitch_error.value, pitch_unit) + " at r = " +
         length(s.pitch_error.at, r_unit) + finite_share(column(p.pitch_error), pitch_rows) + "\n";
  return out;
}

// A length in mm with its count of the sensor when that is known.
std::string in_counts(double v, const StageColumns& columns) {
  const bool counts = std::isfinite(columns.count) && columns.count > 0;
  return length(v, "mm") + (counts && std::isfinite(v) ? " (" + g(v / columns.count) + " counts)" : std::string());
}

std::string stage_text(const ColumnTable& t, TableKind kind, const SummaryContext& c) {
  const StageColumns columns = c.stage ? *c.stage : stage_columns(kind);
  const StageMetrics m = c.every_step ? *c.every_step : stage_table_metrics(t, columns);
  std::string out = c.every_step ? "  metrics over every step (" + std::to_string(m.states) + " states):\n"
                                 : "  metrics over the printed rows only" +
                                       (c.printed_rows_only.empty() ? std::string() : " (" + c.printed_rows_only + ")") +
                                       ":\n";
  out += "  final_error: final position error " + length(m.final_error, "mm") + " at t = " + g(m.final_time) + " s";
  const bool counts = std::isfinite(columns.count) && columns.count > 0;
  if (counts) out += " (" + g(m.final_error / columns.count) + " counts)";
  const double band = columns.settle_band();
  const std::string band_text = std::isnan(columns.band) || columns.band == columns.count
                                    ? "within one count (" + g(band) + " mm)"
                                    : "within the band (" + g(band) + " mm)";
  const std::string hold_text = columns.hold > 0 ? " for at least " + g(columns.hold) + " s" : std::string();
  out += "\n  settling_time: ";
  if (!(band > 0)) {
    out += "nan (no band: the sensor's count is not known)\n";
  } else if (std::isnan(m.settling_time)) {
    out += "nan: not settled " + band_text + hold_text + " by the end\n";
  } else {
    out += "settled " + band_text + hold_text + " from t = " + g(m.settling_time) + " s\n";
  }
  out += "  max_excursion: " + length(m.max_excursion, "mm") + " at t = " + g(m.peak_time) + " s (peak_time)\n";
  out += "  overshoot: ";
  if (std::isnan(m.overshoot)) {
    out += "nan (the error is never other than 0)\n";
  } else {
    out += length(m.overshoot, "mm") + ", " + g(m.overshoot_percent) + " % of the first swing's peak " +
           length(m.first_peak, "mm") + " (overshoot_percent)\n";
  }
  const double span = m.final_time - m.window_start;
  const std::string window_text =
      std::isnan(columns.window) ? "the last tenth of the run" : "the asked window of " + g(columns.window) + " s";
  if (m.window_states == 0) {
    out += "  steady_error, residual_oscillation: nan (no state in the closing window)\n";
  } else {
    out += "  steady_error: mean error " + in_counts(m.steady_error, columns) + " over t = " + g(m.window_start) +
           " to " + g(m.final_time) + " s (" + window_text + ", " + std::to_string(m.window_states) + " states)\n";
    out += "  residual_oscillation: " + in_counts(m.residual_oscillation, columns) + " peak to peak over " +
           (span > 0 ? "the same window" : "the closing state");
    if (!m.diverged && band > 0 && std::isnan(m.settling_time) && m.residual_oscillation > 2 * band) {
      out += ": still swinging at the end (a limit cycle, or a decay slower than the run), not settled";
    }
    out += "\n";
  }
  out += "  peak_current: peak current " + length(m.peak_current, "A") + " at t = " + g(m.peak_current_time) + " s\n";
  out += "  rms_current: " + length(m.rms_current, "A") + "\n";
  if (m.non_finite) {
    out += "  " + std::to_string(m.non_finite) + " of " + std::to_string(m.states) +
           " states have an error or current that is not finite; the metrics leave them out\n";
  }
  if (m.diverged) out += "  diverged: " + divergence_text(m) + "; the metrics above are those of a diverging run\n";
  if (c.servo && c.loop) out += loop_text(*c.servo, *c.loop);
  return out;
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

PlateSummary summarize_plate(const ColumnTable& t, const TableSpec& spec) {
  if (t.columns.size() < spec.columns.size()) throw TableError("a plate table has seven columns");
  const PlateSpec& p = spec.plate;
  const auto column = [&](int k) -> const std::vector<double>& { return t.columns[static_cast<std::size_t>(k)]; };
  PlateSummary s;
  s.deflection = largest_magnitude(column(p.deflection), column(p.radius));
  s.stress = largest_magnitude(column(p.stress), column(p.radius));
  s.pitch_error = largest_magnitude(column(p.pitch_error), column(p.radius));
  return s;
}

PlateSummary summarize_plate(const ColumnTable& t) {
  for (const Calculator& c : calculators()) {
    if (const TableSpec* spec = c.layout->table_with(MetricKind::plate)) return summarize_plate(t, *spec);
  }
  throw TableError("no calculator writes a plate table");
}

double settling_time(const std::vector<double>& time, const std::vector<double>& error, double tolerance) {
  return stage_metrics(time, error, std::vector<double>(error.size(), 0.0), tolerance).settling_time;
}

StageColumns stage_columns(TableKind kind, bool) {
  // The servo error and current columns as the table's layout gives them;
  // the first stage table's for any other table.
  const TableSpec* spec = kind.spec() != nullptr && kind.spec()->error_column >= 0 ? kind.spec() : nullptr;
  for (const Calculator& c : calculators()) {
    for (const TableSpec& t : c.layout->tables) {
      if (spec == nullptr && t.error_column >= 0) spec = &t;
    }
  }
  return {static_cast<std::size_t>(spec->error_column), static_cast<std::size_t>(spec->current_column)};
}

StageMetrics stage_table_metrics(const ColumnTable& t, const StageColumns& c) {
  if (t.columns.size() <= std::max(c.error, c.current)) throw TableError("too few columns for a stage table");
  return stage_metrics(t.columns[0], t.columns[c.error], t.columns[c.current], c.judging(false));
}

std::string loop_text(const ServoLoop& servo, const LoopAnalysis& loop) {
  std::string out = "  the loop, linearised from the sheet (servo on " + servo.sensor + "; left out: ";
  for (std::size_t k = 0; k < servo.left_out.size(); ++k) out += (k ? ", " : "") + servo.left_out[k];
  out += "):\n";
  if (!loop.why_not.empty()) return out + "  no loop analysis: " + loop.why_not + "\n";
  if (!loop.stable) {
    out += "  the closed loop is not stable: a pole at |z| = " + g(loop.spectral_radius) +
           " (at or outside the unit circle); the margins tell how far the gains would have to fall\n";
  }
  out += "  gain_margin: " + g(loop.gain_margin) + " (" + g(loop.gain_margin_db) +
         " dB, gain_margin_db): the factor on the whole loop gain (Kp and Kd together, or the drive's constant) "
         "at which the loop ";
  out += loop.stable ? "loses stability" : "would regain it";
  if (!std::isnan(loop.phase_crossover_hz)) out += "; -180 deg at " + g(loop.phase_crossover_hz) + " Hz";
  out += "\n  position_gain_margin: " + g(loop.position_gain_margin) + ": Kp alone (Kd kept) from " +
         g(servo.position_gain) + " to " + g(servo.position_gain * loop.position_gain_margin) + "\n";
  out += "  phase_margin: " + g(loop.phase_margin) + " deg at crossover_hz " + g(loop.crossover_hz) + " Hz\n";
  out += "  bandwidth_hz: " + g(loop.bandwidth_hz) + " Hz (closed loop within -3 dB); its resonance " +
         g(loop.resonance_peak) + " at " + g(loop.resonance_hz) + " Hz\n";
  out += "  sensitivity_peak: " + g(loop.sensitivity_peak) + " (" + g(loop.sensitivity_peak_db) + " dB) at " +
         g(loop.sensitivity_peak_hz) + " Hz\n";
  const LoopPole& d = loop.dominant;
  out += "  dominant poles: dominant_hz " + g(d.hz) + " Hz, dominant_damping " + g(d.damping);
  if (d.ringing_hz > 0) out += ", ringing at " + g(d.ringing_hz) + " Hz";
  if (d.damping > 0) out += ", decaying by 1/e in " + g(1 / (d.damping * 2 * 3.141592653589793 * d.hz)) + " s";
  out += "\n  closed-loop poles:";
  for (const LoopPole& p : loop.poles) out += " " + g(p.hz) + " Hz (damping " + g(p.damping) + ");";
  out.back() = '\n';
  for (const PlantMode& m : loop.modes) {
    out += "  plant mode " + g(m.hz) + " Hz (damping " + g(m.damping) + "): omega h = " + g(m.omega_h) +
           ", the step's error in it " + g(100 * m.step_error) + " %" +
           (m.growth > 1 && m.damping >= 0 ? ", and the step makes it grow: the integration is unstable" : "") + "\n";
  }
  return out;
}

std::string divergence_text(const StageMetrics& m) {
  if (!m.diverged) return {};
  if (!std::isnan(m.non_finite_error_time)) {
    return "the error is not finite from t = " + g(m.non_finite_error_time) + " s on";
  }
  const std::string unstable = m.divergence_ratio == 1.0 ? ", and the linearised loop is unstable" : "";
  if (m.current_diverged) {
    return "the current swings to " + length(m.window_current, "A") + " in the closing window from t = " +
           g(m.window_start) + " s, " + (m.divergence_ratio == 1.0 ? "beyond" : "more than " + g(m.divergence_ratio) + " times") +
           " its largest over the first tenth of the run " + length(m.early_current, "A") + unstable +
           ": the servo drives a mode without bound that the error does not show";
  }
  if (m.divergence_ratio == 1.0) {
    return "the error swings to " + length(m.window_amplitude, "mm") + " in the closing window from t = " +
           g(m.window_start) + " s, beyond its first peak " + length(m.first_peak, "mm") +
           ", and the linearised loop is unstable: it grows without bound";
  }
  return "the error swings to " + length(m.window_amplitude, "mm") + " in the closing window from t = " +
         g(m.window_start) + " s, more than " + g(m.divergence_ratio) + " times its first peak " +
         length(m.first_peak, "mm") + ": it grows without bound";
}

StageSummary summarize_stage(const ColumnTable& t, const StageColumns& c) {
  const StageMetrics m = stage_table_metrics(t, c);
  StageSummary s;
  s.final_time = m.final_time;
  s.final_error = m.final_error;
  s.peak_current = {m.peak_current, m.peak_current_time};
  s.settling = m.settling_time;
  return s;
}

std::string no_finite_value(std::string_view table, const Finiteness& f) {
  if (f.values == 0 || f.non_finite < f.values) return {};
  return std::string(table) + " holds no finite value (all " + std::to_string(f.values) + " are inf or nan)";
}

std::string summary_text(const ResultTable& table, const SummaryContext& context) {
  const TableKind kind = table.kind;
  if (is_map(kind)) return map_text(kind, table.map, context);
  const ColumnTable& t = table.columns;
  std::string out = "  " + std::to_string(t.rows()) + " rows of " + std::to_string(t.labels.size()) + " columns";
  std::size_t short_rows = 0;
  for (const std::size_t w : t.widths) short_rows += w < t.labels.size() ? 1 : 0;
  const TableSpec* spec = kind.spec();
  if (spec != nullptr && !spec->short_last_row_where.empty() && short_rows == 1 &&
      t.widths.back() + 1 == t.labels.size()) {
    out += " (the last row, " + std::string(spec->short_last_row_where) + ", has " + std::to_string(t.widths.back()) +
           ": " + std::string(spec->short_last_row_why) + ")";
  } else if (short_rows > 0) {
    out += " (" + std::to_string(short_rows) + " rows shorter)";
  }
  out += "\n";
  if (t.rows() == 0) return out;
  const Finiteness& f = table.finiteness;
  if (f.non_finite) out += "  " + std::to_string(f.non_finite) + " of " + std::to_string(f.values) + " values are inf or nan\n";
  if (spec != nullptr && spec->metrics == MetricKind::plate) out += plate_text(*spec, t, context);
  if (is_stage(kind)) out += stage_text(t, kind, context);
  return out;
}

}  // namespace meridox::host
