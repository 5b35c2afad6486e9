#pragma once
// Shared steps of the hostile-input tests: sheets built from a calculator's
// cell map, and a run that checks what the entry leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "fuzz/sheet_profiles.hpp"
#include "support/harness.hpp"

namespace meridox::testing {

using fuzzing::CountCell;
using fuzzing::CountRole;
using fuzzing::SheetProfile;

// The profile of a deliverable; fails the test when it has none.
const SheetProfile& profile_of(const DeliverableInfo& info);

// A test over every deliverable that has a sheet profile; a deliverable
// without one fails plainly instead of being skipped.
class ProfiledDeliverable : public ::testing::TestWithParam<DeliverableInfo> {
 protected:
  void SetUp() override {
    if (fuzzing::find_profile(GetParam().name) == nullptr) {
      GTEST_FAIL() << "add " << GetParam().name << " to fuzz/sheet_profiles.cpp";
    }
  }
  const DeliverableInfo& info() const { return GetParam(); }
  const SheetProfile& profile() const { return profile_of(GetParam()); }
};

// A sheet of moderate values: counts that run in milliseconds, real cells
// around 1, five rectangles where the calculator has a rectangle table, and
// labels in the first two fields of every parameter line.
SheetBuilder moderate_sheet(const SheetProfile& profile);

// Every numeric cell (counts, reals, the first five rectangles) set to text.
SheetBuilder every_number_cell(const SheetProfile& profile, std::string_view text);

// Calls the entry on the sheet already in the folder and checks the outcome:
// the run returns, "OUT_M.txt" is replaced (a stale table must never survive)
// and every table in the folder is well-formed.
void run_and_check(const ExchangeFolder& folder, const DeliverableInfo& info, const SheetProfile& profile);

// The same for a sheet given as bytes.
void run_sheet(const ExchangeFolder& folder, const DeliverableInfo& info, const SheetProfile& profile,
               std::string_view sheet);

// Checks one table file of the folder.
void expect_well_formed(const ExchangeFolder& folder, const char* name, const SheetProfile& profile);

// How a call of an entry in a child process ended.
enum class ChildEnd { returned, killed, other };

// Calls the entry in a child process, after `prepare` (run in the child), so
// that a call that hangs or is killed cannot take the test with it. The
// child is killed (SIGKILL) once `kill_after` has passed; a call that needs
// longer is reported as killed.
ChildEnd call_entry_in_child(const DeliverableInfo& info, std::chrono::microseconds kill_after,
                             void (*prepare)() = nullptr);

}  // namespace meridox::testing
