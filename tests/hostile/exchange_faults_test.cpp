// Faults of the exchange folder: missing, not writable, the sheet or a result
// file name taken by a link, a FIFO, a device or a directory. The entry
// returns, writes what it can, and what it writes is well-formed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "hostile/hostile_support.hpp"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

std::map<std::string, std::string> table_texts(const ExchangeFolder& folder) {
  std::map<std::string, std::string> texts;
  for (const std::string& name : tables_in(folder)) texts[name] = folder.read(name.c_str());
  return texts;
}

// Something put at a name of the exchange folder: a symbolic link to
// `target` (relative to the folder), a FIFO, a device or a directory.
struct Obstacle {
  const char* what;
  fs::file_type type;
  const char* target = "";
};

const Obstacle obstacles[] = {
    {"a link to a file elsewhere", fs::file_type::symlink, "elsewhere/target.txt"},
    {"a dangling link", fs::file_type::symlink, "elsewhere/nowhere.txt"},
    {"a link to /dev/zero", fs::file_type::symlink, "/dev/zero"},
    {"a link to /dev/urandom", fs::file_type::symlink, "/dev/urandom"},
    {"a FIFO", fs::file_type::fifo},
    {"an endless device", fs::file_type::character},
    {"a directory", fs::file_type::directory},
};

// False when this machine cannot make it.
bool make(const Obstacle& obstacle, const fs::path& at) {
  switch (obstacle.type) {
    case fs::file_type::symlink: return symlink(obstacle.target, at.c_str()) == 0;
    case fs::file_type::fifo: return mkfifo(at.c_str(), 0600) == 0;
    case fs::file_type::character: return mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;  // as /dev/zero
    default: return fs::create_directory(at);
  }
}

// Each obstacle in the place of the sheet and of every result table. A call
// never blocks or follows a link out of the folder: a sheet that is not a
// regular file reads as an empty sheet, a link at a table's name is replaced
// by the table, and any other entry there is left alone while the other
// tables are written whole.
TEST_P(ExchangeFault, LinksFifosDevicesAndDirectoriesAtTheSheetOrATable) {
  constexpr std::chrono::seconds patience(60);
  const std::string sheet = moderate_sheet(profile()).str();
  std::map<std::string, std::string> sound, empty;
  {
    ExchangeFolder folder;
    folder.write_sheet(sheet);
    ASSERT_EQ(call_entry_in_child(info(), patience), ChildEnd::returned);
    sound = table_texts(folder);
    folder.write_sheet("");
    ASSERT_EQ(call_entry_in_child(info(), patience), ChildEnd::returned);
    empty = table_texts(folder);
  }
  ASSERT_TRUE(sound.count("OUT_M.txt"));
  ASSERT_NE(sound, empty);

  for (const Obstacle& obstacle : obstacles) {
    for (const std::string& name : {std::string("IN_FM.txt"), std::string("OUT_M.txt"),
                                    std::string("OUT_MR.txt"), std::string("OUT_MI.txt")}) {
      const bool at_sheet = name == "IN_FM.txt";
      if (!at_sheet && !sound.count(name)) continue;
      SCOPED_TRACE(name + " is " + obstacle.what);
      ExchangeFolder folder;
      fs::create_directory(folder.path() / "elsewhere");
      // Through the link the sheet is a sheet; as a table's target it must stay untouched.
      const std::string target_text = at_sheet ? sheet : std::string("not a table");
      folder.write_file("elsewhere/target.txt", target_text);
      if (!at_sheet) folder.write_sheet(sheet);
      if (!make(obstacle, folder.path() / name)) {
        std::printf("not run here: %s at %s cannot be made\n", obstacle.what, name.c_str());
        continue;
      }
      if (call_entry_in_child(info(), patience) != ChildEnd::returned) {
        ADD_FAILURE() << "the call did not return";
        continue;
      }

      std::map<std::string, std::string> expected = sound;
      if (at_sheet) {
        if (obstacle.target != std::string("elsewhere/target.txt")) expected = empty;
      } else if (obstacle.type == fs::file_type::symlink) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder.path() / name))) << "the link is still there";
      } else {
        EXPECT_EQ(fs::symlink_status(folder.path() / name).type(), obstacle.type) << "left alone";
        expected.erase(name);
      }
      EXPECT_EQ(table_texts(folder), expected);
      EXPECT_EQ(folder.read("elsewhere/target.txt"), target_text) << "written through a link";
      EXPECT_FALSE(folder.exists("elsewhere/nowhere.txt")) << "a file created outside the folder";
    }
  }
}

fs::path first_folder, second_folder;

// In the child: once the spectrum tables are there, the host points
// MERIDOXWORK at another folder while the image is still being formed.
void move_the_folder_during_the_call() {
  std::thread([] {
    while (!fs::exists(first_folder / "OUT_MR.txt")) std::this_thread::sleep_for(std::chrono::microseconds(50));
    setenv("MERIDOXWORK", second_folder.c_str(), 1);
  }).detach();
}

TEST(ExchangeFolderOfACall, EveryTableOfACallLandsInOneFolder) {
  const DeliverableInfo& info = deliverable("orvalis");
  ExchangeFolder second;
  ExchangeFolder first;
  first_folder = first.path();
  second_folder = second.path();
  first.write_sheet(moderate_sheet(profile_of(info)).set(2, 2, 128).str());
  ASSERT_EQ(call_entry_in_child(info, std::chrono::seconds(60), move_the_folder_during_the_call),
            ChildEnd::returned);
  EXPECT_EQ(tables_in(first), (std::set<std::string>{"OUT_M.txt", "OUT_MI.txt", "OUT_MR.txt"}));
  EXPECT_TRUE(tables_in(second).empty());
}

INSTANTIATE_TEST_SUITE_P(Suite, ExchangeFault, ::testing::ValuesIn(deliverables()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace meridox::testing
