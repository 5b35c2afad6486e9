// The meridox command as a user runs it: sub-commands, exit statuses, the
// output folder, the tables and pictures of a run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include "host/core/calculators.hpp"
#include "host/core/process.hpp"
#include "host/cli/run_command.hpp"
#include "host/core/tables.hpp"
#include "command_runner.hpp"
#include "png_reader.hpp"
#include "sheet_edit.hpp"
#include "support/harness.hpp"

namespace meridox::host {
namespace {

namespace fs = std::filesystem;
using testing::read_png;

using Result = testing::CommandResult;
using testing::quoted;
using testing::slurp;

class HostCommand : public ::testing::Test {
 protected:
  testing::ExchangeFolder scratch;
  fs::path dir() const { return scratch.path(); }

  // Runs meridox with `args` in the scratch folder.
  Result meridox(const std::string& args) const { return testing::run_command(dir(), MERIDOX_EXE, args); }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir() / name, std::ios::binary) << bytes;
  }
  // Every file under the scratch folder.
  std::size_t entries() const {
    std::size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(dir()); it != fs::recursive_directory_iterator(); ++it) ++n;
    return n;
  }
};

std::size_t lines(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

TEST_F(HostCommand, SheetPrintsTheExampleByteForByte) {
  for (const Calculator& c : calculators()) {
    for (const char* name : {c.name, c.alias}) {
      const Result r = meridox(std::string("sheet ") + name);
      EXPECT_EQ(r.status, 0) << name;
      EXPECT_EQ(r.out, slurp(fs::path(EXAMPLES_DIR) / (std::string(c.name) + ".txt"))) << name;
    }
  }
  const Result bad = meridox("sheet nothing");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(lines(bad.err), 1u) << bad.err;
  EXPECT_NE(bad.err.find("nothing"), std::string::npos);
}

TEST_F(HostCommand, BadInputIsOneLineNonZeroAndTouchesNothing) {
  write("sheet.txt", "x\r\n");
  const std::size_t before = entries();
  for (const char* args : {"run nothing", "run stage missing.txt", "check stage missing.txt", "check nothing sheet.txt",
                           "plot missing.txt", "run", "frobnicate", "run stage --size 12", "check stage"}) {
    const Result r = meridox(args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_EQ(lines(r.err), 1u) << args << ": " << r.err;
    EXPECT_EQ(entries(), before) << args;
  }
  EXPECT_EQ(meridox("run nothing").status, 2);
  // An output folder that cannot be made: a file stands in its way.
  write("blocker", "keep");
  const Result r = meridox("run stage --out blocker/out");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot create the output folder"), std::string::npos) << r.err;
  EXPECT_EQ(lines(r.err), 1u);
  EXPECT_EQ(slurp(dir() / "blocker"), "keep");
  // A library folder without the library.
  const Result missing = meridox("run stage --lib-dir " + quoted(dir().string()) + " --out o");
  EXPECT_EQ(missing.status, 3);
  EXPECT_FALSE(fs::exists(dir() / "o"));
}

TEST_F(HostCommand, CheckExitsZeroOneOrTwo) {
  write("good.txt", std::string(example_sheet("drovik2")));
  write("bad.txt", testing::with_cell(example_sheet("drovik2"), 2, 14, "0"));
  write("bad2.txt", testing::with_cell(example_sheet("talvek"), 2, 5, "0"));
  const Result good = meridox("check stage good.txt");
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_NE(good.out.find("no warnings"), std::string::npos);
  EXPECT_NE(good.out.find("(2,14)   print_interval"), std::string::npos) << good.out;
  const Result bad = meridox("check drovik2 bad.txt");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("[print-interval-zero]"), std::string::npos) << bad.out;
  EXPECT_EQ(meridox("check plate bad2.txt").status, 1);
  // From the standard input, as from a pipe.
  const Result piped = meridox("check stage - < bad.txt");
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.out, bad.out);
  EXPECT_EQ(meridox("check plate .").status, 2);  // a folder is no sheet
  EXPECT_EQ(meridox("check plate none.txt").status, 2);
}

