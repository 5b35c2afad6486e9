#pragma once
// `meridox run`: loads a calculator's library as the spreadsheet does, hands
// it a sheet in the output folder, calls its entry and reads the tables back.
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/metrics.hpp"
#include "host/core/report.hpp"
#include "host/core/summary.hpp"
#include "host/pictures/plot.hpp"

namespace meridox::host {

struct RunRequest {
  std::string calculator;            // as the user typed it
  std::optional<std::string> sheet;  // a sheet file; the built-in example otherwise
  std::optional<std::string> out;    // the output folder; ./meridox-out/CALC/ otherwise
  std::optional<std::string> lib_dir;
  PlotOptions plot;                  // plot.length_unit: the unit asked for the picture axes
  bool pictures = true;
  bool strict = false;
  double timeout = 0.0;              // seconds; 0 for none
  CutOptions cut;
  bool cut_given = false;            // an asked cut outside the image is refused
  std::optional<double> band;        // stage settling band, mm
  std::optional<double> hold;        // stage settling hold, s
  std::optional<double> window;      // stage closing window, s
  // Named cells set before the run, in order, each value exactly as typed.
  std::vector<std::pair<std::string, std::string>> set;
};

int run(const RunRequest& request, std::ostream& out, std::ostream& err);

// The summary context and picture options of a calculator's tables, from
// its sheet. Returns why the asked length unit cannot be used, or "".
std::string describe_run(const Calculator& calculator, std::string_view sheet_bytes, SummaryContext& context,
                         PlotOptions& plot);

// The cut's point, given in the pictures' length unit (--unit), in the
// sheet's; why the cut cannot be measured when it lies outside the image
// the sheet gives, else "".
std::string cut_in_sheet_units(const Calculator& calculator, std::string_view sheet_bytes, const PlotOptions& plot,
                               CutOptions& cut);

// The table beside a map that masks its picture (the amplitude beside a
// phase), read from `folder` into the options when the map's layout names one.
void read_mask_table(TableKind kind, const std::filesystem::path& folder, PlotOptions& options);

// The options a table's picture is drawn with, the same for `run` and
// `plot`: its mask table from `folder`, and for a stage the servo error
// column, the sensor's count and the settling band of the summary.
PlotOptions picture_options(TableKind kind, const std::filesystem::path& folder, const SummaryContext& context,
                            PlotOptions options);

// The table and picture summary of one table in a folder, and the table as
// read. Its problem is empty when all is well, else the one line that says
// what failed (the summary is printed first in every case it can be).
TableReport report_table(const std::string& folder, const char* table, TableKind expected,
                         const SummaryContext& context, const PlotOptions* plot, std::ostream& out);

}  // namespace meridox::host
