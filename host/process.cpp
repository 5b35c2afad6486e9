#include "host/process.hpp"

#include <fcntl.h>
#include <poll.h>
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
// threads may each wait for a child of their own (a study's cases): the
// first watch installs the handlers, the last one gone restores them.
std::mutex watch_mutex;
int watches = 0;
struct sigaction saved_actions[std::size(ending_signals)] {};

void begin_watch() {
  const std::lock_guard<std::mutex> lock(watch_mutex);
  if (watches++ > 0) return;
  struct sigaction note {};
  note.sa_handler = note_interrupt;
  sigemptyset(&note.sa_mask);
  for (std::size_t k = 0; k < std::size(ending_signals); ++k) sigaction(ending_signals[k], &note, &saved_actions[k]);
}

void end_watch() {
  const std::lock_guard<std::mutex> lock(watch_mutex);
  if (--watches > 0) return;
  for (std::size_t k = 0; k < std::size(ending_signals); ++k) sigaction(ending_signals[k], &saved_actions[k], nullptr);
}

class InterruptWatch {
 public:
  InterruptWatch() { begin_watch(); }
  ~InterruptWatch() { end_watch(); }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;
};

enum class Ending { finished, timed_out, interrupted };

// Waits for the child, ending it once the timeout has passed or the host is
// asked to end. The child holds the write end of `report` until it ends, so
// the read end wakes the host as soon as the child ends (or writes why it
// failed); the wait is cut into short slices so that a signal that came
// just before it is seen soon. What the child writes is kept in `said`.
Ending wait_for(pid_t child, int report, int& status, double timeout, std::string& said) {
  const double deadline = timeout > 0.0 ? seconds_now() + timeout : INFINITY;
  bool open = true;
  while (true) {
    if (!open) {
      const pid_t done = waitpid(child, &status, WNOHANG);
      if (done == child || (done < 0 && errno != EINTR)) return Ending::finished;
    }
    const double now = seconds_now();
    if (now >= deadline || interrupting_signal != 0) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return now >= deadline ? Ending::timed_out : Ending::interrupted;
    }
    const double slice_ms = std::min(50.0, (deadline - now) * 1e3);
    if (open) {
      pollfd watch{report, POLLIN, 0};
      if (poll(&watch, 1, static_cast<int>(std::ceil(slice_ms))) > 0) {
        char buffer[512];
        const ssize_t n = read(report, buffer, sizeof buffer);
        if (n > 0 && said.size() < 4096) said.append(buffer, static_cast<std::size_t>(n));
        if (n == 0) open = false;
      }
    } else {
      // The child closed its end but has not ended yet: it is about to.
      const timespec pause{0, 100000};
      nanosleep(&pause, nullptr);
    }
  }
}

// Closes every descriptor above the standard three except `keep`.
void close_other_descriptors(int keep) {
  if (keep > 3) close_range(3, static_cast<unsigned>(keep) - 1, 0);
  close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
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

InterruptNote::InterruptNote() { begin_watch(); }
InterruptNote::~InterruptNote() { end_watch(); }

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
    // Other threads of the host may be starting children of their own: the
    // report pipes of those children must not stay open here, or their ends
    // would wait for this child to end too.
    close_other_descriptors(report_fd);
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
  std::string said;
  const Ending ending = wait_for(child, pipe_fds[0], status, options.timeout_seconds, said);
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
