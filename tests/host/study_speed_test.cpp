// Warm workers and the studies that run their cases in them: a warm child
// answers request after request, and a request that crashes, ends the
// process or runs past its deadline fails alone and the next one gets a
// fresh child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "command_runner.hpp"
#include "host/core/calculators.hpp"
#include "host/core/check.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"
#include "host/study/study.hpp"
#include "support/harness.hpp"

using meridox::host::ChildOutcome;
using meridox::host::ChildWork;
using meridox::host::WarmWorker;
using meridox::testing::slurp;
namespace fs = std::filesystem;

namespace {

// What a test worker does with a request: its process id, its request
// echoed, a failure of its own, or a way of ending badly.
ChildWork serve_test(const std::string& request) {
  if (request == "pid") return {true, std::to_string(getpid())};
  if (request == "fail") return {false, "the work failed\nsecond line"};
  // An abort, which the address sanitizer leaves to the default action, as
  // it does not a segmentation fault (it reports that and exits with 1).
  if (request == "crash") raise(SIGABRT);
  if (request == "exit 3") _exit(3);
  if (request == "exit 0") _exit(0);
  if (request == "hang") pause();
  if (request == "throw") throw std::runtime_error("no such thing");
  if (request == "sleep") return {usleep(300'000) == 0, "slept"};
  // A large request with a short reply, as a study's sheets and records are.
  if (request.starts_with("count ")) return {true, "counted " + std::to_string(request.size())};
  return {true, "echo " + request};
}

}  // namespace

TEST(WarmWorker, AnswersInOneChildAndAnyBadEndFailsOneRequestOnly) {
  WarmWorker worker(serve_test, {0.5, false});
  EXPECT_EQ(worker.state(), WarmWorker::State::stopped);
  const ChildOutcome first = worker.call("pid", "request 1");
  ASSERT_TRUE(first.ok) << first.text;
  EXPECT_EQ(worker.state(), WarmWorker::State::ready);
  EXPECT_EQ(first.text, std::to_string(worker.pid()));
  EXPECT_NE(first.text, std::to_string(getpid()));
  // Replies of any size come back whole, from the same child.
  const std::string big(3 << 20, 'x');
  const ChildOutcome echoed = worker.call(big, "request 2");
  EXPECT_TRUE(echoed.ok);
  EXPECT_EQ(echoed.text, "echo " + big);
  const ChildOutcome failed = worker.call("fail", "request 3");
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.text, "the work failed");
  EXPECT_EQ(worker.call("throw", "request 4").text, "request 4 failed: no such thing");
  EXPECT_EQ(worker.call("pid", "request 5").text, first.text);

  // Each bad end fails its request in one line and leaves no child; the
  // next request runs in a new one.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"crash", "case 7 stopped on signal 6"},
      {"exit 3", "case 7 ended the process with status 3"},
      {"exit 0", "case 7 ended the process before its work was done"},
      {"hang", "case 7 was still running after 0.5 s and was ended"},
  };
  std::string last_pid = first.text;
  for (const auto& [request, said] : bad) {
    const ChildOutcome outcome = worker.call(request, "case 7");
    EXPECT_FALSE(outcome.ok) << request;
    EXPECT_EQ(outcome.text.rfind(said, 0), 0u) << request << ": " << outcome.text;
    EXPECT_EQ(outcome.text.find('\n'), std::string::npos);
    EXPECT_EQ(worker.state(), WarmWorker::State::stopped) << request;
    const ChildOutcome next = worker.call("pid", "next");
    ASSERT_TRUE(next.ok) << request;
    EXPECT_NE(next.text, last_pid) << request;
    last_pid = next.text;
  }
}

