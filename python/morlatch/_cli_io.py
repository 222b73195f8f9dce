"""What the sub-commands of ``morlatch`` share: the error they report in one
line, writing to standard output, reading queries from standard input, and
progress on standard error."""

from __future__ import annotations

import codecs
import contextlib
import json
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TextIO

from ._lines import read_lines
from .wordlist import WordListError

#: A hit as printed: key, payload, distance.
Hit = tuple[str, int, int]


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def _discard_output() -> None:
    # Output still buffered goes nowhere, so that the interpreter's last
    # flush at exit does not fail again.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _stdin_lines() -> Iterator[list[str]]:
    """The lines of standard input, in batches (see read_lines)."""
    stream = sys.stdin
    if stream is None:
        raise CommandError("cannot read standard input: it is closed")
    try:
        yield from read_lines(stream.buffer)
    except WordListError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot read standard input: {error.strerror or error}") from None


def _json_lines(rows: Iterable[object]) -> str:
    ascii_only = not _unicode_output()
    return "".join(json.dumps(row, ensure_ascii=ascii_only) + "\n" for row in rows)


def _hit_rows(hits: Sequence[Hit]) -> list[dict[str, object]]:
    return [{"key": key, "payload": payload, "distance": dist} for key, payload, dist in hits]


def _print_hits(hits: Sequence[tuple[str, int, int]], as_json: bool) -> int:
    """Prints the hits; the exit status is 1 when there are none."""
    if as_json:
        _write(json.dumps(_hit_rows(hits), ensure_ascii=not _unicode_output()) + "\n")
    else:
        _write("".join(f"{key}\t{payload}\t{dist}\n" for key, payload, dist in hits))
    return 0 if hits else 1


def _unicode_output() -> bool:
    encoding = getattr(sys.stdout, "encoding", None) or "ascii"
    try:
        return codecs.lookup(encoding).name.startswith("utf")
    except LookupError:
        return False


def _write(text: str) -> None:
    """Writes text to standard output, or raises CommandError when that
    cannot be done (a closed descriptor, a full disk); BrokenPipeError, for a
    reader that has gone away, passes."""
    out = sys.stdout
    if out is None:  # started with its descriptor closed
        raise CommandError("cannot write to standard output: it is closed")
    try:
        out.write(text)
        out.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _discard_output()
        raise CommandError(f"cannot write to standard output: {error.strerror or error}") from None


class _Progress:
    """Stage lines on stderr, with a bar while a stage reports its progress.

    On a terminal the bar is redrawn in place; elsewhere only each finished
    stage is printed, so logs stay short.
    """

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream
        self._live = stream is not None and stream.isatty()
        self._label = ""
        self._shown = -1

    @contextlib.contextmanager
    def stage(self, label: str) -> Iterator[None]:
        """Shows label while the block runs, then how long it took."""
        self._begin(label)
        start = time.perf_counter()
        try:
            yield
        except BaseException:
            self._abandon()
            raise
        self._end(time.perf_counter() - start)

    def update(self, done: int, total: int) -> None:
        if not self._live or self._stream is None or total <= 0:
            return
        percent = min(100, done * 100 // total)
        if percent != self._shown:
            self._shown = percent
            bar = "#" * (percent * 30 // 100)
            self._stream.write(f"\r{self._label} [{bar:<30}] {percent:3d}%")
            self._stream.flush()

    def _begin(self, label: str) -> None:
        self._label = label
        self._shown = -1
        if self._live and self._stream is not None:
            self._stream.write(f"{label} ...")
            self._stream.flush()

    def _abandon(self) -> None:
        # Ends the half-drawn line so that an error message starts afresh.
        if self._live and self._stream is not None:
            self._stream.write("\n")
            self._stream.flush()

    def _end(self, seconds: float) -> None:
        if self._stream is None:
            return
        prefix = "\r\x1b[K" if self._live else ""
        self._stream.write(f"{prefix}{self._label}: done in {seconds:.1f} s\n")
        self._stream.flush()


def _write_file(path: str, write: Callable[[str], object]) -> int:
    """Writes `path` with `write` and returns the file's size, or raises
    CommandError naming the path when that fails."""
    try:
        write(path)
        return os.path.getsize(path)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
