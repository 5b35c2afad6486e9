// Times main4 end to end (loaded from the built library, as the host calls
// it) and the direct evaluation of the same run on the same sheet, and
// prints both times, their ratio, the largest difference between the two
// intensity tables, and where the time of the fast run goes.
//
// Times are the CPU time of the calling thread (the calculators run on one
// thread), so that other processes on a shared machine disturb them less;
// the wall-clock time of main4 is printed beside it.
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "projection/complex_rows.hpp"
#include "projection/image.hpp"
#include "projection/parameters.hpp"
#include "projection/spectrum.hpp"
#include "projection/tables.hpp"

namespace fs = std::filesystem;
using namespace meridox;
using namespace meridox::projection;

namespace {

// The CPU time of this thread.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
  }
};

double seconds_since(double start) { return Clock::now() - start; }

using WallClock = std::chrono::steady_clock;

double direct_seconds = 0;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The numbers of an intensity table's data lines (axis values dropped).
std::vector<double> table_values(const std::string& text) {
  std::vector<double> values;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    if (number++ < 2) continue;
    std::istringstream fields(line);
    std::string field;
    bool axis = true;
    while (std::getline(fields, field, '\t')) {
      if (field.empty() || field == "\r") continue;
      if (axis) {
        axis = false;
        continue;
      }
      values.push_back(std::strtod(field.c_str(), nullptr));
    }
  }
  return values;
}

// The run of main4 with the direct image formation in place of the fast one.
// Returns the largest difference between the fast and the direct intensity
// (formed again from the same spectrum, outside the timed run) relative to
// the largest intensity.
double direct_run() {
  const auto p = std::make_unique<Parameters>();
  const auto field = std::make_unique<Field>();
  const auto spectrum = std::make_unique<Field>();
  const auto intensity = std::make_unique<Intensity>();
  const auto start = Clock::now();
  read_parameters(read_parameter_sheet(layout.grid), *p);
  mask_spectrum(*p, *field);
  *spectrum = *field;
  write_amplitude_table(exchange_file("OUT_MR.txt"), *p, *field);
  write_phase_table(exchange_file("OUT_MI.txt"), *p, *field);
  form_image_direct(*p, *field, *intensity);
  write_intensity_table(exchange_file("OUT_M.txt"), *p, *intensity);
  direct_seconds = seconds_since(start);

  const auto fast = std::make_unique<Intensity>();
  form_image(*p, *spectrum, *fast);
  double largest = 0;
  double difference = 0;
  for (int j = 0; j < p->grid_size; ++j) {
    for (int k = 0; k < p->grid_size; ++k) {
      largest = std::max(largest, std::fabs(intensity->at[j][k]));
      difference = std::max(difference, std::fabs(fast->at[j][k] - intensity->at[j][k]));
    }
  }
  return largest > 0 ? difference / largest : difference;
}

// Where the time of a fast run goes, step by step (best of `runs`).
void print_breakdown(int runs) {
  const auto p = std::make_unique<Parameters>();
  const auto field = std::make_unique<Field>();
  const auto intensity = std::make_unique<Intensity>();
  double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
  for (int r = 0; r < runs; ++r) {
    auto t = Clock::now();
    read_parameters(read_parameter_sheet(layout.grid), *p);
    best[0] = std::min(best[0], seconds_since(t));
    t = Clock::now();
    mask_spectrum(*p, *field);
    best[1] = std::min(best[1], seconds_since(t));
    t = Clock::now();
    write_amplitude_table(exchange_file("OUT_MR.txt"), *p, *field);
    write_phase_table(exchange_file("OUT_MI.txt"), *p, *field);
    best[2] = std::min(best[2], seconds_since(t));
    t = Clock::now();
    form_image(*p, *field, *intensity);
    best[3] = std::min(best[3], seconds_since(t));
    t = Clock::now();
    write_intensity_table(exchange_file("OUT_M.txt"), *p, *intensity);
    best[4] = std::min(best[4], seconds_since(t));
  }
  std::printf("  fast steps (ms): read %.2f, spectrum %.2f, spectrum tables %.2f, image %.2f, "
              "intensity table %.2f\n",
              best[0] * 1e3, best[1] * 1e3, best[2] * 1e3, best[3] * 1e3, best[4] * 1e3);
}

