"""fuzzy_match and exact_match through the built module.

Two independent references check the native walk: a brute-force Levenshtein
distance over every key (which keys, at which distance), and a small Python
model of the walk (the exact list and its order, the limit, and which fault
malformed arrays produce).
"""

from __future__ import annotations

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morlatch
from reference import (
    UNWRAP_NONE,
    fault_message,
    levenshtein,
    outcome,
    trie_arrays,
    walk,
)
from reference import index_out_of_bounds as oob


def search(keys, **layout):
    return _morlatch.from_internal_data(*trie_arrays(keys, **layout))


# ------------------------------------------------------------ worked cases

CAT = {"ca": 1, "cat": 2, "cut": 3, "xa": 4, "xab": 5}


class TestWorkedExample:
    def test_cat_within_one(self):
        assert search(CAT).fuzzy_match("cat", 1, None) == [
            ("ca", 1, 1),
            ("cat", 2, 0),
            ("cut", 3, 1),
        ]

    def test_keywords(self):
        ps = search(CAT)
        assert ps.fuzzy_match(prefix="cat", max_dist=1, limit=10) == ps.fuzzy_match("cat", 1, 10)


class TestRecording:
    @pytest.mark.parametrize("query, max_dist", [("", 0), ("", 3), ("a", 1)])
    def test_root_payload_is_never_reported(self, query, max_dist):
        ps = search({"": 7, "a": 1})
        assert all(key != "" for key, _, _ in ps.fuzzy_match(query, max_dist, None))

    @pytest.mark.parametrize("max_dist", [0, 1, 2, 3])
    def test_empty_query_reports_keys_of_length_one_to_max_dist(self, max_dist):
        keys = {"": 0, "a": 1, "ab": 2, "abc": 3, "b": 4, "bcd": 5}
        got = search(keys).fuzzy_match("", max_dist, None)
        expected = {(k, p, len(k)) for k, p in keys.items() if 1 <= len(k) <= max_dist}
        assert sorted(got) == sorted(expected)

    # The core's own tests cover the rules; these check what crosses the
    # conversion: non-ASCII and astral text, payload extremes.
    @pytest.mark.parametrize(
        "keys, query, max_dist, expected",
        [
            ({"e\u0301": 1, "\u00e9": 2}, "\u00e9", 0, [("\u00e9", 2, 0)]),
            ({"a\U0001f600": 1}, "a\U0001f601", 1, [("a\U0001f600", 1, 1)]),
            ({"\U0001f600\U0001f600": 1}, "\U0001f600", 1, [("\U0001f600\U0001f600", 1, 1)]),
            ({"a": 0, "b": 2**32 - 1}, "c", 1, [("a", 0, 1), ("b", 2**32 - 1, 1)]),
        ],
    )
    def test_rule(self, keys, query, max_dist, expected):
        assert search(keys).fuzzy_match(query, max_dist, None) == expected

    def test_huge_max_dist_reports_everything(self):
        keys = {"a": 1, "bcdef": 2, "zz": 3}
        got = search(keys).fuzzy_match("q", 2**64 - 1, None)
        assert sorted(got) == sorted((k, p, levenshtein(k, "q")) for k, p in keys.items())


class TestLimit:
    def test_zero_gives_nothing(self):
        assert search(CAT).fuzzy_match("cat", 3, 0) == []

    def test_larger_than_the_count_gives_all_in_walk_order(self):
        ps = search(CAT)
        assert ps.fuzzy_match("cat", 3, 1000) == ps.fuzzy_match("cat", 3, None)

    @pytest.mark.parametrize("limit", [1, 2, 3, 4])
    def test_keeps_the_first_found_not_the_closest(self, limit):
        ps = search(CAT)
        everything = ps.fuzzy_match("cat", 3, None)
        assert len(everything) > 4
        assert ps.fuzzy_match("cat", 3, limit) == everything[:limit]


