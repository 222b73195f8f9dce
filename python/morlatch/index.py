"""``Index``: a read-only mapping of key to payload with ranked fuzzy search,
typo-tolerant completion and listing by prefix, on the native engine."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Mapping
from itertools import count
from typing import TYPE_CHECKING, BinaryIO, Literal, NamedTuple, TypeVar, overload

from _morlatch import PrefixSearch

from . import _engine, _index_groups, _index_io, indexfile
from ._bounds import MaxDist, _by_distance, _distance, _distances, auto_distance
from ._index_args import _COUNT_CAP as _COUNT_CAP
from ._index_args import _correction_args, _flag, _text
from ._index_args import _fold_rule as _fold_rule
from ._index_args import _kind as _kind
from ._index_args import _limit as _limit
from ._index_args import _texts as _texts
from ._index_args import _threads as _threads
from ._index_args import _whole as _whole
from ._weights import Weight as Weight
from ._weights import Weights, _from_code, read_weights, weigh_keys, weights_section
from ._weights import _to_code as _to_code
from ._weights import _weigh as _weigh
from .builder import Duplicates, Keys, Progress, _collect, _lay_out, build
from .fold import FoldRule, Groups, apply, encode_groups, fold_text, group
from .storage import StrPath, read_trie
from .wordlist import lookalike

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["Index", "Match", "MaxDist", "auto_distance", "layout_info"]

# Catalog (catalog.py) and morlatch.dask import their argument checks and
# weights from here: the names imported "as" themselves.

_T = TypeVar("_T")

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
    # An index is kept as an index file: its trie's sections (see
    # _index_io.py) and those that _extra_sections() adds for what an index
    # holds beyond its trie. Pickles and copies go through the same sections,
    # so whatever survives a file survives them too.

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
        ``head`` was read (see _index_io.read_sections)."""
        sections, offsets = _index_io.read_sections(stream, source, head)
        return cls._from_sections(sections, source, fold, offsets)

    def save(self, path: StrPath) -> None:
        """Writes the index to ``path`` as an index file, atomically: the file
        under ``path`` is either the old one or the complete new one, and a
        process that mapped the old one keeps reading it unchanged."""
        indexfile.write(path, self._sections())

    def _sections(self) -> dict[str, Buffer]:
        return _index_io.index_sections(self._search, self._extra_sections())

    @classmethod
    def _from_sections(
        cls,
        sections: Mapping[str, Buffer],
        source: str = "<index>",
        fold: bool | FoldRule | None = None,
        offsets: Mapping[str, int] | None = None,
    ) -> Index:
        """An index from the sections of an index file: the trie (see
        _index_io.open_trie), the rest handed to ``_load_extra_sections``.
        ``offsets`` (where each section starts in the file) make errors
        name the byte in the file."""
        search, rest = _index_io.open_trie(sections, source, offsets)
        index = cls.__new__(cls)
        index._attach(search)
        try:
            index._load_extra_sections(rest, fold)
        except ValueError as error:
            raise ValueError(f"{source}: {error}") from None
        return index

    def _extra_sections(self) -> Mapping[str, Buffer]:
        """The sections an index file holds besides the trie's: "fold" (the
        keys as given, by folded form, and the rule's name) and "weights"
        (see _weights.weights_section)."""
        sections: dict[str, Buffer] = {}
        groups = self._groups
        if groups is not None:
            sections["fold"] = encode_groups(groups, self._fold is not fold_text)
        if self._table is not None:
            sections["weights"] = weights_section(self._table, self._floats, groups)
        return sections

    def _load_extra_sections(
        self,
        sections: Mapping[str, Buffer],
        fold: bool | FoldRule | None = None,
        *,
        check: bool = True,
    ) -> None:
        """Takes the sections besides the trie's from an index file. Optional
        sections it does not know are skipped; any other refuses the file
        (ValueError; the caller names the file). ``fold`` is the rule that
        ``Index.load`` was given (needed for a custom one). ``check=False``
        (an index's own sections, for a copy) skips the checks of the keys
        and weights against the trie."""
        _index_io.check_known(sections)
        rule = _fold_rule(fold)
        if "fold" in sections:
            data = bytes(sections["fold"])
            given, groups = _index_io.read_fold(data, rule, self._count, self._search, check)
            self._fold = given
            self._groups = groups
            self._count = len(groups.keys)
        elif rule is not None:
            raise ValueError("the index was built without folding")
        if "weights" in sections:
            data = bytes(sections["weights"])
            self._table, self._floats, self._groups = read_weights(
                self._search, data, self._groups, check
            )

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
        return self._ranked(_engine.search, "query", query, max_dist, limit, transpositions)

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
        return self._ranked(_engine.complete, "prefix", prefix, max_dist, limit, transpositions)

    def _ranked(
        self,
        run: Callable[..., list[Match]],
        name: str,
        text: object,
        max_dist: object,
        limit: object,
        transpositions: object,
    ) -> list[Match]:
        """``run`` (the engine's search or complete) for the argument
        ``name`` (``text``), with the other arguments checked."""
        text = _text(name, text)
        bound, n = _distance(max_dist), _limit(limit)
        swap = _flag("transpositions", transpositions)
        form = self._folded(text, name)
        k = auto_distance(form) if bound is None else bound
        found = run(self._search, self._table, form, k, n, swap, Match)
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
        n, swap = _correction_args(limit, transpositions, rule)
        model = None
        if rule == "model" and self._table is not None:
            # Read here, when asked: benchmarks try other costs.
            model = (round(EDIT_COST * 1000), round(CHEAP_COST * 1000), VOWELS)
        return n, swap, model

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
        return _index_groups.position(self._search, groups, self._folded(key, "key"), key)

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
        """The keys as given behind the folded forms in ``found`` (see
        _index_groups.expand)."""
        groups = self._groups
        if groups is None:
            return found
        return _index_groups.expand(groups, found, limit, by_weight, Match)

    def _not_a_key(self, name: str) -> str:
        message = f"weights: {name!r} is not a key of the index"
        other = lookalike(name, self.keys())
        return message if other is None else f"{message}, which has {other!r}"

    def _set_weights(
        self, names: list[str], values: list[Weight], floats: bool, forms: list[str] | None = None
    ) -> None:
        checked = (names, values, floats)
        self._table, self._groups = weigh_keys(
            self._search, checked, self._groups, forms, self._not_a_key
        )
        self._floats = floats


Mapping.register(Index)


def _unpickle(cls: type[Index], data: bytes, fold: FoldRule | None = None) -> Index:
    # Pickles name this function (morlatch.index._unpickle): it stays here.
    sections, offsets = _index_io.pickled_sections(data)
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
