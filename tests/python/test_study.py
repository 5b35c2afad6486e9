import json
import os
import signal
import subprocess
import threading
import time

import distributed
import numpy
import pytest

import meridox


def test_study_rows_and_csv(tmp_path):
    vary = {"defocus": [0, 0.3], "sigma": [0.3, 0.7]}
    one = meridox.study("projection", vary, threshold=[0.3, 0.5], jobs=1, out=str(tmp_path / "one"))
    two = meridox.study("projection", vary, threshold=[0.3, 0.5], jobs=2, out=str(tmp_path / "two"))
    assert (tmp_path / "one" / "study.csv").read_bytes() == (tmp_path / "two" / "study.csv").read_bytes()
    subprocess.run([os.environ["MERIDOX_EXE"], "study", "projection", "--vary", "defocus=0,0.3", "--vary",
                    "sigma=0.3,0.7", "--threshold", "0.3,0.5", "--no-pictures", "--out", str(tmp_path / "command")],
                   check=True, capture_output=True)
    assert (tmp_path / "one" / "study.csv").read_bytes() == (tmp_path / "command" / "study.csv").read_bytes()
    assert one.columns == ["case", "defocus", "sigma", "threshold", "peak", "contrast", "cd", "edge_left",
                           "edge_right", "nils", "mask_width", "feature", "status"]
    assert [(r["case"], r["defocus"], r["sigma"], r["threshold"]) for r in one.rows[:3]] == \
        [(0, 0, 0.3, 0.3), (0, 0, 0.3, 0.5), (1, 0, 0.7, 0.3)]
    # A completed case keeps no folder: its record is in the study's record file.
    assert b"\ncase 3 " in b"\n" + (tmp_path / "one" / "cases" / "records.txt").read_bytes()
    assert not (tmp_path / "one" / "cases" / "3").exists()
    [alone] = meridox.run("projection", params={"defocus": 0.3, "sigma": 0.7}, threshold=0.5).metrics
    assert {k: one.rows[7][k] for k in alone} == alone
    csv = (tmp_path / "one" / "study.csv").read_bytes().split(b"\r\n")
    assert csv[0] == b"case,defocus,sigma,threshold,peak,contrast,cd,edge_left,edge_right,nils,mask_width,feature,status"
    # The last case ran, with the projection sheet's one warning (its source's sampling at sigma 0.7).
    assert csv[8].startswith(b"3,0.3,0.7,0.5,") and b',"ok; warning [source-sampling]' in csv[8] and csv[9] == b""
    frame = one.frame()
    assert list(frame.columns) == one.columns and len(frame) == 8
    # study.json describes the same columns and units as the command's; a
    # rerun reuses every case, unless an option that decides the metrics changed.
    mine, theirs = (json.loads((tmp_path / d / "study.json").read_text()) for d in ("one", "command"))
    for key in ("calculator", "columns", "units", "cases", "failed", "base_sheet_text"):
        assert mine[key] == theirs[key], key
    assert mine["command"].startswith("meridox.study('projection', {'defocus': [0, 0.3]") and mine["reused"] == 0
    meridox.study("projection", vary, threshold=[0.3, 0.5], jobs=2, out=str(tmp_path / "one"))
    assert json.loads((tmp_path / "one" / "study.json").read_text())["reused"] == 4
    dark = meridox.study("projection", vary, threshold=[0.3, 0.5], tone="dark", jobs=2, out=str(tmp_path / "one"))
    assert json.loads((tmp_path / "one" / "study.json").read_text())["reused"] == 0
    assert [r["cd"] for r in dark.rows] != [r["cd"] for r in one.rows]
    # Another study into the same folder replaces the cases of the first.
    meridox.study("projection", {"defocus": [0.1]}, jobs=1, out=str(tmp_path / "one"))
    assert sorted(p.name for p in (tmp_path / "one" / "cases").iterdir()) == ["records.txt", "study-key.txt"]
    records = (tmp_path / "one" / "cases" / "records.txt").read_text()
    assert [line.split()[1] for line in records.splitlines() if line.startswith("case ")] == ["0"]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as c, distributed.Client(c) as client:
        yield client


