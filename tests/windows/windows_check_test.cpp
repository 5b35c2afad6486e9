// Tests of the Windows check's own tools, run natively: the comparison of
// two platforms' tables, and the sheet player driving a stand-in library
// with a known answer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "support/table_text.hpp"

namespace meridox::windows_check {
namespace {

namespace fs = std::filesystem;

TEST(NumberForm, RecognisesTheTwoPrintedForms) {
  EXPECT_EQ(number_form("0.000000"), NumberForm::fixed);
  EXPECT_EQ(number_form("-12.345678"), NumberForm::fixed);
  EXPECT_EQ(number_form("123456789012345678901234567890.000000"), NumberForm::fixed);
  EXPECT_EQ(number_form("1.234567e+300"), NumberForm::exponent);
  EXPECT_EQ(number_form("-1.234567e-05"), NumberForm::exponent);
  EXPECT_EQ(number_form("1.2345e+01"), NumberForm::none);
  EXPECT_EQ(number_form("1.0000000"), NumberForm::none);
  EXPECT_EQ(number_form("12"), NumberForm::none);
  EXPECT_EQ(number_form("inf"), NumberForm::none);
  EXPECT_EQ(number_form("-nan"), NumberForm::none);
  EXPECT_EQ(number_form(""), NumberForm::none);
  EXPECT_EQ(number_form("-"), NumberForm::none);
  EXPECT_EQ(number_form(".000000"), NumberForm::none);
}

TEST(LastDigitApart, OneUnitOfTheSixthDecimal) {
  EXPECT_TRUE(last_digit_apart("0.123456", "0.123457"));
  EXPECT_TRUE(last_digit_apart("0.999999", "1.000000"));
  EXPECT_TRUE(last_digit_apart("-99.999999", "-100.000000"));
  EXPECT_TRUE(last_digit_apart("-0.000000", "0.000000"));
  EXPECT_TRUE(last_digit_apart("-0.000001", "0.000000"));
  EXPECT_TRUE(last_digit_apart("0.000000", "0.000001"));
  // 10^300 against 10^300 - 0.000001.
  const std::string big = "1" + std::string(300, '0') + ".000000";
  const std::string below = std::string(300, '9') + ".999999";
  EXPECT_TRUE(last_digit_apart(big, below));
}

TEST(LastDigitApart, AnythingMoreIsAnotherDifference) {
  EXPECT_FALSE(last_digit_apart("0.123456", "0.123456"));
  EXPECT_FALSE(last_digit_apart("0.123456", "0.123458"));
  EXPECT_FALSE(last_digit_apart("1.000000", "2.000000"));
  EXPECT_FALSE(last_digit_apart("-0.000001", "0.000001"));
  EXPECT_FALSE(last_digit_apart("0.100000", "0.200000"));
  EXPECT_FALSE(last_digit_apart("1.000000", "1.000000e+00"));
  EXPECT_FALSE(last_digit_apart("inf", "1.000000"));
  EXPECT_FALSE(last_digit_apart("nan", "-nan"));
  EXPECT_FALSE(last_digit_apart("a", "b"));
}

TEST(LastDigitApart, ExponentNotation) {
  EXPECT_TRUE(last_digit_apart("1.000001e+300", "1.000000e+300"));
  EXPECT_TRUE(last_digit_apart("9.999999e+02", "1.000000e+03"));
  EXPECT_TRUE(last_digit_apart("1.000000e+03", "9.999999e+02"));
  EXPECT_TRUE(last_digit_apart("-9.999999e-08", "-1.000000e-07"));
  EXPECT_FALSE(last_digit_apart("1.000000e+03", "1.000000e+04"));
  EXPECT_FALSE(last_digit_apart("9.999998e+02", "1.000000e+03"));
  EXPECT_FALSE(last_digit_apart("1.000002e+300", "1.000000e+300"));
  EXPECT_FALSE(last_digit_apart("1.000000e+300", "-1.000000e+300"));
}

TEST(CompareTableBytes, ClassifiesDifferences) {
  const std::string linux_table = "title\r\n\t0.500000\t1.000000\t\r\n0.000000\t0.333333\t\r\n";
  EXPECT_EQ(compare_table_bytes(linux_table, linux_table).kind, DiffKind::identical);

  const std::string one_digit = "title\r\n\t0.500000\t1.000000\t\r\n0.000000\t0.333334\t\r\n";
  const TableDiff near = compare_table_bytes(linux_table, one_digit);
  EXPECT_EQ(near.kind, DiffKind::last_digit);
  EXPECT_EQ(near.differing_fields, 1);
  ASSERT_EQ(near.report.size(), 1U);
  EXPECT_EQ(near.report[0], "line 3 field 2: Linux 0.333333, Windows 0.333334 (last digit)");

  const std::string two_digits = "title\r\n\t0.500000\t1.000000\t\r\n0.000000\t0.333343\t\r\n";
  EXPECT_EQ(compare_table_bytes(linux_table, two_digits).kind, DiffKind::other);

  // A last-digit difference does not hide another one in the same table.
  const std::string both = "title\r\n\t0.500001\t1.000000\t\r\n0.000000\t0.433333\t\r\n";
  const TableDiff mixed = compare_table_bytes(linux_table, both);
  EXPECT_EQ(mixed.kind, DiffKind::other);
  EXPECT_EQ(mixed.differing_fields, 2);

  std::string bare_lf = linux_table;
  for (std::size_t at; (at = bare_lf.find("\r\n")) != std::string::npos;) bare_lf.erase(at, 1);
  EXPECT_EQ(compare_table_bytes(linux_table, bare_lf).kind, DiffKind::other);

  EXPECT_EQ(compare_table_bytes(linux_table, linux_table + "\r\n").kind, DiffKind::other);
  EXPECT_EQ(compare_table_bytes(linux_table, "title\r\n\t0.500000\r\n0.000000\t0.333333\t\r\n").kind,
            DiffKind::other);
}

TEST(CompareTableBytes, ReportsTheFirstDifferencesAndCountsTheRest) {
  std::string a, b;
  for (int i = 0; i < 30; ++i) {
    a += "1.000000\r\n";
    b += "1.000001\r\n";
  }
  const TableDiff diff = compare_table_bytes(a, b);
  EXPECT_EQ(diff.kind, DiffKind::last_digit);
  EXPECT_EQ(diff.differing_fields, 30);
  ASSERT_FALSE(diff.report.empty());
  EXPECT_LT(diff.report.size(), 30U);
  EXPECT_EQ(diff.report.back(), "... 18 more differences");
}

TEST(DataRows, SkipsTheHeaderAndEmptyLines) {
  const std::string table = "\x8e\x9e\x8a\xd4(s)\tx\r\n0.000000\t1.500000\r\n0.100000\t-2.000000\r\n";
  const auto rows = data_rows(table);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0][1], "1.500000");
  EXPECT_EQ(rows[1][0], "0.100000");
  EXPECT_EQ(rows[1][1], "-2.000000");
  EXPECT_TRUE(data_rows("").empty());
}

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

