#include "host/study/study.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/sheet.hpp"
#include "host/core/calls.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/report.hpp"
#include "host/core/units.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

// A case folder's record of its results, written last, when they are complete.
constexpr const char* result_record = "results.txt";

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
  switch (metric_kind(calc)) {
    case MetricKind::image: {
      const MapTable map = parse_map(bytes);
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
      const ColumnTable t = parse_columns(bytes);
      if (t.columns.size() < 7) throw TableError("the plate table has fewer than 7 columns");
      const PlateMetrics m = plate_metrics(t.columns[0], t.columns[1], t.columns[5], t.columns[6]);
      rows.push_back({m.max_deflection, m.max_deflection_r, m.max_stress, m.max_pitch_error});
      break;
    }
    default: break;
  }
  return rows;
}

std::vector<double> stage_row(const StageMetrics& m) {
  return {m.final_error, m.settling_time, m.max_excursion, m.overshoot, m.peak_current, m.rms_current};
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
  std::string text = "meridox " MERIDOX_VERSION " " + std::string(calc.name) + " thresholds";
  for (const double t : thresholds_of(spec)) text += " " + number_text(t);
  for (const NamedCut& c : cuts_of(spec)) {
    text += " cut " + c.name + (c.name.empty() ? "" : " ") + number_text(c.cut.cut_x) + " " +
            number_text(c.cut.cut_y) + (c.cut.along == CutAxis::y ? " along y" : "");
    text += c.cut.dark ? " dark" : " bright";
  }
  text += " band " + (spec.band ? number_text(*spec.band) : std::string("-"));
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
};

StagePlan stage_plan(const Calculator& calc, const StudySpec& spec, const std::string& case_sheet) {
  const Sheet sheet = sheet_of(calc, case_sheet);
  StagePlan plan;
  const std::optional<NamedCell> steps = named_cell(calc, "step_count");
  plan.steps = sheet.integer(steps->column, steps->row);
  plan.columns = stage_columns_for(calc, sheet);
  if (spec.band) plan.columns.band = *spec.band;
  plan.every_step_only = !spec.keep_tables && plan.steps <= every_step_limit;
  return plan;
}

std::string every_step_text(const Calculator& calc, const std::string& sheet) {
  const std::optional<NamedCell> interval = named_cell(calc, "print_interval");
  return with_cell_text(sheet, interval->column, interval->row, "1");
}

// Calls the entry in this process (a case's own child) on the sheet in `folder`.
void call_here(Entry entry, const fs::path& folder) {
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  entry();
}

// The stage metrics of a case over every step: from its one run printing
// every step (IN_FM.txt holds that sheet until the run has ended), or from
// its run as its sheet asks and a second one printing every step.
std::string run_stage_case(const Calculator& calc, Entry entry, const StudySpec& spec, const std::string& sheet,
                           const StagePlan& plan, const fs::path& folder, CaseResult& result) {
  std::string why;
  std::optional<StageMetrics> metrics;
  if (!plan.every_step_only) {
    // Two runs, each in a child of its own, so that each starts from the
    // library as loaded, as a run of its own would.
    if (const std::string failed = call_entry(entry, folder, "the case's run", spec.timeout); !failed.empty()) {
      return failed;
    }
    metrics = every_step_metrics(calc, entry, sheet, folder, plan.columns, spec.timeout, why);
  } else {
    call_here(entry, folder);
    if (const std::string problem = write_own_file(folder / "IN_FM.txt", sheet); !problem.empty()) return problem;
    metrics = stream_stage_metrics(folder / "OUT_M.txt", plan.columns);
    const std::size_t states = static_cast<std::size_t>(std::max(plan.steps, 0LL)) + 1;
    if (metrics && metrics->states != states) {
      why = "the table holds " + std::to_string(metrics->states) + " of the " + std::to_string(states) + " states";
      metrics.reset();
    } else if (!metrics) {
      why = "the table cannot be read";
    }
  }
  if (!metrics) return why;
  result.metrics = {stage_row(*metrics)};
  return {};
}

void remove_tables(const Calculator& calc, const fs::path& folder) {
  std::error_code ec;
  for (const char* table : calc.tables) fs::remove(folder / table, ec);
}

}  // namespace

