"""``Index``: a read-only mapping of key to payload with ranked fuzzy search,
typo-tolerant completion and listing by prefix, on the native engine."""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator, Mapping
from typing import NamedTuple, TypeVar, overload

from _morlatch import PrefixSearch

from . import _engine
from .builder import Keys, Progress, build
from .storage import StrPath, load, save

__all__ = ["Index", "Match", "layout_info"]

# Counts past this change nothing (no index is that large) and keep the
# numbers within the engine's 64 bits; distances are capped as the engine does.
_COUNT_CAP = 1 << 62

_T = TypeVar("_T")


class Match(NamedTuple):
    """One hit: the key, its payload and its edit distance to the query."""

    key: str
    payload: int
    distance: int


class Index:
    """A read-only mapping from key to payload, around one ``PrefixSearch``.

    ``Index(keys)`` accepts what ``morlatch.build`` accepts. Keys iterate in
    code-point order. Besides the mapping operations it offers ranked fuzzy
    search (``search``), typo-tolerant completion (``complete``), batches on
    native threads (``search_many``) and the keys under a prefix (``keys``,
    ``items``, ``values``).
    """

    __slots__ = ("_search", "_count")

    _search: PrefixSearch
    _count: int

    def __init__(self, keys: Keys, *, progress: Progress | None = None) -> None:
        self._attach(build(keys, progress=progress))

    @classmethod
    def from_prefix_search(cls, search: PrefixSearch) -> Index:
        """An index over an existing ``PrefixSearch`` (shared, not copied).

        Raises ValueError when its arrays are not a well-formed trie (every
        node reached once from the root, children in ascending code-point
        order), as ``morlatch.build`` always makes them.
        """
        if not isinstance(search, PrefixSearch):
            raise TypeError(f"search must be a PrefixSearch, not {_kind(search)}")
        index = cls.__new__(cls)
        index._attach(search)
        return index

    @classmethod
    def load(cls, path: StrPath) -> Index:
        """Reads a file written by ``save`` (or ``morlatch.save``)."""
        return cls.from_prefix_search(load(path))

    def save(self, path: StrPath) -> None:
        """Writes the trie to ``path`` atomically, as ``morlatch.save`` does."""
        save(self._search, path)

    def _attach(self, search: PrefixSearch) -> None:
        self._count = _engine.key_count(search)
        self._search = search

    @property
    def prefix_search(self) -> PrefixSearch:
        """The ``PrefixSearch`` this index reads."""
        return self._search

    # ---- mapping -----------------------------------------------------------

    def __len__(self) -> int:
        return self._count

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self._search.exact_match(key) is not None

    def __getitem__(self, key: str) -> int:
        hit = self._search.exact_match(key) if isinstance(key, str) else None
        if hit is None:
            raise KeyError(key)
        return hit[1]

    @overload
    def get(self, key: str, /) -> int | None: ...
    @overload
    def get(self, key: str, default: int | _T, /) -> int | _T: ...
    def get(self, key: str, default: object = None, /) -> object:
        hit = self._search.exact_match(key) if isinstance(key, str) else None
        return default if hit is None else hit[1]

    def __iter__(self) -> Iterator[str]:
        return self.keys()

    def keys(self, prefix: str = "") -> Iterator[str]:
        """The keys that start with ``prefix``, lazily, in code-point order."""
        return _engine.keys(self._search, _text("prefix", prefix), False)

    def items(self, prefix: str = "") -> Iterator[tuple[str, int]]:
        """``(key, payload)`` for the keys that start with ``prefix``, lazily."""
        return _engine.keys(self._search, _text("prefix", prefix), True)

    def values(self, prefix: str = "") -> Iterator[int]:
        """The payloads of the keys that start with ``prefix``, in key order."""
        return (payload for _, payload in self.items(prefix))

    def __repr__(self) -> str:
        return f"<morlatch.Index of {self._count} keys>"

    # ---- searches ------------------------------------------------------------

    def search(
        self,
        query: str,
        max_dist: int = 2,
        *,
        limit: int | None = None,
        transpositions: bool = False,
    ) -> list[Match]:
        """The keys within ``max_dist`` edits of ``query``, closest first.

        Ranked by (distance, key in code-point order); ``limit=N`` returns the
        N best. An edit inserts, deletes or replaces one character; with
        ``transpositions=True`` swapping two adjacent characters is one edit
        too (optimal string alignment).
        """
        return _engine.search(
            self._search,
            _text("query", query),
            _distance(max_dist),
            _limit(limit),
            _flag("transpositions", transpositions),
            Match,
        )

    def complete(
        self,
        prefix: str,
        max_dist: int = 0,
        *,
        limit: int | None = 10,
        transpositions: bool = False,
    ) -> list[Match]:
        """The keys that begin with some string within ``max_dist`` edits of
        ``prefix`` (typo-tolerant completion).

        Ranked by (distance of the best-matching beginning, key length, key in
        code-point order); each ``Match`` carries that distance. ``limit=None``
        returns them all.
        """
        return _engine.complete(
            self._search,
            _text("prefix", prefix),
            _distance(max_dist),
            _limit(limit),
            _flag("transpositions", transpositions),
            Match,
        )

    def search_many(
        self,
        queries: Iterable[str],
        max_dist: int,
        *,
        limit: int | None = None,
        transpositions: bool = False,
        workers: int | None = None,
    ) -> list[list[Match]]:
        """``search`` for every query, on ``workers`` native threads that run
        without the interpreter's lock (None: one per core); one result list
        per query, in order."""
        if isinstance(queries, str):
            raise TypeError("queries must be an iterable of str, not a single str")
        try:
            batch = list(queries)
        except TypeError:
            raise TypeError(f"queries must be an iterable of str, not {_kind(queries)}") from None
        for position, query in enumerate(batch):
            if not isinstance(query, str):
                raise TypeError(f"queries[{position}] must be a str, not {_kind(query)}")
        if workers is not None:
            workers = _whole("workers", workers)
            if workers < 1:
                raise ValueError(f"workers must be at least 1, not {workers}")
        return _engine.search_many(
            self._search,
            batch,
            _distance(max_dist),
            _limit(limit),
            _flag("transpositions", transpositions),
            0 if workers is None else min(workers, 1 << 16),
            Match,
        )


