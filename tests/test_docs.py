"""Every example of the README and of the user guide runs as written.

Python blocks of one page run in order in one namespace, in a fresh folder,
as a script would (``__name__ == "__main__"``). Console blocks are sessions:
each ``$ command`` line runs in bash with ``morlatch`` bound to this
interpreter's package, and what it prints (standard output and error
together) must be the lines shown under it. A block that cannot run here
(one needing a cluster, or an install command) is preceded by a comment
``<!-- not run: reason -->``; those are counted, so they stay few. Blocks of
other languages (``text``: data and output) are not code.
"""

from __future__ import annotations

import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest
from test_typing import checker, mypy, needs_mypy, not_sanitized

__all__ = ["checker"]  # a fixture, shared with the typing tests

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
# Pages that are no part of the guide: their shell blocks are the developers'
# commands (builds, benchmarks), and the API reference is generated.
NOT_GUIDE = {"performance.md", "contributing.md", "file-format.md", "changelog.md"}
RUN = ("python", "console")
NOT_RUN_AT_MOST = 4

BLOCK = re.compile(
    r"^(?:<!-- not run: (?P<reason>[^\n]*?) -->\n)?```(?P<lang>[\w-]*)\n(?P<body>.*?)^```$",
    re.S | re.M,
)


@dataclass
class Block:
    lang: str
    body: str
    line: int
    reason: str | None


def pages() -> list[Path]:
    guide = sorted(p for p in DOCS.rglob("*.md") if p.relative_to(DOCS).as_posix() not in NOT_GUIDE)
    return [ROOT / "README.md", *guide]


def blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    return [
        Block(m["lang"], m["body"], text.count("\n", 0, m.start("body")), m["reason"])
        for m in BLOCK.finditer(text)
    ]


def name(page: Path) -> str:
    return page.relative_to(ROOT).as_posix()


def test_every_fence_has_a_language_and_few_blocks_are_not_run() -> None:
    found = [(name(p), b) for p in pages() for b in blocks(p)]
    # Code is run; anything else is output or data, or says why it is not run.
    unexplained = [
        (where, b.line, b.lang)
        for where, b in found
        if b.lang not in (*RUN, "text") and b.reason is None
    ]
    assert unexplained == []
    assert any(b.lang == "python" for where, b in found if where == "README.md")
    not_run = [(where, b.line, b.reason) for where, b in found if b.reason is not None]
    assert len(not_run) <= NOT_RUN_AT_MOST, not_run


def session(body: str) -> list[tuple[str, str]]:
    """The (command, expected output) pairs of a console block."""
    steps: list[tuple[str, list[str]]] = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            assert steps, f"output before any command: {line!r}"
            steps[-1][1].append(line)
    return [(command, "".join(out + "\n" for out in output)) for command, output in steps]


def run_session(body: str, where: str, cwd: Path) -> None:
    prelude = f'morlatch() {{ "{sys.executable}" -m morlatch "$@"; }}\n'
    for command, expected in session(body):
        done = subprocess.run(
            ["bash", "-c", prelude + command],
            cwd=cwd,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=120,
        )
        assert done.stdout == expected, f"{where}: $ {command}"


@pytest.mark.parametrize("page", pages(), ids=name)
def test_examples_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {"__name__": "__main__"}
    for block in blocks(page):
        if block.reason is not None or block.lang not in RUN:
            continue
        where = f"{name(page)}:{block.line + 1}"
        if block.lang == "python":
            # Leading blank lines keep the traceback's line numbers the page's.
            exec(compile("\n" * block.line + block.body, name(page), "exec"), namespace)
        else:
            run_session(block.body, where, tmp_path)


def test_readme_links_reach_files() -> None:
    # The site checks its own links when it is built; the README is read on
    # its own, so its links to the pages and plots are checked here.
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    local = [t for t in targets if "://" not in t]
    assert local
    assert [t for t in local if not (ROOT / t).is_file()] == []


@needs_mypy
@not_sanitized
def test_guide_examples_pass_strict_type_checking(checker: list[str], tmp_path: Path) -> None:
    # What a reader copies should also type-check: each page's Python blocks
    # as one module, all pages in one mypy run.
    scripts = []
    for page in pages()[1:]:  # the README is checked with the package's own typing tests
        code = [b.body for b in blocks(page) if b.lang == "python" and b.reason is None]
        if code:
            script = tmp_path / (re.sub(r"\W", "_", name(page)[: -len(".md")]) + ".py")
            script.write_text("\n".join(code), encoding="utf-8")
            scripts.append(script)
    assert scripts
    done = mypy(checker, *scripts)
    assert done.returncode == 0, done.stdout + done.stderr