std::string number_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

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
    const auto c = static_cast<std::size_t>(count);
    for (std::size_t i = 0; i < c; ++i) {
      v.values.push_back(i + 1 == c ? to : from + (to - from) * static_cast<double>(i) / static_cast<double>(c - 1));
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

std::optional<std::vector<StudyCase>> study_cases(const Calculator& calc, const StudySpec& spec, std::string& why) {
  std::optional<std::string> base = apply_settings(calc, spec.sheet, spec.set, why);
  if (!base) return std::nullopt;
  std::size_t total = 1;
  for (std::size_t k = 0; k < spec.vary.size(); ++k) {
    const Varied& v = spec.vary[k];
    if (!named_cell(calc, v.name)) {
      set_named_cell(calc, "", v.name, "0", why);
      return std::nullopt;
    }
    if (v.with_previous) {
      // One dimension of the product with the parameter before it.
      if (k == 0 || v.values.size() != spec.vary[k - 1].values.size()) {
        why = v.name + " is varied together with the parameter before it but has another number of values";
        return std::nullopt;
      }
      continue;
    }
    if (v.values.empty() || total > 10'000'000 / v.values.size()) {
      why = "a study of more than 10^7 cases (or of none) is refused";
      return std::nullopt;
    }
    total *= v.values.size();
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
    sheet = *set_named_cell(calc, sheet, spec.vary[k].name, number_text(c.values[k]), why);
  }
  return sheet;
}

std::string base_sheet(const Calculator& calc, const StudySpec& spec) {
  std::string why;
  return apply_settings(calc, spec.sheet, spec.set, why).value_or(spec.sheet);
}

bool has_threshold_column(const Calculator& calc) { return metric_kind(calc) == MetricKind::image; }

std::vector<NamedCut> cuts_of(const StudySpec& spec) {
  return spec.cuts.empty() ? std::vector<NamedCut>{{"", spec.cut}} : spec.cuts;
}

std::vector<double> thresholds_of(const StudySpec& spec) {
  return spec.thresholds.empty() ? std::vector<double>{0.3} : spec.thresholds;
}

namespace {

// A metric column of a study and the column of the calculator's table it is
// measured in, whose unit it carries (-1: a pure number).
struct MetricColumn {
  const char* name;
  int column;
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
              {"peak_current", t->current_column}, {"rms_current", t->current_column}};
    case MetricKind::plate:
      return {{"max_deflection", 1}, {"max_deflection_r", 0}, {"max_stress", 5}, {"max_pitch_error", 6}};
    default: return {};
  }
}

}  // namespace

std::vector<std::string> metric_names(const Calculator& calc) {
  std::vector<std::string> names;
  for (const MetricColumn& m : metric_columns(calc)) names.emplace_back(m.name);
  return names;
}

std::vector<std::string> metric_units(const Calculator& calc, std::string_view sheet) {
  const TableSpec* t = metric_table(calc);
  const std::string length = length_unit(calc, sheet);
  const UnitWords words = unit_words(calc, sheet_of(calc, sheet));
  std::vector<std::string> units;
  for (const MetricColumn& m : metric_columns(calc)) {
    const std::size_t column = static_cast<std::size_t>(m.column);
    units.push_back(m.column == feature_column ? std::string("text")
                    : m.column < 0             ? std::string("1")
                                               : unit_label(*t, t->columns[column].unit, length, words));
  }
  return units;
}

std::optional<CaseResult> reusable_case(const Calculator& calc, const StudySpec& spec, const std::string& sheet,
                                        const std::string& folder) {
  std::string found, record;
  if (!read_bounded((fs::path(folder) / "IN_FM.txt").string(), sheet_byte_limit, found).empty() || found != sheet) {
    return std::nullopt;
  }
  if (!read_bounded((fs::path(folder) / result_record).string(), table_byte_limit, record).empty()) return std::nullopt;
  std::optional<CaseResult> r = parse_record(record, calc, spec);
  if (!r || r->status != "ok") return std::nullopt;
  r->reused = true;
  return r;
}