// With a queue, requests wait at the child behind the one it works on and
// are answered in order; a request that crashes or hangs fails alone, and
// those waiting behind it are answered by a new child, each with its own
// deadline.
TEST(WarmWorker, QueuedRequestsOutliveABadOneBeforeThem) {
  WarmWorker worker(serve_test, {0.5, false}, 3);
  auto replies = [&](std::size_t count) {
    std::vector<ChildOutcome> seen;
    while (seen.size() < count) {
      std::optional<ChildOutcome> outcome = worker.reply(5.0);
      if (!outcome) break;
      seen.push_back(std::move(*outcome));
    }
    return seen;
  };
  ASSERT_EQ(worker.send("pid", "r1"), "");
  ASSERT_EQ(worker.send("crash", "r2"), "");
  ASSERT_EQ(worker.send("pid", "r3"), "");
  EXPECT_FALSE(worker.has_room());
  EXPECT_NE(worker.send("x", "r4"), "");
  std::vector<ChildOutcome> seen = replies(3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(seen[0].ok);
  EXPECT_FALSE(seen[1].ok);
  EXPECT_EQ(seen[1].text.rfind("r2 stopped on signal 6", 0), 0u) << seen[1].text;
  ASSERT_TRUE(seen[2].ok) << seen[2].text;
  EXPECT_NE(seen[2].text, seen[0].text);  // a new child
  EXPECT_EQ(worker.state(), WarmWorker::State::ready);

  // Two waiting behind a hang: the hang is ended at its deadline, and the
  // two after it, 0.3 s of work each, are not held to what was left of it.
  ASSERT_EQ(worker.send("hang", "r5"), "");
  ASSERT_EQ(worker.send("sleep", "r6"), "");
  ASSERT_EQ(worker.send("sleep", "r7"), "");
  seen = replies(3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].text.rfind("r5 was still running after 0.5 s", 0), 0u) << seen[0].text;
  EXPECT_EQ(seen[1].text, "slept");
  EXPECT_EQ(seen[2].text, "slept");
  EXPECT_TRUE(seen[1].ok && seen[2].ok);
}

// Crashes one after another at the head of a full queue: each fails alone,
// and the large requests behind them, which a child that crashed could not
// take whole, wait for the next child instead of failing unsent.
TEST(WarmWorker, RequestsBehindCrashesOneAfterAnotherAreAnswered) {
  WarmWorker worker(serve_test, {5.0, false}, 8);
  const std::string big = "count " + std::string(1 << 20, 'z');
  const std::vector<std::string> requests = {"pid", "crash", "crash", big, big, "crash", big, big};
  for (std::size_t k = 0; k < requests.size(); ++k) ASSERT_EQ(worker.send(requests[k], "r" + std::to_string(k)), "");
  for (std::size_t k = 0; k < requests.size(); ++k) {
    const std::optional<ChildOutcome> outcome = worker.reply(10.0);
    ASSERT_TRUE(outcome.has_value()) << k;
    if (requests[k] == "crash") {
      EXPECT_EQ(outcome->text.rfind("r" + std::to_string(k) + " stopped on signal 6", 0), 0u) << outcome->text;
    } else {
      EXPECT_TRUE(outcome->ok) << k << ": " << outcome->text;
      if (requests[k] == big) {
        EXPECT_EQ(outcome->text, "counted " + std::to_string(big.size())) << k;
      }
    }
  }
  EXPECT_EQ(worker.state(), WarmWorker::State::ready);
}

// Requests that reach the child together, a large one among them, are
// answered whole and in order, by the one child.
TEST(WarmWorker, RequestsThatArriveTogetherAreAnsweredWholeAndInOrder) {
  WarmWorker worker(serve_test, {5.0, false}, 3);
  const std::string big(1 << 20, 'y');
  for (const std::vector<std::string>& requests :
       {std::vector<std::string>{"sleep", big, "pid"}, std::vector<std::string>{"a", "fail", "pid"}}) {
    for (const std::string& request : requests) ASSERT_EQ(worker.send(request, "r"), "");
    std::vector<ChildOutcome> seen;
    while (seen.size() < requests.size()) {
      std::optional<ChildOutcome> outcome = worker.reply(5.0);
      ASSERT_TRUE(outcome.has_value());
      seen.push_back(std::move(*outcome));
    }
    const std::string pid = std::to_string(worker.pid());
    if (requests[0] == "sleep") {
      EXPECT_EQ(seen[0].text, "slept");
      EXPECT_TRUE(seen[1].ok);
      EXPECT_TRUE(seen[1].text == "echo " + big);
    } else {
      EXPECT_EQ(seen[0].text, "echo a");
      EXPECT_FALSE(seen[1].ok);
      EXPECT_EQ(seen[1].text, "the work failed");
    }
    EXPECT_EQ(seen[2].text, pid);
    EXPECT_EQ(worker.state(), WarmWorker::State::ready);
  }
}

