"""Word-list files (one key per line, optionally a TAB and a payload), weights
files (a key, a TAB and a weight per line) and the English word list shipped
with the package."""

from __future__ import annotations

import functools
import math
import os
import re
from collections.abc import Container, Iterable
from itertools import count
from typing import BinaryIO

import _morlatch

from . import _engine
from .builder import MAX_PAYLOAD, Progress, build

__all__ = [
    "MAX_LINE",
    "WordListError",
    "parse_word_list",
    "parse_weights",
    "read_word_list",
    "default_words",
    "default_search",
]

# The longest line read_word_list accepts, in bytes (the line end aside): a
# longer one is more likely a file that is no word list, or a stream that
# never ends, than a key.
MAX_LINE = 1 << 20

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
_DEFAULT_LIST = "words.txt.gz"
# The trie of _DEFAULT_LIST as to_bytes() wrote it, gzip-compressed; made by
# scripts/make_default_trie.py, because building it takes far longer than
# loading it.
_DEFAULT_IMAGE = "words.trie.gz"


class WordListError(ValueError):
    """A bad line in a word list; ``line`` is 1-based."""

    def __init__(self, source: str, line: int, reason: str) -> None:
        super().__init__(f"{source}:{line}: {reason}")
        self.source = source
        self.line = line
        self.reason = reason


