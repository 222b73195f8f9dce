"""The morlatch package: builder, save/load, word lists and the README examples.

The builder is checked against independent references: a dict-of-dicts trie
numbered breadth first, a two-row Levenshtein over all keys, and a small model
of the native walk that fixes the order of the results.
"""

from __future__ import annotations

import gzip
import os
import re
import stat
import subprocess
import sys
from collections import deque
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
from morlatch import builder, storage
from reference import levenshtein, trie_arrays, walk

ROOT = Path(__file__).resolve().parent.parent

# A small alphabet makes shared prefixes and near misses likely; it includes
# NUL and a two-byte, a three-byte and a four-byte UTF-8 character.
ALPHABET = "abc\0é€😀"
key_text = st.text(alphabet=ALPHABET, min_size=1, max_size=6)
payload = st.integers(min_value=0, max_value=morlatch.MAX_PAYLOAD)
key_tables = st.dictionaries(key_text, payload, max_size=40)
queries = st.text(alphabet=ALPHABET + "x", max_size=7)


def as_lists(arrays: morlatch.TrieArrays) -> tuple[list[Any], ...]:
    return tuple(list(array) for array in arrays)


def brute_force(table: dict[str, int], query: str, max_dist: int) -> set[tuple[str, int, int]]:
    hits = ((key, value, levenshtein(query, key)) for key, value in table.items())
    return {hit for hit in hits if hit[2] <= max_dist}


def walk_order(arrays: morlatch.TrieArrays, query: str, max_dist: int) -> list[str]:
    """Keys in the order the native walk reports them."""
    return [key for key, _, _ in walk(as_lists(arrays), query, max_dist)]  # type: ignore[arg-type]


# ---------------------------------------------------------------- builder


@given(key_tables)
def test_layout_matches_breadth_first_reference(table: dict[str, int]) -> None:
    assert as_lists(morlatch.layout(table)) == trie_arrays(table)


@given(key_tables, st.lists(queries, max_size=5))
def test_every_key_found_by_exact_match(table: dict[str, int], probes: list[str]) -> None:
    search = morlatch.build(table)
    for key, value in table.items():
        assert search.exact_match(key) == (key, value, 0)
    # Proper prefixes of keys are inner nodes without payload.
    for text in probes + [key[:-1] for key in table]:
        expected = (text, table[text], 0) if text in table else None
        assert search.exact_match(text) == expected


@given(key_tables, queries, st.integers(min_value=0, max_value=3))
def test_fuzzy_match_agrees_with_brute_force(
    table: dict[str, int], query: str, max_dist: int
) -> None:
    search = morlatch.build(table)
    hits = search.fuzzy_match(query, max_dist, None)
    assert len(hits) == len(set(hits)), "a key was reported twice"
    assert set(hits) == brute_force(table, query, max_dist)


@given(key_tables, queries, st.integers(min_value=0, max_value=2), st.integers(0, 10))
def test_results_come_in_walk_order_and_limit_keeps_the_first(
    table: dict[str, int], query: str, max_dist: int, limit: int
) -> None:
    search = morlatch.build(table)
    hits = search.fuzzy_match(query, max_dist, None)
    assert [key for key, _, _ in hits] == walk_order(morlatch.layout(table), query, max_dist)
    assert search.fuzzy_match(query, max_dist, limit) == hits[:limit]


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


# ---------------------------------------------------------------- the shipped word list

DATA = ROOT / "python" / "morlatch" / "data"


@pytest.fixture(scope="module")
def built_default() -> _morlatch.PrefixSearch:
    """The trie built from the shipped list, as the package did before it
    shipped the prebuilt image."""
    return morlatch.build(morlatch.default_words())


def test_default_word_list() -> None:
    words = morlatch.default_words()
    assert len(words) > 50_000 and "" not in words
    assert len(set(words)) == len(words), "payload = position needs distinct words"
    search = morlatch.default_search()
    assert morlatch.default_search() is search
    for word in ("hello", "help", words[0], words[-1]):
        assert search.exact_match(word) == (word, words.index(word), 0)


def test_shipped_image_is_what_the_builder_makes(built_default: _morlatch.PrefixSearch) -> None:
    # Fails when words.txt.gz or the builder changed without rerunning
    # scripts/make_default_trie.py.
    packed = (DATA / "words.trie.gz").read_bytes()
    assert packed[:3] == b"\x1f\x8b\x08", "not a gzip file"
    assert packed[4:8] == bytes(4), "gzip header carries a time stamp"
    expected = built_default.to_bytes()
    assert gzip.decompress(packed) == expected
    assert morlatch.default_search().to_bytes() == expected