TEST(WarmWorker, SeveralWorkersAreWaitedForTogether) {
  WarmWorker slow([](const std::string& r) {
    usleep(200'000);
    return ChildWork{true, r};
  });
  WarmWorker quick(serve_test);
  ASSERT_EQ(slow.send("a", "slow"), "");
  ASSERT_EQ(quick.send("b", "quick"), "");
  EXPECT_NE(quick.send("c", "quick"), "");  // busy
  std::vector<std::pair<std::size_t, ChildOutcome>> seen;
  while (seen.size() < 2) {
    for (auto& done : meridox::host::wait_replies({&slow, &quick})) seen.push_back(std::move(done));
  }
  EXPECT_EQ(seen[0].first, 1u);
  EXPECT_EQ(seen[0].second.text, "echo b");
  EXPECT_EQ(seen[1].first, 0u);
  EXPECT_EQ(seen[1].second.text, "a");
  EXPECT_TRUE(meridox::host::wait_replies({&slow, &quick}).empty());
}

// Workers with deep queues, kept full as a study keeps them, so that the
// wait sleeps through their replies once their pace is known: every reply
// still comes back, in each worker's order, and a crash and a hang among
// them fail alone.
TEST(WarmWorker, DeepQueuesKeptFullLoseNoReply) {
  auto serve = [](const std::string& r) {
    usleep(2'000);
    return serve_test(r);
  };
  WarmWorker first(serve, {1.0, true}, 8), second(serve, {1.0, true}, 8);
  std::vector<WarmWorker*> workers{&first, &second};
  std::vector<std::deque<std::string>> sent(2);
  std::vector<std::vector<std::pair<std::string, ChildOutcome>>> got(2);
  int next = 0;
  auto request = [](int n) { return n == 37 ? std::string("crash") : n == 71 ? std::string("hang") : std::to_string(n); };
  while (next < 120 || !sent[0].empty() || !sent[1].empty()) {
    for (std::size_t k = 0; k < 2; ++k) {
      while (next < 120 && workers[k]->has_room()) {
        ASSERT_EQ(workers[k]->send(request(next), "request"), "");
        sent[k].push_back(request(next++));
      }
    }
    for (auto& [k, outcome] : meridox::host::wait_replies(workers)) {
      got[k].emplace_back(sent[k].front(), std::move(outcome));
      sent[k].pop_front();
    }
  }
  std::size_t answered = 0;
  for (const auto& replies : got) {
    for (const auto& [r, outcome] : replies) {
      ++answered;
      if (r == "crash" || r == "hang") {
        EXPECT_FALSE(outcome.ok) << r;
        EXPECT_NE(outcome.text.find(r == "crash" ? "signal" : "still running"), std::string::npos) << outcome.text;
      } else {
        EXPECT_TRUE(outcome.ok) << r << ": " << outcome.text;
        EXPECT_EQ(outcome.text, "echo " + r);
      }
    }
  }
  EXPECT_EQ(answered, 120u);
}

// A study's check of many values, made on two threads, gives each value
// what checking its own sheet against the base's gives, in its place:
// time steps of either sign and 0 (their warnings come and go), and gains.
TEST(StudyCheckOfValues, EachValueHasItsOwnSheetsWarnings) {
  using namespace meridox::host;
  const Calculator& calc = *find_calculator("stage");
  StudySpec spec;
  spec.calculator = calc.name;
  spec.sheet = std::string(example_sheet(calc.name));
  std::string why;
  spec.vary.push_back(*parse_vary("time_step=-4e-4:4e-4:33", why));
  spec.vary.push_back(*parse_vary("position_gain=-20,0,40", why));
  const StudyCheck check = check_study(calc, spec);
  const std::vector<Warning> base = check_sheet(calc, base_sheet(calc, spec)).warnings;
  auto same = [](const Warning& a, const Warning& b) { return a.code == b.code && a.message == b.message; };
  ASSERT_EQ(check.values.size(), 2u);
  std::size_t added = 0;
  for (std::size_t p = 0; p < 2; ++p) {
    ASSERT_EQ(check.values[p].size(), spec.vary[p].values.size());
    const NamedCell cell = *named_cell(calc, spec.vary[p].name);
    for (std::size_t k = 0; k < spec.vary[p].values.size(); ++k) {
      const std::string sheet =
          with_cell_text(base_sheet(calc, spec), cell.column, cell.row, number_text(spec.vary[p].values[k]));
      const std::vector<Warning> own = check_sheet(calc, sheet).warnings;
      std::vector<std::string> expected, got;
      for (const Warning& w : own) {
        if (std::none_of(base.begin(), base.end(), [&](const Warning& b) { return same(b, w); })) {
          expected.push_back(w.code + ": " + w.message);
        }
      }
      for (const Warning& w : check.values[p][k].added) got.push_back(w.code + ": " + w.message);
      EXPECT_EQ(got, expected) << spec.vary[p].name << " = " << spec.vary[p].values[k];
      added += got.size();
    }
  }
  EXPECT_GT(added, 0u);  // some values do warn
}

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line.back() == '\r' ? line.substr(0, line.size() - 1) : line);
  return lines;
}

