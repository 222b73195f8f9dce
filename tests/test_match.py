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
from reference import levenshtein

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def oob(length: int, index: int) -> str:
    return f"index out of bounds: the len is {length} but the index is {index}"


def raises_panic(call):
    """Runs call, returns the PanicException's message (fails otherwise)."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", repr(e)
        return str(e)
    pytest.fail("expected a PanicException")


# ---------------------------------------------------------------- builders


def build(keys, order=sorted, breadth_first=True):
    """Lays out {key: payload-or-None} as the four arrays of a trie.

    `order` arranges each node's child characters; numbering is breadth-first
    (children consecutive) or depth-first.
    """
    tree = {"kids": {}, "payload": None}
    for key, payload in keys.items():
        node = tree
        for ch in key:
            node = node["kids"].setdefault(ch, {"kids": {}, "payload": None})
        node["payload"] = payload

    numbered = []  # (node, char) in id order

    def visit_breadth_first():
        queue = [(tree, "")]
        while queue:
            numbered.extend(queue)
            queue = [(n["kids"][c], c) for n, _ in queue for c in order(n["kids"])]

    def visit_depth_first(node, ch):
        numbered.append((node, ch))
        for c in order(node["kids"]):
            visit_depth_first(node["kids"][c], c)

    if breadth_first:
        visit_breadth_first()
    else:
        visit_depth_first(tree, "")
    ids = {id(node): i for i, (node, _) in enumerate(numbered)}
    shifts, strings, payloads, child_indices = [], [], [], []
    for node, ch in numbered:
        shifts.append(len(child_indices))
        strings.append(ch)
        payloads.append(node["payload"])
        child_indices.extend(ids[id(node["kids"][c])] for c in order(node["kids"]))
    return shifts, strings, payloads, child_indices


def search(keys, **layout):
    return _morlatch.from_internal_data(*build(keys, **layout))


# -------------------------------------------------------------- references



class ModelFault(Exception):
    pass


def model_children(arrays, n):
    shifts, strings, _, child_indices = arrays
    if n >= len(shifts):
        raise ModelFault(oob(len(shifts), n))
    start = shifts[n]
    nxt = (n + 1) & 0xFFFFFFFF
    end = len(child_indices) if nxt >= len(shifts) else shifts[nxt]
    out = []
    for i in range(start, end):
        if i >= len(child_indices):
            raise ModelFault(oob(len(child_indices), i))
        child = child_indices[i]
        if child >= len(strings):
            raise ModelFault(oob(len(strings), child))
        if not strings[child]:
            raise ModelFault(UNWRAP_NONE)
        out.append((strings[child][0], child))
    return out


def model_walk(arrays, query, max_dist, limit):
    """The walk as this system defines it, step by step, on plain lists."""
    payloads = arrays[2]
    n = len(query)
    found = []
    stack = [(0, 0, "", None)]  # node, depth, path text, parent's row
    while stack:
        node, depth, prefix, prev = stack.pop()
        if node >= len(payloads):
            raise ModelFault(oob(len(payloads), node))
        if depth >= len(payloads):
            raise ModelFault("cycle")
        if not prefix:
            row = list(range(n + 1))
        else:
            c = prefix[-1]
            row = [prev[0] + 1]
            for i in range(1, n + 1):
                row.append(min(prev[i] + 1, row[i - 1] + 1, prev[i - 1] + (c != query[i - 1])))
            full = limit is not None and len(found) >= limit
            if payloads[node] is not None and row[n] <= max_dist and not full:
                found.append((prefix, payloads[node], row[n]))
        children = model_children(arrays, node)
        if (limit is not None and len(found) >= limit) or min(row) > max_dist:
            continue
        promoted = None
        rest = []
        for ch, child in children:
            if depth < n and ch == query[depth]:
                promoted = (ch, child)  # a later one replaces an earlier one
            else:
                rest.append((ch, child))
        chosen = ([promoted] if promoted else []) + rest
        for ch, child in reversed(chosen):
            stack.append((child, depth + 1, prefix + ch, row))
    return found


def native(ps, query, max_dist, limit):
    """The module's answer, or ModelFault-style text when it panics."""
    try:
        return ps.fuzzy_match(query, max_dist, limit)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return ("fault", str(e))


def modelled(arrays, query, max_dist, limit):
    try:
        return model_walk(arrays, query, max_dist, limit)
    except ModelFault as e:
        return ("fault", str(e))


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
        assert raises_panic(lambda: ps.fuzzy_match("a", 1, None)) == message
        assert raises_panic(lambda: ps.exact_match("a")) == message

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
        message = raises_panic(lambda: ps.fuzzy_match("", 2**64 - 1, None))
        assert "cycle" in message
        # A walk that enters nothing below the root never comes round.
        assert ps.fuzzy_match("", 2**64 - 1, 0) == []

    def test_object_stays_usable_after_a_panic(self):
        ps = _morlatch.from_internal_data([0, 1], ["", ""], [None, 1], [1])
        first = raises_panic(lambda: ps.fuzzy_match("a", 1, None))
        assert ps.get_payload(1) == 1
        assert raises_panic(lambda: ps.fuzzy_match("a", 1, None)) == first


# ------------------------------------------------------------- properties

ALPHABET = "ab\u00e9Z\U0001f600"
texts = st.text(alphabet=ALPHABET, max_size=6)
key_sets = st.dictionaries(texts, st.none() | st.integers(0, 2**32 - 1), max_size=14)


@st.composite
def layouts(draw):
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
    arrays = build(keys, **layout)
    ps = _morlatch.from_internal_data(*arrays)
    assert ps.fuzzy_match(query, max_dist, limit) == model_walk(arrays, query, max_dist, limit)


@PROPERTY
@given(keys=key_sets, layout=layouts(), query=texts)
def test_exact_match_is_a_lookup(keys, layout, query):
    ps = search(keys, **layout)
    payload = keys.get(query)
    expected = (query, payload, 0) if query and payload is not None else None
    assert ps.exact_match(query) == expected


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
    got = native(ps, query, max_dist, limit)
    expected = modelled(arrays, query, max_dist, limit)
    if expected == ("fault", "cycle"):
        assert got[0] == "fault" and "cycle" in got[1]
    else:
        assert got == expected


def test_large_random_trie_against_both_references():
    rng = random.Random(7)
    words = {"".join(rng.choice("abcde") for _ in range(rng.randint(1, 7))) for _ in range(400)}
    keys = {w: i for i, w in enumerate(sorted(words))}
    arrays = build(keys)
    ps = _morlatch.from_internal_data(*arrays)
    for _ in range(40):
        query = "".join(rng.choice("abcdef") for _ in range(rng.randint(0, 6)))
        for max_dist in (0, 1, 2):
            got = ps.fuzzy_match(query, max_dist, None)
            assert got == model_walk(arrays, query, max_dist, None)
            assert {(k, d) for k, _, d in got} == {
                (k, levenshtein(k, query)) for k in keys if levenshtein(k, query) <= max_dist
            }
