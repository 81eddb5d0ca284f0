import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


FIELD_DATA_ENV = "MOLVAK_FIELD_DATA"


def _field_root():
    import os
    from pathlib import Path
    given = os.environ.get(FIELD_DATA_ENV)
    if given:
        return Path(given)
    # the shared data sit beside the repository: <repo>/../shared/data/field
    return Path(__file__).resolve().parents[1].parent / "shared" / "data" / "field"


@pytest.fixture(scope="session")
def field_data():
    """Directory of the field records (wghs/, oysand/); the tests that need
    them are skipped where they are not installed (set MOLVAK_FIELD_DATA)."""
    root = _field_root()
    if not (root / "wghs" / "shots").is_dir() or not (root / "oysand").is_dir():
        pytest.skip(f"field records not found at {root} (set {FIELD_DATA_ENV})")
    return root


def pytest_terminal_summary(terminalreporter):
    """The tallies of the hostile-input suites that ran (tests/tally.py)."""
    import sys
    tally = sys.modules.get("tally")
    if tally is not None and tally.TALLIES:
        terminalreporter.section("hostile-input tallies")
        for line in tally.lines():
            terminalreporter.write_line(line)
