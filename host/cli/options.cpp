#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>

#include "host/cli/commands.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"
#include "host/study/study.hpp"

namespace meridox::host {

const Calculator* calculator_or_complain(const std::string& name) {
  const Calculator* calc = find_calculator(name);
  if (calc == nullptr) {
    std::cerr << "meridox: unknown calculator \"" << name << "\"; choose one of " << calculator_names() << "\n";
  }
  return calc;
}


namespace {

bool parse_size(const std::string& text, PlotOptions& plot) {
  int w = 0, h = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &extra) != 2) return false;
  if (w < smallest_picture || h < smallest_picture || w > largest_picture || h > largest_picture) return false;
  plot.width = w;
  plot.height = h;
  return true;
}

}  // namespace

CLI::Option* finite(CLI::Option* option) {
  return option->check(CLI::Validator(
      [](std::string& text) -> std::string {
        const std::optional<double> value = whole_real(text);
        return value && std::isfinite(*value) ? std::string() : "\"" + text + "\" is not a finite number";
      },
      "FINITE"));
}

void add_metric_options(CLI::App* cmd, MetricOptions& m, PlotOptions& plot) {
  cmd->add_option("--size", m.size_text, "picture size in pixels, WIDTHxHEIGHT, 64 to 8192 a side (default 960x720)");
  cmd->add_option("--unit", plot.length_unit, "draw the optics lengths in this unit: nm, um, mm, cm or m");
  cmd->add_flag("--log", plot.log_amplitude, "draw the spectrum amplitude on a logarithmic scale");
  m.cut_options = {finite(cmd->add_option("--cut-y", m.cut.cut_y, "y of the cut's point, in --unit when given (default 0)")),
                   finite(cmd->add_option("--cut-x", m.cut.cut_x, "x of the cut's point, in --unit when given (default 0)")),
                   cmd->add_option("--along", m.along,
                                   "the cut runs along x (a row, default) or y (a column) through its point")
                       ->check(CLI::IsMember({"x", "y"}))};
  finite(cmd->add_option("--threshold", m.cut.threshold,
                         "intensity threshold of the feature edges (default " + number_text(default_threshold) + ")"))
      ->check(CLI::PositiveNumber);
  cmd->add_option("--tone", m.tone, "bright (I >= threshold, default) or dark (I < threshold) feature")
      ->check(CLI::IsMember({"bright", "dark"}));
  finite(cmd->add_option("--band", m.band, "stage settling band in mm (default one count of the stage's sensor)"))
      ->check(CLI::PositiveNumber);
  add_stage_window_options(cmd, m);
}

void add_stage_window_options(CLI::App* cmd, MetricOptions& m) {
  cmd->add_option("--hold", m.hold, "stage: settled means within the band for at least S seconds, to the end (default 0)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--window", m.window,
                  "stage: steady_error and residual_oscillation over the last S seconds (default the last tenth of the run)")
      ->check(CLI::PositiveNumber);
}

bool settle_metric_options(MetricOptions& m, PlotOptions& plot) {
  if (!m.size_text.empty() && !parse_size(m.size_text, plot)) {
    std::cerr << "meridox: --size takes WIDTHxHEIGHT, 64 to 8192 a side, for example 960x720\n";
    return false;
  }
  if (!plot.length_unit.empty() && std::isnan(metres_per(plot.length_unit))) {
    std::cerr << "meridox: --unit takes nm, um, mm, cm or m, not \"" << plot.length_unit << "\"\n";
    return false;
  }
  m.cut.dark = m.tone == "dark";
  m.cut.along = m.along == "y" ? CutAxis::y : CutAxis::x;
  for (const CLI::Option* o : m.cut_options) m.cut_given = m.cut_given || o->count() > 0;
  return true;
}

bool parse_thresholds(const std::vector<std::string>& texts, std::vector<double>& out) {
  for (const std::string& text : texts) {
    std::string why;
    // A range reads as a varied parameter's does.
    const std::optional<Varied> range = parse_vary("threshold=" + text, why);
    if (!range) {
      std::cerr << "meridox: --threshold takes T1,T2,... or FROM:TO:COUNT, not \"" << text << "\"\n";
      return false;
    }
    for (double t : range->values) {
      // A range's inner values to 12 digits: 0.2:0.4:3 gives 0.3, not 0.30000000000000004.
      if (text.find(':') != std::string::npos) t = std::stod(rounded_text(t, 12));
      if (!(t > 0) || !std::isfinite(t)) {
        std::cerr << "meridox: --threshold: " << number_text(t) << " is not a positive finite intensity\n";
        return false;
      }
      out.push_back(t);
    }
  }
  return true;
}

bool parse_targets(const std::vector<std::string>& texts, std::vector<std::pair<std::string, double>>& out) {
  for (const std::string& text : texts) {
    const std::size_t equals = text.find('=');
    const std::string name = equals == std::string::npos ? std::string() : text.substr(0, equals);
    const std::optional<double> cd = whole_real(equals == std::string::npos ? text : text.substr(equals + 1));
    if (!cd || !(*cd > 0) || !std::isfinite(*cd) || (equals != std::string::npos && name.empty())) {
      std::cerr << "meridox: --target-cd takes CD or NAME=CD, a positive width, not \"" << text << "\"\n";
      return false;
    }
    out.emplace_back(name, *cd);
  }
  return true;
}

bool parse_cuts(const std::vector<std::string>& texts, const CutOptions& defaults, std::vector<NamedCut>& out) {
  for (const std::string& text : texts) {
    std::string why;
    const std::optional<NamedCut> cut = parse_cut(text, defaults, why);
    if (!cut) {
      std::cerr << "meridox: " << why << "\n";
      return false;
    }
    for (const NamedCut& other : out) {
      if (other.name == cut->name) {
        std::cerr << "meridox: --cut: the name \"" << cut->name << "\" is given twice\n";
        return false;
      }
    }
    out.push_back(*cut);
  }
  return true;
}

bool parse_settings(const std::vector<std::string>& texts, std::vector<std::pair<std::string, std::string>>& out) {
  for (const std::string& text : texts) {
    const auto assignment = parse_assignment(text);
    if (!assignment) {
      std::cerr << "meridox: --set takes NAME=VALUE, not \"" << text << "\"\n";
      return false;
    }
    out.push_back(*assignment);
  }
  return true;
}

}  // namespace meridox::host
