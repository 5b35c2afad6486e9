// Reading result tables back and the summaries drawn from them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/summary.hpp"
#include "host/core/tables.hpp"
#include "host/core/text.hpp"
#include "support/harness.hpp"

namespace meridox::host {
namespace {

std::string summary_of(TableKind kind, const std::string& bytes, const SummaryContext& context) {
  return summary_text(read_result_table(bytes, kind), context);
}
std::string summary_of(TableKind kind, const std::string& bytes, const StageColumns* stage) {
  SummaryContext context;
  context.stage = stage;
  return summary_of(kind, bytes, context);
}

using testing::printf_fixed;
using testing::shift_jis;

// A map in the layout of the optics tables: an optional title ending in a
// line end and a TAB, the x values, then y and the values along x per line,
// every field followed by a TAB, and an empty last line when titled.
std::string map_text(const std::string& title, const std::vector<double>& x, const std::vector<double>& y,
                     const std::vector<double>& v) {
  std::string out = title.empty() ? "\t" : title + "\r\n\t";
  for (const double a : x) out += printf_fixed(a) + "\t";
  out += "\r\n";
  for (std::size_t j = 0; j < y.size(); ++j) {
    out += printf_fixed(y[j]) + "\t";
    for (std::size_t i = 0; i < x.size(); ++i) out += printf_fixed(v[j * x.size() + i]) + "\t";
    out += "\r\n";
  }
  if (!title.empty()) out += "\r\n";
  return out;
}

std::string rows_text(const std::string& header, const std::vector<std::vector<double>>& rows) {
  std::string out = header + "\r\n";
  for (const auto& r : rows) {
    for (std::size_t k = 0; k < r.size(); ++k) out += printf_fixed(r[k]) + (k + 1 < r.size() ? "\t" : "\r\n");
  }
  return out;
}

const std::string plate_header = shift_jis("半径\t変位\t傾斜\t曲率\tﾓｰﾒﾝﾄMr\t応力σr\tピッチ誤差Pe");
const std::string stage_header = shift_jis("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)");

TEST(HostTables, ReadsTheProjectionMapLayout) {
  const std::string title = shift_jis("投影像光強度分布II[i][j]");
  const std::string text = map_text(title, {-1, 0, 1}, {-1, 0, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9.5});
  EXPECT_EQ(identify_table(text), table_kind("image"));
  const MapTable map = parse_map(text);
  EXPECT_EQ(map.title, title);
  EXPECT_EQ(map.x, (std::vector<double>{-1, 0, 1}));
  EXPECT_EQ(map.y, (std::vector<double>{-1, 0, 1}));
  EXPECT_EQ(map.at(2, 0), 3.0);  // x index runs along the line
  EXPECT_EQ(map.at(0, 2), 7.0);  // lines step through y
  EXPECT_EQ(map.at(2, 2), 9.5);
  EXPECT_EQ(identify_table(map_text(shift_jis("フーリエ変換後の波動振幅"), {0}, {0}, {1})),
            table_kind("spectrum_amplitude"));
  EXPECT_EQ(identify_table(map_text(shift_jis("フーリエ変換後の光の位相"), {0}, {0}, {1})),
            table_kind("spectrum_phase"));
  // A grid size of 0: title, a lone TAB, an empty line.
  const MapTable none = parse_map(title + "\r\n\t\r\n\r\n");
  EXPECT_TRUE(none.x.empty());
  EXPECT_TRUE(none.y.empty());
}

TEST(HostTables, ReadsTheProximityMapLayout) {
  // Two x intervals and one y interval: three lines.
  const std::string text = "\t-1.000000\t0.000000\t1.000000\t\r\n"
                           "-0.500000\t0.250000\t1.000000\t0.250000\t\r\n"
                           "0.500000\t0.062500\t0.500000\tinf\t\r\n";
  EXPECT_EQ(identify_table(text), table_kind("proximity_image"));
  const MapTable map = parse_map(text);
  EXPECT_TRUE(map.title.empty());
  EXPECT_EQ(map.x.size(), 3u);
  EXPECT_EQ(map.y, (std::vector<double>{-0.5, 0.5}));
  EXPECT_EQ(map.at(0, 1), 0.0625);
  EXPECT_TRUE(std::isinf(map.at(2, 1)));
}

TEST(HostTables, RejectsBrokenMaps) {
  EXPECT_THROW(parse_map("\t1.0\t2.0\t\r\n0.0\t1.0\t\r\n"), TableError);        // a short line
  EXPECT_THROW(parse_map("\t1.0\t\r\n0.0\t1.0x\t\r\n"), TableError);            // not a number
  EXPECT_THROW(parse_map("title\r\n1.0\t2.0\r\n"), TableError);                 // no axis line
  EXPECT_THROW(parse_columns(""), TableError);
  EXPECT_THROW(parse_columns(stage_header + "\r\n1\t2\t3\t4\t5\r\n"), TableError);  // too wide
}

TEST(HostTables, ReadsColumnTablesWithAShortLastRow) {
  const std::string text = rows_text(plate_header, {{10, 0, 0, -0.001, 0.5, 0.75, 0},
                                                    {55, -0.02, -0.0004, 0.0001, -0.1, -0.15, -0.0003},
                                                    {100, -0.01, 0, 0.0002, -0.4, -0.6}});
  EXPECT_EQ(identify_table(text), table_kind("plate"));
  const ColumnTable t = parse_columns(text);
  ASSERT_EQ(t.columns.size(), 7u);
  EXPECT_EQ(t.rows(), 3u);
  EXPECT_EQ(t.widths, (std::vector<std::size_t>{7, 7, 6}));
  EXPECT_TRUE(std::isnan(t.columns[6][2]));
  // The largest magnitudes keep their sign and radius; the missing pitch
  // error of the last row does not count.
  const PlateSummary s = summarize_plate(t);
  EXPECT_EQ(s.deflection.value, -0.02);
  EXPECT_EQ(s.deflection.at, 55.0);
  EXPECT_EQ(s.stress.value, 0.75);
  EXPECT_EQ(s.stress.at, 10.0);
  EXPECT_EQ(s.pitch_error.value, -0.0003);
  EXPECT_EQ(s.pitch_error.at, 55.0);
}

TEST(HostTables, TellsTheStageTablesApart) {
  EXPECT_EQ(identify_table(rows_text(stage_header, {{0, 0, 0, 0}})), table_kind("stage"));
  EXPECT_EQ(identify_table(rows_text(shift_jis("時間(s)\tﾅｯﾄ変位(mm)\tｽﾃｰｼﾞ変位(mm)\t制御電流(A)\t"
                                               "ﾅｯﾄ速度(mm/s)\tｽﾃｰｼﾞ速度(mm/s)"),
                                     {{0, 0, 0, 0, 0, 0}})),
            table_kind("nut_stage"));
  EXPECT_EQ(identify_table(rows_text(shift_jis("時間(s)\t変位s(mm)\t変位b(mm)\t変位差分(mm)\t制御電流(A)\t速度(mm/s)"),
                                     {{0, 0, 0, 0, 0, 0}})),
            table_kind("stage_base"));
  EXPECT_EQ(identify_table(""), TableKind::empty);
  EXPECT_EQ(identify_table("1\t2\r\n3\t4\r\n"), TableKind::unknown);
  EXPECT_EQ(identify_table("a\tb\r\n3\t4\r\n"), TableKind::other_columns);
}

TEST(HostSummary, MapMinimumMaximumAndContrast) {
  MapTable map;
  map.x = {-1, 1};
  map.y = {-2, 0, 2};
  map.values = {0.2, 0.9, 1.0, NAN, 0.4, 0.5};
  const MapSummary s = summarize_map(map);
  EXPECT_EQ(s.minimum, 0.2);
  EXPECT_EQ(s.min_x, -1.0);
  EXPECT_EQ(s.min_y, -2.0);
  EXPECT_EQ(s.maximum, 1.0);
  EXPECT_EQ(s.max_x, -1.0);
  EXPECT_EQ(s.max_y, 0.0);
  EXPECT_DOUBLE_EQ(s.contrast, 0.8 / 1.2);
  EXPECT_EQ(s.non_finite, 1u);
}

TEST(HostSummary, SettlingTimeIsWhenTheErrorStaysWithinOneCount) {
  const std::vector<double> t = {0, 1, 2, 3, 4, 5, 6};
  // Out at 0, 1, 2, in at 3, out again at 4, in from 5 on.
  EXPECT_EQ(settling_time(t, {5, 3, -1.5, 0.5, -1.2, 1.0, -0.1}, 1.0), 5.0);
  EXPECT_EQ(settling_time(t, {0, 0, 0, 0, 0, 0, 0}, 1.0), 0.0);
  EXPECT_TRUE(std::isnan(settling_time(t, {0, 0, 0, 0, 0, 0, 2}, 1.0)));
  EXPECT_EQ(settling_time(t, {0, 0, 0, 0, 0, NAN, 0.5}, 1.0), 6.0);  // a nan is never settled
  EXPECT_TRUE(std::isnan(settling_time(t, {0, 0, 0, 0, 0, 0, 0}, 0.0)));
}

TEST(HostSummary, StageSummaryUsesTheServoedPositionAndTheCurrent) {
  // Stage and base: the servo drives the difference (fourth column) to 0.
  const std::string header = shift_jis("時間(s)\t変位s(mm)\t変位b(mm)\t変位差分(mm)\t制御電流(A)\t速度(mm/s)");
  const ColumnTable t = parse_columns(rows_text(header, {{0.0, 1.0, 0.0, 1.0, 0.0, 0},
                                                         {0.1, 0.6, 0.2, 0.4, -3.0, 0},
                                                         {0.2, 0.3, 0.25, 0.05, 7.5, 0},
                                                         {0.3, 0.2, 0.21, -0.01, 1.0, 0}}));
  StageColumns c = stage_columns(table_kind("stage_base"));
  c.count = 0.1;
  const StageSummary s = summarize_stage(t, c);
  EXPECT_EQ(s.final_time, 0.3);
  EXPECT_EQ(s.final_error, -0.01);
  EXPECT_EQ(s.peak_current.value, 7.5);
  EXPECT_EQ(s.peak_current.at, 0.2);
  EXPECT_EQ(s.settling, 0.2);
  const std::string text = summary_of(table_kind("stage_base"), rows_text(header, {{0, 1, 0, 1, 2, 0},
                                                                                 {0.5, 0.5, 0.4, 0.1, -4, 0}}),
                                        &c);
  EXPECT_NE(text.find("final position error 0.1 mm at t = 0.5 s (1 counts)"), std::string::npos) << text;
  EXPECT_NE(text.find("peak current -4 A at t = 0.5 s"), std::string::npos) << text;
  EXPECT_NE(text.find("settled within one count (0.1 mm) from t = 0.5 s"), std::string::npos) << text;
  // The nut-and-stage table: the stage's displacement, whichever sensor the servo reads.
  EXPECT_EQ(stage_columns(table_kind("nut_stage"), true).error, 2u);
  EXPECT_EQ(stage_columns(table_kind("nut_stage"), false).error, 2u);
  EXPECT_EQ(stage_columns(table_kind("nut_stage"), false).current, 3u);
  EXPECT_EQ(stage_columns(table_kind("stage")).current, 2u);
}

// What a summary says a table's numbers are in comes from the table's
// layout and the sheet: a spectrum's axes in direction sines, the plate's
// stress and pitch error in the units the sheet gives the modulus and the
// thickness (not the length's), nothing for a map of no calculator.
TEST(HostSummary, SaysTheUnitsTheLayoutAndTheSheetGive) {
  const std::string amplitude = map_text(shift_jis("フーリエ変換後の波動振幅"), {-0.5, 0.5}, {0, 1}, {1, 2, 3, 4});
  const std::string spectrum = summary_of(identify_table(amplitude), amplitude, nullptr);
  EXPECT_NE(spectrum.find("x -0.5 to 0.5, y 0 to 1 (direction sines)\n"), std::string::npos) << spectrum;
  EXPECT_NE(spectrum.find("(x, y in direction sines; amplitude, dimensionless)"), std::string::npos) << spectrum;
  const std::string foreign = map_text("a map of another program", {-0.5, 0.5}, {0, 1}, {1, 2, 3, 4});
  ASSERT_EQ(identify_table(foreign), TableKind::other_map);
  const std::string other = summary_of(TableKind::other_map, foreign, nullptr);
  EXPECT_NE(other.find("x -0.5 to 0.5, y 0 to 1\n"), std::string::npos) << other;
  EXPECT_EQ(other.find("direction sines"), std::string::npos) << other;

  const std::string plate = rows_text(plate_header, {{10, 0, 0, -0.001, 0.5, 0.75, 0},
                                                     {55, -0.02, -0.0004, 0.0001, -0.1, -0.15, -0.0003},
                                                     {100, -0.01, 0, 0.0002, -0.4, -0.6}});
  SummaryContext context;
  context.length_unit = "mm";
  context.units.texts = {{"stress", "N/mm^2"}, {"thickness", "um"}};
  const std::string text = summary_of(identify_table(plate), plate, context);
  EXPECT_NE(text.find("3 rows of 7 columns (the last row, at the end radius, has 6: no pitch error there)\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("largest deflection -0.02 mm at r = 55 mm"), std::string::npos) << text;
  EXPECT_NE(text.find("largest radial stress 0.75 N/mm^2 at r = 10 mm"), std::string::npos) << text;
  EXPECT_NE(text.find("largest pitch error -0.0003 um at r = 55 mm"), std::string::npos) << text;
  // The same rows under labels of another program: a column table, no plate metrics.
  const std::string renamed = rows_text("r\tw\ta\tb\tc\td\te", {{10, 0, 0, 0, 0, 0, 0}, {20, 0, 0, 0, 0, 0}});
  const std::string plain = summary_of(identify_table(renamed), renamed, context);
  EXPECT_EQ(plain, "  2 rows of 7 columns (1 rows shorter)\n");
}

}  // namespace
// Table fields are read as the C library reads them, whatever path a field
// takes: random decimals of every length (the short exact path and past
// it), the forms the calculators print and the forms only the C library
// reads, compared bit for bit with strtod over the whole field.
TEST(HostTables, FieldsReadAsTheCLibraryReadsThem) {
  auto c_library = [](const std::string& field) -> std::optional<double> {
    char* end = nullptr;
    const double v = std::strtod(field.c_str(), &end);
    if (field.empty() || end != field.c_str() + field.size()) return std::nullopt;
    return v;
  };
  std::vector<std::string> fields = {"", ".", "-", "-.", "+1", " 1", "1 ", "1e", "1.2.3", "0x1p3", "inf", "-inf",
                                     "nan", "-nan", "1e400", "-1e-400", "4.9e-324", "-0", "-0.000000", "5.", ".5",
                                     "-.5", "0000000000000000000000001.5", "123456789012345", "1234567890123456",
                                     "0.1234567890123456789012", "0.12345678901234567890123", "9007199254740993"};
  std::mt19937_64 random(20261208);
  char buffer[64];
  for (int k = 0; k < 20000; ++k) {
    const double v = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 80) - 70);
    const char* formats[] = {"%f", "%.3f", "%.15g", "%.17g", "%.6e", "%.20f"};
    std::snprintf(buffer, sizeof buffer, formats[k % 6], (k & 64) ? -v : v);
    fields.push_back(buffer);
    std::string digits = (k & 1) ? "-" : "";
    const int length = 1 + static_cast<int>(random() % 26), point = static_cast<int>(random() % (length + 2));
    for (int d = 0; d < length; ++d) digits += (d == point ? "." : "") + std::to_string(random() % 10);
    fields.push_back(digits);
  }
  for (const std::string& field : fields) {
    const std::optional<double> expected = c_library(field), read = whole_real(field);
    ASSERT_EQ(read.has_value(), expected.has_value()) << "\"" << field << "\"";
    if (!read || std::isnan(*read)) continue;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*read), std::bit_cast<std::uint64_t>(*expected)) << field;
    // A long table's reader takes the field where a TAB ends it; when it
    // takes all of it, it reads what the full reading does.
    std::size_t used = 0;
    const std::optional<double> prefix = plain_decimal_prefix(field + "\t7", used);
    if (prefix && used == field.size()) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*prefix), std::bit_cast<std::uint64_t>(*expected)) << field;
    }
  }
}

}  // namespace meridox::host
