// Stand-ins for three calculators with tables whose every value follows from a
// formula of the sheet's values, so that the tests can work out the host's
// summaries on their own. Built as liborvalis.so, libdrovik2.so and libtalvek.so in a
// folder of their own and loaded by `meridox run --lib-dir`.
#include <cmath>

#include "common/exchange.hpp"
#include "common/export.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"
#include "plate/layout.hpp"
#include "projection/layout.hpp"

#if defined(FAKE_ORVALIS)
#include <unistd.h>

#include <cstdlib>

namespace {

// Map tables in the projection layout: title, axis line, N data lines, an
// empty last line. Value at sample (q, j): 1 + q + 2 j.
void write_map(const char* file, const char* title, int n, double step) {
  meridox::TableWriter table(meridox::exchange_file(file));
  table.text(title);
  table.text("\n\t");
  const int c0 = n / 2;
  for (int q = 0; q < n; ++q) table.field(step * (q - c0));
  table.end_line();
  for (int j = 0; j < n; ++j) {
    table.field(step * (j - c0));
    for (int q = 0; q < n; ++q) table.field(1.0 + q + 2.0 * j);
    table.end_line();
  }
  table.end_line();
}

}  // namespace

// A defocus of 7 ends the process with status 3, 8 runs for ever and 9
// aborts, for the cases of a study that end badly; 6 returns without a
// table, and 5 removes its exchange folder and returns, as if its folder
// had been removed from outside.
MERIDOX_ENTRY void main4() {
  const meridox::Sheet sheet = meridox::read_parameter_sheet(meridox::projection::layout.grid);
  const double defocus = sheet.real(2, 9);
  if (defocus == 7) std::exit(3);
  while (defocus == 8) pause();
  if (defocus == 9) std::abort();
  if (defocus == 6) return;
  if (defocus == 5) {
    unlink(meridox::exchange_file(meridox::sheet_name).c_str());
    rmdir(meridox::exchange_folder().c_str());
    return;
  }
  const int n = sheet.integer(2, 2);
  const double pitch = sheet.real(2, 3);
  write_map("OUT_MR.txt", "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc\x94\x67\x93\xae\x90\x55\x95\x9d",
            n, 1.0 / (n * pitch));
  write_map("OUT_MI.txt", "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc\x8c\xf5\x82\xcc\x88\xca\x91\x8a",
            n, 1.0 / (n * pitch));
  write_map("OUT_M.txt", "\x93\x8a\x89\x65\x91\x9c\x8c\xf5\x8b\xad\x93\x78\x95\xaa\x95\x7a\x49\x49\x5b\x69\x5d\x5b\x6a\x5d", n,
            pitch);
}
#endif

#if defined(FAKE_DROVIK2)
#include <unistd.h>

#include <cstdlib>

// Ten rows at t = k h: displacement 5 r / 2^k, current k / 2 except -9.5 at
// k = 2, velocity -x.
// An offset switch of 7 ends the process with status 1 instead; 8 runs for
// ever, for the timeout and the host's end; 9 runs for ever when it prints
// every step.
MERIDOX_ENTRY void main2_2() {
  const meridox::Sheet sheet = meridox::read_parameter_sheet(meridox::plate::layout.grid);
  if (sheet.integer(2, 1) == 7) std::exit(1);
  while (sheet.integer(2, 1) == 8 || (sheet.integer(2, 1) == 9 && sheet.integer(2, 14) == 1)) pause();
  const double r = sheet.real(2, 4);
  const double h = sheet.real(2, 12);
  meridox::TableWriter table(meridox::exchange_file("OUT_M.txt"));
  table.text("\x8e\x9e\x8a\xd4\x28\x73\x29\x09\x95\xcf\x88\xca\x28\x6d\x6d\x29\x09\x90\xa7\x8c\xe4\x93\x64\x97\xac\x28\x41\x29\x09\x91\xac\x93\x78\x28\x6d\x6d\x2f\x73\x29\n");
  for (int k = 0; k < 10; ++k) {
    const double x = 5.0 * r / std::pow(2.0, k);
    table.line({k * h, x, k == 2 ? -9.5 : k * 0.5, -x});
  }
}
#endif

#if defined(FAKE_TALVEK)
#include <cstdlib>

// A calculator that writes half a table and then aborts.
MERIDOX_ENTRY void main1() {
  {
    meridox::TableWriter table(meridox::exchange_file("OUT_M.txt"));
    table.text("r\n");
  }
  std::abort();
}
#endif
