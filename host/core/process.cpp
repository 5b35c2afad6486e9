#include "host/core/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <utility>

#include "host/core/text.hpp"

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

// Ends a child at once and waits until it is gone.
void end_now(pid_t child) {
  kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Reads what is there from a report pipe without waiting for more.
ssize_t recv_some(int fd, char* buffer, std::size_t size) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, 0) <= 0) {
    errno = EAGAIN;
    return -1;
  }
  return read(fd, buffer, size);
}

// Closes every descriptor above the standard three except `keep`.
void close_other_descriptors(int keep) {
  if (keep > 3) close_range(3, static_cast<unsigned>(keep) - 1, 0);
  close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
}

// In a child just forked from `host`: the host's ending signals act as
// usual again, the child ends with the host, and it keeps only the standard
// three descriptors and `own_end`, its end of the exchange with the host
// (`host_end` is the host's). The exchanges of other children (of this
// host, or of another thread's group) must not stay open here, or their
// ends would wait for this child to end too. Quiet: standard error goes to
// /dev/null.
void enter_child(pid_t host, int host_end, int own_end, bool quiet) {
  for (const int signal : ending_signals) std::signal(signal, SIG_DFL);
  end_with(host);
  close(host_end);
  report_fd = own_end;
  close_other_descriptors(report_fd);
  if (quiet) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
  }
}

std::string trimmed_line(std::string text) {
  const std::size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

std::string seconds_text(double s) { return rounded_text(s, 6); }

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

// The first byte a child writes when its work succeeded, before what the
// work returned: a child that ends with status 0 without it (a calculator
// that ends the process itself) did not finish its work.
constexpr char success_mark = '\x01';

ChildGroup::ChildGroup(ChildOptions options) : options_(options) { begin_watch(); }

ChildGroup::~ChildGroup() {
  for (Child& c : children_) {
    end_now(c.pid);
    if (c.state == Child::State::reporting) close(c.report);
    if (c.exited >= 0) close(c.exited);
  }
  end_watch();
}

// Whether another child would take the descriptors the host keeps for its
// own files: each child holds two in the host (its report pipe and its exit
// descriptor) while it runs. Worked out once the group runs a few children.
bool ChildGroup::at_descriptor_limit() {
  constexpr std::size_t few = 8, kept_for_files = 32;
  if (children_.size() < few) return false;
  if (descriptor_room_ == 0) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    std::size_t open_now = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
      ++open_now;
    }
    const std::size_t allowed = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX / 4 : static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t in_children = 2 * children_.size();
    const std::size_t others = open_now > in_children ? open_now - in_children : 0;
    descriptor_room_ = std::max(few, allowed > others + kept_for_files ? (allowed - others - kept_for_files) / 2 : 0);
  }
  return children_.size() >= descriptor_room_;
}

