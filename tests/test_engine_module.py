"""Where morlatch._engine meets _morlatch: it reads and makes PrefixSearch
objects, so it takes the class from _morlatch at import and refuses to load
when that class's instances are not the size it was built for."""

import subprocess
import sys
import textwrap

import pytest

import morlatch._engine

# Loads _engine from its file in a fresh interpreter, with `_morlatch`
# replaced by a stand-in module when FAKE is not None, and prints the import
# error's message or "loaded".
LOAD = textwrap.dedent(
    """
    import importlib.machinery, importlib.util, sys, types
    path, fake = sys.argv[1], sys.argv[2]
    if fake != "real":
        stand_in = types.ModuleType("_morlatch")
        namespace = {}
        exec(fake, namespace)
        stand_in.PrefixSearch = namespace["PrefixSearch"]
        sys.modules["_morlatch"] = stand_in
    loader = importlib.machinery.ExtensionFileLoader("morlatch._engine", path)
    module_spec = importlib.util.spec_from_file_location("morlatch._engine", path, loader=loader)
    try:
        engine = importlib.util.module_from_spec(module_spec)
    except ImportError as error:
        print(error)
    else:
        import _morlatch
        search = _morlatch.from_internal_data([0, 1], ["", "a"], [None, 5], [1])
        print("loaded", engine.key_count(search))
    """
)


@pytest.mark.parametrize(
    ("fake", "expected"),
    [
        ("real", "loaded 1"),
        # A class of another instance size, as from a different build.
        (
            "class PrefixSearch:\n    __slots__ = ('a',)",
            "_morlatch.PrefixSearch instances take 24 bytes, but this module was built for",
        ),
        ("PrefixSearch = 42", "_morlatch.PrefixSearch is not a type"),
    ],
)
def test_engine_checks_the_prefix_search_class_it_meets(fake, expected):
    result = subprocess.run(
        [sys.executable, "-c", LOAD, morlatch._engine.__file__, fake],
        capture_output=True,
        text=True,
        check=True,
    )
    assert result.stdout.startswith(expected), result.stdout + result.stderr
