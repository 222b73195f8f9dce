"""The package's builder: morlatch.build and morlatch.layout.

The layout is checked against the reference builder (a dict-of-dicts trie
numbered breadth first); what the searches then find on it is the subject of
test_match.py, which checks the module on the reference builder's arrays.
"""

from __future__ import annotations

from collections import deque
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
from morlatch import builder
from reference import trie_arrays

# A small alphabet makes shared prefixes likely; it includes NUL and a
# two-byte, a three-byte and a four-byte UTF-8 character.
ALPHABET = "abc\0é€😀"
key_text = st.text(alphabet=ALPHABET, min_size=1, max_size=6)
payload = st.integers(min_value=0, max_value=morlatch.MAX_PAYLOAD)
key_tables = st.dictionaries(key_text, payload, max_size=40)


def as_lists(arrays: morlatch.TrieArrays) -> tuple[list[Any], ...]:
    return tuple(list(array) for array in arrays)


@given(key_tables)
def test_layout_and_build_match_the_reference_builder(table: dict[str, int]) -> None:
    expected = trie_arrays(table)
    assert as_lists(morlatch.layout(table)) == expected
    # The built object holds the same trie as one made from the reference's
    # plain lists (the builder hands over typed arrays instead).
    reference_search = _morlatch.from_internal_data(*expected)
    assert morlatch.build(table).to_bytes() == reference_search.to_bytes()


@given(key_tables)
def test_node_layout_seen_through_the_native_object(table: dict[str, int]) -> None:
    search = morlatch.build(table)
    assert search.get_payload(0) is None
    found: dict[str, int] = {}
    expected_id = 1
    pending = deque([(0, "")])
    while pending:
        node, text = pending.popleft()
        children = search.get_children(node)
        assert [ch for ch, _ in children] == sorted(ch for ch, _ in children)
        for ch, child in children:
            assert len(ch) == 1
            assert child == expected_id, "nodes are not numbered breadth first"
            expected_id += 1
            value = search.get_payload(child)
            if value is not None:
                found[text + ch] = value
            elif not search.get_children(child):
                pytest.fail(f"leaf {text + ch!r} carries no payload")
            pending.append((child, text + ch))
    assert found == table


def test_empty_key_set_gives_a_bare_root() -> None:
    assert as_lists(morlatch.layout({})) == ([0], [""], [None], [])
    search = morlatch.build([])
    assert search.get_children(0) == []
    assert search.fuzzy_match("", 3, None) == []


