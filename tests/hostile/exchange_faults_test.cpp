// Faults of the exchange folder: missing, not writable, a result file name
// taken by a directory. The entry returns, writes what it can, and what it
// writes is well-formed.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "hostile/hostile_support.hpp"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace meridox::testing {
namespace {

namespace fs = std::filesystem;

class ExchangeFault : public ProfiledDeliverable {};

// Permission bits do not stop the superuser, so a folder or file cannot be
// made unwritable for a test that runs as root.
bool running_as_root() {
#if defined(_WIN32)
  return false;
#else
  return geteuid() == 0;
#endif
}

std::set<std::string> tables_in(const ExchangeFolder& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "IN_FM.txt" && entry.is_regular_file()) names.insert(name);
  }
  return names;
}

TEST_P(ExchangeFault, MissingExchangeFolderIsNoCrash) {
  ExchangeFolder folder;
  const fs::path gone = folder.path() / "missing";
  setenv("MERIDOXWORK", gone.c_str(), 1);
  call_entry(info().name);
  EXPECT_FALSE(fs::exists(gone));
}

TEST_P(ExchangeFault, ReadOnlyExchangeFolder) {
  if (running_as_root()) GTEST_SKIP() << "running as root: permission bits do not stop writes";
  ExchangeFolder folder;
  const std::string sheet = moderate_sheet(profile()).str();
  folder.write_sheet(sheet);
  fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec);
  call_entry(info().name);
  fs::permissions(folder.path(), fs::perms::owner_all);
  EXPECT_TRUE(tables_in(folder).empty()) << "a table appeared in a read-only folder";
  EXPECT_EQ(folder.read("IN_FM.txt"), sheet) << "the sheet was changed";
}

TEST_P(ExchangeFault, ReadOnlyResultTable) {
  if (running_as_root()) GTEST_SKIP() << "running as root: permission bits do not stop writes";
  ExchangeFolder folder;
  folder.write_sheet(moderate_sheet(profile()).str());
  folder.write_file("OUT_M.txt", "kept");
  fs::permissions(folder.path() / "OUT_M.txt", fs::perms::owner_read);
  call_entry(info().name);
  fs::permissions(folder.path() / "OUT_M.txt", fs::perms::owner_all);
  EXPECT_EQ(folder.read("OUT_M.txt"), "kept");
  for (const std::string& name : tables_in(folder)) {
    if (name != "OUT_M.txt") expect_well_formed(folder, name.c_str(), profile());
  }
}

TEST_P(ExchangeFault, ResultNameTakenByADirectory) {
  std::set<std::string> tables;
  {
    ExchangeFolder folder;
    folder.write_sheet(moderate_sheet(profile()).str());
    call_entry(info().name);
    tables = tables_in(folder);
  }
  ASSERT_TRUE(tables.count("OUT_M.txt")) << "a run with a sound sheet writes no OUT_M.txt";
  for (const std::string& blocked : tables) {
    SCOPED_TRACE(blocked + " is a directory");
    ExchangeFolder folder;
    folder.write_sheet(moderate_sheet(profile()).str());
    fs::create_directory(folder.path() / blocked);
    call_entry(info().name);
    EXPECT_TRUE(fs::is_directory(folder.path() / blocked));
    // Every other table is still written, and written whole.
    std::set<std::string> expected = tables;
    expected.erase(blocked);
    EXPECT_EQ(tables_in(folder), expected);
    for (const std::string& name : expected) expect_well_formed(folder, name.c_str(), profile());
  }
}

INSTANTIATE_TEST_SUITE_P(Suite, ExchangeFault, ::testing::ValuesIn(deliverables()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace meridox::testing
