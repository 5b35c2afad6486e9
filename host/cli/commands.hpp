#pragma once
// The commands of `meridox` other than run and study, and the options the
// commands share; main() reads the command line and calls one of them.
#include <optional>
#include <string>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/metrics.hpp"
#include "host/pictures/plot.hpp"

namespace CLI {
class App;
class Option;
}

namespace meridox::host {

// The calculator of a name or alias; nullptr after one line on standard
// error when there is none.
const Calculator* calculator_or_complain(const std::string& name);

// The options every command that summarises an image or a stage shares.
struct MetricOptions {
  std::string size_text;
  std::string tone = "bright";
  std::string along = "x";
  std::optional<double> band;
  std::optional<double> hold;    // stage: settled means within the band at least this long (s)
  std::optional<double> window;  // stage: the closing window of steady_error and residual_oscillation (s)
  CutOptions cut;
  // Whether the cut was asked for (--cut-x, --cut-y, --along): only an asked
  // cut outside the image is refused; the default one then has no width.
  bool cut_given = false;
  std::vector<const CLI::Option*> cut_options;
};
void add_metric_options(CLI::App* cmd, MetricOptions& m, PlotOptions& plot);
// --hold and --window, the stage's settling hold and closing window.
void add_stage_window_options(CLI::App* cmd, MetricOptions& m);
// A numeric option that takes finite numbers only (nan and inf are refused).
CLI::Option* finite(CLI::Option* option);
// Checks the shared options; false (after one line) when one is unusable.
bool settle_metric_options(MetricOptions& m, PlotOptions& plot);
// Image thresholds, each a number or FROM:TO:COUNT, all positive; false
// (after one line) when one is neither.
bool parse_thresholds(const std::vector<std::string>& texts, std::vector<double>& out);
// Named cuts (--cut NAME=AXIS@X,Y[:TONE]), their tone `defaults`' when not
// given; false (after one line) when one is unusable or a name repeats.
bool parse_cuts(const std::vector<std::string>& texts, const CutOptions& defaults, std::vector<NamedCut>& out);
// Target widths, CD (every cut) or NAME=CD (a named cut), each positive;
// false (after one line) when one is not.
bool parse_targets(const std::vector<std::string>& texts, std::vector<std::pair<std::string, double>>& out);
// NAME=VALUE options; false (after one line) when one has no '='.
bool parse_settings(const std::vector<std::string>& texts, std::vector<std::pair<std::string, std::string>>& out);

// `meridox check CALC SHEET`: the sheet's warnings; 1 when there are any.
int check_command(const std::string& name, const std::string& sheet_path);
// `meridox sheet CALC`: the built-in example sheet on standard output.
int sheet_command(const std::string& name);
// `meridox list`: the calculators and where their libraries are.
int list_command(const std::optional<std::string>& lib_dir);
// `meridox plot TABLE`: the summary and picture of an existing table.
int plot_command(const std::string& table, std::optional<std::string> png, PlotOptions plot,
                 const MetricOptions& metrics);

}  // namespace meridox::host
