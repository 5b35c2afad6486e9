// The checks the hostile tests and the fuzzers rely on: the table checker
// must reject every malformed table, and the work bound must change nothing
// but the capped counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

#include "fuzz/sheet_profiles.hpp"
#include "support/harness.hpp"

namespace meridox::fuzzing {
namespace {

std::string printf_exponent(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6e", value);
  return text;
}

TEST(TableNumbers, AcceptWhatPrintfPrints) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {0.0, -0.0, 1.0, -2.5, 1e-7, 123456.789, 1e308, -1e308, 4.9e-324, inf, -inf}) {
    EXPECT_TRUE(is_table_number(testing::printf_fixed(v))) << testing::printf_fixed(v);
    EXPECT_TRUE(is_table_number(printf_exponent(v))) << printf_exponent(v);
  }
  EXPECT_TRUE(is_table_number("nan"));
}

TEST(TableNumbers, RejectOtherNotations) {
  for (const char* text : {"", "-", "1", "1.5", "1.00000", "1.0000000", "+1.000000", " 1.000000",
                           "1.000000 ", "1e+308", "1.000000e+5", "1.000000e+1234", "12.000000e+05",
                           "1.000000E+05", "-nan", "NaN", "infinity", "0x1p+0", "1,000000", ".000000"}) {
    EXPECT_FALSE(is_table_number(text)) << '"' << text << '"';
  }
}

TEST(TableFault, AcceptsTheShapesOfTheTables) {
  EXPECT_EQ(table_fault("", 0), "");
  // A title line, an axis line with an empty corner, data, a final empty line.
  EXPECT_EQ(table_fault("title\r\n\t-1.000000\t1.000000\t\r\n0.500000\tnan\t-inf\t\r\n\r\n", 1), "");
  // Column labels, rows in one record each, one in exponent notation.
  EXPECT_EQ(table_fault("a\tb\tc\r\n0.000000\t1.000000\t2.000000\r\n1.000000e+300\t-2.000000e-05\tinf\r\n", 1), "");
  EXPECT_EQ(table_fault("\t\r\n", 0), "");
}

TEST(TableFault, FindsEveryKindOfFault) {
  EXPECT_NE(table_fault("0.000000\t1.000000", 0), "") << "no final line end";
  EXPECT_NE(table_fault("0.000000\t1.000000\n", 0), "") << "LF alone";
  EXPECT_NE(table_fault("0.000000\n1.000000\r\n", 0), "") << "LF alone inside";
  EXPECT_NE(table_fault("0.000000\r1.000000\r\n", 0), "") << "CR alone inside";
  EXPECT_NE(table_fault("0.000000\t\t1.000000\r\n", 0), "") << "an empty middle field";
  EXPECT_NE(table_fault("0.000000 1.000000\r\n", 0), "") << "a space as separator";
  EXPECT_NE(table_fault("title\r\n1.000000\r\n", 0), "") << "text where no header belongs";
  EXPECT_NE(table_fault("t\r\n1.000000\r\n1.0\r\n", 1), "") << "a number not printed by %f";
  EXPECT_NE(table_fault(std::string("1.000000\0\r\n", 11), 0), "") << "a NUL byte";
}

const SheetProfile& stage_profile() {
  const SheetProfile* profile = find_profile("drovik2");
  EXPECT_NE(profile, nullptr);
  return *profile;
}

Sheet parse(const std::string& bytes, GridShape shape) {
  Sheet sheet(shape);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

TEST(BoundWork, LeavesSheetsWithinTheCapsAlone) {
  const std::string sheet = "a\r\n\t\t1\r\n\t\t-99999999999\tx\r\n" + std::string(5000, '\t');
  EXPECT_EQ(bound_work(sheet, stage_profile()), sheet);
}

TEST(BoundWork, CapsOnlyTheCountsThatAskForTooMuch) {
  const SheetProfile& profile = stage_profile();
  const CountCell& steps = profile.counts[1];
  ASSERT_EQ(steps.role, CountRole::steps);
  testing::SheetBuilder builder;
  for (int row = 0; row < 20; ++row) builder.set(0, row, "label").set(1, row, "unit").set(2, row, row * 1.5);
  // An over-long count (more digits than a cell holds) and an over-long
  // text elsewhere, which must reach the calculator unchanged.
  builder.set(2, steps.row, std::string(300, '9'));
  builder.set(3, 50, std::string(300, 'x'));
  const std::string sheet = builder.str();
  const auto bounded = bound_work(sheet, profile);
  ASSERT_TRUE(bounded.has_value());
  const Sheet before = parse(sheet, profile.shape);
  const Sheet after = parse(*bounded, profile.shape);
  EXPECT_EQ(before.integer(2, steps.row), std::numeric_limits<int>::max());
  EXPECT_EQ(after.integer(2, steps.row), steps.fuzz_cap);
  for (int column = 0; column < profile.shape.columns; ++column) {
    for (int row = 0; row < profile.shape.rows; ++row) {
      if (column == 2 && row == steps.row) continue;
      EXPECT_EQ(before.cell(column, row), after.cell(column, row)) << column << "," << row;
    }
  }
}

TEST(BoundWork, FindsTheFieldThatFillsTheCell) {
  // In the guarded projection grid an over-long cell is cut and fields beyond
  // the last column land in the last column; only the grid count changes.
  const SheetProfile* profile = find_profile("orvalis");
  ASSERT_NE(profile, nullptr);
  const std::string sheet = "\r\n\r\n\t\t" + std::string(120, '8') + "\t\t\t\t\t\t\t\t\t\t7\r\n\t\t5\r\n";
  const auto bounded = bound_work(sheet, *profile);
  ASSERT_TRUE(bounded.has_value());
  const Sheet after = parse(*bounded, profile->shape);
  EXPECT_EQ(after.integer(2, 2), profile->counts[0].fuzz_cap);
  EXPECT_EQ(after.cell(9, 2), "7");
  EXPECT_EQ(after.integer(2, 3), 5);
  EXPECT_EQ(*bounded, "\r\n\r\n\t\t" + std::to_string(profile->counts[0].fuzz_cap) +
                          "\t\t\t\t\t\t\t\t\t\t7\r\n\t\t5\r\n");
}

}  // namespace
}  // namespace meridox::fuzzing
