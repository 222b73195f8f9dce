"""``morlatch spell``, run as a subprocess the way a user (or an editor) runs
it."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

TEXT = "Teh quick brwon fox.\nSee http://exampel.com/x and bob@exampel.com.\n"


def spell(*args: str | Path, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "morlatch", "spell", *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=120,
    )


@pytest.mark.parametrize("from_file", [True, False])
def test_spell_writes_the_text_corrected(tmp_path: Path, from_file: bool) -> None:
    # Bytes that are not UTF-8 pass through as they are.
    data = TEXT.encode() + b"caf\xe9 \xff\n"
    path = tmp_path / "text.txt"
    path.write_bytes(data)
    done = spell(path) if from_file else spell(stdin=data)
    assert done.returncode == 0, done.stderr
    assert done.stdout == data.replace(b"Teh", b"The").replace(b"brwon", b"brown")


def test_check_lists_line_column_word_and_suggestions() -> None:
    done = spell("--check", stdin=("Fine words.\n" + TEXT).encode())
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 1
    assert [line.split(" ", 2)[:2] for line in lines] == [["2:1", "Teh"], ["2:11", "brwon"]]
    assert lines[0].split(" ", 2)[2].startswith("The, ")
    assert spell("--check", stdin=b"All good here.\n").returncode == 0


def test_pipe_protocol() -> None:
    script = b"Teh fox\n!\n^Helo qzxwvyqzx\n*qzxwvyqzx\n%\n+\nqzxwvyqzx fox\n"
    done = spell("-a", stdin=script)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().split("\n")
    assert lines[0].startswith("@(#) International Ispell Version")
    answers = "\n".join(lines[1:]).split("\n\n")
    # A line: one answer per word, then an empty line; "!" makes the
    # answers terse (misspellings only), "%" verbose again; "*" accepts a
    # word; "^" escapes a line that would read as a command.
    assert answers[0].split("\n")[0].startswith("& Teh 5 0: The, ")
    assert answers[0].split("\n")[1] == "*"
    assert answers[1].split("\n")[0].startswith("& Helo ")
    assert answers[1].split("\n")[1] == "# qzxwvyqzx 5"
    assert answers[2].split("\n")[:2] == ["*", "*"]
