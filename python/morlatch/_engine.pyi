"""Native helpers of the morlatch package; not a public interface."""

from collections.abc import Iterator
from typing import Literal, TypeVar, overload

from typing_extensions import Buffer

from _morlatch import PrefixSearch

def check_bytes(data: Buffer) -> str | None:
    """None when ``data`` starts with a complete trie image (as ``from_bytes``
    reads it), else a one-line description of what is wrong and at which
    byte offset, e.g. ``"UnexpectedEnd { additional: 3 } at byte 12"``."""

# ---- the index (see index.py, which checks the arguments first) ----------

DISTANCE_CAP: int
"""The largest max_dist the searches tell apart (no key is that long)."""

_M = TypeVar("_M", bound=tuple[str, int, int])

class KeyIterator(Iterator[object]):
    def __next__(self) -> object: ...

def key_count(search: PrefixSearch) -> int:
    """The number of keys; ValueError when the trie is not well formed."""

def layout_info(search: PrefixSearch) -> dict[str, int | float | bool]:
    """nodes, keys, bytes held (reverse index included once built),
    arrays_kept, reverse_index_built and reverse_index_seconds; ValueError
    when the trie is not well formed."""

def search(
    search: PrefixSearch,
    query: str,
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    match_type: type[_M],
) -> list[_M]: ...
def complete(
    search: PrefixSearch,
    prefix: str,
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    match_type: type[_M],
) -> list[_M]: ...
def search_many(
    search: PrefixSearch,
    queries: list[str],
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    workers: int,
    match_type: type[_M],
) -> list[list[_M]]: ...
@overload
def keys(search: PrefixSearch, prefix: str, items: Literal[False]) -> Iterator[str]: ...
@overload
def keys(search: PrefixSearch, prefix: str, items: Literal[True]) -> Iterator[tuple[str, int]]: ...
