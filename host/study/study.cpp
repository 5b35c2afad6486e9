#include "host/study/study.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <deque>
#include <exception>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "host/core/calls.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/report.hpp"
#include "host/core/servo_loop.hpp"
#include "host/core/units.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"
#include "projection/layout.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

// A case folder's record of its results, written last, when they are complete.
constexpr const char* result_record = "results.txt";
// The study's record of its completed cases, in the cases folder.
constexpr const char* case_records = "records.txt";

const TableSpec* metric_table(const Calculator& calc) {
  for (const TableSpec& t : calc.layout->tables) {
    if (t.metrics != MetricKind::none) return &t;
  }
  return nullptr;
}

MetricKind metric_kind(const Calculator& calc) {
  const TableSpec* t = metric_table(calc);
  return t ? t->metrics : MetricKind::none;
}

std::string slurp(const fs::path& path) {
  std::string bytes;
  read_bounded(path.string(), table_byte_limit, bytes);
  return bytes;
}

// The metrics of one table of a case, one row per cut and threshold for an image.
std::vector<std::vector<double>> table_metrics(const Calculator& calc, const StudySpec& spec,
                                               const std::string& bytes, const std::string& sheet) {
  std::vector<std::vector<double>> rows;
  const TableSpec& written = *metric_table(calc);
  const ResultTable table = read_result_table(bytes, TableKind(written));
  if (std::string none = no_finite_value(written.file, table.finiteness); !none.empty()) throw TableError(none);
  switch (written.metrics) {
    case MetricKind::image: {
      const MapTable& map = table.map;
      const std::vector<MaskRectangle> mask = mask_rectangles(calc, sheet);
      for (const NamedCut& c : cuts_of(spec)) {
        for (const ImageMetrics& m :
             threshold_metrics(map.x, map.y, map.values, c.cut, image_model(calc), mask, thresholds_of(spec))) {
          rows.push_back({m.peak, m.contrast, m.cd, m.edge_left, m.edge_right, m.nils, m.mask_width,
                          feature_code(m.state)});
        }
      }
      break;
    }
    case MetricKind::plate: {
      const ColumnTable& t = table.columns;
      const PlateSpec& p = written.plate;
      if (t.columns.size() < written.columns.size()) {
        throw TableError("the plate table has fewer than " + std::to_string(written.columns.size()) + " columns");
      }
      const auto column = [&](int k) -> const std::vector<double>& { return t.columns[static_cast<std::size_t>(k)]; };
      const PlateMetrics m = plate_metrics(column(p.radius), column(p.deflection), column(p.stress), column(p.pitch_error));
      const HoopMetrics h = hoop_metrics(column(p.radius), column(p.slope), column(p.curvature), plate_section(calc, sheet));
      rows.push_back({m.max_deflection, m.max_deflection_r, m.max_stress, m.max_pitch_error, h.moment.value,
                      h.stress.value});
      break;
    }
    default: break;
  }
  return rows;
}

// A stage case's metrics: its run's, then its loop's, linearised from its sheet.
std::vector<double> stage_row(const StageMetrics& m, const LoopAnalysis& l) {
  return {m.final_error,    m.settling_time,     m.max_excursion,        m.overshoot,
          m.peak_current,   m.rms_current,       m.overshoot_percent,    m.peak_time,
          m.steady_error,   m.residual_oscillation,
          l.gain_margin,    l.gain_margin_db,    l.position_gain_margin, l.phase_margin,
          l.crossover_hz,   l.bandwidth_hz,      l.sensitivity_peak,     l.dominant.hz,
          l.dominant.damping};
}

std::size_t metric_rows_per_case(const Calculator& calc, const StudySpec& spec) {
  return metric_kind(calc) == MetricKind::image ? cuts_of(spec).size() * thresholds_of(spec).size() : 1;
}

std::vector<std::vector<double>> failed_metrics(const Calculator& calc, const StudySpec& spec) {
  return std::vector<std::vector<double>>(metric_rows_per_case(calc, spec),
                                          std::vector<double>(metric_names(calc).size(), no_value));
}

// What, beside its sheet, decides a case's metrics: the host that computed
// them and the study's options. A case recorded under other options is run
// again, whoever started the study (the command, a script, a worker).
std::string case_options(const Calculator& calc, const StudySpec& spec) {
  std::string text = "meridox " MERIDOX_VERSION " " + std::string(calc.name) + " library " + build_text(spec.library);
  text += " thresholds";
  for (const double t : thresholds_of(spec)) text += " " + number_text(t);
  for (const NamedCut& c : cuts_of(spec)) {
    text += " cut " + c.name + (c.name.empty() ? "" : " ") + number_text(c.cut.cut_x) + " " +
            number_text(c.cut.cut_y) + (c.cut.along == CutAxis::y ? " along y" : "");
    text += c.cut.dark ? " dark" : " bright";
  }
  text += " band " + (spec.band ? number_text(*spec.band) : std::string("-"));
  text += " hold " + (spec.hold ? number_text(*spec.hold) : std::string("-"));
  text += " window " + (spec.window ? number_text(*spec.window) : std::string("-"));
  return text;
}

// The record of a case's results: its options, its status, its metric rows
// and a line of its own at the end, so that a record cut short by a killed
// host never passes for a complete one. The same text carries a case's
// results from its child process.
constexpr const char* record_end = "end";

