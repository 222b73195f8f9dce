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

import math
import os
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from itertools import accumulate, compress, count
from operator import not_
from typing import TYPE_CHECKING, Any, NamedTuple, cast

from . import _engine, catalog_file, indexfile
from .catalog_words import _synonyms, _Words
from .fold import FoldRule, fold_text
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


class Hit(NamedTuple):
    """One catalog hit: the item's text and payload, a score in [0, 1]
    (higher is better) and the ``(start, end)`` spans of the matched words
    in ``text``."""

    text: str
    payload: int
    score: float
    spans: list[tuple[int, int]]


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


def _plain(items: object) -> tuple[list[str], array[int]]:
    """The items' texts and payloads, checked: a list or tuple of plain
    ``str`` (the common case) in one pass over their types, anything else
    item by item."""
    if type(items) in (list, tuple):
        texts = list(cast("Sequence[object]", items))
        if len(texts) <= _MAX_PAYLOAD + 1 and {str}.issuperset(map(type, texts)):
            return cast("list[str]", texts), array("I", range(len(texts)))
    pairs = list(_items(items))
    return [text for text, _ in pairs], array("I", [payload for _, payload in pairs])


def _packed(typecode: str, values: Iterable[int]) -> bytes:
    """Numbers in the machine's byte order, as the native catalog reads them
    (the file's metadata names the order, and a reader refuses another)."""
    return array(typecode, values).tobytes()


def _encoded(texts: list[str]) -> tuple[bytes, array[int]]:
    """The texts as UTF-8, one after the other, and where each starts: all
    encoded at once, the byte lengths of only the texts past ASCII counted
    one by one."""
    joined = "".join(texts)
    try:
        encoded = joined.encode()
    except UnicodeEncodeError:
        for position, text in enumerate(texts):
            if not _encodes(text):
                raise ValueError(f"items[{position}]: the text holds a lone surrogate") from None
        raise
    lengths = list(map(len, texts))
    if len(encoded) != len(joined):
        for at in compress(count(), map(not_, map(str.isascii, texts))):
            lengths[at] = len(texts[at].encode())
    offsets = array("Q", [0])
    offsets.extend(accumulate(lengths))
    return encoded, offsets


