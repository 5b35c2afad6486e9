// Compares what the Windows build wrote under wine with what the Linux build
// wrote for the same sheets.
//
//   result-compare tables LINUX_FOLDER WINDOWS_FOLDER
//     Compares the result tables (OUT_M.txt, OUT_MR.txt, OUT_MI.txt) of one
//     call. Exit 0: the same files with the same bytes. Exit 1: the only
//     differences are numbers one unit apart in their last printed digit
//     (as a 1-ulp difference of a math function can leave them). Exit 2:
//     any other difference. Each difference is printed.
//
//   result-compare math LINUX_FILE WINDOWS_FILE
//     Summarises two outputs of "platform-probe math": per function, how
//     many results differ and by how many units in the last place. Exit 0
//     when both list the same arguments, 2 otherwise.
//
//   result-compare column FOLDER_A FOLDER_B COLUMN
//     For the stage tables of two consecutive calls: prints the number in
//     COLUMN (counted from 0) of the last row of A and of the first row of B,
//     and exits 0 when they are the same text, 1 when they differ, 3 when a
//     table has no data rows.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/table_text.hpp"

namespace {

namespace tt = meridox::windows_check;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

int compare_tables(const std::string& linux_folder, const std::string& windows_folder) {
  int worst = 0;
  for (const char* name : {"OUT_M.txt", "OUT_MR.txt", "OUT_MI.txt"}) {
    const auto expected = read_file(linux_folder + "/" + name);
    const auto actual = read_file(windows_folder + "/" + name);
    if (!expected && !actual) continue;
    if (!expected || !actual) {
      std::printf("  %s: written only by the %s build\n", name, expected ? "Linux" : "Windows");
      worst = 2;
      continue;
    }
    const tt::TableDiff diff = tt::compare_table_bytes(*expected, *actual);
    for (const std::string& line : diff.report) std::printf("  %s: %s\n", name, line.c_str());
    if (diff.kind == tt::DiffKind::last_digit && worst < 1) worst = 1;
    if (diff.kind == tt::DiffKind::other) worst = 2;
  }
  return worst;
}

int compare_math(const std::string& linux_file, const std::string& windows_file) {
  std::ifstream a(linux_file), b(windows_file);
  if (!a || !b) {
    std::printf("  cannot read %s or %s\n", linux_file.c_str(), windows_file.c_str());
    return 2;
  }
  struct Tally {
    long count = 0;
    long differ = 0;
    std::uint64_t max_ulps = 0;
    double max_abs = 0;
  };
  std::map<std::string, Tally> tallies;
  std::string la, lb;
  while (true) {
    const bool ga = static_cast<bool>(std::getline(a, la));
    const bool gb = static_cast<bool>(std::getline(b, lb));
    if (!ga && !gb) break;
    std::istringstream sa(la), sb(lb);
    std::string fa, fb, xa, xb, ya, yb;
    if (ga != gb || !(sa >> fa >> xa >> ya) || !(sb >> fb >> xb >> yb) || fa != fb || xa != xb) {
      std::printf("  the two runs did not evaluate the same arguments\n");
      return 2;
    }
    Tally& tally = tallies[fa];
    ++tally.count;
    if (ya != yb) {
      ++tally.differ;
      const std::uint64_t ulps = tt::ulp_distance(std::strtoull(ya.c_str(), nullptr, 16),
                                                  std::strtoull(yb.c_str(), nullptr, 16));
      if (ulps > tally.max_ulps) tally.max_ulps = ulps;
      const double gap = std::fabs(tt::double_of(std::strtoull(ya.c_str(), nullptr, 16)) -
                                   tt::double_of(std::strtoull(yb.c_str(), nullptr, 16)));
      if (gap > tally.max_abs) tally.max_abs = gap;
    }
  }
  for (const auto& [name, tally] : tallies) {
    if (tally.differ == 0) {
      std::printf("  %-10s identical in all %ld results\n", name.c_str(), tally.count);
    } else {
      std::printf("  %-10s differs in %ld of %ld results, by at most %llu ulp (%.1e absolute)\n",
                  name.c_str(), tally.differ, tally.count,
                  static_cast<unsigned long long>(tally.max_ulps), tally.max_abs);
    }
  }
  return 0;
}

int compare_column(const std::string& folder_a, const std::string& folder_b, int column) {
  const auto a = read_file(folder_a + "/OUT_M.txt");
  const auto b = read_file(folder_b + "/OUT_M.txt");
  if (!a || !b) return 3;
  const auto rows_a = tt::data_rows(*a);
  const auto rows_b = tt::data_rows(*b);
  if (rows_a.empty() || rows_b.empty()) return 3;
  const auto& last = rows_a.back();
  const auto& first = rows_b.front();
  if (static_cast<int>(last.size()) <= column || static_cast<int>(first.size()) <= column) return 3;
  std::printf("%s %s\n", last[column].c_str(), first[column].c_str());
  return last[column] == first[column] ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: result-compare tables LINUX_FOLDER WINDOWS_FOLDER\n"
               "       result-compare math LINUX_FILE WINDOWS_FILE\n"
               "       result-compare column FOLDER_A FOLDER_B COLUMN\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "tables") == 0) return compare_tables(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "math") == 0) return compare_math(argv[2], argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "column") == 0) {
    return compare_column(argv[2], argv[3], std::atoi(argv[4]));
  }
  return usage();
}
