"""``Catalog``: word-level search for names and titles (search as you type,
in any word order, with typos) and record linkage of whole names.

A catalog splits every item's text into words: maximal runs of letters,
digits and marks (Unicode general categories L, N and M). Each word is folded
(as ``Index(fold=True)`` folds, unless ``fold`` says otherwise) and replaced
by its synonym when it has one; the result is the word's *term*. The native
engine keeps each distinct term once, in a trie that it searches with typos
and as a prefix, plus the items that hold each term, and ranks there.

Search rules (``search``):

* A query word matches an item word when their terms are within the word's
  typo budget: edits are insertions, deletions, substitutions and swaps of
  two neighbouring characters, each counting one. ``typos="auto"`` allows
  none below 3 characters, 1 from 3 and 2 from 6; an int sets the same
  budget for every word.
* The last query word also matches item words that begin with something
  within its budget (search as you type), unless the query ends in a space
  or ``prefix=False``. It counts as exact when the whole word is as close as
  any of its beginnings.
* Each query word takes its best item word: fewest typos, exact before
  prefix, earliest.
* Only the items that hold the most query words are returned: those that
  hold every word when some item does, else those that hold as many as any
  item holds (at least one). They are ranked by total typos (fewer first),
  proximity (see below), prefix matches (fewer first), weight (heavier
  first), text (code-point order), payload.
* Proximity sums, over consecutive matched query words, the distance of
  their item words: the next word d places later costs d - 1, d places
  earlier (or the same word) 1 + d; each pair at most 7.
* ``score`` = (matched - f) / query words, where f in [0, 1) orders typos,
  then proximity, then prefixes: 1.0 is every word exact, in order, side by
  side; scores of different queries compare.

Linkage rules (``match``): a weighted Dice coefficient over the words. A
term weighs ln(1 + N / n) for N items of which n hold it (a word no item
holds weighs ln(1 + N)), so that common words ("inc", "the") count little. A
name's word and an item's word pair off when their terms are equal
(similarity 1) or within the "auto" budget of the name's word (similarity
1 - typos / longer length), greedily, most similar and heaviest first. The
score is the paired weight, counted on both sides and times the similarity,
over the weight of all the words of both: a missing or extra word costs its
weight once, a wrong word (one unpaired on each side) twice. The default
cutoff, ``MATCH_CUTOFF`` = 0.6, sits between the scores of two telling
cases for words of equal weight: one wrong word out of three (2 * 2 / 6 =
0.67, the same entity with a word changed) passes, one wrong word out of two
(2 * 1 / 4 = 0.5, two entities that share a word) does not; a dropped word
out of three (2 * 2 / 5 = 0.8) passes easily.
"""

from __future__ import annotations

import json
import math
import mmap
import os
import re
import sys
import unicodedata
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping
from itertools import accumulate
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _engine, indexfile
from .fold import FoldRule, apply, fold_text
from .index import (
    _COUNT_CAP,
    Weight,
    _fold_rule,
    _kind,
    _limit,
    _texts,
    _threads,
    _to_code,
    _weigh,
    _whole,
)
from .storage import StrPath

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["MATCH_CUTOFF", "MAX_QUERY_WORDS", "Catalog", "Hit"]

#: The default ``score_cutoff`` of ``match``.
MATCH_CUTOFF = 0.6
#: Words of a query past this many are ignored (bounds a query's work).
MAX_QUERY_WORDS = 64
_MAX_PAYLOAD = 0xFFFFFFFF
_FORMAT = 1


class Hit(NamedTuple):
    """One catalog hit: the item's text and payload, a score in [0, 1]
    (higher is better) and the ``(start, end)`` spans of the matched words
    in ``text``."""

    text: str
    payload: int
    score: float
    spans: list[tuple[int, int]]


# Letters, digits and marks: "[^\W_]" is every letter and digit (and
# nothing else: str.isalnum() is a subset of categories L and N), marks are
# added as a class of their own, only for texts that hold a character outside
# ASCII (matching that class is slower).
_FAST_WORD = "[^\\W_]+"
_marks: str | None = None


def _mark_class() -> str:
    """A regular-expression class of the letters, digits and marks that
    "[^\\W_]" leaves out (the marks, and no letter or digit in practice)."""
    global _marks
    if _marks is None:
        word = re.compile(_FAST_WORD)
        ranges: list[str] = []
        start = None
        for code in range(0x80, sys.maxunicode + 2):
            ch = chr(code) if code <= sys.maxunicode else ""
            inside = bool(ch) and unicodedata.category(ch)[0] in "LNM" and not word.match(ch)
            if inside and start is None:
                start = code
            elif not inside and start is not None:
                ranges.append(f"{re.escape(chr(start))}-{re.escape(chr(code - 1))}")
                start = None
        _marks = "[" + "".join(ranges) + "]"
    return _marks


