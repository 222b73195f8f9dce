"""Index files read in place: the stored search layout is mapped, checked
once and kept alive by the index; crafted layouts are refused with the byte
at fault; files replaced by save leave mapped readers unchanged."""

from __future__ import annotations

import gc
import io
import mmap
import pickle
import struct
import zlib
from pathlib import Path

import pytest

import morlatch
from morlatch import Index, _engine, indexfile, layout_info

WORDS = {"ab": 1, "abc": 2, "b": 3, "bcd": 4, "bce": 5, "cab": 6}


def test_load_maps_the_layout_and_needs_no_reverse_index_build(tmp_path: Path) -> None:
    path = tmp_path / "words.index"
    Index(WORDS).save(path)
    loaded = Index.load(path)
    info = layout_info(loaded.prefix_search)
    assert info["borrowed"] and info["reverse_index_built"]
    assert info["reverse_index_seconds"] == 0.0
    # A split search (k >= 1, a long enough query) reads the stored reverse index.
    assert loaded.search("bcdx", 1) == [("bcd", 4, 1)]
    assert layout_info(Index(WORDS).prefix_search)["borrowed"] is False


def test_the_mapping_outlives_the_index_that_opened_it(tmp_path: Path) -> None:
    path = tmp_path / "words.index"
    Index(WORDS).save(path)
    search = Index.load(path).prefix_search
    gc.collect()
    assert search.exact_match("bce") == ("bce", 5, 0)
    assert [hit[0] for hit in search.fuzzy_match("bcx", 1, None)] == ["bcd", "bce"]


def test_save_over_a_mapped_file_leaves_its_readers_unchanged(tmp_path: Path) -> None:
    path = tmp_path / "words.index"
    Index(WORDS).save(path)
    old = Index.load(path)
    Index({"zebra": 9, "zoo": 8}).save(path)
    Index({"other": 1}).save(path)
    assert old == WORDS
    assert old.search("bcx", 1) == [("bcd", 4, 1), ("bce", 5, 1)]
    assert Index.load(path) == {"other": 1}


def test_arrays_the_layout_does_not_reproduce_keep_a_trie_section(tmp_path: Path) -> None:
    # Well formed, but not in the builder's level order: node 2 before node 1.
    search = morlatch.from_internal_data([0, 2, 2], ["", "b", "a"], [None, 1, 2], [2, 1])
    index = Index.from_prefix_search(search)
    index.save(tmp_path / "index")
    assert list(indexfile.read(tmp_path / "index")) == ["trie"]
    again = Index.load(tmp_path / "index")
    assert again.prefix_search.to_bytes() == search.to_bytes()
    assert pickle.loads(pickle.dumps(index)).prefix_search.to_bytes() == search.to_bytes()


GOOD = indexfile.encode(Index._sections(Index(WORDS)))


def words(data: bytes, name: str) -> tuple[int, list[int]]:
    """(offset, 32-bit words) of the packed section `name` in `data`."""
    offset, body = indexfile.locate(data)[name]
    return offset, list(struct.unpack(f"<{len(body) // 4}I", body))


def replaced_word(data: bytes, name: str, word: int, value: int) -> tuple[bytes, int]:
    """`data` with one word of a packed section changed, and that word's byte."""
    offset, _ = words(data, name)
    out = bytearray(data)
    struct.pack_into("<I", out, offset + 4 * word, value)
    return bytes(out), offset + 4 * word


# The packed image of WORDS: a header of 16 words, the records of its 11
# nodes and the closing one from word 16 (rank, prefix << 8, shortest << 20,
# longest << 26), the alphabet from word 32, the line bases from 48, the key
# counts per line from 64, the payloads from 80.
_, NODES = words(GOOD, "nodes")
_, RNODES = words(GOOD, "rnodes")
RECORDS = 16
PACKED_CASES = [
    ("nodes", 0, 0, "it does not start with the tag of packed nodes", None),
    ("nodes", 1, 40, "its 384 bytes are not the 512 its header plans", None),
    ("nodes", 2, 300, "its alphabet size 300 is out of range", None),
    ("nodes", 3, 0, "its flags 0 are not those of a layout", None),
    ("rnodes", 3, 2, "its flags 2 are not those of a reverse index", None),
    ("nodes", 9, 1, "header word 9 is not 0", None),
    ("nodes", 6, 99, "its header's total key length 99 is not 15", None),
    ("nodes", RECORDS, NODES[RECORDS] | 1, "the root has a label", None),
    (
        "nodes",
        RECORDS + 3,
        NODES[RECORDS + 3] | 200,
        "node 3's rank 203 is past the alphabet",
        None,
    ),
    (
        "nodes",
        RECORDS + 2,
        NODES[RECORDS + 2] & ~0xFF | 1,
        "node 2's label 97 does not follow its elder sibling's 97",
        None,
    ),
    (
        "nodes",
        RECORDS + 1,
        NODES[RECORDS + 1] + (1 << 26),
        "node 0's key lengths below are 1 to 3, its children give 1 to 4",
        RECORDS,  # the root is checked first
    ),
    ("nodes", 32 + 2, ord("a"), "alphabet entry 2 (97) is not a code point after", None),
    ("nodes", 64, 5, "the key count before line 0 is 5, not 0", None),
    (
        "rnodes",
        RECORDS + 1,
        RNODES[RECORDS + 1] + (50 << 8),
        "node 1's children start at",
        None,
    ),
    # Well formed, but its keys are no longer the layout's reversed.
    ("rnodes", 32 + RNODES[2] - 1, 0x10FFFF, "its keys are not the layout's keys reversed", 0),
]