def test_default_search_loads_the_image_without_building(monkeypatch: pytest.MonkeyPatch) -> None:
    def must_not_run(*args: object, **kwargs: object) -> None:
        pytest.fail("the shipped trie was built instead of loaded")

    monkeypatch.setattr(builder, "_lay_out", must_not_run)
    monkeypatch.setattr(_morlatch, "from_internal_data", must_not_run)
    morlatch.default_search.cache_clear()
    try:
        search = morlatch.default_search()
    finally:
        morlatch.default_search.cache_clear()
    assert search.exact_match("hello") is not None


@pytest.mark.parametrize(
    ("query", "max_dist"), [("helo", 1), ("wrld", 1), ("ox", 2), ("é", 1), ("qz", 1)]
)
def test_default_search_agrees_with_brute_force(
    query: str, max_dist: int, built_default: _morlatch.PrefixSearch
) -> None:
    words = morlatch.default_words()
    hits = morlatch.default_search().fuzzy_match(query, max_dist, None)
    # Only words of a near length can be close enough; skip the rest cheaply.
    near = {w: i for i, w in enumerate(words) if abs(len(w) - len(query)) <= max_dist}
    assert set(hits) == brute_force(near, query, max_dist)
    assert hits == built_default.fuzzy_match(query, max_dist, None)


def test_make_default_trie_check_passes() -> None:
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_morlatch.__file__))
    done = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "make_default_trie.py"), "--check"],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "up to date" in done.stdout


# ---------------------------------------------------------------- save and load


@pytest.fixture
def search() -> _morlatch.PrefixSearch:
    return morlatch.build({"hello": 1, "help": 2, "hélo": 300, "😀": 70000})


@pytest.mark.parametrize("as_path", [str, Path], ids=["str", "Path"])
def test_save_load_round_trip(search: _morlatch.PrefixSearch, tmp_path: Path, as_path: Any) -> None:
    target = tmp_path / "words.trie"
    morlatch.save(search, as_path(target))
    assert target.read_bytes() == search.to_bytes()
    loaded = morlatch.load(as_path(target))
    assert loaded.to_bytes() == search.to_bytes()
    assert loaded.fuzzy_match("helo", 1, None) == search.fuzzy_match("helo", 1, None)
    assert os.listdir(tmp_path) == ["words.trie"]


def test_save_replaces_and_uses_the_usual_permissions(
    search: _morlatch.PrefixSearch, tmp_path: Path
) -> None:
    target = tmp_path / "words.trie"
    target.write_bytes(b"old")
    old_mask = os.umask(0o027)
    try:
        morlatch.save(search, target)
    finally:
        os.umask(old_mask)
    assert target.read_bytes() == search.to_bytes()
    assert stat.S_IMODE(target.stat().st_mode) == 0o640


def _fail(*args: object) -> None:
    raise OSError(28, "No space left on device")


def _interrupt(*args: object) -> None:
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    ("name", "replacement", "error"),
    [
        ("replace", _fail, OSError),
        ("fsync", _fail, OSError),
        ("fsync", _interrupt, KeyboardInterrupt),
    ],
    ids=["rename-fails", "sync-fails", "interrupted"],
)
def test_failed_save_keeps_the_old_file(
    search: _morlatch.PrefixSearch,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    name: str,
    replacement: Any,
    error: type[BaseException],
) -> None:
    target = tmp_path / "words.trie"
    target.write_bytes(b"previous content")
    monkeypatch.setattr(storage.os, name, replacement)
    with pytest.raises(error):
        morlatch.save(search, target)
    monkeypatch.undo()
    assert target.read_bytes() == b"previous content"
    assert os.listdir(tmp_path) == ["words.trie"], "temporary file left behind"


def test_save_into_a_missing_folder_fails_cleanly(
    search: _morlatch.PrefixSearch, tmp_path: Path
) -> None:
    with pytest.raises(FileNotFoundError):
        morlatch.save(search, tmp_path / "missing" / "words.trie")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    ("content", "problem"),
    [
        (b"", "UnexpectedEnd { additional: 1 } at byte 0"),
        (b"\x01\xff", "InvalidIntegerType { expected: U32, found: Reserved } at byte 1"),
        (b"\x05\x00\x01", "UnexpectedEnd { additional: 1 } at byte 3"),
        (
            b"\x00\x02\x00\x01\xc3\x28",
            "InvalidCharEncoding([195, 40, 0, 0]) at byte 4",
        ),
    ],
    ids=["empty", "bad-int", "short", "bad-char"],
)
def test_load_rejects_a_file_that_is_not_a_trie_quietly(
    tmp_path: Path, capfd: pytest.CaptureFixture[str], content: bytes, problem: str
) -> None:
    target = tmp_path / "bad.trie"
    target.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        morlatch.load(target)
    assert str(raised.value) == f"{target}: not a trie file: {problem}"
    assert capfd.readouterr() == ("", "")
    # The description is the decoder's own, as from_bytes faults with it.
    with pytest.raises(BaseException) as fault:
        _morlatch.from_bytes(content)
    assert str(fault.value) == (
        "called `Result::unwrap()` on an `Err` value: " + problem.rsplit(" at byte ", 1)[0]
    )


