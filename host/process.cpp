#include "host/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

namespace meridox::host {
namespace {

int report_fd = -1;  // in the child: where fail_child writes

void write_all(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

// In the child: end with the host. The host may have ended before the
// request took hold, so look at the parent once more after it.
void end_with(pid_t host) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != host) _exit(127);
}

double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

volatile sig_atomic_t interrupting_signal = 0;

extern "C" void note_interrupt(int signal) { interrupting_signal = signal; }

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// While a child runs, the signals that would end the host only take note, so
// that the host can end the child and tidy up before it ends itself. Several
// threads of one host (the Python package runs cases side by side) may each
// wait for a child: the first watch installs the note, the last one restores
// what the host had.
class InterruptWatch {
 public:
  InterruptWatch() {
    const std::lock_guard lock(guard());
    if (watchers()++ > 0) return;
    struct sigaction note {};
    note.sa_handler = note_interrupt;
    sigemptyset(&note.sa_mask);
    for (std::size_t k = 0; k < std::size(ending_signals); ++k) sigaction(ending_signals[k], &note, &saved()[k]);
  }
  ~InterruptWatch() {
    const std::lock_guard lock(guard());
    if (--watchers() > 0) return;
    for (std::size_t k = 0; k < std::size(ending_signals); ++k) sigaction(ending_signals[k], &saved()[k], nullptr);
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  static std::mutex& guard() {
    static std::mutex m;
    return m;
  }
  static int& watchers() {
    static int count = 0;
    return count;
  }
  using Saved = struct sigaction[std::size(ending_signals)];
  static Saved& saved() {
    static Saved s{};
    return s;
  }
};

enum class Ending { finished, timed_out, interrupted };

// Waits for the child, ending it once the timeout has passed or the host is
// asked to end. Polls, so that no signal is missed between a look at the
// flag and the wait.
Ending wait_for(pid_t child, int& status, double timeout) {
  const double deadline = timeout > 0.0 ? seconds_now() + timeout : INFINITY;
  long pause_ns = 100000;
  while (true) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child || (done < 0 && errno != EINTR)) return Ending::finished;
    const bool late = seconds_now() >= deadline;
    if (late || interrupting_signal != 0) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return late ? Ending::timed_out : Ending::interrupted;
    }
    const timespec pause{0, pause_ns};
    nanosleep(&pause, nullptr);
    pause_ns = std::min(pause_ns * 2, 20000000L);
  }
}

std::string trimmed_line(std::string text) {
  const std::size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

std::string seconds_text(double s) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", s);
  return buffer;
}

}  // namespace

void fail_child(const char* why) {
  if (report_fd >= 0) write_all(report_fd, why, std::strlen(why));
  _exit(1);
}

int interrupted() { return interrupting_signal; }

void clear_interrupted() { interrupting_signal = 0; }

void end_if_interrupted() {
  const int signal = interrupting_signal;
  if (signal == 0) return;
  std::fflush(nullptr);
  std::signal(signal, SIG_DFL);
  raise(signal);
  _exit(128 + signal);
}

std::string run_in_child(const std::function<std::string()>& work, const std::string& what,
                         const ChildOptions& options) {
  const InterruptWatch watch;
  if (interrupting_signal != 0) return what + " not started: the host was interrupted";
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return "cannot start " + what + ": " + std::strerror(errno);
  const pid_t host = getpid();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return "cannot start " + what + ": " + std::strerror(errno);
  }
  if (child == 0) {
    for (const int signal : ending_signals) std::signal(signal, SIG_DFL);
    end_with(host);
    close(pipe_fds[0]);
    report_fd = pipe_fds[1];
    if (options.quiet) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 2);
    }
    const std::string problem = work();
    std::fflush(nullptr);
    if (!problem.empty()) fail_child(problem.c_str());
    _exit(0);
  }
  close(pipe_fds[1]);
  int status = 0;
  const Ending ending = wait_for(child, status, options.timeout_seconds);
  std::string said;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0 && said.size() < 4096) said.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  if (ending == Ending::timed_out) {
    return what + " was still running after " + seconds_text(options.timeout_seconds) + " s and was ended";
  }
  if (ending == Ending::interrupted) {
    return what + " was ended: the host was interrupted (" + strsignal(interrupting_signal) + ")";
  }
  if (WIFSIGNALED(status)) {
    return what + " stopped on signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (!said.empty()) return trimmed_line(said);
    return what + " ended the process with status " + std::to_string(WEXITSTATUS(status));
  }
  return {};
}

}  // namespace meridox::host
