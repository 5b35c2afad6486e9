#pragma once
// Work done in a child process: a calculator's entry, which may crash, end
// the process or run for ever, and the plotting library, which ends the
// process on its own errors. The child ends with the host, and the host
// learns in one line what went wrong.
#include <functional>
#include <string>

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