// The fields of a study.csv line that hold no quoted status: case, values,
// metrics.
std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line.substr(0, line.find('"')));
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

// Every file under `folder` and their bytes.
std::pair<std::size_t, std::uintmax_t> files_and_bytes(const fs::path& folder) {
  std::size_t files = 0;
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    ++files;
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  return {files, bytes};
}

}  // namespace

class StudySpeed : public ::testing::Test {
 protected:
  meridox::testing::ExchangeFolder scratch;
  fs::path dir() const { return scratch.path(); }
  meridox::testing::CommandResult meridox(const std::string& args) const {
    return meridox::testing::run_command(dir(), MERIDOX_EXE, args);
  }
};

// Cases run one after another in one warm worker write the very tables a
// fresh `meridox run` of each case's sheet writes, and a study that keeps no
// tables gives the same rows: the optics calculators recompute everything
// at every call; the stages (whose first row shows the control current the
// last run left) and the plate (whose support cases past 2 start from the
// state the last run left) start each case from their library as loaded.
TEST_F(StudySpeed, WarmCasesWriteWhatAFreshRunWrites) {
  const std::vector<std::pair<std::string, std::string>> studies = {
      {"projection", "--vary defocus=0.8,-0.6,0 --vary sigma=0.35,0.85"},
      {"proximity", "--vary gap=40,5,20 --vary 'rect_y2[1]=6,7'"},
      {"plate", "--vary support_case=0,3,1,3,2,3"},
      {"stage", "--vary position_gain=30,90 --vary bias_current=0,0.5,-0.5"},
      {"nut-stage", "--vary position_gain=20,41.9,80 --vary bias_current=0,0.2"},
      {"stage-base", "--vary position_gain=40,79,150 --vary bias_current=0,0.3"},
  };
  for (const auto& [calc, vary] : studies) {
    SCOPED_TRACE(calc);
    const std::string study = "study " + calc + " " + vary + " -j 1 --no-pictures";
    ASSERT_EQ(meridox(study + " --keep-tables -o kept").status, 0);
    ASSERT_EQ(meridox(study + " -o plain").status, 0);
    EXPECT_TRUE(slurp(dir() / "kept" / "study.csv") == slurp(dir() / "plain" / "study.csv"));
    const std::vector<std::string> rows = lines_of(slurp(dir() / "kept" / "study.csv"));
    ASSERT_EQ(rows.size(), 7u);
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(dir() / "kept" / "cases")) {
      if (!entry.is_directory()) continue;
      const fs::path fresh = dir() / "fresh" / entry.path().filename();
      const auto r = meridox("run " + calc + " '" + (entry.path() / "IN_FM.txt").string() + "' --no-pictures -o '" +
                             fresh.string() + "'");
      ASSERT_EQ(r.status, 0) << r.err;
      std::size_t tables = 0;
      for (const auto& table : fs::directory_iterator(fresh)) {
        const std::string name = table.path().filename().string();
        if (name.rfind("OUT_", 0) != 0) continue;
        ++tables;
        EXPECT_TRUE(slurp(table.path()) == slurp(entry.path() / name)) << entry.path().filename() << " " << name;
      }
      EXPECT_GE(tables, 1u);
      ++compared;
    }
    EXPECT_EQ(compared, 6u);
  }
}