std::string ChildGroup::start(std::size_t tag, const std::function<ChildWork()>& work, const std::string& what) {
  // Out of descriptors or processes, the host waits for a child to end
  // rather than fail a child it could start a moment later.
  auto lacks_room = [](int error) { return error == EMFILE || error == ENFILE || error == EAGAIN; };
  int pipe_fds[2] = {-1, -1};
  pid_t child = -1;
  const pid_t host = getpid();
  while (true) {
    if (interrupting_signal != 0) return what + " not started: the host was interrupted";
    if (at_descriptor_limit()) {
      for (auto& done : wait_running()) ended_.push_back(std::move(done));
      continue;
    }
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
      if (lacks_room(errno) && !children_.empty()) {
        for (auto& done : wait_running()) ended_.push_back(std::move(done));
        continue;
      }
      return "cannot start " + what + ": " + std::strerror(errno);
    }
    std::fflush(nullptr);
    child = fork();
    if (child >= 0) break;
    const int error = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (!lacks_room(error) || children_.empty()) return "cannot start " + what + ": " + std::strerror(error);
    for (auto& done : wait_running()) ended_.push_back(std::move(done));
  }
  if (child == 0) {
    enter_child(host, pipe_fds[0], pipe_fds[1], options_.quiet);
    // Nothing may unwind out of the work: the stack below it is a copy of
    // the host's (a study's group of children among it), and its
    // destructors would act on the host's behalf. Every way out is _exit.
    try {
      const ChildWork done = work();
      std::fflush(nullptr);
      if (!done.ok) fail_child(done.text.c_str());
      write_all(report_fd, &success_mark, 1);
      write_all(report_fd, done.text.data(), done.text.size());
    } catch (const std::exception& e) {
      fail_child((what + " failed: " + e.what()).c_str());
    } catch (...) {
      fail_child((what + " failed on an unexpected error").c_str());
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  const double deadline = options_.timeout_seconds > 0.0 ? seconds_now() + options_.timeout_seconds : INFINITY;
  // A descriptor that wakes a wait the moment the child has ended (none on
  // kernels without it: then a short pause between looks stands in).
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  children_.push_back({tag, child, Child::State::reporting, pipe_fds[0], exited, deadline, what, {}});
  return {};
}

namespace {

// Why a child that ended with `status` before its work was done failed:
// the signal that stopped it, what it said (`said`, its own one line), or
// how it ended the process.
ChildOutcome failed_outcome(const std::string& what, int status, const std::string& said) {
  if (WIFSIGNALED(status)) {
    return {false, what + " stopped on signal " + std::to_string(WTERMSIG(status)) + " (" +
                       strsignal(WTERMSIG(status)) + ")"};
  }
  if (!said.empty()) return {false, said};
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return {false, what + " ended the process before its work was done"};
  }
  return {false, what + " ended the process with status " + std::to_string(WEXITSTATUS(status))};
}

std::string timed_out(const std::string& what, double timeout) {
  return what + " was still running after " + seconds_text(timeout) + " s and was ended";
}

std::string interrupted_text(const std::string& what) {
  return what + " was ended: the host was interrupted (" + strsignal(interrupting_signal) + ")";
}

}  // namespace

// What became of a child that has ended (and been reaped) with `status`.
ChildOutcome ChildGroup::outcome(const Child& c, int status) const {
  if (!WIFSIGNALED(status) && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !c.said.empty() &&
      c.said[0] == success_mark) {
    return {true, c.said.substr(1)};
  }
  const std::string said = c.said.empty() || c.said[0] == success_mark ? std::string() : trimmed_line(c.said);
  return failed_outcome(c.what, status, said);
}

// Reads what the child has written so far without waiting; at the end of
// its report (the child has closed its end) the report is complete.
void ChildGroup::drain(Child& c) {
  while (c.state == Child::State::reporting) {
    char buffer[1 << 16];
    const ssize_t n = recv_some(c.report, buffer, sizeof buffer);
    if (n > 0) {
      c.said.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    close(c.report);
    c.report = -1;
    c.state = Child::State::reported;
  }
}

std::vector<std::pair<std::size_t, ChildOutcome>> ChildGroup::wait_any() {
  if (!ended_.empty()) return std::exchange(ended_, {});
  return wait_running();
}

std::vector<std::pair<std::size_t, ChildOutcome>> ChildGroup::wait_running() {
  std::vector<std::pair<std::size_t, ChildOutcome>> ended;
  auto end_child = [&](std::size_t k, const ChildOutcome& why) {
    Child& c = children_[k];
    if (c.state == Child::State::reporting) close(c.report);
    if (c.exited >= 0) close(c.exited);
    ended.emplace_back(c.tag, why);
    children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(k));
  };
  while (ended.empty() && !children_.empty()) {
    const double now = seconds_now();
    // Ended by the host: past their time, or every one when the host is asked to end.
    for (std::size_t k = children_.size(); k-- > 0;) {
      const Child& c = children_[k];
      if (now < c.deadline && interrupting_signal == 0) continue;
      // A child that finished its work just before its deadline keeps its
      // result: read what it reported and see whether it has ended.
      if (interrupting_signal == 0) {
        drain(children_[k]);
        int status = 0;
        if (c.state == Child::State::reported && waitpid(c.pid, &status, WNOHANG) == c.pid) {
          end_child(k, outcome(c, status));
          continue;
        }
      }
      end_now(c.pid);
      const std::string why =
          interrupting_signal != 0 ? interrupted_text(c.what) : timed_out(c.what, options_.timeout_seconds);
      end_child(k, {false, why});
    }
    if (!ended.empty()) break;
    // A child holds the write end of its report pipe until it ends, so the
    // read end wakes the host as soon as a child ends or reports; a child
    // whose pipe has closed is about to end, and its exit descriptor wakes
    // the host when it has.
    std::vector<pollfd> watch;
    bool closing = false;
    double next_deadline = INFINITY;
    for (std::size_t k = children_.size(); k-- > 0;) {
      Child& c = children_[k];
      next_deadline = std::min(next_deadline, c.deadline);
      if (c.state == Child::State::reporting) {
        watch.push_back({c.report, POLLIN, 0});
        continue;
      }
      int status = 0;
      const pid_t done = waitpid(c.pid, &status, WNOHANG);
      if (done == c.pid) {
        end_child(k, outcome(c, status));
      } else if (done < 0 && errno != EINTR) {
        end_child(k, {false, c.what + " was lost: " + std::strerror(errno)});
      } else if (c.exited >= 0) {
        watch.push_back({c.exited, POLLIN, 0});
      } else {
        closing = true;
      }
    }
    if (!ended.empty()) break;
    // Short slices, so that a signal that came just before the wait is seen soon.
    const double slice_ms = std::max(0.0, std::min(closing ? 0.2 : 50.0, (next_deadline - now) * 1e3));
    if (watch.empty()) {
      const timespec pause{0, static_cast<long>(slice_ms * 1e6)};
      nanosleep(&pause, nullptr);
      continue;
    }
    if (poll(watch.data(), watch.size(), static_cast<int>(std::ceil(slice_ms))) <= 0) continue;
    for (const pollfd& w : watch) {
      if (w.revents == 0) continue;
      for (Child& c : children_) {
        if (c.state == Child::State::reporting && c.report == w.fd) drain(c);
      }
    }
  }
  return ended;
}

