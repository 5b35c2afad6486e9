#pragma once
// One case of a calculator as the Python package runs it: the sheet written
// into a folder of its own, the entry called once in a child process, the
// tables read back and their metrics computed, all with the host's code.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/calculators.hpp"
#include "host/metrics.hpp"

namespace meridox::python {

// Runs the calculator once on `sheet` in `folder`, which must exist: writes
// IN_FM.txt there and calls the entry in a child process. Returns "" when
// the run ended normally, else one line saying what happened (crash, exit,
// timeout). The library is loaded once per process and kept.
std::string run_case(const host::Calculator& calculator, const std::string& library, const std::string& sheet,
                     const std::string& folder, double timeout);

struct MetricOptions {
  std::vector<double> thresholds{0.3};  // image calculators: one set of metrics per threshold
  double cut_y = 0.0;
  double cut_x = 0.0;
  bool dark = false;
  double band = host::no_value;  // stage settling band; one count of the sensor when NaN
};

using Metrics = std::vector<std::pair<std::string, double>>;

// The metric names of a calculator, in the order a study tabulates them.
std::vector<std::string> metric_names(const host::Calculator& calculator);

// The metrics of the tables a run left in `folder`: one set per threshold
// for the image calculators, one set otherwise; a stage's over every step
// as the command's run summary gives them (a second run printing every step
// when the table prints fewer). Throws host::TableError when a table is
// missing or unreadable or that second run fails.
std::vector<Metrics> case_metrics(const host::Calculator& calculator, const std::string& library,
                                  const std::string& sheet, const std::string& folder, const MetricOptions& options,
                                  double timeout);

}  // namespace meridox::python
