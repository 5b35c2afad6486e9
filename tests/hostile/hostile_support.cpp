#include "hostile/hostile_support.hpp"

#include <filesystem>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plate/layout.hpp"

namespace meridox::testing {

const SheetProfile& profile_of(const DeliverableInfo& info) {
  const SheetProfile* profile = fuzzing::find_profile(info.name);
  if (profile == nullptr) {
    ADD_FAILURE() << info.name << " has no sheet profile in fuzz/sheet_profiles.cpp";
    static const SheetProfile none{"", plate::layout.grid, {}, {}, -1, 0};
    return none;
  }
  return *profile;
}

namespace {

int moderate_count(CountRole role) {
  switch (role) {
    case CountRole::limited: return 3;
    case CountRole::steps: return 20;
    case CountRole::interval: return 3;
    case CountRole::choice: return 1;
  }
  return 0;
}

void label_rows(SheetBuilder& sheet, const SheetProfile& profile) {
  for (const CountCell& count : profile.counts) sheet.set(0, count.row, "count").set(1, count.row, "-");
  for (const auto& reals : profile.reals) {
    for (int row = reals.first_row; row <= reals.last_row; ++row) sheet.set(0, row, "value").set(1, row, "mm");
  }
}

}  // namespace

SheetBuilder moderate_sheet(const SheetProfile& profile) {
  SheetBuilder sheet;
  sheet.set(0, 0, "hostile input");
  label_rows(sheet, profile);
  for (const CountCell& count : profile.counts) sheet.set(count.column, count.row, moderate_count(count.role));
  for (const auto& reals : profile.reals) {
    for (int row = reals.first_row; row <= reals.last_row; ++row) sheet.set(reals.column, row, 1.0 + row / 8.0);
  }
  if (profile.rect_first_row >= 0) {
    for (int q = 0; q < 5; ++q) {
      const int row = profile.rect_first_row + q;
      sheet.set(1, row, 1.0).set(2, row, 0.5).set(3, row, -2.0 - q).set(4, row, 2.0 + q);
      sheet.set(5, row, -1.0).set(6, row, 3.0);
    }
  }
  return sheet;
}

SheetBuilder every_number_cell(const SheetProfile& profile, std::string_view text) {
  SheetBuilder sheet;
  label_rows(sheet, profile);
  for (const CountCell& count : profile.counts) sheet.set(count.column, count.row, text);
  for (const auto& reals : profile.reals) {
    for (int row = reals.first_row; row <= reals.last_row; ++row) sheet.set(reals.column, row, text);
  }
  if (profile.rect_first_row >= 0) {
    for (int q = 0; q < 5; ++q) {
      for (int column = 1; column <= 6; ++column) sheet.set(column, profile.rect_first_row + q, text);
    }
  }
  return sheet;
}

void expect_well_formed(const ExchangeFolder& folder, const char* name, const SheetProfile& profile) {
  EXPECT_EQ(fuzzing::table_fault(folder.read(name), profile.header_lines), "") << name;
}

void run_and_check(const ExchangeFolder& folder, const DeliverableInfo& info, const SheetProfile& profile) {
  folder.write_file("OUT_M.txt", "stale");
  call_entry(info.name);
  ASSERT_TRUE(folder.exists("OUT_M.txt")) << "no result table";
  EXPECT_NE(folder.read("OUT_M.txt"), "stale") << "the previous table survived the run";
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "IN_FM.txt" && entry.is_regular_file()) expect_well_formed(folder, name.c_str(), profile);
  }
}

void run_sheet(const ExchangeFolder& folder, const DeliverableInfo& info, const SheetProfile& profile,
               std::string_view sheet) {
  folder.write_sheet(sheet);
  run_and_check(folder, info, profile);
}

ChildEnd call_entry_in_child(const DeliverableInfo& info, std::chrono::microseconds kill_after,
                             void (*prepare)()) {
  const pid_t child = fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return ChildEnd::other;
  }
  if (child == 0) {
    if (prepare != nullptr) prepare();
    call_entry(info.name);
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + kill_after;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ChildEnd::returned;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return ChildEnd::killed;
  return ChildEnd::other;
}

}  // namespace meridox::testing