def assert_refused_at(path: Path, data: bytes, section: str, what: str, at: int) -> str:
    """Index.load of `data` saved at `path` names the file, the section, the
    fault and the byte; returns the message."""
    path.write_bytes(data)
    with pytest.raises(ValueError) as caught:
        Index.load(path)
    message = str(caught.value)
    assert message.startswith(f"{path}: the '{section}' section is not a search layout: ")
    assert what in message
    assert message.endswith(f" at byte {at}")
    return message


@pytest.mark.parametrize(("section", "word", "value", "what", "reported"), PACKED_CASES)
def test_crafted_packed_sections_are_refused_at_the_byte_at_fault(
    section: str, word: int, value: int, what: str, reported: int | None, tmp_path: Path
) -> None:
    data, at = replaced_word(GOOD, section, word, value)
    if reported is not None:
        at = replaced_word(GOOD, section, reported, 0)[1]
    path = tmp_path / "crafted.index"
    message = assert_refused_at(path, data, section, what, at)
    # The pickle path checks its checksums first, then the layout the same way.
    pickled = pickle.dumps(Index(WORDS))
    with pytest.raises(ValueError, match="^<pickle>: not an index file: section"):
        pickle.loads(pickled.replace(GOOD, data))
    with pytest.raises(ValueError) as caught:
        pickle.loads(pickled.replace(GOOD, recrc(data, section)))
    assert str(caught.value) == message.replace(str(path), "<pickle>")


def recrc(data: bytes, name: str) -> bytes:
    """`data` with the checksum of section `name` made to match it."""
    located = indexfile.locate(data, unchecked={name})
    number = list(located).index(name)
    out = bytearray(data)
    struct.pack_into("<I", out, 16 + 32 * number + 28, zlib.crc32(located[name][1]))
    return bytes(out)


@pytest.mark.parametrize(
    ("sections", "message"),
    [
        ({"nodes": b"\0" * 24}, "its 24 bytes are shorter than the 64-byte header at byte 64"),
        ({"rnodes": b""}, "has 'rnodes' but no 'nodes' section"),
        ({"nodes": b"", "trie": b""}, "holds both 'trie' and 'nodes'"),
        # The 16-byte records that files held before the packed images.
        ({"layout": b"\0" * 32}, "section 'layout' is not known to this version of morlatch"),
    ],
)
def test_malformed_layout_sections_are_refused(
    sections: dict[str, bytes], message: str, tmp_path: Path
) -> None:
    indexfile.write(tmp_path / "index", sections)
    with pytest.raises(ValueError, match=f"^{tmp_path / 'index'}: .*{message}"):
        Index.load(tmp_path / "index")


def test_a_file_that_cannot_be_mapped_is_read_whole(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    def refuse(*args: object, **kwargs: object) -> None:
        raise OSError(19, "No such device")

    Index(WORDS).save(tmp_path / "index")
    monkeypatch.setattr(mmap, "mmap", refuse)
    loaded = Index.load(tmp_path / "index")
    assert loaded == WORDS and layout_info(loaded.prefix_search)["borrowed"]
    assert loaded.search("bcx", 1) == [("bcd", 4, 1), ("bce", 5, 1)]


@pytest.mark.parametrize("loaded", [False, True], ids=["built", "loaded"])
def test_saved_sections_are_views_that_keep_their_index_alive(loaded: bool, tmp_path: Path) -> None:
    Index(WORDS).save(tmp_path / "first")
    written = (tmp_path / "first").read_bytes()
    copies = {name: bytes(body) for name, body in Index(WORDS)._sections().items()}  # noqa: SLF001
    assert indexfile.encode(copies) == written
    index = Index.load(tmp_path / "first") if loaded else Index(WORDS)
    # Saved again from the index's own memory (even over the file it maps),
    # the file is the same to the byte.
    for target in (tmp_path / "second", tmp_path / "first"):
        index.save(target)
        assert target.read_bytes() == written
    layout, reverse = _engine.layout_sections(index.prefix_search)
    assert reverse is not None
    del index
    gc.collect()
    stored = indexfile.decode(written)
    assert (bytes(layout), bytes(reverse)) == (bytes(stored["nodes"]), bytes(stored["rnodes"]))
    assert layout.readonly and reverse.readonly
    with pytest.raises(TypeError, match="read-only"):
        layout[0] = 0
    with pytest.raises(TypeError, match="read-write"):  # so does the exporter behind it
        io.BytesIO(b"x").readinto(layout.obj)
