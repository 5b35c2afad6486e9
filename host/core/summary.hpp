#pragma once
// The summary printed for each result table: its shape, and the metrics an
// engineer looks at first, each with its name and unit.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/metrics.hpp"
#include "host/core/servo_loop.hpp"
#include "host/core/tables.hpp"

namespace meridox::host {

inline constexpr double not_known = std::numeric_limits<double>::quiet_NaN();

struct MapSummary {
  double minimum = not_known, maximum = not_known;
  double min_x = not_known, min_y = not_known, max_x = not_known, max_y = not_known;
  double contrast = not_known;  // (max - min) / (max + min) over the whole map
  std::size_t non_finite = 0;
};
MapSummary summarize_map(const MapTable& map);

struct PlateSummary {
  Extreme deflection, stress, pitch_error;
};
// From the columns the plate table's layout names; without a spec, the
// registry's plate table's.
PlateSummary summarize_plate(const ColumnTable& table, const TableSpec& spec);
PlateSummary summarize_plate(const ColumnTable& table);

// The first time from which every later row stays within `tolerance` of 0;
// NaN when the last row is still outside (or a value is not finite there).
double settling_time(const std::vector<double>& time, const std::vector<double>& error, double tolerance);

// Which columns of a stage table hold the displacement the servo drives to 0
// (the stage, or the stage relative to its base) and the current, how long
// one count of the stage's sensor is and the settling band.
struct StageColumns {
  std::size_t error;
  std::size_t current;
  double count = not_known;     // length of one count; NaN when not known
  double band = not_known;      // the settling band; one count when NaN
  double hold = 0.0;            // settled: within the band at least this long (s), to the end
  double window = not_known;    // the closing window (s); the last tenth of the run when NaN
  double end_time = not_known;  // when the run ends (N h from the sheet); NaN when not known
  bool loop_unstable = false;   // the linearised loop of the sheet is unstable
  double settle_band() const { return std::isnan(band) ? count : band; }
  // How a history of these columns is judged: a history read as it streams
  // by ends at end_time; one held in memory ends at its last state.
  StageJudging judging(bool streamed) const {
    return {settle_band(), hold, window, streamed ? end_time : not_known, loop_unstable};
  }
};
StageColumns stage_columns(TableKind kind, bool scale_sensor = true);

struct StageSummary {
  double final_time = not_known;
  double final_error = not_known;
  Extreme peak_current;
  double settling = not_known;
};
StageSummary summarize_stage(const ColumnTable& table, const StageColumns& columns);

// The metrics of a stage table's printed rows.
StageMetrics stage_table_metrics(const ColumnTable& table, const StageColumns& columns);

// Why a run counts as diverged, in one line; "" when it did not.
std::string divergence_text(const StageMetrics& m);

// The lines of a stage summary that tell the linearised loop's margins,
// bandwidth and poles.
std::string loop_text(const ServoLoop& servo, const LoopAnalysis& loop);

// What the summary knows beyond the table itself.
struct SummaryContext {
  const StageColumns* stage = nullptr;
  // Stage metrics over every step, from a run that printed every step; when
  // absent, `printed_rows_only` says why the metrics cover the printed rows.
  std::optional<StageMetrics> every_step;
  std::string printed_rows_only;
  // A stage's loop, linearised from its sheet, and its analysis.
  std::optional<ServoLoop> servo;
  std::optional<LoopAnalysis> loop;
  // A plate's section, for its hoop moment and stress.
  std::optional<PlateSection> plate;
  CutOptions cut;
  std::vector<MaskRectangle> mask;  // the mask's rectangles, when the run's sheet is known
  std::string length_unit;  // the tables' lengths as in the sheet
  UnitWords units;          // the sheet's texts of the tables' other unit words
};

// The summary lines printed after a run (or a plot) for a table.
std::string summary_text(const ResultTable& table, const SummaryContext& context);

// Why a table with values none of which is finite is no result (a run and a
// study case fail with it); "" when it holds a finite value or none at all.
std::string no_finite_value(std::string_view table, const Finiteness& f);

}  // namespace meridox::host
