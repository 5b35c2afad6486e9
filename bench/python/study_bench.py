"""A 1,000-case stage study (the example sheet, position gain varied) from
Python next to the same study by `meridox study -j 2`, run alternately, each
into a fresh folder; prints each time and the ratio of the medians.
Target: Python takes at most 1.2 times the command's time. Run:
  PYTHONPATH=build/release/python /usr/bin/python3 bench/python/study_bench.py build/release/host/meridox
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import meridox

CASES, JOBS, ROUNDS = 1000, 2, 5


def main():
    command = sys.argv[1]
    values = [40 + 80 * k / (CASES - 1) for k in range(CASES)]
    py_times, command_times = [], []
    with tempfile.TemporaryDirectory() as scratch:
        for n in range(ROUNDS):
            out = os.path.join(scratch, f"command{n}")
            start = time.perf_counter()
            subprocess.run([command, "study", "stage", "--vary", f"position_gain=40:120:{CASES}", "-j", str(JOBS),
                            "--no-pictures", "--out", out], check=True, stdout=subprocess.DEVNULL)
            command_times.append(time.perf_counter() - start)
            start = time.perf_counter()
            study = meridox.study("stage", {"position_gain": values}, jobs=JOBS, out=os.path.join(scratch, f"py{n}"))
            py_times.append(time.perf_counter() - start)
            assert len(study) == CASES
            with open(os.path.join(out, "study.csv"), "rb") as a, open(os.path.join(scratch, f"py{n}", "study.csv"), "rb") as b:
                assert a.read() == b.read(), "the two studies differ"
    show = lambda ts: ", ".join(f"{t:.2f}" for t in ts)  # noqa: E731
    print(f"meridox study -j {JOBS}: {show(command_times)} s (median {statistics.median(command_times):.2f})")
    print(f"meridox.study jobs={JOBS}: {show(py_times)} s (median {statistics.median(py_times):.2f})")
    print(f"ratio Python / command: {statistics.median(py_times) / statistics.median(command_times):.3f} (target <= 1.2)")


if __name__ == "__main__":
    main()
