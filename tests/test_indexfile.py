"""The index file, Index.save/load across both file formats, pickling, copies
and equality."""

from __future__ import annotations

import copy
import os
import pickle
import struct
import zlib
from collections.abc import Callable
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morlatch
import morlatch
import reference
from morlatch import Index, indexfile
from reference import trie_arrays

keys = st.dictionaries(
    st.text(st.characters(codec="utf-8", max_codepoint=0x2FF), min_size=1, max_size=8),
    st.integers(0, morlatch.MAX_PAYLOAD),
    max_size=40,
)


@st.composite
def key_tables(draw: st.DrawFn) -> dict[str, int]:
    """Keys, now and then over more than 255 distinct code points (a wide
    layout) or nested keys longer than the 63 that key lengths are kept to."""
    table = draw(keys)
    if draw(st.booleans()):
        many = st.characters(codec="utf-8", min_codepoint=0x100, max_codepoint=0x2FFF)
        chars = draw(st.lists(many, min_size=256, max_size=300, unique=True))
        table.update({"".join(chars[i : i + 4]): i for i in range(0, len(chars), 4)})
    if draw(st.booleans()):
        stem = draw(st.text(alphabet="abc", min_size=64, max_size=90))
        table.update({stem[:end]: end for end in draw(st.lists(st.integers(1, len(stem))))})
    return table


@settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    table=key_tables(), queries=st.lists(st.text(st.characters(max_codepoint=0x2FF), max_size=9))
)
def test_round_trip_through_both_formats_pickle_and_copies(
    table: dict[str, int], queries: list[str], tmp_path: Path
) -> None:
    """Every way of keeping an index gives back the same mapping, the same
    search results and the same to_bytes(): the mapped index file, the index
    file with a "trie" section (first version), the plain trie file, pickles
    of a built and of a mapped index, and copies; the built one answers as
    the reference does."""
    index = Index(table)
    # Queries near some keys too, long ones included (split searches).
    queries = queries + [key[:-1] + "x" + key[-1:] for key in list(table)[-4:]]
    for query in queries:
        for k, swaps in [(1, False), (2, False), (2, True)]:
            expected = reference.index_search(table, query, k, transpositions=swaps)
            assert index.search(query, k, transpositions=swaps) == expected
        assert index.complete(query[:3], 1) == reference.index_complete(table, query[:3], 1)
    index.save(tmp_path / "index")
    indexfile.write(tmp_path / "index-v1", {"trie": index.prefix_search.to_bytes()})
    morlatch.save(index.prefix_search, tmp_path / "trie")
    container = (tmp_path / "index").read_bytes()
    assert indexfile.is_index_file(container)
    assert not indexfile.is_index_file((tmp_path / "trie").read_bytes())
    assert list(indexfile.decode(container)) in (["nodes"], ["nodes", "rnodes"])
    pickled = pickle.dumps(index)
    assert abs(len(pickled) - len(container)) <= 1024
    mapped = Index.load(tmp_path / "index")
    assert morlatch.layout_info(mapped.prefix_search)["borrowed"]
    again = [
        mapped,
        Index.load(tmp_path / "index-v1"),
        Index.load(tmp_path / "trie"),
        pickle.loads(pickled),
        pickle.loads(pickle.dumps(mapped)),
        copy.copy(index),
        copy.deepcopy(mapped),
    ]
    for other in again:
        assert type(other) is Index
        assert other == index and index == other and other == table and table == other
        assert other.prefix_search.to_bytes() == index.prefix_search.to_bytes()
        assert dict(other.items()) == table
        for query in queries:
            for k in (1, 2):
                assert other.search(query, k) == index.search(query, k)
                assert other.prefix_search.fuzzy_match(
                    query, k, None
                ) == index.prefix_search.fuzzy_match(query, k, None)
            assert other.complete(query[:3], 1) == index.complete(query[:3], 1)
    # morlatch.load keeps to plain trie files.
    assert morlatch.load(tmp_path / "trie").to_bytes() == index.prefix_search.to_bytes()