std::string record_text(const std::string& options, const CaseResult& r) {
  std::string status = r.status;
  std::replace_if(status.begin(), status.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  std::string text = options + "\n" + status + "\n";
  for (const auto& row : r.metrics) {
    for (std::size_t k = 0; k < row.size(); ++k) text += (k ? "\t" : "") + number_text(row[k]);
    text += "\n";
  }
  return text + record_end + "\n";
}

// A complete record made under `options`, of `rows` rows of `columns`
// metrics; nothing otherwise.
std::optional<CaseResult> parse_record(std::string_view text, const std::string& options, std::size_t rows,
                                       std::size_t columns) {
  const std::size_t first_end = text.find('\n');
  if (first_end == std::string_view::npos || text.substr(0, first_end) != options) return std::nullopt;
  const auto lines = split_lines(text.substr(first_end + 1));
  if (lines.size() != rows + 2 || lines[0].size() != 1 || lines.back().size() != 1 || lines.back()[0] != record_end) {
    return std::nullopt;
  }
  CaseResult r;
  r.status = lines[0][0];
  for (std::size_t k = 1; k + 1 < lines.size(); ++k) {
    if (lines[k].size() != columns) return std::nullopt;
    std::vector<double> row;
    for (const std::string& field : lines[k]) {
      const std::optional<double> value = whole_real(field);
      if (!value) return std::nullopt;
      row.push_back(*value);
    }
    r.metrics.push_back(std::move(row));
  }
  return r;
}

std::optional<CaseResult> parse_record(std::string_view text, const Calculator& calc, const StudySpec& spec) {
  return parse_record(text, case_options(calc, spec), metric_rows_per_case(calc, spec), metric_names(calc).size());
}

// What a stage case needs of its sheet, read once: its step count, the
// columns and band of its metrics, and whether one run printing every step
// gives both its metrics and all it keeps (its tables are not kept and the
// steps are few enough for a table of every step).
struct StagePlan {
  long long steps = 0;
  StageColumns columns{0, 0};
  bool every_step_only = false;
  // The loop linearised from the sheet, when worked out before the case's
  // child is forked (its margins join the metrics).
  std::optional<LoopAnalysis> loop;
  bool has_loop = false;
};

// The plan with the case's linearised loop: worked out from the sheet
// alone, in the warm worker, so that a case's child need not.
StagePlan with_loop(StagePlan plan, const Calculator& calc, const std::string& sheet) {
  const std::optional<ServoLoop> servo = servo_loop(calc, sheet);
  plan.has_loop = servo.has_value();
  plan.loop = servo ? analyse_loop(*servo) : LoopAnalysis{};
  return plan;
}

StagePlan stage_plan(const Calculator& calc, const StudySpec& spec, const std::string& case_sheet) {
  const Sheet sheet = sheet_of(calc, case_sheet);
  StagePlan plan;
  plan.steps = stage_steps(calc, sheet).steps;
  plan.columns = stage_columns_for(calc, sheet);
  if (spec.band) plan.columns.band = *spec.band;
  if (spec.hold) plan.columns.hold = *spec.hold;
  if (spec.window) plan.columns.window = *spec.window;
  plan.every_step_only = !spec.keep_tables && plan.steps <= every_step_limit;
  return plan;
}

std::string every_step_text(const Calculator& calc, const std::string& sheet) {
  const CellSpec* interval = calc.layout->find(stage_table(calc)->interval_cell);
  return with_cell_text(sheet, interval->column, interval->row, "1");
}

// Calls the entry in this process (a case's own child, or a warm worker) on
// the sheet in `folder`; with `as_loaded`, the library's memory is first put
// back as it was when loaded, so that the call starts as a run of its own.
void call_here(Entry entry, const fs::path& folder, const LoadedState* as_loaded) {
  if (as_loaded != nullptr) as_loaded->restore();
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  entry();
}

// The stage metrics of a case over every step: from its one run printing
// every step (IN_FM.txt holds that sheet until the run has ended), or from
// its run as its sheet asks and a second one printing every step.
// `every_step` gets those metrics, for the case's summary.
std::string run_stage_case(const Calculator& calc, Entry entry, const LoadedState* as_loaded, const StudySpec& spec,
                           const std::string& sheet, const StagePlan& plan, const fs::path& folder, bool own_folder,
                           CaseResult& result, std::optional<StageMetrics>& every_step) {
  std::string why;
  std::optional<StageMetrics> metrics;
  // The loop linearised from the sheet: its margins join the metrics, and
  // when it is unstable a growing error counts as divergence sooner.
  const StagePlan planned = plan.loop ? plan : with_loop(plan, calc, sheet);
  const LoopAnalysis& loop = *planned.loop;
  StageColumns columns = plan.columns;
  columns.loop_unstable = planned.has_loop && loop.why_not.empty() && !loop.stable;
  if (!plan.every_step_only) {
    // Two runs, each starting from the library as loaded, as a run of its
    // own would: here, the library's memory put back before each, or where
    // that memory is not known, each in a child of its own.
    const EntryRun run = [&](const fs::path& exchange, const std::string& what) {
      if (as_loaded == nullptr) return call_entry(entry, exchange, what, spec.timeout);
      call_here(entry, exchange, as_loaded);
      return std::string();
    };
    if (const std::string failed = run(folder, "the case's run"); !failed.empty()) return failed;
    metrics = every_step_metrics(calc, run, sheet, folder, columns, why);
  } else {
    call_here(entry, folder, as_loaded);
    if (own_folder) {
      if (const std::string problem = write_own_file(folder / sheet_name, sheet); !problem.empty()) return problem;
    }
    metrics = stream_stage_metrics(folder / stage_table(calc)->file, columns);
    const std::size_t states = static_cast<std::size_t>(std::max(plan.steps, 0LL)) + 1;
    if (metrics && metrics->states != states) {
      why = "the table holds " + std::to_string(metrics->states) + " of the " + std::to_string(states) + " states";
      metrics.reset();
    } else if (!metrics) {
      why = "the table cannot be read";
    }
  }
  if (!metrics) return why;
  // A history whose every state has an error or current that is not finite
  // has no metrics: it fails as a run's table would.
  if (std::string none = no_finite_value(stage_table(calc)->file, {metrics->states, metrics->non_finite});
      !none.empty()) {
    return none;
  }
  result.metrics = {stage_row(*metrics, loop)};
  if (metrics->diverged) result.status = diverged_status;
  every_step = metrics;
  return {};
}

// Removes a calculator's tables from a folder; whether none is left.
bool remove_tables(const Calculator& calc, const fs::path& folder) {
  bool gone = true;
  for (const TableSpec& table : calc.layout->tables) {
    std::error_code ec;
    fs::remove(folder / table.file, ec);
    gone = gone && !ec;
  }
  return gone;
}

}  // namespace

std::optional<Varied> parse_vary(std::string_view text, std::string& why) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) {
    why = "--vary takes NAME=FROM:TO:COUNT or NAME=V1,V2,..., not \"" + std::string(text) + "\"";
    return std::nullopt;
  }
  Varied v{std::string(text.substr(0, equals)), {}};
  const std::string_view rest = text.substr(equals + 1);
  auto split = [](std::string_view s, char by) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    while (true) {
      const std::size_t at = s.find(by, from);
      parts.push_back(s.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
      if (at == std::string_view::npos) return parts;
      from = at + 1;
    }
  };
  if (rest.find(':') != std::string_view::npos) {
    const auto parts = split(rest, ':');
    auto part = [&](std::size_t k) { return parts.size() == 3 ? whole_real(parts[k]) : std::nullopt; };
    const std::optional<double> first = part(0), last = part(1), number = part(2);
    const double from = first.value_or(0.0), to = last.value_or(0.0), count = number.value_or(0.0);
    if (!(first && last && number) || !std::isfinite(from) || !std::isfinite(to) || count < 1 || count > 1e6 ||
        count != std::floor(count) || (count == 1 && from != to)) {
      why = "--vary " + v.name + ": FROM:TO:COUNT takes two finite numbers and a whole count of 1 to 10^6 (1 only when FROM = TO), not \"" +
            std::string(rest) + "\"";
      return std::nullopt;
    }
    // The values numpy.linspace gives, to the last bit, so that a study
    // from the command and one from Python vary the same numbers: i times
    // the step (or i / (COUNT - 1) times the range when the step is too
    // small for a double), then FROM added; the last value is TO itself.
    const auto c = static_cast<std::size_t>(count);
    // numpy.linspace's values; ends so far apart that their difference
    // overflows (1e308 to -1e308) are weighted each on its own instead,
    // which stays finite.
    const double range = to - from, steps = static_cast<double>(c - 1);
    const double step = c > 1 ? range / steps : 0.0;
    for (std::size_t i = 0; i < c; ++i) {
      const double k = static_cast<double>(i);
      const double offset = c == 1 ? k * range : step == 0.0 ? k / steps * range : k * step;
      const double t = c > 1 ? k / steps : 0.0;
      v.values.push_back(i + 1 == c && c > 1       ? to
                         : std::isfinite(range) ? offset + from
                                                : from * (1.0 - t) + to * t);
    }
    return v;
  }
  for (const std::string_view part : split(rest, ',')) {
    const std::optional<double> value = whole_real(part);
    if (!value) {
      why = "--vary " + v.name + ": \"" + std::string(part) + "\" is not a number";
      return std::nullopt;
    }
    v.values.push_back(*value);
  }
  return v;
}

std::optional<std::vector<Varied>> parse_linked_vary(std::string_view text, std::string& why) {
  std::vector<Varied> group;
  std::size_t from = 0;
  while (true) {
    const std::size_t end = std::min(text.find(';', from), text.size());
    std::optional<Varied> v = parse_vary(text.substr(from, end - from), why);
    if (!v) return std::nullopt;
    v->with_previous = !group.empty();
    if (!group.empty() && v->values.size() != group.front().values.size()) {
      why = "--vary " + std::string(text) + ": cells varied together take as many values each (" +
            group.front().name + " has " + std::to_string(group.front().values.size()) + ", " + v->name + " " +
            std::to_string(v->values.size()) + ")";
      return std::nullopt;
    }
    group.push_back(std::move(*v));
    if (end == text.size()) return group;
    from = end + 1;
  }
}

std::string study_problem(const Calculator& calc, const StudySpec& spec) {
  std::string why;
  if (!apply_settings(calc, spec.sheet, spec.set, why)) return why;
  for (const double t : spec.thresholds) {
    if (!(std::isfinite(t) && t > 0)) return "a threshold is a finite number above 0, not " + number_text(t);
  }
  for (const double c : {spec.cut.cut_x, spec.cut.cut_y}) {
    if (!std::isfinite(c)) return "the cut's x and y are finite numbers, not " + number_text(c);
  }
  if (spec.band && !(std::isfinite(*spec.band) && *spec.band > 0)) {
    return "the settling band is a finite number of mm above 0, not " + number_text(*spec.band);
  }
  if (!(std::isfinite(spec.timeout) && spec.timeout >= 0)) {
    return "the timeout is a finite number of seconds (0 for none), not " + number_text(spec.timeout);
  }
  std::size_t total = 1;
  std::vector<NamedCell> varied;
  for (std::size_t k = 0; k < spec.vary.size(); ++k) {
    const Varied& v = spec.vary[k];
    const std::optional<NamedCell> cell = named_cell(calc, v.name);
    if (!cell) {
      set_named_cell(calc, "", v.name, "0", why);
      return why;
    }
    for (const NamedCell& other : varied) {
      if (other.column == cell->column && other.row == cell->row) {
        return other.name == v.name ? v.name + " is varied twice; give all its values in one --vary"
                                    : v.name + " and " + other.name + " are the same cell; vary it once";
      }
    }
    varied.push_back(*cell);
    if (cell->integer) {
      for (const double x : v.values) {
        if (!cell_text(*cell, number_text(x), why)) return why;
      }
    }
    if (v.with_previous) {
      // One dimension of the product with the parameter before it.
      if (k == 0 || v.values.size() != spec.vary[k - 1].values.size()) {
        return v.name + " is varied together with the parameter before it but has another number of values";
      }
      continue;
    }
    if (v.values.empty() || total > 10'000'000 / v.values.size()) {
      return "a study of more than 10^7 cases (or of none) is refused";
    }
    total *= v.values.size();
  }
  return {};
}

