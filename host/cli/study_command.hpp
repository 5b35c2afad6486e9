#pragma once
// `meridox study`: a study's cases run with their metrics in study.csv and
// study.json, pictures of each metric and, for a focus study with a target
// width, its process window.
#include <iosfwd>
#include <optional>
#include <string>

#include "host/pictures/plot.hpp"
#include "host/study/process_window.hpp"
#include "host/study/study.hpp"

namespace meridox::host {

// The `study` command.
struct StudyRequest {
  StudySpec spec;
  std::optional<std::string> sheet_path;  // the built-in example when absent
  std::optional<std::string> lib_dir;
  std::string out;        // the study folder
  int jobs = 0;           // 0: the number of cores
  bool pictures = true;
  WindowRequest window;    // its targets empty: no process window
  bool cut_given = false;  // an asked cut outside the base sheet's image is refused
  bool strict = false;     // any warning of the sheets ends the study before its first case
  std::string command_line;  // for study.json
  // Runs this one case of the study alone, keeping its folder (its sheet,
  // tables and summary) in cases/; the study's table and record are left as
  // they are.
  std::optional<std::string> only_case;
  PlotOptions plot;
};
int study(const StudyRequest& request, std::ostream& out, std::ostream& err);

}  // namespace meridox::host