def parse_word_list(
    data: bytes, source: str = "<words>", duplicates: str = "last"
) -> dict[str, int]:
    """Parse a UTF-8 word list into a mapping of key to payload.

    Each line holds one key, taken exactly as written (only the line end,
    ``\\n`` or ``\\r\\n``, is removed), optionally followed by a TAB and a
    payload in ASCII decimal digits (0..4294967295). A key without a payload
    gets its 0-based line number, so payload + 1 is the line it came from.
    Blank lines are skipped; a leading byte-order mark is ignored; a key that
    appears again with another payload keeps its ``duplicates="last"`` one
    (the default), its ``"first"``, or (``"error"``) is a bad line. Raises
    WordListError naming the line of the first bad line.
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
    if "\t" in text or duplicates != "last":
        return _parse_with_payloads(lines, source, duplicates)
    table = dict(zip(lines, count()))
    table.pop("", None)
    return table


def read_word_list(stream: BinaryIO, source: str, head: bytes = b"") -> bytes:
    """The bytes of a word list read from ``stream`` in chunks; ``head`` are
    its first bytes if the caller has read them already.

    Raises WordListError, without reading on, at the first line longer than
    MAX_LINE bytes.
    """
    chunks: list[bytes] = []
    line = 1  # the number of the line being read
    length = 0  # of that line so far

    def scan(chunk: bytes) -> None:
        # chunk is at most MAX_LINE bytes long: a line that lies within it
        # is short enough, so only the one it ends and the one it starts count.
        nonlocal line, length
        first = chunk.find(b"\n")
        if first < 0:
            length += len(chunk)
        else:
            length += first
            if length > MAX_LINE:
                raise WordListError(source, line, "line longer than 1 MiB")
            line += chunk.count(b"\n")
            length = len(chunk) - chunk.rfind(b"\n") - 1
        if length > MAX_LINE:
            raise WordListError(source, line, "line longer than 1 MiB")

    for start in range(0, len(head), MAX_LINE):
        scan(head[start : start + MAX_LINE])
    chunks.append(head)
    while chunk := stream.read(MAX_LINE):
        scan(chunk)
        chunks.append(chunk)
    return b"".join(chunks)


class WordKeys:
    """A word list read natively: its distinct keys, sorted, ready to build.

    ``len()`` is the number of distinct keys. A bad line raises the
    WordListError of :func:`parse_word_list`, which reads the list again to
    name it.
    """

    __slots__ = ("_words", "_table", "_count")

    def __init__(self, data: bytes, source: str = "<words>", duplicates: str = "last") -> None:
        # The native reader keeps a repeated key's last payload.
        read = _engine.read_words(data) if duplicates == "last" else None
        self._table: dict[str, int] | None = None
        if read is None:
            self._table = parse_word_list(data, source, duplicates)
            self._words, self._count = None, len(self._table)
        else:
            self._words, self._count = read

    def __len__(self) -> int:
        return self._count

    def build(self, *, progress: Progress | None = None) -> _morlatch.PrefixSearch:
        """The trie of the keys; only once, since it takes the keys over."""
        if self._words is None:
            assert self._table is not None
            return build(self._table, progress=progress)
        return _engine.build_words(self._words, progress)


def build_word_list(
    data: bytes, source: str = "<words>", *, progress: Progress | None = None
) -> _morlatch.PrefixSearch:
    """``build(parse_word_list(data, source), progress=progress)``, without a
    Python object per key."""
    return WordKeys(data, source).build(progress=progress)


def _parse_with_payloads(lines: list[str], source: str, duplicates: str) -> dict[str, int]:
    table: dict[str, int] = {}
    where: dict[str, int] = {}  # the line each key's payload came from
    for number, line in enumerate(lines):
        key, tab, payload = line.partition("\t")
        if not tab:
            if key:
                _keep(table, where, key, number, number, source, duplicates)
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
        _keep(table, where, key, value, number, source, duplicates)
    return table


def _keep(
    table: dict[str, int],
    where: dict[str, int],
    key: str,
    payload: int,
    number: int,
    source: str,
    duplicates: str,
) -> None:
    """Puts key's payload from the 0-based line number into table as the
    duplicates policy says."""
    earlier = table.get(key)
    if earlier is not None and earlier != payload:
        if duplicates == "error":
            raise WordListError(
                source,
                number + 1,
                f"key {key!r} is given again with payload {payload}, after payload {earlier} "
                f"on line {where[key] + 1}",
            )
        if duplicates == "first":
            return
    table[key] = payload
    where[key] = number


def default_words() -> list[str]:
    """The shipped English word list (see data/LICENSE-words.txt), in its order."""
    words = _read_data(_DEFAULT_LIST).decode("utf-8").split("\n")
    if words[-1] == "":
        words.pop()
    return words


@functools.cache
def default_search() -> _morlatch.PrefixSearch:
    """A trie over :func:`default_words`; each payload is the word's position.

    Loaded from the prebuilt image on first use and kept for the life of the
    process.
    """
    return _morlatch.from_bytes(_read_data(_DEFAULT_IMAGE))


def _read_data(name: str) -> bytes:
    # A plain file read rather than importlib.resources, whose import costs
    # more than loading the trie; a package that needs a native module is
    # always installed as files anyway. gzip is imported here for the same
    # reason: only these two functions need it.
    import gzip

    with open(os.path.join(_DATA, name), "rb") as stream:
        return gzip.decompress(stream.read())


# A weight that is not a whole number: a decimal fraction with an optional
# exponent; no sign, no "inf" or "nan".
_DECIMAL = re.compile(r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_MAX_INT_WEIGHT = (1 << 64) - 1


def parse_weights(
    data: bytes,
    source: str = "<weights>",
    keys: Container[str] | None = None,
    keys_source: str = "the word list",
) -> dict[str, int | float]:
    """Parse a UTF-8 weights file into a mapping of key to weight.

    Each line holds a key, a TAB and its weight, or, in a line without a
    TAB, a key, spaces and its weight (the key is then all before the last
    run of spaces, so it may hold spaces itself, as a two-word entry does):
    the ``word count`` lists of frequency dictionaries read as they are. A
    weight is a whole number (0..2**64 - 1) or a non-negative decimal
    fraction such as ``0.5`` or ``1e-3``; one fraction makes every weight a
    float, as ``Index`` keeps them. Line ends, blank lines and a byte-order
    mark are taken as in a word list, and a key given twice keeps its last
    weight. With ``keys``, every key must be one of them (``keys_source``
    names where they come from). Raises WordListError naming the line of the
    first bad line.
    """
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        where = data.count(b"\n", 0, error.start) + 1
        raise WordListError(source, where, f"not valid UTF-8 ({error.reason})") from None
    lines = text.removeprefix("\ufeff").split("\n")
    if "\r" in text:
        lines = [line.removesuffix("\r") for line in lines]
    weights: dict[str, int | float] = {}
    floats = False
    for number, line in enumerate(lines, 1):
        if not line:
            continue
        key, tab, written = line.partition("\t")
        if not tab:
            key, space, written = line.rpartition(" ")
            key = key.rstrip(" ")
            if not space:
                raise WordListError(
                    source, number, "no TAB or space between the key and its weight"
                )
        if not key:
            before = "TAB" if tab else "weight"
            raise WordListError(source, number, f"empty key before the {before}")
        weight: int | float
        if written.isascii() and written.isdigit():  # ASCII digits only: a whole number
            weight = int(written)
            if weight > _MAX_INT_WEIGHT:
                raise WordListError(
                    source, number, f"weight {written} is larger than {_MAX_INT_WEIGHT}"
                )
        elif _DECIMAL.fullmatch(written):
            weight = float(written)
            if math.isinf(weight):
                raise WordListError(source, number, f"weight {written} is too large for a float")
            floats = True
        else:
            raise WordListError(
                source, number, f"weight {written!r} is not a non-negative decimal number"
            )
        if keys is not None and key not in keys:
            raise WordListError(source, number, _missing(key, keys, keys_source))
        weights[key] = weight
    if floats:
        return {key: float(weight) for key, weight in weights.items()}
    return weights


def _missing(key: str, keys: Container[str], keys_source: str) -> str:
    """Why key is not one of keys, naming a lookalike of theirs."""
    message = f"key {key!r} is not in {keys_source}"
    other = lookalike(key, keys) if isinstance(keys, Iterable) else None
    return message if other is None else f"{message}, which has {other!r}"


def lookalike(key: str, keys: Iterable[str]) -> str | None:
    """A key of keys that differs from key only in spaces or case, which the
    eye misses in a message (a trailing space, a doubled one); None if none."""
    wanted = " ".join(key.split()).casefold()
    for other in keys:
        if isinstance(other, str) and " ".join(other.split()).casefold() == wanted:
            return other
    return None
