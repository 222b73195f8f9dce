"""The package's builder: morlatch.build and morlatch.layout.

The native builder is checked against two references: the package's former
Python builder (``reference.level_order_arrays``), whose arrays, types and
bytes ``morlatch.layout`` and ``morlatch.build`` must give back for keys as a
list (a repeated key keeps its last position), a mapping or pairs, sorted or
not; and a dict-of-dicts trie numbered breadth first
(``reference.trie_arrays``). The checks that lists of keys take without a dict
keep their messages. Word-list bytes read natively build what parse_word_list
and build make of them. What the searches then find is the subject of
test_match.py.
"""

from __future__ import annotations

import random
import threading
from collections import deque
from collections.abc import Callable
from itertools import count
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
from morlatch import _engine, builder
from morlatch.wordlist import WordListError, build_word_list
from reference import level_order_arrays, trie_arrays

# Every UTF-8 length, its edges, the code points around the surrogates, NUL
# and the last code point; stems make keys share more than the seven bytes
# the sort compares at once.
ALPHABET = "ab\0\x7f\x80\xe9\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0001f600\U0010ffff"
STEMS = ["", "", "shared beginning", "\xe9\u20ac\U0001f600" * 3]
keys = st.builds(
    str.__add__, st.sampled_from(STEMS), st.text(alphabet=ALPHABET, min_size=1, max_size=10)
)
long_keys = st.text(alphabet="ab\xe9", min_size=40, max_size=400)
key_lists = st.lists(keys | long_keys, max_size=50) | st.lists(keys, min_size=1, max_size=2)
# Tables over a small alphabet make shared prefixes likely.
key_tables = st.dictionaries(
    st.text(alphabet="abc\0é€😀", min_size=1, max_size=6),
    st.integers(min_value=0, max_value=morlatch.MAX_PAYLOAD),
    max_size=40,
)


def as_lists(arrays: morlatch.TrieArrays) -> tuple[list[Any], ...]:
    return tuple(list(array) for array in arrays)


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


def assert_same_arrays(got: morlatch.TrieArrays, expected: tuple[Any, ...]) -> None:
    assert [type(array) for array in got] == [type(array) for array in expected]
    assert got.node_shifts.typecode == expected[0].typecode  # type: ignore[attr-defined]
    assert tuple(got) == expected


@given(key_lists, st.booleans())
def test_layout_and_bytes_match_both_reference_builders(items: list[str], presorted: bool) -> None:
    if presorted:
        items = sorted(items)  # the builder skips its sort then
    table = dict(zip(items, count()))
    expected = level_order_arrays(table)
    assert_same_arrays(morlatch.layout(items), expected)
    # The dict-of-dicts trie numbered breadth first agrees, from a mapping.
    assert as_lists(morlatch.layout(table)) == trie_arrays(table)
    # The built object holds the same trie as one made from the reference's
    # plain lists (the builder hands over typed arrays instead).
    search = morlatch.build(items)
    assert search.to_bytes() == _morlatch.from_internal_data(*expected).to_bytes()
    assert morlatch.layout_info(search)["arrays_kept"] is False


@given(st.lists(st.tuples(keys, st.integers(0, morlatch.MAX_PAYLOAD)), max_size=40))
def test_pairs_and_mappings_keep_the_last_payload(pairs: list[tuple[str, int]]) -> None:
    table = dict(pairs)
    expected = level_order_arrays(table)
    assert_same_arrays(morlatch.layout(pairs), expected)
    assert_same_arrays(morlatch.layout(table), expected)
    assert as_lists(morlatch.layout(table)) == trie_arrays(table)
    built = morlatch.build(pairs).to_bytes()
    assert built == morlatch.build(table).to_bytes()
    assert built == _morlatch.from_internal_data(*expected).to_bytes()


def test_a_word_list_in_random_order_is_laid_out_as_the_python_builder_did() -> None:
    # Long enough for the radix passes of the sort.
    words = morlatch.default_words()[:30000]
    random.Random(1).shuffle(words)
    words += words[:1000]  # repeats, which keep their last positions
    assert_same_arrays(morlatch.layout(words), level_order_arrays(dict(zip(words, count()))))


