// The cost of a study next to the calculator's own time, side by side in one
// run:
// - a 2,000-case projection study of the example (defocus x sigma, -j 2)
//   against 2,000 calls of the projection entry back to back in this warm
//   process, divided by 2 (target: at most 2 times);
// - a 1,000-case stage study (position gain varied, -j 2) against 1,000
//   calls of the stage entry on the sheet printing every step, which is
//   what a stage case runs, divided by 2 (target: at most 2 times), and on
//   the example as it is;
// - a 10,000-case projection study (target: under 15 s on two cores) and its
//   study folder's bytes per case beside study.csv (target: under 1 KB).
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/files.hpp"
#include "host/core/library.hpp"
#include "host/core/text.hpp"

#include <unistd.h>

namespace fs = std::filesystem;
using namespace meridox::host;

namespace {

constexpr int cases = 1000;
constexpr int projection_cases = 2000;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds of this process and its ended children so far.
double cpu_seconds() {
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return s(self.ru_utime) + s(self.ru_stime) + s(children.ru_utime) + s(children.ru_stime);
}

// `calls` calls of the entry on one sheet, in this process (warm after
// the first).
double calculator_cpu = 0.0;

double calculator_seconds(Entry entry, const fs::path& folder, const std::string& sheet, int calls = cases) {
  replace_file(folder / "IN_FM.txt", sheet);
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  const double cpu = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < calls; ++k) entry();
  calculator_cpu = cpu_seconds() - cpu;
  return seconds_since(start);
}

// 1,000 children of this process that end at once, two at a time as the
// study's are: what a process of its own costs a case on this system.
double empty_children_seconds() {
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < cases; k += 2) {
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      if (child == 0) _exit(0);
    }
    for (const pid_t child : children) waitpid(child, nullptr, 0);
  }
  return seconds_since(start);
}

double study_cpu = 0.0;

// A study of `calc` with `options` (its --vary and more) into `out`, afresh.
double study_seconds(const fs::path& out, const std::string& calc, const std::string& options) {
  fs::remove_all(out);
  const std::string command = std::string("'") + MERIDOX_EXE + "' study " + calc + " " + options +
                              " -j 2 --no-pictures --lib-dir '" + MERIDOX_LIB_DIR + "' -o '" + out.string() +
                              "' >/dev/null 2>&1";
  const double cpu = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = seconds_since(start);
  study_cpu = cpu_seconds() - cpu;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "study_bench: the study failed\n");
    std::exit(1);
  }
  return seconds;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The bytes a study folder holds beside its study.csv.
std::uintmax_t bytes_beside_table(const fs::path& folder) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path() != folder / "study.csv") bytes += entry.file_size();
  }
  return bytes;
}

void print_times(const char* what, const std::vector<double>& t) {
  std::printf("%-52s %7.3f s (median of %zu; %.3f to %.3f)\n", what, median(t), t.size(),
              *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()));
}

}  // namespace

// The study folders (and the calculator's) lie in the folder given as the
// first argument, the temporary folder otherwise: its file system's cost of
// making files is part of a study. Cases that keep no tables run in
// /dev/shm wherever the study folder is.
int main(int argc, char** argv) {
  const Calculator& stage = *find_calculator("stage");
  const Calculator& projection = *find_calculator("projection");
  std::string why;
  const Entry stage_entry = load_entry(stage, std::string(MERIDOX_LIB_DIR), why);
  const Entry projection_entry = stage_entry ? load_entry(projection, std::string(MERIDOX_LIB_DIR), why) : nullptr;
  if (projection_entry == nullptr) {
    std::fprintf(stderr, "study_bench: %s\n", why.c_str());
    return 1;
  }
  const fs::path scratch = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) /
                           ("meridox-study-bench-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const std::string example(example_sheet(stage.name));
  const std::optional<NamedCell> interval = named_cell(stage, "print_interval");
  const std::string every = with_cell_text(example, interval->column, interval->row, "1");
  const std::string projection_example(example_sheet(projection.name));
  const std::string stage_study = "--vary position_gain=40:120:" + std::to_string(cases);
  const std::string projection_study = "--vary defocus=-1.5:1.5:40 --vary sigma=0.3:0.9:50";
  std::vector<double> plain, dense, study, plain_cpu, study_cpus, empty, short_study, optics, optics_study;
  std::vector<double> optics_cpu, optics_study_cpu;
  for (int round = 0; round < 3; ++round) {
    optics.push_back(calculator_seconds(projection_entry, scratch, projection_example, projection_cases));
    optics_cpu.push_back(calculator_cpu);
    optics_study.push_back(study_seconds(scratch / "projection", "projection", projection_study));
    optics_study_cpu.push_back(study_cpu);
    plain.push_back(calculator_seconds(stage_entry, scratch, example));
    plain_cpu.push_back(calculator_cpu);
    dense.push_back(calculator_seconds(stage_entry, scratch, every));
    study.push_back(study_seconds(scratch / "study", "stage", stage_study));
    study_cpus.push_back(study_cpu);
    empty.push_back(empty_children_seconds());
    short_study.push_back(study_seconds(scratch / "short", "stage", stage_study + " --set step_count=9"));
  }
  const double large = study_seconds(scratch / "large", "projection", "--vary defocus=-1.5:1.5:100 --vary sigma=0.3:0.9:100");
  const double large_bytes = static_cast<double>(bytes_beside_table(scratch / "large")) / 10000.0;

  const double o = median(optics), os = median(optics_study);
  print_times("2,000 projection calls in one warm process:", optics);
  print_times("meridox study projection, 2,000 cases, -j 2:", optics_study);
  std::printf("projection study / (warm calls / 2):  %.2f (target at most 2)\n", os / (o / 2));
  std::printf("processor time: projection study %.3f s, 2,000 warm calls %.3f s, ratio %.2f (medians; the\n"
              "  wall-time ratio a study with both cores to itself comes to)\n\n",
              median(optics_study_cpu), median(optics_cpu), median(optics_study_cpu) / median(optics_cpu));
  const double p = median(plain), d = median(dense), s = median(study);
  print_times("1,000 stage calls printing every step:", dense);
  print_times("1,000 stage calls of the example as it is:", plain);
  print_times("meridox study stage, 1,000 cases, -j 2:", study);
  std::printf("stage study / (calls printing every step / 2):  %.2f (target at most 2)\n", s / (d / 2));
  std::printf("stage study / (calls as in the sheet / 2):      %.2f\n", s / (p / 2));
  std::printf("processor time: stage study %.3f s, 1,000 calls as in the sheet %.3f s (medians)\n", median(study_cpus),
              median(plain_cpu));
  std::printf("where the stage study's time goes (medians of 3):\n");
  std::printf("  1,000 empty children of this process, two at a time: %.3f s\n", median(empty));
  std::printf("  the same study of 9 steps a case (the machinery alone): %.3f s\n\n", median(short_study));
  std::printf("meridox study projection, 10,000 cases, -j 2: %.3f s (target under 15 s)\n", large);
  std::printf("its study folder beside study.csv: %.0f bytes a case (target under 1,024)\n", large_bytes);
  std::printf("study folders on %s\n", scratch.parent_path().c_str());
  fs::remove_all(scratch);
  return 0;
}
