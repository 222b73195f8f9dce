"""Queries read one per line from a stream, for the command line's batches."""

from __future__ import annotations

from collections.abc import Iterator
from typing import BinaryIO

from .wordlist import MAX_LINE, WordListError

__all__ = ["read_lines"]

# Bytes asked of the stream at a time: at most this much text waits for the
# line that ends it.
_CHUNK = 1 << 16


def read_lines(stream: BinaryIO, source: str = "<stdin>") -> Iterator[list[str]]:
    """The lines of ``stream`` (UTF-8, ``\\n`` or ``\\r\\n`` ends; every line
    is one query, blank ones included), in batches: each batch holds the
    complete lines that one read brought in, so a file or a fast pipe comes
    in large batches while a line typed or sent on its own is answered
    before the next arrives.

    Raises WordListError naming the line when one is not valid UTF-8 or is
    longer than MAX_LINE bytes.
    """
    read = getattr(stream, "read1", stream.read)
    pending = b""
    line = 1  # the number of the first line in pending
    while chunk := read(_CHUNK):
        pending += chunk
        end = pending.rfind(b"\n")
        if end < 0:
            if len(pending) > MAX_LINE:
                raise WordListError(source, line, "line longer than 1 MiB")
            continue
        complete, pending = pending[: end + 1], pending[end + 1 :]
        batch = _decoded(complete, source, line)
        line += len(batch)
        yield batch
    if pending:
        yield _decoded(pending + b"\n", source, line)


def _decoded(data: bytes, source: str, first: int) -> list[str]:
    """The lines of data, which ends with a line end; ``first`` is the
    number of its first line."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = first + data.count(b"\n", 0, error.start)
        raise WordListError(source, line, f"not valid UTF-8 ({error.reason})") from None
    if first == 1:
        text = text.removeprefix("\ufeff")
    lines = text.split("\n")
    lines.pop()  # after the last line end
    for at, text_line in enumerate(lines):
        if len(text_line) > MAX_LINE // 4 and len(text_line.encode()) > MAX_LINE:
            raise WordListError(source, first + at, "line longer than 1 MiB")
    if "\r" in text:
        lines = [text_line.removesuffix("\r") for text_line in lines]
    return lines