std::optional<std::vector<StudyCase>> study_cases(const Calculator& calc, const StudySpec& spec, std::string& why) {
  why = study_problem(calc, spec);
  if (!why.empty()) return std::nullopt;
  std::size_t total = 1;
  for (const Varied& v : spec.vary) {
    if (!v.with_previous) total *= v.values.size();
  }
  const std::size_t digits = std::to_string(total > 0 ? total - 1 : 0).size();
  std::vector<StudyCase> cases;
  cases.reserve(total);
  for (std::size_t k = 0; k < total; ++k) {
    StudyCase c;
    std::string index = std::to_string(k);
    c.name = std::string(digits - index.size(), '0') + index;
    std::size_t rest = k, stride = total, at = 0;
    for (const Varied& v : spec.vary) {
      if (!v.with_previous) {
        stride /= v.values.size();
        at = rest / stride;
        rest %= stride;
      }
      c.values.push_back(v.values[at]);
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string case_sheet(const Calculator& calc, const std::string& base, const StudySpec& spec, const StudyCase& c) {
  std::string sheet = base, why;
  for (std::size_t k = 0; k < spec.vary.size() && k < c.values.size(); ++k) {
    // Every value was looked at by study_problem; one that cannot go into
    // its cell here would mean a case of another study.
    std::optional<std::string> set = set_named_cell(calc, sheet, spec.vary[k].name, number_text(c.values[k]), why);
    if (!set) throw TableError(why);
    sheet = std::move(*set);
  }
  return sheet;
}

std::string base_sheet(const Calculator& calc, const StudySpec& spec) {
  std::string why;
  return apply_settings(calc, spec.sheet, spec.set, why).value_or(spec.sheet);
}

std::vector<double> thresholds_of(const StudySpec& spec) {
  return spec.thresholds.empty() ? std::vector<double>{default_threshold} : spec.thresholds;
}

bool has_threshold_column(const Calculator& calc) { return metric_kind(calc) == MetricKind::image; }

std::vector<NamedCut> cuts_of(const StudySpec& spec) {
  return spec.cuts.empty() ? std::vector<NamedCut>{{"", spec.cut}} : spec.cuts;
}

namespace {

// A metric column of a study and the column of the calculator's table it is
// measured in, whose unit it carries (-1: a pure number, or the unit given).
struct MetricColumn {
  const char* name;
  int column;
  const char* unit = nullptr;  // when column is -1: the unit, if the metric has one
  bool of_the_sheet = false;   // worked out from the sheet alone (the loop), not from the run
};
// The image's feature column: why a row's width is nan, in words.
constexpr int feature_column = -2;

std::vector<MetricColumn> metric_columns(const Calculator& calc) {
  const TableSpec* t = metric_table(calc);
  if (t == nullptr) return {};
  switch (t->metrics) {
    case MetricKind::image:
      return {{"peak", -1},      {"contrast", -1},  {"cd", 0},         {"edge_left", 0},
              {"edge_right", 0}, {"nils", -1},      {"mask_width", 0}, {"feature", feature_column}};
    case MetricKind::stage:
      return {{"final_error", t->error_column},   {"settling_time", 0},
              {"max_excursion", t->error_column}, {"overshoot", t->error_column},
              {"peak_current", t->current_column}, {"rms_current", t->current_column},
              {"overshoot_percent", -1, "%"},     {"peak_time", 0},
              {"steady_error", t->error_column},  {"residual_oscillation", t->error_column},
              {"gain_margin", -1, nullptr, true},      {"gain_margin_db", -1, "dB", true},
              {"position_gain_margin", -1, nullptr, true}, {"phase_margin", -1, "deg", true},
              {"crossover_hz", -1, "Hz", true},         {"bandwidth_hz", -1, "Hz", true},
              {"sensitivity_peak", -1, nullptr, true},  {"dominant_hz", -1, "Hz", true},
              {"dominant_damping", -1, nullptr, true}};
    case MetricKind::plate:
      // max_stress is the radial stress, as the table holds it; the hoop
      // moment and stress come from its slope and curvature.
      return {{"max_deflection", t->plate.deflection}, {"max_deflection_r", t->plate.radius},
              {"max_stress", t->plate.stress},         {"max_pitch_error", t->plate.pitch_error},
              {"max_hoop_moment", t->plate.moment},    {"max_hoop_stress", t->plate.stress}};
    default: return {};
  }
}

}  // namespace

std::vector<std::string> metric_names(const Calculator& calc) {
  std::vector<std::string> names;
  for (const MetricColumn& m : metric_columns(calc)) names.emplace_back(m.name);
  return names;
}

std::vector<bool> metrics_of_the_run(const Calculator& calc) {
  std::vector<bool> of_run;
  for (const MetricColumn& m : metric_columns(calc)) of_run.push_back(!m.of_the_sheet);
  return of_run;
}

std::vector<std::string> metric_units(const Calculator& calc, std::string_view sheet) {
  const TableSpec* t = metric_table(calc);
  const std::string length = length_unit(calc, sheet);
  const UnitWords words = unit_words(calc, sheet_of(calc, sheet));
  std::vector<std::string> units;
  for (const MetricColumn& m : metric_columns(calc)) {
    const std::size_t column = static_cast<std::size_t>(m.column);
    units.push_back(m.column == feature_column ? std::string("text")
                    : m.column >= 0            ? unit_label(*t, t->columns[column].unit, length, words)
                    : m.unit                   ? std::string(m.unit)
                                               : std::string("1"));
  }
  return units;
}

std::optional<CaseResult> reusable_case(const Calculator& calc, const StudySpec& spec, const std::string& sheet,
                                        const std::string& folder) {
  std::string found, record;
  if (!read_bounded((fs::path(folder) / sheet_name).string(), sheet_byte_limit, found).empty() || found != sheet) {
    return std::nullopt;
  }
  if (!read_bounded((fs::path(folder) / result_record).string(), table_byte_limit, record).empty()) return std::nullopt;
  std::optional<CaseResult> r = parse_record(record, calc, spec);
  if (!r || !r->completed()) return std::nullopt;
  r->reused = true;
  return r;
}

namespace {

// Makes a case's folder, or takes the one there for a new case. A folder
// made now holds nothing; one from an earlier run may hold anything (a link,
// a hard link, a pipe where a file goes; what a killed run left): its files
// are replaced, never written through, and the last case's tables go first,
// so that a calculator that writes none is never read another case's.
// Nothing when there is no folder of ours there; else whether it is new.
std::optional<bool> open_case_folder(const Calculator& calc, const fs::path& folder, bool own_folder) {
  if (mkdir(folder.c_str(), 0777) == 0) return true;
  struct stat st {};
  if (errno != EEXIST || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  remove_tables(calc, folder);
  if (own_folder) {
    std::error_code ec;
    fs::remove(folder / result_record, ec);
    remove_leftovers(folder);
  }
  return false;
}

// One case, run in this process (a child of the study's, forked for the case
// or warm for many): see run_case. With `own_folder` the folder is the
// case's own and keeps its sheet and record (and its tables and summary when
// the study keeps them); without, it is a scratch folder of the study's, and
// only the record, returned, outlives the case. With `as_loaded`, every call
// of the entry here starts from the library's memory as loaded. `ready`
// says whether the scratch folder is known to be there and to hold no
// tables (a warm worker's, after a case of its own that completed): the
// case then goes straight to its sheet, and makes the folder again only if
// the sheet finds it gone. On return, whether the case left it so.
std::string case_here(const Calculator& calc, Entry entry, const LoadedState* as_loaded, const StudySpec& spec,
                      const std::string& options, const std::string& sheet, const StagePlan& plan,
                      const fs::path& folder, bool own_folder, bool& ready) {
  CaseResult result;
  std::optional<StageMetrics> every_step;
  auto fail = [&](const std::string& why) { return record_text(options, failed_case(calc, spec, why)); };
  const bool stage = metric_kind(calc) == MetricKind::stage;
  const std::string first_sheet = plan.every_step_only ? every_step_text(calc, sheet) : sheet;
  const bool was_ready = std::exchange(ready, false) && !own_folder;
  bool fresh = false;
  std::string unwritten;
  for (int attempt = was_ready ? 0 : 1; attempt < 2; ++attempt) {
    if (attempt == 1) {
      const std::optional<bool> made = open_case_folder(calc, folder, own_folder);
      if (!made) return fail("cannot create the case folder " + folder.string());
      fresh = *made;
    }
    // The study's own scratch holds only what its cases wrote there.
    unwritten = (fresh || !own_folder ? write_own_file : replace_file)(folder / sheet_name, first_sheet);
    if (unwritten.empty()) break;
  }
  if (!unwritten.empty()) return fail("cannot write the case's sheet: " + unwritten);
  const auto write = fresh || !own_folder ? write_own_file : replace_file;
  try {
    if (stage) {
      if (const std::string why =
              run_stage_case(calc, entry, as_loaded, spec, sheet, plan, folder, own_folder, result, every_step);
          !why.empty()) {
        return fail(why);
      }
    } else {
      call_here(entry, folder, as_loaded);
      const TableSpec* table = metric_table(calc);
      std::string bytes;
      if (const std::string why = read_bounded((folder / table->file).string(), table_byte_limit, bytes); !why.empty()) {
        return fail("the calculator wrote no readable " + std::string(table->file) + ": " + why);
      }
      result.metrics = table_metrics(calc, spec, bytes, sheet);
    }
  } catch (const TableError& e) {
    return fail(e.what());
  }
  if (spec.keep_tables) {
    SheetDescription description;
    description.context.cut = cuts_of(spec).front().cut;
    describe_sheet(calc, sheet, {}, description);
    SummaryContext& context = description.context;
    StageColumns columns = plan.columns;
    columns.loop_unstable = context.loop && context.loop->why_not.empty() && !context.loop->stable;
    if (stage) {
      // The summary tells the metrics over every step, as the command's run does.
      context.stage = &columns;
      context.every_step = every_step;
    }
    std::ostringstream summary;
    for (const TableSpec& t : calc.layout->tables) {
      summarize_table(folder, t.file.data(), identify_table(slurp(folder / t.file)), context, summary);
    }
    if (const std::string problem = write(folder / "summary.txt", summary.str()); !problem.empty()) {
      return fail("cannot write the case's summary: " + problem);
    }
  } else {
    ready = remove_tables(calc, folder) && !own_folder;
  }
  const std::string record = record_text(options, result);
  if (own_folder) {
    if (const std::string problem = write(folder / result_record, record); !problem.empty()) {
      return fail("cannot record the case's results: " + problem);
    }
  }
  return record;
}

// A text's 64-bit FNV-1a hash, as 16 hex digits: a case's record names the
// sheet it was computed from.
std::string text_hash(std::string_view text) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(h));
  return digits;
}

// The study's record of its completed cases, one file in the cases folder
// (a case needs no folder of its own): each case's record as a case folder
// would hold it, after a line "case NAME SHEET-HASH", appended in one write
// as the case ends. A rerun reads it back once; an entry cut short by a
// killed host is skipped, and a later entry of a case replaces an earlier.
class RecordFile {
 public:
  RecordFile() = default;
  RecordFile(const fs::path& cases_folder, std::size_t rows) {
    const fs::path path = cases_folder / case_records;
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    auto take = [&] {
      // "case NAME HASH", the options, the status, the rows, "end".
      if (lines.size() != rows + 4 || lines.back() != record_end) return;
      const std::string& head = lines[0];
      const std::size_t space = head.rfind(' ');
      if (space == std::string::npos || space < 5) return;
      std::string record;
      for (std::size_t k = 1; k < lines.size(); ++k) record += lines[k] + "\n";
      found_[head.substr(5, space - 5)] = {head.substr(space + 1), std::move(record)};
    };
    // Only completed cases are recorded (status "ok" or "diverged"), so a
    // line starting "case " always begins an entry; one before it that has
    // not ended was cut short.
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("case ", 0) == 0) lines.clear();
      if (lines.empty() && line.rfind("case ", 0) != 0) continue;
      lines.push_back(line);
      if (lines.size() == rows + 4) {
        take();
        lines.clear();
      }
    }
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd_ < 0) why_ = "cannot open the study's record " + path.string() + ": " + std::strerror(errno);
  }
  ~RecordFile() {
    if (fd_ >= 0) close(fd_);
  }
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // The record of a case computed from `sheet`; "" when there is none.
  std::string find(const std::string& name, const std::string& sheet) const {
    const auto it = found_.find(name);
    return it != found_.end() && it->second.first == text_hash(sheet) ? it->second.second : std::string();
  }
  // Appends a case's record; why it could not be, or "".
  std::string add(const std::string& name, const std::string& sheet, const std::string& record) {
    if (fd_ < 0) return why_;
    const std::string entry = "case " + name + " " + text_hash(sheet) + "\n" + record;
    // One write, so that entries of several writers (batches of a cluster
    // sharing a folder) never interleave.
    const ssize_t n = write(fd_, entry.data(), entry.size());
    if (n != static_cast<ssize_t>(entry.size())) {
      return "cannot append to the study's record: " + std::string(n < 0 ? std::strerror(errno) : "short write");
    }
    return {};
  }

 private:
  std::unordered_map<std::string, std::pair<std::string, std::string>> found_;  // name: hash, record
  int fd_ = -1;
  std::string why_;
};

