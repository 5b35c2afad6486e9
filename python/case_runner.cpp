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
//
// With "serve CALCULATOR LIBRARY_FOLDER" after the pid it stays, for the
// single runs of one Python process: the library is loaded once, and each
// request on standard input runs one case (see serve_runs for the children
// that run them). A request is a line "F S" (the byte counts of the case
// folder and the sheet), a line of options separated by TABs (timeout,
// thresholds space-separated, cut_y, cut_x, dark 0 or 1, band or ""), then
// the folder's bytes and the sheet's bytes. The answer is the case's line
// as above (name "run", status, metric rows, reuse flag) followed by the
// sheet's warnings (see warnings_block). It ends when its standard input
// closes or the process that started it ends.
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/check.hpp"
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

// One line per case: name, status, metric rows, reuse flag (see above).
std::string result_line(const std::string& name, const CaseResult& result) {
  std::string status = result.status;
  std::replace_if(status.begin(), status.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  std::string line = name + '\t' + status + '\t';
  for (std::size_t r = 0; r < result.metrics.size(); ++r) {
    for (std::size_t m = 0; m < result.metrics[r].size(); ++m) {
      line += (m ? " " : (r ? ";" : "")) + number_text(result.metrics[r][m]);
    }
  }
  return line + '\t' + (result.reused ? "1" : "0") + '\n';
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
  for (std::size_t k = 0; k < cases.size(); ++k) std::cout << result_line(cases[k].name, results[k]);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

// The case's study options from a request's line of options.
void read_options(const std::string& line, StudySpec& spec) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (line.ends_with('\t')) fields.emplace_back();
  if (fields.size() != 6) throw std::runtime_error("a request's options are six fields");
  spec.timeout = number(fields[0]);
  spec.thresholds = numbers(fields[1]);
  spec.cut.cut_y = number(fields[2]);
  spec.cut.cut_x = number(fields[3]);
  spec.cut.dark = fields[4] == "1";
  spec.band.reset();
  if (!fields[5].empty()) spec.band = number(fields[5]);
}

std::string bytes_of(std::istream& in, std::size_t count) {
  std::string bytes(count, '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(count))) throw std::runtime_error("the request ends early");
  return bytes;
}

// The sheet's warnings after a run's answer line: their count on a line,
// then each as a line of the byte counts of its code, cell name ("" for
// none) and message, followed by those bytes.
std::string warnings_block(const Calculator& calc, const std::string& sheet) {
  const CheckReport report = check_sheet(calc, sheet);
  std::string block = std::to_string(report.warnings.size()) + "\n";
  for (const Warning& w : report.warnings) {
    const std::string cell = report.cell_of(w);
    block += std::to_string(w.code.size()) + ' ' + std::to_string(cell.size()) + ' ' +
             std::to_string(w.message.size()) + '\n' + w.code + cell + w.message;
  }
  return block;
}

// A request handed to the warm child: the options line, the folder's byte
// count on a line, the folder's bytes, the sheet's bytes.
std::string warm_request(const std::string& options, const std::string& folder, const std::string& sheet) {
  return options + "\n" + std::to_string(folder.size()) + "\n" + folder + sheet;
}

// In the warm child: the request's case run here, its answer line, and the
// sheet's warnings after a run that completed. With `as_loaded`, each call of
// the entry starts from the library's memory as loaded.
ChildWork serve_warm(const Calculator& calc, Entry entry, const LoadedState* as_loaded, const LibraryBuild& build,
                     const std::string& request) {
  // The calculator's large arrays stay in the heap between runs instead of
  // going back to the system at each run's end and being faulted in anew,
  // zero page by zero page, at the next.
  static const bool kept = mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 1 << 30) == 1;
  static_cast<void>(kept);
  std::istringstream in(request);
  StudySpec spec;
  spec.calculator = calc.name;
  spec.keep_tables = true;
  spec.library = build;
  read_options(line_of(in), spec);
  const std::string folder = bytes_of(in, static_cast<std::size_t>(number(line_of(in))));
  spec.sheet = request.substr(static_cast<std::size_t>(in.tellg()));
  const CaseResult result = run_case_here(calc, entry, spec, {"run", {}}, folder, as_loaded);
  return {true, result_line("run", result) + (result.completed() ? warnings_block(calc, spec.sheet) : "0\n")};
}

// Single runs, one a request, until standard input closes. The runs go to
// one child that stays warm (a run that ends it costs that run only, the
// next one starts a new child, forked from this process, which never calls
// the entry). A calculator that recomputes everything at every call (the
// optics) is called there as it is; the others carry state from call to
// call, so the library's memory as loaded, copied here, is put back before
// each of their calls. Where that memory cannot be found, each of their runs
// starts from the library as loaded in a child of run_case's instead.
int serve_runs(const std::string& calculator, const std::string& lib_dir, std::istream& in) {
  const Calculator* calc = find_calculator(calculator);
  if (calc == nullptr) throw std::runtime_error("unknown calculator " + calculator);
  std::string why;
  const Entry entry = load_entry(*calc, lib_dir, why);
  LibraryBuild build;
  if (entry != nullptr) {
    const std::string path = library_path(*calc, lib_dir);
    if (const std::string problem = library_build(path, build); !problem.empty()) {
      why = "cannot read the library " + path + ": " + problem;
    }
  }
  std::optional<LoadedState> as_loaded;
  if (std::string not_found; entry != nullptr && !calc->layout->recomputes_every_call) {
    as_loaded = LoadedState::of(entry, not_found);
  }
  const bool warm_runs = calc->layout->recomputes_every_call || as_loaded;
  std::unique_ptr<WarmWorker> warm;  // with the timeout of its runs
  double warm_timeout = 0.0;
  for (std::string sizes; std::getline(in, sizes);) {
    const std::vector<double> counts = numbers(sizes);
    if (counts.size() != 2) throw std::runtime_error("a request starts with two byte counts");
    StudySpec spec;
    spec.calculator = calc->name;
    spec.keep_tables = true;
    spec.library = build;
    const std::string options = line_of(in);
    read_options(options, spec);
    const std::string folder = bytes_of(in, static_cast<std::size_t>(counts[0]));
    spec.sheet = bytes_of(in, static_cast<std::size_t>(counts[1]));
    const StudyCase run{"run", {}};
    // The sheet's warnings come with the answer (the warm child works them
    // out after the run; here, after a run in a child of its own), those of
    // a run that failed are left out.
    std::string answer;
    if (entry == nullptr || build.path.empty() || !study_cases(*calc, spec, why)) {
      answer = result_line(run.name, failed_case(*calc, spec, why)) + "0\n";
    } else if (warm_runs) {
      if (!warm || warm_timeout != spec.timeout) {
        warm.reset();
        warm_timeout = spec.timeout;
        const LoadedState* state = as_loaded ? &*as_loaded : nullptr;
        warm = std::make_unique<WarmWorker>(
            [calc, entry, state, &build](const std::string& request) {
              return serve_warm(*calc, entry, state, build, request);
            },
            ChildOptions{spec.timeout, false});
      }
      const ChildOutcome outcome = warm->call(warm_request(options, folder, spec.sheet), "case " + run.name);
      answer = outcome.ok ? outcome.text : result_line(run.name, failed_case(*calc, spec, outcome.text)) + "0\n";
    } else {
      const CaseResult result = run_case(*calc, entry, spec, run, folder);
      answer = result_line(run.name, result) + (result.completed() ? warnings_block(*calc, spec.sheet) : "0\n");
    }
    if (interrupted() != 0) end_if_interrupted();
    std::cout << answer << std::flush;
    if (!std::cout) return 1;
  }
  return 0;
}

// Ends this process once the process with `pid` has ended, whichever of its
// threads started this one: as a terminate signal does (a running case's
// child is ended first), and at the latest two seconds later (a signal only
// noted while a warm child lives, with the input still open in a process
// that process had forked).
void end_with(pid_t pid) {
  std::thread([pid] {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
      pollfd watched{fd, POLLIN, 0};
      while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
      }
    } else {
      while (getppid() == pid) usleep(100'000);
    }
    kill(getpid(), SIGTERM);
    sleep(2);
    _exit(1);
  }).detach();
}

}  // namespace

// With the pid of the process that started it as its argument, it ends
// (and ends the cases' children) when that process ends.
// With "serve" after the pid, it serves single runs (see above) and ends
// with that process, whichever of its threads started it.
int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[2]) == "serve") {
    const pid_t parent = static_cast<pid_t>(std::atoll(argv[1]));
    if (getppid() != parent) return 1;
    end_with(parent);
    try {
      return serve_runs(argv[3], argv[4], std::cin);
    } catch (const std::exception& e) {
      std::cerr << "meridox-cases: " << e.what() << "\n";
      return 2;
    }
  }
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