class TestOrder:
    @pytest.mark.parametrize(
        "keys, query, expected",
        [
            # the query's path first, even past a closer key elsewhere
            ({"bxx": 1, "a": 2}, "ba", [("bxx", 1, 2), ("a", 2, 1)]),
            ({"a": 1, "xa": 2}, "xa", [("xa", 2, 0), ("a", 1, 1)]),
            # no child continues the query: plain trie order
            ({"ax": 1, "bx": 2}, "x", [("ax", 1, 1), ("bx", 2, 1)]),
        ],
    )
    def test_walk_order_not_distance_order(self, keys, query, expected):
        assert search(keys).fuzzy_match(query, 2, None) == expected

    def test_later_duplicate_child_on_the_query_character_wins(self):
        # Root children: 'a'(1) 'b'(2) 'a'(3). Query "a": 3 first, 1 dropped.
        ps = _morlatch.from_internal_data(
            [0, 3, 3, 3], ["", "a", "b", "a"], [None, 1, 2, 3], [1, 2, 3]
        )
        assert ps.fuzzy_match("a", 1, None) == [("a", 3, 0), ("b", 2, 1)]

    def test_duplicate_keys_are_reported_once_per_node(self):
        ps = _morlatch.from_internal_data([0, 2, 2], ["", "a", "a"], [None, 1, 2], [1, 2])
        assert ps.fuzzy_match("b", 1, None) == [("a", 1, 1), ("a", 2, 1)]


class TestExactMatch:
    def test_found(self):
        assert search(CAT).exact_match("cat") == ("cat", 2, 0)

    @pytest.mark.parametrize("query", ["c", "x", "cats", "Cat", "", "q"])
    def test_not_a_key(self, query):
        assert search(CAT).exact_match(query) is None

    def test_empty_prefix_with_root_payload(self):
        assert search({"": 5, "a": 1}).exact_match("") is None

    def test_first_of_duplicates(self):
        # Two 'a' children: the later is the promoted one and found first.
        ps = _morlatch.from_internal_data([0, 2, 2], ["", "a", "a"], [None, 1, 2], [1, 2])
        assert ps.exact_match("a") == ("a", 2, 0)


class TestFaults:
    @pytest.mark.parametrize(
        "arrays, message",
        [
            (([], [], [], []), oob(0, 0)),
            (([0], [""], [], []), oob(0, 0)),
            # a child without a character
            (([0, 1], ["", ""], [None, 1], [1]), UNWRAP_NONE),
            # a child id past the per-node lists
            (([0], [""], [None], [5]), oob(1, 5)),
            # node_shifts past child_indices
            (([0, 3], ["", "a"], [None, 1], [1]), oob(1, 1)),
            # payload list shorter than the others
            (([0, 1, 1], ["", "a", "a"], [None], [1]), oob(1, 1)),
        ],
    )
    def test_inconsistent_arrays_panic(self, arrays, message):
        ps = _morlatch.from_internal_data(*arrays)
        assert fault_message(lambda: ps.fuzzy_match("a", 1, None)) == message
        assert fault_message(lambda: ps.exact_match("a")) == message

    def test_decreasing_shifts_mean_no_children(self):
        ps = _morlatch.from_internal_data([2, 0, 1], ["", "a", "b"], [None, 1, 2], [1, 2])
        assert ps.fuzzy_match("a", 5, None) == []

    @pytest.mark.parametrize(
        "arrays",
        [
            ([0], ["x"], [1], [0]),  # the root is its own child
            ([0, 1, 2], ["r", "a", "b"], [None, 1, 2], [1, 2, 0]),  # back to the root
            ([0, 1, 2], ["", "a", "b"], [None, 1, 2], [1, 2, 1]),  # back below it
        ],
    )
    def test_cycle_panics_instead_of_hanging(self, arrays):
        ps = _morlatch.from_internal_data(*arrays)
        message = fault_message(lambda: ps.fuzzy_match("", 2**64 - 1, None))
        assert ("fault", message) == outcome(lambda: walk(arrays, "", 2**64 - 1, None))
        assert message.startswith("the trie arrays contain a cycle: ")
        # A walk that enters nothing below the root never comes round.
        assert ps.fuzzy_match("", 2**64 - 1, 0) == []

    def test_object_stays_usable_after_a_panic(self):
        ps = _morlatch.from_internal_data([0, 1], ["", ""], [None, 1], [1])
        first = fault_message(lambda: ps.fuzzy_match("a", 1, None))
        assert ps.get_payload(1) == 1
        assert fault_message(lambda: ps.fuzzy_match("a", 1, None)) == first


# ------------------------------------------------------------- properties

# Shared prefixes are likely; NUL and characters of two, three and four
# UTF-8 bytes cross the conversion.
ALPHABET = "ab\0\u00e9\u20acZ\U0001f600"
texts = st.text(alphabet=ALPHABET, max_size=6)
key_sets = st.dictionaries(texts, st.none() | st.integers(0, 2**32 - 1), max_size=24)


