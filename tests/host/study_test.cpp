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
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
    std::string& status = fields.back();
    if (status.size() > 1 && status.front() == '"' && status.back() == '"') {
      status = status.substr(1, status.size() - 2);
      for (std::size_t at = status.find("\"\""); at != std::string::npos; at = status.find("\"\"", at + 1)) {
        status.erase(at, 1);
      }
    }
    std::map<std::string, std::string> row;
    for (std::size_t c = 0; c < header.size() && c < fields.size(); ++c) row[header[c]] = fields[c];
    rows.push_back(row);
  }
  return rows;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The entries of a study's record of its completed cases, by case name in
// the order written: each "case NAME HASH" and the lines after it.
std::vector<std::pair<std::string, std::string>> record_entries(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("case ", 0) == 0) entries.emplace_back(line.substr(5, line.rfind(' ') - 5), "");
    if (!entries.empty()) entries.back().second += line + "\n";
  }
  return entries;
}

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

namespace {

// A case that ran to its end: "ok", or "ok" with the projection example's
// one warning (its 13-point source acts as a slightly larger sigma).
bool ran(const std::string& status) {
  return status == "ok" || status.rfind("ok; warning [source-sampling]", 0) == 0;
}

}  // namespace

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
    EXPECT_TRUE(ran(row.at("status"))) << row.at("status");
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
    for (const auto& row : rows) EXPECT_TRUE(ran(row.at("status"))) << args << ": " << row.at("status");
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

  // An interrupted study: two cases lost their records, one was cut short
  // by the host's end, and one was made by another version of meridox (or
  // under other options).
  const fs::path records = dir() / "two" / "cases" / "records.txt";
  auto entries = record_entries(slurp(records));
  ASSERT_EQ(entries.size(), 10u);
  std::string edited, cut_short;
  for (auto& [name, entry] : entries) {
    if (name == "3" || name == "7") continue;
    if (name == "1") entry.replace(entry.find("meridox ") + 8, entry.find(' ', entry.find("meridox ") + 8) - entry.find("meridox ") - 8, "0.0.0");
    if (name == "5") {
      cut_short = entry.substr(0, entry.size() - 4);
      continue;
    }
    edited += entry;
  }
  ASSERT_EQ(cut_short.substr(cut_short.size() - 1), "\n");
  std::ofstream(records, std::ios::binary) << edited << cut_short;
  Result r = meridox(args + " -j 2 -o two");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(6 reused"), std::string::npos) << r.out;
  std::map<std::string, int> recorded;
  for (const auto& entry : record_entries(slurp(records))) ++recorded[entry.first];
  EXPECT_EQ(recorded["0"], 1);  // reused, not run again
  EXPECT_EQ(recorded["3"], 1);
  EXPECT_EQ(recorded["5"], 2);  // the cut-short entry, then the whole one
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
  // An integer cell given in exponent form is reported as the whole number written.
  r = meridox("run projection --set rect_count=2e0 --no-pictures -o whole");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("set rect_count = 2 (cell (2,22))"), std::string::npos) << r.out;

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

namespace more {

using ::meridox::testing::slurp;

// The lines of a sheet or table without their line ends.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines = split(text, '\n');
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace more

// Every row is what the calculator computed: integer cells take whole
// numbers (1e5 is not read as 1), values the calculator limits, cuts or
// cannot read are refused or carried into the row's status, and options
// that would make a number meaningless are refused before any case runs.
TEST_F(Study, ValuesAreWhatTheCalculatorComputedOrTheRowSaysWhyNot) {
  Result r = meridox("study stage --vary step_count=100000,200000 --keep-tables --no-pictures -o steps");
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = read_csv(dir() / "steps" / "study.csv");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("step_count"), "100000");
  EXPECT_EQ(more::lines_of(slurp(dir() / "steps" / "cases" / "1" / "IN_FM.txt"))[13], "step count\t-\t200000");

