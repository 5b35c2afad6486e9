#pragma once
// Work done in a child process: a calculator's entry, which may crash, end
// the process or run for ever, and the plotting library, which ends the
// process on its own errors. The child ends with the host, and the host
// learns in one line what went wrong.
#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace meridox::host {

struct ChildOptions {
  double timeout_seconds = 0.0;  // 0: wait as long as it takes
  bool quiet = false;            // send the child's standard error to /dev/null
};

// Runs `work` in a child process and waits for it. `work` returns an empty
// string on success or why it failed. Returns an empty string when the child
// ran `work` to its end with success, otherwise one line saying what
// happened (`what` names the work in it).
std::string run_in_child(const std::function<std::string()>& work, const std::string& what,
                         const ChildOptions& options = {});

// What work in a child hands back: whether it succeeded, and what it
// returns (on success) or why it failed (one line).
struct ChildWork {
  bool ok = true;
  std::string text;
};

// What became of a child: `ok` when it ran its work to the end with
// success, `text` then what the work returned, else one line saying what
// happened (the work's own reason, a signal, a timeout, an interruption).
struct ChildOutcome {
  bool ok = false;
  std::string text;
};

// Children started and waited for from one thread, several at once (the
// cases of a study). Each child ends with the host; a child past its
// timeout is ended; when the host is asked to end, every child is ended and
// reported. Children still running when the group goes are ended.
class ChildGroup {
 public:
  explicit ChildGroup(ChildOptions options = {});
  ~ChildGroup();
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Starts `work` in a child known by `tag`; empty, or why it could not start.
  // When the host has no descriptor or process to spare for another child,
  // it first waits for one of its children to end (wait_any returns it).
  std::string start(std::size_t tag, const std::function<ChildWork()>& work, const std::string& what);
  // Children started and not yet returned by wait_any.
  std::size_t running() const { return children_.size() + ended_.size(); }
  // Waits until one child or more have ended and returns them with their
  // tags; nothing when none runs.
  std::vector<std::pair<std::size_t, ChildOutcome>> wait_any();

 private:
  struct Child {
    // reporting: its report pipe is open and read as it comes; reported:
    // the child has closed it (it has ended or is about to), and its end is
    // waited for.
    enum class State { reporting, reported };
    std::size_t tag;
    pid_t pid;
    State state;
    int report;  // read end of the child's report pipe while reporting
    int exited;  // readable once the child has ended; -1 when the system has none
    double deadline;
    std::string what;
    std::string said;  // the whole report, however long
  };
  void drain(Child& c);
  ChildOutcome outcome(const Child& c, int status) const;
  std::vector<std::pair<std::size_t, ChildOutcome>> wait_running();
  bool at_descriptor_limit();

  ChildOptions options_;
  std::vector<Child> children_;
  // Children that ended while start() waited for room, not yet returned.
  std::vector<std::pair<std::size_t, ChildOutcome>> ended_;
  std::size_t descriptor_room_ = 0;  // children the descriptor limit allows; 0 until worked out
};

// A child that stays alive and answers requests one at a time, for work
// whose every request starts from the same state (an optics calculator's
// entry, which recomputes everything at each call): the cost of a fresh
// process and of a library touched cold is paid once, not per request.
//
// The child is forked from the host when a request comes and none lives: at
// the first request, and after a request ended the child (a crash, an end of
// the process, a deadline), so that the next request starts in a child as
// fresh as the first. Each request has its own deadline (the options'
// timeout, 0 for none); what went wrong comes back in one line, worded as a
// ChildGroup's child would say it. Signals that would end the host only take
// note while a request is worked on (as while a ChildGroup's child runs):
// the request then ends its child and says so. Used from one thread; the
// child ends with the host and when the worker goes.
class WarmWorker {
 public:
  // What the child does with a request: {true, reply} or {false, why}.
  using Serve = std::function<ChildWork(const std::string& request)>;
  // stopped: no child lives (none started yet, or its last request ended
  // it); ready: a child waits for a request; busy: a child works on one,
  // and may have more waiting behind it.
  enum class State { stopped, ready, busy };