// Each calculator from its built-in example: the sheet lands in the output
// folder, every table the calculator wrote gets a summary and a picture.
TEST_F(HostCommand, RunsEveryCalculatorFromItsExample) {
  for (const Calculator& c : calculators()) {
    SCOPED_TRACE(c.name);
    const fs::path out = dir() / "meridox-out" / c.alias;
    // Stale results of an earlier run must not pass for this run's.
    fs::create_directories(out);
    for (const TableSpec& table : c.layout->tables) std::ofstream(out / table.file) << "stale";
    const Result r = meridox(std::string("run ") + c.alias);
    EXPECT_EQ(slurp(out / "IN_FM.txt"), example_sheet(c.name));
    bool all_written = true;
    for (const TableSpec& t : c.layout->tables) {
      const std::string table(t.file);
      const fs::path path = out / table;
      if (!fs::exists(path)) {
        all_written = false;
        EXPECT_NE(r.err.find(std::string("wrote no ") + table), std::string::npos) << r.err;
        continue;
      }
      const std::string bytes = slurp(path);
      EXPECT_NE(bytes, "stale");
      const fs::path png = fs::path(path).replace_extension(".png");
      if (identify_table(bytes) == TableKind::empty) {
        EXPECT_FALSE(fs::exists(png));
        continue;
      }
      const testing::Picture picture = read_png(png.string());
      EXPECT_TRUE(picture.ok) << png;
      EXPECT_EQ(picture.width, 960);
      EXPECT_EQ(picture.height, 720);
      EXPECT_GT(picture.distinct_colours(), 3u);
    }
    EXPECT_EQ(r.status, all_written ? 0 : 1) << r.out << r.err;
    EXPECT_NE(r.out.find("output folder: " + fs::absolute(out).string() + "/"), std::string::npos) << r.out;
  }
  // Nothing but the output folder was made.
  std::size_t top = 0;
  for (const auto& e : fs::directory_iterator(dir())) top += e.path().filename() == "meridox-out" ? 0 : 1;
  EXPECT_EQ(top, 0u);
}

TEST_F(HostCommand, RunSummarisesAndDrawsTheOpticsTables) {
  // The stand-in writes 1 + q + 2 j at sample (q, j) of an N x N grid whose
  // image axis is pitch * (q - N/2).
  std::string sheet = testing::with_cell(example_sheet("orvalis"), 2, 2, "8");
  sheet = testing::with_cell(sheet, 2, 3, "0.5");
  write("optics.txt", sheet);
  const Result r = meridox("run projection optics.txt --out res --size 640x480 --lib-dir " + quoted(FAKE_LIB_DIR));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double max = 1 + 7 + 2 * 7;
  char expected[200];
  std::snprintf(expected, sizeof expected, "minimum 1 at (-2, -2), maximum %g at (1.5, 1.5)", max);
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  // The peak and contrast of the cut along y = 0 (row j = 4: 9 to 16 on its
  // samples, beyond them between), not of the whole field.
  const std::size_t at = r.out.find(", contrast ");
  ASSERT_NE(at, std::string::npos) << r.out;
  double contrast = 0, peak = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, ", contrast %lf, peak %lf", &contrast, &peak), 2) << r.out;
  EXPECT_GE(peak, 16.0);
  EXPECT_LT(peak, max);
  EXPECT_GE(contrast, 7.0 / 25.0);
  EXPECT_NE(r.out.find("8 x 8 samples"), std::string::npos) << r.out;
  // Contrast belongs to the image, not to the spectrum.
  std::size_t contrasts = 0;
  for (std::size_t at = r.out.find("contrast"); at != std::string::npos; at = r.out.find("contrast", at + 1)) {
    ++contrasts;
  }
  EXPECT_EQ(contrasts, 1u) << r.out;
  for (const char* png : {"OUT_M.png", "OUT_MR.png", "OUT_MI.png"}) {
    const testing::Picture picture = read_png((dir() / "res" / png).string());
    ASSERT_TRUE(picture.ok) << png;
    EXPECT_EQ(picture.width, 640);
    EXPECT_EQ(picture.height, 480);
    EXPECT_GT(picture.distinct_colours(), 8u);
    EXPECT_GT(picture.share_not_background(), 0.2);
  }
  EXPECT_EQ(slurp(dir() / "res" / "IN_FM.txt"), sheet);

  // plot redraws a table on its own, beside it or where asked.
  fs::remove(dir() / "res" / "OUT_M.png");
  const Result plot = meridox("plot res/OUT_M.txt");
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_EQ(read_png((dir() / "res" / "OUT_M.png").string()).width, 960);
  EXPECT_EQ(meridox("plot res/OUT_MI.txt -o phase.png --size 300x200").status, 0);
  EXPECT_EQ(read_png((dir() / "phase.png").string()).height, 200);
  write("junk.txt", "1\t2\r\n");
  EXPECT_EQ(meridox("plot junk.txt").status, 2);
  EXPECT_FALSE(fs::exists(dir() / "junk.png"));
}

TEST_F(HostCommand, TablesWithoutSamplesAreNoFailure) {
  // Grid size 0: each table holds its title, a lone TAB and an empty line.
  write("empty.txt", testing::with_cell(example_sheet("orvalis"), 2, 2, "0"));
  const Result r = meridox("run projection empty.txt --out e --lib-dir " + quoted(FAKE_LIB_DIR));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("[empty-result]"), std::string::npos) << r.err;
  std::size_t notes = 0;
  for (std::size_t at = r.out.find("no samples, no picture"); at != std::string::npos;
       at = r.out.find("no samples, no picture", at + 1)) {
    ++notes;
  }
  EXPECT_EQ(notes, 3u) << r.out;
  EXPECT_FALSE(fs::exists(dir() / "e" / "OUT_M.png"));
  EXPECT_EQ(slurp(dir() / "e" / "OUT_M.txt").substr(slurp(dir() / "e" / "OUT_M.txt").find('\n')), "\n\t\r\n\r\n");
}

