#include "host/cli/run_command.hpp"

#include <cmath>
#include <filesystem>
#include <ostream>

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "host/core/calls.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/library.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

bool is_stage(const Calculator& c) { return stage_table(c) != nullptr; }

}  // namespace

std::string describe_run(const Calculator& calculator, std::string_view sheet_bytes, SummaryContext& context,
                         PlotOptions& plot) {
  SheetDescription d;
  d.context = context;
  if (std::string problem = describe_sheet(calculator, sheet_bytes, plot.length_unit, d); !problem.empty()) {
    return problem;
  }
  context = d.context;
  if (!std::isnan(d.na)) plot.na = d.na;
  if (!std::isnan(d.sigma)) plot.sigma = d.sigma;
  plot.units = context.units;
  plot.length_unit = d.length_unit;
  plot.length_scale = d.length_scale;
  return {};
}

std::string cut_in_sheet_units(const Calculator& calculator, std::string_view sheet_bytes, const PlotOptions& plot,
                               CutOptions& cut) {
  cut.cut_x /= plot.length_scale;
  cut.cut_y /= plot.length_scale;
  for (const TableSpec& t : calculator.layout->tables) {
    if (t.metrics == MetricKind::image) return cut_outside_image(calculator, sheet_bytes, cut);
  }
  return {};
}

void read_mask_table(TableKind kind, const std::filesystem::path& folder, PlotOptions& options) {
  if (kind.spec() == nullptr || kind.spec()->map.mask_file.empty()) return;
  read_bounded((folder / kind.spec()->map.mask_file).string(), table_byte_limit, options.amplitude_table);
}

PlotOptions picture_options(TableKind kind, const std::filesystem::path& folder, const SummaryContext& context,
                            PlotOptions options) {
  read_mask_table(kind, folder, options);
  if (context.stage) {
    options.error_column = context.stage->error;
    options.count = context.stage->count;
    options.band = context.stage->settle_band();
  }
  return options;
}

TableReport report_table(const std::string& folder, const char* table, TableKind expected,
                         const SummaryContext& context, const PlotOptions* plot, std::ostream& out) {
  TableReport report = summarize_table(folder, table, expected, context, out);
  if (!report.problem.empty() || report.table.kind == TableKind::empty || plot == nullptr) return report;
  if (!report.table.has_samples()) {
    out << "  no samples, no picture\n";
    return report;
  }
  const PlotOptions options = picture_options(report.table.kind, fs::path(folder), context, *plot);
  const std::string png = (fs::path(folder) / picture_name(table)).string();
  const std::string problem = plot_table(report.table, png, options);
  if (!problem.empty()) {
    out << "  no picture\n";
    report.problem = "no picture of " + std::string(table) + ": " + problem;
    return report;
  }
  out << "  picture: " << png << "\n";
  return report;
}

