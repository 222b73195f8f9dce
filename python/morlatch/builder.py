"""Lay a set of keys out as the four flat trie arrays and build a PrefixSearch.

Nodes are numbered in level order (breadth first) with the children of every
node in code-point order, so siblings get consecutive ids and sit next to each
other in memory, which is what makes the native walk fast.
"""

from __future__ import annotations

import operator
from array import array
from collections.abc import Callable, Iterable, Mapping, Sequence
from itertools import accumulate, chain, compress, count, groupby, repeat
from typing import NamedTuple, SupportsIndex, TypeAlias, cast

import _morlatch

__all__ = ["Keys", "MAX_PAYLOAD", "Progress", "TrieArrays", "build", "layout"]

MAX_PAYLOAD = 0xFFFFFFFF
_MAX_NODES = 0xFFFFFFFF + 1

#: Accepted key collections: a mapping of key to payload, or an iterable whose
#: items are keys (payload = the item's position) or (key, payload) pairs.
Keys: TypeAlias = Mapping[str, SupportsIndex] | Iterable[str | tuple[str, SupportsIndex]]

# An unsigned array type of exactly 32 bits keeps node_shifts compact.
_U32 = next(code for code in "IL" if array(code).itemsize == 4)


class TrieArrays(NamedTuple):
    """The four parallel arrays that ``_morlatch.from_internal_data`` takes."""

    node_shifts: Sequence[int]
    node_strings: Sequence[str]
    node_payloads: Sequence[int | None]
    child_indices: Sequence[int]


#: Called as progress(done, total) while a trie is laid out.
Progress: TypeAlias = Callable[[int, int], None]


def build(keys: Keys, *, progress: Progress | None = None) -> _morlatch.PrefixSearch:
    """Build a searchable trie from ``keys`` (see :func:`layout`)."""
    return _morlatch.from_internal_data(*layout(keys, progress=progress))


def layout(keys: Keys, *, progress: Progress | None = None) -> TrieArrays:
    """Validate ``keys`` and lay them out as the trie arrays.

    ``keys`` is a mapping of key to payload, or an iterable whose items are
    either keys (the payload is then the item's position in the iterable) or
    ``(key, payload)`` pairs. A key given more than once keeps its last
    payload. Keys must be non-empty ``str`` without lone surrogates; payloads
    are integers in 0..4294967295 (``bool`` is refused as a likely mistake).
    Raises TypeError or ValueError before any array is built.

    ``progress``, if given, is called now and then with the number of keys
    placed so far and the number of distinct keys.
    """
    table = _collect(keys)
    return _lay_out(table, progress)


def _collect(keys: Keys) -> dict[str, int]:
    if isinstance(keys, (str, bytes, bytearray)):
        raise TypeError(
            f"keys must be a mapping or an iterable of keys, not a single {type(keys).__name__}"
        )
    if isinstance(keys, Mapping):
        table = dict(keys)
        if not _all_type(table, str):
            table = {_check_key(key, f"key {key!r}"): value for key, value in table.items()}
        if not _all_type(table.values(), int):
            table = {
                key: _payload(value, f"payload of key {key!r}") for key, value in table.items()
            }
        _check_keys_text(table, lambda key: f"key {key!r}")
        _check_payload_range(table, lambda key: f"payload of key {key!r}")
        return table

    if not isinstance(keys, Iterable):
        raise TypeError(
            f"keys must be a mapping or an iterable of keys, not {type(keys).__name__!r}"
        )
    items = list(keys)
    if _all_type(items, str):
        # Each payload is the key's last position, so duplicates keep the
        # last one and the payload itself names the item in messages.
        table = dict(zip(items, count()))
        where: dict[str, int] = table
    else:
        table, where = _collect_items(items)
    _check_keys_text(table, lambda key: f"item {where[key]}")
    _check_payload_range(table, lambda key: f"payload of item {where[key]}")
    return table


def _collect_items(items: Sequence[object]) -> tuple[dict[str, int], dict[str, int]]:
    table: dict[str, int] = {}
    where: dict[str, int] = {}
    for position, item in enumerate(items):
        if isinstance(item, str):
            key, payload = _check_key(item, f"item {position}"), position
        elif isinstance(item, tuple) and len(item) == 2:
            key = _check_key(item[0], f"key of item {position}")
            payload = _payload(item[1], f"payload of item {position}")
        else:
            raise TypeError(
                f"item {position}: expected a str key or a (key, payload) pair, "
                f"got {type(item).__name__!r}"
            )
        table[key] = payload
        where[key] = position
    return table, where