@given(
    st.dictionaries(
        st.from_regex(r"[A-Za-z0-9_.\-]{1,12}", fullmatch=True), st.binary(max_size=200), max_size=6
    )
)
def test_sections_round_trip_aligned(sections: dict[str, bytes]) -> None:
    data = indexfile.encode(sections)
    decoded = indexfile.decode(data)
    assert list(decoded) == list(sections)
    assert {name: bytes(view) for name, view in decoded.items()} == sections
    for view in decoded.values():
        assert view.readonly
    for number in range(len(sections)):
        _, offset, _, _ = struct.unpack_from("<12sQQI", data, 16 + 32 * number)
        assert offset % indexfile.ALIGNMENT == 0


def test_trie_images_never_start_like_an_index_file() -> None:
    # The magic's first byte is the reserved varint marker: no trie starts so.
    assert morlatch._engine.check_bytes(indexfile.MAGIC) == (
        "InvalidIntegerType { expected: U64, found: Reserved } at byte 0"
    )
    assert not indexfile.is_index_file(indexfile.MAGIC[:7])


def small_file() -> bytes:
    return indexfile.encode({"trie": morlatch.build(["ab", "b"]).to_bytes(), "x-note": b"hi"})


def patched(data: bytes, offset: int, fmt: str, *values: object) -> bytes:
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, *values)
    return bytes(out)


def with_crc(data: bytes, entry: int) -> bytes:
    """data with entry's checksum made to match its (changed) section."""
    _, offset, length, _ = struct.unpack_from("<12sQQI", data, 16 + 32 * entry)
    return patched(data, 16 + 32 * entry + 28, "<I", zlib.crc32(data[offset : offset + length]))


GOOD = small_file()
TRIE_AT, TRIE_LENGTH = struct.unpack_from("<QQ", GOOD, 16 + 12)
NOTE_AT = struct.unpack_from("<Q", GOOD, 48 + 12)[0]


@pytest.mark.parametrize(
    ("data", "what", "at"),
    ids=lambda value: "-".join(value.split()[:3]) if isinstance(value, str) else "",
    argvalues=[
        (b"", "the header needs 16 bytes, the data has 0", 0),
        (b"\xffMLIN", "the header needs 16 bytes, the data has 5", 5),
        (b"\x03\x00\x01" + GOOD[3:], "wrong magic", 0),
        (patched(GOOD, 8, "<I", 2), "format version 2 is not supported (only 1)", 8),
        (patched(GOOD, 12, "<I", 9), "a table of 9 sections runs past the end of the data", 12),
        (patched(GOOD, 16, "12s", b"tr ie"), "section 0 has a malformed name b'tr ie", 16),
        (patched(GOOD, 48, "12s", b"trie"), "section 'trie' appears twice", 48),
        (patched(GOOD, 28, "<Q", TRIE_AT + 8), f"at {TRIE_AT + 8}, not a multiple of 64", 28),
        (patched(GOOD, 28, "<Q", 64), "starts at 64, inside the table or an earlier section", 28),
        (patched(GOOD, 60, "<Q", TRIE_AT), "inside the table or an earlier section", 60),
        (patched(GOOD, 68, "<Q", 1 << 63), "runs past the end of the data", 60),
        (GOOD[:-1], "runs past the end of the data", 60),
        (GOOD + b"\0", "1 bytes after the last section", len(GOOD)),
        (patched(GOOD, TRIE_AT + TRIE_LENGTH, "B", 7), "non-zero padding", TRIE_AT + TRIE_LENGTH),
        (patched(GOOD, NOTE_AT, "B", ord("H")), "section 'x-note' has checksum", NOTE_AT),
    ],
)
def test_decode_says_what_is_wrong_and_where(data: bytes, what: str, at: int) -> None:
    with pytest.raises(ValueError, match=r"^src: not an index file: ") as caught:
        indexfile.decode(data, "src")
    assert what in str(caught.value)
    assert str(caught.value).endswith(f" at byte {at}")


