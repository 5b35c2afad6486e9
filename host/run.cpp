#include "host/run.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>

#include "common/numbers.hpp"
#include "common/sheet.hpp"
#include "host/check.hpp"
#include "host/process.hpp"
#include "host/text.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

// The constant the nut-and-stage calculator converts angles with.
constexpr double calculator_pi = 3.14159265358979;

// Scratch folders of the runs of every step; like the temporaries of the
// sheet and the pictures, named with a leading dot.
constexpr const char* every_step_prefix = ".every-step-";

TableKind expected_kind(const Calculator& c, const char* table) {
  const TableSpec* spec = table_spec(c, table);
  return spec ? TableKind(*spec) : TableKind::unknown;
}

bool is_stage(const Calculator& c) { return stage_table(c) != nullptr; }

std::string picture_name(const char* table) {
  std::string name(table);
  return name.substr(0, name.rfind('.')) + ".png";
}

std::string unit_text(const Sheet& sheet, int row) {
  if (row < 0) return {};
  std::string unit = display_text(sheet.cell(1, row));
  if (unit.size() > 24 || is_blank(unit) || unit == "-") return {};
  return unit;
}

}  // namespace

// Writes a file by a temporary beside it and a rename, so that a link or
// anything else at the path is replaced, never written through.
std::string replace_file(const std::filesystem::path& path, const std::string& bytes) {
  const std::string partial = temporary_beside(path.string());
  if (partial.empty()) return std::strerror(errno);
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out || std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = out ? std::strerror(errno) : "cannot write it";
    unlink(partial.c_str());
    return reason;
  }
  return {};
}

// Calls the entry once in a child process with the exchange folder set: a
// calculator that crashes, ends the process or runs past the timeout ends
// the child, not the host.
std::string call_entry(Entry entry, const std::filesystem::path& exchange, const std::string& what, double timeout) {
  return run_in_child(
      [&]() -> std::string {
        setenv("MERIDOXWORK", (exchange.string() + "/").c_str(), 1);
        entry();
        return {};
      },
      what, {timeout, false});
}