// Where cases that keep no folder run: memory-backed storage when the
// system has it (/dev/shm), else a hidden folder inside the cases folder;
// removed with everything in it when the study's cases are done. Its name
// holds the process id of the study, so that one left by a study that was
// killed is removed by the next study that looks there.
class ScratchFolder {
 public:
  // No folder when `fallback` is empty (no case runs in scratch).
  explicit ScratchFolder(const fs::path& fallback) {
    if (fallback.empty()) return;
    for (const fs::path& base : {fs::path("/dev/shm"), fallback}) {
      if (base.empty() || access(base.c_str(), W_OK | X_OK) != 0) continue;
      remove_abandoned(base);
      std::string pattern = (base / (std::string(prefix) + std::to_string(getpid()) + "-XXXXXX")).string();
      if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        return;
      }
    }
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  static constexpr const char* prefix = ".meridox-cases-";

  // This user's scratch folders in `base` whose study has ended.
  static void remove_abandoned(const fs::path& base) {
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const std::optional<double> pid = whole_real(name.substr(std::strlen(prefix), name.rfind('-') - std::strlen(prefix)));
      struct stat st {};
      if (!pid || *pid < 1 || lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        continue;
      }
      if (kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH) {
        std::error_code removed;
        fs::remove_all(it->path(), removed);
      }
    }
  }

  fs::path path_;
};

// Removes what a study writes in a case folder and the folder when that
// leaves it empty: a case that failed before and completes now keeps none.
void remove_case_folder(const Calculator& calc, const fs::path& folder) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(folder, ec);
  if (!fs::is_directory(status)) return;
  for (const char* name : {sheet_name, result_record, "summary.txt"}) fs::remove(folder / name, ec);
  remove_tables(calc, folder);
  remove_leftovers(folder);
  fs::remove(folder, ec);  // only when empty
}