def test_load_missing_file(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        morlatch.load(tmp_path / "nothing.trie")


def test_is_panic_recognises_only_the_native_fault() -> None:
    with pytest.raises(BaseException) as raised:
        _morlatch.from_bytes(b"")
    assert morlatch.is_panic(raised.value)
    assert not isinstance(raised.value, Exception)
    lookalike = type("PanicException", (Exception,), {"__module__": "fennic_runtime"})
    assert not morlatch.is_panic(lookalike())
    assert not morlatch.is_panic(ValueError("x"))


# ---------------------------------------------------------------- word lists


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        pytest.param(b"b\na\n", {"b": 0, "a": 1}, id="line-numbers"),
        pytest.param(b"b\na", {"b": 0, "a": 1}, id="no-final-newline"),
        pytest.param(b"b\r\na\r\n", {"b": 0, "a": 1}, id="crlf"),
        pytest.param(b"\xef\xbb\xbfb\na\n", {"b": 0, "a": 1}, id="bom"),
        pytest.param(b"a\n\n\nb\n", {"a": 0, "b": 3}, id="blank-lines-skipped"),
        pytest.param(b"a\t7\nb\n", {"a": 7, "b": 1}, id="payload"),
        pytest.param(b"a\t7\n\nb\na\t9\nc\n", {"a": 9, "b": 2, "c": 4}, id="payload-mixed"),
        pytest.param(b"a\t7\r\nb\t0\r\n", {"a": 7, "b": 0}, id="payload-crlf"),
        pytest.param(b"a\t1\na\t2\n", {"a": 2}, id="duplicate-keeps-last"),
        pytest.param(b" a \nb c\n", {" a ": 0, "b c": 1}, id="spaces-kept"),
        pytest.param("é\t4294967295\n".encode(), {"é": 4294967295}, id="largest"),
        pytest.param(b"", {}, id="empty-file"),
    ],
)
def test_parse_word_list(data: bytes, expected: dict[str, int]) -> None:
    assert morlatch.parse_word_list(data) == expected


@pytest.mark.parametrize(
    ("data", "line", "reason"),
    [
        pytest.param(b"a\nb\n\xff\n", 3, "not valid UTF-8", id="utf8"),
        pytest.param(b"a\nb\tx\n", 2, "payload 'x' is not a decimal", id="word-payload"),
        pytest.param(b"a\t+5\n", 1, "payload '+5'", id="sign"),
        pytest.param("a\t\u0663\n".encode(), 1, "is not a decimal", id="arabic-digit"),
        pytest.param(b"a\n\nb\t\n", 3, "payload ''", id="missing-payload"),
        pytest.param(b"a\t1\t2\n", 1, "payload '1\\t2'", id="two-tabs"),
        pytest.param(b"a\n\t5\n", 2, "empty key before the TAB", id="empty-key"),
        pytest.param(b"a\t4294967296\n", 1, "4294967296 is outside", id="too-big"),
    ],
)
def test_parse_word_list_names_the_bad_line(data: bytes, line: int, reason: str) -> None:
    with pytest.raises(morlatch.WordListError) as raised:
        morlatch.parse_word_list(data, "list.txt")
    assert raised.value.line == line
    assert str(raised.value).startswith(f"list.txt:{line}: ")
    assert reason in str(raised.value)


# ---------------------------------------------------------------- README


def readme_examples() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_examples_run(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    examples = readme_examples()
    assert examples, "README has no Python examples"
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {"__name__": "readme"}
    for example in examples:
        exec(compile(example, "README.md", "exec"), namespace)


# ---------------------------------------------------------------- depth


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


def test_engine_check_bytes_takes_any_buffer_and_only_buffers() -> None:
    from morlatch import _engine

    image = morlatch.build(["a", "ab"]).to_bytes()
    for data in (image, bytearray(image), memoryview(image), image + b"trailing"):
        assert _engine.check_bytes(data) is None
    with pytest.raises(TypeError, match="argument 'data'"):
        _engine.check_bytes([0, 0, 0, 0])  # type: ignore[arg-type]
