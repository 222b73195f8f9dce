"""Lay a set of keys out as the four flat trie arrays and build a PrefixSearch.

Nodes are numbered in level order (breadth first) with the children of every
node in code-point order, so siblings get consecutive ids and sit next to each
other in memory, which is what makes the native walk fast. The keys are
checked here; the native builder of ``_engine`` sorts and lays them out.
"""

from __future__ import annotations

import operator
from array import array
from collections.abc import Callable, Iterable, Mapping, Sequence
from itertools import count
from typing import Literal, NamedTuple, SupportsIndex, TypeAlias, cast

import _morlatch

from . import _engine

__all__ = ["Duplicates", "Keys", "MAX_PAYLOAD", "Progress", "TrieArrays", "build", "layout"]

MAX_PAYLOAD = 0xFFFFFFFF

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

#: What a key given twice with different payloads keeps: its last payload,
#: its first, or nothing (ValueError naming the key).
Duplicates: TypeAlias = Literal["last", "first", "error"]


def build(
    keys: Keys, *, duplicates: Duplicates = "last", progress: Progress | None = None
) -> _morlatch.PrefixSearch:
    """Build a searchable trie from ``keys`` (see :func:`layout`)."""
    return _lay_out(_collect(keys, duplicates), progress)


def layout(
    keys: Keys, *, duplicates: Duplicates = "last", progress: Progress | None = None
) -> TrieArrays:
    """Validate ``keys`` and lay them out as the trie arrays.

    ``keys`` is a mapping of key to payload, or an iterable whose items are
    either keys (the payload is then the item's position in the iterable) or
    ``(key, payload)`` pairs. A key given more than once with different
    payloads (a repeated key of a plain list always is: its positions
    differ) keeps its ``duplicates="last"`` payload (the default), its
    ``"first"``, or, with ``"error"``, raises ValueError naming the key and
    both items. Keys must be non-empty ``str`` without lone surrogates;
    payloads are integers in 0..4294967295 (``bool`` is refused as a likely
    mistake). Raises TypeError or ValueError before any array is built.

    ``progress``, if given, is called now and then with the number of keys
    placed so far and the number of distinct keys.
    """
    shifts, strings, payloads = _engine.layout(_collect(keys, duplicates), progress)
    node_shifts = array(_U32)
    node_shifts.frombytes(shifts)
    # In level order the children of node n start right after the children
    # of nodes 0..n-1, and child_indices is simply 1, 2, ..., nodes - 1.
    return TrieArrays(node_shifts, strings, payloads, range(1, len(strings)))


def _collect(keys: Keys, duplicates: str = "last") -> dict[str, int] | list[str]:
    # Checked keys for the native builder: a dict of key to payload, or a list
    # of keys whose payloads are their positions.
    if duplicates not in ("last", "first", "error"):
        raise ValueError(f"duplicates must be 'last', 'first' or 'error', not {duplicates!r}")
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
    if _all_type(items, str) and len(items) <= MAX_PAYLOAD + 1:
        # Each payload is the key's position, and the native builder keeps
        # the last one of a repeated key, as a dict would; the dict itself,
        # whose payloads name the items in messages, is only made for a bad
        # key: hashing every key costs more than building the trie.
        strings = cast(list[str], items)
        if "" in strings or not _is_text(strings):
            table = dict(zip(strings, count()))
            _check_keys_text(table, lambda key: f"item {table[key]}")
        if duplicates == "last" or len(set(strings)) == len(strings):
            return strings
    table, where = _collect_items(items, duplicates)
    _check_keys_text(table, lambda key: f"item {where[key]}")
    _check_payload_range(table, lambda key: f"payload of item {where[key]}")
    return table


def _collect_items(
    items: Sequence[object], duplicates: str
) -> tuple[dict[str, int], dict[str, int]]:
    table: dict[str, int] = {}
    where: dict[str, int] = {}  # the item each key's payload came from
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
        earlier = table.get(key)
        if earlier is not None and earlier != payload:
            if duplicates == "error":
                raise ValueError(
                    f"item {position}: key {key!r} is given again with payload {payload}, after "
                    f"payload {earlier} at item {where[key]} (duplicates='error')"
                )
            if duplicates == "first":
                continue
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
    if not _is_text(table):
        for key in table:
            try:
                key.encode("utf-8")
            except UnicodeEncodeError as error:
                raise ValueError(
                    f"{describe(key)}: key {key!r} is not valid text ({error.reason})"
                ) from None


def _is_text(keys: Iterable[str]) -> bool:
    try:
        # One bulk encode finds lone surrogates, which have no UTF-8 form.
        "".join(keys).encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _check_payload_range(table: dict[str, int], describe: Callable[[str], str]) -> None:
    if table and (min(table.values()) < 0 or max(table.values()) > MAX_PAYLOAD):
        for key, value in table.items():
            if not 0 <= value <= MAX_PAYLOAD:
                raise ValueError(f"{describe(key)}: {value} is outside 0..{MAX_PAYLOAD}")


def _lay_out(
    table: dict[str, int] | list[str], progress: Progress | None
) -> _morlatch.PrefixSearch:
    # The native builder sorts the keys and lays them out in level order
    # without the interpreter's lock; the search answers for the arrays.
    return _engine.build(table, progress)
