#pragma once
// A plate's parameter sheet and one run of the calculator through its entry.
#include <string>
#include <vector>

#include "support/harness.hpp"

namespace meridox::testing {

struct PlateSheet {
  int load_case = 1;
  int support_case = 0;
  double E = 210, nu = 0.3, t = 1, load = 0.001, r0 = 10, r1 = 100;
  int divisions = 2;
};

inline std::string sheet_text(const PlateSheet& p) {
  SheetBuilder b;
  b.set(0, 0, "talvek").set(0, 3, "E").set(1, 3, "N/mm2");
  b.set(2, 1, p.load_case).set(2, 2, p.support_case).set(2, 3, p.E).set(2, 4, p.nu);
  b.set(2, 5, p.t).set(2, 6, p.load).set(2, 7, p.r0).set(2, 8, p.r1).set(2, 9, p.divisions);
  return b.str();
}

inline std::vector<std::vector<std::string>> run_plate(const PlateSheet& p, std::string* bytes = nullptr) {
  ExchangeFolder folder;
  folder.write_sheet(sheet_text(p));
  call_entry("talvek");
  const std::string table = folder.read("OUT_M.txt");
  if (bytes != nullptr) *bytes = table;
  return split_table(table);
}

}  // namespace meridox::testing