TEST_F(HostCommand, RunSummarisesTheStageTable) {
  // The stand-in writes ten rows at t = k h with displacement 5 r / 2^k and
  // a current of k / 2, except -9.5 at k = 2.
  std::string sheet = testing::with_cell(example_sheet("drovik2"), 2, 4, "0.5");
  sheet = testing::with_cell(sheet, 2, 12, "0.1");
  write("stage.txt", sheet);
  const Result r = meridox("run stage stage.txt --lib-dir " + quoted(FAKE_LIB_DIR));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  char expected[200];
  // The table holds the "%f" text of 5 r / 2^9; 5 r / 2^k is within one
  // count r from k = 3 on.
  const double final_error = std::atof(testing::printf_fixed(5 * 0.5 / 512).c_str());
  std::snprintf(expected, sizeof expected, "final position error %.6g mm at t = %.6g s", final_error, 0.9);
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("peak current -9.5 A at t = 0.2 s"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("settled within one count (0.5 mm) from t = 0.3 s"), std::string::npos) << r.out;
  // Its run of every step wrote the same ten rows: no history of every step.
  EXPECT_NE(r.out.find("printed rows only (the table of every step holds 10 of the 2001 states)"), std::string::npos)
      << r.out;
  const testing::Picture picture = read_png((dir() / "meridox-out" / "stage" / "OUT_M.png").string());
  ASSERT_TRUE(picture.ok);
  EXPECT_GT(picture.share_not_background(), 0.01);
  // plot finds the run's sheet beside the table and with it the count.
  const Result plot = meridox("plot meridox-out/stage/OUT_M.txt -o again.png");
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_NE(plot.out.find("settled within one count (0.5 mm) from t = 0.3 s"), std::string::npos) << plot.out;
  EXPECT_TRUE(read_png((dir() / "again.png").string()).ok);
  // Without pictures, only the tables.
  fs::remove(dir() / "meridox-out" / "stage" / "OUT_M.png");
  EXPECT_EQ(meridox("run stage stage.txt --no-pictures --lib-dir " + quoted(FAKE_LIB_DIR)).status, 0);
  EXPECT_FALSE(fs::exists(dir() / "meridox-out" / "stage" / "OUT_M.png"));
}

TEST_F(HostCommand, ACrashingCalculatorIsReportedNotFatal) {
  const Result r = meridox("run plate --out crash --lib-dir " + quoted(FAKE_LIB_DIR));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("talvek stopped on signal"), std::string::npos) << r.err;
  EXPECT_EQ(lines(r.err), 1u) << r.err;
  EXPECT_FALSE(fs::exists(dir() / "crash" / "OUT_M.png"));
}

}  // namespace
}  // namespace meridox::host

namespace meridox::host {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The summary of a real stage comes from every step, whatever the print
// interval: the example's current peaks between printed rows.
TEST_F(HostCommand, StageMetricsCoverEveryStep) {
  write("coarse.txt", testing::with_cell(example_sheet("drovik2"), 2, 14, "500"));
  write("fine.txt", testing::with_cell(example_sheet("drovik2"), 2, 14, "1"));
  const Result coarse = meridox("run stage coarse.txt --out c --no-pictures");
  const Result fine = meridox("run stage fine.txt --out f --no-pictures");
  ASSERT_EQ(coarse.status, 0) << coarse.err;
  const std::string metrics = fine.out.substr(fine.out.find("metrics over every step"));
  EXPECT_EQ(coarse.out.substr(coarse.out.find("metrics over every step")), metrics);
  EXPECT_TRUE(has(metrics, "peak current -9.2222 A at t = 0.0003 s")) << metrics;
  // The user's table stays as the sheet asked, and no scratch folder is left.
  EXPECT_EQ(lines(slurp(dir() / "c" / "OUT_M.txt")), 6u);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir() / "c")) files += e.is_directory() ? 100 : 1;
  EXPECT_EQ(files, 2u);
  // Beyond the bound the summary says it covers the printed rows only.
  write("long.txt", testing::with_cell(testing::with_cell(example_sheet("drovik2"), 2, 13, "20000000"), 2, 14,
                                       "10000000"));
  const Result long_run = meridox("run stage long.txt --out l --no-pictures");
  EXPECT_TRUE(has(long_run.out, "metrics over the printed rows only")) << long_run.out;
  // An image with no finite value fails in one line and draws nothing.
  write("na0.txt", testing::with_cell(example_sheet("orvalis"), 2, 5, "0"));
  const Result dark = meridox("run projection na0.txt --out n");
  EXPECT_EQ(dark.status, 1) << dark.out;
  EXPECT_EQ(lines(dark.err), 2u) << dark.err;  // the warning and the failure
  EXPECT_FALSE(fs::exists(dir() / "n" / "OUT_M.png"));
  // --strict fails on a warning, without it the same run passes.
  // (A start offset of one count: its first step's derivative kick warns; a
  // negative mass would make the run diverge, which fails without --strict.)
  write("warned.txt", testing::with_cell(example_sheet("drovik2"), 2, 10, "0.0001"));
  EXPECT_EQ(meridox("run stage warned.txt --out w --no-pictures").status, 0);
  EXPECT_EQ(meridox("run stage warned.txt --out w --no-pictures --strict").status, 1);
}

