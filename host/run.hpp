#pragma once
// `meridox run`: loads a calculator's library as the spreadsheet does, hands
// it a sheet in the output folder, calls its entry and reads the tables back.
#include <iosfwd>
#include <optional>
#include <string>

#include "host/calculators.hpp"
#include "host/plot.hpp"
#include "host/summary.hpp"

namespace meridox::host {

// Exit statuses of the command.
enum Status : int {
  ok = 0,
  incomplete = 1,    // the run finished, but a table is missing or unreadable, or a picture failed
  bad_input = 2,     // unknown calculator, unreadable sheet, output folder not usable
  not_installed = 3  // the calculator's library or its entry cannot be loaded
};

struct RunRequest {
  std::string calculator;          // as the user typed it
  std::optional<std::string> sheet;  // a sheet file; the built-in example otherwise
  std::optional<std::string> out;    // the output folder; ./meridox-out/CALC/ otherwise
  std::optional<std::string> lib_dir;
  PlotOptions plot;
  bool pictures = true;
};

int run(const RunRequest& request, std::ostream& out, std::ostream& err);

// The folder that holds the calculators' libraries: --lib-dir, else the
// environment variable MERIDOX_LIB_DIR, else ../lib beside the executable.
std::string library_folder(const std::optional<std::string>& chosen);

// The unit text of the optics lengths in a sheet (column 1 of the row that
// gives the pitch or the image window), for the axes of the pictures.
std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes);

// Which column and count length the stage summary uses, from the sheet.
StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes);

// The table and picture summary of one table in a folder; returns false when
// the table is missing or cannot be read, or its picture fails.
bool report_table(const std::string& folder, const char* table, TableKind expected, const StageColumns* stage,
                  const PlotOptions* plot, std::ostream& out, std::ostream& err);

}  // namespace meridox::host
