"""Internal faults surface as PanicException, with a report on stderr."""

import re
import subprocess
import sys
import textwrap

import pytest

from _morlatch import from_internal_data


def test_fault_message_and_class(panic_exception):
    search = from_internal_data([0, 1], ["", "a"], [None, 1], [1])
    with pytest.raises(BaseException) as info:
        search.get_payload(2)
    assert type(info.value) is panic_exception
    assert info.value.args == ("index out of bounds: the len is 2 but the index is 2",)
    # The object is unchanged and still usable after the fault.
    assert search.get_payload(1) == 1
    assert search.get_children(0) == [("a", 1)]


def test_except_exception_does_not_catch_a_fault(panic_exception):
    search = from_internal_data([], [], [], [])
    caught_by = None
    try:
        try:
            search.get_children(0)
        except Exception:  # must not see the fault
            caught_by = "Exception"
    except BaseException as exc:  # noqa: B036
        caught_by = type(exc).__name__
    assert caught_by == "PanicException"


def run_child(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


REPORT = re.compile(
    r"thread '(?P<thread>[^']+)' panicked at "
    r"(?P<file>src/[\w/]+\.[ch]pp):(?P<line>\d+):(?P<col>\d+):\n"
    r"(?P<message>[^\n]*)\n"
)


@pytest.mark.parametrize(
    "run, thread",
    [
        ("attempt()", "main"),
        ("t = threading.Thread(target=attempt); t.start(); t.join()", "<unnamed>"),
    ],
)
def test_fault_report_on_standard_error(run, thread):
    result = run_child(
        f"""
        import threading
        import _morlatch

        search = _morlatch.from_internal_data([0], [""], [None], [])

        def attempt():
            try:
                search.get_payload(5)
            except BaseException as exc:
                print(type(exc).__name__, exc.args[0])

        {run}
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException index out of bounds: the len is 1 but the index is 5\n"
    match = REPORT.search(result.stderr)
    assert match, result.stderr
    assert match["thread"] == thread
    assert match["message"] == "index out of bounds: the len is 1 but the index is 5"
    assert int(match["line"]) > 0 and int(match["col"]) > 0


def test_uncaught_fault_ends_the_interpreter_with_a_traceback():
    result = run_child(
        """
        import _morlatch
        _morlatch.from_internal_data([], [], [], []).get_children(0)
        """
    )
    assert result.returncode == 1
    assert "fennic_runtime.PanicException: index out of bounds" in result.stderr
    assert "panicked at" in result.stderr


def test_import_succeeds_with_warnings_as_errors():
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import _morlatch; print(_morlatch.__all__)"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['from_internal_data', 'from_bytes', 'PrefixSearch']"
