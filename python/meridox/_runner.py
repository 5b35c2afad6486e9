"""Single runs in a case runner that stays: one meridox-cases process per
calculator and library folder, started on the first run and kept for the
next ones, so that a run costs the calculator's own time and not a
process's start and a library's load.

The runner's runs go to a child that stays warm, forked from a process that
loaded the library and never called it; a calculator that keeps state from
call to call (plate, the stages) has the library's memory put back as
loaded before each call, so every run starts as a fresh one would. A
calculator that crashes, ends its process or runs past its timeout ends
that child only (the next run starts a new one), and the runner answers
with the reason. A runner that
ends itself (or a run that Python gives up on part way) is replaced on the
next run. The runner ends when this process ends, whichever thread
started it; at exit its input is closed and it goes at once.
"""

from __future__ import annotations

import atexit
import os
import subprocess
import threading

from . import _core

_RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "meridox-cases")


class RunnerGone(RuntimeError):
    """The runner ended before it answered."""


class _Runner:
    """One meridox-cases process serving single runs, a request at a time."""

    def __init__(self, calculator, library):
        # A session of its own: Ctrl-C at the terminal interrupts Python,
        # which then ends the runner (and the run) itself.
        self.process = subprocess.Popen([_RUNNER, str(os.getpid()), "serve", calculator, library],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)

    def send(self, folder, spec):
        """Starts the run of `spec`'s sheet in `folder`."""
        number = _core.number_text
        options = [number(spec["timeout"]), " ".join(number(t) for t in spec["thresholds"]), number(spec["cut_y"]),
                   number(spec["cut_x"]), "1" if spec["dark"] else "0",
                   "" if spec["band"] is None else number(spec["band"])]
        path = os.fsencode(folder)
        head = f"{len(path)} {len(spec['sheet'])}\n{chr(9).join(options)}\n".encode("utf-8")
        try:
            self.process.stdin.write(head + path + spec["sheet"])
            self.process.stdin.flush()
        except (BrokenPipeError, OSError) as e:
            raise RunnerGone(f"the case runner ended ({e})") from None

    def _line(self):
        line = self.process.stdout.readline()
        if not line.endswith(b"\n"):
            raise RunnerGone(f"the case runner ended with status {self.process.wait()} before it answered")
        return line

    def _bytes(self, count):
        data = self.process.stdout.read(count)
        if len(data) != count:
            raise RunnerGone(f"the case runner ended with status {self.process.wait()} before it answered")
        return data

    def answer(self):
        """The run's status, metric rows and the sheet's warnings as check()
        gives them: (code, cell name or None, message)."""
        _, status, metrics, _ = self._line().decode("utf-8", "replace").rstrip("\n").split("\t")
        rows = [[float(v) for v in row.split(" ")] for row in metrics.split(";")]
        warnings = []
        for _ in range(int(self._line())):
            sizes = [int(n) for n in self._line().split()]
            code, cell, message = (self._bytes(n).decode("utf-8") for n in sizes)
            warnings.append((code, cell or None, message))
        return status, rows, warnings

    def close(self, busy=False):
        """Ends the runner: its input closed, and when it is `busy` with a
        run (or still there after a second), terminated, which ends the
        run's child too."""
        try:
            self.process.stdin.close()
        except OSError:
            pass
        if busy:
            self.process.terminate()
        try:
            self.process.wait(timeout=1)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait()
        self.process.stdout.close()


# (calculator, library folder) to its runner and the lock that makes one
# thread at a time use it; a process forked from this one starts its own.
_runners: dict = {}
_lock = threading.Lock()


def _forget_after_fork():
    """In a child forked from this process: the parent's runners are not its
    own, and their pipes are closed here, so that a runner sees its input
    close when the parent ends, whatever the child does."""
    global _runners, _lock
    for _, runner in _runners.values():
        if runner is not None:
            for pipe in (runner.process.stdin, runner.process.stdout):
                try:
                    os.close(pipe.fileno())
                except (OSError, ValueError):
                    pass
    _runners, _lock = {}, threading.Lock()


os.register_at_fork(after_in_child=_forget_after_fork)


def _slot(calculator, library):
    with _lock:
        return _runners.setdefault((calculator, library), [threading.Lock(), None])


def _build_of(path):
    """What tells one build of a library file from the next."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns


def run_once(spec, library, library_file, folder):
    """Runs `spec`'s sheet once in `folder` (which must not exist yet) with
    the library `library_file` in the folder `library`; returns its status,
    metric rows and the sheet's warnings (none when the run failed). A
    library rebuilt since the runner loaded it gets a new runner."""
    slot = _slot(spec["calculator"], library)
    with slot[0]:
        runner = slot[1]
        build = _build_of(os.path.join(library, library_file))
        if runner is not None and (runner.process.poll() is not None or runner.build != build):
            slot[1] = None
            runner.close()
            runner = None
        if runner is None:
            runner = slot[1] = _Runner(spec["calculator"], library)
            runner.build = build
        done = False
        try:
            runner.send(folder, spec)
            answer = runner.answer()
            done = True
            return answer
        finally:
            if not done:  # interrupted, or the runner is gone: replaced on the next run
                slot[1] = None
                runner.close(busy=True)


@atexit.register
def _close_all():
    with _lock:
        slots = list(_runners.values())
        _runners.clear()
    for slot in slots:
        if slot[1] is not None:
            slot[1].close()
