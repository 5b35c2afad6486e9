import json
import os
import signal
import subprocess
import threading
import time

import distributed
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
    assert (tmp_path / "one" / "cases" / "3" / "IN_FM.txt").is_file()
    [alone] = meridox.run("projection", params={"defocus": 0.3, "sigma": 0.7}, threshold=0.5).metrics
    assert {k: one.rows[7][k] for k in alone} == alone
    csv = (tmp_path / "one" / "study.csv").read_bytes().split(b"\r\n")
    assert csv[0] == b"case,defocus,sigma,threshold,peak,contrast,cd,edge_left,edge_right,nils,mask_width,feature,status"
    assert csv[8].startswith(b"3,0.3,0.7,0.5,") and csv[8].endswith(b",ok") and csv[9] == b""
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
    assert sorted(p.name for p in (tmp_path / "one" / "cases").iterdir()) == ["0", "study-key.txt"]


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
    # Batches of four cases of about 0.15 s each; one worker is killed while it runs a batch.
    # Its nanny starts it again, the scheduler gives the batch to a worker again, and every
    # case comes back exactly once, in case order.
    vary = {"position_gain": [40 + 2 * k for k in range(24)]}
    params = {"step_count": 200000, "print_interval": 200000}
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
        time.sleep(0.3)
        busy = bool(client.processing().get(victim))
        os.kill(pids[victim], signal.SIGKILL)
        thread.join(120)
    assert busy and not thread.is_alive() and done
    spread = done[0]
    assert sorted(spread.workers) == [r["case"] for r in local.rows] == list(range(24))
    local.to_csv(tmp_path / "local.csv")
    spread.to_csv(tmp_path / "spread.csv")
    assert (tmp_path / "local.csv").read_bytes() == (tmp_path / "spread.csv").read_bytes()
