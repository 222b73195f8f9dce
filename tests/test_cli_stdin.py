"""The morlatch command answering queries read from standard input, one per
line, compared with the Index API; and the reader of those lines."""

from __future__ import annotations

import io
import json
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_cli import WORD_LIST, WORDS, run

import morlatch
from morlatch._lines import read_lines
from morlatch.wordlist import WordListError

# A blank line, a CRLF line end, a query that finds nothing, one with
# spaces, and no line end after the last.
LINES = ["helo", "", "wrold\r", "zzzzzzzz", "a b", "hlep"]
STDIN = "\n".join(LINES)
QUERIES = [line.removesuffix("\r") for line in LINES]


@pytest.fixture(scope="module")
def word_list(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("stdin") / "words.txt"
    path.write_text(WORD_LIST, encoding="utf-8")
    return path


INDEX = morlatch.Index(WORDS)
COMMANDS = {
    # command and options: (the field naming the query, the answers)
    ("query", "-k", "1"): ("query", [INDEX.search(q, 1) for q in QUERIES]),
    ("query", "-k", "auto", "-n", "2"): (
        "query",
        [INDEX.search(q, "auto", limit=2) for q in QUERIES],
    ),
    ("complete", "-k", "1", "--no-transpositions"): (
        "prefix",
        [INDEX.complete(q, 1, transpositions=False) for q in QUERIES],
    ),
}


@pytest.mark.parametrize("as_json", [False, True])
@pytest.mark.parametrize("dash", [False, True])
@pytest.mark.parametrize("command", COMMANDS, ids=" ".join)
def test_queries_from_stdin_are_answered_line_by_line(
    word_list: Path, command: tuple[str, ...], dash: bool, as_json: bool
) -> None:
    field, answers = COMMANDS[command]
    args = [*command, "-f", word_list, *(["-"] if dash else []), *(["--json"] if as_json else [])]
    done = run(*args, input=STDIN)
    # Some query finds nothing.
    assert done.returncode == 1 and done.stderr == ""
    if as_json:
        rows = [json.loads(line) for line in done.stdout.splitlines()]
        assert rows == [
            {field: q, "hits": [dict(hit._asdict()) for hit in hits]}
            for q, hits in zip(QUERIES, answers, strict=True)
        ]
    else:
        want = "".join("\t".join(hit.key for hit in hits) + "\n" for hits in answers)
        assert done.stdout == want


@pytest.mark.parametrize("as_json", [False, True])
def test_correct_reads_words_from_stdin(word_list: Path, as_json: bool) -> None:
    index = morlatch.Index(WORDS)
    done = run(
        "correct", "-f", word_list, "-k", "auto", *(["--json"] if as_json else []), input=STDIN
    )
    assert done.returncode == 1
    best = [index.correct(word, "auto") for word in QUERIES]
    if as_json:
        rows = [json.loads(line) for line in done.stdout.splitlines()]
        assert [(row["word"], row["key"]) for row in rows] == [
            (word, hits[0].key if hits else None) for word, hits in zip(QUERIES, best, strict=True)
        ]
    else:
        want = [hits[0].key if hits else word for word, hits in zip(QUERIES, best, strict=True)]
        assert done.stdout.splitlines() == want


def test_a_bad_line_on_stdin_is_named(word_list: Path) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "morlatch", "query", "-f", word_list],
        input=b"ok\n\xffx\n",
        capture_output=True,
        timeout=120,
    )
    assert done.returncode == 1
    assert done.stderr == b"morlatch: error: <stdin>:2: not valid UTF-8 (invalid start byte)\n"


class Trickle(io.RawIOBase):
    """A stream that gives its bytes in the pieces it was given."""

    def __init__(self, pieces: list[bytes]) -> None:
        self._pieces = list(pieces)

    def readable(self) -> bool:
        return True

    def read1(self, size: int = -1) -> bytes:
        return self._pieces.pop(0) if self._pieces else b""


@given(
    lines=st.lists(st.text(alphabet="ab é\r😀", max_size=5), max_size=8),
    end=st.booleans(),
    cuts=st.lists(st.integers(0, 60), max_size=6),
)
def test_lines_arrive_whole_and_in_order_however_the_bytes_are_cut(
    lines: list[str], end: bool, cuts: list[int]
) -> None:
    data = ("\n".join(lines) + ("\n" if end and lines else "")).encode()
    bounds = sorted({0, len(data), *(min(cut, len(data)) for cut in cuts)})
    pieces = [data[a:b] for a, b in zip(bounds, bounds[1:], strict=False)]
    got = [line for batch in read_lines(Trickle(pieces)) for line in batch]  # type: ignore[arg-type]
    want = data.decode().split("\n")
    if want[-1] == "":
        want.pop()  # after the last line end
    assert got == [line.removesuffix("\r") for line in want]


def test_a_line_too_long_is_refused_before_it_ends() -> None:
    pieces = [b"ok\n"] + [b"x" * 65536] * 17
    with pytest.raises(WordListError, match="<stdin>:2: line longer than 1 MiB"):
        for _ in read_lines(Trickle(pieces)):  # type: ignore[arg-type]
            pass
