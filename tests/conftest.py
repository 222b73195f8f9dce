import os

import hypothesis
import pytest

import _morlatch
import reference

# Property tests run far slower under the sanitizers; keep them meaningful
# but bounded there.
hypothesis.settings.register_profile("default", deadline=None)
hypothesis.settings.register_profile("sanitized", deadline=None, max_examples=40)
hypothesis.settings.load_profile("sanitized" if os.environ.get("MORLATCH_SANITIZED") else "default")


def pytest_report_header(config):
    return f"_morlatch: {_morlatch.__file__}"


@pytest.fixture(scope="session")
def panic_exception():
    """The class of the exceptions raised for internal faults."""
    return reference.fault_class()


@pytest.fixture
def small():
    """root -a-> 1 (payload 7) -b-> 2 (payload 0); root -c-> 3 (no payload)."""
    return _morlatch.from_internal_data(
        [0, 2, 3, 3], ["", "a", "b", "c"], [None, 7, 0, None], [1, 3, 2]
    )
