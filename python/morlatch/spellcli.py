"""The ``morlatch spell`` command: correct a file or standard input, list its
misspellings, or serve an editor over the Ispell pipe protocol (``-a``).

Input is read in pieces of at most a line (a line longer than
``_LONGEST_PIECE`` is cut at a space), so text of any size runs in bounded
memory. Bytes that are not UTF-8 pass through unchanged.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterator
from typing import BinaryIO

from .speller import Speller

__all__ = ["add_spell_command"]

_LONGEST_PIECE = 1 << 16
_BANNER = "@(#) International Ispell Version 3.2.06 (but really morlatch {version})"
# Line prefixes of the pipe protocol that are commands rather than text.
_COMMANDS = frozenset("*&@+-~#!%")


def add_spell_command(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
    """Registers ``spell`` with ``command(name, summary, description)``."""
    spell = command(
        "spell",
        "correct the spelling of a text",
        "Write FILE (or standard input) with its misspelt words corrected, everything else "
        "kept as it is, using the shipped English word counts. --check lists the misspellings "
        "as 'line:column word suggestions' instead and exits with 1 when there are any; -a "
        "speaks the Ispell pipe protocol for editors.",
    )
    spell.add_argument("file", metavar="FILE", nargs="?", help="the text (default: stdin)")
    mode = spell.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true", help="list misspellings")
    mode.add_argument("-a", dest="pipe", action="store_true", help="Ispell pipe protocol")
    spell.set_defaults(command=_spell)


def _spell(args: argparse.Namespace) -> int:
    speller = Speller.english()
    sys.stdout.flush()
    out = sys.stdout.buffer
    if args.pipe:
        return _pipe(speller, sys.stdin.buffer, out)
    stream = sys.stdin.buffer if args.file in (None, "-") else _open(args.file)
    try:
        if args.check:
            return _check(speller, stream, out)
        for piece in _pieces(stream):
            out.write(_encoded(speller.fix(piece)))
        out.flush()
        return 0
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _open(path: str) -> BinaryIO:
    from .cli import CommandError

    try:
        return open(path, "rb")
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None


def _pieces(stream: BinaryIO) -> Iterator[str]:
    """The text of ``stream`` as lines (with their line ends); a line longer
    than _LONGEST_PIECE comes in pieces cut after a space where there is one."""
    while True:
        raw = stream.readline(_LONGEST_PIECE)
        if not raw:
            return
        if len(raw) == _LONGEST_PIECE and not raw.endswith(b"\n"):
            cut = max(raw.rfind(b" "), raw.rfind(b"\t"))
            if cut > 0:
                rest = raw[cut + 1 :]
                raw = raw[: cut + 1]
                yield raw.decode("utf-8", "surrogateescape")
                # What follows the cut joins the next piece.
                raw = rest + stream.readline(_LONGEST_PIECE - len(rest))
        yield raw.decode("utf-8", "surrogateescape")


def _check(speller: Speller, stream: BinaryIO, out: BinaryIO) -> int:
    found = False
    number, column = 1, 0  # the line and the column where the piece starts
    for piece in _pieces(stream):
        for miss in speller.check(piece):
            found = True
            shown = ", ".join(miss.suggestions)
            out.write(_encoded(f"{number}:{column + miss.start + 1} {miss.word} {shown}\n"))
        if piece.endswith("\n"):
            number, column = number + 1, 0
        else:
            column += len(piece)
    out.flush()
    return 1 if found else 0


def _encoded(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


def _pipe(speller: Speller, stream: BinaryIO, out: BinaryIO) -> int:
    from .cli import _version

    out.write(_encoded(_BANNER.format(version=_version()) + "\n"))
    out.flush()
    terse = False
    accepted: set[str] = set()
    # A line longer than _LONGEST_PIECE is answered a piece at a time.
    for raw in iter(lambda: stream.readline(_LONGEST_PIECE), b""):
        line = raw.decode("utf-8", "surrogateescape").rstrip("\r\n")
        head = line[:1]
        if head == "^":
            line = line[1:]
        elif head in _COMMANDS and head:
            if head == "!":
                terse = True
            elif head == "%":
                terse = False
            elif head in "*@&":
                accepted.add(line[1:].strip().lower())
            continue  # "+", "-", "~", "#": modes and saves with nothing to do
        out.write(_encoded(_pipe_answer(speller, line, terse, accepted)))
        out.flush()
    return 0


def _pipe_answer(speller: Speller, line: str, terse: bool, accepted: set[str]) -> str:
    """The protocol's answer to one line of text: a line per word (only the
    misspelt ones when terse), then an empty line."""
    misses = {miss.start: miss for miss in speller.check(line)}
    answer: list[str] = []
    for start, end in speller.words(line):
        word = line[start:end]
        miss = misses.get(start)
        if miss is None or word.lower() in accepted:
            if not terse:
                answer.append("*")
        elif miss.suggestions:
            shown = ", ".join(miss.suggestions)
            answer.append(f"& {word} {len(miss.suggestions)} {start}: {shown}")
        else:
            answer.append(f"# {word} {start}")
    answer.append("")
    return "\n".join(answer) + "\n"
