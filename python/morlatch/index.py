"""``Index``: a read-only mapping of key to payload with ranked fuzzy search,
typo-tolerant completion and listing by prefix, on the native engine."""

from __future__ import annotations

import math
import numbers
import operator
import os
import struct
from collections.abc import Callable, Iterable, Iterator, Mapping
from itertools import count
from typing import (
    TYPE_CHECKING,
    Any,
    BinaryIO,
    Literal,
    NamedTuple,
    Protocol,
    TypeAlias,
    TypeVar,
    overload,
)

from _morlatch import PrefixSearch, from_bytes

from . import _engine, indexfile, stored
from ._bounds import MaxDist, _by_distance, _distance, _distances, auto_distance
from .builder import Duplicates, Keys, Progress, _collect, _lay_out, build
from .fold import FoldRule, Groups, apply, decode_groups, encode_groups, fold_text, group
from .storage import StrPath, read_trie
from .wordlist import lookalike

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["Index", "Match", "MaxDist", "auto_distance", "layout_info"]

# Counts past this change nothing (no index is that large) and keep the
# numbers within the engine's 64 bits; distances are capped as the engine does.
_COUNT_CAP = 1 << 62

_T = TypeVar("_T")

#: A weight: an int from 0 to 2**64 - 1 or a non-negative finite float.
Weight: TypeAlias = int | float


class _HasItems(Protocol):
    def items(self) -> Iterable[tuple[Any, Any]]: ...


#: Weights by key: a mapping, anything else with ``.items()`` (a pandas
#: Series), or an iterable of (key, weight) pairs.
Weights: TypeAlias = Mapping[str, Weight] | _HasItems | Iterable[tuple[str, Weight]]
_MAX_INT_WEIGHT = (1 << 64) - 1

