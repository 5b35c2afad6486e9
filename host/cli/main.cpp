// meridox: runs, checks and draws the calculators of the suite from the
// command line, without a spreadsheet.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "host/cli/commands.hpp"
#include "host/cli/run_command.hpp"
#include "host/cli/study_command.hpp"
#include "host/core/process.hpp"
#include "host/core/report.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The plotting and font libraries keep caches for the life of the process,
// which the leak checker would report at exit.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "detect_leaks=0";
}
#endif

using namespace meridox::host;

int main(int argc, char** argv) {
  CLI::App app{"meridox: run, check and draw the meridox calculators without a spreadsheet"};
  app.require_subcommand(1);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("meridox: ") + e.what() + " (see meridox --help)\n";
  });

  app.set_version_flag("--version", "meridox " MERIDOX_VERSION);

  RunRequest run_request;
  MetricOptions run_metrics;
  std::string sheet_arg;
  auto* run_cmd = app.add_subcommand("run", "run a calculator on a sheet (or its built-in example)");
  run_cmd->add_option("CALC", run_request.calculator,
                      "calculator: projection, proximity, plate, stage, nut-stage, stage-base or a library name")
      ->required();
  run_cmd->add_option("SHEET", sheet_arg, "parameter sheet (TAB-separated, - for standard input); the built-in example when omitted");
  run_cmd->add_option("--out,-o", run_request.out, "output folder (default ./meridox-out/CALC/)");
  run_cmd->add_option("--lib-dir", run_request.lib_dir, "folder of the calculators' libraries (default ../lib beside meridox)");
  add_metric_options(run_cmd, run_metrics, run_request.plot);
  bool no_pictures = false;
  run_cmd->add_flag("--no-pictures", no_pictures, "write the tables only");
  run_cmd->add_flag("--strict", run_request.strict, "exit 1 when the sheet gave any warning or a table holds inf or nan");
  std::vector<std::string> run_set;
  run_cmd->add_option("--set", run_set,
                      "NAME=VALUE: write VALUE, as typed, into the named cell first (an integer cell's as the whole "
                      "number it is; repeatable)")
      ->take_all()->allow_extra_args(false);
  finite(run_cmd->add_option("--timeout", run_request.timeout, "end a calculator still running after S seconds (exit 1)"))
      ->check(CLI::PositiveNumber);

  StudyRequest study_request;
  MetricOptions study_metrics;
  std::string study_sheet;
  std::vector<std::string> study_vary, study_set;
  std::vector<std::string> study_thresholds, study_cuts;
  bool study_no_pictures = false;
  auto* study_cmd = app.add_subcommand("study", "run a calculator over the product of varied parameters and tabulate the metrics");
  study_cmd->add_option("CALC", study_request.spec.calculator, "calculator")->required();
  study_cmd->add_option("SHEET", study_sheet, "base sheet; the built-in example when omitted");
  study_cmd->add_option("--vary", study_vary,
                        "NAME=FROM:TO:COUNT or NAME=V1,V2,... (repeatable; the full product); NAME=...;NAME=... "
                        "varies cells together, value for value")
      ->allow_extra_args(false);
  study_cmd->add_option("--set", study_set,
                        "NAME=VALUE written, as typed, into the base sheet (an integer cell's as the whole number it "
                        "is; repeatable)")
      ->allow_extra_args(false);
  study_cmd->add_option("--threshold", study_thresholds,
                        "image thresholds T1,T2,... or FROM:TO:COUNT (one row per case, cut and threshold)")
      ->delimiter(',');
  auto* cut_y = finite(study_cmd->add_option("--cut-y", study_metrics.cut.cut_y, "y of the cut's point (default 0)"));
  auto* cut_x = finite(study_cmd->add_option("--cut-x", study_metrics.cut.cut_x, "x of the cut's point (default 0)"));
  auto* along = study_cmd->add_option("--along", study_metrics.along, "the cut runs along x (default) or y")
                    ->check(CLI::IsMember({"x", "y"}));
  study_cmd->add_option("--cut", study_cuts,
                        "NAME=AXIS@X,Y[:TONE]: a named cut along x or y through (X, Y) (repeatable; instead of "
                        "--cut-x, --cut-y and --along)")
      ->allow_extra_args(false)
      ->excludes(cut_y)
      ->excludes(cut_x)
      ->excludes(along);
  study_cmd->add_option("--tone", study_metrics.tone, "bright (default) or dark feature")
      ->check(CLI::IsMember({"bright", "dark"}));
  finite(study_cmd->add_option("--band", study_metrics.band, "stage settling band in mm (default one count)"))
      ->check(CLI::PositiveNumber);
  add_stage_window_options(study_cmd, study_metrics);
  study_cmd->add_option("--size", study_metrics.size_text, "picture size, WIDTHxHEIGHT (default 960x720)");
  std::vector<std::string> study_targets;
  study_cmd->add_option("--target-cd", study_targets,
                        "CD or NAME=CD (repeatable): target width of every cut or of a named one: writes the "
                        "exposure-defocus window")
      ->allow_extra_args(false);
  finite(study_cmd->add_option("--cd-tolerance", study_request.window.tolerance,
                               "allowed |cd - target| / target (default 0.1)"))
      ->check(CLI::PositiveNumber);
  finite(study_cmd->add_option("--min-nils", study_request.window.min_nils, "the window also keeps nils at or above this"))
      ->check(CLI::PositiveNumber);
  study_cmd->add_option("--el", study_request.window.latitudes,
                        "exposure latitudes in percent whose depth of focus is reported (default 5,10)")
      ->delimiter(',')
      ->check(CLI::NonNegativeNumber);
  study_cmd->add_option("-j,--jobs", study_request.jobs, "cases run at once (default: the number of cores)")
      ->check(CLI::Range(1, 4096));
  auto* study_out = study_cmd->add_option("--out,-o", study_request.out, "study folder (default ./meridox-study/CALC/)");
  study_cmd->add_option("--lib-dir", study_request.lib_dir, "folder of the calculators' libraries");
  finite(study_cmd->add_option("--timeout", study_request.spec.timeout, "end a case still running after S seconds"))
      ->check(CLI::PositiveNumber);
  study_cmd->add_flag("--keep-tables", study_request.spec.keep_tables, "keep each case's tables and summary");
  study_cmd->add_option("--case", study_request.only_case,
                        "run only this case of the study, keeping its folder cases/CASE with its sheet and tables");
  study_cmd->add_flag("--no-pictures", study_no_pictures, "write study.csv and study.json only");
  study_cmd->add_flag("--strict", study_request.strict,
                      "exit 1 before the first case when a sheet of the study gives any warning");

  std::string check_calc, check_sheet_path;
  auto* check_cmd = app.add_subcommand("check", "read a sheet as the calculator will and warn about its values");
  check_cmd->add_option("CALC", check_calc, "calculator")->required();
  check_cmd->add_option("SHEET", check_sheet_path, "parameter sheet (- for standard input)")->required();

  std::string sheet_calc;
  auto* sheet_cmd = app.add_subcommand("sheet", "print a calculator's example sheet, a template to edit");
  sheet_cmd->add_option("CALC", sheet_calc, "calculator")->required();

  std::string plot_table_path;
  std::optional<std::string> plot_png;
  PlotOptions plot_options;
  MetricOptions plot_metrics;
  auto* plot_cmd = app.add_subcommand("plot", "draw the picture of an existing result table");
  plot_cmd->add_option("TABLE", plot_table_path, "result table (OUT_M.txt, OUT_MR.txt, OUT_MI.txt)")->required();
  plot_cmd->add_option("--output,-o", plot_png, "picture file, a new name or a regular file (default: the table's name with .png)");
  add_metric_options(plot_cmd, plot_metrics, plot_options);

  std::optional<std::string> list_lib;
  auto* list_cmd = app.add_subcommand("list", "list the calculators and where their libraries are");
  list_cmd->add_option("--lib-dir", list_lib, "folder of the calculators' libraries");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::Error& e) {
    app.exit(e);
    return bad_input;
  }

  if (*run_cmd) {
    if (!sheet_arg.empty()) run_request.sheet = sheet_arg;
    if (!settle_metric_options(run_metrics, run_request.plot)) return bad_input;
    run_request.cut = run_metrics.cut;
    run_request.cut_given = run_metrics.cut_given;
    run_request.band = run_metrics.band;
    run_request.hold = run_metrics.hold;
    run_request.window = run_metrics.window;
    run_request.pictures = !no_pictures;
    if (!parse_settings(run_set, run_request.set)) return bad_input;
    const int status = run(run_request, std::cout, std::cerr);
    end_if_interrupted();
    return status;
  }
  if (*study_cmd) {
    if (!study_sheet.empty()) study_request.sheet_path = study_sheet;
    if (!settle_metric_options(study_metrics, study_request.plot)) return bad_input;
    if (!parse_settings(study_set, study_request.spec.set)) return bad_input;
    for (const std::string& text : study_vary) {
      std::string why;
      const std::optional<std::vector<Varied>> group = parse_linked_vary(text, why);
      if (!group) {
        std::cerr << "meridox: " << why << "\n";
        return bad_input;
      }
      study_request.spec.vary.insert(study_request.spec.vary.end(), group->begin(), group->end());
    }
    if (!parse_thresholds(study_thresholds, study_request.spec.thresholds)) return bad_input;
    study_request.spec.cut = study_metrics.cut;
    if (!parse_cuts(study_cuts, study_metrics.cut, study_request.spec.cuts)) return bad_input;
    study_request.cut_given = !study_cuts.empty() || cut_x->count() > 0 || cut_y->count() > 0 || along->count() > 0;
    if (!parse_targets(study_targets, study_request.window.targets)) return bad_input;
    study_request.spec.band = study_metrics.band;
    study_request.spec.hold = study_metrics.hold;
    study_request.spec.window = study_metrics.window;
    study_request.pictures = !study_no_pictures;
    // An empty --out names no folder (it is refused), not the default one.
    if (study_out->count() == 0) study_request.out = "meridox-study/" + study_request.spec.calculator;
    for (int k = 0; k < argc; ++k) study_request.command_line += (k ? " " : "") + std::string(argv[k]);
    const int status = study(study_request, std::cout, std::cerr);
    end_if_interrupted();
    return status;
  }
  if (*check_cmd) return check_command(check_calc, check_sheet_path);
  if (*sheet_cmd) return sheet_command(sheet_calc);
  if (*plot_cmd) {
    if (!settle_metric_options(plot_metrics, plot_options)) return bad_input;
    const int status = plot_command(plot_table_path, plot_png, plot_options, plot_metrics);
    end_if_interrupted();
    return status;
  }
  if (*list_cmd) return list_command(list_lib);
  return bad_input;
}
