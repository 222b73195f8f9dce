"""The native builder against the Python one it replaced.

``reference.level_order_arrays`` is the package's former builder, kept as the
oracle: ``morlatch.layout`` must return the same four arrays, of the same
types, and ``morlatch.build`` a search with the same bytes, for keys given as
a list (a repeated key keeps its last position), a mapping or pairs, sorted
or not. The checks that lists of keys take without a dict keep their
messages. Word-list bytes read natively build what parse_word_list and build
make of them.
"""

from __future__ import annotations

import random
import threading
from collections.abc import Callable
from itertools import count
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
from morlatch import _engine
from morlatch.wordlist import WordListError, build_word_list
from reference import level_order_arrays

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


def assert_same_arrays(got: morlatch.TrieArrays, expected: tuple[Any, ...]) -> None:
    assert [type(array) for array in got] == [type(array) for array in expected]
    assert got.node_shifts.typecode == expected[0].typecode  # type: ignore[attr-defined]
    assert tuple(got) == expected


@given(key_lists, st.booleans())
def test_layout_and_bytes_are_the_python_builders(items: list[str], presorted: bool) -> None:
    if presorted:
        items = sorted(items)  # the builder skips its sort then
    table = dict(zip(items, count()))
    expected = level_order_arrays(table)
    assert_same_arrays(morlatch.layout(items), expected)
    search = morlatch.build(items)
    assert search.to_bytes() == _morlatch.from_internal_data(*expected).to_bytes()
    assert morlatch.layout_info(search)["arrays_kept"] is False


@given(st.lists(st.tuples(keys, st.integers(0, morlatch.MAX_PAYLOAD)), max_size=40))
def test_pairs_and_mappings_keep_the_last_payload(pairs: list[tuple[str, int]]) -> None:
    table = dict(pairs)
    expected = level_order_arrays(table)
    assert_same_arrays(morlatch.layout(pairs), expected)
    assert_same_arrays(morlatch.layout(table), expected)
    assert morlatch.build(pairs).to_bytes() == morlatch.build(table).to_bytes()


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
