// Warm workers and the studies that run their cases in them: a warm child
// answers request after request, and a request that crashes, ends the
// process or runs past its deadline fails alone and the next one gets a
// fresh child.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/core/process.hpp"

using meridox::host::ChildOutcome;
using meridox::host::ChildWork;
using meridox::host::WarmWorker;

namespace {

// What a test worker does with a request: its process id, its request
// echoed, a failure of its own, or a way of ending badly.
ChildWork serve_test(const std::string& request) {
  if (request == "pid") return {true, std::to_string(getpid())};
  if (request == "fail") return {false, "the work failed\nsecond line"};
  if (request == "crash") raise(SIGSEGV);
  if (request == "exit 3") _exit(3);
  if (request == "exit 0") _exit(0);
  if (request == "hang") pause();
  if (request == "throw") throw std::runtime_error("no such thing");
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
      {"crash", "case 7 stopped on signal 11"},
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