// Cases run several at once, started and waited for from this one thread;
// results kept in case order. Each job has a warm worker, forked from this
// process before it ever called the library, that runs its cases one after
// another. A calculator that recomputes everything at every call runs them
// as they come; any other has the memory its library writes put back as it
// was when loaded before each case, so that the case starts from the
// library as loaded, as a run of its own would. Only where that memory
// cannot be found does the worker fork a child for each case (this process,
// whose memory grows with the study, never forks once a case). Without kept
// tables a case runs in scratch and is recorded in the study's record
// file; a case that fails keeps a folder with its sheet, to be rerun alone.
class CaseRunner {
 public:
  // `cases_folder`: where the study's record lies; "" for none (each case
  // then keeps its folder, its record in it).
  CaseRunner(const Calculator& calc, Entry entry, const StudySpec& spec, int jobs, const std::string& cases_folder)
      : calc_(calc), entry_(entry), spec_(spec), base_(base_sheet(calc, spec)), options_(case_options(calc, spec)),
        rows_(metric_rows_per_case(calc, spec)), columns_(metric_names(calc).size()), jobs_(std::max(1, jobs)),
        folders_(spec.keep_tables || cases_folder.empty()), warm_(calc.layout->recomputes_every_call),
        scratch_(folders_ ? fs::path() : fs::path(cases_folder)) {
    // Where the library's memory cannot be found, each case runs in a child
    // of its own instead: slower, and as sound.
    if (std::string why; !warm_) as_loaded_ = LoadedState::of(entry, why);
    if (!folders_) {
      records_.emplace(fs::path(cases_folder), rows_);
      std::error_code ec;
      for (fs::directory_iterator it(cases_folder, ec), end; !ec && it != end; it.increment(ec)) {
        earlier_entries_.insert(it->path().string());
      }
    }
    // A worker that forks a child for each case ends it at the case's
    // timeout itself, in the same words; its own deadline is a last resort.
    const double deadline = warm_ || as_loaded_ || spec.timeout <= 0.0 ? spec.timeout : spec.timeout + 30.0;
    for (int k = 0; k < jobs_; ++k) {
      workers_.push_back(std::make_unique<WarmWorker>(
          [this](const std::string& request) { return serve(request); }, ChildOptions{deadline, false}, case_queue));
      worker_cases_.emplace_back();
    }
    // A stage case's plan reads its step count, its step and the count of
    // its settling band: worked out once, unless the study varies one of them.
    if (metric_kind(calc) != MetricKind::stage) return;
    plan_ = stage_plan(calc, spec, base_);
    const TableSpec* table = stage_table(calc);
    for (const Varied& v : spec.vary) {
      const std::optional<NamedCell> cell = named_cell(calc, v.name);
      // The step count and step give the run's end (its closing window).
      for (const std::string_view read : {table->steps_cell, table->step_time_cell, table->count_cell}) {
        const std::optional<NamedCell> used = named_cell(calc, read);
        plan_varies_ = plan_varies_ || (cell && used && cell->column == used->column && cell->row == used->row);
      }
    }
  }

  // Runs the case (unless its results are recorded); `ended` is called with
  // the index and result of each case that ends meanwhile.
  void add(std::size_t index, const StudyCase& c, const std::string& folder,
           const std::function<void(std::size_t, CaseResult)>& ended) {
    std::string sheet;
    try {
      sheet = case_sheet(calc_, base_, spec_, c);
    } catch (const TableError& e) {
      ended(index, failure(e.what()));
      return;
    }
    if (std::optional<CaseResult> reused = recorded(sheet, c.name, folder)) {
      ended(index, std::move(*reused));
      return;
    }
    if (!folders_ && scratch_.path().empty()) {
      ended(index, failure("no scratch folder for the case in /dev/shm or " + folder));
      return;
    }
    const std::string what = "case " + c.name;
    Running running{sheet, folder, folders_ ? folder : std::string(), c.name};
    std::string failed;
    while (true) {
      while (busy() >= static_cast<std::size_t>(jobs_) * case_queue) collect(ended);
      const std::size_t k = next_worker();
      // Each worker keeps one scratch folder for all its cases.
      if (!folders_) running.run_in = (scratch_.path() / ("worker-" + std::to_string(k))).string();
      failed = workers_[k]->send(what + '\n' + running.run_in + '\n' + sheet, what);
      if (failed.empty()) worker_cases_[k].push_back(index);
      // Out of descriptors or processes: no more jobs than the system
      // allows, and the case waits for one to end rather than fail.
      if (failed.empty() || !workers_[k]->out_of_room() || busy() == 0) break;
      jobs_ = static_cast<int>(std::count_if(workers_.begin(), workers_.end(), [](const auto& w) {
        return w->state() != WarmWorker::State::stopped;
      }));
      collect(ended);
    }
    if (!failed.empty()) {
      finished(index, running, {false, failed}, ended);
      return;
    }
    running_.emplace(index, std::move(running));
  }

  // Waits for every case still running.
  void finish(const std::function<void(std::size_t, CaseResult)>& ended) {
    while (busy() > 0) collect(ended);
  }

 private:
  CaseResult failure(const std::string& why) const { return failed_case(calc_, spec_, why); }

  struct Running {
    std::string sheet;
    std::string folder;  // the case's folder: kept when it fails
    std::string run_in;  // where it runs: its folder, or scratch
    std::string name;
  };

  std::size_t busy() const { return running_.size(); }

  // The worker for the next case: of those with room, the one with the
  // fewest cases, and of those one whose child lives.
  std::size_t next_worker() const {
    auto rank = [&](std::size_t w) {
      return std::pair{worker_cases_[w].size(), workers_[w]->state() == WarmWorker::State::stopped};
    };
    std::size_t best = workers_.size();
    for (std::size_t k = 0; k < workers_.size(); ++k) {
      if (workers_[k]->has_room() && (best == workers_.size() || rank(k) < rank(best))) best = k;
    }
    return best;
  }

  // In a warm worker: "WHAT\nFOLDER\nSHEET" in, the case's record out.
  ChildWork serve(const std::string& request) {
    const std::size_t what_end = request.find('\n'), folder_end = request.find('\n', what_end + 1);
    const std::string what = request.substr(0, what_end);
    const std::string folder = request.substr(what_end + 1, folder_end - what_end - 1);
    const std::string sheet = request.substr(folder_end + 1);
    StagePlan plan = plan_varies_ ? stage_plan(calc_, spec_, sheet) : plan_;
    if (warm_ || as_loaded_) {
      const LoadedState* as_loaded = as_loaded_ ? &*as_loaded_ : nullptr;
      // This worker's scratch folder, once its cases have made it.
      bool ready = !ready_scratch_.empty() && ready_scratch_ == folder;
      std::string record = case_here(calc_, entry_, as_loaded, spec_, options_, sheet, plan, folder, folders_, ready);
      ready_scratch_ = ready ? folder : std::string();
      return {true, std::move(record)};
    }
    if (metric_kind(calc_) == MetricKind::stage) plan = with_loop(std::move(plan), calc_, sheet);
    ChildGroup child({spec_.timeout, false});
    if (std::string failed = child.start(
            0, [&] {
              bool ready = false;
              return ChildWork{true,
                               case_here(calc_, entry_, nullptr, spec_, options_, sheet, plan, folder, folders_, ready)};
            },
            what);
        !failed.empty()) {
      return {false, failed};
    }
    ChildOutcome outcome = child.wait_any().front().second;
    return {outcome.ok, std::move(outcome.text)};
  }

  // The results of an earlier run of the case from the same sheet and options.
  std::optional<CaseResult> recorded(const std::string& sheet, const std::string& name, const std::string& folder) {
    if (folders_) {
      std::error_code ec;
      return fs::exists(folder, ec) ? reusable_case(calc_, spec_, sheet, folder) : std::nullopt;
    }
    const std::string record = records_->find(name, sheet);
    if (record.empty()) return std::nullopt;
    std::optional<CaseResult> r = parse_record(record, options_, rows_, columns_);
    if (!r || !r->completed()) return std::nullopt;
    r->reused = true;
    return r;
  }

  // A case that failed keeps a folder holding its own sheet (not the
  // rewrite of a run of every step), so that it can be rerun alone, and
  // loses what a run cut short left there; one that completed keeps no
  // folder unless tables are kept, and its record joins the study's.
  void finished(std::size_t index, const Running& r, const ChildOutcome& outcome,
                const std::function<void(std::size_t, CaseResult)>& ended) {
    std::optional<CaseResult> parsed;
    if (outcome.ok) parsed = parse_record(outcome.text, options_, rows_, columns_);
    CaseResult result = parsed                ? std::move(*parsed)
                        : outcome.ok          ? failure("the case's results came back incomplete")
                                              : failure(outcome.text);
    std::error_code ec;
    if (!folders_ && result.completed()) {
      if (const std::string problem = records_->add(r.name, r.sheet, outcome.text); !problem.empty()) {
        result = failure(problem);
      } else if (earlier_entries_.erase(r.folder) > 0) {
        remove_case_folder(calc_, r.folder);
      }
    }
    // A case the host's interruption ended did not fail: it runs again on resume.
    if (!result.completed() && (interrupted() == 0 || folders_)) {
      const fs::path folder(r.folder);
      fs::create_directory(folder, ec);
      if (fs::is_directory(folder, ec) && !fs::is_symlink(folder, ec)) {
        replace_file(folder / sheet_name, r.sheet);
        if (!folders_) fs::remove(folder / result_record, ec);
        remove_leftovers(folder);
      }
    }
    ended(index, std::move(result));
  }

