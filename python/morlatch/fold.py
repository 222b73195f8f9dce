"""Folding keys and queries to a common form before they are compared.

``fold_text`` is the built-in rule of ``Index(..., fold=True)``: Unicode case
folding and the removal of nonspacing marks after canonical decomposition, so
that "Résumé", "RESUME" and "resume" compare alike. A folded index lays out the
folded forms as its trie (payload = the number of the form) and keeps here, per
form, the keys as given with their payloads and weights.
"""

from __future__ import annotations

import struct
import sys
import unicodedata
from array import array
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from itertools import accumulate, groupby
from operator import itemgetter

__all__ = ["FoldRule", "UNICODE_VERSION", "fold_text"]

#: The Unicode version of the running interpreter's ``unicodedata``, which
#: the built-in rule follows.
UNICODE_VERSION: str = unicodedata.unidata_version

FoldRule = Callable[[str], str]


def fold_text(text: str) -> str:
    """The built-in fold: NFC(remove Mn(NFD(casefold(NFD(text))))).

    Case folding is ``str.casefold`` (full case folding); the marks removed
    are the characters of general category Mn (nonspacing marks: accents,
    diacritics); the final NFC recomposes what decomposition split apart
    without being a mark (Hangul syllables). ASCII text is simply lowercased,
    which is the same.
    """
    if text.isascii():
        return text.lower()
    decomposed = unicodedata.normalize("NFD", unicodedata.normalize("NFD", text).casefold())
    kept = "".join(ch for ch in decomposed if unicodedata.category(ch) != "Mn")
    return unicodedata.normalize("NFC", kept)


def apply(rule: FoldRule, text: str, what: str) -> str:
    """``rule(text)``, which must be a str; what names the text in errors.
    An exception the rule raises propagates unchanged."""
    return _checked(rule(text), what)


def _checked(folded: object, what: str) -> str:
    if not isinstance(folded, str):
        raise TypeError(f"fold must return a str, not {type(folded).__name__!r} (for {what})")
    return folded


@dataclass(frozen=True, slots=True)
class Groups:
    """The keys of a folded index, grouped by folded form.

    Form number g (the payload of its trie node) owns the positions
    starts[g]:starts[g + 1] of ``keys``, ``payloads`` and ``weights``; forms
    are numbered in code-point order, the keys of one form too.
    """

    keys: list[str]
    payloads: list[int]
    starts: array[int]
    weights: list[int] | list[float] | None

    def members(self, group: int) -> range:
        return range(self.starts[group], self.starts[group + 1])

    def find(self, group: int, key: str) -> int | None:
        for i in self.members(group):
            if self.keys[i] == key:
                return i
        return None

    def items(self, groups: Iterator[tuple[str, int]]) -> Iterator[tuple[str, int]]:
        keys, payloads = self.keys, self.payloads
        for _, group in groups:
            for i in self.members(group):
                yield keys[i], payloads[i]


def group(table: dict[str, int], rule: FoldRule) -> tuple[dict[str, int], Groups]:
    """Folds every key of ``table`` (key -> payload) and groups them.

    Returns the trie's table (folded form -> form number) and the groups.
    Raises ValueError naming the key when a form is empty or not valid text.
    """
    keys = list(table)
    folded = list(map(rule, keys))  # an exception the rule raises propagates unchanged
    if not all(isinstance(form, str) and form for form in folded):
        for key, form in zip(keys, folded, strict=True):
            if not _checked(form, f"key {key!r}"):
                raise ValueError(f"key {key!r} folds to the empty string")
    try:
        "".join(folded).encode("utf-8")
    except UnicodeEncodeError:
        for key, form in zip(keys, folded, strict=True):
            try:
                form.encode("utf-8")
            except UnicodeEncodeError as error:
                raise ValueError(
                    f"key {key!r} folds to {form!r}, which is not valid text ({error.reason})"
                ) from None
    # Sorted by (form, key): tuples compare natively, much faster than a key
    # function per item on large tables.
    pairs = sorted(zip(folded, keys, strict=True))
    del folded
    order = [key for _, key in pairs]
    # Forms are numbered in order; each starts where its first key stands.
    runs = [(form, len(list(run))) for form, run in groupby(pairs, key=itemgetter(0))]
    del pairs
    forms = {form: number for number, (form, _) in enumerate(runs)}
    starts = array("Q", accumulate((size for _, size in runs), initial=0))
    return forms, Groups(order, [table[key] for key in order], starts, None)


# ---- the "fold" section of an index file --------------------------------------
#
#   rule name (b"unicode <version>" or b"custom"), b"\n"
#   u64 key count N, u64 form count G
#   u32 payload * N, u64 start * (G + 1), u32 UTF-8 length * N, the keys' UTF-8

_COUNTS = struct.Struct("<QQ")


def encode_groups(groups: Groups, custom: bool) -> bytes:
    name = b"custom" if custom else b"unicode " + UNICODE_VERSION.encode("ascii")
    encoded = [key.encode("utf-8") for key in groups.keys]
    lengths = array("I", map(len, encoded))
    payloads = array("I", groups.payloads)
    starts = array("Q", groups.starts)
    for part in (lengths, payloads, starts):
        if sys.byteorder == "big":
            part.byteswap()
    return b"".join(
        [
            name + b"\n",
            _COUNTS.pack(len(groups.keys), len(groups.starts) - 1),
            payloads.tobytes(),
            starts.tobytes(),
            lengths.tobytes(),
            *encoded,
        ]
    )


def decode_groups(data: bytes) -> tuple[bool, Groups]:
    """(whether the rule was custom, the groups); ValueError when malformed."""
    end = data.find(b"\n")
    name = data[:end] if end >= 0 else b""
    if name != b"custom" and not name.startswith(b"unicode "):
        raise ValueError("the 'fold' section names no known folding rule")
    at = end + 1
    try:
        count, forms = _COUNTS.unpack_from(data, at)
        at += _COUNTS.size
        payloads = array("I")
        payloads.frombytes(data[at : at + 4 * count])
        at += 4 * count
        starts = array("Q")
        starts.frombytes(data[at : at + 8 * (forms + 1)])
        at += 8 * (forms + 1)
        lengths = array("I")
        lengths.frombytes(data[at : at + 4 * count])
        at += 4 * count
        for part in (lengths, payloads, starts):
            if sys.byteorder == "big":
                part.byteswap()
        keys = []
        for length in lengths:
            keys.append(data[at : at + length].decode("utf-8"))
            at += length
    except (struct.error, ValueError, UnicodeDecodeError):
        raise ValueError("the 'fold' section is malformed") from None
    if (
        at != len(data)
        or len(keys) != count
        or len(starts) != forms + 1
        or starts[0] != 0
        or starts[-1] != count
        or any(a >= b for a, b in zip(starts, starts[1:], strict=False))
    ):
        raise ValueError("the 'fold' section is malformed")
    return name == b"custom", Groups(keys, list(payloads), starts, None)