int bench_sheet(const fs::path& sheet, void (*main4)(), int runs) {
  const fs::path folder = fs::temp_directory_path() / ("projection-bench-" + std::to_string(getpid()));
  const fs::path fast_folder = folder / "fast";
  const fs::path direct_folder = folder / "direct";
  fs::create_directories(fast_folder);
  fs::create_directories(direct_folder);
  fs::copy_file(sheet, fast_folder / "IN_FM.txt", fs::copy_options::overwrite_existing);
  fs::copy_file(sheet, direct_folder / "IN_FM.txt", fs::copy_options::overwrite_existing);

  setenv("MERIDOXWORK", fast_folder.c_str(), 1);
  main4();  // warm-up
  std::vector<double> times;
  std::vector<double> wall_times;
  for (int r = 0; r < runs; ++r) {
    const auto wall_start = WallClock::now();
    const auto start = Clock::now();
    main4();
    times.push_back(seconds_since(start));
    wall_times.push_back(std::chrono::duration<double>(WallClock::now() - wall_start).count());
  }
  std::sort(times.begin(), times.end());
  std::sort(wall_times.begin(), wall_times.end());
  const double fast = times.front();
  const double median = times[times.size() / 2];

  setenv("MERIDOXWORK", direct_folder.c_str(), 1);
  const double relative_difference = direct_run();
  const double direct = direct_seconds;

  const std::vector<double> a = table_values(read_file(fast_folder / "OUT_M.txt"));
  const std::vector<double> b = table_values(read_file(direct_folder / "OUT_M.txt"));
  double largest = 0;
  double difference = 0;
  for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
    largest = std::max(largest, std::fabs(b[k]));
    difference = std::max(difference, std::fabs(a[k] - b[k]));
  }
  const bool same_spectrum =
      read_file(fast_folder / "OUT_MR.txt") == read_file(direct_folder / "OUT_MR.txt") &&
      read_file(fast_folder / "OUT_MI.txt") == read_file(direct_folder / "OUT_MI.txt");

  std::printf("%s\n", sheet.filename().c_str());
  std::printf("  main4 end to end: %.2f ms (best of %d), median %.2f ms; wall clock best %.2f ms\n",
              fast * 1e3, runs, median * 1e3, wall_times.front() * 1e3);
  std::printf("  direct evaluation: %.1f ms\n", direct * 1e3);
  std::printf("  ratio direct / main4: %.1f\n", direct / fast);
  std::printf("  intensity tables: %zu values, largest %.6f, largest printed difference %.6f; "
              "spectrum tables %s\n",
              a.size(), largest, difference, same_spectrum ? "identical" : "DIFFER");
  std::printf("  fast against direct intensity: largest difference %.2e of the largest value\n",
              relative_difference);
  setenv("MERIDOXWORK", fast_folder.c_str(), 1);
  print_breakdown(runs);
  fs::remove_all(folder);
  return a.size() == b.size() && same_spectrum ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> sheets;
  for (int a = 1; a < argc; ++a) sheets.emplace_back(argv[a]);
  if (sheets.empty()) {
    sheets = {fs::path(BENCH_SHEETS) / "projection-a.txt", fs::path(BENCH_SHEETS) / "projection-c.txt"};
  }
  void* library = dlopen(ORVALIS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", ORVALIS_LIBRARY);
    return 2;
  }
  const auto main4 = reinterpret_cast<void (*)()>(dlsym(library, "main4"));
  if (main4 == nullptr) {
    std::fprintf(stderr, "no main4 in %s\n", ORVALIS_LIBRARY);
    return 2;
  }
  std::printf("image kernels: %s\n", sum_rows_avx2() != nullptr ? "AVX2 and FMA" : "baseline x86-64");
  int status = 0;
  for (const fs::path& sheet : sheets) status |= bench_sheet(sheet, main4, 20);
  return status;
}