std::string run_in_child(const std::function<std::string()>& work, const std::string& what,
                         const ChildOptions& options) {
  ChildGroup group(options);
  if (std::string failed = group.start(0, [&] {
        std::string problem = work();
        return ChildWork{problem.empty(), std::move(problem)};
      }, what);
      !failed.empty()) {
    return failed;
  }
  const auto ended = group.wait_any();
  return ended.front().second.ok ? std::string() : ended.front().second.text;
}

// A warm worker's exchange, over one socket (so that a write to a child that
// has ended fails instead of raising SIGPIPE in the host). A request: the
// size of `what`, `what`, the size of the request, the request. A reply: a
// mark (ok or failed), the size of the text, the seconds the child worked
// on the request, the text. Sizes and seconds are 8 bytes in the host's
// order; both ends are the same program.
namespace {

constexpr char reply_ok = '\x01', reply_failed = '\x02';
constexpr std::size_t size_bytes = sizeof(std::uint64_t);
constexpr std::size_t reply_head = 1 + size_bytes + sizeof(double);

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string size_text(std::size_t size) {
  const std::uint64_t n = size;
  return std::string(reinterpret_cast<const char*>(&n), size_bytes);
}

// In the child: the host's requests as they come. The host sends the next
// request while the one before is worked on, so one read often brings a
// whole request, or several.
class RequestReader {
 public:
  explicit RequestReader(int fd) : fd_(fd) {}

  // The next request and its name; false at the end of the requests.
  bool next(std::string& what, std::string& request) {
    std::uint64_t what_size = 0, request_size = 0;
    if (!have(size_bytes)) return false;
    std::memcpy(&what_size, buffer_.data() + at_, size_bytes);
    if (!have(2 * size_bytes + what_size)) return false;
    std::memcpy(&request_size, buffer_.data() + at_ + size_bytes + what_size, size_bytes);
    if (!have(2 * size_bytes + what_size + request_size)) return false;
    const char* start = buffer_.data() + at_ + size_bytes;
    what.assign(start, static_cast<std::size_t>(what_size));
    request.assign(start + what_size + size_bytes, static_cast<std::size_t>(request_size));
    at_ += static_cast<std::size_t>(2 * size_bytes + what_size + request_size);
    return true;
  }

 private:
  // Whether `size` bytes not yet taken are in the buffer, reading more as
  // they are needed; false when the host has closed its end first.
  bool have(std::uint64_t size) {
    while (end_ - at_ < size) {
      if (at_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
        end_ -= at_;
        at_ = 0;
      }
      const std::size_t room = std::max<std::size_t>(static_cast<std::size_t>(size), end_ + piece);
      if (buffer_.size() < room) buffer_.resize(std::max(room, 2 * buffer_.size()));
      const ssize_t n = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      end_ += static_cast<std::size_t>(n);
    }
    return true;
  }