  // Refused, one line naming the cell or option, nothing run.
  for (const char* args : {"study projection --vary grid_size=32.7", "study projection --vary grid_size=64,200",
                           "study projection --vary rect_count=4,5000", "run stage --set step_count=2500.7",
                           "study projection --vary defocus=0,1 --vary defocus=-1,0.5",
                           "study projection --vary defocus=0,1 --threshold 0.3,nan",
                           "study projection --vary defocus=0,1 --cut-y nan", "study stage --vary bias_current=0 --timeout nan",
                           "study projection --vary defocus=0,1 --target-cd 0.5 --cd-tolerance nan",
                           "study projection --vary sigma=0.3,0.7 --target-cd 0.5"}) {
    r = meridox(std::string(args) + " --no-pictures -o refused");
    EXPECT_EQ(r.status, 2) << args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_FALSE(fs::exists(dir() / "refused")) << args;
  }
  r = meridox("study projection --vary grid_size=200 -o refused");
  EXPECT_NE(r.err.find("grid_size takes a whole number up to 128, not \"200\""), std::string::npos) << r.err;
  // A cell without limits of its own: a fraction is no whole number, and
  // only a whole number the calculator cannot read is told its range.
  r = meridox("run stage --set step_count=2500.7 --no-pictures -o refused");
  EXPECT_NE(r.err.find("step_count takes a whole number, not \"2500.7\""), std::string::npos) << r.err;
  r = meridox("study stage --vary step_count=100,3e9 -o refused");
  EXPECT_NE(r.err.find("step_count takes a whole number from -2147483648 to 2147483647, not \"3e+09\""),
            std::string::npos)
      << r.err;

  // A value no calculator can read, and one whose image holds no finite
  // value: both in the rows' status and in study.json, never a silent ok.
  r = meridox("study projection --set sigma=abc --vary NA=0,0.5 --no-pictures -o warned");
  EXPECT_EQ(r.status, 1) << r.err;
  rows = read_csv(dir() / "warned" / "study.csv");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("status").find("OUT_M.txt holds no finite value (all 4096"), 0u) << rows[0].at("status");
  EXPECT_NE(rows[0].at("status").find("[divides-by-zero]: (2,5) NA"), std::string::npos) << rows[0].at("status");
  EXPECT_EQ(rows[1].at("status").find("ok; warning [no-number]: (2,6) sigma"), 0u) << rows[1].at("status");
  EXPECT_EQ(rows[1].at("status").find("divides-by-zero"), std::string::npos) << rows[1].at("status");
  const std::string json = slurp(dir() / "warned" / "study.json");
  EXPECT_NE(json.find("\"cases\": \"NA = 0\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"cases\": \"every case\""), std::string::npos) << json;
  // --strict: fatal before the first case.
  r = meridox("study projection --set sigma=abc --vary NA=0.5 --strict --no-pictures -o strict");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("no case was run"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir() / "strict" / "cases" / "0"));
  // A sheet with spaces instead of TABs reads as zeros: every row says so
  // (its cells other than the varied one are empty).
  std::string spaced = slurp(fs::path(EXAMPLES_DIR) / "drovik2.txt");
  std::replace(spaced.begin(), spaced.end(), '\t', ' ');
  std::ofstream(dir() / "spaced.txt", std::ios::binary) << spaced;
  r = meridox("study stage spaced.txt --lib-dir '" FAKE_LIB_DIR "' --vary position_gain=1,2 --no-pictures -o spaced");
  for (const auto& row : read_csv(dir() / "spaced" / "study.csv")) {
    EXPECT_NE(row.at("status").find("warning [no-number]: (2,13) step_count: the cell is empty"), std::string::npos)
        << row.at("status");
  }

  // The process window of a focus study in any order is that of the sorted one.
  const std::string window = " --threshold 0.25,0.3,0.35 --target-cd 0.45 --no-pictures -o ";
  ASSERT_EQ(meridox("study projection --vary defocus=-1,-0.5,0,0.5,1" + window + "sorted").status, 0);
  ASSERT_EQ(meridox("study projection --vary defocus=0.5,-0.5,0,1,-1" + window + "mixed").status, 0);
  EXPECT_EQ(slurp(dir() / "mixed" / "process-window.csv"), slurp(dir() / "sorted" / "process-window.csv"));

  // A rectangle edge's unit is its own: samples in projection, the sheet's
  // length unit in proximity.
  ASSERT_EQ(meridox("study projection --vary 'rect_x1[0]=-15,-14' --no-pictures -o rect").status, 0);
  EXPECT_NE(slurp(dir() / "rect" / "study.json").find("\"rect_x1[0]\": \"samples\""), std::string::npos);
  ASSERT_EQ(meridox("study proximity --vary 'rect_y2[1]=6,7' --no-pictures -o rect").status, 0);
  EXPECT_NE(slurp(dir() / "rect" / "study.json").find("\"rect_y2[1]\": \"um\""), std::string::npos);
}