// In a warm worker, a case that ends its process, one that runs past its
// timeout and one that aborts each fail alone in their one line; the cases
// after them run in a fresh worker and give the rows they give alone; -j 1
// and -j 2 write the same table; a failed case keeps a folder holding its
// sheet, a completed one keeps none.
TEST_F(StudySpeed, ABadCaseInAWarmWorkerFailsAlone) {
  const std::string fake = "study projection --lib-dir '" FAKE_LIB_DIR "' --set grid_size=16 --timeout 1 --no-pictures ";
  auto r = meridox(fake + "--vary defocus=0,7,1,8,2,9,3 -j 2 -o two");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("3 of 7 cases failed"), std::string::npos) << r.err;
  ASSERT_EQ(meridox(fake + "--vary defocus=0,7,1,8,2,9,3 -j 1 -o one").status, 1);
  EXPECT_TRUE(slurp(dir() / "one" / "study.csv") == slurp(dir() / "two" / "study.csv"));
  ASSERT_EQ(meridox(fake + "--vary defocus=0,1,2,3 -j 1 -o good").status, 0);

  const std::vector<std::string> rows = lines_of(slurp(dir() / "two" / "study.csv"));
  const std::vector<std::string> good = lines_of(slurp(dir() / "good" / "study.csv"));
  ASSERT_EQ(rows.size(), 8u);
  ASSERT_EQ(good.size(), 5u);
  const std::map<std::size_t, std::string> failed = {
      {2, "case 1 ended the process with status 3"},
      {4, "case 3 was still running after 1 s and was ended"},
      {6, "case 5 stopped on signal 6"},
  };
  std::size_t next_good = 1;
  for (std::size_t k = 1; k < rows.size(); ++k) {
    SCOPED_TRACE(rows[k]);
    std::vector<std::string> fields = fields_of(rows[k]);
    const fs::path folder = dir() / "two" / "cases" / fields[0];
    if (const auto f = failed.find(k); f != failed.end()) {
      EXPECT_NE(rows[k].find(",\"" + f->second), std::string::npos);
      EXPECT_EQ(fields[3], "nan");  // peak
      const std::string sheet = slurp(folder / "IN_FM.txt");
      EXPECT_NE(sheet.find("defocus\tum\t" + fields[1] + "\r\n"), std::string::npos);
      EXPECT_FALSE(fs::exists(folder / "OUT_M.txt"));
      continue;
    }
    EXPECT_FALSE(fs::exists(folder));
    std::vector<std::string> alone = fields_of(good[next_good++]);
    ASSERT_EQ(fields.size(), alone.size());
    // The same values and metrics; only the case names differ.
    EXPECT_TRUE(std::equal(fields.begin() + 1, fields.end(), alone.begin() + 1));
  }
  EXPECT_EQ(next_good, 5u);
}