def _encodes(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def _encoded_terms(terms: list[str]) -> tuple[bytes, bytes]:
    """The terms as UTF-8, one after the other, and where each starts (u64)."""
    joined = "".join(terms)
    if joined.isascii():
        return joined.encode("ascii"), _packed("Q", _offsets(map(len, terms)))
    encoded: list[bytes] = []
    for term in terms:
        try:
            encoded.append(term.encode())
        except UnicodeEncodeError:
            raise ValueError(f"fold made a word with a lone surrogate: {term!r}") from None
    return b"".join(encoded), _packed("Q", _offsets(map(len, encoded)))


def _offsets(lengths: Iterable[int]) -> Iterator[int]:
    yield 0
    yield from accumulate(lengths)


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

    __slots__ = ("_core", "_parts", "_words", "_floats", "_native", "__weakref__")

    _core: Any
    # Whether ASCII queries are split natively.
    _native: bool
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
        texts, payloads = _plain(items)
        weighed = None if weights is None else _weigh(weights)
        if progress is not None:
            progress(0, len(texts))
        encoded, text_off = _encoded(texts)  # refuses lone surrogates first
        terms, word_ids, word_off = words.split(texts)
        if progress is not None:
            progress(len(texts), len(texts))
        term_bytes, term_off = _encoded_terms(terms)
        parts: dict[str, Buffer] = {
            "terms": term_bytes,
            "termoff": term_off,
            "texts": encoded,
            "textoff": text_off.tobytes(),
            "payloads": payloads.tobytes(),
            "words": word_ids,
            "wordoff": word_off,
        }
        self._floats = False
        if weighed is not None:
            parts["weights"] = self._weight_codes(texts, *weighed)
        self._attach(parts, words)

    def _weight_codes(
        self, texts: list[str], names: list[str], values: list[Weight], floats: bool
    ) -> bytes:
        by_text = dict(zip(names, values, strict=True))
        known = set(texts)
        for name in by_text:
            if name not in known:
                raise ValueError(f"weights: {name!r} is not the text of an item")
        self._floats = floats
        zero: Weight = 0.0 if floats else 0
        weights = [by_text.get(text, zero) for text in texts]
        return _packed("Q", (_to_code(w) if floats else int(w) for w in weights))

    def _attach(
        self, parts: dict[str, Buffer], words: _Words, stored: Sequence[Buffer] = ()
    ) -> None:
        """Makes the native catalog: built from the parts, or read in place
        with the arrays it derived from them (``stored``, as a file has)."""
        get = parts.__getitem__
        arrays = (
            get("terms"),
            get("termoff"),
            get("texts"),
            get("textoff"),
            get("payloads"),
            parts.get("weights"),
            get("words"),
            get("wordoff"),
        )
        # Hits of ASCII texts come with their spans, found natively.
        symbols = "".join(c for c in words.characters if c.isascii()).encode("ascii")
        if stored:
            self._core = _engine.catalog_open(*arrays, symbols, *stored)
        else:
            self._core = _engine.catalog_new(*arrays, symbols)
        self._parts = parts
        self._words = words
        self._native = _engine.catalog_words(self._core, Hit, *words.ascii_rule())

    # ---- searches ------------------------------------------------------------

    def search(
        self, query: str, limit: int | None = 10, *, typos: int | str = "auto", prefix: bool = True
    ) -> list[Hit]:
        """The items that best match ``query``, best first (see the module's
        rules): query words in any order, each with the typos its length
        allows, the last one also as a prefix."""
        last = _last_is_prefix("query", query, prefix)
        fixed = _typos(typos)
        n = _count(limit)
        # An ASCII query is split natively, and its hits made there.
        found = _engine.catalog_search_text(self._core, query, fixed, last, n, MAX_QUERY_WORDS)
        if found is None:
            words, budgets = self._split(query, fixed)
            return [
                self._hit(*hit)
                for hit in _engine.catalog_search(self._core, words, budgets, last, n)
            ]
        hits, pending = found
        # Hits whose spans the engine knows are Hits already.
        return [self._hit(*hit) for hit in hits] if pending else cast("list[Hit]", hits)

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
        lasts = [_last_is_prefix("query", q, prefix) for q in batch]
        fixed = _typos(typos)
        # ASCII queries are split natively, the others here.
        native = self._native
        split = [q if native and q.isascii() else self._split(q, fixed) for q in batch]
        found, pending = _engine.catalog_search_texts(
            self._core, split, lasts, fixed, n, MAX_QUERY_WORDS, threads
        )
        if pending:
            return [[self._hit(*hit) for hit in hits] for hits in found]
        return cast("list[list[Hit]]", found)

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
        # ASCII names are split natively, on the threads, the others here;
        # or all of them as the items are: the distinct terms and each
        # name's term numbers.
        native = None
        if self._native:
            terms_of = self._words.terms
            split = [name if name.isascii() else terms_of(name)[:MAX_QUERY_WORDS] for name in batch]
            native = _engine.catalog_match_texts(
                self._core, split, MAX_QUERY_WORDS, n, cutoff, threads
            )
        if native is not None:
            found, pending = native
        else:
            terms, words, offsets = self._words.split(batch)
            found, pending = _engine.catalog_match_many(
                self._core, terms, words, offsets, MAX_QUERY_WORDS, n, cutoff, threads
            )
        # Hits whose spans the engine knows are Hits already; the names
        # listed in `pending` have others.
        for at in pending:
            found[at] = [self._hit(*hit) for hit in found[at]]
        return cast("list[list[Hit]]", found)

    def _split(self, query: str, fixed: int | None) -> tuple[list[str], list[int]]:
        """The query's terms and the typos each may have (``fixed``, or the
        "auto" rule when None)."""
        words = self._words.terms(query)[:MAX_QUERY_WORDS]
        return words, [_auto_budget(w) if fixed is None else fixed for w in words]

    def _query(
        self, what: str, query: object, typos: object, prefix: object
    ) -> tuple[list[str], list[int], bool]:
        """What the engine's word-by-word search takes for ``query``."""
        last = _last_is_prefix(what, query, prefix)
        words, budgets = self._split(query, _typos(typos))  # type: ignore[arg-type]
        return words, budgets, last

    def _name_words(self, what: str, name: object) -> list[str]:
        if not isinstance(name, str):
            raise TypeError(f"{what} must be a str, not {_kind(name)}")
        return self._words.terms(name)[:MAX_QUERY_WORDS]

    def _hit(
        self,
        text: str,
        payload: int,
        score: float,
        positions: list[tuple[int, int]] | tuple[int | None, ...],
    ) -> Hit:
        if isinstance(positions, list):  # the spans, found natively
            return Hit(text, payload, score, positions)
        spans = self._words.spans(text)
        chosen = sorted({spans[p] for p in positions if p is not None and p < len(spans)})
        return Hit(text, payload, score, chosen)

    # ---- files, pickling and equality -------------------------------------------

    def _sections(self, *, stored: bool = True) -> dict[str, Buffer]:
        return catalog_file.sections(self._parts, self._words, self._floats, self._core, stored)

    def save(self, path: StrPath) -> None:
        """Writes the catalog to ``path`` as an index file, atomically."""
        indexfile.write(path, self._sections())

    @classmethod
    def load(cls, path: StrPath, *, fold: FoldRule | None = None) -> Catalog:
        """Reads a file written by ``save``. Its arrays (the items, and the
        term trie and postings derived from them) are mapped read-only, not
        copied or derived again. A catalog built with a custom fold needs it
        again as ``fold=``. Raises OSError when the file cannot be read and
        ValueError when it is not a valid catalog file, naming the path and
        what is wrong."""
        source = os.fspath(path)
        return cls._from_sections(catalog_file.read(path), str(source), fold)

    @classmethod
    def _from_sections(
        cls, sections: Mapping[str, Buffer], source: str, fold: FoldRule | None
    ) -> Catalog:
        try:
            opened = catalog_file.opened(sections, fold)
            catalog = cls.__new__(cls)
            catalog._floats = opened.floats
            catalog._attach(opened.parts, _Words(opened.rule, opened.synonyms), opened.stored)
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
        # What the catalog derives from these is then the same too.
        mine, theirs = self._sections(stored=False), other._sections(stored=False)
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


def _auto_budget(word: str) -> int:
    n = len(word)
    return 0 if n < 3 else 1 if n < 6 else 2


def _last_is_prefix(what: str, query: object, prefix: object) -> bool:
    """Whether the query's last word is a prefix; checks both."""
    if not isinstance(query, str):
        raise TypeError(f"{what} must be a str, not {_kind(query)}")
    if not isinstance(prefix, bool):
        raise TypeError(f"prefix must be a bool, not {_kind(prefix)}")
    return prefix and not query[-1:].isspace()


def _typos(typos: object) -> int | None:
    """The typos every word may have, or None for the "auto" rule."""
    if typos == "auto":
        return None
    if isinstance(typos, str):
        raise ValueError(f"typos must be 'auto' or an int, not {typos!r}")
    fixed = _whole("typos", typos)
    if fixed < 0:
        raise ValueError(f"typos must not be negative, not {fixed}")
    return min(fixed, _engine.DISTANCE_CAP)


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