// Nothing of another run: a second study into a running study's folder is
// refused, a rebuilt library is run again, a key of any size is compared
// whole, and an earlier study's pictures and a killed case's leftovers go.
TEST_F(Study, NothingOfAnotherRunPassesForThisOnes) {
  const std::string fake = " --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=1 --no-pictures ";
  // The first study's case 1 runs until its timeout, holding the folder.
  const std::string first = "'" MERIDOX_EXE "' study stage" + fake + "--vary offset_switch=0,8 --timeout 3 -o one";
  ASSERT_EQ(std::system(("cd '" + dir().string() + "' && (" + first + " >/dev/null 2>&1 &)").c_str()), 0);
  for (int k = 0; k < 200 && slurp(dir() / "one" / "cases" / "records.txt").find("case 0 ") == std::string::npos; ++k) {
    usleep(20'000);
  }
  Result r = meridox("study stage" + fake + "--vary offset_switch=0 -o one");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("another study is running in one"), std::string::npos) << r.err;
  for (int k = 0; k < 400 && !fs::exists(dir() / "one" / "study.csv"); ++k) usleep(20'000);
  const auto rows = read_csv(dir() / "one" / "study.csv");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("offset_switch"), "8");
  EXPECT_NE(rows[1].at("status").find("still running"), std::string::npos);

  // A rebuilt library (here one byte longer) runs every case again.
  const fs::path libs = dir() / "libs";
  fs::create_directory(libs);
  fs::copy_file(fs::path(FAKE_LIB_DIR) / "libdrovik2.so", libs / "libdrovik2.so");
  const std::string rebuilt = "study stage --lib-dir libs --set step_count=9 --set print_interval=1 "
                              "--vary position_gain=1,2 --no-pictures -o rebuilt";
  ASSERT_EQ(meridox(rebuilt).status, 0);
  const std::string hash = slurp(dir() / "rebuilt" / "study.json");
  std::ofstream(libs / "libdrovik2.so", std::ios::binary | std::ios::app) << '\0';
  r = meridox(rebuilt);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("reused"), std::string::npos) << r.out;
  EXPECT_NE(slurp(dir() / "rebuilt" / "study.json"), hash);
  EXPECT_NE(meridox(rebuilt).out.find("(2 reused"), std::string::npos);

  // A study key over 16 MiB (a base sheet of 6 MB) is still this study's.
  std::string big = slurp(fs::path(EXAMPLES_DIR) / "drovik2.txt");
  while (big.size() < 6'000'000) big += "x\tx\tx\tx\tx\r\n";
  std::ofstream(dir() / "big.txt", std::ios::binary) << big;
  const std::string large = "study stage big.txt" + fake + "--vary position_gain=1,2 -o large";
  ASSERT_EQ(meridox(large).status, 0);
  ASSERT_GT(fs::file_size(dir() / "large" / "cases" / "study-key.txt"), std::size_t{16} << 20);
  r = meridox(large);
  EXPECT_NE(r.out.find("(2 reused"), std::string::npos) << r.out << r.err;

  // Another study in the folder: the earlier one's pictures and window go
  // with its cases (a file no study writes stays).
  for (const char* name : {"final_error.png", "process-window.csv", "notes.txt"}) std::ofstream(dir() / "large" / name) << 1;
  r = meridox("study stage" + fake + "--vary position_gain=3 -o large");
  EXPECT_NE(r.err.find("starting afresh"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir() / "large" / "final_error.png"));
  EXPECT_FALSE(fs::exists(dir() / "large" / "process-window.csv"));
  EXPECT_TRUE(fs::exists(dir() / "large" / "notes.txt"));

  // A case ended at its timeout leaves its own sheet (not the every-step
  // rewrite it was running) and no scratch folder of a run of every step.
  r = meridox("study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=3 "
              "--vary offset_switch=8 --timeout 1 --no-pictures -o killed");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(more::lines_of(slurp(dir() / "killed" / "cases" / "0" / "IN_FM.txt"))[14],
            "print interval (steps per row)\t-\t3");
  r = meridox("study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=3 "
              "--vary offset_switch=9 --timeout 1 --keep-tables --no-pictures -o killed");
  EXPECT_NE(read_csv(dir() / "killed" / "study.csv")[0].at("status").find("still running"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir() / "killed" / "cases" / "0")) {
    EXPECT_EQ(entry.path().filename().string().find(".every-step-"), std::string::npos) << entry.path();
  }
}

