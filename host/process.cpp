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
#include <cstdio>
#include <cstring>

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

// Waits for the child, ending it once the timeout has passed. Returns false
// when it had to be ended.
bool wait_for(pid_t child, int& status, double timeout) {
  if (!(timeout > 0.0)) {
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return true;
    }
    return true;
  }
  const double deadline = seconds_now() + timeout;
  long pause_ns = 100000;
  while (true) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child || (done < 0 && errno != EINTR)) return true;
    if (seconds_now() >= deadline) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
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

std::string run_in_child(const std::function<std::string()>& work, const std::string& what,
                         const ChildOptions& options) {
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
  const bool finished = wait_for(child, status, options.timeout_seconds);
  std::string said;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0 && said.size() < 4096) said.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  if (!finished) return what + " was still running after " + seconds_text(options.timeout_seconds) + " s and was ended";
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