# The error model of ``Index.correct``: what an edit costs, in nats (the
# negative natural logarithm of its probability). Of the ~54n + 25 strings one
# edit away from a word of n letters, about 3n + 12 are the common slips (a
# letter doubled or undoubled, two neighbours swapped, a vowel for a vowel);
# with half of all misspellings among those, one of them has odds of about
# 1 in 70 and any other edit about 1 in 1000.
EDIT_COST = 7.0
CHEAP_COST = 4.25
VOWELS = "aeiou"


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
    native threads (``search_many``), spelling correction (``correct``) and
    the keys under a prefix (``keys``, ``items``, ``values``).

    ``weights`` (key -> non-negative int or float: a mapping, anything with
    ``.items()`` such as a pandas Series, or (key, weight) pairs; NumPy
    scalars are taken) ranks results of equal distance heaviest first;
    ``fold=True`` (or a ``str -> str`` function) compares keys and queries
    by their folded forms, while results and the mapping keep the keys as
    given. ``duplicates`` says what a key given twice with different
    payloads keeps: its "last" payload (the default), its "first", or
    ("error") nothing: ValueError naming the key.

    Construction also builds what searches use besides the trie (its
    reverse index), so that the first search is as fast as the later ones.
    That costs what the first search would otherwise spend: measured for
    663,473 words, 0.51 s of CPU against 0.19 s for the trie alone
    (benchmarks/bench_first_query.py), and 17.3 MiB held against 9.6 MiB
    (``layout_info``). An index read by ``load`` has it in the file
    (opening checks the whole file: 52 ms of CPU for those words' 17 MiB);
    ``from_prefix_search`` leaves it to the first search that needs it.

    Every search counts a swap of two adjacent characters as one edit
    unless given ``transpositions=False``.
    """

    # __weakref__: morlatch.dask keeps an index's copy on a cluster as long as
    # the index lives.
    __slots__ = ("_search", "_count", "_table", "_floats", "_fold", "_groups", "__weakref__")

    _search: PrefixSearch
    _count: int
    # The native weight table (None: no weights) and whether it holds floats.
    _table: _engine.WeightTable | None
    _floats: bool
    # The folding rule (None: keys compared as they are) and, when folded,
    # the keys as given grouped by folded form.
    _fold: FoldRule | None
    _groups: Groups | None

    def __init__(
        self,
        keys: Keys,
        *,
        weights: Weights | None = None,
        fold: bool | FoldRule = False,
        duplicates: Duplicates = "last",
        progress: Progress | None = None,
    ) -> None:
        rule = _fold_rule(fold)
        weighed = None if weights is None else _weigh(weights)
        table = _collect(keys, duplicates)
        forms = None
        if rule is None:
            self._attach(_lay_out(table, progress))
        else:
            if isinstance(table, list):  # keys whose payloads are their (last) positions
                table = dict(zip(table, count()))
            forms, groups = group(table, rule)
            self._attach(build(forms, progress=progress))
            self._count = len(groups.keys)
            self._fold = rule
            self._groups = groups
        if weighed is not None:
            self._set_weights(*weighed, forms=None if forms is None else list(forms))
        # What searches need is built now, not by the first search that needs
        # it: the reverse index, which long queries split across.
        _engine.layout_sections(self._search)

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
        self._table, self._floats, self._fold, self._groups = None, False, None, None

    # ---- files, pickling, copies and equality ----------------------------------
    #
    # An index is kept as an index file (see indexfile.py): the search layout
    # ("nodes", and "rnodes" for its reverse index when searches use one),
    # which a reader maps and checks once instead of rebuilding anything, or,
    # for arrays that the layout does not reproduce, a "trie" section with
    # the PrefixSearch's to_bytes(); plus the sections that _extra_sections()
    # adds for what an index holds beyond its trie. Pickles and copies go
    # through the same sections, so whatever survives a file survives them too.

    @classmethod
    def load(cls, path: StrPath, *, fold: bool | FoldRule | None = None) -> Index:
        """Reads a file written by ``save``, or a plain trie file written by
        ``morlatch.save`` (or by ``save`` of earlier versions).

        Weights and the built-in folding come back with the index. A custom
        folding rule is not saved: an index built with one needs it again,
        as ``fold=rule``. ``fold`` otherwise need not be given; when it is, it
        must match how the index was built.

        An index file's search layout is mapped read-only and checked once,
        not copied: processes that load the same file share its pages. The
        file must not be rewritten in place while it is mapped (``save``
        replaces it atomically, which is safe).

        Raises OSError when the file cannot be read and ValueError when it is
        neither a valid index file nor a trie file, naming the path, what is
        wrong and at which byte, or when ``fold`` does not match the file.
        """
        source = os.fsdecode(path)
        # Opened once, so that a pipe, a FIFO or /dev/stdin can be read too.
        with open(path, "rb") as stream:
            head = stream.read(len(indexfile.MAGIC))
            if indexfile.is_index_file(head):
                return cls._read(stream, source, head, fold)
            if _fold_rule(fold) is not None:
                raise ValueError(f"{source}: the index was built without folding")
            search = read_trie(stream, source, head)
        try:
            return cls.from_prefix_search(search)
        except ValueError as error:  # a trie file that decodes, not well formed
            raise ValueError(f"{source}: {error}") from None

    @classmethod
    def _read(
        cls, stream: BinaryIO, source: str, head: bytes, fold: bool | FoldRule | None = None
    ) -> Index:
        """The index in the index file that ``stream`` holds, of which
        ``head`` was read: mapped when it is a regular file, else read once
        and no further than its table declares (see indexfile.open_sections).
        The layout's sections are checked field by field when opened, so
        their checksums are not computed (that would read them twice)."""
        located = indexfile.open_sections(stream, source, head, unchecked=_LAYOUT_SECTIONS)
        sections = {name: body for name, (_, body) in located.items()}
        offsets = {name: offset for name, (offset, _) in located.items()}
        return cls._from_sections(sections, source, fold, offsets)

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
            sections = {"nodes": layout}
            if reverse is not None:
                sections["rnodes"] = reverse
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
        fold: bool | FoldRule | None = None,
        offsets: Mapping[str, int] | None = None,
    ) -> Index:
        """An index from the sections of an index file: the trie from "nodes"
        (and "rnodes"), read in place, or from "trie"; the rest handed to
        ``_load_extra_sections``. ``offsets`` (where each section starts in
        the file) make errors name the byte in the file."""
        try:
            _check_known(sections)  # before the trie is looked for (a file of another version)
        except ValueError as error:
            raise ValueError(f"{source}: {error}") from None
        rest = dict(sections)
        trie = rest.pop("trie", None)
        layout = rest.pop("nodes", None)
        reverse = rest.pop("rnodes", None)
        at = offsets or {}
        index = cls.__new__(cls)
        if layout is not None:
            if trie is not None:
                raise ValueError(f"{source}: the index file holds both 'trie' and 'nodes'")
            index._attach(
                _engine.open_index(layout, reverse, source, at.get("nodes", 0), at.get("rnodes", 0))
            )
        elif reverse is not None:
            raise ValueError(f"{source}: the index file has 'rnodes' but no 'nodes' section")
        elif trie is None:
            raise ValueError(f"{source}: the index file has no 'trie' section")
        else:
            index._attach(from_bytes(_checked_trie(trie, source)))
        try:
            index._load_extra_sections(rest, fold)
        except ValueError as error:
            raise ValueError(f"{source}: {error}") from None
        return index

    def _extra_sections(self) -> Mapping[str, Buffer]:
        """The sections an index file holds besides "trie": "fold" (the keys
        as given, by folded form, and the rule's name) and "weights" (a kind
        byte, b"i" or b"f", then one 64-bit code per key)."""
        sections: dict[str, Buffer] = {}
        groups = self._groups
        if groups is not None:
            sections["fold"] = encode_groups(groups, self._fold is not fold_text)
        if self._table is not None:
            kind = b"f" if self._floats else b"i"
            if groups is None:
                sections["weights"] = kind + _engine.weight_table_bytes(self._table)
            else:
                assert groups.weights is not None
                codes = [_to_code(w) if self._floats else int(w) for w in groups.weights]
                sections["weights"] = kind + stored.pack_codes(codes)
        return sections

    def _load_extra_sections(
        self,
        sections: Mapping[str, Buffer],
        fold: bool | FoldRule | None = None,
        *,
        check: bool = True,
    ) -> None:
        """Takes the sections besides "trie" from an index file. Optional
        sections it does not know are skipped; any other refuses the file
        (ValueError; the caller names the file). ``fold`` is the rule that
        ``Index.load`` was given (needed for a custom one). ``check=False``
        (an index's own sections, for a copy) skips the checks of the keys
        and weights against the trie."""
        _check_known(sections)
        rule = _fold_rule(fold)
        if "fold" in sections:
            data = bytes(sections["fold"])
            custom, groups = decode_groups(data)
            if custom and (rule is None or rule is fold_text):
                raise ValueError(
                    "the index was built with a custom fold, which is not saved: "
                    "pass it again as Index.load(path, fold=...)"
                )
            if not custom and rule is not None and rule is not fold_text:
                raise ValueError("the index was built with fold=True, not with a custom fold")
            if len(groups.starts) - 1 != self._count:
                raise ValueError("the 'fold' section does not match the trie")
            given = fold_text if not custom or rule is None else rule
            if check:
                stored.check_groups(self._search, groups, given, data)
            self._fold = given
            self._groups = groups
            self._count = len(groups.keys)
        elif rule is not None:
            raise ValueError("the index was built without folding")
        if "weights" in sections:
            self._load_weights(bytes(sections["weights"]), check)

    def _load_weights(self, data: bytes, check: bool = True) -> None:
        kind, body = data[:1], data[1:]
        if kind not in (b"i", b"f"):
            raise ValueError("the 'weights' section holds no known kind of weight")
        floats = kind == b"f"
        if floats and check:
            stored.check_float_codes(body)
        groups = self._groups
        if groups is None:
            self._table = _engine.weight_table_from_bytes(self._search, body, floats)
            self._floats = floats
            return
        codes = stored.unpack_codes(body)
        if len(codes) != len(groups.keys):
            raise ValueError("the 'weights' section does not match the keys")
        heaviest = [
            max(codes[at] for at in groups.members(g)) for g in range(len(groups.starts) - 1)
        ]
        self._table = _engine.weight_table_from_bytes(
            self._search, stored.pack_codes(heaviest), floats
        )
        self._floats = floats
        weights = [_from_code(code) for code in codes] if floats else codes
        self._groups = Groups(groups.keys, groups.payloads, groups.starts, weights)

    def __reduce__(
        self,
    ) -> tuple[Callable[..., Index], tuple[type[Index], bytes, FoldRule | None]]:
        # By value: the index file's bytes, rebuilt by _unpickle; a custom
        # folding rule goes by reference, as pickle sends functions.
        custom = None if self._fold is fold_text else self._fold
        return _unpickle, (type(self), indexfile.encode(self._sections()), custom)

    def __copy__(self) -> Index:
        # Read-only, so a copy may share the PrefixSearch.
        copy = type(self).__new__(type(self))
        copy._attach(self._search)
        copy._load_extra_sections(self._extra_sections(), self._fold, check=False)
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
        """Whether what the two indexes hold besides the trie is equal: the
        same folding rule (the same callable for a custom one), the same keys
        by folded form, and weights of the same kind with the same values."""
        if self._fold is not other._fold or self._floats != other._floats:
            return False
        if (self._table is None) != (other._table is None):
            return False
        if self._groups is not None or other._groups is not None:
            return self._groups == other._groups
        if self._table is None or other._table is None:
            return True
        return _engine.weight_table_bytes(self._table) == _engine.weight_table_bytes(other._table)

    @property
    def prefix_search(self) -> PrefixSearch:
        """The ``PrefixSearch`` this index reads."""
        return self._search

    # ---- mapping -----------------------------------------------------------

    def __len__(self) -> int:
        return self._count

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self._payload(key) is not None

    def __getitem__(self, key: str) -> int:
        payload = self._payload(key) if isinstance(key, str) else None
        if payload is None:
            raise KeyError(key)
        return payload

    @overload
    def get(self, key: str, /) -> int | None: ...
    @overload
    def get(self, key: str, default: int | _T, /) -> int | _T: ...
    def get(self, key: str, default: object = None, /) -> object:
        payload = self._payload(key) if isinstance(key, str) else None
        return default if payload is None else payload

    def __iter__(self) -> Iterator[str]:
        return self.keys()

    def keys(self, prefix: str = "") -> Iterator[str]:
        """The keys that start with ``prefix``, lazily, in code-point order.

        On a folded index: the keys whose folded form starts with the folded
        ``prefix``, by folded form, then key."""
        return (key for key, _ in self.items(prefix))

    def items(self, prefix: str = "") -> Iterator[tuple[str, int]]:
        """``(key, payload)`` for the keys that start with ``prefix``, lazily."""
        prefix = _text("prefix", prefix)
        if prefix:  # every key starts with "", whatever "" folds to
            prefix = self._folded(prefix, "prefix")
        try:
            found = _engine.keys(self._search, prefix, True)
        except UnicodeEncodeError:
            return iter(())  # a lone surrogate starts no key
        return found if self._groups is None else self._groups.items(found)

    def values(self, prefix: str = "") -> Iterator[int]:
        """The payloads of the keys that start with ``prefix``, in key order."""
        return (payload for _, payload in self.items(prefix))

    def __repr__(self) -> str:
        return f"<morlatch.Index of {self._count} keys>"

    # ---- searches ------------------------------------------------------------

    def search(
        self,
        query: str,
        max_dist: MaxDist = 2,
        *,
        limit: int | None = None,
        transpositions: bool = True,
    ) -> list[Match]:
        """The keys within ``max_dist`` edits of ``query``, closest first.

        Ranked by (distance, key in code-point order), with weights by
        (distance, -weight, key); ``limit=N`` returns the N best. An edit
        inserts, deletes or replaces one character, or (unless
        ``transpositions=False``) swaps two adjacent ones (optimal string
        alignment). ``max_dist="auto"`` takes the bound from the query's
        length (see ``auto_distance``).
        """
        query = _text("query", query)
        bound, n = _distance(max_dist), _limit(limit)
        swap = _flag("transpositions", transpositions)
        form = self._folded(query, "query")
        k = auto_distance(form) if bound is None else bound
        found = _engine.search(self._search, self._table, form, k, n, swap, Match)
        return self._expand(found, n)

    def complete(
        self,
        prefix: str,
        max_dist: MaxDist = 0,
        *,
        limit: int | None = 10,
        transpositions: bool = True,
    ) -> list[Match]:
        """The keys that begin with some string within ``max_dist`` edits of
        ``prefix`` (typo-tolerant completion); a swap of two adjacent
        characters is one edit unless ``transpositions=False``, and
        ``max_dist="auto"`` takes the bound from the prefix's length.

        Ranked by (distance of the best-matching beginning, key length, key in
        code-point order), with weights by (that distance, -weight, key); each
        ``Match`` carries that distance. ``limit=None`` returns them all.
        """
        prefix = _text("prefix", prefix)
        bound, n = _distance(max_dist), _limit(limit)
        swap = _flag("transpositions", transpositions)
        folded = self._folded(prefix, "prefix")
        k = auto_distance(folded) if bound is None else bound
        found = _engine.complete(self._search, self._table, folded, k, n, swap, Match)
        return self._expand(found, n)

    def search_many(
        self,
        queries: Iterable[str],
        max_dist: MaxDist | Iterable[MaxDist],
        *,
        limit: int | None = None,
        transpositions: bool = True,
        workers: int | None = None,
    ) -> list[list[Match]]:
        """``search`` for every query, on ``workers`` native threads that run
        without the interpreter's lock (None: one per core); one result list
        per query, in order. ``max_dist`` is one bound for all (a number or
        "auto") or one per query, in order."""
        batch = _texts("queries", queries)
        threads = _threads(workers)
        bounds, n = _distances(max_dist, len(batch), "queries"), _limit(limit)
        swap = _flag("transpositions", transpositions)
        forms = self._folded_all(batch, "queries")

        def run(part: list[str], k: int) -> list[list[Match]]:
            found = _engine.search_many(self._search, self._table, part, k, n, swap, threads, Match)
            return [self._expand(matches, n) for matches in found]

        return _by_distance(forms, bounds, run)

    # ---- weights, folding and correction ------------------------------------------

    def correct(
        self,
        word: str,
        max_dist: MaxDist = 2,
        *,
        limit: int = 1,
        transpositions: bool = True,
        rule: Literal["model", "plain"] = "model",
    ) -> list[Match]:
        """The ``limit`` best corrections of ``word`` within ``max_dist``
        edits ("auto": by the word's length, see ``auto_distance``), best
        first; a key equal to ``word`` always comes first (on a folded index,
        the keys of word's folded form, heaviest first).

        ``rule="plain"`` ranks by (distance, -weight, key): the closest keys,
        the heaviest of them. ``rule="model"`` (the default) ranks by
        log(1 + weight) minus the cost of the cheapest way to edit the key
        into ``word``, where a doubled or undoubled letter, a swap of
        neighbours and a vowel for a vowel cost CHEAP_COST and other edits
        EDIT_COST, then by key: a common word two likely slips away can beat
        a rare word one unlikely edit away. Without weights both rank by
        (distance, key). Distances are searched one at a time, and the search
        stops as soon as no farther key can rank among the best.
        """
        word = _text("word", word)
        bound = _distance(max_dist)
        n, swap, model = self._correction(limit, transpositions, rule)
        form = self._folded(word, "word")
        k = auto_distance(form) if bound is None else bound
        found = _engine.correct(self._search, self._table, form, k, n, swap, model, Match)
        return self._expand(found, n, by_weight=False)

    def correct_many(
        self,
        words: Iterable[str],
        max_dist: MaxDist | Iterable[MaxDist] = 2,
        *,
        limit: int = 1,
        transpositions: bool = True,
        rule: Literal["model", "plain"] = "model",
        workers: int | None = None,
    ) -> list[list[Match]]:
        """``correct`` for every word, on ``workers`` native threads that run
        without the interpreter's lock (None: one per core); one result list
        per word, in order. ``max_dist`` is one bound for all (a number or
        "auto") or one per word, in order."""
        batch = _texts("words", words)
        threads = _threads(workers)
        bounds = _distances(max_dist, len(batch), "words")
        n, swap, model = self._correction(limit, transpositions, rule)
        forms = self._folded_all(batch, "words")

        def run(part: list[str], k: int) -> list[list[Match]]:
            found = _engine.correct_many(
                self._search, self._table, part, k, n, swap, model, threads, Match
            )
            return [self._expand(matches, n, by_weight=False) for matches in found]

        return _by_distance(forms, bounds, run)

    def _correction(
        self, limit: int, transpositions: bool, rule: str
    ) -> tuple[int, bool, tuple[int, int, str] | None]:
        """correct's other arguments checked: (limit as the engine takes it,
        transpositions, the error model or None for the plain rule)."""
        n = _whole("limit", limit)
        if n < 0:
            raise ValueError(f"limit must not be negative, not {n}")
        swap = _flag("transpositions", transpositions)
        if rule not in ("model", "plain"):
            raise ValueError(f"rule must be 'model' or 'plain', not {rule!r}")
        model = None
        if rule == "model" and self._table is not None:
            model = (round(EDIT_COST * 1000), round(CHEAP_COST * 1000), VOWELS)
        return min(n, _COUNT_CAP), swap, model

    def weight(self, key: str) -> Weight:
        """The weight of ``key`` (0 for a key given none); KeyError when
        ``key`` is not in the index."""
        if not isinstance(key, str):
            raise KeyError(key)
        groups = self._groups
        if groups is not None:
            at = self._position(key)
            if at is None:
                raise KeyError(key)
            if groups.weights is None:
                return 0
            return groups.weights[at]
        if self._table is None:
            if key not in self:
                raise KeyError(key)
            return 0
        code = _engine.weight_of(self._table, key)
        if code is None:
            raise KeyError(key)
        return _from_code(code) if self._floats else code

    @property
    def weighted(self) -> bool:
        """Whether the index was given weights."""
        return self._table is not None

    @property
    def fold(self) -> FoldRule | None:
        """The folding rule (``morlatch.fold_text`` for ``fold=True``), or
        None when keys are compared as they are."""
        return self._fold

    def _folded(self, text: str, what: str) -> str:
        return text if self._fold is None else apply(self._fold, text, what)

    def _folded_all(self, texts: list[str], name: str) -> list[str]:
        """``texts`` folded, an error naming ``name[i]``."""
        if self._fold is None:
            return texts
        return [apply(self._fold, text, f"{name}[{i}]") for i, text in enumerate(texts)]

    def _position(self, key: str) -> int | None:
        """Where ``key`` (as given) is in the groups of a folded index."""
        groups = self._groups
        assert groups is not None
        try:
            hit = self._search.exact_match(self._folded(key, "key"))
        except UnicodeEncodeError:
            return None
        return None if hit is None else groups.find(hit[1], key)

    def _payload(self, key: str) -> int | None:
        if self._groups is not None:
            at = self._position(key)
            return None if at is None else self._groups.payloads[at]
        try:
            hit = self._search.exact_match(key)
        except UnicodeEncodeError:
            return None  # keys hold no lone surrogate
        return None if hit is None else hit[1]

    def _expand(self, found: list[Match], limit: int | None, by_weight: bool = True) -> list[Match]:
        """The keys as given behind the folded forms in ``found``: each form
        keeps its rank, its keys follow one another by weight, then key (or,
        ranked by weight, every key takes its own weight's place)."""
        groups = self._groups
        if groups is None:
            return found
        keys, payloads, weights = groups.keys, groups.payloads, groups.weights
        ranked = [
            (rank, at, distance)
            for rank, (_, form, distance) in enumerate(found)
            for at in groups.members(form)
        ]
        if weights is not None:
            if by_weight:
                # Positions run by folded form, then key: the tie-break after
                # the weight (not the form's rank, which its heaviest key set).
                ranked.sort(key=lambda item: (item[2], -weights[item[1]], item[1]))
            else:
                # Stable: the keys of one form stay in code-point order.
                ranked.sort(key=lambda item: (item[0], -weights[item[1]]))
        out = [Match(keys[at], payloads[at], distance) for _, at, distance in ranked]
        return out if limit is None else out[:limit]

    def _not_a_key(self, name: str) -> str:
        message = f"weights: {name!r} is not a key of the index"
        other = lookalike(name, self.keys())
        return message if other is None else f"{message}, which has {other!r}"

    def _set_weights(
        self, names: list[str], values: list[Weight], floats: bool, forms: list[str] | None = None
    ) -> None:
        codes = [_to_code(value) if floats else int(value) for value in values]
        groups = self._groups
        if groups is None:
            try:
                self._table = _engine.weight_table(self._search, names, codes, floats)
            except KeyError as error:
                raise ValueError(self._not_a_key(error.args[0])) from None
            self._floats = floats
            return
        assert forms is not None
        where = {key: at for at, key in enumerate(groups.keys)}
        zero: Weight = 0.0 if floats else 0
        weights: list[Weight] = [zero] * len(groups.keys)
        for name, value in zip(names, values, strict=True):
            at = where.get(name)
            if at is None:
                raise ValueError(self._not_a_key(name))
            weights[at] = value
        heaviest = [max(weights[at] for at in groups.members(form)) for form in range(len(forms))]
        form_codes = [_to_code(w) if floats else int(w) for w in heaviest]
        self._table = _engine.weight_table(self._search, forms, form_codes, floats)
        self._floats = floats
        self._groups = Groups(groups.keys, groups.payloads, groups.starts, weights)


Mapping.register(Index)


# The sections that hold the index's own trie.
_LAYOUT_SECTIONS = frozenset({"nodes", "rnodes"})
_OWN_SECTIONS = _LAYOUT_SECTIONS | {"trie"}


def _check_known(sections: Iterable[str]) -> None:
    """Raises ValueError for a section that this version cannot skip."""
    for name in sections:
        if name not in _OWN_SECTIONS | {"fold", "weights"} and not indexfile.is_optional(name):
            raise ValueError(f"section {name!r} is not known to this version of morlatch")


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


def _unpickle(cls: type[Index], data: bytes, fold: FoldRule | None = None) -> Index:
    # The layout is read in place from the pickle's bytes, which it keeps;
    # they must not change once checked, so anything but bytes (a bytearray
    # that the rest of a crafted pickle could still write) is copied first.
    if type(data) is not bytes:
        data = bytes(memoryview(data))
    located = indexfile.locate(data, "<pickle>")
    sections = {name: body for name, (_, body) in located.items()}
    offsets = {name: offset for name, (offset, _) in located.items()}
    return cls._from_sections(sections, "<pickle>", fold, offsets)


def layout_info(search: PrefixSearch) -> dict[str, int | float | bool]:
    """What a well-formed ``search`` holds: ``nodes``, ``keys``, ``bytes`` (its
    arrays, search layout and, once built, reverse index), ``arrays_kept``
    (False when the layout reproduces the arrays, as for the builder's),
    ``borrowed`` (True when the layout is read in place from a mapped index
    file or an unpickled buffer; its bytes are then not counted), and
    whether and in how many seconds the reverse index was built
    (``reverse_index_built``, ``reverse_index_seconds``). The reverse index is
    built with an ``Index(keys)``, read from an index file, or else built by
    the first search that profits from it, unless it would have more than
    twice the layout's nodes (searches then keep to one walk).

    Raises ValueError when the trie's arrays are not well formed.
    """
    if not isinstance(search, PrefixSearch):
        raise TypeError(f"search must be a PrefixSearch, not {_kind(search)}")
    return _engine.layout_info(search)


def _fold_rule(fold: object) -> FoldRule | None:
    if fold is False or fold is None:
        return None
    if fold is True:
        return fold_text
    if callable(fold):
        return fold
    raise TypeError(f"fold must be a bool or a callable str -> str, not {_kind(fold)}")


def _weigh(weights: object) -> tuple[list[str], list[Weight], bool]:
    """Checks ``weights`` (key -> weight): the keys, the weights, and whether
    they are floats (any float makes them all floats). ``weights`` is
    anything with ``.items()`` (a mapping, a pandas Series) or an iterable of
    (key, weight) pairs (``dict.items()``, ``Counter.most_common()``); a key
    given twice keeps its last weight."""
    table: dict[Any, Any] = {}
    for name, value in _pairs(weights):
        table[name] = value
    names: list[str] = []
    values: list[Weight] = []
    floats = False
    for name, value in table.items():
        if not isinstance(name, str):
            raise TypeError(f"weights: a key must be a str, not {_kind(name)}")
        number: Weight
        if type(value) is int:
            number = value
        elif isinstance(value, bool):
            raise TypeError(f"weights[{name!r}] must be an int or a float, not 'bool'")
        elif hasattr(type(value), "__index__"):
            number = operator.index(value)
        elif isinstance(value, numbers.Real):
            try:
                number = float(value)
            except OverflowError:  # a Fraction, say, beyond any float
                raise ValueError(f"weights[{name!r}] is too large for a float") from None
            if math.isnan(number):
                raise ValueError(f"weights[{name!r}] must be a number, not NaN")
            if math.isinf(number):
                raise ValueError(f"weights[{name!r}] must be finite, not {number}")
            number += 0.0  # -0.0 becomes 0.0
            floats = True
        else:
            raise TypeError(f"weights[{name!r}] must be an int or a float, not {_kind(value)}")
        if number < 0:
            raise ValueError(f"weights[{name!r}] must not be negative, not {number}")
        # Whether or not floats come with it: an int weight is a 64-bit count.
        if type(number) is int and number > _MAX_INT_WEIGHT:
            raise ValueError(f"weights[{name!r}] must be at most 2**64 - 1, not {number}")
        names.append(name)
        values.append(number)
    if floats:
        values = [float(value) for value in values]
    return names, values, floats


def _pairs(weights: object) -> Iterator[tuple[object, object]]:
    """The (key, weight) pairs of ``weights``, each checked to be a pair."""
    items = getattr(weights, "items", None)
    if callable(items):
        pairs = items()
    elif isinstance(weights, Iterable) and not isinstance(weights, (str, bytes, bytearray)):
        pairs = weights
    else:
        raise TypeError(
            "weights must be a mapping of key to weight (anything with .items()) or an "
            f"iterable of (key, weight) pairs, not {_kind(weights)}"
        )
    for at, pair in enumerate(pairs):
        if not isinstance(pair, tuple) or len(pair) != 2:
            raise TypeError(f"weights: item {at} must be a (key, weight) pair, not {_kind(pair)}")
        yield pair


_DOUBLE = struct.Struct("<d")
_CODE = struct.Struct("<Q")


def _to_code(value: Weight) -> int:
    """A non-negative float as the 64-bit code the engine orders: its bits."""
    code: int = _CODE.unpack(_DOUBLE.pack(value))[0]
    return code


def _from_code(code: int) -> float:
    value: float = _DOUBLE.unpack(_CODE.pack(code))[0]
    return value


def _kind(value: object) -> str:
    return repr(type(value).__name__)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {_kind(value)}")
    return value


def _texts(name: str, values: object) -> list[str]:
    """A batch of strings as a list, any other iterable refused."""
    if isinstance(values, str):
        raise TypeError(f"{name} must be an iterable of str, not a single str")
    try:
        items: list[str] = list(values)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be an iterable of str, not {_kind(values)}") from None
    for position, value in enumerate(items):
        if not isinstance(value, str):
            raise TypeError(f"{name}[{position}] must be a str, not {_kind(value)}")
    return items


def _threads(workers: object) -> int:
    """The engine's thread count for ``workers`` (0: one per core)."""
    if workers is None:
        return 0
    count = _whole("workers", workers)
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return min(count, 1 << 16)


def _whole(name: str, value: object) -> int:
    if type(value) is int:
        return value
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            pass
    raise TypeError(f"{name} must be an int, not {_kind(value)}")


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
