"""The tour notebook, executed by jupyter nbconvert as a user's Jupyter
runs it: every cell runs, and the projection image, the focus study's
Bossung plot and the stage run show their pictures."""
import base64
import json
import os
import shutil
import subprocess

import pytest

NOTEBOOK = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python-tour.ipynb")


def pictures(cell):
    """The PNGs a cell's outputs show: matplotlib's, and those inside the
    HTML of a meridox Result."""
    found = []
    for output in cell.get("outputs", []):
        data = output.get("data", {})
        if "image/png" in data:
            found.append(base64.b64decode(data["image/png"]))
        html = "".join(data.get("text/html", []))
        for part in html.split('src="data:image/png;base64,')[1:]:
            found.append(base64.b64decode(part.split('"')[0]))
    return [png for png in found if png.startswith(b"\x89PNG\r\n\x1a\n")]


def test_tour_notebook_runs_and_shows_its_pictures(tmp_path):
    jupyter = shutil.which("jupyter")
    if jupyter is None:
        pytest.fail("jupyter is missing (scripts/install-deps installs jupyter-nbconvert)")
    subprocess.run([jupyter, "nbconvert", "--to", "notebook", "--execute", "--ExecutePreprocessor.timeout=600",
                    "--output-dir", str(tmp_path), "--output", "tour.ipynb", NOTEBOOK],
                   check=True, capture_output=True, cwd=tmp_path)
    with open(tmp_path / "tour.ipynb", encoding="utf-8") as f:
        cells = [c for c in json.load(f)["cells"] if c["cell_type"] == "code"]
    assert all(c["execution_count"] for c in cells)
    assert not [o for c in cells for o in c["outputs"] if o["output_type"] == "error"]
    sources = ["".join(c["source"]) for c in cells]

    def cell(start):
        [found] = [c for c, s in zip(cells, sources) if s.startswith(start)]
        return found
    # The Results show the command's summary and picture; the study its table; matplotlib the rest.
    assert len(pictures(cell('image = meridox.run("projection"'))) == 1
    assert len(pictures(cell('stage = meridox.run("stage")'))) == 1
    for start in ("intensity = ", "ds = focus.to_xarray()", "table = stage.tables"):
        assert len(pictures(cell(start))) == 1, start
    study_html = "".join(cell("focus = meridox.study").get("outputs")[0]["data"]["text/html"])
    assert "11 cases, 0 failed" in study_html
    assert "Bossung" in "".join(sources)