// A warm worker's scratch folder never passes on a case's tables: a case
// whose calculator writes none after one that wrote its own fails, as does
// one whose folder went, and the next case makes the folder again. A
// folder that a case's failure left in an earlier run goes when the case
// completes; the failed cases keep theirs.
TEST_F(StudySpeed, AWarmWorkersScratchHoldsNoEarlierCasesTables) {
  const std::string fake = "study projection --lib-dir '" FAKE_LIB_DIR "' --set grid_size=16 --no-pictures ";
  ASSERT_EQ(meridox(fake + "--vary defocus=0,6,1,5,2 -j 1 -o one").status, 1);
  ASSERT_EQ(meridox(fake + "--vary defocus=0,6,1,5,2 -j 2 -o two").status, 1);
  ASSERT_EQ(meridox(fake + "--vary defocus=0,1,2 -j 1 -o good").status, 0);
  const std::string table = slurp(dir() / "one" / "study.csv");
  EXPECT_TRUE(table == slurp(dir() / "two" / "study.csv"));
  const std::vector<std::string> rows = lines_of(table);
  const std::vector<std::string> good = lines_of(slurp(dir() / "good" / "study.csv"));
  ASSERT_EQ(rows.size(), 6u);
  ASSERT_EQ(good.size(), 4u);
  for (const std::size_t k : {2u, 4u}) {
    EXPECT_NE(rows[k].find(",\"the calculator wrote no readable OUT_M.txt"), std::string::npos) << rows[k];
  }
  for (const std::size_t k : {1u, 3u, 5u}) {
    const std::vector<std::string> fields = fields_of(rows[k]), alone = fields_of(good[(k + 1) / 2]);
    ASSERT_EQ(fields.size(), alone.size());
    EXPECT_TRUE(std::equal(fields.begin() + 1, fields.end(), alone.begin() + 1)) << rows[k];
  }

  const fs::path cases = dir() / "one" / "cases";
  fs::remove(cases / "records.txt");
  fs::create_directory(cases / "2");
  std::ofstream(cases / "2" / "IN_FM.txt") << "an earlier run's sheet";
  ASSERT_EQ(meridox(fake + "--vary defocus=0,6,1,5,2 -j 1 -o one").status, 1);
  EXPECT_FALSE(fs::exists(cases / "2"));
  EXPECT_TRUE(fs::exists(cases / "1" / "IN_FM.txt"));
  EXPECT_TRUE(fs::exists(cases / "3" / "IN_FM.txt"));
  EXPECT_FALSE(fs::exists(cases / "0"));
  EXPECT_TRUE(slurp(dir() / "one" / "study.csv") == table);
}

// Without kept tables a study keeps its record and key beside study.csv and
// nothing per case; a rerun reuses every case from that record, another
// study starts afresh, and any case runs alone into its folder with --case.
TEST_F(StudySpeed, ARecordOfTheStudyReplacesCaseFolders) {
  const std::string study = "study projection --vary defocus=-1:1:8 --vary sigma=0.4,0.8 -j 2 --no-pictures -o s";
  // The scratch of a study that was killed (its process is gone) goes with
  // the next study's start.
  fs::path abandoned;
  if (access("/dev/shm", W_OK) == 0) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    abandoned = "/dev/shm/.meridox-cases-" + std::to_string(gone) + "-test";
    fs::create_directories(abandoned / "worker-0");
  }
  auto r = meridox(study);
  if (!abandoned.empty()) {
    EXPECT_FALSE(fs::exists(abandoned));
  }
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string table = slurp(dir() / "s" / "study.csv");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir() / "s" / "cases")) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"records.txt", "study-key.txt"}));
  const auto [files, bytes] = files_and_bytes(dir() / "s" / "cases");
  const std::uintmax_t key = fs::file_size(dir() / "s" / "cases" / "study-key.txt");
  EXPECT_LT(bytes - key, 16u * 1024u) << files << " files";  // under 1 KB a case

  r = meridox(study);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(16 reused"), std::string::npos) << r.out;
  EXPECT_TRUE(slurp(dir() / "s" / "study.csv") == table);

  // One case alone: its folder holds its sheet and the tables a fresh run
  // writes; the study's table and record stay as they were.
  const std::string records = slurp(dir() / "s" / "cases" / "records.txt");
  r = meridox(study + " --case 05");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("case 05: ok"), std::string::npos) << r.out;
  const fs::path folder = dir() / "s" / "cases" / "05";
  ASSERT_EQ(meridox("run projection '" + (folder / "IN_FM.txt").string() + "' --no-pictures -o fresh").status, 0);
  EXPECT_TRUE(slurp(folder / "OUT_M.txt") == slurp(dir() / "fresh" / "OUT_M.txt"));
  EXPECT_NE(slurp(folder / "IN_FM.txt").find("sigma\t-\t0.8\r\n"), std::string::npos);
  EXPECT_TRUE(slurp(dir() / "s" / "cases" / "records.txt") == records);
  EXPECT_TRUE(slurp(dir() / "s" / "study.csv") == table);
  EXPECT_EQ(meridox(study + " --case 16").status, 2);

  // A changed study recomputes every case.
  r = meridox(study + " --threshold 0.4");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("starting afresh"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("reused"), std::string::npos) << r.out;
  EXPECT_FALSE(slurp(dir() / "s" / "study.csv") == table);
}
