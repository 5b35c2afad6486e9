// Checks over every deliverable of the suite: each loads as the host loads
// it, side by side with the others, and survives hostile sheets.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/harness.hpp"

namespace meridox::testing {
namespace {

class EveryDeliverable : public ::testing::TestWithParam<DeliverableInfo> {};

TEST_P(EveryDeliverable, LoadsAndRunsOnAnEmptySheet) {
  ExchangeFolder folder;
  folder.write_sheet("");
  call_entry(GetParam().name);
  // A sheet that cannot be opened reads as an empty one: the run still replaces its table.
  std::filesystem::remove(folder.path() / "IN_FM.txt");
  folder.write_file("OUT_M.txt", "stale");
  call_entry(GetParam().name);
  EXPECT_NE(folder.read("OUT_M.txt"), "stale");
}

TEST_P(EveryDeliverable, SurvivesHostileSheets) {
  std::mt19937 rng(5);
  std::vector<std::string> sheets;
  sheets.push_back(std::string(10 * 1024 * 1024, '7'));
  std::string fields;
  for (int f = 0; f < 100000; ++f) fields += "1\t";
  sheets.push_back(fields);
  std::string lines;
  for (int l = 0; l < 100000; ++l) lines += "\t\t3\n";
  sheets.push_back(lines);
  sheets.push_back(std::string("\0\0\t\0\n\0", 6));
  std::string noise(200000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  sheets.push_back(noise);
  ExchangeFolder folder;
  for (const std::string& sheet : sheets) {
    folder.write_sheet(sheet);
    call_entry(GetParam().name);
  }
  // The sheet is a directory.
  std::filesystem::remove(folder.path() / "IN_FM.txt");
  std::filesystem::create_directory(folder.path() / "IN_FM.txt");
  call_entry(GetParam().name);
}

TEST_P(EveryDeliverable, MissingExchangeFolderIsNoCrash) {
  ExchangeFolder folder;
  const std::filesystem::path gone = folder.path() / "missing";
  setenv("MERIDOXWORK", gone.c_str(), 1);
  call_entry(GetParam().name);
  EXPECT_FALSE(std::filesystem::exists(gone));
}

INSTANTIATE_TEST_SUITE_P(Suite, EveryDeliverable, ::testing::ValuesIn(deliverables()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AllDeliverables, LoadSideBySideInOneProcess) {
  std::vector<std::unique_ptr<Library>> libraries;
  ExchangeFolder folder;
  folder.write_sheet("");
  for (const DeliverableInfo& info : deliverables()) {
    libraries.push_back(std::make_unique<Library>(info.library));
    ASSERT_TRUE(libraries.back()->loaded()) << info.library;
  }
  for (std::size_t n = 0; n < libraries.size(); ++n) {
    const DeliverableInfo& info = deliverables()[n];
    ASSERT_NE(libraries[n]->entry(info.entry), nullptr) << info.name;
    // No library offers another's entry: each exports its own alone.
    for (const DeliverableInfo& other : deliverables()) {
      if (std::string(other.entry) != info.entry) {
        EXPECT_EQ(libraries[n]->entry(other.entry), nullptr) << info.name << " " << other.entry;
      }
    }
    libraries[n]->entry(info.entry)();
  }
}

}  // namespace
}  // namespace meridox::testing
