"""``Index``: a read-only mapping of key to payload with ranked fuzzy search,
typo-tolerant completion and listing by prefix, on the native engine."""

from __future__ import annotations

import mmap
import operator
import os
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, NamedTuple, TypeVar, overload

from _morlatch import PrefixSearch, from_bytes

from . import _engine, indexfile
from .builder import Keys, Progress, build
from .storage import StrPath, load

if TYPE_CHECKING:
    from typing_extensions import Buffer

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

    # __weakref__: morlatch.dask keeps an index's copy on a cluster as long as
    # the index lives.
    __slots__ = ("_search", "_count", "__weakref__")

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

    def _attach(self, search: PrefixSearch) -> None:
        self._count = _engine.key_count(search)
        self._search = search

    # ---- files, pickling, copies and equality ----------------------------------
    #
    # An index is kept as an index file (see indexfile.py): the search layout
    # ("layout", and "reverse" for its reverse index when searches use one),
    # which a reader maps and checks once instead of rebuilding anything, or,
    # for arrays that the layout does not reproduce, a "trie" section with
    # the PrefixSearch's to_bytes(); plus the sections that _extra_sections()
    # adds for what an index holds beyond its trie. Pickles and copies go
    # through the same sections, so whatever survives a file survives them too.

    @classmethod
    def load(cls, path: StrPath) -> Index:
        """Reads a file written by ``save``, or a plain trie file written by
        ``morlatch.save`` (or by ``save`` of earlier versions).

        An index file's search layout is mapped read-only and checked once,
        not copied: processes that load the same file share its pages. The
        file must not be rewritten in place while it is mapped (``save``
        replaces it atomically, which is safe).

        Raises OSError when the file cannot be read and ValueError when it is
        neither a valid index file nor a trie file, naming the path, what is
        wrong and at which byte.
        """
        source = os.fspath(path)
        with open(path, "rb") as stream:
            head = stream.read(len(indexfile.MAGIC))
            if not indexfile.is_index_file(head):
                return cls.from_prefix_search(load(path))
            data: Buffer
            try:
                data = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
            except OSError:  # a file system that cannot map: read it whole
                stream.seek(0)
                data = stream.read()
        # The layout's sections are checked field by field when opened, so
        # their checksums are not computed (that would read them twice).
        located = indexfile.locate(data, str(source), unchecked=_LAYOUT_SECTIONS)
        sections = {name: body for name, (_, body) in located.items()}
        offsets = {name: offset for name, (offset, _) in located.items()}
        return cls._from_sections(sections, str(source), offsets)

    def save(self, path: StrPath) -> None:
        """Writes the index to ``path`` as an index file, atomically: the file
        under ``path`` is either the old one or the complete new one, and a
        process that mapped the old one keeps reading it unchanged."""
        indexfile.write(path, self._sections())

    def _sections(self) -> dict[str, Buffer]:
        sections: dict[str, Buffer]
        if _engine.layout_info(self._search)["arrays_kept"]:
            # The layout would not give back these arrays' to_bytes().
            sections = {"trie": self._search.to_bytes()}
        else:
            layout, reverse = _engine.layout_sections(self._search)
            sections = {"layout": layout}
            if reverse is not None:
                sections["reverse"] = reverse
        for name, body in self._extra_sections().items():
            if name in sections or name in _OWN_SECTIONS:
                raise ValueError(f"section {name!r} is the index's own")
            sections[name] = body
        return sections

    @classmethod
    def _from_sections(
        cls,
        sections: Mapping[str, Buffer],
        source: str = "<index>",
        offsets: Mapping[str, int] | None = None,
    ) -> Index:
        """An index from the sections of an index file: the trie from "layout"
        (and "reverse"), read in place, or from "trie"; the rest handed to
        ``_load_extra_sections``. ``offsets`` (where each section starts in
        the file) make errors name the byte in the file."""
        rest = dict(sections)
        trie = rest.pop("trie", None)
        layout = rest.pop("layout", None)
        reverse = rest.pop("reverse", None)
        at = offsets or {}
        index = cls.__new__(cls)
        if layout is not None:
            if trie is not None:
                raise ValueError(f"{source}: the index file holds both 'trie' and 'layout'")
            index._attach(
                _engine.open_index(
                    layout, reverse, source, at.get("layout", 0), at.get("reverse", 0)
                )
            )
        elif reverse is not None:
            raise ValueError(f"{source}: the index file has 'reverse' but no 'layout' section")
        elif trie is None:
            raise ValueError(f"{source}: the index file has no 'trie' section")
        else:
            index._attach(from_bytes(_checked_trie(trie, source)))
        try:
            index._load_extra_sections(rest)
        except ValueError as error:
            raise ValueError(f"{source}: {error}") from None
        return index

    def _extra_sections(self) -> Mapping[str, Buffer]:
        """The sections an index file holds besides "trie" (none yet)."""
        return {}

    def _load_extra_sections(self, sections: Mapping[str, Buffer]) -> None:
        """Takes the sections besides "trie" from an index file. Optional
        sections it does not know are skipped; any other refuses the file
        (ValueError; the caller names the file)."""
        for name in sections:
            if not indexfile.is_optional(name):
                raise ValueError(f"section {name!r} is not known to this version of morlatch")

    def __reduce__(self) -> tuple[Callable[[type[Index], bytes], Index], tuple[type[Index], bytes]]:
        # By value: the index file's bytes, rebuilt by _unpickle.
        return _unpickle, (type(self), indexfile.encode(self._sections()))

    def __copy__(self) -> Index:
        # Read-only, so a copy may share the PrefixSearch.
        copy = type(self).__new__(type(self))
        copy._attach(self._search)
        copy._load_extra_sections(self._extra_sections())
        return copy

    def __deepcopy__(self, memo: dict[int, object]) -> Index:
        return self.__copy__()

    def __eq__(self, other: object) -> bool:
        """Equal to another index or mapping with the same keys and payloads
        (as a Mapping compares); indexes also compare what they hold besides
        the trie (``_extra_equal``)."""
        if self is other:
            return True
        if isinstance(other, Index):
            if self._count != other._count or not self._extra_equal(other):
                return False
            if self._search is other._search:
                return True
            # The same layout is the same items; different layouts (arrays not
            # in the builder's order) may still hold them, so compare those.
            if self._search.to_bytes() == other._search.to_bytes():
                return True
            return all(a == b for a, b in zip(self.items(), other.items(), strict=True))
        if not isinstance(other, Mapping):
            return NotImplemented
        if len(other) != self._count:
            return False
        missing = object()
        return all(other.get(key, missing) == payload for key, payload in self.items())

    __hash__ = None  # type: ignore[assignment]

    def _extra_equal(self, other: Index) -> bool:
        """Whether what the two indexes hold besides the trie is equal (both
        hold nothing else yet)."""
        return True

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


