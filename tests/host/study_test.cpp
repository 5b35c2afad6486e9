// `meridox study` and `run --set` as a user runs them: the metrics in
// study.csv against an evaluation of each case's own tables written here,
// the same file whatever the number of jobs, resuming, failed cases in their
// rows, and named parameters.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "command_runner.hpp"
#include "support/harness.hpp"

namespace {

namespace fs = std::filesystem;

using Result = meridox::testing::CommandResult;
using meridox::testing::slurp;

std::vector<std::string> split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, by);) parts.push_back(part);
  return parts;
}

// study.csv as rows of named fields (no field of ours is quoted but status).
std::vector<std::map<std::string, std::string>> read_csv(const fs::path& path) {
  std::vector<std::string> lines;
  const std::string text = slurp(path);
  EXPECT_NE(text.find("\r\n"), std::string::npos);
  for (std::string line : split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  std::vector<std::map<std::string, std::string>> rows;
  if (lines.empty()) return rows;
  const std::vector<std::string> header = split(lines[0], ',');
  for (std::size_t k = 1; k < lines.size(); ++k) {
    std::vector<std::string> fields = split(lines[k], ',');
    // A quoted status may hold commas: it is the last column.
    while (fields.size() > header.size()) {
      fields[fields.size() - 2] += "," + fields.back();
      fields.pop_back();
    }
    std::map<std::string, std::string> row;
    for (std::size_t c = 0; c < header.size() && c < fields.size(); ++c) row[header[c]] = fields[c];
    rows.push_back(row);
  }
  return rows;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// A table's numbers, one vector per line; a map's corner cell reads as NaN.
std::vector<std::vector<double>> numbers_of(const std::string& bytes, std::size_t skip_lines) {
  std::vector<std::vector<double>> rows;
  std::size_t line_number = 0;
  for (std::string line : split(bytes, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line_number++ < skip_lines || line.empty()) continue;
    std::vector<double> row;
    for (const std::string& field : split(line, '\t')) row.push_back(field.empty() ? NAN : number(field));
    rows.push_back(row);
  }
  return rows;
}

class Study : public ::testing::Test {
 protected:
  meridox::testing::ExchangeFolder scratch;
  fs::path dir() const { return scratch.path(); }

  Result meridox(const std::string& args) const { return meridox::testing::run_command(dir(), MERIDOX_EXE, args); }
};

TEST_F(Study, ImageMetricsAgreeWithTheCasesOwnTables) {
  const Result r = meridox("study projection --vary defocus=-0.5:0.5:3 --threshold 0.25,0.35 --keep-tables -j 2 "
                           "--no-pictures -o img");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = read_csv(dir() / "img" / "study.csv");
  ASSERT_EQ(rows.size(), 6u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at("case") + " threshold " + row.at("threshold"));
    const std::string sheet = slurp(dir() / "img" / "cases" / row.at("case") / "IN_FM.txt");
    EXPECT_NE(sheet.find("defocus\tum\t" + row.at("defocus") + "\r\n"), std::string::npos);
    const auto map = numbers_of(slurp(dir() / "img" / "cases" / row.at("case") / "OUT_M.txt"), 1);
    // The cut: the row at y = 0 (a sample row), from the sample at x = 0.
    const std::vector<double>& xs = map[0];
    std::size_t j = 1, k0 = 1;
    for (std::size_t l = 1; l < map.size(); ++l) j = std::fabs(map[l][0]) < std::fabs(map[j][0]) ? l : j;
    for (std::size_t i = 1; i < xs.size(); ++i) k0 = std::fabs(xs[i]) < std::fabs(xs[k0]) ? i : k0;
    const std::vector<double>& I = map[j];
    const double T = number(row.at("threshold"));
    std::size_t a = k0, b = k0;
    while (a > 1 && I[a - 1] >= T) --a;
    while (b + 1 < I.size() && I[b + 1] >= T) ++b;
    // The image between its samples: the periodic sinc of the even grid,
    // sum of I_k sin(pi t / h) / (N tan(pi t / (N h))), t = x - x_k.
    const std::size_t n = xs.size() - 1;
    const double h = xs[2] - xs[1], pi = 3.14159265358979323846;
    auto image = [&](double x) {
      double sum = 0;
      for (std::size_t k = 1; k <= n; ++k) {
        const double t = x - xs[k];
        sum += std::fabs(t) < 1e-12 ? I[k] : I[k] * std::sin(pi * t / h) / (n * std::tan(pi * t / (n * h)));
      }
      return sum;
    };
    const double left = number(row.at("edge_left")), right = number(row.at("edge_right"));
    EXPECT_NEAR(image(left), T, 1e-9);
    EXPECT_NEAR(image(right), T, 1e-9);
    // The edges lie between the samples where the run of samples ends.
    EXPECT_TRUE(xs[a - 1] < left && left < xs[a]) << left;
    EXPECT_TRUE(xs[b] < right && right < xs[b + 1]) << right;
    EXPECT_NEAR(number(row.at("cd")), right - left, 1e-12);
    // The line's peak lies between its edges, at or above its samples.
    double peak = 0;
    for (std::size_t i = a; i <= b; ++i) peak = std::max(peak, I[i]);
    EXPECT_GE(number(row.at("peak")), peak);
    EXPECT_LT(number(row.at("peak")), peak + 0.01);
    EXPECT_EQ(row.at("mask_width"), "0.48");  // the middle line, 6 samples of 0.08 um
    EXPECT_EQ(row.at("feature"), "printed");
    EXPECT_EQ(row.at("status"), "ok");
  }
  // One image serves every threshold: the peak is the same for both.
  EXPECT_EQ(rows[0].at("peak"), rows[1].at("peak"));
}

TEST_F(Study, StageAndPlateMetricsAgreeWithTheCasesOwnTables) {
  // Every step printed, so that the kept table is the whole history.
  Result r = meridox("study stage --set print_interval=1 --vary position_gain=40,80 --vary velocity_gain=0.1,0.2 "
                     "--keep-tables --no-pictures -o st");
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = read_csv(dir() / "st" / "study.csv");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].at("position_gain"), "40");
  EXPECT_EQ(rows[1].at("velocity_gain"), "0.2");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at("case"));
    const auto t = numbers_of(slurp(dir() / "st" / "cases" / row.at("case") / "OUT_M.txt"), 1);
    ASSERT_EQ(t.size(), 2001u);
    double excursion = 0, peak = 0, squares = 0, settled = NAN;
    const double band = 1e-4;  // one count of the example's sensor
    for (const auto& s : t) {
      excursion = std::max(excursion, std::fabs(s[1]));
      peak = std::fabs(s[2]) > std::fabs(peak) ? s[2] : peak;
      squares += s[2] * s[2];
      if (std::fabs(s[1]) > band) settled = NAN;
      else if (std::isnan(settled)) settled = s[0];
    }
    EXPECT_EQ(number(row.at("final_error")), t.back()[1]);
    EXPECT_EQ(number(row.at("max_excursion")), excursion);
    EXPECT_EQ(number(row.at("peak_current")), peak);
    EXPECT_NEAR(number(row.at("rms_current")), std::sqrt(squares / t.size()), 1e-12);
    EXPECT_EQ(number(row.at("settling_time")), settled);
  }

  r = meridox("study plate --vary thickness=1,2.5 --vary support_case=0,2 --keep-tables --no-pictures -o pl");
  ASSERT_EQ(r.status, 0) << r.err;
  rows = read_csv(dir() / "pl" / "study.csv");
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at("case"));
    const auto t = numbers_of(slurp(dir() / "pl" / "cases" / row.at("case") / "OUT_M.txt"), 1);
    double w = 0, w_r = NAN, stress = 0, pitch = 0;
    for (const auto& s : t) {
      if (std::fabs(s[1]) > std::fabs(w)) w = s[1], w_r = s[0];
      stress = std::fabs(s[5]) > std::fabs(stress) ? s[5] : stress;
      if (s.size() > 6) pitch = std::fabs(s[6]) > std::fabs(pitch) ? s[6] : pitch;
    }
    EXPECT_EQ(number(row.at("max_deflection")), w);
    EXPECT_EQ(number(row.at("max_deflection_r")), w_r);
    EXPECT_EQ(number(row.at("max_stress")), stress);
    EXPECT_EQ(number(row.at("max_pitch_error")), pitch);
  }
}

