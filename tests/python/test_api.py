import json
import math
import os
import subprocess
import sys
import threading
import time

import numpy
import pytest

import meridox


def read_table_file(path):
    """The numbers of a result table after its title or header line, read
    independently of the package."""
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")[1:]
    return [[float(v) for v in line.rstrip("\t").split("\t") if v != ""] for line in lines if line]


def test_tables_hold_exactly_the_values_the_files_hold(tmp_path):
    out = tmp_path / "projection"
    result = meridox.run("projection", params={"defocus": 0.25}, out=str(out), threshold=0.4)
    assert result.sheet["defocus"] == 0.25
    assert b"\t0.25\n" in (out / "IN_FM.txt").read_bytes().replace(b"\r", b"")
    for name in ("OUT_M.txt", "OUT_MR.txt", "OUT_MI.txt"):
        rows = read_table_file(out / name)
        table = result.tables[name]
        assert numpy.array_equal(table.x, rows[0])
        assert numpy.array_equal(table.y, [r[0] for r in rows[1:]])
        assert numpy.array_equal(table.values, [r[1:] for r in rows[1:]])
    image = result.tables["OUT_M.txt"]
    assert image.values.shape == (64, 64)
    assert image.columns == ["x (um)", "y (um)", "intensity (1 = clear field)"]
    [m] = result.metrics
    assert m["threshold"] == 0.4 and m["cd"] == m["edge_right"] - m["edge_left"] and 0 < m["cd"] < 1
    # The peak of the measured line (its share of the cut runs to the middle
    # of the spaces beside it, 0.48 um either side), between its samples.
    line = image.values[list(image.y).index(0.0)][abs(image.x) <= 0.48]
    assert line.max() <= m["peak"] < line.max() + 0.01 and m["feature"] == "printed"

    stage = meridox.run("stage", out=str(tmp_path / "stage"))
    rows = read_table_file(tmp_path / "stage" / "OUT_M.txt")
    table = stage.tables["OUT_M.txt"]
    assert table.columns == ["time (s)", "stage displacement (mm)", "control current (A)", "stage velocity (mm/s)"]
    assert numpy.array_equal(table.data, rows)
    # The metrics cover every step, as the command's summary, however few rows are printed.
    every = meridox.run("stage", params={"print_interval": 1})
    assert repr(every.metrics) == repr(stage.metrics)  # nan included
    assert every.tables["OUT_M.txt"].data.shape == (2001, 4)
    assert stage.metrics[0]["final_error"] == rows[-1][1]
    assert stage.metrics[0]["peak_current"] == max(every.tables["OUT_M.txt"]["control current (A)"], key=abs)

    plate = meridox.run("plate").tables["OUT_M.txt"]
    assert plate.columns[:2] == ["radius r (mm)", "deflection w (mm)"] and plate.data.shape[1] == 7
    assert math.isnan(plate.data[-1, 6])  # the last row has no pitch error


def test_sheets_by_name(tmp_path):
    assert [c.alias for c in meridox.calculators()] == \
        ["projection", "proximity", "plate", "nut-stage", "stage", "stage-base"]
    sheet = meridox.Sheet.example("projection")
    rectangles = sheet.rectangles
    assert rectangles.shape == (4, 6) and list(rectangles[0]) == [1, 0, -15, -9, -16, 16]
    sheet.rectangles = numpy.array([[1, 0, -2, 2, -30, 30], [0.5, 0.25, 5, 9, -30, 30]])
    sheet["NA"] = 0.55
    sheet["grid_size"] = 32
    path = tmp_path / "mask.txt"
    sheet.write(str(path))
    again = meridox.Sheet.read(str(path))
    assert again.calculator == "orvalis"
    assert (again["NA"], again["grid_size"], again["rect_count"]) == (0.55, 32, 2)
    assert numpy.array_equal(again.rectangles, [[1, 0, -2, 2, -30, 30], [0.5, 0.25, 5, 9, -30, 30]])
    image = meridox.run("projection", again).tables["OUT_M.txt"]
    assert image.values.shape == (32, 32)

    assert meridox.check("stage") == []
    stage = meridox.Sheet.example("stage")
    stage["stage_mass"] = "2 kg"
    warnings = meridox.check("stage", stage)
    assert ("trailing-text", "stage_mass") in [(code, cell) for code, cell, _ in warnings]
    assert stage["stage_mass"] == 2.0


def test_unknown_names_and_crashes_raise(fake_libraries):
    with pytest.raises(ValueError, match="lens"):
        meridox.run("lens")
    with pytest.raises(ValueError, match="focus"):
        meridox.run("projection", params={"focus": 1})
    with pytest.raises(ValueError, match="rect_x1\\[1000\\]"):
        meridox.Sheet.example("projection")["rect_x1[1000]"]
    with pytest.raises(ValueError, match="gain"):
        meridox.study("stage", {"gain": [1, 2]})
    with pytest.raises(ValueError, match="treshold"):
        meridox.run("projection", treshold=0.3)

    with pytest.raises(meridox.CalculatorError, match="signal 6"):
        meridox.run("plate")
    with pytest.raises(meridox.CalculatorError, match="still running after 0.5 s"):
        meridox.run("stage", params={"offset_switch": 8}, timeout=0.5)
    # One case at a time: a child forked while another case starts inherits that case's report pipe,
    # so with two at once the sound case could wait for the hanging one.
    study = meridox.study("stage", {"offset_switch": [0, 8]}, params={"print_interval": 1, "step_count": 9},
                          timeout=0.5, jobs=1)
    assert study.rows[0]["status"] == "ok", study.rows[0]["status"]
    assert "still running" in study.rows[1]["status"] and math.isnan(study.rows[1]["final_error"])


