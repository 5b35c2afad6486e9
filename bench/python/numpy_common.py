"""What the numpy versions of the optics runs share: reading the parameter
sheet, timing a run, saying which BLAS runs the matrix products.

Each version is written as a numpy user would write it (matrix products and
FFTs, no loops over samples). It prints "numpy_seconds <best>" and writes the
intensity map, lines along y as in the calculators' tables, to the file named
on its command line.
"""
import ctypes
import sys
import time

try:
    import numpy as np
except ImportError as error:  # the benchmark then reports the side as skipped
    print(f"numpy is not available: {error}", file=sys.stderr)
    sys.exit(3)

PI = 3.14159265358979


def read_sheet(path, last_row):
    """The sheet's cells as rows of TAB-separated texts (CR dropped). Lines
    past last_row are written over it, field by field, as the calculators'
    reader does, so that both sides see the same rectangles."""
    with open(path, "rb") as f:
        text = f.read().replace(b"\r", b"").decode("latin-1")
    rows = [line.split("\t") for line in text.split("\n")]
    if text.endswith("\n"):
        rows.pop()
    for line in rows[last_row + 1:]:
        rows[last_row][:len(line)] = line
    return rows[:last_row + 1]


def cell(rows, column, row):
    try:
        text = rows[row][column].strip()
    except IndexError:
        return ""
    return text


def number(rows, column, row):
    try:
        return float(cell(rows, column, row))
    except ValueError:
        return 0.0


def integer(rows, column, row):
    try:
        return int(float(cell(rows, column, row)))
    except ValueError:
        return 0


def blas_description():
    """The OpenBLAS core and thread count numpy's BLAS runs with, if it is OpenBLAS."""
    for name in ("libblas.so.3", "libopenblas.so.0"):
        try:
            blas = ctypes.CDLL(name)
            blas.openblas_get_corename.restype = ctypes.c_char_p
            return "OpenBLAS %s, %d threads" % (
                blas.openblas_get_corename().decode(), blas.openblas_get_num_threads())
        except (OSError, AttributeError):
            continue
    return "not OpenBLAS (reference BLAS?)"


def best_time(run, repeats):
    """The fastest of `repeats` runs (after one warm-up) and the last result."""
    result = run()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main(run_sheet, last_row):
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} SHEET OUT_MAP [repeats]", file=sys.stderr)
        sys.exit(2)
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    rows = read_sheet(sys.argv[1], last_row)
    seconds, intensity_map = best_time(lambda: run_sheet(rows), repeats)
    np.savetxt(sys.argv[2], intensity_map, fmt="%.9e", delimiter="\t")
    print(f"numpy {np.__version__}, BLAS: {blas_description()}")
    print(f"numpy_seconds {seconds:.6f}")