TEST_F(Study, EveryCalculatorStudiesItsExample) {
  for (const char* args : {"projection --vary NA=0.4,0.5", "proximity --vary gap=15,20", "plate --vary load=0.01,0.02",
                           "nut-stage --vary velocity_gain=0.15,0.187", "stage --vary bias_current=0,0.1",
                           "stage-base --vary base_mass=150,200"}) {
    const Result r = meridox(std::string("study ") + args + " --no-pictures -o all");
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    auto rows = read_csv(dir() / "all" / "study.csv");
    ASSERT_EQ(rows.size(), 2u) << args;
    for (const auto& row : rows) EXPECT_EQ(row.at("status"), "ok") << args;
    // The varied parameter reaches the metrics.
    const std::string a(args), varied = a.substr(a.find("--vary ") + 7, a.find('=') - a.find("--vary ") - 7);
    for (auto& row : rows) row.erase("case"), row.erase(varied);
    EXPECT_NE(rows[0], rows[1]) << args;
  }
}

TEST_F(Study, JobsDoNotChangeTheTableAndAResumedStudySkipsFinishedCases) {
  const std::string args = "study stage --vary position_gain=40:120:5 --vary velocity_gain=0.1,0.2 --no-pictures";
  ASSERT_EQ(meridox(args + " -j 1 -o one").status, 0);
  ASSERT_EQ(meridox(args + " -j 2 -o two").status, 0);
  const std::string table = slurp(dir() / "one" / "study.csv");
  EXPECT_EQ(table, slurp(dir() / "two" / "study.csv"));
  EXPECT_EQ(read_csv(dir() / "one" / "study.csv").size(), 10u);

  // An interrupted study: two cases lost their results, one its folder.
  fs::remove(dir() / "two" / "cases" / "3" / "results.txt");
  fs::remove_all(dir() / "two" / "cases" / "7");
  std::ofstream(dir() / "two" / "cases" / "5" / "results.txt") << "ok\n1\t2\t3\t4\t5\t6\n";  // cut short
  // A record made by another version of meridox (or under other options).
  const fs::path other = dir() / "two" / "cases" / "1" / "results.txt";
  const std::string record = slurp(other);
  ASSERT_NE(record.find('\n'), std::string::npos);
  std::ofstream(other, std::ios::binary) << "meridox 0.0.0" << record.substr(record.find(' ', 8));
  const fs::path kept = dir() / "two" / "cases" / "0" / "results.txt";
  const auto written = fs::last_write_time(kept);
  Result r = meridox(args + " -j 2 -o two");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(6 reused"), std::string::npos) << r.out;
  EXPECT_EQ(fs::last_write_time(kept), written);
  EXPECT_EQ(slurp(dir() / "two" / "study.csv"), table);

  // Another command in the same folder starts afresh, and says so.
  r = meridox("study stage --vary position_gain=50,60 --no-pictures -o two");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("starting afresh"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("reused"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir() / "two" / "cases" / "9"));
  EXPECT_EQ(read_csv(dir() / "two" / "study.csv").size(), 2u);
  const std::string json = slurp(dir() / "two" / "study.json");
  for (const char* key : {"\"units\"", "\"command\"", "\"library\"", "\"base_sheet\"", "\"calculator\": \"drovik2\""}) {
    EXPECT_NE(json.find(key), std::string::npos) << key;
  }
}

TEST_F(Study, FailedCasesAreReportedInTheirRowsAndTheStudyGoesOn) {
  // The stand-in stage ends its process for offset switch 7 and runs for ever for 8.
  const Result r = meridox("study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=1 "
                           "--vary offset_switch=0,7,8 --timeout 1 -j 3 --no-pictures -o fail");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("2 of 3 cases failed"), std::string::npos) << r.err;
  const auto rows = read_csv(dir() / "fail" / "study.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("status"), "ok");
  EXPECT_NE(rows[1].at("status").find("status 1"), std::string::npos) << rows[1].at("status");
  EXPECT_NE(rows[2].at("status").find("still running after 1 s"), std::string::npos) << rows[2].at("status");
  EXPECT_EQ(rows[2].at("final_error"), "nan");
  EXPECT_TRUE(fs::exists(dir() / "fail" / "cases" / "2" / "IN_FM.txt"));
}

// Progress goes to a terminal on one updating line, ending with the count of
// every case and of the failed ones; into a pipe or a file nothing is shown.
TEST_F(Study, ProgressShowsOnATerminalOnly) {
  const std::string args = "study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=1 "
                           "--vary offset_switch=0,7,0,0 -j 2 --no-pictures -o ";
  const std::string command = "cd '" + dir().string() + "' && '" MERIDOX_EXE "' " + args + "tty >/dev/null";
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) shown.append(buffer, static_cast<std::size_t>(n));
  }
  close(terminal);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown;
  const std::size_t last = shown.rfind("\r4 of 4 cases, 1 failed, 00:0");
  ASSERT_NE(last, std::string::npos) << shown;
  EXPECT_NE(shown.find(" elapsed, 00:00 left", last), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\n'), shown.find("\n", last)) << "progress on more than one line: " << shown;
  EXPECT_NE(shown.find("1 of 4 cases failed"), std::string::npos) << shown;

  const Result piped = meridox(args + "pipe");
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.err.find("cases, "), std::string::npos) << piped.err;
  EXPECT_EQ(std::count(piped.err.begin(), piped.err.end(), '\n'), 1) << piped.err;
}

TEST_F(Study, NamedParametersAreSetAsTypedAndUnknownNamesRefused) {
  Result r = meridox("run projection --set defocus=0.25e0 --set 'rect_x1[3]=21' --no-pictures -o run");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("set defocus = 0.25e0 (cell (2,9))"), std::string::npos) << r.out;
  const std::string sheet = slurp(dir() / "run" / "IN_FM.txt");
  EXPECT_NE(sheet.find("defocus\tum\t0.25e0\r\n"), std::string::npos);
  EXPECT_NE(sheet.find("square hole\t1\t0\t21\t28\t-4\t4\r\n"), std::string::npos);

  r = meridox("run stage --set positon_gain=5 -o bad");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("\"positon_gain\"; the closest are position_gain"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir() / "bad"));

  r = meridox("run projection --set 'rect_x1[976]=1'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("its rectangles are rect_x1[0] to rect_x1[975]"), std::string::npos) << r.err;
  for (const char* args : {"run plate --set rect_x1[0]=1", "run projection --set rect_x1[1000]=1",
                           "study stage --vary gain=1,2", "study stage --vary position_gain=1:2", "run stage --set x"}) {
    r = meridox(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
  }
}

}  // namespace