// Nothing that is not the study's: a cases/ folder without a study key is
// never deleted, a link planted where a case's summary goes is replaced,
// not written through, and a study file that cannot be written fails the study.
TEST_F(Study, NothingThatIsNotTheStudysIsTouched) {
  fs::create_directories(dir() / "mine" / "cases" / "draft");
  std::ofstream(dir() / "mine" / "cases" / "draft" / "notes.txt") << "mine";
  Result r = meridox("study stage --lib-dir '" FAKE_LIB_DIR "' --vary position_gain=1 --no-pictures -o mine");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(slurp(dir() / "mine" / "cases" / "draft" / "notes.txt"), "mine");
  r = meridox("study stage --vary position_gain=1 -o ''");
  EXPECT_EQ(r.status, 2) << r.err;

  const std::string kept = "study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=1 "
                           "--vary position_gain=1 --keep-tables --no-pictures -o kept";
  ASSERT_EQ(meridox(kept).status, 0);
  const fs::path summary = dir() / "kept" / "cases" / "0" / "summary.txt";
  std::ofstream(dir() / "precious.txt") << "precious";
  fs::remove(summary);
  fs::create_hard_link(dir() / "precious.txt", summary);
  fs::remove(dir() / "kept" / "cases" / "0" / "results.txt");  // the case runs again
  ASSERT_EQ(meridox(kept).status, 0);
  EXPECT_EQ(slurp(dir() / "precious.txt"), "precious");
  EXPECT_NE(slurp(summary).find("OUT_M.txt"), std::string::npos);

  fs::create_directories(dir() / "window" / "process-window.csv");
  r = meridox("study projection --vary defocus=-0.5,0,0.5 --target-cd 0.45 --no-pictures -o window");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

// A study asks the system for no more than it has: more jobs than the
// descriptor limit allows wait their turn, and a case's report of 12,000
// thresholds (over 1 MiB) comes back whole.
TEST_F(Study, MoreJobsThanDescriptorsAndLongReportsRunWhole) {
  const std::string args = "study stage --lib-dir '" FAKE_LIB_DIR "' --set step_count=9 --set print_interval=1 "
                           "--vary position_gain=1:100:100 -j 64 --no-pictures -o ";
  ASSERT_EQ(meridox(args + "many").status, 0);
  Result r = meridox("--version >/dev/null; ulimit -n 40; '" MERIDOX_EXE "' " + args + "limited");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir() / "limited" / "study.csv"), slurp(dir() / "many" / "study.csv"));

  std::string thresholds;
  for (int k = 1; k <= 12'000; ++k) thresholds += (k > 1 ? "," : "") + std::to_string(k / 12'001.0);
  r = meridox("study projection --vary defocus=0 --threshold " + thresholds + " --no-pictures -o long");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string table = slurp(dir() / "long" / "study.csv");
  // Each row ran, with the example's one warning (its source's sampling).
  EXPECT_EQ(more::count_of(table, ",\"ok; warning [source-sampling]"), 12'000u);
}