TEST(UlpDistance, CountsRepresentableDoublesBetween) {
  EXPECT_EQ(ulp_distance(bits(1.0), bits(1.0)), 0U);
  EXPECT_EQ(ulp_distance(bits(1.0), bits(std::nextafter(1.0, 2.0))), 1U);
  EXPECT_EQ(ulp_distance(bits(std::nextafter(1.0, 0.0)), bits(std::nextafter(1.0, 2.0))), 2U);
  EXPECT_EQ(ulp_distance(bits(0.0), bits(-0.0)), 0U);
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(ulp_distance(bits(-tiny), bits(tiny)), 2U);
  EXPECT_EQ(ulp_distance(bits(-1.0), bits(std::nextafter(-1.0, -2.0))), 1U);
  // 2^52 doubles lie in [1, 2).
  EXPECT_EQ(ulp_distance(bits(1.0), bits(2.0)), std::uint64_t{1} << 52);
}

// The player drives the stand-in library, whose tables say which call wrote
// them and what sheet it read.
class SheetPlayer : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("meridox-player-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path path = root_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  int play(const std::string& arguments) {
    const std::string command = std::string(MERIDOX_SHEET_PLAYER) + " --exchange " +
                                (root_ / "exchange").string() + " " + arguments + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path root_;
};

TEST_F(SheetPlayer, KeepsTheLibraryLoadedAcrossASequence) {
  const fs::path one = write("one.txt", "a\tb\t1\r\n");
  const fs::path two = write("two.txt", "a\tb\t2\n");
  ASSERT_EQ(play(std::string(MERIDOX_ECHO_LIBRARY) + " echo_call " + one.string() + " " +
                 (root_ / "r1").string() + " " + two.string() + " " + (root_ / "r2").string() +
                 " - " + (root_ / "r3").string()),
            0);
  EXPECT_EQ(read(root_ / "r1" / "OUT_M.txt"), "call 1\na\tb\t1\r\n");
  EXPECT_EQ(read(root_ / "r2" / "OUT_M.txt"), "call 2\na\tb\t2\n");
  // "-": the sheet of the previous call is gone, not read again.
  EXPECT_EQ(read(root_ / "r3" / "OUT_M.txt"), "call 3\nno sheet");
  EXPECT_FALSE(fs::exists(root_ / "r1" / "OUT_MR.txt"));
}

TEST_F(SheetPlayer, DoesNotPassOnTablesLeftByAnEarlierCall) {
  fs::create_directories(root_ / "exchange");
  write("exchange/OUT_MR.txt", "stale");
  write("exchange/OUT_MI.txt", "stale");
  const fs::path sheet = write("sheet.txt", "x");
  ASSERT_EQ(play(std::string(MERIDOX_ECHO_LIBRARY) + " echo_call " + sheet.string() + " " +
                 (root_ / "r").string()),
            0);
  EXPECT_EQ(read(root_ / "r" / "OUT_M.txt"), "call 1\nx");
  EXPECT_FALSE(fs::exists(root_ / "r" / "OUT_MR.txt"));
  EXPECT_FALSE(fs::exists(root_ / "r" / "OUT_MI.txt"));
}

TEST_F(SheetPlayer, FailsLoudly) {
  const fs::path sheet = write("sheet.txt", "x");
  const std::string results = (root_ / "r").string();
  EXPECT_EQ(play((root_ / "missing.so").string() + " echo_call " + sheet.string() + " " + results), 3);
  EXPECT_EQ(play(std::string(MERIDOX_ECHO_LIBRARY) + " no_such_entry " + sheet.string() + " " +
                 results),
            3);
  EXPECT_EQ(play(std::string(MERIDOX_ECHO_LIBRARY) + " echo_call " + (root_ / "none.txt").string() +
                 " " + results),
            5);
  EXPECT_EQ(play(std::string(MERIDOX_ECHO_LIBRARY) + " echo_call " + sheet.string()), 2);
  // A fault inside the library is never a success.
  const fs::path fault = write("fault.txt", "fault");
  EXPECT_NE(play(std::string(MERIDOX_ECHO_LIBRARY) + " echo_call " + fault.string() + " " + results), 0);
}

}  // namespace
}  // namespace meridox::windows_check
