#include "host/run.hpp"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "common/sheet.hpp"
#include "host/check.hpp"
#include "host/text.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

// The constant the nut-and-stage calculator converts angles with.
constexpr double calculator_pi = 3.14159265358979;

TableKind expected_kind(const Calculator& c, const char* table) {
  switch (c.kind) {
    case Kind::projection:
      if (std::string_view(table) == "OUT_MR.txt") return TableKind::spectrum_amplitude;
      if (std::string_view(table) == "OUT_MI.txt") return TableKind::spectrum_phase;
      return TableKind::image;
    case Kind::proximity: return TableKind::proximity_image;
    case Kind::plate: return TableKind::plate;
    case Kind::stage: return TableKind::stage;
    case Kind::nut_stage: return TableKind::nut_stage;
    case Kind::stage_base: return TableKind::stage_base;
  }
  return TableKind::unknown;
}

std::string picture_name(const char* table) {
  std::string name(table);
  return name.substr(0, name.rfind('.')) + ".png";
}

Sheet load_sheet(const Calculator& c, std::string_view bytes) {
  Sheet sheet(c.shape);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

// Calls the entry once, in a child process that shares everything loaded so
// far: a calculator that crashes ends the child, not the host, which then
// says so. The tables are complete when the child has ended.
bool call_isolated(void (*entry)(), std::ostream& err, const char* name) {
  const pid_t child = fork();
  if (child < 0) {
    entry();
    return true;
  }
  if (child == 0) {
    entry();
    std::fflush(nullptr);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      err << "meridox: lost the run of " << name << ": " << std::strerror(errno) << "\n";
      return false;
    }
  }
  if (WIFSIGNALED(status)) {
    err << "meridox: " << name << " stopped on signal " << WTERMSIG(status) << " (" << strsignal(WTERMSIG(status))
        << "); its tables may be incomplete\n";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    err << "meridox: " << name << " ended the process with status " << WEXITSTATUS(status) << "\n";
    return false;
  }
  return true;
}

// Whether a table that parses holds anything to draw: a grid size of 0 or a
// header without rows is a valid result with no picture.
bool has_samples(TableKind kind, const std::string& bytes) {
  if (is_map(kind)) {
    const MapTable map = parse_map(bytes);
    return !map.x.empty() && !map.y.empty();
  }
  return parse_columns(bytes).rows() > 0;
}

}  // namespace

std::string library_folder(const std::optional<std::string>& chosen) {
  if (chosen) return *chosen;
  if (const char* env = std::getenv("MERIDOX_LIB_DIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "lib";
  return (exe.parent_path().parent_path() / "lib").string();
}

std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes) {
  int row = -1;
  if (calculator.kind == Kind::projection) row = row_of(calculator, "pitch");
  if (calculator.kind == Kind::proximity) row = row_of(calculator, "x_start");
  if (row < 0) return {};
  const Sheet sheet = load_sheet(calculator, sheet_bytes);
  std::string unit = display_text(sheet.cell(1, row));
  if (unit.size() > 24 || is_blank(unit)) return {};
  return unit;
}

StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes) {
  const Sheet sheet = load_sheet(calculator, sheet_bytes);
  auto real = [&](const char* name) { return sheet.real(2, row_of(calculator, name)); };
  switch (calculator.kind) {
    case Kind::nut_stage: {
      const bool scale = sheet.integer(2, row_of(calculator, "scale_switch")) != 0;
      StageColumns c = stage_columns(TableKind::nut_stage, scale);
      // With the encoder the servo sees the screw angle: one count moves the
      // nut by the encoder's angle step times the lead per turn.
      c.count = scale ? real("scale_resolution")
                      : real("encoder_resolution") * real("screw_lead") / (2 * calculator_pi);
      return c;
    }
    case Kind::stage_base: {
      StageColumns c = stage_columns(TableKind::stage_base);
      c.count = real("resolution");
      return c;
    }
    default: {
      StageColumns c = stage_columns(TableKind::stage);
      c.count = real("resolution");
      return c;
    }
  }
}