# Between the texts of a catalog split in one go.
_SEPARATOR = "\x00"
# A word left out (the native splitter's number for it).
_DROPPED = 0xFFFFFFFF


class _Words:
    """How texts become terms: the tokenizer, the fold and the synonyms."""

    __slots__ = ("characters", "symbols", "fast", "exact", "rule", "synonyms", "memo")

    def __init__(self, rule: FoldRule | None, synonyms: dict[str, str]) -> None:
        self.characters = [
            s for s in sorted(synonyms) if len(s) == 1 and unicodedata.category(s)[0] not in "LNM"
        ]
        self.symbols = [re.escape(s) for s in self.characters]
        self.fast = re.compile("|".join([_FAST_WORD, *self.symbols]))
        self.exact: re.Pattern[str] | None = None
        self.rule = rule
        self.synonyms = synonyms
        self.memo: dict[str, str] = {}

    def pattern(self, text: str, *extra: str) -> re.Pattern[str]:
        """The tokenizer for ``text``, with ``extra`` alternatives."""
        if text.isascii():
            return re.compile("|".join([_FAST_WORD, *self.symbols, *extra])) if extra else self.fast
        if self.exact is None or extra:
            word = f"(?:[^\\W_]|(?![\\x00-\\x7f]){_mark_class()})+"
            exact = re.compile("|".join([word, *self.symbols, *extra]))
            if extra:
                return exact
            self.exact = exact
        return self.exact

    def term(self, word: str) -> str:
        term = self.memo.get(word)
        if term is None:
            term = word if self.rule is None else apply(self.rule, word, repr(word))
            seen = {term}
            while term in self.synonyms:
                term = self.synonyms[term]
                if term in seen:
                    break
                seen.add(term)
            if len(self.memo) < 1 << 20:
                self.memo[word] = term
        return term

    def terms(self, text: str) -> list[str]:
        found = [self.term(w) for w in self.pattern(text).findall(text)]
        return [t for t in found if t]

    def spans(self, text: str) -> list[tuple[int, int]]:
        """The spans of the words of ``text`` that have a term, in order."""
        return [m.span() for m in self.pattern(text).finditer(text) if self.term(m.group())]

    def split(self, texts: list[str]) -> tuple[list[str], bytes, bytes]:
        """The terms of ``texts``, numbered by first appearance, and each
        text's term numbers (u32 words, and u64 offsets of each text's)."""
        blob = _SEPARATOR.join(texts)
        if blob.count(_SEPARATOR) != len(texts) - 1 or _SEPARATOR in self.synonyms:
            return self._split_each(texts)
        if all(c.isascii() for c in self.characters):
            natively = self._split_natively(blob)
            if natively is not None:
                return natively
        tokens = self.pattern(blob, _SEPARATOR).findall(blob)
        ids: dict[str, int] = {}
        number: dict[str, int] = {}
        cut = 0xFFFFFFFF
        for token in dict.fromkeys(tokens):
            term = self.term(token) if token != _SEPARATOR else None
            if term == "":
                return self._split_each(texts)
            number[token] = cut if term is None else ids.setdefault(term, len(ids))
        numbered = list(map(number.__getitem__, tokens))
        cuts = [at for at, n in enumerate(numbered) if n == cut]
        words = array("I", filter(cut.__ne__, numbered))
        offsets = array("Q", [0])
        offsets.extend(at - k for k, at in enumerate(cuts))
        offsets.append(len(words))
        return list(ids), words.tobytes(), offsets.tobytes()

    def _split_natively(self, blob: str) -> tuple[list[str], bytes, bytes] | None:
        """split, the words found natively: runs of ASCII letters and digits
        and of other characters, which are then sorted out here (each such
        run once): letters, digits and marks only make a word, no letter,
        digit or mark none; None for any other mix (the pattern splits it)."""
        symbols = "".join(self.characters).encode("ascii")
        found, words, offsets = _engine.catalog_split(
            blob.encode("utf-8"), _SEPARATOR.encode("ascii"), symbols
        )
        ids: dict[str, int] = {}
        table = array("I")
        for word in found:
            if not word.isascii():
                inside = [unicodedata.category(c)[0] in "LNM" for c in word]
                if not any(inside):
                    table.append(_DROPPED)
                    continue
                if not all(inside):
                    return None
            term = self.term(word)
            table.append(ids.setdefault(term, len(ids)) if term else _DROPPED)
        words, offsets = _engine.catalog_renumber(words, offsets, table.tobytes())
        return list(ids), words, offsets

    def _split_each(self, texts: list[str]) -> tuple[list[str], bytes, bytes]:
        ids: dict[str, int] = {}
        number = ids.setdefault
        words, offsets = array("I"), array("Q", [0])
        for text in texts:
            words.extend([number(t, len(ids)) for t in self.terms(text)])
            offsets.append(len(words))
        return list(ids), words.tobytes(), offsets.tobytes()


