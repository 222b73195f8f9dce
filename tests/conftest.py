import os

import hypothesis
import pytest

import _morlatch

# Property tests run far slower under the sanitizers; keep them meaningful
# but bounded there.
hypothesis.settings.register_profile("default", deadline=None)
hypothesis.settings.register_profile("sanitized", deadline=None, max_examples=40)
hypothesis.settings.load_profile(
    "sanitized" if os.environ.get("MORLATCH_SANITIZED") else "default"
)


def pytest_report_header(config):
    return f"_morlatch: {_morlatch.__file__}"


def provoke_panic():
    """Raises the module's fault exception (a trie with no nodes has no root)."""
    _morlatch.from_internal_data([], [], [], []).get_payload(0)


@pytest.fixture(scope="session")
def panic_exception():
    """The class of the exceptions raised for internal faults."""
    try:
        provoke_panic()
    except BaseException as exc:  # noqa: B036 - the class is what we are after
        return type(exc)
    raise AssertionError("no fault was raised")


@pytest.fixture
def small():
    """root -a-> 1 (payload 7) -b-> 2 (payload 0); root -c-> 3 (no payload)."""
    return _morlatch.from_internal_data(
        [0, 2, 3, 3], ["", "a", "b", "c"], [None, 7, 0, None], [1, 3, 2]
    )
