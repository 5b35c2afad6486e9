// Checks over every deliverable of the suite: each loads as the host loads
// it, side by side with the others. Hostile sheets and faults of the
// exchange folder are in tests/hostile.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
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