def _synonyms(synonyms: object, rule: FoldRule | None) -> dict[str, str]:
    if synonyms is None:
        return {}
    if not isinstance(synonyms, Mapping):
        raise TypeError(f"synonyms must be a mapping of word to word, not {_kind(synonyms)}")
    out: dict[str, str] = {}
    for key, value in synonyms.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"synonyms must map str to str, not {_kind(key)} to {_kind(value)}")
        if not key or not value:
            raise ValueError(f"synonyms: {key!r} -> {value!r} has an empty word")
        folded = [t if rule is None else apply(rule, t, "synonyms") for t in (key, value)]
        out[folded[0]] = folded[1]
    return out


def _items(items: object) -> Iterator[tuple[str, int]]:
    """(text, payload) per item, checked."""
    if isinstance(items, str):
        raise TypeError("items must be an iterable of texts or (text, payload) pairs, not a str")
    source: Iterable[Any]
    if isinstance(items, Mapping):
        source = items.items()
    else:
        try:
            source = iter(items)  # type: ignore[call-overload]
        except TypeError:
            raise TypeError(f"items must be iterable, not {_kind(items)}") from None
    for position, item in enumerate(source):
        if isinstance(item, str):
            text, payload = item, position
        elif isinstance(item, tuple) and len(item) == 2:
            text, payload = item
            if not isinstance(text, str):
                raise TypeError(f"items[{position}]: a text must be a str, not {_kind(text)}")
            payload = _whole(f"items[{position}]: the payload", payload)
        else:
            raise TypeError(
                f"items[{position}] must be a str or a (text, payload) pair, not {_kind(item)}"
            )
        if not 0 <= payload <= _MAX_PAYLOAD:
            raise ValueError(f"items[{position}]: payload must be in [0, 2**32 - 1], not {payload}")
        yield text, payload


def _packed(typecode: str, values: Iterable[int]) -> bytes:
    """Numbers in the machine's byte order, as the native catalog reads them
    (the file's metadata names the order, and a reader refuses another)."""
    return array(typecode, values).tobytes()


def _encoded(texts: list[str]) -> tuple[bytes, array[int]]:
    """The texts as UTF-8, one after the other, and where each starts."""
    offsets = array("Q", [0])
    joined = "".join(texts)
    if joined.isascii():
        offsets.extend(accumulate(map(len, texts)))
        return joined.encode("ascii"), offsets
    chunks = []
    for position, text in enumerate(texts):
        try:
            chunks.append(text.encode())
        except UnicodeEncodeError:
            raise ValueError(f"items[{position}]: the text holds a lone surrogate") from None
    offsets.extend(accumulate(map(len, chunks)))
    return b"".join(chunks), offsets


def _offsets(lengths: Iterable[int]) -> Iterator[int]:
    yield 0
    yield from accumulate(lengths)


# Sections of an index file that hold a catalog: the metadata, then the
# arrays that the native catalog reads in place.
_ARRAYS = ("terms", "termoff", "texts", "textoff", "payloads", "weights", "words", "wordoff")
_PREFIX = "cat."


