"""The trie arrays as handed over by from_internal_data, read back through
get_children and get_payload."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
from _morlatch import from_internal_data
from reference import UNWRAP_NONE, outcome
from reference import index_out_of_bounds as index_fault


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a", "a"),
        ("abc", "a"),
        ("é", "é"),
        ("\U0001f600x", "\U0001f600"),
        ("\U0010ffff", "\U0010ffff"),
        ("\x00", "\x00"),
    ],
)
def test_node_string_gives_its_first_character(text, expected):
    search = from_internal_data([0, 1], ["", text], [None, None], [1])
    assert search.get_children(0) == [(expected, 1)]


def test_empty_node_string_is_an_absent_character(panic_exception):
    # Node 1 has no character: reading it as node 0's child faults, while
    # node 1's own children never read it.
    search = from_internal_data([0, 1, 2], ["", "", "z"], [None, None, 5], [1, 2])
    with pytest.raises(panic_exception) as info:
        search.get_children(0)
    assert info.value.args == (UNWRAP_NONE,)
    assert search.get_children(1) == [("z", 2)]


@pytest.mark.parametrize(
    "shifts, children, node, expected",
    [
        # Equal shifts: no children.
        ([0, 2, 2, 2], [1, 2], 1, []),
        # The last node's children run to the end of child_indices.
        ([0, 1, 1], [1, 2], 2, [("b", 2)]),
        ([0, 0, 0], [1, 2], 2, [("a", 1), ("b", 2)]),
        # Children keep the order of child_indices, not character order.
        ([0, 2, 2], [2, 1], 0, [("b", 2), ("a", 1)]),
        # A start beyond the end gives an empty list, not a fault.
        ([2, 1, 2], [1, 2], 0, []),
        ([5, 0, 0], [1, 2], 0, []),
        # The same child may be listed twice.
        ([0, 2, 2], [1, 1], 0, [("a", 1), ("a", 1)]),
    ],
)
def test_children_ranges(shifts, children, node, expected):
    search = from_internal_data(shifts, ["", "a", "b"], [None, 1, 2], children)
    assert search.get_children(node) == expected


@pytest.mark.parametrize(
    "shifts, strings, children, node, message",
    [
        ([], [], [], 0, index_fault(0, 0)),
        ([0], [""], [], 1, index_fault(1, 1)),
        ([0, 1], ["", "a"], [1], 2**32 - 1, index_fault(2, 2**32 - 1)),
        # A child id past the end of node_strings.
        ([0, 1], ["", "a"], [7], 0, index_fault(2, 7)),
        # node_shifts pointing past the end of child_indices.
        ([0, 3], ["", "a"], [1], 0, index_fault(1, 1)),
        ([2], [""], [0], 0, None),
    ],
)
def test_children_faults(panic_exception, shifts, strings, children, node, message):
    search = from_internal_data(shifts, strings, [None] * len(strings), children)
    if message is None:
        # start 2 beyond the end 1: empty, not a fault
        assert search.get_children(node) == []
        return
    with pytest.raises(panic_exception) as info:
        search.get_children(node)
    assert info.value.args == (message,)


@pytest.mark.parametrize("payload", [0, 1, 2**31, 2**32 - 1])
def test_payload_values(payload):
    search = from_internal_data([0, 1], ["", "a"], [None, payload], [1])
    assert search.get_payload(0) is None
    assert search.get_payload(1) == payload


def test_lists_of_different_lengths_are_accepted(panic_exception):
    search = from_internal_data([0, 1, 1], ["", "a"], [None, 4, 9, 11], [1, 2])
    assert search.get_payload(3) == 11
    assert search.get_children(0) == [("a", 1)]
    assert search.get_children(1) == []
    # The last node's children run to the end of child_indices, to node 2,
    # which has a payload but no string: reading it as a child faults.
    with pytest.raises(panic_exception) as info:
        search.get_children(2)
    assert info.value.args == (index_fault(2, 2),)
    with pytest.raises(panic_exception) as info:
        search.get_payload(4)
    assert info.value.args == (index_fault(4, 4),)


def test_empty_trie_builds_but_faults_on_reads(panic_exception):
    search = from_internal_data([], [], [], [])
    for read in (search.get_children, search.get_payload):
        with pytest.raises(panic_exception) as info:
            read(0)
        assert info.value.args == (index_fault(0, 0),)


@given(
    shifts=st.lists(st.integers(0, 6), max_size=6),
    strings=st.lists(st.sampled_from(["", "a", "bc", "ü", "\U0001f600"]), max_size=6),
    children=st.lists(st.integers(0, 6), max_size=6),
    node=st.integers(0, 7),
)
def test_get_children_matches_the_model(shifts, strings, children, node):
    arrays = (shifts, strings, [None] * len(strings), children)
    search = from_internal_data(*arrays)
    # The same children, or the same fault message.
    assert outcome(lambda: search.get_children(node)) == outcome(
        lambda: reference.children(arrays, node)
    )