@pytest.mark.parametrize("layout", [False, True], ids=["trie section", "layout sections"])
def test_every_damaged_byte_is_refused(layout: bool, tmp_path: Path) -> None:
    """Each byte of a saved index, changed or cut off, fails Index.load with a
    ValueError naming the file: names are not checksummed, but a changed name
    is then a missing trie or an unknown required section. The checksums of
    the layout sections are not recomputed by Index.load, which checks their
    every field instead: a change there that leaves a sound layout (another
    payload, another label in order) loads and answers without fault, and
    indexfile.read, which checks every checksum, refuses it."""
    path = tmp_path / "index"
    index = Index({"ab": 1, "b": 2, "bcd": 3})
    if layout:
        index.save(path)
    else:
        indexfile.write(path, {"trie": index.prefix_search.to_bytes()})
    good = path.read_bytes()
    nodes = set()  # the layout's records and their checksums in the table
    for number, (name, (offset, body)) in enumerate(indexfile.locate(good).items()):
        if name in ("nodes", "rnodes"):
            nodes.update(range(offset, offset + len(body)))
            nodes.update(range(16 + 32 * number + 28, 16 + 32 * number + 32))
    for position in range(len(good)):
        for damaged in (good[:position], patched(good, position, "B", good[position] ^ 0x41)):
            path.write_bytes(damaged)
            if len(damaged) == len(good) and position in nodes:
                try:
                    loaded = Index.load(path)
                except ValueError as error:
                    assert str(error).startswith(f"{path}: ")
                else:
                    list(loaded.items())
                    loaded.search("bc", 2)
                    loaded.complete("a", 1)
                    del loaded
                with pytest.raises(ValueError, match="checksum"):
                    indexfile.read(path)
                continue
            with pytest.raises(ValueError, match=f"^{path}: "):
                Index.load(path)
            # Reading the file and decoding its bytes agree, error for error.
            if indexfile.is_index_file(damaged):
                assert outcome(lambda: indexfile.read(path)) == outcome(
                    lambda: indexfile.decode(damaged, str(path))  # noqa: B023
                )


def outcome(call: Callable[[], dict[str, memoryview]]) -> dict[str, bytes] | str:
    try:
        return {name: bytes(view) for name, view in call().items()}
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize(
    ("sections", "message"),
    [
        ({"x-note": b""}, "no 'trie' section"),
        ({"trie": b"\x05", "x-a": b""}, "the 'trie' section is not a trie: UnexpectedEnd"),
        ({"trie": GOOD[TRIE_AT : TRIE_AT + TRIE_LENGTH], "future": b"\0"}, "'future' is not"),
    ],
)
def test_load_refuses_files_it_cannot_take_whole(
    sections: dict[str, bytes], message: str, tmp_path: Path
) -> None:
    indexfile.write(tmp_path / "index", sections)
    with pytest.raises(ValueError, match=f"^{tmp_path / 'index'}: ") as caught:
        Index.load(tmp_path / "index")
    assert message in str(caught.value)


def test_optional_sections_are_skipped(tmp_path: Path) -> None:
    trie = morlatch.build({"ab": 5}).to_bytes()
    indexfile.write(tmp_path / "index", {"x-made-by": b"a test", "trie": trie})
    assert Index.load(tmp_path / "index") == {"ab": 5}


@pytest.mark.parametrize(
    ("sections", "error", "message"),
    [
        ({"": b""}, ValueError, "section name '' must be"),
        ({"thirteen_char": b""}, ValueError, "must be 1 to 12 characters"),
        ({"tri\u00e9": b""}, ValueError, "must be 1 to 12 characters"),
        ({"trie": "text"}, TypeError, "section 'trie' must be bytes-like, not 'str'"),
        ([("trie", b"")], TypeError, "sections must be a mapping, not 'list'"),
    ],
)
def test_write_refuses_bad_sections_and_leaves_no_file(
    sections: object, error: type[Exception], message: str, tmp_path: Path
) -> None:
    with pytest.raises(error, match=message):
        indexfile.write(tmp_path / "index", sections)  # type: ignore[arg-type]
    assert os.listdir(tmp_path) == []


def test_equality_is_a_mappings() -> None:
    table = {"b": 2, "ab": 1, "abc": 3}
    index = Index(table)
    # Same items in another well-formed layout (depth-first ids).
    other = Index.from_prefix_search(
        _morlatch.from_internal_data(*trie_arrays(table, breadth_first=False))
    )
    assert other.prefix_search.to_bytes() != index.prefix_search.to_bytes()
    assert index == other and not index != other
    assert index == table and table == index
    for different in ({**table, "b": 9}, {**table, "c": 4}, {"b": 2, "ab": 1}):
        assert index != different and different != index
        assert index != Index(different) and Index(different) != index
    assert index != {1: 2, 3: 4, 5: 6} and index != list(table) and index != None  # noqa: E711
    with pytest.raises(TypeError, match="unhashable"):
        hash(index)
