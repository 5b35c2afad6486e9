#pragma once
// Reads a sheet exactly as a calculator will and reports every cell it uses
// and whatever a user would want to know before a run.
#include <cmath>
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
                     // derivative-kick, source-sampling, coarse-pitch, odd-grid
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
  // The name of the cell a warning is about; "" when it is about no named
  // cell (the sheet as a whole, a row).
  std::string cell_of(const Warning& w) const;
};

CheckReport check_sheet(const Calculator& calculator, std::string_view sheet_bytes);

// How a projection sheet's 13-point source and pupil fall on its frequency
// grid. The source points move the spectrum by whole samples of 1/(N p):
// the inner points (m = 1) by `inner` samples, the outer ones (m = 2) by
// `outer`, rounded as the calculator rounds them, so that the source acts as
// sigma 2 inner / R and outer / R rather than the sheet's. The pupil passes
// the samples whose squared distance from the centre is at most `pupil_r2`,
// the largest sum of two squares within R^2.
struct SourceSampling {
  int grid = 0;                // N as used
  double pupil_radius = 0.0;   // R = NA p N / wavelength, in samples
  int inner = 0, outer = 0;
  double inner_sigma = 0.0, outer_sigma = 0.0;
  long long pupil_r2 = 0;
  bool usable = false;         // N > 0 and R finite and positive
  // Whether the image between its samples is reproduced exactly by their
  // Fourier series: the intensity's highest harmonic, 2 floor(R), below N/2.
  bool band_limited() const { return usable && 4.0 * std::floor(pupil_radius) < grid; }
};
SourceSampling source_sampling(const Calculator& calculator, std::string_view sheet_bytes);
SourceSampling source_sampling(const Calculator& calculator, const Sheet& sheet);

// The report as the `check` command prints it.
std::string format_report(const Calculator& calculator, const CheckReport& report);


}  // namespace meridox::host