  void collect(const std::function<void(std::size_t, CaseResult)>& ended) {
    std::vector<std::pair<std::size_t, ChildOutcome>> done;
    std::vector<WarmWorker*> workers;
    for (const auto& w : workers_) workers.push_back(w.get());
    for (auto& [k, outcome] : wait_replies(workers)) {
      // A worker's outcomes come in the order its cases were sent.
      done.emplace_back(worker_cases_[k].front(), std::move(outcome));
      worker_cases_[k].pop_front();
    }
    for (auto& [index, outcome] : done) {
      const auto found = running_.find(index);
      if (found == running_.end()) continue;
      const Running r = std::move(found->second);
      running_.erase(found);
      finished(index, r, outcome, ended);
    }
  }

  const Calculator& calc_;
  Entry entry_;
  const StudySpec& spec_;
  std::string base_;
  std::string options_;  // what decides a case's metrics beside its sheet
  std::size_t rows_, columns_;  // of a case's metrics
  int jobs_;
  bool folders_;  // every case runs in its own folder and keeps it
  bool warm_;     // cases run in the workers themselves, not in a child each
  // The memory the library writes, as loaded: put back before each case of
  // a calculator that keeps state between calls.
  std::optional<LoadedState> as_loaded_;
  std::vector<std::unique_ptr<WarmWorker>> workers_;
  // Each worker takes this many cases at once: the next ones wait at its
  // child while the one before runs, so that the child goes on to them
  // without waiting for the study to read the reply and send another, and
  // the study can let several replies gather before it reads them.
  static constexpr std::size_t case_queue = 8;
  std::vector<std::deque<std::size_t>> worker_cases_;  // the cases sent to each worker, oldest first
  ScratchFolder scratch_;
  std::optional<RecordFile> records_;
  StagePlan plan_;
  bool plan_varies_ = false;
  std::map<std::size_t, Running> running_;  // by case index
  // In a warm worker's child: its scratch folder while it is known to be
  // there with no tables in it. Never set in the study's own process, so
  // that a new child looks at the folder before its first case.
  std::string ready_scratch_;
  // The paths in the cases folder when the study began: among them the
  // folders of cases that failed in an earlier run, which such a case
  // removes when it completes now. Any other case has none to look for.
  std::set<std::string> earlier_entries_;
};

}  // namespace

CaseResult run_case(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& c,
                    const std::string& folder) {
  CaseResult result;
  CaseRunner runner(calc, entry, spec, 1, "");
  auto keep = [&](std::size_t, CaseResult r) { result = std::move(r); };
  runner.add(0, c, folder, keep);
  runner.finish(keep);
  return result;
}

CaseResult run_case_here(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& c,
                         const std::string& folder, const LoadedState* as_loaded) {
  try {
    const std::string base = base_sheet(calc, spec);
    const std::string sheet = case_sheet(calc, base, spec, c);
    const StagePlan plan = metric_kind(calc) == MetricKind::stage ? stage_plan(calc, spec, sheet) : StagePlan{};
    bool ready = false;
    const std::string record =
        case_here(calc, entry, as_loaded, spec, case_options(calc, spec), sheet, plan, folder, false, ready);
    if (std::optional<CaseResult> r = parse_record(record, calc, spec)) return std::move(*r);
    return failed_case(calc, spec, "the case's results came back incomplete");
  } catch (const TableError& e) {
    return failed_case(calc, spec, e.what());
  }
}

CaseResult failed_case(const Calculator& calc, const StudySpec& spec, const std::string& why) {
  CaseResult r;
  r.status = why.empty() ? "failed" : why;
  r.metrics = failed_metrics(calc, spec);
  return r;
}

std::string adopt_run(const Calculator& calc, const std::string& from, const std::string& folder_text) {
  const fs::path folder(folder_text);
  std::error_code ec;
  for (const std::string& name : every_result_file()) {
    const fs::path stale = folder / name;
    if (!fs::is_symlink(stale, ec) && fs::is_regular_file(stale, ec)) fs::remove(stale, ec);
  }
  std::vector<std::string> names{sheet_name};
  for (const TableSpec& table : calc.layout->tables) names.emplace_back(table.file);
  std::string problem;
  for (const std::string& name : names) {
    const fs::path source = fs::path(from) / name;
    if (!fs::exists(fs::symlink_status(source, ec))) continue;
    fs::rename(source, folder / name, ec);
    if (ec && problem.empty()) problem = "cannot move " + name + " into " + folder.string() + ": " + ec.message();
  }
  return problem;
}

namespace {

constexpr const char* study_key_file = "study-key.txt";
// The file a running study holds its lock on, inside the study folder.
constexpr const char* study_lock_file = ".meridox-study.lock";

// Everything that decides the rows, in one text: a study folder made by a
// command or script with another key starts afresh. Options are recorded as
// the cases use them, so that the command and a script that mean the same
// study make the same key: the sheet with its settings made, the thresholds
// and cut of an image only, the band of a stage only.
std::string study_key(const Calculator& calc, const StudySpec& spec) {
  const std::string base = base_sheet(calc, spec);
  nlohmann::json key;
  key["calculator"] = calc.name;
  key["library"] = build_text(spec.library);
  key["sheet"] = nlohmann::json::binary(std::vector<std::uint8_t>(base.begin(), base.end()));
  for (const Varied& v : spec.vary) {
    std::vector<std::string> values;
    for (const double x : v.values) values.push_back(number_text(x));
    key["vary"].push_back({{"name", v.name}, {"values", values}});
    if (v.with_previous) key["vary"].back()["with_previous"] = true;
  }
  if (metric_kind(calc) == MetricKind::image) {
    for (const double t : thresholds_of(spec)) key["thresholds"].push_back(number_text(t));
    key["cut"] = {number_text(spec.cut.cut_x), number_text(spec.cut.cut_y), spec.cut.dark};
    if (spec.cut.along == CutAxis::y) key["cut"].push_back("along y");
    for (const NamedCut& c : spec.cuts) {
      key["cuts"].push_back({c.name, number_text(c.cut.cut_x), number_text(c.cut.cut_y), c.cut.along == CutAxis::y,
                             c.cut.dark});
    }
  }
  if (metric_kind(calc) == MetricKind::stage) {
    key["band"] = spec.band ? number_text(*spec.band) : "";
    key["hold"] = spec.hold ? number_text(*spec.hold) : "";
    key["window"] = spec.window ? number_text(*spec.window) : "";
  }
  key["timeout"] = number_text(spec.timeout);
  key["keep_tables"] = spec.keep_tables;
  return key.dump() + "\n";
}

// Whether a study key file's text is one a meridox study wrote (of any
// version, whatever its size): a JSON object naming a calculator and a sheet.
bool is_study_key(const std::string& text) {
  const nlohmann::json key = nlohmann::json::parse(text, nullptr, false);
  return key.is_object() && key.contains("calculator") && key.contains("sheet");
}

// Removes the files a study writes beside its cases; only files and links,
// never a folder or what a link points to.
void remove_study_files(const fs::path& folder) {
  std::error_code ec;
  for (const std::string& name : study_files()) {
    const fs::path file = folder / name;
    const fs::file_status status = fs::symlink_status(file, ec);
    if (fs::is_regular_file(status) || fs::is_symlink(status)) fs::remove(file, ec);
  }
}

}  // namespace