namespace {

// Every metric column with its unit, in the order of study.csv, for the
// example sheets: the stages in s, mm and A, the optics lengths in um, the
// plate in mm and N/mm^2 (its moment per unit of circumference the stress
// unit times length^2 per length). `printed` is how the run summary writes
// the unit after the number (nullptr: a pure number, or not printed).
struct MetricUnit {
  const char* metric;
  const char* unit;
  const char* printed;
};
const MetricUnit image_units[] = {
    {"peak", "1", nullptr},      {"contrast", "1", nullptr},    {"cd", "um", "um"},
    {"edge_left", "um", "um"},   {"edge_right", "um", "um"},    {"nils", "1", nullptr},
    {"mask_width", "um", nullptr}, {"feature", "text", nullptr}};
const MetricUnit plate_units[] = {{"max_deflection", "mm", "mm"},
                                  {"max_deflection_r", "mm", "mm"},
                                  {"max_stress", "N/mm^2", "N/mm^2"},
                                  {"max_pitch_error", "mm", "mm"},
                                  {"max_hoop_moment", "N/mm^2 mm^2/mm", "N/mm^2 mm^2/mm"},
                                  {"max_hoop_stress", "N/mm^2", "N/mm^2"}};
const MetricUnit stage_units[] = {
    {"final_error", "mm", "mm"},        {"settling_time", "s", "s"},         {"max_excursion", "mm", "mm"},
    {"overshoot", "mm", "mm"},          {"peak_current", "A", "A"},          {"rms_current", "A", "A"},
    {"overshoot_percent", "%", "%"},    {"peak_time", "s", "s"},             {"steady_error", "mm", "mm"},
    {"residual_oscillation", "mm", "mm"}, {"gain_margin", "1", nullptr},     {"gain_margin_db", "dB", "dB"},
    {"position_gain_margin", "1", nullptr}, {"phase_margin", "deg", "deg"}, {"crossover_hz", "Hz", "Hz"},
    {"bandwidth_hz", "Hz", "Hz"},       {"sensitivity_peak", "1", nullptr},  {"dominant_hz", "Hz", "Hz"},
    {"dominant_damping", "1", nullptr}};

std::string regex_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::string("\\^$.|?*+()[]{}/").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// The summary gives `metric` a number in `unit`: on the metric's own line
// ("name: ... 0.61 A") or before the name's mention ("0.0017 s (peak_time)").
bool summary_gives(const std::string& summary, const std::string& metric, const std::string& unit) {
  const std::string number = R"([-+]?[0-9][0-9.e+-]*)", u = regex_escaped(unit), end = R"((?![A-Za-z/^]))";
  const std::regex after("\\b" + metric + "[: ][^\\n]*?" + number + " " + u + end);
  const std::regex before(number + " " + u + end + "[^\\n]*\\b" + metric + "\\b");
  return std::regex_search(summary, after) || std::regex_search(summary, before);
}

}  // namespace

// The unit of every metric, in the run summary, study.json and the order of
// study.csv's columns, against the units the calculator pages give.
TEST_F(Study, EveryMetricCarriesItsUnitThroughSummaryAndRecord) {
  struct Calc {
    const char* alias;
    const char* vary;  // one value of one parameter, with its unit
    const char* varied_unit;
    const char* run_options;
    std::vector<MetricUnit> metrics;
  };
  const std::vector<MetricUnit> image(std::begin(image_units), std::end(image_units));
  const std::vector<MetricUnit> stage(std::begin(stage_units), std::end(stage_units));
  const Calc calcs[] = {
      {"projection", "defocus=0", "um", "", image},
      // The proximity example's middle is dark: the cut goes through its bright square.
      {"proximity", "gap=20", "um", " --cut-x -7.25 --cut-y -1.25", image},
      {"plate", "thickness=2", "mm", "", {std::begin(plate_units), std::end(plate_units)}},
      {"stage", "position_gain=79", "A/mm", "", stage},
      {"nut-stage", "stage_mass=2", "kg", "", stage},
      {"stage-base", "base_mass=150", "kg", " --band 0.001", stage}};
  for (const Calc& c : calcs) {
    SCOPED_TRACE(c.alias);
    const Result run = meridox(std::string("run ") + c.alias + c.run_options + " --no-pictures -o run");
    EXPECT_EQ(run.status, 0) << run.err;
    const Result r = meridox(std::string("study ") + c.alias + " --vary " + c.vary + " --no-pictures -o units");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json info = nlohmann::json::parse(slurp(dir() / "units" / "study.json"));
    const std::string varied = std::string(c.vary).substr(0, std::string(c.vary).find('='));
    std::vector<std::string> columns{"case", varied};
    if (c.metrics.size() == std::size(image_units)) columns.push_back("threshold");
    EXPECT_EQ(info.at("units").at(varied), c.varied_unit);
    for (const MetricUnit& m : c.metrics) {
      columns.push_back(m.metric);
      EXPECT_EQ(info.at("units").value(m.metric, "none"), m.unit) << m.metric;
      if (m.printed) {
        EXPECT_TRUE(summary_gives(run.out, m.metric, m.printed)) << m.metric << " in " << m.printed << "\n" << run.out;
      }
    }
    columns.push_back("status");
    EXPECT_EQ(info.at("columns").get<std::vector<std::string>>(), columns);
    const std::string header = slurp(dir() / "units" / "study.csv").substr(0, slurp(dir() / "units" / "study.csv").find('\r'));
    std::string expected;
    for (const std::string& name : columns) expected += (expected.empty() ? "" : ",") + name;
    EXPECT_EQ(header, expected);
  }
}

