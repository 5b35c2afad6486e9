"""A stage's loop from Python: the same margins as the study's columns, and
margins that mean what they say about the loop's stability."""

import math

import pytest

import meridox


def test_margins_are_the_study_columns_and_mark_the_stability_boundary(tmp_path):
    loop = meridox.loop("stage")
    assert loop["stable"]
    [row] = meridox.run("stage", out=tmp_path / "run").metrics
    for name in ("gain_margin", "position_gain_margin", "phase_margin", "crossover_hz", "bandwidth_hz",
                 "sensitivity_peak", "dominant_hz", "dominant_damping"):
        assert row[name] == pytest.approx(loop[name], rel=1e-12), name
    kp = meridox.Sheet.example("stage")["position_gain"]
    factor = loop["position_gain_margin"]
    assert meridox.loop("stage", params={"position_gain": kp * factor * 0.99})["stable"]
    assert not meridox.loop("stage", params={"position_gain": kp * factor * 1.01})["stable"]
    # Past the margin the run diverges: a result with its metrics, not an error.
    diverged = meridox.run("stage", params={"position_gain": kp * factor * 1.2})
    assert diverged.status == "diverged" and diverged.metrics[0]["max_excursion"] > row["max_excursion"]
    assert len(loop["frequency_hz"]) == len(loop["open_loop"])
    assert abs(loop["open_loop"][0]) > 1 > abs(loop["open_loop"][-1])
    assert math.isclose(loop["gain_margin_db"], 20 * math.log10(loop["gain_margin"]))
    with pytest.raises(ValueError):
        meridox.loop("plate")