def test_library_folder_and_install(tmp_path, monkeypatch):
    monkeypatch.setenv("MERIDOX_LIB_DIR", str(tmp_path))
    with pytest.raises(FileNotFoundError, match="libdrovik2.so"):
        meridox.run("stage")
    monkeypatch.delenv("MERIDOX_LIB_DIR")
    build = os.environ["MERIDOX_BUILD_DIR"]
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", str(prefix), "--component", "python"],
                   check=True, capture_output=True)
    package = next(prefix.rglob("meridox/__init__.py")).parent
    assert (package / "libdrovik2.so").is_file()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MERIDOX_LIB_DIR")}
    env["PYTHONPATH"] = str(package.parent)
    code = ("import meridox; print(meridox.library_folder()); print(meridox.run('stage').metrics[0]['final_error']); "
            "print(len(meridox.study('stage', {'position_gain': [50, 60]})))")
    shown = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, check=True,
                           capture_output=True, text=True).stdout.split()
    assert shown == [str(package), repr(meridox.run("stage").metrics[0]["final_error"]), "2"]


def process_children(pid):
    """(pid, command name) of every process whose parent is `pid`."""
    children = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
        if int(rest[1]) == pid:
            children.append((int(entry), name))
    return children


def hanging_stage_run(timeout):
    """Starts, in a thread, a run of the stand-in stage that waits for ever
    (offset_switch 8); returns the thread and the list that gets the error
    message the run raises."""
    failure = []

    def run():
        try:
            meridox.run("stage", params={"offset_switch": 8}, timeout=timeout)
        except meridox.CalculatorError as e:
            failure.append(str(e))
    thread = threading.Thread(target=run)
    thread.start()
    return thread, failure


def test_run_forks_no_interpreter(fake_libraries):
    # The stand-in stage waits for ever: while it does, the process that runs it is a child
    # of the case runner, and this interpreter's only child is the runner.
    thread, failure = hanging_stage_run(timeout=3)
    seen, deadline = set(), time.monotonic() + 3
    calculator_child = False
    while not calculator_child and time.monotonic() < deadline:
        for pid, name in process_children(os.getpid()):
            seen.add(name)
            calculator_child = calculator_child or bool(process_children(pid))
        time.sleep(0.01)
    thread.join()
    assert calculator_child and seen == {"meridox-cases"}, seen
    assert failure and "still running after 3 s" in failure[0]


def test_units_and_files_as_the_host_has_them(tmp_path):
    # A unit the spreadsheet wrote in Shift-JIS reads as the host reads it, in the sheet,
    # the tables' column names and study.json alike.
    micron = "ミクロン"
    sheet = meridox.Sheet("projection", meridox.Sheet.example("projection").data.replace(
        b"sample pitch\tum\t", b"sample pitch\t" + micron.encode("cp932") + b"\t"))
    sheet["grid_size"] = 32
    assert (sheet.unit("pitch"), sheet.unit("NA"), sheet.unit("wavelength")) == (micron, "", "um")
    # A rectangle's row holds its values, not a unit: a projection mask's edges are in grid
    # samples, whatever the sheet's length unit.
    assert (sheet.unit("rect_x1[0]"), sheet.unit("rect_t_re[1]")) == ("samples", "")
    assert meridox.run("projection", sheet).tables["OUT_M.txt"].columns[:2] == [f"x ({micron})", f"y ({micron})"]
    meridox.study("projection", {"pitch": [0.08], "rect_y2[0]": [16]}, sheet=sheet, out=str(tmp_path / "study"))
    units = json.loads((tmp_path / "study" / "study.json").read_text(encoding="utf-8"))["units"]
    assert units["pitch"] == micron and units["cd"] == micron and units["rect_y2[0]"] == "samples"
    # Compound units take the sheet's words in each part.
    plate = meridox.run("plate").tables["OUT_M.txt"]
    assert plate.columns[3] == "curvature w'' (1/mm)" and plate.columns[4] == "radial moment Mr (N/mm^2 mm^2/mm)"

    # A file written for the user replaces what is at its path, a link included, and never
    # writes through the link into the file it points at.
    target = tmp_path / "elsewhere.txt"
    target.write_bytes(b"kept")
    for write in (sheet.write, meridox.study("stage", {"position_gain": [50]}).to_csv):
        link = tmp_path / "link"
        link.symlink_to(target)
        write(str(link))
        assert not link.is_symlink() and link.read_bytes()[:4] != b"kept" and target.read_bytes() == b"kept"
        link.unlink()
    with pytest.raises(OSError, match="no-such-folder"):
        sheet.write(str(tmp_path / "no-such-folder" / "sheet.txt"))
