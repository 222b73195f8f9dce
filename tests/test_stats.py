"""morlatch._engine.stats, the figures of `morlatch stats`, against a walk of
the reference model over the same arrays."""

from __future__ import annotations

from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import reference
from morlatch import _engine

KEYS = st.dictionaries(
    st.text(st.sampled_from("abcé😀"), min_size=1, max_size=7), st.integers(0, 2**32 - 1)
)


def reference_stats(arrays: reference.Arrays) -> dict[str, int] | None:
    """Nodes and keys reachable from the root and the level of the deepest key,
    by a level-order walk that reads what a query reads; None where a read is
    out of range, a child has no character or a node is reached twice."""
    payloads = arrays[2]
    seen = {0}
    level = [0]
    nodes = keys = deepest = depth = 0
    try:
        while level:
            below = []
            for node in level:
                nodes += 1
                if node >= len(payloads) or node >= len(arrays[0]):
                    return None
                if payloads[node] is not None:
                    keys += 1
                    deepest = depth
                for _, child in reference.children(arrays, node):
                    if child in seen:
                        return None
                    seen.add(child)
                    below.append(child)
            level = below
            depth += 1
    except reference.Fault:
        return None
    return {"nodes": nodes, "keys": keys, "depth": deepest}


def outcome(search: _morlatch.PrefixSearch) -> dict[str, Any] | None:
    try:
        figures = _engine.stats(search)
    except ValueError:
        return None
    assert figures.pop("bytes") == len(search.to_bytes())
    return figures


@pytest.mark.parametrize(
    ("order", "breadth_first"),
    [(sorted, True), (sorted, False), (lambda kids: sorted(kids, reverse=True), True)],
    ids=["as-built", "depth-first-ids", "not-well-formed"],
)
@given(keys=KEYS)
def test_stats_of_a_key_set(keys: dict[str, int], order: Any, breadth_first: bool) -> None:
    # Builder-like arrays (answered from the search layout), the same trie
    # numbered otherwise (layout beside the arrays) and with children in
    # descending order (no layout: the walk over the arrays).
    arrays = reference.trie_arrays(keys, order=order, breadth_first=breadth_first)
    search = _morlatch.from_internal_data(*arrays)
    expected = {
        "nodes": len({""} | {key[:i] for key in keys for i in range(len(key) + 1)}),
        "keys": len(keys),
        "depth": max(map(len, keys), default=0),
    }
    assert outcome(search) == expected == reference_stats(arrays)


@given(
    shifts=st.lists(st.integers(0, 6), max_size=6),
    strings=st.lists(st.sampled_from(["", "a", "b", "ü"]), max_size=6),
    payloads=st.lists(st.one_of(st.none(), st.integers(0, 9)), max_size=6),
    children=st.lists(st.integers(0, 6), max_size=7),
)
def test_stats_of_arbitrary_arrays_never_faults(
    shifts: list[int], strings: list[str], payloads: list[int | None], children: list[int]
) -> None:
    # Out-of-range indices, missing characters, cycles and shared children:
    # a ValueError where the walk cannot go on, never the module's fault.
    arrays = (shifts, strings, payloads, children)
    assert outcome(_morlatch.from_internal_data(*arrays)) == reference_stats(arrays)


@pytest.mark.parametrize(
    ("arrays", "message"),
    [
        (([], [], [], []), "the trie has no root"),
        (([0, 1], ["r", "a"], [None, 1], [1, 0]), "node 0 is reached twice"),
        (([0, 1], ["", "a"], [None, 1], [5]), "node 5, a child of node 0, is past the end"),
        (([0, 1], ["", ""], [None, 1], [1]), "node 1, a child of node 0, has no character"),
        (([0, 3], ["", "a"], [None, 1], [1]), "children of node 0 run to position 3"),
        (([0, 1], ["", "a"], [None], [1]), "node 1 is past the end of node_payloads"),
    ],
    ids=["no-root", "cycle", "child-out-of-range", "no-character", "range", "payloads"],
)
def test_stats_names_what_is_malformed(arrays: reference.Arrays, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        _engine.stats(_morlatch.from_internal_data(*arrays))


def test_stats_of_long_keys_from_the_layout() -> None:
    # Past 255 characters the layout's own length fields saturate.
    keys = {"x" * 300: 1, "x" * 1000 + "y": 2, "z": 3}
    arrays = reference.trie_arrays(keys)
    assert _engine.stats(_morlatch.from_internal_data(*arrays))["depth"] == 1001


def test_stats_refuses_what_is_no_prefix_search() -> None:
    with pytest.raises(TypeError):
        _engine.stats(b"\0\0\0\0")  # type: ignore[arg-type]
