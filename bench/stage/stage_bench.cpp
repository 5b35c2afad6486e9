// Speed of the three stage simulators, loaded as the host loads them, next
// to the literal evaluation of the tests on the same sheets: steps per second
// with a row every 1000 steps, and rows per second with a row every step.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "reference.hpp"
#include "support/harness.hpp"

namespace {

using meridox::testing::ExchangeFolder;
using meridox::testing::Library;
using meridox::testing::deliverable;
namespace ref = meridox::testing::stage_reference;
using ref::Cells;
using ref::Simulator;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A stable servo for each simulator; rows `count` and `count + 1` take N and M.
Cells sheet(Simulator sim) {
  switch (sim) {
    case Simulator::nut:
      return {{1, 0}, {2, 1e-4}, {3, 1e-4}, {4, 5}, {5, 2}, {6, 10}, {7, 0.1}, {8, 0.5},
              {9, 5}, {10, 0.5}, {11, 2e6}, {12, 3.93e5}, {13, 5508}, {14, 0.01}, {15, 0.4},
              {16, -1}, {17, 0.5}, {18, -1}, {19, 5e-5}};
    case Simulator::single:
      return {{1, 1}, {2, 1}, {3, 10}, {4, 1e-3}, {5, 2}, {6, 0.5}, {7, 1600}, {8, 40},
              {9, 0.01}, {10, 2.3}, {11, -4}, {12, 2e-4}};
    default:
      return {{1, 1}, {2, 1}, {3, 10}, {4, 1e-3}, {5, 2}, {6, 0.5}, {7, 1600}, {8, 40},
              {9, 0.01}, {10, 2.3}, {11, -4}, {12, 2e-4}, {15, 30}, {16, 3000}, {17, 0.2}};
  }
}

void measure(Simulator sim, int steps, int interval) {
  const char* name = ref::library_name(sim);
  Cells cells = sheet(sim);
  const int count_row = sim == Simulator::nut ? 20 : 13;
  cells[count_row] = steps;
  cells[count_row + 1] = interval;

  ExchangeFolder folder;
  folder.write_sheet(ref::sheet_text(sim, cells));
  Library library(deliverable(name).library);
  const Library::Entry entry = library.entry(deliverable(name).entry);
  auto start = std::chrono::steady_clock::now();
  entry();
  const double fast = seconds_since(start);

  double current = 0;
  start = std::chrono::steady_clock::now();
  const std::string expected = ref::table(sim, cells, current);
  std::ofstream(folder.path() / "reference.txt", std::ios::binary) << expected;
  const double direct = seconds_since(start);

  const std::string actual = folder.read("OUT_M.txt");
  const std::string first_row_cut = actual.substr(actual.find('\n'));  // carried current aside
  const bool same = first_row_cut.substr(first_row_cut.find('\n', 1)) ==
                    expected.substr(expected.find('\n', expected.find('\n') + 1));
  const double rows = steps / interval + 1.0;
  std::printf("%s N=%d M=%-5d library %.3f s (%.3g steps/s, %.3g rows/s)  literal %.3f s  ratio %.1fx%s\n",
              name, steps, interval, fast, steps / fast, rows / fast, direct, direct / fast,
              same ? "" : "  TABLES DIFFER");
  const std::size_t last = actual.rfind('\n', actual.size() - 2);
  std::printf("    last row: %s", actual.substr(last + 1).c_str());
}

}  // namespace

int main() {
  for (Simulator sim : {Simulator::nut, Simulator::single, Simulator::base}) {
    measure(sim, 1000000, 1000);
    measure(sim, 1000000, 1);
  }
}