// Labels in Japanese or the user's own words are theirs; another calculator's
// sheet or a line added above the values warns, in `check` and `run --strict`.
TEST_F(HostCommand, OnlyAnotherCalculatorsOrMovedLabelsWarn) {
  const std::string stage(example_sheet("drovik2"));
  write("japanese.txt", testing::with_labels(stage, [](int row) {
          return testing::shift_jis((row % 2 ? "ステージ質量 " : "位置ゲイン ") + std::to_string(row));
        }));
  write("own.txt", testing::with_labels(stage, [](int row) { return "our setting no. " + std::to_string(row); }));
  write("base.txt", std::string(example_sheet("drovik3")));
  write("inserted.txt", testing::with_line(stage, 1, "revised by the lab\t\t"));
  for (const auto& [name, warns] : {std::pair{"japanese", false}, {"own", false}, {"base", true}, {"inserted", true}}) {
    SCOPED_TRACE(name);
    const std::string sheet = std::string(name) + ".txt";
    const Result check = meridox("check stage " + sheet);
    EXPECT_EQ(has(check.out, "warning [label-mismatch]"), warns) << check.out;
    EXPECT_EQ(check.status, warns ? 1 : 0) << check.out;
    const Result run = meridox("run stage " + sheet + " --out " + name + " --no-pictures --strict");
    EXPECT_EQ(has(run.err, "warning [label-mismatch]"), warns) << run.err;
    EXPECT_EQ(run.status, warns ? 1 : 0) << run.err;
  }
}

TEST_F(HostCommand, BadSheetsAreNamedForWhatTheyAre) {
  const std::string stage = std::string(example_sheet("drovik2"));
  write("shifted.txt", stage.substr(stage.find('\n') + 1));
  const Result shifted = meridox("check stage shifted.txt");
  EXPECT_TRUE(has(shifted.out, "[label-mismatch]: (0,1) offset_switch: the label \"offset width\"")) << shifted.out;
  write("plate.txt", std::string(example_sheet("talvek")));
  EXPECT_TRUE(has(meridox("check stage plate.txt").out, "this looks like a sheet of plate (talvek)"));
  std::string spaced = stage;
  std::replace(spaced.begin(), spaced.end(), '\t', ' ');
  write("spaces.txt", spaced);
  const Result no_tabs = meridox("check stage spaces.txt");
  EXPECT_TRUE(has(no_tabs.out, "1 warning:\nwarning [no-tabs]")) << no_tabs.out;
  std::string wide;
  for (const char c : stage) wide += std::string{c, '\0'};
  write("utf16.txt", "\xFF\xFE" + wide);
  EXPECT_TRUE(has(meridox("check stage utf16.txt").out, "1 warning:\nwarning [utf-16]"));
  // Implausible values, and the cell the proximity wavelength warning names.
  write("neg.txt", testing::with_cell(example_sheet("quendra"), 2, 2, "-0.4"));
  const Result neg = meridox("check proximity neg.txt");
  EXPECT_TRUE(has(neg.out, "[implausible]: (2,2) wavelength")) << neg.out;
  EXPECT_TRUE(has(neg.out, "[divides-by-zero]: (2,2) wavelength")) << neg.out;
  write("na.txt", testing::with_cell(example_sheet("orvalis"), 2, 5, "1.2"));
  EXPECT_TRUE(has(meridox("check projection na.txt").out, "[implausible]: (2,5) NA"));
  // A billion rectangles: one line for the empty rows, numbered from 0 like the cells.
  write("rects.txt", testing::with_cell(example_sheet("orvalis"), 2, 22, "1000000000"));
  const Result rects = meridox("check projection rects.txt");
  EXPECT_EQ(rects.status, 1);
  EXPECT_TRUE(has(rects.out, "4 warnings:")) << rects.out.substr(rects.out.size() - 600);  // and the source's
  EXPECT_TRUE(has(rects.out, "from rect[976] on lie beyond row 1000"));
  EXPECT_TRUE(has(rects.out, "972 rectangle rows are empty, from rect[4]"));
  // A cell of exactly the cell size is cut by one byte: say so; one byte less is whole.
  const std::string digits = "0.0001" + std::string(194, '0');
  write("cell200.txt", testing::with_cell(stage, 2, 4, digits));
  write("cell199.txt", testing::with_cell(stage, 2, 4, digits.substr(0, 199)));
  EXPECT_TRUE(has(meridox("check stage cell200.txt").out, "[sheet-overflow]"));
  EXPECT_EQ(meridox("check stage cell199.txt").status, 0);
  // The plate's end radius 0: the span passes through the axis.
  write("r0.txt", testing::with_cell(example_sheet("talvek"), 2, 8, "0"));
  EXPECT_TRUE(has(meridox("check plate r0.txt").out, "[divides-by-zero]: (2,8) r_end"));
  // Control bytes in a long label: every report line keeps its line end.
  write("ctl.txt", testing::with_cell(stage, 0, 4, std::string(150, '\x01')));
  const Result ctl = meridox("check stage ctl.txt");
  EXPECT_TRUE(has(ctl.out, "\\x01\\x01 [mm/count]\n(2,5)")) << ctl.out;
}

