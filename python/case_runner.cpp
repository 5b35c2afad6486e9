// meridox-cases: runs the cases of a study for the Python package, with the
// host's study machinery, in a small process of its own. A child forked from
// a Python process copies the interpreter's whole address space (numpy,
// pandas, a Dask worker) for every case; forked from this program it copies
// almost nothing, so a study from Python costs what the command's costs.
//
// Standard input, one item a line: calculator, library folder, cases folder,
// jobs, timeout, keep_tables (0 or 1), thresholds (space-separated), cut_y,
// cut_x, dark (0 or 1), band ("" for none), the number of varied parameters
// and their names one a line, the base sheet's size in bytes and its bytes,
// then one case a line: its name, a TAB and its values (space-separated).
// A library that cannot be loaded fails every case with the reason.
// Numbers are the shortest text that reads back as the same double.
//
// Standard output: "done N F" after each case that ends (N done, F failed),
// then one line per case in case order: name, TAB, status, TAB, the metric
// rows separated by ";", each row's values separated by spaces, TAB, 1 when
// the case's results were reused from its folder, else 0.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/process.hpp"
#include "host/core/library.hpp"
#include "host/study/study.hpp"

namespace {

using namespace meridox::host;

double number(std::string_view text) {
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) throw std::runtime_error("not a number: " + std::string(text));
  return value;
}

std::vector<double> numbers(const std::string& line) {
  std::vector<double> values;
  std::istringstream words(line);
  for (std::string word; words >> word;) values.push_back(number(word));
  return values;
}

std::string line_of(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) throw std::runtime_error("the request ends early");
  return line;
}

int serve(std::istream& in) {
  StudySpec spec;
  spec.calculator = line_of(in);
  const Calculator* calc = find_calculator(spec.calculator);
  if (calc == nullptr) throw std::runtime_error("unknown calculator " + spec.calculator);
  const std::string lib_dir = line_of(in), cases_folder = line_of(in);
  const int jobs = static_cast<int>(number(line_of(in)));
  spec.timeout = number(line_of(in));
  spec.keep_tables = line_of(in) == "1";
  spec.thresholds = numbers(line_of(in));
  spec.cut.cut_y = number(line_of(in));
  spec.cut.cut_x = number(line_of(in));
  spec.cut.dark = line_of(in) == "1";
  if (const std::string band = line_of(in); !band.empty()) spec.band = number(band);
  const int varied = static_cast<int>(number(line_of(in)));
  for (int k = 0; k < varied; ++k) spec.vary.push_back({line_of(in), {0.0}});
  spec.sheet.resize(static_cast<std::size_t>(number(line_of(in))));
  if (!in.read(spec.sheet.data(), static_cast<std::streamsize>(spec.sheet.size()))) {
    throw std::runtime_error("the sheet ends early");
  }
  // The names are checked once, on the first case's values.
  std::vector<StudyCase> cases;
  std::string why;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const std::size_t tab = line.find('\t');
    const std::vector<double> values = numbers(tab == std::string::npos ? "" : line.substr(tab + 1));
    if (values.size() != spec.vary.size()) throw std::runtime_error("one value per varied parameter");
    if (cases.empty()) {
      for (std::size_t k = 0; k < values.size(); ++k) spec.vary[k].values = {values[k]};
      if (!study_cases(*calc, spec, why)) throw std::runtime_error(why);
    }
    cases.push_back({line.substr(0, tab), values});
  }
  // A library that cannot be loaded or read fails every case with its
  // reason (a worker of a cluster without it fails its batches, and the
  // study keeps the rows of the others).
  const Entry entry = load_entry(*calc, lib_dir, why);
  if (entry != nullptr) {
    const std::string path = library_path(*calc, lib_dir);
    if (const std::string problem = library_build(path, spec.library); !problem.empty()) {
      why = "cannot read the library " + path + ": " + problem;
    }
  }
  std::vector<CaseResult> results;
  if (entry == nullptr || spec.library.path.empty()) {
    results.assign(cases.size(), failed_case(*calc, spec, why));
    for (std::size_t k = 0; k < cases.size(); ++k) std::cout << "done " << k + 1 << ' ' << k + 1 << '\n';
    std::cout.flush();
  } else {
    results = run_cases(*calc, entry, spec, cases, cases_folder, jobs, [&](std::size_t done, std::size_t failed) {
      std::cout << "done " << done << ' ' << failed << '\n' << std::flush;
    });
  }
  if (interrupted() != 0) end_if_interrupted();
  for (std::size_t k = 0; k < cases.size(); ++k) {
    std::string status = results[k].status;
    std::replace_if(status.begin(), status.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    std::cout << cases[k].name << '\t' << status << '\t';
    for (std::size_t r = 0; r < results[k].metrics.size(); ++r) {
      for (std::size_t m = 0; m < results[k].metrics[r].size(); ++m) {
        std::cout << (m ? " " : (r ? ";" : "")) << number_text(results[k].metrics[r][m]);
      }
    }
    std::cout << '\t' << (results[k].reused ? 1 : 0) << '\n';
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}

}  // namespace

// With the pid of the process that started it as its argument, it ends
// (and ends the cases' children) when that process ends.
int main(int argc, char** argv) {
  if (argc > 1) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != static_cast<pid_t>(std::atoll(argv[1]))) return 1;
  }
  try {
    return serve(std::cin);
  } catch (const std::exception& e) {
    std::cerr << "meridox-cases: " << e.what() << "\n";
    return 2;
  }
}