class Catalog:
    """Items (names, titles) searched word by word: see the module's rules.

    ``items``: texts (the payload of each is its position), a mapping of text
    to payload, or (text, payload) pairs; payloads are ints from 0 to
    2**32 - 1. The same text may come with several payloads: each is an item
    of its own. ``weights`` maps a text to its weight (an int up to
    2**64 - 1 or a non-negative float; 0 when not given), as for ``Index``:
    heavier items rank first among equals. ``fold``: True (the built-in
    fold), False, or a ``str -> str`` function applied to every word.
    ``synonyms`` maps a word to its equivalent, on both the items' and the
    queries' side (``{"inc": "incorporated", "&": "and"}``); a single
    character that is not a letter, digit or mark is a word when it is a
    synonym. ``progress(done, total)`` is called now and then while the
    items are split.
    """

    __slots__ = ("_core", "_parts", "_words", "_floats", "__weakref__")

    _core: Any
    _parts: dict[str, Buffer]
    _words: _Words
    _floats: bool

    def __init__(
        self,
        items: Mapping[str, int] | Iterable[str | tuple[str, int]],
        *,
        weights: Mapping[str, Weight] | None = None,
        fold: bool | FoldRule = True,
        synonyms: Mapping[str, str] | None = None,
        progress: Callable[[int, int], None] | None = None,
    ) -> None:
        rule = _fold_rule(fold)
        words = _Words(rule, _synonyms(synonyms, rule))
        pairs = list(_items(items))
        weighed = None if weights is None else _weigh(weights)
        texts = [text for text, _ in pairs]
        if progress is not None:
            progress(0, len(pairs))
        encoded, text_off = _encoded(texts)  # refuses lone surrogates first
        terms, word_ids, word_off = words.split(texts)
        if progress is not None:
            progress(len(pairs), len(pairs))
        encoded_terms: list[bytes] = []
        for term in terms:
            try:
                encoded_terms.append(term.encode())
            except UnicodeEncodeError:
                raise ValueError(f"fold made a word with a lone surrogate: {term!r}") from None
        parts: dict[str, Buffer] = {
            "terms": b"".join(encoded_terms),
            "termoff": _packed("Q", _offsets(len(t) for t in encoded_terms)),
            "texts": encoded,
            "textoff": text_off.tobytes(),
            "payloads": _packed("I", (payload for _, payload in pairs)),
            "words": word_ids,
            "wordoff": word_off,
        }
        self._floats = False
        if weighed is not None:
            parts["weights"] = self._weight_codes(pairs, *weighed)
        self._attach(parts, words)

    def _weight_codes(
        self, pairs: list[tuple[str, int]], names: list[str], values: list[Weight], floats: bool
    ) -> bytes:
        by_text = dict(zip(names, values, strict=True))
        texts = {text for text, _ in pairs}
        for name in by_text:
            if name not in texts:
                raise ValueError(f"weights: {name!r} is not the text of an item")
        self._floats = floats
        zero: Weight = 0.0 if floats else 0
        weights = [by_text.get(text, zero) for text, _ in pairs]
        return _packed("Q", (_to_code(w) if floats else int(w) for w in weights))

    def _attach(self, parts: dict[str, Buffer], words: _Words) -> None:
        get = parts.__getitem__
        self._core = _engine.catalog_new(
            get("terms"),
            get("termoff"),
            get("texts"),
            get("textoff"),
            get("payloads"),
            parts.get("weights"),
            get("words"),
            get("wordoff"),
        )
        self._parts = parts
        self._words = words

    # ---- searches ------------------------------------------------------------

    def search(
        self, query: str, limit: int | None = 10, *, typos: int | str = "auto", prefix: bool = True
    ) -> list[Hit]:
        """The items that best match ``query``, best first (see the module's
        rules): query words in any order, each with the typos its length
        allows, the last one also as a prefix."""
        words, budgets, last = self._query("query", query, typos, prefix)
        found = _engine.catalog_search(self._core, words, budgets, last, _count(limit))
        return [self._hit(*hit) for hit in found]

    def search_many(
        self,
        queries: Iterable[str],
        limit: int | None = 10,
        *,
        typos: int | str = "auto",
        prefix: bool = True,
        workers: int | None = None,
    ) -> list[list[Hit]]:
        """``search`` for every query, on ``workers`` native threads that run
        without the interpreter's lock (None: one per core); one list per
        query, in order."""
        batch = _texts("queries", queries)
        threads, n = _threads(workers), _count(limit)
        split = [self._query(f"queries[{i}]", q, typos, prefix) for i, q in enumerate(batch)]
        found = _engine.catalog_search_many(
            self._core,
            [s[0] for s in split],
            [s[1] for s in split],
            [s[2] for s in split],
            n,
            threads,
        )
        return [[self._hit(*hit) for hit in hits] for hits in found]

    def match(
        self, name: str, *, limit: int | None = 1, score_cutoff: float | None = None
    ) -> list[Hit]:
        """The items most similar to the whole ``name``, best first, those
        scoring at least ``score_cutoff`` (None: ``MATCH_CUTOFF``): for record
        linkage (see the module's rules)."""
        words = self._name_words("name", name)
        cutoff, n = _cutoff(score_cutoff), _count(limit)
        return [self._hit(*hit) for hit in _engine.catalog_match(self._core, words, n, cutoff)]

    def match_many(
        self,
        names: Iterable[str],
        *,
        limit: int | None = 1,
        score_cutoff: float | None = None,
        workers: int | None = None,
    ) -> list[list[Hit]]:
        """``match`` for every name, on native threads; one list per name."""
        batch = _texts("names", names)
        threads, cutoff, n = _threads(workers), _cutoff(score_cutoff), _count(limit)
        words = [self._name_words(f"names[{i}]", name) for i, name in enumerate(batch)]
        found = _engine.catalog_match_many(self._core, words, n, cutoff, threads)
        return [[self._hit(*hit) for hit in hits] for hits in found]

    def _query(
        self, what: str, query: object, typos: object, prefix: object
    ) -> tuple[list[str], list[int], bool]:
        if not isinstance(query, str):
            raise TypeError(f"{what} must be a str, not {_kind(query)}")
        if not isinstance(prefix, bool):
            raise TypeError(f"prefix must be a bool, not {_kind(prefix)}")
        fixed = None
        if typos != "auto":
            if isinstance(typos, str):
                raise ValueError(f"typos must be 'auto' or an int, not {typos!r}")
            fixed = _whole("typos", typos)
            if fixed < 0:
                raise ValueError(f"typos must not be negative, not {fixed}")
            fixed = min(fixed, _engine.DISTANCE_CAP)
        words = self._words.terms(query)[:MAX_QUERY_WORDS]
        budgets = [_auto_budget(w) if fixed is None else fixed for w in words]
        return words, budgets, prefix and not query[-1:].isspace()

    def _name_words(self, what: str, name: object) -> list[str]:
        if not isinstance(name, str):
            raise TypeError(f"{what} must be a str, not {_kind(name)}")
        return self._words.terms(name)[:MAX_QUERY_WORDS]

    def _hit(self, text: str, payload: int, score: float, positions: tuple[int | None, ...]) -> Hit:
        spans = self._words.spans(text)
        chosen = sorted({spans[p] for p in positions if p is not None and p < len(spans)})
        return Hit(text, payload, score, chosen)

    # ---- files, pickling and equality -------------------------------------------
    #
    # A catalog is kept as an index file (see indexfile.py) whose sections are
    # "cat.meta" (JSON: format, byte order, fold, synonyms, weight kind) and
    # one "cat.<name>" per native array, which a reader maps and hands to the
    # native catalog in place. Pickles go through the same sections.

    def _sections(self) -> dict[str, Buffer]:
        rule = self._words.rule
        meta = {
            "format": _FORMAT,
            "byteorder": sys.byteorder,
            "fold": "none" if rule is None else "builtin" if rule is fold_text else "custom",
            "synonyms": self._words.synonyms,
            "floats": self._floats,
        }
        sections: dict[str, Buffer] = {_PREFIX + "meta": json.dumps(meta).encode()}
        for name, body in self._parts.items():
            sections[_PREFIX + name] = body
        return sections

    def save(self, path: StrPath) -> None:
        """Writes the catalog to ``path`` as an index file, atomically."""
        indexfile.write(path, self._sections())

    @classmethod
    def load(cls, path: StrPath, *, fold: FoldRule | None = None) -> Catalog:
        """Reads a file written by ``save``. Its arrays are mapped read-only,
        not copied. A catalog built with a custom fold needs it again as
        ``fold=``. Raises OSError when the file cannot be read and ValueError
        when it is not a valid catalog file, naming the path and what is
        wrong."""
        source = os.fspath(path)
        with open(path, "rb") as stream:
            if not indexfile.is_index_file(stream.read(len(indexfile.MAGIC))):
                raise ValueError(f"{source}: not a catalog file")
            data: Buffer
            try:
                data = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):  # an empty file or one that cannot be mapped
                stream.seek(0)
                data = stream.read()
        return cls._from_sections(indexfile.decode(data, str(source)), str(source), fold)

    @classmethod
    def _from_sections(
        cls, sections: Mapping[str, Buffer], source: str, fold: FoldRule | None
    ) -> Catalog:
        meta_body = sections.get(_PREFIX + "meta")
        if meta_body is None:
            raise ValueError(f"{source}: not a catalog file (no {_PREFIX + 'meta'!r} section)")
        parts: dict[str, Buffer] = {}
        for name, body in sections.items():
            short = name[len(_PREFIX) :] if name.startswith(_PREFIX) else None
            if short in _ARRAYS:
                parts[short] = body
            elif name != _PREFIX + "meta" and not indexfile.is_optional(name):
                raise ValueError(f"{source}: section {name!r} is not known to this version")
        try:
            meta = json.loads(bytes(meta_body))
            rule, synonyms, floats = _read_meta(meta, fold)
            missing = [n for n in _ARRAYS if n not in parts and n != "weights"]
            if missing:
                raise ValueError(f"the catalog has no {_PREFIX + missing[0]!r} section")
            catalog = cls.__new__(cls)
            catalog._floats = floats
            catalog._attach(parts, _Words(rule, synonyms))
        except (ValueError, TypeError, KeyError) as error:
            raise ValueError(f"{source}: {error}") from None
        return catalog

    def __reduce__(self) -> tuple[Callable[..., Catalog], tuple[bytes, FoldRule | None]]:
        rule = self._words.rule
        custom = None if rule is None or rule is fold_text else rule
        return _unpickle, (indexfile.encode(self._sections()), custom)

    def __eq__(self, other: object) -> bool:
        """Equal to a catalog with the same items, weights, fold and synonyms."""
        if not isinstance(other, Catalog):
            return NotImplemented
        if self is other:
            return True
        if self._words.rule is not other._words.rule:
            return False
        mine, theirs = self._sections(), other._sections()
        return mine.keys() == theirs.keys() and all(
            bytes(mine[name]) == bytes(theirs[name]) for name in mine
        )

    __hash__ = None  # type: ignore[assignment]

    def __len__(self) -> int:
        return len(memoryview(self._parts["payloads"])) // 4

    def __repr__(self) -> str:
        return f"<morlatch.Catalog of {len(self)} items>"

    @property
    def fold(self) -> FoldRule | None:
        """The folding rule (``morlatch.fold_text`` for ``fold=True``), or None."""
        return self._words.rule

    @property
    def nbytes(self) -> int:
        """Bytes held: the arrays (mapped or not) and the native term trie
        and postings."""
        held = sum(memoryview(body).nbytes for body in self._parts.values())
        return held + _engine.catalog_info(self._core)[2]


