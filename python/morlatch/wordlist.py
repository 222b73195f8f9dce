"""Word-list files (one key per line, optionally a TAB and a payload) and the
English word list shipped with the package."""

from __future__ import annotations

import functools
import gzip
from importlib import resources
from itertools import count

import _morlatch

from .builder import MAX_PAYLOAD, build

__all__ = ["WordListError", "parse_word_list", "default_words", "default_search"]

_DEFAULT_LIST = "words.txt.gz"


class WordListError(ValueError):
    """A bad line in a word list; ``line`` is 1-based."""

    def __init__(self, source: str, line: int, reason: str) -> None:
        super().__init__(f"{source}:{line}: {reason}")
        self.source = source
        self.line = line
        self.reason = reason


def parse_word_list(data: bytes, source: str = "<words>") -> dict[str, int]:
    """Parse a UTF-8 word list into a mapping of key to payload.

    Each line holds one key, taken exactly as written (only the line end,
    ``\\n`` or ``\\r\\n``, is removed), optionally followed by a TAB and a
    payload in ASCII decimal digits (0..4294967295). A key without a payload
    gets its 0-based line number, so payload + 1 is the line it came from.
    Blank lines are skipped; a leading byte-order mark is ignored; a key that
    appears again keeps its last payload. Raises WordListError naming the
    line of the first bad line.
    """
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise WordListError(source, line, f"not valid UTF-8 ({error.reason})") from None
    text = text.removeprefix("\ufeff")
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    if "\r" in text:
        lines = [line.removesuffix("\r") for line in lines]
    if "\t" in text:
        return _parse_with_payloads(lines, source)
    table = dict(zip(lines, count()))
    table.pop("", None)
    return table


def _parse_with_payloads(lines: list[str], source: str) -> dict[str, int]:
    table: dict[str, int] = {}
    for number, line in enumerate(lines):
        key, tab, payload = line.partition("\t")
        if not tab:
            if key:
                table[key] = number
            continue
        if not key:
            raise WordListError(source, number + 1, "empty key before the TAB")
        if not (payload.isascii() and payload.isdigit()):
            raise WordListError(
                source, number + 1, f"payload {payload!r} is not a decimal number 0..{MAX_PAYLOAD}"
            )
        value = int(payload)
        if value > MAX_PAYLOAD:
            raise WordListError(source, number + 1, f"payload {value} is outside 0..{MAX_PAYLOAD}")
        table[key] = value
    return table


def default_words() -> list[str]:
    """The shipped English word list (see data/LICENSE-words.txt), in its order."""
    packed = resources.files("morlatch").joinpath("data").joinpath(_DEFAULT_LIST).read_bytes()
    words = gzip.decompress(packed).decode("utf-8").split("\n")
    if words[-1] == "":
        words.pop()
    return words


@functools.cache
def default_search() -> _morlatch.PrefixSearch:
    """A trie over :func:`default_words`; each payload is the word's position.

    Built on first use and kept for the life of the process.
    """
    return build(default_words())