// Every single-cell rule a layout states fires through `meridox check` when
// its example breaks it, on the cell the rule names and with the rule's reason,
// and the check then exits 1; the other cells of the example stay quiet.
TEST_F(HostCommand, EveryCellRuleOfTheLayoutsWarnsOnItsCell) {
  int rules = 0;
  for (const Calculator& c : calculators()) {
    for (const CellCheck& rule : c.layout->checks) {
      SCOPED_TRACE(std::string(c.alias) + " " + std::string(rule.cell));
      const CellSpec* cell = c.layout->find(rule.cell);
      ASSERT_NE(cell, nullptr);
      const char* value = rule.rule == CellRule::nonzero ? "0" : rule.rule == CellRule::nonnegative ? "-1" : "1.5";
      const std::string said = rule.rule == CellRule::nonzero ? "[divides-by-zero]: " : "[implausible]: ";
      const std::string why = rule.rule == CellRule::nonzero       ? "is 0: "
                              : rule.rule == CellRule::nonnegative ? "is negative: "
                                                                   : "1.5 lies outside (0, 1]: ";
      const std::string where =
          "(" + std::to_string(cell->column) + "," + std::to_string(cell->row) + ") " + std::string(rule.cell) + ": ";
      write("broken.txt", testing::with_cell(example_sheet(c.name), cell->column, cell->row, value));
      const Result r = meridox(std::string("check ") + c.alias + " broken.txt");
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.out.find("warning " + said + where + why + std::string(rule.why) + "\n"), std::string::npos)
          << r.out;
      // Nothing is said of another cell for its value alone (the only
      // warnings naming other cells combine this one with them).
      for (const CellSpec& other : c.layout->cells) {
        if (other.name == rule.cell) continue;
        const std::string at = "(" + std::to_string(other.column) + "," + std::to_string(other.row) + ") " +
                               std::string(other.name) + ": is ";
        EXPECT_EQ(r.out.find(at + (rule.rule == CellRule::nonzero ? "0:" : "negative:")), std::string::npos) << r.out;
      }
      ++rules;
    }
  }
  // Each calculator states some: the masses, steps, optics and plate section.
  EXPECT_GE(rules, 6 * 2);
}

