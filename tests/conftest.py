import os

import hypothesis
import pytest

import _morlatch
import reference

# Property tests run far slower under the sanitizers; keep them meaningful
# but bounded there.
SANITIZED_EXAMPLES = 40
SANITIZED = bool(os.environ.get("MORLATCH_SANITIZED"))
hypothesis.settings.register_profile("default", deadline=None)
hypothesis.settings.register_profile("sanitized", deadline=None, max_examples=SANITIZED_EXAMPLES)
hypothesis.settings.load_profile("sanitized" if SANITIZED else "default")


def pytest_collection_modifyitems(items):
    """Under the sanitizers, a test's own larger example count is capped too:
    the plain builds run every example, the sanitized one looks for memory
    and undefined-behaviour faults on a bounded share of them."""
    if not SANITIZED:
        return
    for item in items:
        test = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
        # A @given test reads these settings each time it runs.
        chosen = getattr(test, "_hypothesis_internal_use_settings", None)
        if chosen is not None and chosen.max_examples > SANITIZED_EXAMPLES:
            test._hypothesis_internal_use_settings = hypothesis.settings(
                chosen, max_examples=SANITIZED_EXAMPLES
            )


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