Mapping.register(Index)


def layout_info(search: PrefixSearch) -> dict[str, int | float | bool]:
    """What a well-formed ``search`` holds: ``nodes``, ``keys``, ``bytes`` (its
    arrays, search layout and, once built, reverse index), ``arrays_kept``
    (False when the layout reproduces the arrays, as for the builder's), and
    whether and in how many seconds the reverse index was built
    (``reverse_index_built``, ``reverse_index_seconds``). The reverse index is
    built by the first search that profits from it.

    Raises ValueError when the trie's arrays are not well formed.
    """
    if not isinstance(search, PrefixSearch):
        raise TypeError(f"search must be a PrefixSearch, not {_kind(search)}")
    return _engine.layout_info(search)


def _kind(value: object) -> str:
    return repr(type(value).__name__)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {_kind(value)}")
    return value


def _whole(name: str, value: object) -> int:
    if type(value) is int:
        return value
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            pass
    raise TypeError(f"{name} must be an int, not {_kind(value)}")


def _distance(value: object) -> int:
    number = _whole("max_dist", value)
    if number < 0:
        raise ValueError(f"max_dist must not be negative, not {number}")
    return min(number, _engine.DISTANCE_CAP)


def _limit(value: object) -> int | None:
    if value is None:
        return None
    number = _whole("limit", value)
    if number < 0:
        raise ValueError(f"limit must not be negative, not {number}")
    return min(number, _COUNT_CAP)


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {_kind(value)}")
    return value
