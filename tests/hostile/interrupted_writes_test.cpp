// Runs that die while they write, and tables that do not fit: the host must
// find either a complete table of one run under a table's name or none, never
// a cut one and never tables of two runs side by side.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "hostile/hostile_support.hpp"

namespace meridox::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr std::chrono::seconds patience(120);
const char stale_text[] = "a table of an earlier run\r\n";

// A run that writes a long table: a drovik2 stage moved for 300,000 steps
// with a row at every step (about 8 MB), or the largest projection image.
struct LongRun {
  const char* deliverable;
  std::map<std::pair<int, int>, int> counts;  // (column, row) -> value
};

const LongRun long_runs[] = {
    {"drovik2", {{{2, 13}, 300000}, {{2, 14}, 1}}},
    {"orvalis", {{{2, 2}, 128}}},
};

std::string long_sheet(const LongRun& run) {
  SheetBuilder sheet = moderate_sheet(profile_of(deliverable(run.deliverable)));
  for (const auto& [cell, value] : run.counts) sheet.set(cell.first, cell.second, value);
  return sheet.str();
}

// Every file of the folder but the sheet, by name.
std::map<std::string, std::string> files_in(const ExchangeFolder& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "IN_FM.txt") files[name] = folder.read(name.c_str());
  }
  return files;
}

bool is_temporary(const std::string& name, const std::map<std::string, std::string>& tables) {
  for (const auto& table : tables) {
    if (name.starts_with(table.first + ".partial-")) return true;
  }
  return false;
}

// SIGKILL at several moments of a long run, each time over the tables of an
// earlier run. Afterwards each table's name holds that earlier table (the
// run died before it started), the complete new table, or nothing; earlier
// and new tables never lie side by side; what else is left is a temporary
// file, which the next run removes.
void expect_killed_runs_leave_whole_tables(const DeliverableInfo& info, const ExchangeFolder& folder,
                                           const std::map<std::string, std::string>& complete,
                                           std::chrono::steady_clock::duration run_time) {
  int cut_runs = 0;
  // Kills spread over the whole run, from before it starts to after it ends.
  for (const double fraction : {0.0, 0.02, 0.1, 0.3, 0.5, 0.7, 0.9, 1.5}) {
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(run_time * fraction);
    SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " us");
    for (const auto& table : complete) folder.write_file(table.first.c_str(), stale_text);
    const ChildEnd end = call_entry_in_child(info, delay);
    int stale = 0, whole = 0;
    bool stale_main = false;
    for (const auto& [name, text] : files_in(folder)) {
      if (is_temporary(name, complete)) continue;
      ASSERT_TRUE(complete.count(name)) << name << " left in the folder";
      if (text == stale_text) {
        ++stale;
        stale_main = stale_main || name == "OUT_M.txt";
      } else {
        EXPECT_TRUE(text == complete.at(name)) << name << " is not a complete table: " << text.size()
                                               << " bytes of " << complete.at(name).size();
        ++whole;
      }
    }
    EXPECT_FALSE(stale > 0 && whole > 0) << stale << " tables of the earlier run beside " << whole << " new ones";
    // The main table of the earlier run stays only with all of its run's tables.
    if (stale_main) {
      EXPECT_EQ(stale, static_cast<int>(complete.size()));
    }
    if (end == ChildEnd::killed && stale == 0 && whole < static_cast<int>(complete.size())) ++cut_runs;
  }
  // The run takes long enough for the early kills to land while it works.
  EXPECT_GT(cut_runs, 0) << "no kill landed during a run of "
                         << std::chrono::duration_cast<milliseconds>(run_time).count() << " ms";
  ASSERT_EQ(call_entry_in_child(info, patience), ChildEnd::returned);
  EXPECT_TRUE(files_in(folder) == complete) << "a temporary file outlived the next run";
}

rlim_t file_size_limit = RLIM_INFINITY;

void limit_file_size() {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{file_size_limit, file_size_limit};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
}

// Files may grow to one byte less than the largest table (as on a disk that
// fills up just before the end): the call returns, the largest table is not
// left cut under its name, its earlier table is gone and so is its temporary
// file, and the tables that fit are written whole.
void expect_a_table_that_does_not_fit_left_out(const DeliverableInfo& info, const ExchangeFolder& folder,
                                               const std::map<std::string, std::string>& complete) {
  std::size_t largest = 0;
  for (const auto& table : complete) {
    folder.write_file(table.first.c_str(), stale_text);
    largest = std::max(largest, table.second.size());
  }
  file_size_limit = largest - 1;
  ASSERT_EQ(call_entry_in_child(info, patience, limit_file_size), ChildEnd::returned);
  const std::map<std::string, std::string> left = files_in(folder);
  for (const auto& [name, text] : complete) {
    SCOPED_TRACE(name);
    const bool fits = text.size() < largest;
    ASSERT_EQ(left.count(name), fits ? 1u : 0u) << "a table cut at the file size limit";
    if (fits) {
      EXPECT_TRUE(left.at(name) == text) << "not the complete table";
    }
  }
  EXPECT_EQ(left.size(), complete.size() - 1) << "a temporary file left behind";
}

TEST(InterruptedWrites, KilledRunsAndFullFilesLeaveWholeTablesOfOneRun) {
  for (const LongRun& run : long_runs) {
    SCOPED_TRACE(run.deliverable);
    const DeliverableInfo& info = deliverable(run.deliverable);
    ExchangeFolder folder;
    folder.write_sheet(long_sheet(run));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(call_entry_in_child(info, patience), ChildEnd::returned);
    const auto run_time = std::chrono::steady_clock::now() - started;
    const std::map<std::string, std::string> complete = files_in(folder);
    ASSERT_TRUE(complete.count("OUT_M.txt"));
    expect_killed_runs_leave_whole_tables(info, folder, complete, run_time);
    expect_a_table_that_does_not_fit_left_out(info, folder, complete);
  }
}

}  // namespace
}  // namespace meridox::testing
