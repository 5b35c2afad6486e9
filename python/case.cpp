#include "python/case.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

#include "common/sheet.hpp"
#include "host/process.hpp"
#include "host/run.hpp"
#include "host/summary.hpp"
#include "host/tables.hpp"
#include "host/text.hpp"

namespace fs = std::filesystem;

namespace meridox::python {
namespace {

using Entry = void (*)();

// A calculator keeps its state in globals, so each process loads each
// library once and only ever calls it in children of its own.
Entry loaded_entry(const host::Calculator& calculator, const std::string& library, std::string& why) {
  static std::mutex guard;
  static std::map<std::string, Entry> loaded;
  const std::lock_guard lock(guard);
  if (const auto found = loaded.find(library); found != loaded.end()) return found->second;
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    why = std::string("cannot load ") + library + ": " + dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<Entry>(dlsym(handle, calculator.entry));
  if (entry == nullptr) {
    why = library + " has no entry " + calculator.entry;
    return nullptr;
  }
  loaded.emplace(library, entry);
  return entry;
}

std::string read_table(const fs::path& path) {
  std::string bytes;
  if (const std::string why = host::read_bounded(path.string(), host::table_byte_limit, bytes); !why.empty()) {
    throw host::TableError(fs::exists(path) ? "cannot read " + path.filename().string() + ": " + why
                                            : "the calculator wrote no " + path.filename().string());
  }
  return bytes;
}

bool is_image(host::Kind kind) { return kind == host::Kind::projection || kind == host::Kind::proximity; }

// The stage metrics of a table read line by line: a history of every step
// needs no more memory than one state.
std::optional<host::StageMetrics> streamed_stage_metrics(const fs::path& table, const host::StageColumns& c) {
  std::ifstream in(table, std::ios::binary);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;  // the header
  host::StageMetricsBuilder builder(c.settle_band());
  std::vector<double> fields;
  while (std::getline(in, line)) {
    if (line.empty() || line == "\r") continue;
    fields.clear();
    const char* p = line.c_str();
    while (fields.size() <= std::max(c.error, c.current)) {
      char* end = nullptr;
      fields.push_back(std::strtod(p, &end));
      if (end == p) return std::nullopt;
      p = *end == '\t' ? end + 1 : end;
    }
    builder.add(fields[0], fields[c.error], fields[c.current]);
  }
  return builder.result();
}

// As the command's run summary: the metrics of every step, from a second run
// that prints every step (in a folder inside the case's) when the table
// prints fewer; from the printed rows when every step would be too many.
host::StageMetrics stage_case_metrics(const host::Calculator& calculator, const std::string& library,
                                      const std::string& sheet, const fs::path& folder,
                                      const host::StageColumns& columns, double timeout) {
  Sheet cells(calculator.shape);
  cells.feed(sheet);
  cells.finish();
  const int interval_row = host::row_of(calculator, "print_interval");
  const long long steps = cells.integer(2, host::row_of(calculator, "step_count"));
  const std::size_t states = static_cast<std::size_t>(std::max(steps, 0LL)) + 1;
  fs::path table = folder / "OUT_M.txt";
  if (steps > 0 && cells.integer(2, interval_row) != 1 && steps <= host::every_step_limit) {
    const fs::path every = folder / "every-step";
    fs::create_directories(every);
    const std::string failed =
        run_case(calculator, library, host::with_cell_text(sheet, 2, interval_row, "1"), every.string(), timeout);
    if (!failed.empty()) throw host::TableError("the run of every step failed: " + failed);
    table = every / "OUT_M.txt";
  }
  const std::optional<host::StageMetrics> m = streamed_stage_metrics(table, columns);
  if (!m) throw host::TableError("the stage table cannot be read");
  if (table != folder / "OUT_M.txt" && m->states != states) {
    throw host::TableError("the table of every step holds " + std::to_string(m->states) + " of the " +
                           std::to_string(states) + " states");
  }
  std::error_code ec;
  fs::remove_all(folder / "every-step", ec);
  return *m;
}

}  // namespace

std::string run_case(const host::Calculator& calculator, const std::string& library, const std::string& sheet,
                     const std::string& folder, double timeout) {
  std::string why;
  const Entry entry = loaded_entry(calculator, library, why);
  if (entry == nullptr) return why;
  const fs::path exchange = fs::absolute(folder);
  {
    std::ofstream out(exchange / "IN_FM.txt", std::ios::binary | std::ios::trunc);
    out.write(sheet.data(), static_cast<std::streamsize>(sheet.size()));
    if (!out.flush()) return "cannot write " + (exchange / "IN_FM.txt").string();
  }
  return host::run_in_child(
      [&]() -> std::string {
        setenv("MERIDOXWORK", (exchange.string() + "/").c_str(), 1);
        entry();
        return {};
      },
      calculator.name, {timeout, true});
}

std::vector<std::string> metric_names(const host::Calculator& calculator) {
  switch (calculator.kind) {
    case host::Kind::projection:
    case host::Kind::proximity: return {"peak", "contrast", "cd", "edge_left", "edge_right", "nils"};
    case host::Kind::plate: return {"max_deflection", "max_deflection_r", "max_stress", "max_pitch_error"};
    default: return {"final_error", "settling_time", "max_excursion", "overshoot", "peak_current", "rms_current"};
  }
}

std::vector<Metrics> case_metrics(const host::Calculator& calculator, const std::string& library,
                                  const std::string& sheet, const std::string& folder, const MetricOptions& options,
                                  double timeout) {
  const std::string bytes = read_table(fs::path(folder) / "OUT_M.txt");
  std::vector<Metrics> sets;
  if (is_image(calculator.kind)) {
    const host::MapTable map = host::parse_map(bytes);
    for (const double threshold : options.thresholds) {
      const host::ImageMetrics m =
          host::image_metrics(map.x, map.y, map.values, {options.cut_y, options.cut_x, threshold, options.dark});
      sets.push_back({{"peak", m.peak},
                      {"contrast", m.contrast},
                      {"cd", m.cd},
                      {"edge_left", m.edge_left},
                      {"edge_right", m.edge_right},
                      {"nils", m.nils}});
    }
    return sets;
  }
  if (calculator.kind == host::Kind::plate) {
    const host::ColumnTable table = host::parse_columns(bytes);
    if (table.columns.size() < 7) throw host::TableError("a plate table has seven columns");
    const host::PlateMetrics m = host::plate_metrics(table.columns[0], table.columns[1], table.columns[5], table.columns[6]);
    sets.push_back({{"max_deflection", m.max_deflection},
                    {"max_deflection_r", m.max_deflection_r},
                    {"max_stress", m.max_stress},
                    {"max_pitch_error", m.max_pitch_error}});
    return sets;
  }
  host::StageColumns columns = host::stage_columns_for(calculator, sheet);
  if (!std::isnan(options.band)) columns.band = options.band;
  const host::StageMetrics m = stage_case_metrics(calculator, library, sheet, folder, columns, timeout);
  sets.push_back({{"final_error", m.final_error},
                  {"settling_time", m.settling_time},
                  {"max_excursion", m.max_excursion},
                  {"overshoot", m.overshoot},
                  {"peak_current", m.peak_current},
                  {"rms_current", m.rms_current}});
  return sets;
}

}  // namespace meridox::python
