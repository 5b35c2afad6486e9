// The cost of a study next to the calculator's own time: a 1,000-case study
// of the stage example (position gain varied) by `meridox study -j 2`, against
// 1,000 calls of the stage library's entry in one process on the example
// sheet as it is and on the sheet that prints every step (what a study case
// runs to have its metrics from every step). Target: the study takes less
// than 1.5 times the calculator's time for the 1,000 runs divided by 2.
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

// 1,000 calls of the entry on one sheet, in this process.
double calculator_cpu = 0.0;

double calculator_seconds(Entry entry, const fs::path& folder, const std::string& sheet) {
  replace_file(folder / "IN_FM.txt", sheet);
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  const double cpu = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < cases; ++k) entry();
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

// `extra` is added to the study's options.
double study_seconds(const fs::path& out, const std::string& extra = "") {
  fs::remove_all(out);
  const std::string command = std::string("'") + MERIDOX_EXE + "' study stage --vary position_gain=40:120:" +
                              std::to_string(cases) + " -j 2 --no-pictures --lib-dir '" + MERIDOX_LIB_DIR + "' -o '" +
                              out.string() + "' " + extra + " >/dev/null";
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

}  // namespace

// The study folder (and the calculator's) lies in the folder given as the
// first argument, the temporary folder otherwise: its file system's cost of
// making a folder and files is part of every case.
int main(int argc, char** argv) {
  const Calculator& calc = *find_calculator("stage");
  std::string why;
  const Entry entry = load_entry(calc, std::string(MERIDOX_LIB_DIR), why);
  if (entry == nullptr) {
    std::fprintf(stderr, "study_bench: %s\n", why.c_str());
    return 1;
  }
  const fs::path scratch = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) /
                           ("meridox-study-bench-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const std::string example(example_sheet(calc.name));
  const std::optional<NamedCell> interval = named_cell(calc, "print_interval");
  const std::string every = with_cell_text(example, interval->column, interval->row, "1");
  std::vector<double> plain, dense, study, plain_cpu, study_cpus, empty, short_study;
  for (int round = 0; round < 3; ++round) {
    plain.push_back(calculator_seconds(entry, scratch, example));
    plain_cpu.push_back(calculator_cpu);
    dense.push_back(calculator_seconds(entry, scratch, every));
    study.push_back(study_seconds(scratch / "study"));
    study_cpus.push_back(study_cpu);
    empty.push_back(empty_children_seconds());
    short_study.push_back(study_seconds(scratch / "short", "--set step_count=9"));
  }
  const double p = median(plain), d = median(dense), s = median(study);
  std::printf("1,000 runs of the stage example in one process: %.3f s (median of 3; %.3f to %.3f)\n", p,
              *std::min_element(plain.begin(), plain.end()), *std::max_element(plain.begin(), plain.end()));
  std::printf("1,000 runs printing every step:                 %.3f s (median of 3; %.3f to %.3f)\n", d,
              *std::min_element(dense.begin(), dense.end()), *std::max_element(dense.begin(), dense.end()));
  std::printf("meridox study, 1,000 cases, -j 2:               %.3f s (median of 3; %.3f to %.3f)\n", s,
              *std::min_element(study.begin(), study.end()), *std::max_element(study.begin(), study.end()));
  std::printf("study / (runs as in the sheet / 2):      %.2f (target below 1.5)\n", s / (p / 2));
  std::printf("study / (runs printing every step / 2):  %.2f\n", s / (d / 2));
  std::printf("processor time: study %.3f s, 1,000 runs as in the sheet %.3f s, ratio %.2f (medians)\n",
              median(study_cpus), median(plain_cpu), median(study_cpus) / median(plain_cpu));
  std::printf("where the rest goes (medians of 3):\n");
  std::printf("  1,000 empty children of this process, two at a time: %.3f s\n", median(empty));
  std::printf("  the same study of 9 steps a case (the machinery alone): %.3f s\n", median(short_study));
  std::printf("study folder on %s\n", scratch.parent_path().c_str());
  fs::remove_all(scratch);
  return 0;
}
