#include "python/case.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

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

}  // namespace

NamedCell named_cell(const host::Calculator& calculator, std::string_view name) {
  for (const host::Cell& cell : calculator.cells) {
    if (name == cell.name) return {2, cell.row, cell.integer};
  }
  if (!calculator.has_rectangles) return {};
  for (int column = 0; column < 6; ++column) {
    const std::string_view prefix = host::rectangle_columns[column];
    if (name.size() < prefix.size() + 3 || name.substr(0, prefix.size()) != prefix || name[prefix.size()] != '[' ||
        name.back() != ']') {
      continue;
    }
    const std::string_view digits = name.substr(prefix.size() + 1, name.size() - prefix.size() - 2);
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return {};
    }
    const int q = std::atoi(std::string(digits).c_str());
    if (q >= calculator.rectangles.max_count) return {};
    return {column + 1, calculator.rectangles.first_row + q, false};
  }
  return {};
}

std::vector<std::string> parameter_names(const host::Calculator& calculator) {
  std::vector<std::string> names;
  for (const host::Cell& cell : calculator.cells) names.emplace_back(cell.name);
  if (calculator.has_rectangles) {
    for (const char* column : host::rectangle_columns) names.push_back(std::string(column) + "[q]");
  }
  return names;
}

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

std::vector<Metrics> case_metrics(const host::Calculator& calculator, const std::string& sheet,
                                  const std::string& folder, const MetricOptions& options) {
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
  const host::ColumnTable table = host::parse_columns(bytes);
  if (calculator.kind == host::Kind::plate) {
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
  if (table.columns.size() <= std::max(columns.error, columns.current)) {
    throw host::TableError("the stage table has too few columns");
  }
  const host::StageMetrics m = host::stage_table_metrics(table, columns);
  sets.push_back({{"final_error", m.final_error},
                  {"settling_time", m.settling_time},
                  {"max_excursion", m.max_excursion},
                  {"overshoot", m.overshoot},
                  {"peak_current", m.peak_current},
                  {"rms_current", m.rms_current}});
  return sets;
}

}  // namespace meridox::python
