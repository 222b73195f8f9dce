"""Native helpers of the morlatch package; not a public interface."""

from collections.abc import Callable, Iterator
from typing import Any, Literal, TypeVar, final, overload

from typing_extensions import Buffer

from _morlatch import PrefixSearch

def check_bytes(data: Buffer) -> str | None:
    """None when ``data`` starts with a complete trie image (as ``from_bytes``
    reads it), else a one-line description of what is wrong and at which
    byte offset, e.g. ``"UnexpectedEnd { additional: 3 } at byte 12"``."""

# ---- the builder (see builder.py, which checks the keys first) -----------

def build(
    table: dict[str, int] | list[str], progress: Callable[[int, int], object] | None
) -> PrefixSearch:
    """The trie of ``table`` (a list of keys: payload = position) laid out in
    level order, children in code-point order; a repeated key keeps its last
    payload. ``progress(placed, total)`` is called now and then."""

def layout(
    table: dict[str, int] | list[str], progress: Callable[[int, int], object] | None
) -> tuple[bytes, list[str], list[int | None]]:
    """The same trie as ``(node_shifts, node_strings, node_payloads)``:
    node_shifts as native unsigned 32-bit integers; child_indices is
    ``range(1, nodes)``."""

class _Words:
    """Keys read by read_words, for build_words."""

def read_words(data: bytes) -> tuple[_Words, int] | None:
    """A word list (``morlatch.parse_word_list``'s format) read, its distinct
    keys sorted, and their number; None when a line is bad."""

def build_words(words: _Words, progress: Callable[[int, int], object] | None) -> PrefixSearch:
    """The trie of ``words``, which it takes over (a second call raises
    ValueError)."""

def write_trie(search: PrefixSearch, write: Callable[[bytes], object]) -> None:
    """Calls ``write`` with the bytes of ``search.to_bytes()`` in order, a
    mebibyte at a time."""

# ---- the index (see index.py, which checks the arguments first) ----------

DISTANCE_CAP: int
"""The largest max_dist the searches tell apart (no key is that long)."""

_M = TypeVar("_M", bound=tuple[str, int, int])

@final
class KeyIterator(Iterator[object]):
    def __next__(self) -> object: ...

def key_count(search: PrefixSearch) -> int:
    """The number of keys; ValueError when the trie is not well formed."""

def stats(search: PrefixSearch) -> dict[str, int]:
    """nodes and keys reachable from the root, depth (the length of the
    longest key) and bytes (the size of ``to_bytes()``). Arrays that are not
    well formed are walked with every read checked: ValueError when an index
    is out of range, a child has no character or a node is reached twice."""

def layout_info(search: PrefixSearch) -> dict[str, int | float | bool]:
    """nodes, keys, bytes held (reverse index included once built),
    arrays_kept, borrowed (the layout is read in place from a file or
    buffer), reverse_index_built and reverse_index_seconds; ValueError when
    the trie is not well formed."""

# ---- index files read in place (see index.py) --------------------------------

def forms_agree(search: PrefixSearch, folded: list[str], starts: Buffer) -> bool:
    """Whether the trie's keys, in code-point order, carry the payloads 0, 1,
    2, ... and ``folded[starts[g]:starts[g + 1]]`` all equal key number g
    (``starts``: 64-bit positions, as an ``array("Q")``)."""

def open_index(
    layout: Buffer,
    reverse: Buffer | None,
    source: str,
    layout_at: int,
    reverse_at: int,
) -> PrefixSearch:
    """A PrefixSearch over a stored search layout and reverse index (the
    packed images of "nodes" and "rnodes"), read in place and kept alive.
    Every field is checked once first, and the reverse index's keys against
    the layout's. The buffers' memory must be unable to change: bytes, or an
    exporter that refuses to lend it writable, such as a read-only mmap
    (TypeError otherwise). ValueError "<source>: the 'nodes' section is not
    a search layout: <what> at byte N" (N counted from layout_at or
    reverse_at) when they are not sound."""

@final
class BorrowedBytes:
    """Read-only bytes owned by a PrefixSearch, which it keeps alive: the
    object behind the views of ``layout_sections``."""

