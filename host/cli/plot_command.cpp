#include <filesystem>
#include <iostream>

#include "common/exchange.hpp"
#include "host/cli/commands.hpp"
#include "host/cli/run_command.hpp"
#include "host/core/files.hpp"
#include "host/core/report.hpp"
#include "host/core/summary.hpp"
#include "host/core/units.hpp"

namespace meridox::host {
namespace {

// Why the cut cannot be measured on an image table: its point lies outside
// the table's samples; "" otherwise (and for tables of other kinds).
std::string cut_outside_table(TableKind kind, const std::string& bytes, const Calculator* writer,
                              const CutOptions& cut, const std::string& unit) {
  if (writer == nullptr || kind.spec() == nullptr || kind.spec()->metrics != MetricKind::image) return {};
  try {
    const MapTable map = parse_map(bytes);
    return cut_outside_axes(map.x, map.y, cut, image_model(*writer), unit);
  } catch (const TableError&) {
    return {};
  }
}

}  // namespace

int plot_command(const std::string& table, std::optional<std::string> png, PlotOptions plot,
                 const MetricOptions& metrics) {
  std::string bytes;
  if (const std::string why = read_bounded(table, table_byte_limit, bytes); !why.empty()) {
    std::cerr << "meridox: cannot read the table " << table << ": " << why << "\n";
    return bad_input;
  }
  const TableKind kind = identify_table(bytes);
  if (!png) png = std::filesystem::path(table).replace_extension(".png").string();
  std::error_code ec;
  if (std::filesystem::equivalent(table, *png, ec)) {
    std::cerr << "meridox: the picture " << *png << " would overwrite the table itself\n";
    return bad_input;
  }
  if (const std::string problem = picture_path_problem(*png); !problem.empty()) {
    std::cerr << "meridox: no picture of " << table << ": " << problem << "\n";
    return bad_input;
  }
  // The sheet of the run that wrote the table, when it lies beside it, gives
  // the units, the sensor's count and the pupil.
  const std::filesystem::path beside = std::filesystem::path(table).parent_path();
  SummaryContext context;
  context.cut = metrics.cut;
  StageColumns stage = stage_columns(kind);
  std::string sheet;
  const std::optional<TableWriterOf> owner = writer_of(kind);
  const Calculator* writer = owner ? owner->calculator : nullptr;
  if (writer != nullptr && read_bounded((beside / sheet_name).string(), sheet_byte_limit, sheet).empty()) {
    if (const std::string problem = describe_run(*writer, sheet, context, plot); !problem.empty()) {
      std::cerr << "meridox: " << problem << "\n";
      return bad_input;
    }
    context.cut.cut_x /= plot.length_scale;
    context.cut.cut_y /= plot.length_scale;
    stage = stage_columns_for(*writer, sheet);
    const StageSteps run = stage_steps(*writer, sheet_of(*writer, sheet));
    const int every = run.interval_cell != nullptr ? run.interval : 1;
    if (owner->table->metrics == meridox::MetricKind::stage && every != 1) {
      plot.rows_note = "rows of every " + std::to_string(every) + " steps only: peaks between them are not shown";
    }
  } else if (!plot.length_unit.empty()) {
    std::cerr << "meridox: --unit needs the run's sheet " << sheet_name
              << " beside the table, to convert from its unit\n";
    return bad_input;
  }
  if (metrics.band) stage.band = *metrics.band;
  if (metrics.hold) stage.hold = *metrics.hold;
  if (metrics.window) stage.window = *metrics.window;
  stage.loop_unstable = context.loop && context.loop->why_not.empty() && !context.loop->stable;
  const bool stage_kind = owner && owner->table->metrics == meridox::MetricKind::stage;
  if (stage_kind) {
    context.stage = &stage;
    context.printed_rows_only = "plot reads the table as printed";
  }
  if (const std::string problem = cut_outside_table(kind, bytes, writer, context.cut, context.length_unit);
      !problem.empty() && metrics.cut_given) {
    std::cerr << "meridox: " << problem << "\n";
    return bad_input;
  }
  plot = picture_options(kind, beside, context, plot);
  std::string summary, problem;
  try {
    const ResultTable read = read_result_table(bytes, kind);
    summary = summary_text(read, context);
    problem = plot_table(read, *png, plot);
  } catch (const TableError& e) {
    problem = kind == TableKind::empty     ? "the table is empty"
              : kind == TableKind::unknown ? "the table has no layout the host knows"
                                           : e.what();
  }

  std::cout << table << ": " << describe(kind) << "\n" << summary;
  if (!problem.empty()) {
    std::cout.flush();
    std::cerr << "meridox: no picture of " << table << ": " << problem << "\n";
    return kind == TableKind::unknown || kind == TableKind::empty || summary.empty() ? bad_input : incomplete;
  }
  std::cout << "  picture: " << *png << "\n";
  return 0;
}

}  // namespace meridox::host
