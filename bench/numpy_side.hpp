#pragma once
// Runs the numpy version of an optics run (bench/python) on a sheet in a
// child process and reads back its best time and intensity map, so that a
// benchmark can print it beside the calculator's own time.
//
// The child runs Debian's /usr/bin/python3 with OPENBLAS_CORETYPE and
// OPENBLAS_L2_SIZE removed from its environment only: set, they hold
// OpenBLAS to a slower kernel than the one it picks for this processor.
// Without python3 or numpy the side is skipped with a message.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace meridox::bench {

struct NumpySide {
  bool ran = false;
  double seconds = 0;
  std::string about;  // the BLAS it ran on, or why it did not run
  std::vector<double> map;  // the intensity map, lines along y
};

inline NumpySide run_numpy_side(const std::string& script, const std::filesystem::path& sheet,
                                int repeats) {
  NumpySide side;
  const char* python = "/usr/bin/python3";
  if (access(python, X_OK) != 0) {
    side.about = "skipped: /usr/bin/python3 is not installed";
    return side;
  }
  const auto map_file = std::filesystem::temp_directory_path() /
                        ("meridox-numpy-" + std::to_string(getpid()) + ".txt");
  const std::string command = "env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE " +
                              std::string(python) + " '" + std::string(BENCH_PYTHON_DIR) + "/" +
                              script + "' '" + sheet.string() + "' '" + map_file.string() +
                              "' " + std::to_string(repeats) + " 2>&1";
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) {
    side.about = "skipped: cannot start python3";
    return side;
  }
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
  const int status = pclose(child);
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("numpy_seconds ", 0) == 0) {
      side.seconds = std::stod(line.substr(14));
      side.ran = true;
    } else if (!line.empty()) {
      side.about += (side.about.empty() ? "" : "; ") + line;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !side.ran) {
    side.ran = false;
    side.about = "skipped: " + (side.about.empty() ? std::string("the numpy version failed") : side.about);
  }
  std::ifstream in(map_file);
  for (double v; in >> v;) side.map.push_back(v);
  std::filesystem::remove(map_file);
  return side;
}

}  // namespace meridox::bench