// The study key: each of its parts changed alone runs every case afresh;
// the same command again reuses every case. Told by the command's own
// record (study.json's reused count) and report, whatever the folders hold.
TEST_F(Study, AnyPartOfTheKeyChangedAloneRunsEveryCaseAgain) {
  for (const char* lib : {"libdrovik2.so", "liborvalis.so"}) {
    fs::create_directories(dir() / "libs");
    fs::create_directories(dir() / "rebuilt");
    fs::copy_file(fs::path(FAKE_LIB_DIR) / lib, dir() / "libs" / lib);
    fs::copy_file(fs::path(FAKE_LIB_DIR) / lib, dir() / "rebuilt" / lib);
    std::ofstream(dir() / "rebuilt" / lib, std::ios::binary | std::ios::app) << '\0';
  }
  std::string sheet = slurp(fs::path(EXAMPLES_DIR) / "drovik2.txt");
  std::ofstream(dir() / "base.txt", std::ios::binary) << sheet;
  const std::string mass = "stage mass\tkg\t2\r\n";
  ASSERT_NE(sheet.find(mass), std::string::npos);
  sheet.replace(sheet.find(mass), mass.size(), "stage mass\tkg\t3\r\n");
  std::ofstream(dir() / "heavier.txt", std::ios::binary) << sheet;

  const std::string stage = "study stage base.txt --set step_count=9 --set print_interval=1 --vary position_gain=1,2 ";
  const std::string image = "study projection --set grid_size=8 --vary defocus=0,1 ";
  struct Change {
    std::string base, changed;
  };
  const Change changes[] = {
      {stage, "study stage heavier.txt --set step_count=9 --set print_interval=1 --vary position_gain=1,2 "},
      {stage, stage + "--set stage_mass=3 "},
      {stage, "study stage base.txt --set step_count=9 --set print_interval=1 --vary position_gain=1,3 "},
      {stage, stage + "--band 0.5 "},
      {stage, stage + "--hold 0.2 "},
      {stage, stage + "--window 0.3 "},
      {stage, stage + "--timeout 100 "},
      {stage, stage + "--keep-tables "},
      {stage, "REBUILT"},
      {image, image + "--threshold 0.4 "},
      {image, image + "--threshold 0.3,0.4 "},
      {image, image + "--cut-y 0.08 "},
      {image, image + "--cut-x 0.08 "},
      {image, image + "--along y "},
      {image, image + "--cut line=x@0,0 "},
      {image, image + "--tone dark "}};
  auto reused = [&](const std::string& folder) {
    return nlohmann::json::parse(slurp(dir() / folder / "study.json")).at("reused").get<int>();
  };
  const std::string options = "--lib-dir libs --no-pictures -o ";
  for (const std::string& base : {stage, image}) {
    ASSERT_EQ(meridox(base + options + "base").status, 0) << base;
    fs::copy(dir() / "base", dir() / "same", fs::copy_options::recursive);
    const Result again = meridox(base + options + "same");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(reused("same"), 2) << base;
    EXPECT_NE(again.out.find("(2 reused"), std::string::npos) << again.out;
    EXPECT_EQ(again.err.find("afresh"), std::string::npos) << again.err;
    EXPECT_EQ(slurp(dir() / "same" / "study.csv"), slurp(dir() / "base" / "study.csv"));
    for (const Change& change : changes) {
      if (change.base != base) continue;
      SCOPED_TRACE(change.changed);
      fs::remove_all(dir() / "changed");
      fs::copy(dir() / "base", dir() / "changed", fs::copy_options::recursive);
      const std::string args = change.changed == "REBUILT" ? base + "--lib-dir rebuilt --no-pictures -o changed"
                                                           : change.changed + options + "changed";
      const Result r = meridox(args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(reused("changed"), 0);
      EXPECT_EQ(r.out.find("reused"), std::string::npos) << r.out;
      EXPECT_NE(r.err.find("starting afresh"), std::string::npos) << r.err;
    }
    fs::remove_all(dir() / "base");
    fs::remove_all(dir() / "same");
  }
}
