"""Type checking: the stubs of the native modules and the typed package.

mypy sees the package as an installed one would be: through a throw-away
virtual environment whose site-packages points (by a .pth file) at the folder
that holds ``morlatch`` and ``_morlatch-stubs``.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

import _morlatch
import morlatch

ROOT = Path(__file__).resolve().parent.parent
PACKAGES = Path(morlatch.__file__).resolve().parent.parent
STUBS = PACKAGES / "_morlatch-stubs" / "__init__.pyi"


def test_package_ships_its_typing_and_data() -> None:
    package = Path(morlatch.__file__).resolve().parent
    assert STUBS.is_file()
    assert (package / "py.typed").is_file()
    assert (package / "data" / "words.txt.gz").is_file()
    assert (package / "data" / "LICENSE-words.txt").is_file()


needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)
# Types do not depend on how the module was compiled.
not_sanitized = pytest.mark.skipif(
    bool(os.environ.get("MORLATCH_SANITIZED")), reason="nothing to check under sanitizers"
)


@pytest.fixture(scope="module")
def checker(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    """The mypy command line, against an environment that has the package."""
    base = tmp_path_factory.mktemp("typing")
    env_dir = base / "env"
    venv.EnvBuilder(with_pip=False).create(env_dir)
    python = env_dir / "bin" / "python"
    site = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    Path(site, "morlatch-under-test.pth").write_text(f"{PACKAGES}\n", encoding="utf-8")
    return [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--no-error-summary",
        "--python-executable",
        str(python),
        "--cache-dir",
        str(base / "cache"),
    ]


def mypy(checker: list[str], *args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [*checker, *map(str, args)], capture_output=True, text=True, timeout=600, cwd=ROOT
    )


@needs_mypy
@not_sanitized
def test_package_passes_strict_checking(checker: list[str]) -> None:
    done = mypy(checker, "-p", "morlatch")
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
@not_sanitized
def test_readme_examples_pass_strict_checking(checker: list[str], tmp_path: Path) -> None:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    examples = re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)
    assert examples
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(examples), encoding="utf-8")
    done = mypy(checker, script)
    assert done.returncode == 0, done.stdout + done.stderr


# Each line marked "# wrong" must be an error; all other lines must pass. The
# good lines keep the stubs from being too strict, the wrong ones from being
# too loose (an Any anywhere would let them through).
USAGE = """\
import _morlatch
import morlatch
import morlatch.dask

s = _morlatch.from_internal_data([0, 1], ["", "a"], [None, 7], [1])
t = _morlatch.from_bytes(s.to_bytes())
u = _morlatch.from_bytes(bytearray(b"\\0\\0\\0\\0"))
v = _morlatch.from_bytes([0, 0, 0, 0])
hits: list[tuple[str, int, int]] = s.fuzzy_match(prefix="a", max_dist=1, limit=None)
first: tuple[str, int, int] | None = s.exact_match("a")
kids: list[tuple[str, int]] = s.get_children(0)
value: int | None = s.get_payload(node_id=1)
image: bytes = morlatch.build(["a"]).to_bytes()
again: morlatch.PrefixSearch = morlatch.load("x.trie")
s.fuzzy_match("a", 1)  # wrong
s.fuzzy_match(b"a", 1, None)  # wrong
s.fuzzy_match("a", "1", None)  # wrong
bad_hit: str = s.exact_match("a")  # wrong
pairs: list[tuple[str, int]] = s.fuzzy_match("a", 1, None)  # wrong
s.get_children("0")  # wrong
count: int = s.get_payload(0)  # wrong
text: str = s.to_bytes()  # wrong
s.to_bytes(1)  # wrong
_morlatch.from_bytes("abc")  # wrong
_morlatch.from_internal_data([0], [""], [None])  # wrong
_morlatch.PrefixSearch.search  # wrong
morlatch.build(42)  # wrong
morlatch.save(s, 3)  # wrong
ix = morlatch.Index({"a": 1})
m: morlatch.Match = ix.search("a", 1, limit=3, transpositions=True)[0]
dist: int = ix.complete("a", limit=None)[0].distance
batch: list[list[morlatch.Match]] = ix.search_many(["a"], 1, workers=2)
fixes: list[list[morlatch.Match]] = ix.correct_many(["a"], rule="plain", workers=1)
listed: list[tuple[str, int]] = list(ix.items("a"))
got: int | None = ix.get("a")
ix.search("a", limit="3")  # wrong
ix.search_many("a", 1, 2)  # wrong
key_only: int = next(iter(ix))  # wrong
ix.save("x.index")
reloaded: morlatch.Index = morlatch.Index.load("x.index")
alike: bool = reloaded == {"a": 1}
sections: dict[str, memoryview] = morlatch.indexfile.read("x.index")
morlatch.indexfile.write("x.index", {"trie": ix.prefix_search.to_bytes()})
morlatch.indexfile.write("x.index", {"trie": "text"})  # wrong
sniffed: bool = morlatch.indexfile.is_index_file(b"head")
spread: list[list[morlatch.Match]] = morlatch.dask.search_many(["a"], ix, 1, limit=2)
morlatch.dask.search_many(["a"], {"a": 1}, 1)  # wrong
"""


@needs_mypy
@not_sanitized
def test_stubs_accept_right_and_reject_wrong_use(checker: list[str], tmp_path: Path) -> None:
    script = tmp_path / "usage.py"
    script.write_text(USAGE, encoding="utf-8")
    done = mypy(checker, script)
    flagged = {int(n) for n in re.findall(r"^[^:\n]*usage\.py:(\d+): error", done.stdout, re.M)}
    wrong = {n for n, line in enumerate(USAGE.splitlines(), 1) if line.endswith("# wrong")}
    assert flagged == wrong, done.stdout


@needs_mypy
@not_sanitized
@pytest.mark.parametrize("module", ["_morlatch", "morlatch._engine"])
def test_stubs_agree_with_the_native_module(module: str, tmp_path: Path) -> None:
    # stubtest imports the compiled module and compares every name, parameter
    # (from the text signatures) and kind with the stub. mypy reads the stubs
    # from a copy: _morlatch's stub package as a plain stub file, and the
    # package with morlatch/_engine.pyi (not site-packages itself, which mypy
    # refuses on its search path).
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    shutil.copy(STUBS, stub_dir / "_morlatch.pyi")
    shutil.copytree(
        PACKAGES / "morlatch",
        stub_dir / "morlatch",
        ignore=shutil.ignore_patterns("*.so", "__pycache__", "data"),
    )
    assert (stub_dir / "morlatch" / "_engine.pyi").is_file()
    # The very modules the other tests import, wherever they were found.
    search_path = [str(Path(_morlatch.__file__).resolve().parent), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, MYPYPATH=str(stub_dir), PYTHONPATH=os.pathsep.join(search_path))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, "--mypy-config-file", os.devnull],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