def layout_sections(search: PrefixSearch) -> tuple[memoryview, memoryview | None]:
    """The node records of the search layout and of its reverse index (None
    when searches use none), building the reverse index if needed: read-only
    views of the search's own memory, not copies; each keeps ``search``
    alive."""

@overload
def keys(search: PrefixSearch, prefix: str, items: Literal[False]) -> Iterator[str]: ...
@overload
def keys(search: PrefixSearch, prefix: str, items: Literal[True]) -> Iterator[tuple[str, int]]: ...

# ---- weights, searches and correction (see index.py) ---------------------

@final
class WeightTable:
    """A weight code per key of one PrefixSearch's trie (codes order like the
    weights: an int as itself, a float by its bits), with the largest weight
    below every node; holds the PrefixSearch."""

def weight_table(
    search: PrefixSearch, keys: list[str], codes: list[int], floats: bool
) -> WeightTable:
    """KeyError(key) for a key that is not in the trie; other keys weigh 0."""

def weight_table_from_bytes(search: PrefixSearch, data: bytes, floats: bool) -> WeightTable:
    """From weight_table_bytes' output; ValueError when the count is wrong."""

def weight_table_bytes(table: WeightTable) -> bytes:
    """One little-endian 64-bit code per key, keys in code-point order."""

def weight_table_size(table: WeightTable) -> int:
    """Bytes the table holds."""

def weight_of(table: WeightTable, key: str) -> int | None: ...
def search(
    search: PrefixSearch,
    table: WeightTable | None,
    query: str,
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    match_type: type[_M],
) -> list[_M]: ...
def complete(
    search: PrefixSearch,
    table: WeightTable | None,
    prefix: str,
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    match_type: type[_M],
) -> list[_M]: ...
def search_many(
    search: PrefixSearch,
    table: WeightTable | None,
    queries: list[str],
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    workers: int,
    match_type: type[_M],
) -> list[list[_M]]: ...
def correct(
    search: PrefixSearch,
    table: WeightTable | None,
    word: str,
    max_dist: int,
    limit: int,
    transpositions: bool,
    model: tuple[int, int, str] | None,
    match_type: type[_M],
) -> list[_M]: ...
def correct_many(
    search: PrefixSearch,
    table: WeightTable | None,
    words: list[str],
    max_dist: int,
    limit: int,
    transpositions: bool,
    model: tuple[int, int, str] | None,
    workers: int,
    match_type: type[_M],
) -> list[list[_M]]: ...

# ---- answers in transit (see dask.py) -------------------------------------

def pack_answers(answers: list[list[tuple[str, int, int]]]) -> bytes | None:
    """The lists of (key, payload, distance) as one bytes object; None when
    some item is not a tuple of a str, a u64 and a u32 (or a key holds a lone
    surrogate)."""

def unpack_answers(data: bytes, match_type: type[_M]) -> list[list[_M]]:
    """The lists that pack_answers packed, each item a ``match_type``;
    ValueError when ``data`` is not such a result."""

# ---- catalogs (morlatch.Catalog) ------------------------------------------------

@final
class CatalogCore: ...

# (text, payload, score, the matched words' spans), or, where the spans are
# not known natively, (text, payload, score, per query word the matched
# item word's position)
_CatalogHit = tuple[str, int, float, list[tuple[int, int]] | tuple[int | None, ...]]