namespace {

// One case, run in this process (the case's own child): see run_case.
// Returns its record, written to its folder too when the case completed.
std::string case_here(const Calculator& calc, Entry entry, const StudySpec& spec, const std::string& options,
                      const std::string& sheet, const StagePlan& plan, const fs::path& folder) {
  CaseResult result;
  auto fail = [&](const std::string& why) {
    result.status = why.empty() ? "failed" : why;
    result.metrics = failed_metrics(calc, spec);
    return record_text(options, result);
  };
  const bool stage = metric_kind(calc) == MetricKind::stage;
  const std::string first_sheet = plan.every_step_only ? every_step_text(calc, sheet) : sheet;
  std::error_code ec;
  // A folder made now holds nothing; one from an earlier run may hold
  // anything, a link where the sheet goes included.
  const bool fresh = fs::create_directory(folder, ec);
  if (!fresh) {
    if (!fs::is_directory(folder, ec) || fs::is_symlink(folder, ec)) {
      return fail("cannot create the case folder " + folder.string());
    }
    fs::remove(folder / result_record, ec);
    remove_tables(calc, folder);
    if (const std::string problem = replace_file(folder / "IN_FM.txt", first_sheet); !problem.empty()) {
      return fail("cannot write the case's sheet: " + problem);
    }
  } else if (const std::string problem = write_own_file(folder / "IN_FM.txt", first_sheet); !problem.empty()) {
    return fail("cannot write the case's sheet: " + problem);
  }
  try {
    if (stage) {
      if (const std::string why = run_stage_case(calc, entry, spec, sheet, plan, folder, result); !why.empty()) {
        return fail(why);
      }
    } else {
      call_here(entry, folder);
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
    if (stage) {
      context.stage = &columns;
      context.printed_rows_only = "the summary reads the table as printed";
    }
    std::ostringstream summary;
    for (const TableSpec& t : calc.layout->tables) {
      summarize_table(folder, t.file.data(), identify_table(slurp(folder / t.file)), context, summary);
    }
    write_own_file(folder / "summary.txt", summary.str());
  } else {
    remove_tables(calc, folder);
  }
  const std::string record = record_text(options, result);
  if (const std::string problem = write_own_file(folder / result_record, record); !problem.empty()) {
    return fail("cannot record the case's results: " + problem);
  }
  return record;
}

// Cases run in children of their own, several at once, started and waited
// for from this one thread; results kept in case order.
class CaseRunner {
 public:
  CaseRunner(const Calculator& calc, Entry entry, const StudySpec& spec, int jobs)
      : calc_(calc), entry_(entry), spec_(spec), base_(base_sheet(calc, spec)), options_(case_options(calc, spec)),
        rows_(metric_rows_per_case(calc, spec)), columns_(metric_names(calc).size()), jobs_(std::max(1, jobs)),
        group_({spec.timeout, false}) {
    // A stage case's plan reads its step count and the count of its
    // settling band: worked out once, unless the study varies one of them.
    if (metric_kind(calc) != MetricKind::stage) return;
    plan_ = stage_plan(calc, spec, base_);
    const TableSpec* table = stage_table(calc);
    for (const Varied& v : spec.vary) {
      const std::optional<NamedCell> cell = named_cell(calc, v.name);
      for (const std::string_view read : {std::string_view("step_count"), table->count_cell}) {
        const std::optional<NamedCell> used = named_cell(calc, read);
        plan_varies_ = plan_varies_ || (cell && used && cell->column == used->column && cell->row == used->row);
      }
    }
  }

  // Runs the case (unless its folder holds reusable results); `ended` is
  // called with the index and result of each case that ends meanwhile.
  void add(std::size_t index, const StudyCase& c, const std::string& folder,
           const std::function<void(std::size_t, CaseResult)>& ended) {
    const std::string sheet = case_sheet(calc_, base_, spec_, c);
    const StagePlan plan = plan_varies_ ? stage_plan(calc_, spec_, sheet) : plan_;
    std::error_code ec;
    if (fs::exists(folder, ec)) {
      if (std::optional<CaseResult> reused = reusable_case(calc_, spec_, sheet, folder)) {
        ended(index, std::move(*reused));
        return;
      }
    }
    while (group_.running() >= static_cast<std::size_t>(jobs_)) collect(ended);
    const std::string failed = group_.start(
        index,
        [&] { return ChildWork{true, case_here(calc_, entry_, spec_, options_, sheet, plan, folder)}; },
        "case " + c.name);
    if (!failed.empty()) ended(index, failure(failed));
  }

  // Waits for every case still running.
  void finish(const std::function<void(std::size_t, CaseResult)>& ended) {
    while (group_.running() > 0) collect(ended);
  }

 private:
  CaseResult failure(const std::string& why) const {
    CaseResult r;
    r.status = why;
    r.metrics = failed_metrics(calc_, spec_);
    return r;
  }

  void collect(const std::function<void(std::size_t, CaseResult)>& ended) {
    for (auto& [index, outcome] : group_.wait_any()) {
      if (!outcome.ok) {
        ended(index, failure(outcome.text));
        continue;
      }
      std::optional<CaseResult> r = parse_record(outcome.text, options_, rows_, columns_);
      ended(index, r ? std::move(*r) : failure("the case's results came back incomplete"));
    }
  }

  const Calculator& calc_;
  Entry entry_;
  const StudySpec& spec_;
  std::string base_;
  std::string options_;  // what decides a case's metrics beside its sheet
  std::size_t rows_, columns_;  // of a case's metrics
  int jobs_;
  ChildGroup group_;
  StagePlan plan_;
  bool plan_varies_ = false;
};

}  // namespace

CaseResult run_case(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& c,
                    const std::string& folder) {
  CaseResult result;
  CaseRunner runner(calc, entry, spec, 1);
  auto keep = [&](std::size_t, CaseResult r) { result = std::move(r); };
  runner.add(0, c, folder, keep);
  runner.finish(keep);
  return result;
}

namespace {

constexpr const char* study_key_file = "study-key.txt";

// Everything that decides the rows, in one text: a study folder made by a
// command or script with another key starts afresh.
std::string study_key(const Calculator& calc, const StudySpec& spec) {
  nlohmann::json key;
  key["calculator"] = calc.name;
  key["sheet"] = nlohmann::json::binary(std::vector<std::uint8_t>(spec.sheet.begin(), spec.sheet.end()));
  for (const auto& [name, value] : spec.set) key["set"].push_back({name, value});
  for (const Varied& v : spec.vary) {
    std::vector<std::string> values;
    for (const double x : v.values) values.push_back(number_text(x));
    key["vary"].push_back({{"name", v.name}, {"values", values}});
    if (v.with_previous) key["vary"].back()["with_previous"] = true;
  }
  for (const double t : spec.thresholds) key["thresholds"].push_back(number_text(t));
  key["cut"] = {number_text(spec.cut.cut_x), number_text(spec.cut.cut_y), spec.cut.dark};
  if (spec.cut.along == CutAxis::y) key["cut"].push_back("along y");
  for (const NamedCut& c : spec.cuts) {
    key["cuts"].push_back({c.name, number_text(c.cut.cut_x), number_text(c.cut.cut_y), c.cut.along == CutAxis::y,
                           c.cut.dark});
  }
  key["band"] = spec.band ? number_text(*spec.band) : "";
  key["timeout"] = number_text(spec.timeout);
  key["keep_tables"] = spec.keep_tables;
  return key.dump() + "\n";
}

}  // namespace

std::string prepare_study_folder(const Calculator& calc, const StudySpec& spec, const std::string& folder_text,
                                 std::string& note) {
  const fs::path folder(folder_text);
  const fs::path cases_folder = folder / "cases";
  std::error_code ec;
  fs::create_directories(cases_folder, ec);
  if (ec || !fs::is_directory(cases_folder)) {
    return "cannot create the study folder " + cases_folder.string() + ": " +
           (ec ? ec.message() : std::string("not a folder"));
  }
  // A folder made by another command holds cases that are not this study's.
  const std::string key = study_key(calc, spec);
  std::string old_key;
  const bool had_key = read_bounded((cases_folder / study_key_file).string(), sheet_byte_limit, old_key).empty();
  const bool had_cases = fs::directory_iterator(cases_folder, ec) != fs::directory_iterator();
  if (had_cases && old_key != key) {
    note = folder.string() + " holds " +
           (had_key ? "a study made by another command" : "cases of unknown origin") + "; starting afresh";
    fs::remove_all(cases_folder, ec);
    fs::create_directories(cases_folder, ec);
  }
  if (const std::string problem = replace_file(cases_folder / study_key_file, key); !problem.empty()) {
    return "cannot write in " + cases_folder.string() + ": " + problem;
  }
  for (const char* name : {"study.csv", "study.json", "process-window.csv", "el-dof.csv", "meef.csv"}) {
    fs::remove(folder / name, ec);
  }
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

std::vector<std::vector<std::string>> study_rows(const Calculator& calc, const StudySpec& spec,
                                                 const std::vector<StudyCase>& cases,
                                                 const std::vector<CaseResult>& results) {
  std::vector<std::vector<std::string>> rows;
  const std::vector<double> thresholds = thresholds_of(spec);
  const std::vector<NamedCut> cuts = cuts_of(spec);
  const std::vector<std::string> names = metric_names(calc);
  for (std::size_t k = 0; k < cases.size() && k < results.size(); ++k) {
    for (std::size_t t = 0; t < results[k].metrics.size(); ++t) {
      std::vector<std::string> row{cases[k].name};
      for (const double v : cases[k].values) row.push_back(number_text(v));
      if (has_threshold_column(calc) && !spec.cuts.empty()) row.push_back(cuts[t / thresholds.size() % cuts.size()].name);
      if (has_threshold_column(calc)) row.push_back(number_text(thresholds[t % thresholds.size()]));
      for (std::size_t m = 0; m < results[k].metrics[t].size(); ++m) {
        const double value = results[k].metrics[t][m];
        row.push_back(m < names.size() && names[m] == "feature" ? feature_text(feature_of_code(value))
                                                                : number_text(value));
      }
      row.push_back(results[k].status);
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
  CaseResult not_run;
  not_run.status = "not run: the study was interrupted";
  not_run.metrics = failed_metrics(calc, spec);
  std::vector<CaseResult> results(cases.size(), not_run);
  std::size_t done = 0, failed = 0;
  auto ended = [&](std::size_t k, CaseResult r) {
    results[k] = std::move(r);
    ++done;
    failed += results[k].status == "ok" ? 0 : 1;
    if (progress) progress(done, failed);
  };
  CaseRunner runner(calc, entry, spec, jobs);
  for (std::size_t k = 0; k < cases.size() && interrupted() == 0; ++k) {
    runner.add(k, cases[k], (fs::path(cases_folder) / cases[k].name).string(), ended);
  }
  runner.finish(ended);
  return results;
}

}  // namespace meridox::host