@st.composite
def layouts(draw):
    """Children in code-point order (as the package lays them out, which
    lets the module use its fast search) or in a fixed shuffled order; ids
    breadth or depth first."""
    if draw(st.booleans()):
        return {"order": sorted, "breadth_first": draw(st.booleans())}
    rng = draw(st.randoms(use_true_random=False))

    def order(kids):
        chars = sorted(kids)
        rng.shuffle(chars)  # a fixed shuffle per node within one layout
        return chars

    memo = {}

    def stable(kids):
        k = tuple(sorted(kids))
        if k not in memo:
            memo[k] = order(kids)
        return memo[k]

    return {"order": stable, "breadth_first": draw(st.booleans())}


PROPERTY = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(keys=key_sets, layout=layouts(), query=texts, max_dist=st.integers(0, 4))
def test_same_keys_and_distances_as_brute_force(keys, layout, query, max_dist):
    ps = search(keys, **layout)
    got = ps.fuzzy_match(query, max_dist, None)
    expected = {
        (k, p, levenshtein(k, query))
        for k, p in keys.items()
        if k and p is not None and levenshtein(k, query) <= max_dist
    }
    assert len(got) == len(set(got))
    assert set(got) == expected


@PROPERTY
@given(
    keys=key_sets,
    layout=layouts(),
    query=texts,
    max_dist=st.integers(0, 4),
    limit=st.none() | st.integers(0, 6),
)
def test_same_list_as_the_walk_model(keys, layout, query, max_dist, limit):
    arrays = trie_arrays(keys, **layout)
    ps = _morlatch.from_internal_data(*arrays)
    assert ps.fuzzy_match(query, max_dist, limit) == walk(arrays, query, max_dist, limit)


@PROPERTY
@given(keys=key_sets, layout=layouts(), query=texts)
def test_exact_match_is_a_lookup(keys, layout, query):
    ps = search(keys, **layout)
    # Every key, every proper prefix of one (an inner node, with or without
    # a payload) and an arbitrary text.
    for text in [query, *keys, *(key[:-1] for key in keys)]:
        payload = keys.get(text)
        expected = (text, payload, 0) if text and payload is not None else None
        assert ps.exact_match(text) == expected


@st.composite
def malformed(draw):
    """Small arbitrary arrays: ids and shifts may point anywhere, characters
    may be missing, lists may differ in length, child lists may loop. Most
    draws are near a valid trie, so that walks get somewhere before breaking."""
    n = draw(st.integers(1, 5))
    sizes = st.integers(max(0, n - 1), n + 1) | st.just(n)
    child_indices = draw(
        st.lists(st.integers(1, n - 1) if n > 1 else st.just(0), min_size=n - 1, max_size=6)
    )
    child_indices = [
        draw(st.integers(0, n + 1)) if draw(st.integers(0, 9)) == 0 else i for i in child_indices
    ]
    shifts = sorted(draw(st.lists(st.integers(0, len(child_indices)), min_size=n, max_size=n)))
    if draw(st.booleans()):
        shifts = draw(st.permutations(shifts))
    shifts = shifts[: draw(sizes)]
    strings = [
        draw(st.sampled_from(["a", "b", "ab", "\U0001f600", ""])) for _ in range(draw(sizes))
    ]
    payloads = [draw(st.none() | st.integers(0, 9)) for _ in range(draw(sizes))]
    return shifts, strings, payloads, child_indices


@settings(max_examples=1500, deadline=None)
@given(
    arrays=malformed(),
    query=st.text(alphabet="ab\U0001f600", max_size=3),
    max_dist=st.integers(0, 3) | st.just(2**64 - 1),
    limit=st.none() | st.integers(0, 4),
)
def test_malformed_arrays_give_the_modelled_result_or_fault(arrays, query, max_dist, limit):
    ps = _morlatch.from_internal_data(*arrays)
    got = outcome(lambda: ps.fuzzy_match(query, max_dist, limit))
    assert got == outcome(lambda: walk(arrays, query, max_dist, limit))


def test_large_random_trie_against_both_references():
    rng = random.Random(7)
    words = {"".join(rng.choice("abcde") for _ in range(rng.randint(1, 7))) for _ in range(400)}
    keys = {w: i for i, w in enumerate(sorted(words))}
    arrays = trie_arrays(keys)
    ps = _morlatch.from_internal_data(*arrays)
    for _ in range(40):
        query = "".join(rng.choice("abcdef") for _ in range(rng.randint(0, 6)))
        for max_dist in (0, 1, 2):
            got = ps.fuzzy_match(query, max_dist, None)
            assert got == walk(arrays, query, max_dist, None)
            assert {(k, d) for k, _, d in got} == {
                (k, levenshtein(k, query)) for k in keys if levenshtein(k, query) <= max_dist
            }