TEST_F(HostCommand, OptionsAreCheckedBeforeAnyRun) {
  for (const char* args : {"run stage --size 0x0 --out o", "run projection --unit furlongs --out o",
                           "run stage --timeout -1 --out o", "run projection --tone grey --out o"}) {
    const Result r = meridox(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(lines(r.err), 1u) << args << r.err;
    EXPECT_FALSE(fs::exists(dir() / "o")) << args;
  }
  EXPECT_EQ(meridox("list --lib-dir " + quoted(dir().string())).status, 3);
  EXPECT_TRUE(has(meridox("--version").out, "meridox "));
  // --unit converts: micrometre axes drawn in nanometres are a thousand times longer.
  SummaryContext context;
  PlotOptions plot;
  plot.length_unit = "nm";
  EXPECT_EQ(describe_run(*find_calculator("proximity"), example_sheet("quendra"), context, plot), "");
  EXPECT_DOUBLE_EQ(plot.length_scale, 1000.0);
  const Result nm = meridox("run proximity --out p --unit nm --no-pictures");
  EXPECT_EQ(nm.status, 0) << nm.err;
  EXPECT_EQ(meridox("run plate --out q --unit nm").status, 2);
  // The cut options reach the metrics: the dark gap between the first two
  // lines of the projection example is measured, the bright line is not.
  const Result dark = meridox("run projection --out d --no-pictures --cut-x -0.48 --tone dark");
  EXPECT_TRUE(has(dark.out, "through x = -0.48 um, dark feature")) << dark.out;
  EXPECT_FALSE(has(dark.out, "cd nan")) << dark.out;
  EXPECT_TRUE(has(meridox("run projection --out b --no-pictures --cut-x -0.48").out, "cd nan (not printed"));
}

TEST_F(HostCommand, HostileFilesAndEndlessRuns) {
  // A sheet that never ends, and one far larger than any grid.
  Result r = meridox("run stage /dev/zero --out z");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(lines(r.err), 1u);
  write("sparse.txt", "");
  fs::resize_file(dir() / "sparse.txt", (std::uintmax_t{16} << 20) + 1);
  r = meridox("check stage sparse.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "larger than 16 MiB")) << r.err;
  // plot -o never removes a link or a device: it refuses them.
  ASSERT_EQ(meridox("run stage --out s").status, 0);
  write("keep.txt", "keep");
  fs::create_symlink(dir() / "keep.txt", dir() / "link.png");
  for (const char* target : {"link.png", "/dev/null", "missing/x.png", "s", "s/OUT_M.txt"}) {
    r = meridox(std::string("plot s/OUT_M.txt -o ") + target);
    EXPECT_NE(r.status, 0) << target;
    EXPECT_EQ(lines(r.err), 1u) << target << r.err;
  }
  EXPECT_TRUE(fs::is_symlink(dir() / "link.png"));
  EXPECT_EQ(slurp(dir() / "keep.txt"), "keep");
  EXPECT_TRUE(fs::exists("/dev/null"));
  EXPECT_EQ(identify_table(slurp(dir() / "s" / "OUT_M.txt")), table_kind("stage"));
  // A link at IN_FM.txt is replaced, never written through; a projection's
  // tables do not survive a stage run in the same folder.
  ASSERT_EQ(meridox("run projection --out s --no-pictures").status, 0);
  fs::remove(dir() / "s" / "IN_FM.txt");
  fs::create_symlink(dir() / "keep.txt", dir() / "s" / "IN_FM.txt");
  // What an interrupted run left goes too.
  fs::create_directories(dir() / "s" / ".every-step-x1Y2z3");
  write("s/.every-step-x1Y2z3/OUT_M.txt", "half");
  write("s/.OUT_M.png.a1B2c3", "half");
  EXPECT_EQ(meridox("run stage --out s --no-pictures").status, 0);
  EXPECT_EQ(slurp(dir() / "keep.txt"), "keep");
  EXPECT_FALSE(fs::is_symlink(dir() / "s" / "IN_FM.txt"));
  EXPECT_FALSE(fs::exists(dir() / "s" / "OUT_MR.txt"));
  EXPECT_FALSE(fs::exists(dir() / "s" / ".every-step-x1Y2z3"));
  EXPECT_FALSE(fs::exists(dir() / "s" / ".OUT_M.png.a1B2c3"));
  // A link where a run's picture goes is neither followed nor removed.
  fs::create_symlink(dir() / "keep.txt", dir() / "s" / "OUT_M.png");
  r = meridox("run stage --out s");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "is a link")) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir() / "s" / "OUT_M.png"));
  EXPECT_EQ(slurp(dir() / "keep.txt"), "keep");
  // A calculator that ends the process with status 1 is a failure.
  const std::string fake = " --no-pictures --lib-dir " + quoted(FAKE_LIB_DIR);
  write("exit1.txt", testing::with_cell(example_sheet("drovik2"), 2, 1, "7"));
  r = meridox("run stage exit1.txt --out e" + fake);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "status 1")) << r.err;
  // A calculator that never ends: the timeout ends it.
  write("forever.txt", testing::with_cell(example_sheet("drovik2"), 2, 1, "8"));
  r = meridox("run stage forever.txt --out t --timeout 0.3" + fake);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "still running after 0.3 s")) << r.err;
  // Whatever ends a child comes back as one line: its own word (as PLplot's
  // exit hook gives it), an exit status, a signal, the timeout.
  EXPECT_EQ(run_in_child([]() -> std::string { fail_child("PLplot: boom\nsecond line"); }, "w"), "PLplot: boom");
  EXPECT_EQ(run_in_child([]() -> std::string { std::exit(3); }, "w"), "w ended the process with status 3");
  EXPECT_TRUE(has(run_in_child([]() -> std::string { std::abort(); }, "w"), "w stopped on signal 6"));
  EXPECT_EQ(run_in_child([]() -> std::string { return {}; }, "w"), "");
  // A work that ends its process with status 0 before it returns did not finish.
  EXPECT_EQ(run_in_child([]() -> std::string { std::exit(0); }, "w"), "w ended the process before its work was done");
  // Several children at once from one thread: each outcome comes back under
  // its own tag, in the order they end, with what the work returned.
  {
    ChildGroup group({0.5, false});
    const std::size_t big = 3 << 20;  // more than a pipe holds at once, and more than 1 MiB
    EXPECT_EQ(group.start(1, [] { return ChildWork{true, "one"}; }, "c1"), "");
    EXPECT_EQ(group.start(2, [&] { return ChildWork{true, std::string(big, 'x')}; }, "c2"), "");
    EXPECT_EQ(group.start(3, [] { return ChildWork{false, "bad sheet"}; }, "c3"), "");
    EXPECT_EQ(group.start(4, []() -> ChildWork { std::abort(); }, "c4"), "");
    EXPECT_EQ(group.start(5, []() -> ChildWork { pause(); return {}; }, "c5"), "");
    EXPECT_EQ(group.running(), 5u);
    std::map<std::size_t, ChildOutcome> seen;
    while (group.running() > 0) {
      for (auto& [tag, outcome] : group.wait_any()) EXPECT_TRUE(seen.emplace(tag, outcome).second) << tag;
    }
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_TRUE(seen[1].ok && seen[1].text == "one");
    EXPECT_TRUE(seen[2].ok && seen[2].text == std::string(big, 'x'));
    EXPECT_TRUE(!seen[3].ok && seen[3].text == "bad sheet");
    EXPECT_TRUE(!seen[4].ok && has(seen[4].text, "c4 stopped on signal 6")) << seen[4].text;
    EXPECT_TRUE(!seen[5].ok && has(seen[5].text, "c5 was still running after 0.5 s")) << seen[5].text;
    EXPECT_TRUE(group.wait_any().empty());
  }
  // Nothing unwinds out of a child's work into the copy of the host it runs
  // on: a throwing work fails alone, and a sibling still running is not ended
  // by the copy of the group. A child that finished before its deadline but
  // is looked at after it keeps its result.
  {
    ChildGroup group({5.0, false});
    EXPECT_EQ(group.start(1, [] { usleep(300000); return ChildWork{true, "slow"}; }, "c1"), "");
    EXPECT_EQ(group.start(2, []() -> ChildWork { throw std::runtime_error("boom"); }, "c2"), "");
    std::map<std::size_t, ChildOutcome> seen;
    while (group.running() > 0) {
      for (auto& [tag, outcome] : group.wait_any()) seen.emplace(tag, outcome);
    }
    EXPECT_TRUE(seen[1].ok && seen[1].text == "slow") << seen[1].text;
    EXPECT_TRUE(!seen[2].ok && seen[2].text == "c2 failed: boom") << seen[2].text;
  }
  {
    ChildGroup group({0.2, false});
    EXPECT_EQ(group.start(7, [] { return ChildWork{true, "in time"}; }, "c7"), "");
    usleep(500000);
    const auto ended = group.wait_any();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_TRUE(ended[0].second.ok && ended[0].second.text == "in time") << ended[0].second.text;
  }
  // Terminated during the run of every step, the host ends that run, removes
  // its scratch folder, says so in one line and ends as the signal asked.
  write("nine.txt", testing::with_cell(example_sheet("drovik2"), 2, 1, "9"));
  const std::string term = "cd " + quoted(dir().string()) + " && (" + quoted(MERIDOX_EXE) +
                           " run stage nine.txt --out n9" + fake + " >/dev/null 2>n9.err & host=$!; sleep 0.5; "
                           "kill -TERM $host; wait $host; echo $? >n9.status)";
  ASSERT_EQ(std::system(term.c_str()), 0);
  EXPECT_EQ(std::atoi(slurp(dir() / "n9.status").c_str()), 128 + SIGTERM);
  EXPECT_TRUE(has(slurp(dir() / "n9.err"), "(every step) was ended: the host was interrupted")) << slurp(dir() / "n9.err");
  EXPECT_EQ(lines(slurp(dir() / "n9.err")), 1u);
  for (const auto& e : fs::directory_iterator(dir() / "n9")) {
    EXPECT_NE(e.path().filename().string().rfind(".every-step-", 0), 0u) << e.path();
  }
  // A killed host takes its calculator with it.
  const std::string pids = (dir() / "pids").string();
  const std::string command = "cd " + quoted(dir().string()) + " && (" + quoted(MERIDOX_EXE) +
                              " run stage forever.txt --out k" + fake + " >/dev/null 2>&1 & host=$!; sleep 0.5; "
                              "child=$(pgrep -P $host); kill -KILL $host; sleep 0.3; "
                              "echo \"$child $(ps -o stat= -p $child)\" >" + quoted(pids) + "; true)";
  ASSERT_EQ(std::system(command.c_str()), 0);
  // The child is gone, or a zombie nobody has reaped yet.
  const std::string state = slurp(pids);
  EXPECT_GT(std::atoi(state.c_str()), 0) << "no calculator child was seen";
  EXPECT_TRUE(state.find(' ') + 2 >= state.size() || state[state.find(' ') + 1] == 'Z') << state;
}

}  // namespace
}  // namespace meridox::host