StudyLock::StudyLock(StudyLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

StudyLock& StudyLock::operator=(StudyLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

StudyLock::~StudyLock() { release(); }

void StudyLock::release() {
  if (fd_ >= 0) close(fd_);  // the lock goes with the descriptor
  fd_ = -1;
}

std::vector<std::string> study_files() {
  std::vector<std::string> names{"study.csv",  "study.json", "process-window.csv", "process-window.png",
                                 "el-dof.csv", "meef.csv"};
  for (const Calculator& c : calculators()) {
    for (const std::string& m : metric_names(c)) {
      if (std::find(names.begin(), names.end(), m + ".png") == names.end()) names.push_back(m + ".png");
    }
  }
  return names;
}

std::string prepare_study_folder(const Calculator& calc, const StudySpec& spec, const std::string& folder_text,
                                 std::string& note, StudyLock& lock, bool one_case) {
  if (folder_text.empty()) return "the study folder has no name";
  const fs::path folder(folder_text);
  const fs::path cases_folder = folder / "cases";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    return "cannot create the study folder " + folder.string() + ": " +
           (ec ? ec.message() : std::string("not a folder"));
  }
  // One study at a time in a folder: two would mix their cases and rows.
  const fs::path lock_path = folder / study_lock_file;
  StudyLock held;
  held.fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (held.fd_ < 0) return "cannot lock the study folder " + folder.string() + ": " + std::strerror(errno);
  while (flock(held.fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      return "another study is running in " + folder.string() + "; wait for it to end or choose another folder";
    }
    return "cannot lock the study folder " + folder.string() + ": " + std::strerror(errno);
  }
  const fs::file_status cases_status = fs::symlink_status(cases_folder, ec);
  if (fs::exists(cases_status) && !fs::is_directory(fs::status(cases_folder, ec))) {
    return cases_folder.string() + " is not a folder; choose another study folder";
  }
  const bool had_cases =
      fs::exists(cases_status) && fs::directory_iterator(cases_folder, ec) != fs::directory_iterator();
  // A cases/ folder is the study's to replace only when a meridox study
  // made it, which its study key says; the key is read and compared whole.
  const std::string key = study_key(calc, spec);
  std::string old_key;
  const bool read = read_file((cases_folder / study_key_file).string(), old_key);
  const bool same = read && old_key == key;
  const bool had_key = same || (read && is_study_key(old_key));
  if (had_cases && !had_key) {
    return cases_folder.string() + " holds files that no meridox study made (it has no " + study_key_file +
           "); it is left alone: choose another study folder";
  }
  if (had_cases && !same) {
    note = folder.string() + " holds a study made by another command, options or library; starting afresh";
    // What is inside, not the folder itself, which may be a link to a
    // place the user chose for the cases; the key goes last (replaced by
    // this study's), so that cases/ never holds cases without one.
    std::vector<fs::path> earlier;
    for (fs::directory_iterator it(cases_folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().filename() != study_key_file) earlier.push_back(it->path());
    }
    for (const fs::path& path : earlier) {
      std::error_code removed;
      fs::remove_all(path, removed);
      if (removed) return "cannot remove the earlier study's " + path.string() + ": " + removed.message();
    }
  }
  fs::create_directories(cases_folder, ec);
  if (ec || !fs::is_directory(cases_folder)) {
    return "cannot create " + cases_folder.string() + ": " + (ec ? ec.message() : std::string("not a folder"));
  }
  if (const std::string problem = replace_file(cases_folder / study_key_file, key); !problem.empty()) {
    return "cannot write in " + cases_folder.string() + ": " + problem;
  }
  // The study's earlier tables and pictures (its own, or another study's it
  // replaces) would pass for this run's; in a folder no study used, nothing
  // is removed.
  if (had_cases && !(one_case && same)) remove_study_files(folder);
  lock = std::move(held);
  return {};
}

std::vector<std::string> study_header(const Calculator& calc, const StudySpec& spec) {
  std::vector<std::string> header{"case"};
  for (const Varied& v : spec.vary) header.push_back(v.name);
  if (has_threshold_column(calc) && !spec.cuts.empty()) header.push_back("cut");
  if (has_threshold_column(calc)) header.push_back("threshold");
  for (const std::string& m : metric_names(calc)) header.push_back(m);
  header.push_back("status");
  return header;
}

std::size_t StudyCheck::count() const {
  std::size_t n = base.size() + together.size();
  for (const auto& parameter : values) {
    for (const ValueWarnings& v : parameter) n += v.added.size();
  }
  return n;
}

namespace {

bool same_warning(const Warning& a, const Warning& b) {
  return a.code == b.code && a.column == b.column && a.row == b.row && a.message == b.message;
}

std::string warning_text(const Warning& w) { return "warning [" + w.code + "]: " + w.message; }

// A projection study that varies sigma or NA can give the same image for
// several values: the source points move the spectrum by whole samples and
// the pupil passes whole samples. Nothing when every case's image differs
// (or the study is too large to look).
std::optional<Warning> repeated_images(const Calculator& calc, const StudySpec& spec, const std::string& base) {
  constexpr std::size_t largest_study_looked_at = 100000;
  if (calc.layout != &projection::layout) return std::nullopt;
  constexpr std::string_view na = cell_of(projection::layout, "NA").name;
  const auto optics = [](const std::string& name) {
    return name == cell_of(projection::layout, "sigma").name || name == na;
  };
  if (std::none_of(spec.vary.begin(), spec.vary.end(), [&](const Varied& v) { return optics(v.name); })) {
    return std::nullopt;
  }
  std::size_t total = 1;
  for (const Varied& v : spec.vary) {
    if (!v.with_previous) total *= std::max<std::size_t>(1, v.values.size());
    if (total > largest_study_looked_at) return std::nullopt;
  }
  std::string why;
  const std::optional<std::vector<StudyCase>> cases = study_cases(calc, spec, why);
  if (!cases || cases->size() < 2) return std::nullopt;
  // A case's sampling comes from these cells alone (the source's and the
  // pupil's, and the wavefront's): cases alike in them share it, worked out
  // from a sheet once.
  const auto sampling_input = [&](const std::string& name) {
    return optics(name) || name == cell_of(projection::layout, "grid_size").name ||
           name == cell_of(projection::layout, "pitch").name ||
           name == cell_of(projection::layout, "wavelength").name || name.rfind("aber", 0) == 0;
  };
  struct Sampling {
    std::string key;  // the source's shifts and the pupil's radius squared
    bool aberrated = false;
  };
  std::map<std::string, Sampling> samplings;  // by the values of the inputs varied
  // The wavefront's pupil coordinate scales with NA: with an aberration
  // every NA gives its own image.
  const auto aberrated = [&](const std::string& sheet) {
    const Sheet cells = sheet_of(calc, sheet);
    for (const CellSpec& cell : calc.layout->cells) {
      if (std::string_view(cell.name).substr(0, 4) == "aber" && cells.real(cell.column, cell.row) != 0) return true;
    }
    return false;
  };
  const bool wavefront_varied =
      std::any_of(spec.vary.begin(), spec.vary.end(), [](const Varied& v) { return v.name.rfind("aber", 0) == 0; });
  const bool base_aberrated = aberrated(base);
  std::set<std::string> images;
  for (const StudyCase& c : *cases) {
    std::string inputs;
    for (std::size_t k = 0; k < spec.vary.size(); ++k) {
      if (sampling_input(spec.vary[k].name)) inputs += number_text(c.values[k]) + " ";
    }
    const auto [found, fresh] = samplings.try_emplace(inputs);
    Sampling& sampling = found->second;
    if (fresh) {
      const std::string sheet = case_sheet(calc, base, spec, c);
      const SourceSampling ss = source_sampling(calc, sheet);
      sampling.key = std::to_string(ss.inner) + " " + std::to_string(ss.outer) + " " + std::to_string(ss.pupil_r2);
      sampling.aberrated = wavefront_varied ? aberrated(sheet) : base_aberrated;
    }
    std::string key = sampling.key;
    for (std::size_t k = 0; k < spec.vary.size(); ++k) {
      if (!optics(spec.vary[k].name) || (sampling.aberrated && spec.vary[k].name == na)) {
        key += " " + number_text(c.values[k]);
      }
    }
    images.insert(key);
  }
  if (images.size() == cases->size()) return std::nullopt;
  const std::string distinct = std::to_string(images.size()) + (images.size() == 1 ? " distinct image" : " distinct images");
  return Warning{"repeated-images", -1, -1,
                 "the study's " + std::to_string(cases->size()) + " cases give " + distinct +
                     ": the 13 source points move the spectrum by whole samples of 1/(N pitch) and the pupil passes "
                     "whole samples, so neighbouring values of sigma or NA act alike (meridox check prints the sigma "
                     "a sheet acts as)"};
}

}  // namespace

// From this many varied values on, a study's check uses a second thread.
constexpr std::size_t parallel_check_values = 32;

StudyCheck check_study(const Calculator& calc, const StudySpec& spec) {
  StudyCheck check;
  const std::string base = base_sheet(calc, spec);
  check.base = check_sheet(calc, base).warnings;
  // Each varied value's sheet against the base: what it adds and clears.
  std::vector<std::pair<std::size_t, std::size_t>> values;  // (parameter, value)
  std::vector<std::optional<NamedCell>> cells;
  for (std::size_t p = 0; p < spec.vary.size(); ++p) {
    check.values.emplace_back(spec.vary[p].values.size());
    cells.push_back(named_cell(calc, spec.vary[p].name));
    for (std::size_t k = 0; k < spec.vary[p].values.size(); ++k) values.emplace_back(p, k);
  }
  auto check_value = [&](std::size_t p, std::size_t k) {
    std::string why;
    const std::optional<NamedCell>& cell = cells[p];
    const std::optional<std::string> text =
        cell ? cell_text(*cell, number_text(spec.vary[p].values[k]), why) : std::nullopt;
    if (!text) return;  // refused by study_problem
    std::vector<Warning> warnings = check_sheet(calc, with_cell_text(base, cell->column, cell->row, *text)).warnings;
    ValueWarnings& found = check.values[p][k];
    for (Warning& w : warnings) {
      const bool known = std::any_of(check.base.begin(), check.base.end(),
                                     [&](const Warning& b) { return same_warning(b, w); });
      if (!known) found.added.push_back(std::move(w));
    }
    for (std::size_t b = 0; b < check.base.size(); ++b) {
      const bool kept = std::any_of(warnings.begin(), warnings.end(),
                                    [&](const Warning& w) { return same_warning(check.base[b], w); });
      if (!kept) found.cleared.push_back(b);
    }
  };
  // The values are checked on two threads when there are many: each check
  // stands alone and fills its own place, and no case starts before all
  // are done.
  std::atomic<std::size_t> next{0};
  std::exception_ptr failed;
  std::mutex failing;
  auto check_values = [&] {
    try {
      for (std::size_t j; (j = next++) < values.size();) check_value(values[j].first, values[j].second);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failing);
      if (!failed) failed = std::current_exception();
      next = values.size();
    }
  };
  {
    std::optional<std::jthread> helper;
    if (values.size() >= parallel_check_values && std::thread::hardware_concurrency() > 1) helper.emplace(check_values);
    check_values();
  }
  if (failed) std::rethrow_exception(failed);
  if (std::optional<Warning> repeated = repeated_images(calc, spec, base)) check.together.push_back(*repeated);
  return check;
}

