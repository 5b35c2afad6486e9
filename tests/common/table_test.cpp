#include "common/table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/exchange.hpp"
#include "support/harness.hpp"

namespace meridox {
namespace {

std::string record(std::vector<double> values, char last) {
  std::string out;
  format_record(out, values, last);
  return out;
}

TEST(FormatRecord, FieldsAreFixedWithSixDecimals) {
  EXPECT_EQ(record({1.5, -2.0, 0.0}, '\n'), "1.500000\t-2.000000\t0.000000\n");
  EXPECT_EQ(record({-1e-9}, '\t'), "-0.000000\t");
  EXPECT_EQ(record({std::numeric_limits<double>::infinity(), std::nan("")}, '\n'), "inf\tnan\n");
}

TEST(FormatRecord, TooLongForTheLineBufferSwitchesTheWholeRecordToExponent) {
  // 1e300 prints 301 digits with "%f": no longer fits the 256-byte buffer.
  EXPECT_EQ(record({1e300}, '\t'), "1.000000e+300\t");
  EXPECT_EQ(record({1.0, -1e300, 2.5}, '\n'), "1.000000e+00\t-1.000000e+300\t2.500000e+00\n");
}

TEST(FormatRecord, TheLongestFittingRecordStaysFixed) {
  // 248 digits + ".000000" = 255 characters with the TAB: still fits.
  const double big = std::pow(10.0, 247);
  const std::string fixed_text = record({big}, '\t');
  EXPECT_EQ(fixed_text, testing::printf_fixed(big) + "\t");
  EXPECT_EQ(fixed_text.size(), 255u);
  const double bigger = std::pow(10.0, 248);
  EXPECT_EQ(record({bigger}, '\t'), "1.000000e+248\t");
  // A four-field line whose fields fit alone but not together.
  const double v = std::pow(10.0, 60);
  EXPECT_NE(record({v, v, v, v}, '\n').find('e'), std::string::npos);
  EXPECT_EQ(record({v, v, v}, '\n'), testing::printf_fixed(v) + "\t" + testing::printf_fixed(v) +
                                         "\t" + testing::printf_fixed(v) + "\n");
}

TEST(TableWriter, WritesCrLfLineEndsAndReplacesTheFile) {
  testing::ExchangeFolder folder;
  folder.write_file("OUT_M.txt", std::string(100000, 'x'));
  {
    TableWriter table(exchange_file("OUT_M.txt"));
    ASSERT_TRUE(table.is_open());
    table.text("head\n\t");
    table.field(1.0);
    table.end_line();
    table.line({2.0, 3.0});
  }
  EXPECT_EQ(folder.read("OUT_M.txt"), "head\r\n\t1.000000\t\r\n2.000000\t3.000000\r\n");
}

TEST(TableWriter, LargeTablesAreComplete) {
  testing::ExchangeFolder folder;
  std::string expected;
  {
    TableWriter table(exchange_file("OUT_M.txt"));
    for (int row = 0; row < 20000; ++row) {
      table.line({row * 0.5, -row * 1.0});
      expected += testing::printf_fixed(row * 0.5) + "\t" + testing::printf_fixed(-row * 1.0) + "\r\n";
    }
  }
  EXPECT_EQ(folder.read("OUT_M.txt"), expected);
}

TEST(TableWriter, AFileThatCannotBeCreatedIsSkipped) {
  testing::ExchangeFolder folder;
  std::filesystem::create_directory(folder.path() / "OUT_M.txt");
  TableWriter table(exchange_file("OUT_M.txt"));
  EXPECT_FALSE(table.is_open());
  table.line({1.0});  // no effect, no crash
  TableWriter missing((folder.path() / "no" / "such" / "OUT_M.txt").string());
  EXPECT_FALSE(missing.is_open());
}

}  // namespace
}  // namespace meridox