namespace meridox::host {
namespace {

// The value after `label` in a summary; NaN when it is not there.
double after(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + label.size(), nullptr);
}

// Metrics of tables written here, worked out here: `plot` measures a table
// as printed. A cosine image over its periodic grid, I = a + b cos(2 pi x /
// (N p)), crosses T where cos(theta) = (T - a) / b: cd = theta N p / pi and
// nils = cd |dI/dx| / T = 2 theta b sin(theta) / T. A stage error that
// starts negative: its first swing is the start offset, its overshoot the
// largest positive error after it.
TEST_F(HostCommand, PlotMeasuresTablesWorkedOutByHand) {
  ASSERT_EQ(meridox("run projection --no-pictures -o src --lib-dir " + quoted(FAKE_LIB_DIR)).status, 0);
  const std::string image_title = slurp(dir() / "src" / "OUT_M.txt").substr(0, slurp(dir() / "src" / "OUT_M.txt").find('\n') + 1);
  const int n = 32;
  const double p = 0.1, a = 0.5, b = 0.4, T = 0.6, pi = 3.14159265358979323846;
  std::string map = image_title;
  for (int q = 0; q < n; ++q) map += "\t" + testing::printf_fixed(p * (q - n / 2));
  map += "\r\n";
  for (int j = 0; j < n; ++j) {
    map += testing::printf_fixed(p * (j - n / 2));
    for (int q = 0; q < n; ++q) map += "\t" + testing::printf_fixed(a + b * std::cos(2 * pi * p * (q - n / 2) / (n * p)));
    map += "\r\n";
  }
  map += "\r\n";
  fs::create_directories(dir() / "cosine");
  write("cosine/OUT_M.txt", map);
  Result r = meridox("plot cosine/OUT_M.txt --threshold 0.6 -o cosine.png");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double theta = std::acos((T - a) / b);
  EXPECT_NEAR(after(r.out, "cd "), theta * n * p / pi, 1e-5) << r.out;
  EXPECT_NEAR(after(r.out, "edge_left "), -theta * n * p / (2 * pi), 1e-5) << r.out;
  EXPECT_NEAR(after(r.out, "nils "), 2 * theta * b * std::sin(theta) / T, 2e-5) << r.out;

  ASSERT_EQ(meridox("run stage --no-pictures -o stage").status, 0);
  const std::string stage_table = slurp(dir() / "stage" / "OUT_M.txt");
  std::string table = stage_table.substr(0, stage_table.find('\n') + 1);
  double first_swing = 0, overshoot = 0, peak = 0, squares = 0;
  bool crossed = false;
  const int rows = 201;
  for (int k = 0; k < rows; ++k) {
    const std::string e = testing::printf_fixed(-0.5 * std::exp(-0.03 * k) * std::cos(0.2 * k));
    const std::string i = testing::printf_fixed(3 * std::sin(0.1 * k) - 1);
    table += testing::printf_fixed(0.001 * k) + "\t" + e + "\t" + i + "\t0.000000\r\n";
    const double ev = std::atof(e.c_str()), iv = std::atof(i.c_str());
    crossed = crossed || ev > 0;
    if (!crossed) first_swing = std::max(first_swing, -ev);
    if (crossed) overshoot = std::max(overshoot, ev);
    peak = std::fabs(iv) > std::fabs(peak) ? iv : peak;
    squares += iv * iv;
  }
  fs::create_directories(dir() / "negative");
  write("negative/OUT_M.txt", table);
  r = meridox("plot negative/OUT_M.txt -o negative.png");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(first_swing, 0.5);
  EXPECT_NEAR(after(r.out, "overshoot: "), overshoot, 1e-6 * overshoot) << r.out;
  EXPECT_NE(r.out.find("overshoot: " + testing::printf_fixed(overshoot).substr(0, 6)), std::string::npos) << r.out;
  EXPECT_NEAR(after(r.out, " mm, "), overshoot / first_swing * 100, 1e-4) << r.out;
  EXPECT_NEAR(after(r.out, "first swing's peak "), 0.5, 1e-12) << r.out;
  EXPECT_NEAR(after(r.out, "peak current "), peak, 1e-5) << r.out;
  EXPECT_NEAR(after(r.out, "rms_current: "), std::sqrt(squares / rows), 1e-5) << r.out;
  EXPECT_NE(r.out.find(" A\n", r.out.find("rms_current: ")), std::string::npos) << r.out;

  // A run of no step: the start state alone, 20 counts out, at rest (the
  // example pushes it at 50 mm/s: no step, no push).
  write("still.txt", testing::with_cell(testing::with_cell(example_sheet("drovik2"), 2, 10, "-0.002"), 2, 13, "0"));
  r = meridox("run stage still.txt --no-pictures -o still");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(lines(slurp(dir() / "still" / "OUT_M.txt")), 2u);
  EXPECT_NE(r.out.find("final_error: final position error -0.002 mm at t = 0 s (-20 counts)"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("max_excursion: 0.002 mm at t = 0 s"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("settling_time: nan"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("overshoot: 0 mm"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("steady_error: mean error -0.002 mm"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rms_current: 0 A"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace meridox::host