def catalog_new(
    terms: Buffer,
    term_offsets: Buffer,
    texts: Buffer,
    text_offsets: Buffer,
    payloads: Buffer,
    weights: Buffer | None,
    words: Buffer,
    word_offsets: Buffer,
    symbols: Buffer | None,
) -> CatalogCore: ...
def catalog_open(
    terms: Buffer,
    term_offsets: Buffer,
    texts: Buffer,
    text_offsets: Buffer,
    payloads: Buffer,
    weights: Buffer | None,
    words: Buffer,
    word_offsets: Buffer,
    symbols: Buffer | None,
    trie: Buffer,
    posting_offsets: Buffer,
    postings: Buffer,
    tie_rank: Buffer,
    by_text: Buffer,
) -> CatalogCore: ...
def catalog_stored(catalog: CatalogCore) -> tuple[bytes, bytes, bytes, bytes, bytes]: ...
def catalog_search(
    catalog: CatalogCore, words: list[str], budgets: list[int], last_is_prefix: bool, limit: int
) -> list[_CatalogHit]: ...
def catalog_search_text(
    catalog: CatalogCore,
    query: str,
    typos: int | None,
    last_is_prefix: bool,
    limit: int,
    most: int,
) -> tuple[list[_CatalogHit], bool] | None: ...
def catalog_search_texts(
    catalog: CatalogCore,
    queries: list[str | tuple[list[str], list[int]]],
    last_is_prefix: list[bool],
    typos: int | None,
    limit: int,
    most: int,
    workers: int,
) -> tuple[list[list[_CatalogHit]], bool]: ...
def catalog_words(
    catalog: CatalogCore,
    hit_type: type[tuple[Any, ...]],
    lower: bool,
    synonyms: dict[str, str] | None,
) -> bool: ...
def catalog_match(
    catalog: CatalogCore, words: list[str], limit: int, cutoff: float
) -> list[_CatalogHit]: ...
def catalog_match_many(
    catalog: CatalogCore,
    terms: list[str],
    words: Buffer,
    offsets: Buffer,
    most: int,
    limit: int,
    cutoff: float,
    workers: int,
) -> tuple[list[list[_CatalogHit]], list[int]]: ...
def catalog_match_texts(
    catalog: CatalogCore,
    names: list[str | list[str]],
    most: int,
    limit: int,
    cutoff: float,
    workers: int,
) -> tuple[list[list[_CatalogHit]], list[int]] | None: ...
def catalog_info(catalog: CatalogCore) -> tuple[int, int, int]: ...
def catalog_split(
    blob: Buffer, separator: Buffer, symbols: Buffer
) -> tuple[list[str], bytes, bytes]: ...
def catalog_renumber(words: Buffer, offsets: Buffer, table: Buffer) -> tuple[bytes, bytes]: ...

# ---- spelling (see errormodel.py) -----------------------------------------

class _Channel: ...

def channel(
    sources: list[str], targets: list[str], costs: list[float], rates: list[float]
) -> _Channel:
    """A learned channel: edits sources[i] -> targets[i] at costs[i], and
    (substitute, remove, insert, swap) rates for the rest."""

def channel_costs(channel: _Channel, typed: str, words: list[str], band: int) -> list[float]:
    """The cheapest cost of editing each of ``words`` into ``typed``."""

def channel_rank(
    channel: _Channel,
    typed: str,
    words: list[str],
    priors: list[float],
    limit: int,
    max_cost: float,
    band: int,
) -> list[tuple[int, float]]:
    """The ``limit`` best of ``words`` meant by ``typed``, as (position in
    words, prior less cost), best first; words costing more than
    ``max_cost`` are left out."""

class _Corrector: ...

def corrector(
    words: PrefixSearch,
    word_weights: WeightTable | None,
    sounds: PrefixSearch,
    sound_weights: WeightTable | None,
    model: tuple[int, int, str],
    sounding: dict[str, list[str]],
    counts: dict[str, int],
    log_total: float,
    limits: tuple[int, int, float, float, int, int],
) -> _Corrector:
    """A corrector over the word search and the sounds-like keys' search."""

def corrector_best(
    corrector: _Corrector, channel: _Channel, words: list[str], workers: int
) -> list[str | None]:
    """For each lower-case word, the word meant, or None when it is known or
    nothing is within reach; on native threads."""

def sounds_like(word: str) -> str:
    """The sounds-like key of the lower-case ``word``."""

def context_scores(
    counts: dict[str, int],
    pairs: dict[tuple[str, str], float],
    log_total: float,
    backoff: float,
    words: list[str],
    before: str | None,
    after: str | None,
) -> list[float]: ...
def text_spans(text: str, skipped: Callable[[str], bool]) -> list[tuple[int, int]]: ...