  // `queue`: how many requests the worker takes at once. With more than one,
  // the next request waits in the child's channel while the one before is
  // worked on, so that the child goes on to it without waiting for the host.
  explicit WarmWorker(Serve serve, ChildOptions options = {}, std::size_t queue = 1);
  ~WarmWorker();
  WarmWorker(const WarmWorker&) = delete;
  WarmWorker& operator=(const WarmWorker&) = delete;

  State state() const { return state_; }
  // Whether another request can be sent now.
  bool has_room() const { return pending_.size() < queue_; }
  // The live child's process id; -1 when stopped.
  pid_t pid() const { return pid_; }

  // Hands `request` to the child (forking one first when stopped); `what`
  // names the request in what may go wrong. Empty, or why it could not be
  // sent (the worker is then stopped, and requests already waiting go to a
  // new child). Only when the worker has room.
  std::string send(const std::string& request, const std::string& what);
  // While busy: the outcome of the oldest request once its reply has come or
  // it ended the child (then the requests waiting behind it go to a new
  // child, each with its own deadline again, since none of them had begun);
  // nothing while it is still worked on after waiting up to `wait_seconds`.
  // Outcomes come in the order the requests were sent.
  std::optional<ChildOutcome> reply(double wait_seconds);
  // Whether the last send failed for want of a descriptor or a process:
  // the host may wait for another child to end and send again.
  bool out_of_room() const { return out_of_room_; }
  // send, then wait for the reply.
  ChildOutcome call(const std::string& request, const std::string& what);
  // Ends the child, if one lives.
  void stop();

 private:
  friend std::vector<std::pair<std::size_t, ChildOutcome>> wait_replies(const std::vector<WarmWorker*>& workers);
  struct Pending {
    std::string what;
    std::string message;  // as sent: its name and the request, each with its size
  };
  bool read_some();  // false at the end of the child's replies
  bool answerable(double now) const;
  void become(State state);
  std::optional<ChildOutcome> settle(double now);
  ChildOutcome ended(const std::string& why_if_alive);
  std::string start_child();
  void end_child();
  void settle_state();
  double deadline_from(double now) const;
  double runs_alone_for() const;

  Serve serve_;
  ChildOptions options_;
  std::size_t queue_ = 1;
  State state_ = State::stopped;
  pid_t pid_ = -1;
  int channel_ = -1;  // the host's end of the child's socket
  double deadline_ = 0.0;  // of the oldest request
  std::deque<Pending> pending_;  // sent, not answered; the oldest is worked on
  std::deque<ChildOutcome> early_;  // outcomes known before their turn to be returned
  std::string said_;  // the replies so far
  bool out_of_room_ = false;
  // The shortest time a child of this worker has worked on a request, as
  // it said in its reply; inf before the first.
  double quickest_ = INFINITY;
};

// Waits until one or more of the busy workers among `workers` has its
// outcome; returns them by index in `workers`. Nothing when none is busy.
// While every busy worker has requests enough queued to go on alone for a
// while, the wait sleeps through part of that while and then takes all the
// replies that came, instead of waking for each: a study of short cases
// would otherwise spend a wake-up of the host per case.
std::vector<std::pair<std::size_t, ChildOutcome>> wait_replies(const std::vector<WarmWorker*>& workers);

// While one lives, the signals that would end the host (interrupt,
// terminate, hang-up) only take note, as while a child runs: a host that
// runs many children (a study) keeps the note between them, stops starting
// new ones and tidies up before it ends.
class InterruptNote {
 public:
  InterruptNote();
  ~InterruptNote();
  InterruptNote(const InterruptNote&) = delete;
  InterruptNote& operator=(const InterruptNote&) = delete;
};

// The signal (interrupt, terminate, hang-up) that asked the host to end
// while a child ran; 0 when none did. The child was ended then.
int interrupted();
// Forgets that signal, for a host that goes on after it (an interactive
// session that was interrupted in one call and makes the next).
void clear_interrupted();
// Ends the host the way that signal asked, once it has tidied up; returns
// when no such signal came.
void end_if_interrupted();

// From inside the child: says why the work failed and ends the child at once.
[[noreturn]] void fail_child(const char* why);

}  // namespace meridox::host
