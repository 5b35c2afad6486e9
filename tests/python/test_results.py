"""The package's own logic around the host: tables as numpy and matplotlib
take them, the threshold argument and the shape of metrics, study frames and
datasets with their units, what Jupyter shows, and the package's version."""
import base64
import html
import json
import os
import re
import subprocess
import warnings

import numpy
import pytest

import meridox

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.backend_bases  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402


def value_drawn_at(image, x, y):
    """The value an imshow image shows at data point (x, y), as the cursor
    reads it."""
    px, py = image.axes.transData.transform((x, y))
    event = matplotlib.backend_bases.MouseEvent("motion_notify_event", image.figure.canvas, px, py)
    return image.get_cursor_data(event)


def test_tables_as_numpy_and_matplotlib_take_them():
    result = meridox.run("projection", params={"grid_size": 16})
    table = result.tables["OUT_M.txt"]
    assert numpy.asarray(table) is not None and numpy.array_equal(numpy.asarray(table), table.values)
    assert (table.names, table.units) == (["x", "y", "intensity (1 = clear field)"], ["um", "um", ""])
    # imshow with the table's extent and origin shows values[j, i] at (x[i], y[j]), y upwards;
    # a map stored with y falling draws the same picture.
    falling = meridox.MapTable(table.title, table.columns, table.x, table.y[::-1], table.values[::-1])
    for shown in (table, falling):
        figure, axes = plt.subplots()
        image = axes.imshow(shown, extent=shown.extent, origin=shown.origin)
        figure.canvas.draw()
        assert axes.get_ylim()[0] < axes.get_ylim()[1]
        for i, j in ((0, 0), (15, 0), (3, 11), (15, 15)):
            assert value_drawn_at(image, shown.x[i], shown.y[j]) == shown.values[j, i]
        plt.close(figure)
    assert falling.origin == "upper" and table.origin == "lower" and falling.extent == table.extent

    stage = meridox.run("stage").tables["OUT_M.txt"]
    assert numpy.array_equal(stage["time"], stage["time (s)"]) and numpy.array_equal(numpy.asarray(stage), stage.data)
    assert numpy.array_equal(stage["control current"], stage.data[:, 2]) and len(stage) == stage.data.shape[0]
    with pytest.raises(KeyError, match="'time', 'stage displacement'"):
        stage["displacement"]


def test_one_threshold_argument_and_one_shape_of_metrics():
    def metrics(**options):
        return meridox.run("projection", params={"grid_size": 32}, **options).metrics
    one, listed, several = metrics(threshold=0.3), metrics(threshold=[0.3]), metrics(threshold=numpy.array([0.3, 0.5]))
    assert metrics() == one == listed == several[:1]
    assert [row["threshold"] for row in several] == [0.3, 0.5] and several[0]["cd"] > several[1]["cd"] > 0
    assert list(several[1]) == ["threshold", "peak", "contrast", "cd", "edge_left", "edge_right", "nils",
                                "mask_width", "feature"]
    # The stages and the plate have no threshold: one row of their metrics.
    [stage] = meridox.run("stage").metrics
    assert list(stage) == meridox.calculators()[4].metrics
    # The name studies used before still works, and says which to use.
    with pytest.warns(DeprecationWarning, match="threshold="):
        assert metrics(thresholds=[0.3, 0.5]) == several
    with pytest.warns(DeprecationWarning):
        old = meridox.study("projection", {"defocus": [0, 0.2]}, thresholds=[0.3, 0.5], params={"grid_size": 32})
    assert old.rows == meridox.study("projection", {"defocus": [0, 0.2]}, threshold=[0.3, 0.5],
                                     params={"grid_size": 32}).rows
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="alone"):
            metrics(threshold=0.3, thresholds=0.5)
    for wrong in ("0.3", 0, -0.1, [], [0.3, float("inf")], True):
        with pytest.raises(ValueError, match="threshold is a positive number or a list"):
            metrics(threshold=wrong)


