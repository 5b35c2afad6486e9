"""run() through the case runner that stays between runs: the same bytes as
the command's run, however many runs came before; a crash, a hang or a lost
runner costs one run only; no runner outlives its interpreter."""
import gc
import os
import pickle
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest

import meridox
from test_api import hanging_stage_run, process_children


def command_run(tmp_path, calc, settings, lib_dir=None):
    """The files, summary and warning lines of `meridox run` with NAME=VALUE settings."""
    out = tmp_path / f"command-{calc}-{len(list(tmp_path.iterdir()))}"
    args = [os.environ["MERIDOX_EXE"], "run", calc, "--no-pictures", "--out", str(out)]
    args += [f"--set={name}={value}" for name, value in settings.items()]
    args += ["--lib-dir", lib_dir] if lib_dir else []
    done = subprocess.run(args, capture_output=True, check=True)
    files = {name: (out / name).read_bytes() for name in os.listdir(out)}
    lines = done.stdout.decode("utf-8").splitlines(keepends=True)
    summary = "".join(lines[[k for k, line in enumerate(lines) if line.startswith("output folder:")][0] + 1:])
    warnings = [line for line in done.stderr.decode("utf-8").splitlines() if line.startswith("warning")]
    return files, summary, warnings


def run_files(result):
    return {name: open(os.path.join(result.folder, name), "rb").read()
            for name in ["IN_FM.txt", *result.tables]}


