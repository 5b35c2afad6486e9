// The meridox command as a user runs it: sub-commands, exit statuses, the
// output folder, the tables and pictures of a run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/calculators.hpp"
#include "host/tables.hpp"
#include "png_reader.hpp"
#include "sheet_edit.hpp"
#include "support/harness.hpp"

namespace meridox::host {
namespace {

namespace fs = std::filesystem;
using testing::read_png;

struct Result {
  int status;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

class HostCommand : public ::testing::Test {
 protected:
  testing::ExchangeFolder scratch;
  fs::path dir() const { return scratch.path(); }

  // Runs meridox with `args` in the scratch folder.
  Result meridox(const std::string& args) const {
    const fs::path out = dir() / ".stdout", err = dir() / ".stderr";
    const std::string command = "cd " + quoted(dir().string()) + " && " + quoted(MERIDOX_EXE) + " " + args +
                                " >" + quoted(out.string()) + " 2>" + quoted(err.string()) +
                                (args.find('<') == std::string::npos ? " </dev/null" : "");
    const int raw = std::system(command.c_str());
    Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    fs::remove(out);
    fs::remove(err);
    return r;
  }

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
    for (const char* table : c.tables) std::ofstream(out / table) << "stale";
    const Result r = meridox(std::string("run ") + c.alias);
    EXPECT_EQ(slurp(out / "IN_FM.txt"), example_sheet(c.name));
    bool all_written = true;
    for (const char* table : c.tables) {
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
  // The contrast of the cut along y = 0 (row j = 4: 9 to 16), not of the whole field.
  std::snprintf(expected, sizeof expected, "contrast %.6g, peak %g", 7.0 / 25.0, max);
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
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
