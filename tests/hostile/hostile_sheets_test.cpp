// Hostile parameter sheets against every deliverable. Each run must return,
// replace its main table and leave only well-formed tables behind, whatever
// the sheet holds. Counts that ask for work stay small unless the calculator
// limits them itself: a large step count is work a user asked for, not a
// fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hostile/hostile_support.hpp"

namespace meridox::testing {
namespace {

class HostileSheet : public ProfiledDeliverable {
 protected:
  void run(std::string_view sheet, const std::string& what) {
    SCOPED_TRACE(what);
    run_sheet(folder_, info(), profile(), sheet);
  }
  ExchangeFolder folder_;
};

std::string ten_megabytes() { return std::string(10 * 1024 * 1024, '9'); }

TEST_P(HostileSheet, EveryCalculatorDescribesItsSheet) {
  // The hostile sheets below need a count and a real cell to aim at.
  ASSERT_FALSE(profile().counts.empty());
  ASSERT_FALSE(profile().reals.empty());
  for (const CountCell& count : profile().counts) {
    EXPECT_LT(count.row, profile().shape.rows);
    EXPECT_LT(count.column, profile().shape.columns);
  }
  for (const auto& reals : profile().reals) EXPECT_LT(reals.last_row, profile().shape.rows);
}

TEST_P(HostileSheet, OversizedCellsLinesAndSheets) {
  ASSERT_FALSE(profile().counts.empty() || profile().reals.empty());
  run(std::string(10 * 1024 * 1024, '7'), "a 10 MB cell");
  const CountCell& first_count = profile().counts.front();
  run(moderate_sheet(profile()).set(first_count.column, first_count.row, "-" + ten_megabytes()).str(),
      "a 10 MB negative count");
  const auto& first_real = profile().reals.front();
  run(moderate_sheet(profile()).set(first_real.column, first_real.first_row, ten_megabytes()).str(),
      "a 10 MB real number");

  std::string fields;
  for (int f = 0; f < 100000; ++f) fields += "1\t";
  run(fields, "100,000 fields on a line");
  std::string wide_count = "2";
  for (int f = 0; f < 100000; ++f) wide_count += "\t-9";
  run(moderate_sheet(profile()).set(first_count.column, first_count.row, wide_count).str(),
      "100,000 fields after a count");

  std::string lines;
  for (int l = 0; l < 100000; ++l) lines += "\t\t3\n";
  run(lines, "100,000 lines");
  std::string long_sheet = moderate_sheet(profile()).str();
  for (int l = 0; l < 100000; ++l) long_sheet += "\t\t-5\t1e308\r\n";
  run(long_sheet, "100,000 surplus lines");
}

TEST_P(HostileSheet, BrokenBytes) {
  run(std::string("\0\0\t\0\n\0", 6), "NUL bytes");
  std::string with_nuls = moderate_sheet(profile()).str();
  for (std::size_t at = with_nuls.find("\t1"); at != std::string::npos; at = with_nuls.find("\t1", at + 3)) {
    with_nuls.insert(at + 2, std::string("\0" "99999999999", 12));
  }
  run(with_nuls, "NUL bytes inside numbers");

  std::string unterminated = moderate_sheet(profile()).str();
  unterminated.resize(unterminated.size() - 2);
  run(unterminated, "no final line end");
  run("\t\t7", "one line without a line end");
  run("\r\r\r\t\r", "only CR and TAB");

  std::mt19937 rng(5);
  std::string noise(200000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  run(noise, "binary noise");

  // Noise made of the characters of numbers and sheets, which reaches the
  // conversions far more often; its counts are capped as the fuzzers cap them.
  const std::string alphabet = "0123456789.-+eE\t\t\t\n\n\r infa";
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 digits(seed);
    std::string text(20000, ' ');
    for (char& c : text) c = alphabet[digits() % alphabet.size()];
    const auto bounded = fuzzing::bound_work(text, profile());
    ASSERT_TRUE(bounded.has_value());
    run(*bounded, "numeric noise, seed " + std::to_string(seed));
  }
}

TEST_P(HostileSheet, ExtremeNumbersInEveryCell) {
  for (const char* text : {"1e308", "-1e308", "inf", "-inf", "nan", "1e999", "-1e999", "4.9e-324"}) {
    // Counts converted from these texts are small (atoi stops at the letter
    // or the point), so every cell can hold them.
    run(every_number_cell(profile(), text).str(), std::string("every cell ") + text);
    SheetBuilder reals = moderate_sheet(profile());
    for (const auto& range : profile().reals) {
      for (int row = range.first_row; row <= range.last_row; ++row) reals.set(range.column, row, text);
    }
    if (profile().rect_first_row >= 0) {
      for (int column = 1; column <= 6; ++column) reals.set(column, profile().rect_first_row + 1, text);
    }
    run(reals.str(), std::string("moderate counts, every real ") + text);
  }
}

TEST_P(HostileSheet, HugeCountsWhereTheCalculatorLimitsThem) {
  for (const CountCell& count : profile().counts) {
    if (count.role != CountRole::limited) continue;
    for (const char* text : {"2147483647", "99999999999", "123456789012345678901234567890"}) {
      SheetBuilder sheet = moderate_sheet(profile());
      sheet.set(count.column, count.row, text);
      // Rectangles on every row the grid has, so a count cut to the grid's
      // rows still finds rectangles to read.
      if (profile().rect_first_row >= 0) {
        for (int row = profile().rect_first_row; row < profile().shape.rows; ++row) {
          sheet.set(1, row, 0.25).set(2, row, 0.0).set(3, row, -1.0).set(4, row, 1.0).set(5, row, -1.0).set(6, row, 1.0);
        }
      }
      run(sheet.str(), "count at row " + std::to_string(count.row) + " = " + text);
    }
  }
}

TEST_P(HostileSheet, NegativeAndZeroCountsEverywhere) {
  const char* values[] = {"0", "-1", "-7", "-2147483648", "-99999999999"};
  for (const CountCell& count : profile().counts) {
    for (const char* text : values) {
      run(moderate_sheet(profile()).set(count.column, count.row, text).str(),
          "count at row " + std::to_string(count.row) + " = " + text);
    }
  }
  for (const char* text : values) {
    SheetBuilder sheet = moderate_sheet(profile());
    for (const CountCell& count : profile().counts) sheet.set(count.column, count.row, text);
    run(sheet.str(), std::string("every count = ") + text);
  }
}

TEST_P(HostileSheet, SheetIsADirectory) {
  std::filesystem::create_directory(folder_.path() / "IN_FM.txt");
  SCOPED_TRACE("the sheet is a directory");
  run_and_check(folder_, info(), profile());
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "IN_FM.txt"));
}

INSTANTIATE_TEST_SUITE_P(Suite, HostileSheet, ::testing::ValuesIn(deliverables()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace meridox::testing
