#pragma once
// The quantities an engineer looks at first in each result table.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/tables.hpp"

namespace meridox::host {

inline constexpr double not_known = std::numeric_limits<double>::quiet_NaN();

struct MapSummary {
  double minimum = not_known, maximum = not_known;
  double min_x = not_known, min_y = not_known, max_x = not_known, max_y = not_known;
  double contrast = not_known;  // (max - min) / (max + min)
  std::size_t non_finite = 0;
};
MapSummary summarize_map(const MapTable& map);

// The value of largest magnitude (with its sign) and where it lies.
struct Extreme {
  double value = not_known;
  double at = not_known;
};
Extreme largest_magnitude(const std::vector<double>& values, const std::vector<double>& at);

struct PlateSummary {
  Extreme deflection, stress, pitch_error;
};
PlateSummary summarize_plate(const ColumnTable& table);

// The first time from which every later row stays within `tolerance` of 0;
// NaN when the last row is still outside (or a value is not finite there).
double settling_time(const std::vector<double>& time, const std::vector<double>& error, double tolerance);

// Which columns of a stage table hold the position the servo drives to 0
// and the current, and how long one count of its sensor is.
struct StageColumns {
  std::size_t error;
  std::size_t current;
  double count = not_known;  // length of one count; NaN when not known
};
StageColumns stage_columns(TableKind kind, bool scale_sensor = true);

struct StageSummary {
  double final_time = not_known;
  double final_error = not_known;
  Extreme peak_current;
  double settling = not_known;
};
StageSummary summarize_stage(const ColumnTable& table, const StageColumns& columns);

// The summary lines printed after a run (or a plot) for a table of this kind.
std::string summary_text(TableKind kind, const std::string& bytes, const StageColumns* stage);

}  // namespace meridox::host