// The metrics of a stage history read line by line from a table file, in
// blocks, so that ten million steps need no more memory than one block.
std::optional<StageMetrics> stream_stage_metrics(const std::filesystem::path& table, const StageColumns& c) {
  const int fd = open(table.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  StageMetricsBuilder builder(c.settle_band());
  const std::size_t need = std::max(c.error, c.current) + 1;
  std::vector<double> fields(need);
  constexpr std::size_t block_size = 1 << 16;
  // One line: its first `need` TAB-separated fields, each wholly a number.
  auto take = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return true;
    for (std::size_t k = 0; k < need; ++k) {
      const std::size_t tab = line.find('\t');
      const std::optional<double> value = whole_real(line.substr(0, tab));
      if (!value) return false;
      fields[k] = *value;
      line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    }
    builder.add(fields[0], fields[c.error], fields[c.current]);
    return true;
  };
  // Uninitialised, so that a fresh process touches only the pages it reads into.
  const std::unique_ptr<char[]> block(new char[block_size]);
  std::string carried;  // a line that runs on into the next block
  bool header = true, ok = true;
  while (ok) {
    const ssize_t n = read(fd, block.get(), block_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    std::string_view rest(block.get(), static_cast<std::size_t>(n));
    for (std::size_t end; ok && (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
      std::string_view line = rest.substr(0, end);
      if (!carried.empty()) line = (carried.append(line));
      if (!header) ok = take(line);
      header = false;
      carried.clear();
    }
    carried.append(rest);
  }
  close(fd);
  if (ok && !carried.empty()) {
    if (!header) ok = take(carried);
    header = false;
  }
  if (!ok || header) return std::nullopt;
  return builder.result();
}

// Stage metrics from every step: the table itself when it prints every
// step, else a second run printing every step in a scratch folder inside
// the output folder, removed afterwards. `why_not` says why there are none.
std::optional<StageMetrics> every_step_metrics(const Calculator& c, Entry entry, const std::string& sheet,
                                               const std::filesystem::path& folder, const StageColumns& columns,
                                               double timeout, std::string& why_not) {
  const Sheet cells = sheet_of(c, sheet);
  const int interval_row = row_of(c, "print_interval");
  const long long steps = cells.integer(2, row_of(c, "step_count"));
  const int interval = cells.integer(2, interval_row);
  // A table of every step holds the N + 1 states t = 0, h, ..., N h; fewer
  // (a full disk, a stopped run) would pass part of a history for all of it.
  const std::size_t states = static_cast<std::size_t>(std::max(steps, 0LL)) + 1;
  auto complete = [&](std::optional<StageMetrics> m) -> std::optional<StageMetrics> {
    if (m && m->states != states) {
      why_not = "the table of every step holds " + std::to_string(m->states) + " of the " + std::to_string(states) +
                " states";
      return std::nullopt;
    }
    if (!m && why_not.empty()) why_not = "the table of every step cannot be read";
    return m;
  };
  if (steps <= 0 || interval == 1) return complete(stream_stage_metrics(folder / "OUT_M.txt", columns));
  if (steps > every_step_limit) {
    why_not = std::to_string(steps) + " steps are more than the 10^7 a table of every step may hold";
    return std::nullopt;
  }
  std::string pattern_text = std::string(every_step_prefix) + "XXXXXX";
  std::string scratch = (folder / pattern_text).string();
  if (mkdtemp(scratch.data()) == nullptr) {
    why_not = std::string("no scratch folder for a run of every step: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::optional<StageMetrics> metrics;
  const std::string every = with_cell_text(sheet, 2, interval_row, "1");
  if (const std::string problem = replace_file(fs::path(scratch) / "IN_FM.txt", every); !problem.empty()) {
    why_not = "cannot write the sheet of a run of every step: " + problem;
  } else if (const std::string failed = call_entry(entry, scratch, std::string(c.name) + " (every step)", timeout);
             !failed.empty()) {
    why_not = failed;
  } else {
    metrics = complete(stream_stage_metrics(fs::path(scratch) / "OUT_M.txt", columns));
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return metrics;
}

namespace {

// Whether a table that parses holds anything to draw: a grid size of 0 or a
// header without rows is a valid result with no picture.
bool has_samples(TableKind kind, const std::string& bytes) {
  if (is_map(kind)) {
    const MapTable map = parse_map(bytes);
    return !map.x.empty() && !map.y.empty();
  }
  return parse_columns(bytes).rows() > 0;
}

std::vector<std::string> every_result_file();

// What an interrupted earlier run may have left: removed before a new run.
void remove_leftovers(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool scratch = name.rfind(every_step_prefix, 0) == 0 && it->is_directory(ec) && !it->is_symlink(ec);
    bool partial = false;
    for (const std::string& result : every_result_file()) {
      partial = partial || name.rfind("." + result + ".", 0) == 0;
    }
    partial = partial || name.rfind(".IN_FM.txt.", 0) == 0;
    if (scratch) fs::remove_all(it->path(), ec);
    if (partial && it->is_regular_file(ec) && !it->is_symlink(ec)) fs::remove(it->path(), ec);
  }
}

// Every table any calculator writes: an earlier run of another calculator
// in the same folder must not leave its tables beside this run's.
std::vector<std::string> every_result_file() {
  std::vector<std::string> names;
  for (const Calculator& c : calculators()) {
    for (const char* table : c.tables) {
      for (const std::string& name : {std::string(table), picture_name(table)}) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
    }
  }
  return names;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> parse_assignment(std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  return std::pair<std::string, std::string>(text.substr(0, equals), text.substr(equals + 1));
}

std::optional<std::string> apply_settings(const Calculator& calculator, std::string sheet,
                                          const std::vector<std::pair<std::string, std::string>>& set,
                                          std::string& why) {
  for (const auto& [name, value] : set) {
    std::optional<std::string> changed = set_named_cell(calculator, sheet, name, value, why);
    if (!changed) return std::nullopt;
    sheet = std::move(*changed);
  }
  return sheet;
}

Entry load_entry(const Calculator& calc, const std::optional<std::string>& lib_dir, std::string& why) {
  const std::string library = library_path(calc, lib_dir);
  std::error_code ec;
  if (!fs::is_regular_file(library, ec)) {
    why = "the library " + library + " is missing (build it first, or give --lib-dir)";
    return nullptr;
  }
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    why = "cannot load " + library + ": " + dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<Entry>(dlsym(handle, calc.entry));
  if (entry == nullptr) why = library + " has no entry " + calc.entry;
  return entry;
}

std::string library_path(const Calculator& calc, const std::optional<std::string>& lib_dir) {
  return (fs::path(library_folder(lib_dir)) / ("lib" + std::string(calc.name) + ".so")).string();
}

std::string library_folder(const std::optional<std::string>& chosen) {
  if (chosen) return *chosen;
  if (const char* env = std::getenv("MERIDOX_LIB_DIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "lib";
  return (exe.parent_path().parent_path() / "lib").string();
}

std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes) {
  const std::string_view cell = calculator.layout->length_unit_cell;
  return unit_text(sheet_of(calculator, sheet_bytes), cell.empty() ? -1 : row_of(calculator, cell));
}

double metres_per(std::string_view unit) {
  static constexpr std::pair<std::string_view, double> units[] = {
      {"nm", 1e-9}, {"um", 1e-6}, {"\xC2\xB5m", 1e-6}, {"micron", 1e-6}, {"mm", 1e-3}, {"cm", 1e-2}, {"m", 1.0}};
  for (const auto& [name, metres] : units) {
    if (unit == name) return metres;
  }
  return not_known;
}

const TableSpec* stage_table(const Calculator& calculator) {
  for (const TableSpec& t : calculator.layout->tables) {
    if (t.metrics == MetricKind::stage) return &t;
  }
  return nullptr;
}

StageColumns stage_columns_for(const Calculator& calculator, const Sheet& sheet) {
  // The error that matters is the stage's, whichever sensor the servo reads;
  // its band is one count of that stage's sensor.
  const TableSpec* t = stage_table(calculator);
  if (t == nullptr) return stage_columns(TableKind::unknown);
  StageColumns c{static_cast<std::size_t>(t->error_column), static_cast<std::size_t>(t->current_column)};
  c.count = sheet.real(2, row_of(calculator, t->count_cell));
  return c;
}

StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes) {
  return stage_columns_for(calculator, sheet_of(calculator, sheet_bytes));
}

UnitWords unit_words(const Calculator& calculator, const Sheet& sheet) {
  UnitWords words;
  for (const TableSpec& t : calculator.layout->tables) {
    for (const UnitSpec& u : t.units) words.texts.emplace_back(u.word, unit_text(sheet, row_of(calculator, u.cell)));
  }
  return words;
}

std::string describe_run(const Calculator& calculator, std::string_view sheet_bytes, SummaryContext& context,
                         PlotOptions& plot) {
  const Sheet sheet = sheet_of(calculator, sheet_bytes);
  const std::string sheet_unit = length_unit(calculator, sheet_bytes);
  context.length_unit = sheet_unit;
  context.units = unit_words(calculator, sheet);
  bool lengths = false;  // whether a map of the calculator is drawn in lengths
  for (const TableSpec& t : calculator.layout->tables) {
    lengths = lengths || t.map_in_lengths();
    const CellSpec* pupil = calculator.layout->find(t.map.pupil_cell);
    const CellSpec* source = calculator.layout->find(t.map.source_cell);
    if (pupil != nullptr) plot.na = sheet.real(pupil->column, pupil->row);
    if (source != nullptr) plot.sigma = sheet.real(source->column, source->row);
  }
  plot.units = context.units;
  if (!plot.length_unit.empty() && plot.length_unit != sheet_unit) {
    const double from = metres_per(sheet_unit), to = metres_per(plot.length_unit);
    if (!lengths) return "--unit applies to the optics calculators' lengths only";
    if (std::isnan(to)) return "--unit takes nm, um, mm, cm or m, not \"" + plot.length_unit + "\"";
    if (std::isnan(from)) {
      return "--unit converts from the sheet's length unit, and the sheet's \"" + sheet_unit +
             "\" is none of nm, um, mm, cm, m";
    }
    plot.length_scale = from / to;
  } else {
    plot.length_unit = sheet_unit;
  }
  return {};
}

void read_mask_table(TableKind kind, const std::filesystem::path& folder, PlotOptions& options) {
  if (kind.spec() == nullptr || kind.spec()->map.mask_file.empty()) return;
  read_bounded((folder / kind.spec()->map.mask_file).string(), table_byte_limit, options.amplitude_table);
}

std::string report_table(const std::string& folder, const char* table, TableKind expected,
                         const SummaryContext& context, const PlotOptions* plot, std::ostream& out) {
  const std::string path = (fs::path(folder) / table).string();
  std::string bytes;
  if (const std::string why = read_bounded(path, table_byte_limit, bytes); !why.empty()) {
    return std::string(fs::exists(path) ? "cannot read " + std::string(table) + ": " + why
                                        : "the calculator wrote no " + std::string(table));
  }
  TableKind kind = identify_table(bytes);
  if (kind == TableKind::empty) {
    out << table << ": empty (the calculator wrote no rows), no picture\n";
    return {};
  }
  // A header in other words but the expected shape: read it as expected.
  if ((kind == TableKind::other_map && is_map(expected)) || (kind == TableKind::other_columns && !is_map(expected))) {
    kind = expected;
  }
  if (kind != expected) {
    return std::string(table) + " is not a " + describe(expected) + " (it reads as a " + describe(kind) + ")";
  }
  out << table << ": " << describe(kind) << "\n";
  Finiteness f;
  try {
    out << summary_text(kind, bytes, context);
    f = finiteness(kind, bytes);
  } catch (const TableError& e) {
    return std::string(table) + ": " + e.what();
  }
  if (f.values > 0 && f.non_finite == f.values) {
    out << "  no finite values, no picture\n";
    return std::string(table) + " holds no finite value (all " + std::to_string(f.values) + " are inf or nan)";
  }
  if (plot == nullptr) return {};
  if (!has_samples(kind, bytes)) {
    out << "  no samples, no picture\n";
    return {};
  }
  PlotOptions options = *plot;
  read_mask_table(kind, fs::path(folder), options);
  if (context.stage) {
    options.error_column = context.stage->error;
    options.count = context.stage->count;
    options.band = context.stage->settle_band();
  }
  const std::string png = (fs::path(folder) / picture_name(table)).string();
  const std::string problem = plot_table(kind, bytes, png, options);
  if (!problem.empty()) {
    out << "  no picture\n";
    return "no picture of " + std::string(table) + ": " + problem;
  }
  out << "  picture: " << png << "\n";
  return {};
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
    if (const std::string why = read_bounded(*request.sheet, sheet_byte_limit, sheet); !why.empty()) {
      err << "meridox: cannot read the sheet " << *request.sheet << ": " << why << "\n";
      return bad_input;
    }
  } else {
    sheet = std::string(example_sheet(calc->name));
  }
  std::string why;
  if (std::optional<std::string> changed = apply_settings(*calc, sheet, request.set, why)) {
    sheet = std::move(*changed);
  } else {
    err << "meridox: " << why << "\n";
    return bad_input;
  }
  SummaryContext context;
  context.cut = request.cut;
  PlotOptions plot = request.plot;
  if (const std::string problem = describe_run(*calc, sheet, context, plot); !problem.empty()) {
    err << "meridox: " << problem << "\n";
    return bad_input;
  }
  StageColumns stage = stage_columns_for(*calc, sheet);
  if (request.band) stage.band = *request.band;
  if (is_stage(*calc)) context.stage = &stage;

  const std::string library = library_path(*calc, request.lib_dir);
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
  for (const std::string& name : every_result_file()) {
    const fs::path stale = absolute / name;
    // Only regular files: a link or a special file of that name is never removed.
    if (!fs::is_symlink(stale, ec) && fs::is_regular_file(stale, ec)) fs::remove(stale, ec);
  }
  remove_leftovers(absolute);
  if (const std::string problem = replace_file(absolute / "IN_FM.txt", sheet); !problem.empty()) {
    err << "meridox: cannot write " << (absolute / "IN_FM.txt").string() << ": " << problem << "\n";
    return bad_input;
  }

  const Entry entry = load_entry(*calc, request.lib_dir, why);
  if (entry == nullptr) {
    err << "meridox: " << why << "\n";
    return not_installed;
  }
  out << calc->alias << " (" << calc->name << "): "
      << (request.sheet ? "sheet " + *request.sheet : std::string("built-in example sheet")) << "\n";
  for (const auto& [name, value] : request.set) {
    const std::optional<NamedCell> cell = named_cell(*calc, name);
    out << "set " << name << " = " << value << " (cell (" << cell->column << "," << cell->row << "))\n";
  }
  out << "output folder: " << absolute.string() << "/\n";
  out.flush();
  err.flush();
  if (const std::string failed = call_entry(entry, absolute, calc->name, request.timeout); !failed.empty()) {
    err << "meridox: " << failed << "; its tables may be incomplete\n";
    return incomplete;
  }
  if (is_stage(*calc)) {
    context.every_step =
        every_step_metrics(*calc, entry, sheet, absolute, stage, request.timeout, context.printed_rows_only);
    if (interrupted() != 0) {
      err << "meridox: " << context.printed_rows_only << "\n";
      return incomplete;
    }
  }

  // Every table is summarised before any failure is told.
  std::vector<std::string> failures;
  bool non_finite = false;
  for (const char* table : calc->tables) {
    const std::string problem = report_table(absolute.string(), table, expected_kind(*calc, table), context,
                                             request.pictures ? &plot : nullptr, out);
    if (!problem.empty()) failures.push_back(problem);
    std::string bytes;
    if (request.strict && read_bounded((absolute / table).string(), table_byte_limit, bytes).empty()) {
      try {
        non_finite = non_finite || finiteness(identify_table(bytes), bytes).non_finite > 0;
      } catch (const TableError&) {
      }
    }
  }
  out.flush();
  if (!failures.empty()) {
    err << "meridox: " << failures.front();
    if (failures.size() > 1) err << " (and " << failures.size() - 1 << " more)";
    err << "\n";
    return incomplete;
  }
  if (request.strict && (!report.warnings.empty() || non_finite)) {
    err << "meridox: --strict: " << (report.warnings.empty() ? "a table holds values that are not finite"
                                                              : std::to_string(report.warnings.size()) + " warnings")
        << "\n";
    return incomplete;
  }
  return ok;
}

}  // namespace meridox::host