std::vector<std::string> warning_lines(const StudySpec& spec, const StudyCheck& check) {
  std::vector<std::string> lines;
  for (const Warning& w : check.base) lines.push_back(warning_text(w));
  for (std::size_t p = 0; p < check.values.size() && p < spec.vary.size(); ++p) {
    for (std::size_t k = 0; k < check.values[p].size() && k < spec.vary[p].values.size(); ++k) {
      for (const Warning& w : check.values[p][k].added) {
        lines.push_back(warning_text(w) + " (cases with " + spec.vary[p].name + " = " +
                        number_text(spec.vary[p].values[k]) + ")");
      }
    }
  }
  for (const Warning& w : check.together) lines.push_back(warning_text(w));
  return lines;
}

namespace {

// The warnings of each case's sheet from a study's check: its values found
// by their bits (a case made of the study's own values).
class CaseWarnings {
 public:
  CaseWarnings(const StudySpec& spec, const StudyCheck& check) : check_(check) {
    for (const Varied& v : spec.vary) {
      auto& index = index_.emplace_back();
      for (std::size_t k = 0; k < v.values.size(); ++k) index.emplace(std::bit_cast<std::uint64_t>(v.values[k]), k);
    }
  }

  // "" for a case without warnings, else "; warning [code]: message" for each.
  std::string text(const StudyCase& c) const {
    std::vector<bool> cleared(check_.base.size(), false);
    std::vector<const Warning*> added;
    for (std::size_t p = 0; p < c.values.size() && p < index_.size() && p < check_.values.size(); ++p) {
      const auto found = index_[p].find(std::bit_cast<std::uint64_t>(c.values[p]));
      if (found == index_[p].end() || found->second >= check_.values[p].size()) continue;
      const ValueWarnings& v = check_.values[p][found->second];
      for (const std::size_t b : v.cleared) cleared[b] = true;
      for (const Warning& w : v.added) added.push_back(&w);
    }
    std::string out;
    for (std::size_t b = 0; b < check_.base.size(); ++b) {
      if (!cleared[b]) out += "; " + warning_text(check_.base[b]);
    }
    for (const Warning* w : added) out += "; " + warning_text(*w);
    return out;
  }

 private:
  const StudyCheck& check_;
  std::vector<std::unordered_map<std::uint64_t, std::size_t>> index_;
};

}  // namespace

std::vector<std::vector<std::string>> study_rows(const Calculator& calc, const StudySpec& spec,
                                                 const std::vector<StudyCase>& cases,
                                                 const std::vector<CaseResult>& results, const StudyCheck& check) {
  std::vector<std::vector<std::string>> rows;
  const std::vector<double> thresholds = thresholds_of(spec);
  const std::vector<NamedCut> cuts = cuts_of(spec);
  const std::vector<std::string> names = metric_names(calc);
  const CaseWarnings warnings(spec, check);
  // An integer cell's values as the whole numbers its cases ran with (100000, not 1e+05).
  std::vector<bool> integer;
  for (const Varied& v : spec.vary) {
    const std::optional<NamedCell> cell = named_cell(calc, v.name);
    integer.push_back(cell && cell->integer);
  }
  for (std::size_t k = 0; k < cases.size() && k < results.size(); ++k) {
    const std::string status = results[k].status + warnings.text(cases[k]);
    for (std::size_t t = 0; t < results[k].metrics.size(); ++t) {
      std::vector<std::string> row{cases[k].name};
      for (std::size_t p = 0; p < cases[k].values.size(); ++p) {
        const double v = cases[k].values[p];
        const bool whole = p < integer.size() && integer[p] && std::isfinite(v) && std::fabs(v) < 1e18;
        row.push_back(whole ? std::to_string(static_cast<long long>(v)) : number_text(v));
      }
      if (has_threshold_column(calc) && !spec.cuts.empty()) row.push_back(cuts[t / thresholds.size() % cuts.size()].name);
      if (has_threshold_column(calc)) row.push_back(number_text(thresholds[t % thresholds.size()]));
      for (std::size_t m = 0; m < results[k].metrics[t].size(); ++m) {
        const double value = results[k].metrics[t][m];
        row.push_back(m < names.size() && names[m] == "feature" ? feature_text(feature_of_code(value))
                                                                : number_text(value));
      }
      row.push_back(status);
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

std::string csv_text(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  auto line = [&](const std::vector<std::string>& fields) {
    for (std::size_t k = 0; k < fields.size(); ++k) {
      if (k) out += ',';
      const std::string& f = fields[k];
      if (f.find_first_of(",\"\r\n") == std::string::npos) {
        out += f;
        continue;
      }
      out += '"';
      for (const char ch : f) {
        if (ch == '"') out += '"';
        out += ch;
      }
      out += '"';
    }
    out += "\r\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return out;
}

std::vector<CaseResult> run_cases(const Calculator& calc, Entry entry, const StudySpec& spec,
                                  const std::vector<StudyCase>& cases, const std::string& cases_folder, int jobs,
                                  const std::function<void(std::size_t, std::size_t)>& progress) {
  // Ctrl-C or a kill between two cases, too, ends the study tidily.
  const InterruptNote note;
  std::vector<CaseResult> results(cases.size(), failed_case(calc, spec, "not run: the study was interrupted"));
  std::size_t done = 0, failed = 0;
  auto ended = [&](std::size_t k, CaseResult r) {
    results[k] = std::move(r);
    ++done;
    failed += results[k].completed() ? 0 : 1;
    if (progress) progress(done, failed);
  };
  CaseRunner runner(calc, entry, spec, jobs, cases_folder);
  for (std::size_t k = 0; k < cases.size() && interrupted() == 0; ++k) {
    runner.add(k, cases[k], (fs::path(cases_folder) / cases[k].name).string(), ended);
  }
  runner.finish(ended);
  return results;
}

}  // namespace meridox::host
