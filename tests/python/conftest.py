import os

import pytest


@pytest.fixture
def fake_libraries(monkeypatch):
    """Stand-in calculators: the plate aborts half way through its table, the
    stage waits for ever when offset_switch is 8."""
    folder = os.environ.get("MERIDOX_FAKE_LIB_DIR")
    if not folder:
        pytest.fail("MERIDOX_FAKE_LIB_DIR is not set (run the tests through ctest)")
    monkeypatch.setenv("MERIDOX_LIB_DIR", folder)
    return folder