def test_cluster_study_equals_local(cluster, tmp_path):
    vary = {"position_gain": [40, 60, 80, 100], "velocity_gain": [0.12, 0.18]}
    local = meridox.study("stage", vary, jobs=2)
    spread = meridox.study("stage", vary, client=cluster, batch_size=2)
    assert len(set(spread.workers.values())) == 2
    assert sorted(spread.workers) == [r["case"] for r in local.rows]
    local.to_csv(tmp_path / "local.csv")
    spread.to_csv(tmp_path / "spread.csv")
    assert (tmp_path / "local.csv").read_bytes() == (tmp_path / "spread.csv").read_bytes()
    sized = meridox.study("stage", vary, client=cluster)  # batches sized by a first case
    sized.to_csv(tmp_path / "sized.csv")
    assert (tmp_path / "sized.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_cluster_study_survives_a_killed_worker(tmp_path):
    # Batches of four cases of about 0.1 s each (a million steps), so that each worker has
    # about a second of work; one worker is killed a tenth of a second into its first batch.
    # Its nanny starts it again, the scheduler gives the batch to a worker again, and every
    # case comes back exactly once, in case order.
    vary = {"position_gain": [40 + 2 * k for k in range(24)]}
    params = {"step_count": 1000000, "print_interval": 1000000}
    local = meridox.study("stage", vary, params=params, jobs=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as c, distributed.Client(c) as client:
        pids = client.run(os.getpid)
        victim = sorted(pids)[0]
        done = []
        thread = threading.Thread(target=lambda: done.append(
            meridox.study("stage", vary, params=params, client=client, batch_size=4)))
        thread.start()
        deadline = time.monotonic() + 30
        while not client.processing().get(victim) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.1)
        busy = bool(client.processing().get(victim))
        os.kill(pids[victim], signal.SIGKILL)
        thread.join(120)
    assert busy and not thread.is_alive() and done
    spread = done[0]
    assert sorted(spread.workers) == [r["case"] for r in local.rows] == list(range(24))
    local.to_csv(tmp_path / "local.csv")
    spread.to_csv(tmp_path / "spread.csv")
    assert (tmp_path / "local.csv").read_bytes() == (tmp_path / "spread.csv").read_bytes()


def test_values_are_what_the_calculator_computed_or_the_call_says_why(tmp_path):
    sheet = meridox.Sheet.example("stage")
    with pytest.raises(ValueError, match='step_count takes a whole number, not "2500.7"'):
        sheet["step_count"] = 2500.7
    with pytest.raises(ValueError, match="grid_size takes a whole number up to 128"):
        meridox.study("projection", {"grid_size": [64, 200]})
    sheet["step_count"] = 1e5
    assert sheet.text("step_count") == "100000" and sheet["step_count"] == 100000
    with pytest.raises(meridox.CalculatorError, match="holds no finite value"):
        meridox.run("projection", params={"defocus": float("nan")})
    run = meridox.run("projection", params={"sigma": "abc"})
    assert [w[0] for w in run.warnings] == ["no-number"]
    with pytest.raises(ValueError, match="strict"):
        meridox.run("projection", params={"sigma": "abc"}, strict=True)
    study = meridox.study("projection", {"NA": [0, 0.5]}, params={"sigma": "abc"}, jobs=2)
    assert len(study.warnings) == 2 and "(cases with NA = 0)" in study.warnings[1]
    assert study.rows[0]["status"].startswith("OUT_M.txt holds no finite value")
    assert study.rows[1]["status"].startswith("ok; warning [no-number]")
    with pytest.raises(ValueError, match="strict"):
        meridox.study("projection", {"NA": [0.5]}, params={"sigma": "abc"}, strict=True, out=str(tmp_path / "s"))
    assert not (tmp_path / "s").exists()


def test_studies_own_their_folders_and_only_them(tmp_path):
    # The command and a script mean the same study by the same options.
    out = tmp_path / "same"
    meridox.study("projection", {"defocus": [0, 0.3]}, jobs=2, out=str(out))
    ran = subprocess.run([os.environ["MERIDOX_EXE"], "study", "projection", "--vary", "defocus=0,0.3",
                          "--no-pictures", "--out", str(out)], capture_output=True, text=True)
    assert ran.returncode == 0 and "(2 reused" in ran.stdout, ran.stderr
    with pytest.raises(ValueError, match="out names no folder"):
        meridox.study("projection", {"defocus": [0]}, out="")
    (tmp_path / "foreign" / "cases").mkdir(parents=True)
    (tmp_path / "foreign" / "cases" / "mine.txt").write_text("mine")
    with pytest.raises(OSError, match="no meridox study made"):
        meridox.study("projection", {"defocus": [0]}, out=str(tmp_path / "foreign"))
    assert (tmp_path / "foreign" / "cases" / "mine.txt").read_text() == "mine"
    # A run writes the sheet and the tables, nothing else of the folder's.
    (tmp_path / "run").mkdir()
    for name in ("results.txt", "summary.txt"):
        (tmp_path / "run" / name).write_text("mine")
    meridox.run("plate", out=str(tmp_path / "run"))
    assert sorted(p.name for p in (tmp_path / "run").iterdir()) == ["IN_FM.txt", "OUT_M.txt", "results.txt",
                                                                     "summary.txt"]
    assert (tmp_path / "run" / "results.txt").read_text() == "mine"


def test_cluster_options_and_a_worker_without_its_library(cluster):
    for given in ({"out": "x"}, {"jobs": 2}, {"keep_tables": True}):
        with pytest.raises(ValueError, match="not used with client="):
            meridox.study("stage", {"position_gain": [40]}, client=cluster, **given)
    lost = sorted(cluster.scheduler_info()["workers"])[0]
    cluster.run(lambda: os.environ.__setitem__("MERIDOX_LIB_DIR", "/nonexistent"), workers=[lost])
    try:
        spread = meridox.study("stage", {"position_gain": [40, 60, 80, 100]}, client=cluster, batch_size=1)
    finally:
        cluster.run(lambda: os.environ.pop("MERIDOX_LIB_DIR", None), workers=[lost])
    assert len(spread.rows) == 4
    for row in spread.rows:
        if spread.workers[row["case"]] == lost:
            assert "/nonexistent/libdrovik2.so is missing" in row["status"]
        else:
            assert row["status"] == "ok"
    assert lost in spread.workers.values() and len(set(spread.workers.values())) == 2


def test_process_window_is_the_commands(tmp_path):
    # The same focus and dose study from Python and from the command gives the same window.
    vary, thresholds = {"defocus": [-0.6, -0.3, 0.0, 0.3, 0.6]}, [0.26, 0.3, 0.34]
    study = meridox.study("projection", vary, threshold=thresholds, jobs=2)
    window = study.process_window(0.48, tolerance=0.1, el=[5])
    subprocess.run([os.environ["MERIDOX_EXE"], "study", "projection", "--vary", "defocus=-0.6,-0.3,0,0.3,0.6",
                    "--threshold", "0.26,0.3,0.34", "--target-cd", "0.48", "--el", "5", "--no-pictures",
                    "--out", str(tmp_path / "c")], check=True, capture_output=True)
    command = json.loads((tmp_path / "c" / "study.json").read_text(encoding="utf-8"))["process_window"]
    assert window.attrs["open"] and command["open"]
    assert window.attrs["best_focus"] == command["best_focus"]
    assert window.attrs["dose_to_size"] == command["dose_to_size"]
    assert list(window["defocus"]) == vary["defocus"] and window["exposure_latitude_percent"].max() > 0
    with pytest.raises(ValueError, match="focus"):
        meridox.study("projection", {"sigma": [0.3, 0.5]}).process_window(0.48)


def test_ten_cases_and_more_are_named_and_written_as_the_command_does(tmp_path):
    # Cases are numbered from 0, zero-padded to the width of the last number.
    for count, names in ((10, [str(k) for k in range(10)]), (11, [f"{k:02d}" for k in range(11)])):
        gains = numpy.linspace(40, 140, count)
        python = meridox.study("stage", {"position_gain": gains}, params={"step_count": 300}, jobs=2,
                               out=str(tmp_path / f"python-{count}"))
        subprocess.run([os.environ["MERIDOX_EXE"], "study", "stage", "--set", "step_count=300", "--vary",
                        f"position_gain=40:140:{count}", "--no-pictures", "-j", "2", "--out",
                        str(tmp_path / f"command-{count}")], check=True, capture_output=True)
        command = (tmp_path / f"command-{count}" / "study.csv").read_bytes()
        assert (tmp_path / f"python-{count}" / "study.csv").read_bytes() == command
        lines = command.split(b"\r\n")[1:-1]
        assert [line.split(b",")[0].decode() for line in lines] == names
        assert [row["case"] for row in python.rows] == list(range(count))
        assert [row["position_gain"] for row in python.rows] == list(gains)
