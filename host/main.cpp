// meridox: runs, checks and draws the calculators of the suite from the
// command line, without a spreadsheet.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "host/calculators.hpp"
#include "host/check.hpp"
#include "host/plot.hpp"
#include "host/run.hpp"
#include "host/summary.hpp"
#include "host/text.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The plotting and font libraries keep caches for the life of the process,
// which the leak checker would report at exit.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "detect_leaks=0";
}
#endif

namespace {

using namespace meridox::host;

const Calculator* calculator_or_complain(const std::string& name) {
  const Calculator* calc = find_calculator(name);
  if (calc == nullptr) {
    std::cerr << "meridox: unknown calculator \"" << name << "\"; choose one of " << calculator_names() << "\n";
  }
  return calc;
}

bool parse_size(const std::string& text, PlotOptions& plot) {
  int w = 0, h = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &extra) != 2) return false;
  plot.width = w;
  plot.height = h;
  return true;
}

int check_command(const std::string& name, const std::string& sheet_path) {
  const Calculator* calc = calculator_or_complain(name);
  if (calc == nullptr) return bad_input;
  std::string bytes;
  if (!read_file(sheet_path, bytes)) {
    std::cerr << "meridox: cannot read the sheet " << sheet_path << "\n";
    return bad_input;
  }
  const CheckReport report = check_sheet(*calc, bytes);
  std::cout << format_report(*calc, report);
  return report.warnings.empty() ? 0 : 1;
}

int sheet_command(const std::string& name) {
  const Calculator* calc = calculator_or_complain(name);
  if (calc == nullptr) return bad_input;
  const std::string_view sheet = example_sheet(calc->name);
  std::fwrite(sheet.data(), 1, sheet.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : bad_input;
}

// The calculator that writes tables of this kind.
const Calculator* writer_of(TableKind kind) {
  switch (kind) {
    case TableKind::image:
    case TableKind::spectrum_amplitude:
    case TableKind::spectrum_phase: return find_calculator("orvalis");
    case TableKind::proximity_image: return find_calculator("quendra");
    case TableKind::plate: return find_calculator("talvek");
    case TableKind::stage: return find_calculator("drovik2");
    case TableKind::nut_stage: return find_calculator("drovik1");
    case TableKind::stage_base: return find_calculator("drovik3");
    default: return nullptr;
  }
}

int plot_command(const std::string& table, std::optional<std::string> png, PlotOptions plot) {
  std::string bytes;
  if (!read_file(table, bytes)) {
    std::cerr << "meridox: cannot read the table " << table << "\n";
    return bad_input;
  }
  const TableKind kind = identify_table(bytes);
  if (!png) png = std::filesystem::path(table).replace_extension(".png").string();
  // The sheet of the run that wrote the table, when it lies beside it, gives
  // the length unit and the sensor's count.
  std::optional<StageColumns> stage;
  std::string sheet;
  const Calculator* writer = writer_of(kind);
  if (writer != nullptr && read_file((std::filesystem::path(table).parent_path() / "IN_FM.txt").string(), sheet)) {
    if (plot.length_unit.empty()) plot.length_unit = length_unit(*writer, sheet);
    if (writer->kind == Kind::stage || writer->kind == Kind::nut_stage || writer->kind == Kind::stage_base) {
      stage = stage_columns_for(*writer, sheet);
    }
  }
  const std::string problem = plot_table(kind, bytes, *png, plot);
  if (!problem.empty()) {
    std::cerr << "meridox: no picture of " << table << ": " << problem << "\n";
    return bad_input;
  }
  std::cout << table << ": " << describe(kind) << "\n";
  try {
    std::cout << summary_text(kind, bytes, stage ? &*stage : nullptr);
  } catch (const TableError&) {
  }
  std::cout << "  picture: " << *png << "\n";
  return 0;
}

int list_command(const std::optional<std::string>& lib_dir) {
  const std::string folder = library_folder(lib_dir);
  for (const Calculator& c : calculators()) {
    const std::filesystem::path lib = std::filesystem::path(folder) / ("lib" + std::string(c.name) + ".so");
    std::error_code ec;
    std::printf("%-11s %-8s entry %-8s %s%s\n", c.alias, c.name, c.entry, lib.string().c_str(),
                std::filesystem::exists(lib, ec) ? "" : " (missing)");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"meridox: run, check and draw the meridox calculators without a spreadsheet"};
  app.require_subcommand(1);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("meridox: ") + e.what() + " (see meridox --help)\n";
  });

  RunRequest run_request;
  std::string size_text;
  std::string sheet_arg;
  auto* run_cmd = app.add_subcommand("run", "run a calculator on a sheet (or its built-in example)");
  run_cmd->add_option("CALC", run_request.calculator,
                      "calculator: projection, proximity, plate, stage, nut-stage, stage-base or a library name")
      ->required();
  run_cmd->add_option("SHEET", sheet_arg, "parameter sheet (TAB-separated, - for standard input); the built-in example when omitted");
  run_cmd->add_option("--out,-o", run_request.out, "output folder (default ./meridox-out/CALC/)");
  run_cmd->add_option("--lib-dir", run_request.lib_dir, "folder of the calculators' libraries (default ../lib beside meridox)");
  run_cmd->add_option("--size", size_text, "picture size in pixels, WIDTHxHEIGHT (default 960x720)");
  run_cmd->add_option("--unit", run_request.plot.length_unit, "unit of the optics lengths for the picture axes");
  bool no_pictures = false;
  run_cmd->add_flag("--no-pictures", no_pictures, "write the tables only");

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
  std::string plot_size;
  auto* plot_cmd = app.add_subcommand("plot", "draw the picture of an existing result table");
  plot_cmd->add_option("TABLE", plot_table_path, "result table (OUT_M.txt, OUT_MR.txt, OUT_MI.txt)")->required();
  plot_cmd->add_option("--output,-o", plot_png, "picture file (default: the table's name with .png)");
  plot_cmd->add_option("--size", plot_size, "picture size in pixels, WIDTHxHEIGHT (default 960x720)");
  plot_cmd->add_option("--unit", plot_options.length_unit, "unit of the optics lengths for the axes");

  std::optional<std::string> list_lib;
  auto* list_cmd = app.add_subcommand("list", "list the calculators and where their libraries are");
  list_cmd->add_option("--lib-dir", list_lib, "folder of the calculators' libraries");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::Error& e) {
    app.exit(e);
    return bad_input;
  }

  if (*run_cmd) {
    if (!sheet_arg.empty()) run_request.sheet = sheet_arg;
    if (!size_text.empty() && !parse_size(size_text, run_request.plot)) {
      std::cerr << "meridox: --size takes WIDTHxHEIGHT, for example 960x720\n";
      return bad_input;
    }
    run_request.pictures = !no_pictures;
    return run(run_request, std::cout, std::cerr);
  }
  if (*check_cmd) return check_command(check_calc, check_sheet_path);
  if (*sheet_cmd) return sheet_command(sheet_calc);
  if (*plot_cmd) {
    if (!plot_size.empty() && !parse_size(plot_size, plot_options)) {
      std::cerr << "meridox: --size takes WIDTHxHEIGHT, for example 960x720\n";
      return bad_input;
    }
    return plot_command(plot_table_path, plot_png, plot_options);
  }
  if (*list_cmd) return list_command(list_lib);
  return bad_input;
}