@given(key_lists)
def test_progress_counts_distinct_keys_up_to_all(items: list[str]) -> None:
    calls: list[tuple[int, int]] = []
    morlatch.build(items, progress=lambda done, total: calls.append((done, total)))
    distinct = len(set(items))
    if not distinct:
        assert calls == []
        return
    assert calls[-1] == (distinct, distinct)
    assert all(total == distinct for _, total in calls)
    assert [done for done, _ in calls] == sorted({done for done, _ in calls})


def test_an_error_in_progress_stops_the_build() -> None:
    def fail(done: int, total: int) -> None:
        raise RuntimeError(f"stop at {done} of {total}")

    with pytest.raises(RuntimeError, match="stop at 1 of 2"):
        morlatch.Index(["a", "b"], progress=fail)
    # The lock was given back properly: the next build works.
    assert morlatch.Index(["a", "b"])["b"] == 1


@pytest.mark.parametrize(
    ("items", "message"),
    [
        pytest.param(
            ["a", "", "b", ""],
            "item 3: the empty key is not allowed (it can never be reported)",
            id="empty-key-last-position",
        ),
        pytest.param(
            ["x\ud800", "ok", "x\ud800", "y\udfff"],
            "item 2: key 'x\\ud800' is not valid text (surrogates not allowed)",
            id="surrogate-last-position",
        ),
    ],
)
def test_list_of_keys_names_the_last_position_of_a_bad_key(items: list[str], message: str) -> None:
    for call in (morlatch.build, morlatch.layout, morlatch.Index):
        with pytest.raises(ValueError) as raised:
            call(items)
        assert str(raised.value) == message


def test_builds_in_threads_agree() -> None:
    # The lock is released while building: concurrent builds must not mix.
    words = morlatch.default_words()[:20000]
    expected = morlatch.build(words).to_bytes()
    results: list[bytes] = []

    def run() -> None:
        results.append(morlatch.build(words).to_bytes())

    threads = [threading.Thread(target=run) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 3


# ---------------------------------------------------------------- word lists

line_keys = st.text(alphabet="ab \r\0\xe9\U0001f600", max_size=5)
payloads = st.sampled_from(["0", "7", "007", "4294967295"])
# One of these at most per list, so that it decides the outcome.
defects = st.sampled_from(
    [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80"]
    + [b"\xe0\x9f", b"\t", b"\tx", b"\t4294967296", b"\t1\t2", b"\t\xef\xbc\x91", b"\t"]
)


@st.composite
def word_lists(draw: st.DrawFn) -> bytes:
    lines = []
    for key in draw(st.lists(line_keys, max_size=12)):
        line = key.encode("utf-8")
        if draw(st.integers(0, 3)) == 0:
            line += b"\t" + draw(payloads).encode()
        lines.append(line)
    if lines and draw(st.booleans()):
        where = draw(st.integers(0, len(lines) - 1))
        lines[where] = lines[where].partition(b"\t")[0] + draw(defects)
    ends = [draw(st.sampled_from([b"\n", b"\r\n", b"\n\n"])) for _ in lines]
    data = b"".join(line + end for line, end in zip(lines, ends, strict=True))
    if draw(st.booleans()):
        data = data.rstrip(b"\n")
    return (b"\xef\xbb\xbf" if draw(st.integers(0, 5)) == 0 else b"") + data


def outcome(build: Callable[[], _morlatch.PrefixSearch]) -> tuple[str, object]:
    try:
        return ("trie", build().to_bytes())
    except WordListError as error:
        return ("error", str(error))


@given(word_lists())
def test_word_list_bytes_build_as_parse_word_list_then_build(data: bytes) -> None:
    expected = outcome(lambda: morlatch.build(morlatch.parse_word_list(data, "w.txt")))
    assert outcome(lambda: build_word_list(data, "w.txt")) == expected
    # The native reader takes exactly the lists the parser takes, and leaves
    # every bad one to it.
    read = _engine.read_words(data)
    if expected[0] == "error":
        assert read is None
        return
    assert read is not None
    words, distinct = read
    assert distinct == len(morlatch.parse_word_list(data))
    assert _engine.build_words(words, None).to_bytes() == expected[1]
    with pytest.raises(ValueError, match="built already"):
        _engine.build_words(words, None)
