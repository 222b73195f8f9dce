"""The plain walk: what arrays that fail the well-formedness check get.

The walk model of tests/reference.py decides the exact outcome (hits, their
order, or the fault and its text) on deep malformed arrays; long cycles and
chains take linear work; shared children are walked once per path, and when
their paths exhaust memory the result is a clean MemoryError.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morlatch
import morlatch
from reference import cycle, fault_message, outcome, walk

ANY = 2**64 - 1


@st.composite
def deep_arrays(draw):
    """A random tree, mostly deep (each node's parent among the three before
    it), then a few faults put in: a child listed twice, an edge back up or
    anywhere, an id past the end, a missing character, a short list."""
    n = draw(st.integers(1, 30))
    kids: list[list[int]] = [[] for _ in range(n)]
    for node in range(1, n):
        kids[draw(st.integers(max(0, node - 3), node - 1))].append(node)
    for _ in range(draw(st.integers(0, 3))):
        node = draw(st.integers(0, n - 1))
        kind = draw(st.sampled_from(["twice", "back", "any", "past"]))
        if kind == "twice" and kids[node]:
            kids[node].append(draw(st.sampled_from(kids[node])))
        elif kind == "back":
            kids[node].append(draw(st.integers(0, node)))
        elif kind == "any":
            kids[node].append(draw(st.integers(0, n - 1)))
        elif kind == "past":
            kids[node].append(draw(st.integers(n, n + 2)))
    shifts, children = [], []
    for node_kids in kids:
        shifts.append(len(children))
        children.extend(node_kids)
    strings = [draw(st.sampled_from("ab")) for _ in range(n)]
    payloads = [draw(st.none() | st.integers(0, 99)) for _ in range(n)]
    if draw(st.integers(0, 9)) == 0:
        strings[draw(st.integers(0, n - 1))] = ""
    if draw(st.integers(0, 9)) == 0:
        payloads = payloads[: draw(st.integers(0, n))]
    return shifts, strings, payloads, children


@settings(max_examples=250, deadline=None)
@given(
    arrays=deep_arrays(),
    query=st.text(alphabet="abc", max_size=9),
    max_dist=st.integers(0, 3) | st.just(ANY),
    limit=st.none() | st.integers(0, 5),
)
def test_deep_malformed_arrays_give_the_modelled_outcome(arrays, query, max_dist, limit):
    ps = _morlatch.from_internal_data(*arrays)
    assert outcome(lambda: ps.fuzzy_match(query, max_dist, limit)) == outcome(
        lambda: walk(arrays, query, max_dist, limit)
    )
    # exact_match: the first hit of the same walk at distance 0, if any.
    assert outcome(lambda: ps.exact_match(query)) == outcome(
        lambda: next(iter(walk(arrays, query, 0)), None)
    )


def chain(length, text=None, back_to=None, payloads=None):
    """Node i's only child is node i + 1; the last node's child, if any, is
    back_to. Edge characters from text (default all "a")."""
    text = text if text is not None else "a" * length
    shifts = list(range(length + 1))
    children = list(range(1, length + 1)) + ([] if back_to is None else [back_to])
    return _morlatch.from_internal_data(
        shifts, ["a", *text], payloads or [None] * (length + 1), children
    )


def test_long_cycle_faults_at_the_same_point_after_linear_work():
    # 200,000 nodes in a ring: the path copies of a quadratic walk would
    # take minutes here.
    nodes = 200_000
    ps = chain(nodes - 1, back_to=0)
    with pytest.raises(ValueError, match="not well formed"):
        morlatch.layout_info(ps)  # the plain walk answers
    expected = cycle(0, nodes, nodes)
    assert fault_message(lambda: ps.fuzzy_match("", ANY, None)) == expected
    assert fault_message(lambda: ps.fuzzy_match("a" * 50, ANY, None)) == expected


def test_long_malformed_chain_answers_after_linear_work():
    # A chain of 200,000 edges whose leaf has two children out of order,
    # which fails the check; quadratic rows or path copies would take
    # minutes here.
    length = 200_000
    text = "ab" * (length // 2)
    shifts = [*range(length + 1), length + 2, length + 2]
    strings = ["", *text, "b", "a"]
    payloads = [None] * length + [7, 8, 9]
    children = [*range(1, length + 1), length + 1, length + 2]
    ps = _morlatch.from_internal_data(shifts, strings, payloads, children)
    with pytest.raises(ValueError, match="not well formed"):
        morlatch.layout_info(ps)
    assert ps.exact_match(text) == (text, 7, 0)
    assert ps.exact_match(text + "a") == (text + "a", 9, 0)
    assert ps.exact_match(text[:-1]) is None
    assert ps.fuzzy_match(text, 1, None) == [(text, 7, 0), (text + "b", 8, 1), (text + "a", 9, 1)]


def test_a_child_listed_twice_is_walked_once_per_path():
    # Every node lists its one child twice: 2**depth paths to the last node.
    depth = 4
    shifts = [2 * i for i in range(depth + 1)]
    strings = ["", *"abcd"]
    children = [i for i in range(1, depth + 1) for _ in range(2)]
    arrays = (shifts, strings, [None, 1, 2, 3, 4], children)
    ps = _morlatch.from_internal_data(*arrays)
    got = ps.fuzzy_match("", depth, None)
    assert got == walk(arrays, "", depth, None)
    assert got.count(("abcd", 4, 4)) == 2**depth
    # On the query's next character only the later of the two is entered.
    assert ps.fuzzy_match("abcd", 0, None) == [("abcd", 4, 0)]
    assert ps.exact_match("abcd") == ("abcd", 4, 0)


CHILD_UNDER_A_CAP = """
import resource
cap = 1 << 29
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
import _morlatch
depth = 40  # every node lists its one child twice: 2**40 paths, each a hit
shifts = [2 * i for i in range(depth + 1)]
children = [i for i in range(1, depth + 1) for _ in range(2)]
search = _morlatch.from_internal_data(
    shifts, ["", *"a" * depth], [None, *range(depth)], children
)
try:
    hits = search.fuzzy_match("", 2**64 - 1, {limit})
except MemoryError:
    print("MemoryError")
else:
    print("hits", len(hits))
print(search.exact_match("aa"))
"""


@pytest.mark.skipif(
    bool(os.environ.get("MORLATCH_SANITIZED")),
    reason="the sanitizers reserve more address space than the cap allows",
)
@pytest.mark.parametrize("limit, first_line", [("None", "MemoryError"), ("5000", "hits 5000")])
def test_memory_exhausted_by_paths_is_a_clean_memory_error(limit, first_line):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD_UNDER_A_CAP).replace("{limit}", limit)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [first_line, "('aa', 1, 0)"]
