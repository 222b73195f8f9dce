"""morlatch.parse_word_list: one key per line, an optional TAB and payload."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morlatch
from reference import kept_payloads


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


@given(
    lines=st.lists(
        st.tuples(st.sampled_from(["a", "b", "", "a b"]), st.none() | st.integers(0, 2)),
        max_size=8,
    ),
    policy=st.sampled_from(["last", "first", "error"]),
)
def test_repeated_keys_follow_the_duplicates_policy(
    lines: list[tuple[str, int | None]], policy: str
) -> None:
    data = "".join(
        (key if payload is None or not key else f"{key}\t{payload}") + "\n"
        for key, payload in lines
    ).encode()
    # A key without a payload has its 0-based line number; blank lines none.
    pairs = [
        (key, number if payload is None else payload)
        for number, (key, payload) in enumerate(lines)
        if key
    ]
    try:
        want = kept_payloads(pairs, policy)
    except ValueError as error:
        with pytest.raises(morlatch.WordListError, match=f"key {str(error)!r} is given again"):
            morlatch.parse_word_list(data, "list.txt", policy)
        return
    assert morlatch.parse_word_list(data, "list.txt", policy) == want