bool report_table(const std::string& folder, const char* table, TableKind expected, const StageColumns* stage,
                  const PlotOptions* plot, std::ostream& out, std::ostream& err) {
  const std::string path = (fs::path(folder) / table).string();
  std::string bytes;
  if (!read_file(path, bytes)) {
    err << "meridox: the calculator wrote no " << table << "\n";
    return false;
  }
  TableKind kind = identify_table(bytes);
  if (kind == TableKind::empty) {
    out << table << ": empty (the calculator wrote no rows), no picture\n";
    return true;
  }
  // A header in other words but the expected shape: read it as expected.
  if ((kind == TableKind::other_map && is_map(expected)) ||
      (kind == TableKind::other_columns && !is_map(expected))) {
    kind = expected;
  }
  if (kind != expected) {
    err << "meridox: " << table << " is not a " << describe(expected) << " (it reads as a " << describe(kind)
        << ")\n";
    return false;
  }
  out << table << ": " << describe(kind) << "\n";
  try {
    out << summary_text(kind, bytes, stage);
  } catch (const TableError& e) {
    err << "meridox: " << table << ": " << e.what() << "\n";
    return false;
  }
  if (plot == nullptr) return true;
  if (!has_samples(kind, bytes)) {
    out << "  no samples, no picture\n";
    return true;
  }
  const std::string png = (fs::path(folder) / picture_name(table)).string();
  const std::string problem = plot_table(kind, bytes, png, *plot);
  if (!problem.empty()) {
    err << "meridox: no picture of " << table << ": " << problem << "\n";
    return false;
  }
  out << "  picture: " << png << "\n";
  return true;
}

int run(const RunRequest& request, std::ostream& out, std::ostream& err) {
  const Calculator* calc = find_calculator(request.calculator);
  if (calc == nullptr) {
    err << "meridox: unknown calculator \"" << request.calculator << "\"; choose one of " << calculator_names()
        << "\n";
    return bad_input;
  }
  std::string sheet;
  if (request.sheet) {
    if (!read_file(*request.sheet, sheet)) {
      err << "meridox: cannot read the sheet " << *request.sheet << "\n";
      return bad_input;
    }
  } else {
    sheet = std::string(example_sheet(calc->name));
  }

  const std::string library = (fs::path(library_folder(request.lib_dir)) / ("lib" + std::string(calc->name) + ".so")).string();
  std::error_code ec;
  if (!fs::is_regular_file(library, ec)) {
    err << "meridox: the library " << library << " is missing (build it first, or give --lib-dir)\n";
    return not_installed;
  }

  const fs::path folder = request.out ? fs::path(*request.out) : fs::path("meridox-out") / request.calculator;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    err << "meridox: cannot create the output folder " << folder.string() << ": "
        << (ec ? ec.message() : std::string("not a folder")) << "\n";
    return bad_input;
  }
  const fs::path absolute = fs::absolute(folder, ec);

  const CheckReport report = check_sheet(*calc, sheet);
  for (const Warning& w : report.warnings) err << "warning [" << w.code << "]: " << w.message << "\n";

  // Tables and pictures of an earlier run would pass for this run's.
  for (const char* table : calc->tables) {
    fs::remove(absolute / table, ec);
    fs::remove(absolute / picture_name(table), ec);
  }
  {
    std::ofstream in_fm(absolute / "IN_FM.txt", std::ios::binary | std::ios::trunc);
    in_fm.write(sheet.data(), static_cast<std::streamsize>(sheet.size()));
    in_fm.close();
    if (!in_fm) {
      err << "meridox: cannot write " << (absolute / "IN_FM.txt").string() << "\n";
      return bad_input;
    }
  }

  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    err << "meridox: cannot load " << library << ": " << dlerror() << "\n";
    return not_installed;
  }
  using Entry = void (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, calc->entry));
  if (entry == nullptr) {
    err << "meridox: " << library << " has no entry " << calc->entry << "\n";
    return not_installed;
  }
  const std::string exchange = absolute.string() + "/";
  setenv("MERIDOXWORK", exchange.c_str(), 1);
  out << calc->alias << " (" << calc->name << "): "
      << (request.sheet ? "sheet " + *request.sheet : std::string("built-in example sheet")) << "\n";
  out << "output folder: " << exchange << "\n";
  out.flush();
  err.flush();
  std::fflush(nullptr);
  if (!call_isolated(entry, err, calc->name)) return incomplete;

  PlotOptions plot = request.plot;
  if (plot.length_unit.empty()) plot.length_unit = length_unit(*calc, sheet);
  const StageColumns stage = stage_columns_for(*calc, sheet);
  bool complete = true;
  for (const char* table : calc->tables) {
    complete = report_table(absolute.string(), table, expected_kind(*calc, table), &stage,
                            request.pictures ? &plot : nullptr, out, err) &&
               complete;
  }
  return complete ? ok : incomplete;
}

}  // namespace meridox::host
