#pragma once
// `meridox run`: loads a calculator's library as the spreadsheet does, hands
// it a sheet in the output folder, calls its entry and reads the tables back.
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/calculators.hpp"
#include "host/metrics.hpp"
#include "host/plot.hpp"
#include "host/summary.hpp"

namespace meridox::host {

// Exit statuses of the command.
enum Status : int {
  ok = 0,
  incomplete = 1,    // the run failed or timed out, a table is missing, unreadable or without a
                     // finite value, or a picture failed; with --strict also any warning or
                     // value that is not finite
  bad_input = 2,     // unknown calculator, unreadable sheet, bad option, output folder not usable
  not_installed = 3  // the calculator's library or its entry cannot be loaded
};

// A stage history beyond this many steps is summarised from its printed rows
// only: a table of every step takes some 40 bytes a step.
inline constexpr long long every_step_limit = 10'000'000;

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
  std::optional<double> band;        // stage settling band, mm
  // Named cells set before the run, in order, each value exactly as typed.
  std::vector<std::pair<std::string, std::string>> set;
};

// "NAME=VALUE" split at its first '='; nothing when there is none or the name is empty.
std::optional<std::pair<std::string, std::string>> parse_assignment(std::string_view text);

// The sheet with every assignment applied in order; nothing (and `why`, one
// line) when a name is not one of the calculator's cells.
std::optional<std::string> apply_settings(const Calculator& calculator, std::string sheet,
                                          const std::vector<std::pair<std::string, std::string>>& set,
                                          std::string& why);

int run(const RunRequest& request, std::ostream& out, std::ostream& err);

using Entry = void (*)();

// The calculator's library file, and its entry loaded from it (nullptr, with
// `why`, when the library is missing or has no such entry).
std::string library_path(const Calculator& calc, const std::optional<std::string>& lib_dir);
Entry load_entry(const Calculator& calc, const std::optional<std::string>& lib_dir, std::string& why);

// Calls the entry once in a child process with the exchange folder set; an
// empty string when it ran to its end, else one line saying what happened.
std::string call_entry(Entry entry, const std::filesystem::path& exchange, const std::string& what, double timeout);

// Writes a file by a temporary beside it and a rename; why not, or "".
std::string replace_file(const std::filesystem::path& path, const std::string& bytes);

// The metrics of a stage history read line by line from a table file.
std::optional<StageMetrics> stream_stage_metrics(const std::filesystem::path& table, const StageColumns& c);

// Stage metrics from every step: the table in `folder` when it prints every
// step, else a second run printing every step in a scratch folder inside
// `folder`, removed afterwards. `why_not` says why there are none.
std::optional<StageMetrics> every_step_metrics(const Calculator& c, Entry entry, const std::string& sheet,
                                               const std::filesystem::path& folder, const StageColumns& columns,
                                               double timeout, std::string& why_not);

// The folder that holds the calculators' libraries: --lib-dir, else the
// environment variable MERIDOX_LIB_DIR, else ../lib beside the executable.
std::string library_folder(const std::optional<std::string>& chosen);

// The unit text of the optics lengths in a sheet (column 1 of the row that
// gives the pitch or the image window).
std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes);

// Metres in one of the length units the pictures can convert between (nm,
// um, mm, cm, m); NaN for any other text.
double metres_per(std::string_view unit);

// The stage table of a calculator's layout; nullptr for the others.
const TableSpec* stage_table(const Calculator& calculator);

// Which columns, count and band the stage summary uses, from the sheet.
StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes);
StageColumns stage_columns_for(const Calculator& calculator, const Sheet& sheet);

// The summary context and picture options of a calculator's tables, from
// its sheet. Returns why the asked length unit cannot be used, or "".
// The sheet's texts of the unit words of its calculator's table columns.
UnitWords unit_words(const Calculator& calculator, const Sheet& sheet);

std::string describe_run(const Calculator& calculator, std::string_view sheet_bytes, SummaryContext& context,
                         PlotOptions& plot);

// The table beside a map that masks its picture (the amplitude beside a
// phase), read from `folder` into the options when the map's layout names one.
void read_mask_table(TableKind kind, const std::filesystem::path& folder, PlotOptions& options);

// The table and picture summary of one table in a folder. Returns an empty
// string when all is well, else the one line that says what failed (the
// summary is printed first in every case it can be).
std::string report_table(const std::string& folder, const char* table, TableKind expected,
                         const SummaryContext& context, const PlotOptions* plot, std::ostream& out);

}  // namespace meridox::host