int run(const RunRequest& request, std::ostream& out, std::ostream& err) {
  const Calculator* calc = find_calculator(request.calculator);
  if (calc == nullptr) {
    err << "meridox: unknown calculator \"" << request.calculator << "\"; choose one of " << calculator_names()
        << "\n";
    return bad_input;
  }
  std::string sheet;
  if (request.sheet) {
    if (const std::string why = read_bounded(*request.sheet, sheet_byte_limit, sheet); !why.empty()) {
      err << "meridox: cannot read the sheet " << *request.sheet << ": " << why << "\n";
      return bad_input;
    }
  } else {
    sheet = std::string(example_sheet(calc->name));
  }
  std::string why;
  if (std::optional<std::string> changed = apply_settings(*calc, sheet, request.set, why)) {
    sheet = std::move(*changed);
  } else {
    err << "meridox: " << why << "\n";
    return bad_input;
  }
  SummaryContext context;
  context.cut = request.cut;
  PlotOptions plot = request.plot;
  if (const std::string problem = describe_run(*calc, sheet, context, plot); !problem.empty()) {
    err << "meridox: " << problem << "\n";
    return bad_input;
  }
  if (const std::string problem = cut_in_sheet_units(*calc, sheet, plot, context.cut);
      !problem.empty() && request.cut_given) {
    err << "meridox: " << problem << "\n";
    return bad_input;
  }
  StageColumns stage = stage_columns_for(*calc, sheet);
  if (request.band) stage.band = *request.band;
  if (request.hold) stage.hold = *request.hold;
  if (request.window) stage.window = *request.window;
  stage.loop_unstable = context.loop && context.loop->why_not.empty() && !context.loop->stable;
  if (is_stage(*calc)) context.stage = &stage;

  const std::string library = library_path(*calc, request.lib_dir);
  std::error_code ec;
  if (!fs::is_regular_file(library, ec)) {
    err << "meridox: the library " << library << " is missing (build it first, or give --lib-dir)\n";
    return not_installed;
  }

  const fs::path folder = request.out ? fs::path(*request.out) : fs::path("meridox-out") / request.calculator;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    err << "meridox: cannot create the output folder " << folder.string() << ": "
        << (ec ? ec.message() : std::string("not a folder")) << "\n";
    return bad_input;
  }
  const fs::path absolute = fs::absolute(folder, ec);

  const CheckReport report = check_sheet(*calc, sheet);
  for (const Warning& w : report.warnings) err << "warning [" << w.code << "]: " << w.message << "\n";

  // Tables and pictures of an earlier run would pass for this run's.
  for (const std::string& name : every_result_file()) {
    const fs::path stale = absolute / name;
    // Only regular files: a link or a special file of that name is never removed.
    if (!fs::is_symlink(stale, ec) && fs::is_regular_file(stale, ec)) fs::remove(stale, ec);
  }
  remove_leftovers(absolute);
  if (const std::string problem = replace_file(absolute / sheet_name, sheet); !problem.empty()) {
    err << "meridox: cannot write " << (absolute / sheet_name).string() << ": " << problem << "\n";
    return bad_input;
  }

  const Entry entry = load_entry(*calc, request.lib_dir, why);
  if (entry == nullptr) {
    err << "meridox: " << why << "\n";
    return not_installed;
  }
  out << calc->alias << " (" << calc->name << "): "
      << (request.sheet ? "sheet " + *request.sheet : std::string("built-in example sheet")) << "\n";
  for (const auto& [name, value] : request.set) {
    // Said as the cell now holds it: an integer cell given 2e3 holds 2000.
    const std::optional<NamedCell> cell = named_cell(*calc, name);
    std::string ignored;
    const std::optional<std::string> written = cell_text(*cell, value, ignored);
    out << "set " << name << " = " << written.value_or(value) << " (cell (" << cell->column << "," << cell->row
        << "))\n";
  }
  out << "output folder: " << absolute.string() << "/\n";
  out.flush();
  err.flush();
  if (const std::string failed = call_entry(entry, absolute, calc->name, request.timeout); !failed.empty()) {
    err << "meridox: " << failed << "; its tables may be incomplete\n";
    return incomplete;
  }
  // A stage's metrics and picture come from every step; its printed rows
  // may fall between the peaks.
  EveryStepDrawing drawing{static_cast<std::size_t>(plot.width), std::nullopt};
  if (is_stage(*calc)) {
    context.every_step = every_step_metrics(*calc, entry, sheet, absolute, stage, request.timeout,
                                            context.printed_rows_only, request.pictures ? &drawing : nullptr);
    if (interrupted() != 0) {
      err << "meridox: " << context.printed_rows_only << "\n";
      return incomplete;
    }
    if (drawing.history) {
      plot.every_step = &*drawing.history;
    } else {
      // Why there is no history of every step, the summary says.
      plot.rows_note = "printed rows only: peaks between them are not shown";
    }
  }

  // Every table is summarised before any failure is told.
  std::vector<std::string> failures;
  bool non_finite = false;
  for (const TableSpec& table : calc->layout->tables) {
    // The layout's file names are string literals, NUL-terminated.
    const TableReport report = report_table(absolute.string(), table.file.data(), TableKind(table), context,
                                            request.pictures ? &plot : nullptr, out);
    if (!report.problem.empty()) failures.push_back(report.problem);
    non_finite = non_finite || report.table.finiteness.non_finite > 0;
  }
  out.flush();
  if (!failures.empty()) {
    err << "meridox: " << failures.front();
    if (failures.size() > 1) err << " (and " << failures.size() - 1 << " more)";
    err << "\n";
    return incomplete;
  }
  // The loop's Bode picture beside the stage's table.
  if (request.pictures && context.loop && context.loop->why_not.empty()) {
    const std::string png = (absolute / loop_picture).string();
    if (const std::string problem = plot_loop(*context.loop, png, plot); !problem.empty()) {
      err << "meridox: no picture of the loop: " << problem << "\n";
      return incomplete;
    }
    out << "  loop picture: " << png << "\n";
    out.flush();
  }
  // A run that grew without bound is told, its metrics kept above.
  if (is_stage(*calc)) {
    std::optional<StageMetrics> judged = context.every_step;
    std::string bytes;
    if (!judged && read_bounded((absolute / stage_table(*calc)->file).string(), table_byte_limit, bytes).empty()) {
      try {
        judged = stage_table_metrics(parse_columns(bytes), stage);
      } catch (const TableError&) {
      }
    }
    if (judged && judged->diverged) {
      err << "meridox: the run diverged: " << divergence_text(*judged) << "\n";
      return incomplete;
    }
  }
  if (request.strict && (!report.warnings.empty() || non_finite)) {
    err << "meridox: --strict: " << (report.warnings.empty() ? "a table holds values that are not finite"
                                                              : std::to_string(report.warnings.size()) +
                                                                    (report.warnings.size() == 1 ? " warning" : " warnings"))
        << "\n";
    return incomplete;
  }
  return ok;
}

}  // namespace meridox::host