# The sections that hold the index's own trie.
_LAYOUT_SECTIONS = frozenset({"layout", "reverse"})
_OWN_SECTIONS = _LAYOUT_SECTIONS | {"trie"}


def _checked_trie(trie: Buffer, source: str) -> bytes:
    """The bytes of a "trie" section, once they are known to decode."""
    # from_bytes takes bytes by their buffer (other objects item by item):
    # the bytes under a view of all of them (as indexfile.read gives), or a
    # copy.
    data = trie.obj if isinstance(trie, memoryview) else None
    if not isinstance(data, bytes) or len(data) != memoryview(trie).nbytes:
        data = bytes(trie)
    problem = _engine.check_bytes(data)
    if problem is not None:
        raise ValueError(f"{source}: the 'trie' section is not a trie: {problem}")
    return data


def _unpickle(cls: type[Index], data: bytes) -> Index:
    # The layout is read in place from the pickle's bytes, which it keeps.
    located = indexfile.locate(data, "<pickle>")
    sections = {name: body for name, (_, body) in located.items()}
    offsets = {name: offset for name, (offset, _) in located.items()}
    return cls._from_sections(sections, "<pickle>", offsets)


def layout_info(search: PrefixSearch) -> dict[str, int | float | bool]:
    """What a well-formed ``search`` holds: ``nodes``, ``keys``, ``bytes`` (its
    arrays, search layout and, once built, reverse index), ``arrays_kept``
    (False when the layout reproduces the arrays, as for the builder's),
    ``borrowed`` (True when the layout is read in place from a mapped index
    file or an unpickled buffer; its bytes are then not counted), and
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
