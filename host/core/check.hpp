#pragma once
// Reads a sheet exactly as a calculator will and reports every cell it uses
// and whatever a user would want to know before a run.
#include <string>
#include <string_view>
#include <vector>

#include "host/core/calculators.hpp"

namespace meridox::host {

struct CheckedCell {
  int column;
  int row;
  std::string name;   // parameter name, e.g. "pitch" or "rect_x1[3]"
  std::string label;  // columns 0 and 1 of the row, for display
  std::string raw;    // the cell's text, for display
  double value;       // what the calculator converts it to
  bool integer;
};

struct Warning {
  std::string code;  // no-number, trailing-text, limited, divides-by-zero,
                     // print-interval-zero, long-run, empty-result, single-sample,
                     // unsupported, sheet-overflow, label-mismatch, no-tabs,
                     // utf-16, implausible, unstable-step, coarse-step,
                     // derivative-kick
  int column;        // the cell concerned, -1 for the whole sheet
  int row;
  std::string message;
};

struct CheckReport {
  std::vector<CheckedCell> cells;
  std::vector<Warning> warnings;
  std::vector<std::string> notes;  // worth knowing, never a warning (--strict ignores them)

  const CheckedCell* cell(std::string_view name) const;
  double value(std::string_view name) const;  // 0 when the name is not used
  bool has(std::string_view code, int row = -1) const;
};

CheckReport check_sheet(const Calculator& calculator, std::string_view sheet_bytes);

// The report as the `check` command prints it.
std::string format_report(const Calculator& calculator, const CheckReport& report);


}  // namespace meridox::host