  static constexpr std::size_t piece = 1 << 12;  // a read asks for at least this much more
  int fd_;
  std::vector<char> buffer_;
  std::size_t at_ = 0, end_ = 0;  // the bytes read and not yet taken
};

// In the child: answers requests until the host closes its end, each reply
// in one send, so that the host wakes once for it, with all of it there.
[[noreturn]] void serve_requests(int fd, const WarmWorker::Serve& serve) {
  RequestReader requests(fd);
  std::string what, request, reply;
  while (requests.next(what, request)) {
    const double start = seconds_now();
    ChildWork done;
    try {
      done = serve(request);
    } catch (const std::exception& e) {
      done = {false, what + " failed: " + e.what()};
    } catch (...) {
      done = {false, what + " failed on an unexpected error"};
    }
    std::fflush(nullptr);
    if (!done.ok) done.text = trimmed_line(done.text);
    const double worked = seconds_now() - start;
    reply.assign(1, done.ok ? reply_ok : reply_failed);
    reply += size_text(done.text.size());
    reply.append(reinterpret_cast<const char*>(&worked), sizeof worked);
    reply += done.text;
    if (!send_all(fd, reply.data(), reply.size())) break;
  }
  _exit(0);
}

// The bytes of the whole reply at the front of what a child said; 0 while
// it is not all there, or when what it said is no reply (what a child
// writes on its way out, complete only when it has closed its end).
std::size_t complete_reply(const std::string& said) {
  if (said.size() < reply_head || (said[0] != reply_ok && said[0] != reply_failed)) return 0;
  std::uint64_t size = 0;
  std::memcpy(&size, said.data() + 1, size_bytes);
  return said.size() - reply_head >= size ? reply_head + static_cast<std::size_t>(size) : 0;
}

}  // namespace

WarmWorker::WarmWorker(Serve serve, ChildOptions options, std::size_t queue)
    : serve_(std::move(serve)), options_(options), queue_(std::max<std::size_t>(1, queue)) {}

WarmWorker::~WarmWorker() { stop(); }

// The host's ending signals only take note while a request is worked on,
// so that a host that keeps a worker between requests (an interactive
// session) is interrupted as usual meanwhile.
void WarmWorker::become(State state) {
  if ((state_ == State::busy) != (state == State::busy)) state == State::busy ? begin_watch() : end_watch();
  state_ = state;
}

// How long the child surely goes on without the host: the requests queued
// behind the one it works on and the one after it, each taking at least as
// long as the quickest it has answered; 0 before its first answer.
double WarmWorker::runs_alone_for() const {
  if (state_ != State::busy || pending_.size() < 3 || !std::isfinite(quickest_)) return 0.0;
  return static_cast<double>(pending_.size() - 2) * quickest_;
}

void WarmWorker::stop() {
  end_child();
  pending_.clear();
  early_.clear();
  become(State::stopped);
}

void WarmWorker::end_child() {
  if (pid_ > 0) end_now(pid_);
  if (channel_ >= 0) close(channel_);
  pid_ = -1;
  channel_ = -1;
  said_.clear();
}

void WarmWorker::settle_state() {
  become(!pending_.empty() || !early_.empty() ? State::busy : pid_ > 0 ? State::ready : State::stopped);
}

// A new child for the worker; empty, or why none could start (the
// system's words).
std::string WarmWorker::start_child() {
  auto cannot_start = [&](int error) {
    out_of_room_ = error == EMFILE || error == ENFILE || error == EAGAIN;
    return std::string(std::strerror(error));
  };
  int ends[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return cannot_start(errno);
  const pid_t host = getpid();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(ends[0]);
    close(ends[1]);
    return cannot_start(error);
  }
  if (child == 0) {
    enter_child(host, ends[0], ends[1], options_.quiet);
    serve_requests(report_fd, serve_);
  }
  close(ends[1]);
  pid_ = child;
  channel_ = ends[0];
  return {};
}

double WarmWorker::deadline_from(double now) const {
  return options_.timeout_seconds > 0.0 ? now + options_.timeout_seconds : INFINITY;
}