def runners(library=""):
    """This interpreter's case runners (of the library named, when given)."""
    def serves(pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                return f" serve {library}".encode() in f.read().replace(b"\0", b" ")
        except OSError:  # gone meanwhile
            return False
    return [pid for pid, name in process_children(os.getpid()) if name == "meridox-cases" and serves(pid)]


def test_runs_in_a_row_give_the_command_bytes(tmp_path):
    # Back and forth between two sheets, each calculator in turn: a run that kept anything of the
    # one before (a warm optics entry, a stage's state) would differ from the command's fresh run.
    # A stage run twice on the same sheet must give the same bytes both times.
    plan = [("projection", {"defocus": 0.3}), ("proximity", {"gap": 20}), ("projection", {"defocus": 0}),
            ("stage", {"position_gain": 70}), ("stage", {"position_gain": 70}), ("projection", {"defocus": 0.3}),
            ("plate", {"load": 2}), ("proximity", {"gap": 30})]
    expected, before = {}, set(runners())
    for calc, settings in plan:
        key = (calc, tuple(settings.items()))
        if key not in expected:
            expected[key] = command_run(tmp_path, calc, settings)
        files, summary, warning_lines = expected[key]
        result = meridox.run(calc, params=settings)
        assert run_files(result) == files, (calc, settings)
        assert result.summary == summary
        assert [f"warning [{code}]: {message}" for code, _, message in result.warnings] == warning_lines
        # The metrics as a study's case computes them in a fresh child of a fresh runner.
        row = meridox.study(calc, {name: [value] for name, value in settings.items()}).rows[0]
        assert repr(result.metrics[0]) == repr({k: row[k] for k in result.metrics[0]})  # nan too
    kept = set(runners())

    # Tables read when first asked for, after their Result has gone, and sent to another process,
    # are those of a run into a folder of the user's (read at once).
    tables = meridox.run("projection", params={"defocus": 0.3}).tables
    gc.collect()
    kept_run = meridox.run("projection", params={"defocus": 0.3}, out=tmp_path / "kept").tables
    for name in ("OUT_M.txt", "OUT_MI.txt"):
        assert numpy.array_equal(pickle.loads(pickle.dumps(tables))[name].values, kept_run[name].values)
    assert len(kept - before) <= 4  # one per calculator, kept for the next runs

    # Two threads at once, each with its own sheet, many times: no run gets the other's results.
    sheets = {d: run_files(meridox.run("projection", params={"defocus": d})) for d in (0.0, 0.3)}
    mixed = []

    def loop(defocus):
        for _ in range(15):
            if run_files(meridox.run("projection", params={"defocus": defocus})) != sheets[defocus]:
                mixed.append(defocus)
    threads = [threading.Thread(target=loop, args=(d,)) for d in sheets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not mixed and set(runners()) == kept


def test_a_failure_costs_one_run(fake_libraries, tmp_path):
    # The stand-in projection aborts for a defocus of 9, the plate always; the stage hangs for
    # an offset switch of 8. Each raises with its one-line reason and the next run is sound.
    good = command_run(tmp_path, "projection", {"grid_size": 8}, fake_libraries)[0]
    stage = {"print_interval": 1, "step_count": 9}
    good_stage = command_run(tmp_path, "stage", stage, fake_libraries)[0]
    for failing, reason in [(dict(calc="projection", params={"grid_size": 8, "defocus": 9}), "signal 6"),
                            (dict(calc="plate"), "signal 6"),
                            (dict(calc="stage", params={"offset_switch": 8}, timeout=0.5),
                             "still running after 0.5 s")]:
        with pytest.raises(meridox.CalculatorError, match=reason):
            meridox.run(**failing)
        assert run_files(meridox.run("projection", params={"grid_size": 8})) == good
        assert run_files(meridox.run("stage", params=stage)) == good_stage

    # A runner ended from outside, between runs or during one: that run raises, the next works.
    for pid in runners():
        os.kill(pid, signal.SIGKILL)
        while alive(pid):
            time.sleep(0.01)
    assert run_files(meridox.run("projection", params={"grid_size": 8})) == good
    thread, failure = hanging_stage_run(timeout=30)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not any(process_children(p) for p in runners("drovik2")):
        time.sleep(0.01)
    for pid in runners("drovik2"):
        os.kill(pid, signal.SIGKILL)
    thread.join(timeout=10)
    assert failure and failure[0].startswith("drovik2: the case runner ended"), failure
    assert run_files(meridox.run("stage", params=stage)) == good_stage

    # A library rebuilt between two runs: the second run is the new build's.
    own = tmp_path / "lib"
    own.mkdir()
    shutil.copy(os.path.join(fake_libraries, "libdrovik2.so"), own / "libdrovik2.so")
    os.environ["MERIDOX_LIB_DIR"] = str(own)  # the fixture puts it back
    assert run_files(meridox.run("stage", params=stage)) == good_stage
    shutil.copy(os.path.join(os.environ["MERIDOX_BUILD_DIR"], "lib", "libdrovik2.so"), own / "new.so")
    os.replace(own / "new.so", own / "libdrovik2.so")
    assert run_files(meridox.run("stage", params=stage)) == command_run(tmp_path, "stage", stage, str(own))[0]


def alive(pid):
    """Whether the process has not ended yet: a killed runner's main thread
    shows as a zombie while its other threads still end, and only once they
    have can its parent collect it."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().split(")")[-1].split()[0] != "Z":
                return True
        return len(os.listdir(f"/proc/{pid}/task")) > 1
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("ending", ["exit", "kill", "fork"])
def test_no_runner_outlives_its_interpreter(fake_libraries, ending):
    # The runners are started from a thread that has ended by the time the interpreter does (a
    # runner tied to its starting thread would be gone before the second run); then the
    # interpreter exits, or is killed while a stage run hangs in its runner's child, or exits while
    # a process it forked (which holds what the interpreter held) lives on.
    code = """if True:
        import os, sys, threading, time, meridox
        t = threading.Thread(target=lambda: meridox.run("projection", params={"grid_size": 8}))
        t.start(); t.join()
        meridox.run("projection", params={"grid_size": 8})
        if sys.argv[1] == "kill":
            threading.Thread(target=meridox.run, args=("stage",), kwargs={"params": {"offset_switch": 8}}).start()
        if sys.argv[1] == "fork" and os.fork() == 0:
            time.sleep(8)
            os._exit(0)
        print(os.getpid(), flush=True)
        sys.stdin.readline()
    """
    python = subprocess.Popen([sys.executable, "-c", code, ending], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    try:
        pid = int(python.stdout.readline())
        # The projection's runner keeps its calculator warm in a child; the stage's runs in one.
        count, deadline = 2 if ending == "kill" else 1, time.monotonic() + 10
        while time.monotonic() < deadline:
            started = [(p, name) for p, name in process_children(pid) if name != "python3"]  # not the fork
            family = [p for p, _ in started] + [child for p, _ in started for child, _ in process_children(p)]
            if len(family) == 2 * count:
                break
            time.sleep(0.02)
        assert [name for _, name in started] == ["meridox-cases"] * count
    finally:
        if ending == "kill":
            python.kill()
        else:
            python.stdin.close()
        python.wait(timeout=10)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and any(alive(p) for p in family):
        time.sleep(0.02)
    assert len(family) == 2 * count and not any(alive(p) for p in family)