def _all_type(values: Iterable[object], kind: type) -> bool:
    # Exact types only: the fast path must not let bool pass as int.
    return all(t is kind for t in set(map(type, values)))


def _check_key(key: object, what: str) -> str:
    if not isinstance(key, str):
        raise TypeError(f"{what}: a key must be a str, not {type(key).__name__!r}")
    return key if type(key) is str else str.__str__(key)


def _payload(value: object, what: str) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{what}: a payload must be an int, not {type(value).__name__!r}")
    return operator.index(cast(SupportsIndex, value))


def _check_keys_text(table: dict[str, int], describe: Callable[[str], str]) -> None:
    if "" in table:
        raise ValueError(f"{describe('')}: the empty key is not allowed (it can never be reported)")
    try:
        # One bulk encode finds lone surrogates, which have no UTF-8 form.
        "".join(table).encode("utf-8")
    except UnicodeEncodeError:
        for key in table:
            try:
                key.encode("utf-8")
            except UnicodeEncodeError as error:
                raise ValueError(
                    f"{describe(key)}: key {key!r} is not valid text ({error.reason})"
                ) from None


def _check_payload_range(table: dict[str, int], describe: Callable[[str], str]) -> None:
    if table and (min(table.values()) < 0 or max(table.values()) > MAX_PAYLOAD):
        for key, value in table.items():
            if not 0 <= value <= MAX_PAYLOAD:
                raise ValueError(f"{describe(key)}: {value} is outside 0..{MAX_PAYLOAD}")


def _lay_out(table: dict[str, int], progress: Progress | None) -> TrieArrays:
    # Work top down, one depth at a time, over the keys in sorted order. Each
    # key still longer than the depth has reached one node; the pairs (that
    # node, the key's next character) in key order are grouped runs, and each
    # run is one node of the next level. Sorted keys keep the parents in
    # level order and each parent's characters in code-point order, so the
    # runs come out exactly in breadth-first order with children in
    # code-point order. The work grows with the keys' total length and needs
    # no prefix strings, so a very long key costs no more than its length;
    # and once a single key is left, its remaining characters form a chain
    # that is laid out at once. No recursion, whatever the depth.
    keys = sorted(table)
    node_strings: list[str] = [""]
    node_payloads: list[int | None] = [None]
    child_counts: list[int] = [0]
    active = keys  # keys longer than depth, sorted
    reached = [0] * len(keys)  # the node each active key has reached
    depth = 0
    placed = 0
    while len(active) > 1:
        chars = list(map(operator.itemgetter(depth), active))
        # A run starts where the parent or the character changes.
        starts = list(
            map(
                operator.or_,
                map(operator.ne, reached, chain([-1], reached)),
                map(operator.ne, chars, chain([""], chars)),
            )
        )
        first = len(node_strings) - 1
        ids = list(accumulate(starts, initial=first))
        del ids[0]
        level = len(node_strings)
        node_strings.extend(compress(chars, starts))
        level = len(node_strings) - level
        node_payloads.extend(repeat(None, level))
        for parent, children in groupby(compress(reached, starts)):
            child_counts[parent] = sum(1 for _ in children)
        child_counts.extend(repeat(0, level))
        depth += 1
        ends = list(map(operator.eq, map(len, active), repeat(depth)))
        for key, node in compress(zip(active, ids, strict=True), ends):
            node_payloads[node] = table[key]
        if any(ends):
            keep = list(map(operator.not_, ends))
            active = list(compress(active, keep))
            reached = list(compress(ids, keep))
            placed += len(ends) - len(active)
            if progress is not None:
                progress(placed, len(table))
        else:
            reached = ids
    if active:
        # One key left: the rest of it is a chain below the node it reached.
        key = active[0]
        tail = len(key) - depth
        child_counts[reached[0]] = 1
        node_strings.extend(key[depth:])
        node_payloads.extend(repeat(None, tail - 1))
        node_payloads.append(table[key])
        child_counts.extend(repeat(1, tail - 1))
        child_counts.append(0)
        if progress is not None:
            progress(placed + 1, len(table))
    del active, reached

    if len(node_strings) > _MAX_NODES:
        raise ValueError(f"the trie would have {len(node_strings)} nodes; at most 2**32 fit")
    # In level order the children of node n start right after the children
    # of nodes 0..n-1, and child_indices is simply 1, 2, ..., nodes - 1.
    node_shifts = array(_U32, accumulate(child_counts, initial=0))
    node_shifts.pop()
    return TrieArrays(node_shifts, node_strings, node_payloads, range(1, len(node_strings)))
