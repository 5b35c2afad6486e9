"""meridox.run() in a loop next to one warm call of the calculator's entry,
for the projection and the stage example sheets; prints the per-call times
(medians), their difference and their ratio.

The entry is loaded from the built library with ctypes and called in this
process on the example sheet, after a first call that warms it (a stage
carries its state from call to call, which does not change its time). The
runs go through meridox.run() with its default options, after a first run
that starts the case runner. The two are timed in alternating rounds, so
that other work on the machine weighs on both alike.
Target: run() within 3 ms of the warm entry call. Run:
  PYTHONPATH=build/release/python /usr/bin/python3 bench/python/run_bench.py
"""
import ctypes
import os
import statistics
import sys
import tempfile
import time

import meridox

ROUNDS, CALLS = 15, 10


def entry_of(calc):
    c = meridox._calculator(calc)
    library = ctypes.CDLL(os.path.join(meridox.library_folder(), meridox._facts(c)["library_file"]))
    return getattr(library, c.entry)


def per_call(action, calls):
    start = time.perf_counter()
    for _ in range(calls):
        action()
    return (time.perf_counter() - start) / calls


def main():
    print(f"processor: {processor()}; load average {os.getloadavg()[0]:.2f} at the start")
    for calc in ("projection", "stage"):
        entry = entry_of(calc)
        with tempfile.TemporaryDirectory() as folder:
            meridox.Sheet.example(calc).write(os.path.join(folder, "IN_FM.txt"))
            os.environ["MERIDOXWORK"] = folder + "/"
            start = time.perf_counter()
            entry()
            first_entry = time.perf_counter() - start
            start = time.perf_counter()
            meridox.run(calc)
            first_run = time.perf_counter() - start
            entry_times, run_times = [], []
            for _ in range(ROUNDS):
                entry_times.append(per_call(entry, CALLS))
                run_times.append(per_call(lambda: meridox.run(calc), CALLS))
        print(f"{calc}: first entry call {first_entry * 1e3:.2f} ms, first run() {first_run * 1e3:.2f} ms")
        for how, pick in (("median", statistics.median), ("best", min)):
            e, r = pick(entry_times) * 1e3, pick(run_times) * 1e3
            print(f"{calc}: warm entry call {e:.2f} ms, run() {r:.2f} ms per call ({how} of {ROUNDS} rounds of "
                  f"{CALLS}); run() - entry {r - e:.2f} ms (target <= 3), ratio {r / e:.2f}")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


def processor():
    try:
        with open("/proc/cpuinfo") as f:
            names = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        return f"{names[0]}, {len(names)} cores" if names else "unknown"
    except OSError:
        return "unknown"


if __name__ == "__main__":
    sys.exit(main())