def _unpickle(data: bytes, fold: FoldRule | None = None) -> Catalog:
    return Catalog._from_sections(indexfile.decode(data, "<pickle>"), "<pickle>", fold)


def _read_meta(meta: object, fold: FoldRule | None) -> tuple[FoldRule | None, dict[str, str], bool]:
    if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
        raise ValueError("the catalog's format is not known to this version")
    if meta.get("byteorder") != sys.byteorder:
        raise ValueError(f"the catalog was written on a {meta.get('byteorder')}-endian machine")
    kind = meta.get("fold")
    if fold is not None and not callable(fold):
        raise TypeError(f"fold must be a callable str -> str, not {_kind(fold)}")
    if kind == "custom":
        if fold is None:
            raise ValueError(
                "the catalog was built with a custom fold, which is not saved: "
                "pass it again as Catalog.load(path, fold=...)"
            )
        rule: FoldRule | None = fold
    elif kind in ("builtin", "none"):
        if fold is not None:
            raise ValueError("the catalog was built without a custom fold")
        rule = fold_text if kind == "builtin" else None
    else:
        raise ValueError("the catalog's fold is not known to this version")
    synonyms = meta.get("synonyms")
    if not isinstance(synonyms, dict) or not all(
        isinstance(k, str) and isinstance(v, str) and k and v for k, v in synonyms.items()
    ):
        raise ValueError("the catalog's synonyms are malformed")
    floats = meta.get("floats")
    if not isinstance(floats, bool):
        raise ValueError("the catalog's weight kind is malformed")
    return rule, synonyms, floats


def _auto_budget(word: str) -> int:
    n = len(word)
    return 0 if n < 3 else 1 if n < 6 else 2


def _count(limit: object) -> int:
    n = _limit(limit)
    return _COUNT_CAP if n is None else n


def _cutoff(value: object) -> float:
    if value is None:
        return MATCH_CUTOFF
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"score_cutoff must be a float, not {_kind(value)}")
    number = float(value)
    if math.isnan(number):
        raise ValueError("score_cutoff must be a number, not NaN")
    return number