def test_study_frame_and_dataset_carry_units_and_shape(tmp_path):
    defocus, sigma, thresholds = [-0.4, 0.0, 0.4], [0.3, 0.7], [0.25, 0.35]
    study = meridox.study("projection", {"defocus": defocus, "sigma": sigma}, threshold=thresholds,
                          params={"grid_size": 32}, out=str(tmp_path))
    units = json.loads((tmp_path / "study.json").read_text(encoding="utf-8"))["units"]
    frame = study.frame()
    assert str(frame["case"].dtype) == "int64" and list(frame["case"]) == [k // 2 for k in range(12)]
    assert frame.attrs["units"] == units and units["cd"] == "um" and units["sigma"] == "-"

    ds = study.to_xarray()
    assert dict(ds.cd.sizes) == {"defocus": 3, "sigma": 2, "threshold": 2}
    assert list(ds.defocus.values) == defocus and list(ds.threshold.values) == thresholds
    assert ds.cd.attrs["units"] == "um" and ds.defocus.attrs["units"] == "um" and ds.nils.attrs["units"] == "1"
    for row in study.rows:
        at = dict(defocus=row["defocus"], sigma=row["sigma"], threshold=row["threshold"])
        assert ds.cd.sel(**at).item() == row["cd"] and ds.peak.sel(**at).item() == row["peak"]
        assert ds.case.sel(defocus=row["defocus"], sigma=row["sigma"]).item() == row["case"]
    # Every case ran (the 32-sample grid cuts the example's outer rectangles: a warning each).
    assert {status.split(";")[0] for status in ds.status.values.ravel()} == {"ok"}
    # A Bossung plot: cd against focus, one curve per sigma, at one threshold.
    figure, axes = plt.subplots()
    lines = ds.cd.sel(threshold=0.25).plot.line(x="defocus", ax=axes)
    assert len(lines) == 2 and list(lines[1].get_ydata()) == list(ds.cd.sel(threshold=0.25, sigma=0.7).values)
    plt.close(figure)

    # The stages: no threshold dimension.
    stage = meridox.study("stage", {"position_gain": [50, 60, 70]}).to_xarray()
    assert dict(stage.final_error.sizes) == {"position_gain": 3} and "threshold" not in stage.dims


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def test_jupyter_shows_summary_and_picture(monkeypatch):
    result = meridox.run("stage", params={"position_gain": 55})
    shown = result._repr_html_()
    assert "stage (drovik2)" in shown and "final_error" in shown and html.escape(result.summary) in shown
    [png] = re.findall(r'src="data:image/png;base64,([^"]+)"', shown)
    assert png_size(base64.b64decode(png)) == (640, 480)
    assert png_size(result.picture(size=(320, 200))) == (320, 200)
    with open("/proc/self/maps") as maps:  # drawn by the command: no plotting library here
        assert "plplot" not in maps.read()
    with pytest.raises(KeyError, match="OUT_M.txt"):
        result.picture("OUT_X.txt")
    # Without the command beside the package the picture is left out, and the cell says why.
    monkeypatch.setattr(meridox, "_command", lambda: None)
    shown = result._repr_html_()
    assert "data:image/png" not in shown and "not installed beside the package" in shown
    # The run's temporary folder lives as long as its Result.
    folder = result.folder
    assert os.path.isfile(os.path.join(folder, "OUT_M.txt"))
    del result
    assert not os.path.exists(folder)

    study = meridox.study("stage", {"position_gain": [50, 60]})
    shown = study._repr_html_()
    assert "2 cases, 0 failed" in shown and shown.count("<tr") == 3


def test_version_is_the_commands():
    printed = subprocess.run([os.environ["MERIDOX_EXE"], "--version"], check=True, capture_output=True,
                             text=True).stdout.split()
    assert printed == ["meridox", meridox.__version__] and re.fullmatch(r"\d+\.\d+\.\d+", meridox.__version__)
    assert "threshold" in meridox.study.__doc__ and "client" in meridox.study.__doc__


def test_study_values_and_record_as_python_has_them(tmp_path, fake_libraries):
    # FROM:TO:COUNT gives numpy.linspace's values to the last bit, so that study.csv from the
    # command and from Python are the same bytes. The stand-in plate fails fast: the varied
    # values are what is compared.
    for start, stop, count in ((0, 0.3, 4), (-0.7, 0.9, 13), (1e-3, 3.3, 37), (0.1, -0.35, 10), (2.5, 2.5, 1),
                               (-1e-9, 1e-9, 7)):
        out = tmp_path / f"command-{count}"
        subprocess.run([os.environ["MERIDOX_EXE"], "study", "plate", "--lib-dir", fake_libraries, "--vary",
                        f"thickness={start!r}:{stop!r}:{count}", "--no-pictures", "-j", "2", "--out", str(out)],
                       capture_output=True)
        lines = (out / "study.csv").read_bytes().split(b"\r\n")[1:-1]
        values = [float(line.split(b",")[1]) for line in lines]
        assert values == list(numpy.linspace(start, stop, count)), (start, stop, count)
        python = meridox.study("plate", {"thickness": numpy.linspace(start, stop, count)}, jobs=2)
        python.to_csv(tmp_path / "python.csv")
        assert (tmp_path / "python.csv").read_bytes() == (out / "study.csv").read_bytes()

    # study.json holds the base sheet as its text: line ends and TABs as they are, labels
    # written in Shift-JIS decoded.
    sheet = meridox.Sheet.example("stage")
    label = "ステージ質量".encode("cp932")
    sheet = meridox.Sheet("stage", sheet.data.replace(b"stage mass", label, 1))
    meridox.study("stage", {"position_gain": [50]}, sheet=sheet, out=str(tmp_path / "record"))
    text = json.loads((tmp_path / "record" / "study.json").read_text(encoding="utf-8"))["base_sheet_text"]
    assert "ステージ質量" in text and text.replace("ステージ質量", "stage mass").encode() == \
        meridox.Sheet.example("stage").data


# Every metric with its unit for the example sheets, in the order of the study
# table, and each main table's column names and units, as the calculator pages
# give them: the stages in s, mm and A, the optics lengths in um, the plate in
# mm and N/mm^2 (its moment per unit of circumference: stress times length^2
# per length).
IMAGE_UNITS = [("peak", "1"), ("contrast", "1"), ("cd", "um"), ("edge_left", "um"), ("edge_right", "um"),
               ("nils", "1"), ("mask_width", "um"), ("feature", "text")]
PLATE_UNITS = [("max_deflection", "mm"), ("max_deflection_r", "mm"), ("max_stress", "N/mm^2"),
               ("max_pitch_error", "mm"), ("max_hoop_moment", "N/mm^2 mm^2/mm"), ("max_hoop_stress", "N/mm^2")]
STAGE_UNITS = [("final_error", "mm"), ("settling_time", "s"), ("max_excursion", "mm"), ("overshoot", "mm"),
               ("peak_current", "A"), ("rms_current", "A"), ("overshoot_percent", "%"), ("peak_time", "s"),
               ("steady_error", "mm"), ("residual_oscillation", "mm"), ("gain_margin", "1"), ("gain_margin_db", "dB"),
               ("position_gain_margin", "1"), ("phase_margin", "deg"), ("crossover_hz", "Hz"),
               ("bandwidth_hz", "Hz"), ("sensitivity_peak", "1"), ("dominant_hz", "Hz"), ("dominant_damping", "1")]
STAGE_TABLE = {
    "stage": [("time", "s"), ("stage displacement", "mm"), ("control current", "A"), ("stage velocity", "mm/s")],
    "nut-stage": [("time", "s"), ("nut displacement", "mm"), ("stage displacement", "mm"), ("control current", "A"),
                  ("nut velocity", "mm/s"), ("stage velocity", "mm/s")],
    "stage-base": [("time", "s"), ("stage displacement", "mm"), ("base displacement", "mm"),
                   ("stage minus base", "mm"), ("control current", "A"), ("stage velocity", "mm/s")]}
CALCULATORS = [
    ("projection", ("defocus", 0.0, "um"), IMAGE_UNITS,
     [("x", "um"), ("y", "um"), ("intensity (1 = clear field)", "")]),
    ("proximity", ("gap", 20.0, "um"), IMAGE_UNITS, [("x", "um"), ("y", "um"), ("intensity (1 = open light)", "")]),
    ("plate", ("thickness", 2.0, "mm"), PLATE_UNITS,
     [("radius r", "mm"), ("deflection w", "mm"), ("slope w'", "rad"), ("curvature w''", "1/mm"),
      ("radial moment Mr", "N/mm^2 mm^2/mm"), ("radial stress sigma r", "N/mm^2"), ("pitch error Pe", "mm")]),
    *[(calc, ("position_gain", 79.0, None), STAGE_UNITS, columns) for calc, columns in STAGE_TABLE.items()]]


@pytest.mark.parametrize("calc, varied, metrics, columns", CALCULATORS, ids=[c[0] for c in CALCULATORS])
def test_every_metric_and_column_has_its_unit_and_name(calc, varied, metrics, columns):
    image = metrics is IMAGE_UNITS
    result = meridox.run(calc)
    table = result.tables["OUT_M.txt"]
    assert list(zip(table.names, table.units)) == columns
    assert table.columns == [f"{n} ({u})" if u else n for n, u in columns]
    assert [list(row) for row in result.metrics] == [(["threshold"] if image else []) + [m for m, _ in metrics]]
    name, value, unit = varied
    study = meridox.study(calc, {name: [value]})
    assert study.columns == ["case", name, *(["threshold"] if image else []), *(m for m, _ in metrics), "status"]
    expected = dict(metrics, **({"threshold": "1 (of the clear-field intensity)"} if image else {}))
    units = study.units
    assert {m: units.get(m) for m in expected} == expected
    if unit is not None:
        assert units[name] == unit
    assert study.frame().attrs["units"] == {c: units[c] for c in study.columns if c in units}


def test_several_thresholds_give_one_row_each_and_tables_print_as_the_sheet_asks():
    # The proximity example's bright square: a wider feature at a lower threshold.
    thresholds = [0.2, 0.3, 0.45]
    rows = meridox.run("proximity", threshold=thresholds, cut_x=-7.25, cut_y=-1.25).metrics
    assert isinstance(rows, list) and len(rows) == 3 and all(isinstance(row, dict) for row in rows)
    assert [row["threshold"] for row in rows] == thresholds
    assert all(list(row) == ["threshold"] + [m for m, _ in IMAGE_UNITS] for row in rows)
    assert rows[0]["cd"] > rows[1]["cd"] > rows[2]["cd"] > 0 and {row["feature"] for row in rows} == {"printed"}
    for row in rows:
        [alone] = meridox.run("proximity", threshold=row["threshold"], cut_x=-7.25, cut_y=-1.25).metrics
        assert alone == row
    # A stage's table holds a row every print_interval steps and the last:
    # ceil(100 / 30) + 1 rows at steps 0, 30, 60, 90, 100 of the example's 0.1 ms.
    run = meridox.run("stage", params={"step_count": 100, "print_interval": 30})
    time = run.tables["OUT_M.txt"]["time"]
    assert len(run.tables["OUT_M.txt"]) == 5
    assert numpy.allclose(time, [0, 0.003, 0.006, 0.009, 0.01], rtol=0, atol=1e-12)
    [metrics] = run.metrics
    assert metrics["peak_time"] < 0.003  # the metrics still see every step