std::string WarmWorker::send(const std::string& request, const std::string& what) {
  out_of_room_ = false;
  if (!has_room()) return what + " not sent: the worker is busy";
  if (interrupting_signal != 0) return what + " not started: the host was interrupted";
  Pending next{what, size_text(what.size()) + what + size_text(request.size()) + request};
  // A child that ended while it waited (killed from outside) is replaced once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (pid_ < 0) {
      if (const std::string why = start_child(); !why.empty()) {
        settle_state();
        return "cannot start " + what + ": " + why;
      }
    }
    const bool sent = send_all(channel_, next.message.data(), next.message.size());
    // A child that cannot take it while it works on earlier requests has
    // ended on one of them: the request waits with them for a new child.
    if (sent || !pending_.empty()) {
      if (pending_.empty()) deadline_ = deadline_from(seconds_now());
      pending_.push_back(std::move(next));
      settle_state();
      return {};
    }
    end_child();
  }
  settle_state();
  return "cannot send " + what + " to its worker: " + std::strerror(errno);
}

// Reads what the child has written, without waiting, until the oldest
// reply is all there (its frame says how long it is) or nothing more has
// come; false once the child has closed its end (it has ended or is about
// to).
bool WarmWorker::read_some() {
  while (complete_reply(said_) == 0) {
    char buffer[1 << 16];
    const ssize_t n = recv(channel_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      said_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

// Whether reply(0) has an outcome to give without reading from the child:
// one known early, a whole reply read already, or the oldest request's end
// by the host (an interruption, its deadline).
bool WarmWorker::answerable(double now) const {
  return !early_.empty() || complete_reply(said_) > 0 || interrupting_signal != 0 ||
         (!pending_.empty() && now >= deadline_);
}

// The oldest request's end with its child: with `why` (a deadline, an
// interruption) the host ends it; without, it has closed its end and its
// status says what happened. The requests waiting behind it had not begun:
// they go to a new child, or all fail alike when none can take them.
ChildOutcome WarmWorker::ended(const std::string& why) {
  const std::string what = pending_.front().what;
  ChildOutcome outcome{false, why};
  if (why.empty()) {
    int status = 0;
    pid_t done = 0;
    // It has closed its end on its way out; one that lingers is ended.
    for (int k = 0; k < 25'000 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++k) {
      const timespec pause{0, 200'000};
      nanosleep(&pause, nullptr);
    }
    if (done == pid_) {
      pid_ = -1;
      const bool raw = !said_.empty() && said_[0] != reply_ok && said_[0] != reply_failed;
      outcome = failed_outcome(what, status, raw ? trimmed_line(said_) : std::string());
    } else {
      outcome.text = what + " closed its exchange with the host and was ended";
    }
  }
  end_child();
  pending_.pop_front();
  std::deque<Pending> waiting = std::move(pending_);
  pending_.clear();
  if (interrupting_signal != 0) {
    for (const Pending& p : waiting) early_.push_back({false, interrupted_text(p.what)});
  } else if (!waiting.empty()) {
    // They all go to the new child, or all fail alike. A new child that
    // took some and then could take no more has ended on one of those it
    // took, as send() finds: the rest wait with them for the next child.
    std::string cannot_start = start_child(), cannot_send;
    std::size_t sent = 0;
    for (const Pending& p : waiting) {
      if (!cannot_start.empty()) break;
      if (!send_all(channel_, p.message.data(), p.message.size())) {
        cannot_send = std::strerror(errno);
        break;
      }
      ++sent;
    }
    if (cannot_start.empty() && (cannot_send.empty() || sent > 0)) {
      pending_ = std::move(waiting);
      deadline_ = deadline_from(seconds_now());
    } else {
      end_child();
      for (const Pending& p : waiting) {
        early_.push_back({false, cannot_start.empty() ? "cannot send " + p.what + " to its worker: " + cannot_send
                                                       : "cannot start " + p.what + ": " + cannot_start});
      }
    }
  }
  settle_state();
  return outcome;
}

std::optional<ChildOutcome> WarmWorker::settle(double now) {
  if (interrupting_signal != 0) return ended(interrupted_text(pending_.front().what));
  if (const std::size_t whole = complete_reply(said_); whole > 0) {
    ChildOutcome outcome{said_[0] == reply_ok, said_.substr(reply_head, whole - reply_head)};
    double worked = INFINITY;
    std::memcpy(&worked, said_.data() + 1 + size_bytes, sizeof worked);
    if (worked >= 0.0) quickest_ = std::min(quickest_, worked);
    said_.erase(0, whole);
    pending_.pop_front();
    // The child goes on to the next request as soon as it has answered.
    if (!pending_.empty()) deadline_ = deadline_from(now);
    settle_state();
    return outcome;
  }
  if (now >= deadline_) return ended(timed_out(pending_.front().what, options_.timeout_seconds));
  return std::nullopt;
}

std::optional<ChildOutcome> WarmWorker::reply(double wait_seconds) {
  if (!early_.empty()) {
    ChildOutcome outcome = std::move(early_.front());
    early_.pop_front();
    settle_state();
    return outcome;
  }
  if (pending_.empty()) return std::nullopt;
  const double until = seconds_now() + std::max(0.0, wait_seconds);
  // Asked to wait, the worker reads only once its channel has something (a
  // look before the wait would most often find nothing yet), and at the
  // request's deadline, so that a reply that came just before it counts.
  bool look = wait_seconds <= 0.0;
  while (true) {
    const bool open = !(look || seconds_now() >= deadline_) || read_some();
    const double now = seconds_now();
    if (std::optional<ChildOutcome> done = settle(now)) return done;
    if (!open) return ended({});
    if (now >= until) return std::nullopt;
    // Short slices, so that a signal that came just before the wait is seen soon.
    const double slice_ms = std::min({50.0, (deadline_ - now) * 1e3, (until - now) * 1e3});
    pollfd ready{channel_, POLLIN, 0};
    look = poll(&ready, 1, static_cast<int>(std::ceil(std::max(0.0, slice_ms)))) > 0;
  }
}

ChildOutcome WarmWorker::call(const std::string& request, const std::string& what) {
  if (std::string failed = send(request, what); !failed.empty()) return {false, std::move(failed)};
  while (true) {
    if (std::optional<ChildOutcome> done = reply(INFINITY)) return std::move(*done);
  }
}

// The longest the host sleeps through its workers' replies: a crash or an
// interruption is seen within it.
constexpr double largest_nap_ms = 20.0;

std::vector<std::pair<std::size_t, ChildOutcome>> wait_replies(const std::vector<WarmWorker*>& workers) {
  std::vector<std::pair<std::size_t, ChildOutcome>> done;
  // A worker is read from only when the last wait found something on its
  // channel, or when it has its outcome without a read: the wait itself
  // says which have replies, and a read of the others would find nothing.
  std::vector<bool> heard(workers.size(), false);
  std::vector<pollfd> watch;
  std::vector<std::size_t> watched;  // the worker of each watched channel
  while (true) {
    watch.clear();
    watched.clear();
    double next_deadline = INFINITY;
    const double now = seconds_now();
    for (std::size_t k = 0; k < workers.size(); ++k) {
      WarmWorker& w = *workers[k];
      if (w.state() != WarmWorker::State::busy) continue;
      if (heard[k] || w.answerable(now)) {
        if (std::optional<ChildOutcome> outcome = w.reply(0.0)) {
          done.emplace_back(k, std::move(*outcome));
          continue;
        }
      }
      if (w.channel_ >= 0) {
        watch.push_back({w.channel_, POLLIN, 0});
        watched.push_back(k);
        next_deadline = std::min(next_deadline, w.deadline_);
      }
    }
    if (!done.empty() || watch.empty()) return done;
    const double slice_ms = std::max(0.0, std::min(50.0, (next_deadline - seconds_now()) * 1e3));
    double alone = INFINITY;  // how long every busy worker goes on without the host
    for (const std::size_t k : watched) alone = std::min(alone, workers[k]->runs_alone_for());
    const double nap_ms = std::min({alone * 1e3, slice_ms, largest_nap_ms});
    if (nap_ms >= 0.1) {
      const timespec nap{0, static_cast<long>(nap_ms * 1e6)};
      nanosleep(&nap, nullptr);
    }
    const int ready = poll(watch.data(), watch.size(), nap_ms >= 0.1 ? 0 : static_cast<int>(std::ceil(slice_ms)));
    for (std::size_t j = 0; j < watch.size(); ++j) heard[watched[j]] = ready > 0 && watch[j].revents != 0;
  }
}

}  // namespace meridox::host