class IndexLike:
    """An integer type that is not int (as NumPy integers are)."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Word(str):
    pass


@pytest.mark.parametrize(
    ("keys", "expected"),
    [
        pytest.param({"b": 5, "a": 7}, {"b": 5, "a": 7}, id="mapping"),
        pytest.param(["b", "a", "c"], {"b": 0, "a": 1, "c": 2}, id="strings-by-position"),
        pytest.param(iter(["x", "y"]), {"x": 0, "y": 1}, id="iterator"),
        pytest.param((w for w in ["x"]), {"x": 0}, id="generator"),
        pytest.param([("b", 5), ("a", 0)], {"b": 5, "a": 0}, id="pairs"),
        pytest.param(["a", ("b", 9), "c"], {"a": 0, "b": 9, "c": 2}, id="mixed"),
        pytest.param(["a", "b", "a"], {"a": 2, "b": 1}, id="duplicate-keeps-last-position"),
        pytest.param(
            [("a", 1), ("b", 2), ("a", 3)], {"a": 3, "b": 2}, id="duplicate-keeps-last-pair"
        ),
        pytest.param({"a": IndexLike(4)}, {"a": 4}, id="index-payload"),
        pytest.param([("a", IndexLike(2**32 - 1))], {"a": 2**32 - 1}, id="largest-payload"),
        pytest.param([Word("ab"), ("a", 1)], {"ab": 0, "a": 1}, id="str-subclass"),
        pytest.param({Word("ab"): 3}, {"ab": 3}, id="str-subclass-mapping"),
    ],
)
def test_accepted_key_forms(keys: Any, expected: dict[str, int]) -> None:
    search = morlatch.build(keys)
    for key, value in expected.items():
        assert search.exact_match(key) == (key, value, 0)
    assert len(search.fuzzy_match("", 2, None)) == len(expected)


@pytest.mark.parametrize(
    ("keys", "error", "message"),
    [
        pytest.param("abc", TypeError, "not a single str", id="single-str"),
        pytest.param(b"abc", TypeError, "not a single bytes", id="single-bytes"),
        pytest.param(42, TypeError, "'int'", id="not-iterable"),
        pytest.param({"a": 1, 2: 3}, TypeError, "key 2: a key must be a str", id="mapping-int-key"),
        pytest.param(["a", b"b"], TypeError, "item 1: expected a str key", id="bytes-item"),
        pytest.param(["a", ("b", 1, 2)], TypeError, "item 1: expected a str key", id="triple"),
        pytest.param(
            [(None, 1)], TypeError, "key of item 0: a key must be a str", id="pair-none-key"
        ),
        pytest.param(["a", ""], ValueError, "item 1: the empty key", id="empty-item"),
        pytest.param({"": 1}, ValueError, "the empty key", id="empty-mapping-key"),
        pytest.param([("", 1)], ValueError, "item 0: the empty key", id="empty-pair-key"),
        pytest.param({"a": True}, TypeError, "must be an int, not 'bool'", id="bool-payload"),
        pytest.param([("a", 1.0)], TypeError, "must be an int, not 'float'", id="float-payload"),
        pytest.param([("a", "1")], TypeError, "must be an int, not 'str'", id="str-payload"),
        pytest.param({"a": None}, TypeError, "must be an int, not 'NoneType'", id="none-payload"),
        pytest.param({"a": -1}, ValueError, "key 'a': -1 is outside", id="negative"),
        pytest.param(
            [("a", 1), ("b", 2**32)], ValueError, "item 1: 4294967296 is outside", id="too-big"
        ),
        pytest.param({"a": IndexLike(-5)}, ValueError, "-5 is outside", id="index-negative"),
        pytest.param(
            ["ok", "a\ud800"],
            ValueError,
            "item 1: key 'a\\ud800' is not valid text",
            id="surrogate",
        ),
    ],
)
def test_bad_input_is_refused_before_building(
    keys: Any, error: type[Exception], message: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    def must_not_run(*args: object) -> None:
        pytest.fail("from_internal_data called for bad input")

    monkeypatch.setattr(builder._morlatch, "from_internal_data", must_not_run)
    with pytest.raises(error) as raised:
        morlatch.build(keys)
    assert message in str(raised.value)


def test_progress_reports_every_key_once_done() -> None:
    calls: list[tuple[int, int]] = []
    morlatch.layout(
        ["a", "ab", "abc", "b", "a"], progress=lambda done, total: calls.append((done, total))
    )
    assert calls and calls[-1] == (4, 4)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)


def test_a_100000_character_key_builds_walks_and_round_trips() -> None:
    # One chain as deep as the key is long: nothing may recurse per level.
    n = 100_000
    key = "".join(chr(ord("a") + i % 26) for i in range(n))
    search = morlatch.build({key: 5})
    # The empty query's row has one cell, so this walks the whole chain in
    # time linear in its depth.
    assert search.fuzzy_match("", n, None) == [(key, 5, n)]
    assert search.fuzzy_match("", n - 1, None) == []
    assert search.exact_match(key[:1000]) is None
    # A query as long as the key: rows are bands of 2k + 1 cells, so the work
    # grows with the depth, not with depth times query length.
    assert search.exact_match(key) == (key, 5, 0)
    assert search.fuzzy_match(key[:-1], 1, None) == [(key, 5, 1)]
    assert search.fuzzy_match(key[1:] + "!", 2, None) == [(key, 5, 2)]
    again = _morlatch.from_bytes(search.to_bytes())
    assert again.to_bytes() == search.to_bytes()
    assert again.get_children(n - 1) == [(key[-1], n)]
    assert again.get_children(n) == []
    assert again.get_payload(n) == 5 and again.get_payload(n - 1) is None
