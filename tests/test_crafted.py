"""What an index trusts from outside, crafted: pickles that write into the
bytes being loaded, reverse indexes of other keys, fold and weights
sections that disagree with the trie, streams and odd paths, gaps."""

from __future__ import annotations

import io
import mmap
import os
import pickle
import struct
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import replace
from pathlib import Path

import pytest

from morlatch import Index, _engine, indexfile
from morlatch.fold import Groups, decode_groups, encode_groups

WORDS = {"ab": 1, "abc": 2, "b": 3, "bcd": 4, "bce": 5, "cab": 6, "jello": 7, "hello": 8}
GOOD = indexfile.encode(Index(WORDS)._sections())  # noqa: SLF001
QUERIES = ["ab", "bcdx", "jello", "helo", "cb", "x"]


def answers(index: Index) -> list[object]:
    return [index.search(query, k) for query in QUERIES for k in range(3)] + [dict(index)]


# ---- pickles ---------------------------------------------------------------


def crafted_pickle(blob: bytes, writes: list[tuple[int, int]]) -> bytes:
    """A pickle naming only what an Index pickle names, that hands
    _unpickle a bytearray of `blob` and then writes bytes into it."""
    out = bytearray(b"\x80\x05")  # PROTO 5
    out += b"cmorlatch.index\n_unpickle\n"  # GLOBAL
    out += b"cmorlatch.index\nIndex\n"
    out += b"\x96" + struct.pack("<Q", len(blob)) + blob + b"\x94"  # BYTEARRAY8, MEMOIZE
    out += b"N\x87R"  # None, TUPLE3, REDUCE: the index
    for at, value in writes:
        # BINGET 0, BININT at, BININT1 value, SETITEM, POP
        out += b"h\x00J" + struct.pack("<i", at) + b"K" + bytes([value]) + b"s0"
    return bytes(out + b".")


def test_a_pickle_cannot_change_the_bytes_it_loaded() -> None:
    nodes_at, nodes = indexfile.locate(GOOD)["nodes"]
    rnodes_at, _ = indexfile.locate(GOOD)["rnodes"]
    # The line bases, a record and the reverse index's first records: reads
    # far out of bounds if they changed after the check.
    targets = [nodes_at + 4 * 48 + i for i in range(4)]
    targets += [nodes_at + 4 * 16 + 5, rnodes_at + 4 * 17 + 2, nodes_at + len(nodes) - 1]
    index = pickle.loads(crafted_pickle(GOOD, [(at, 0xFF) for at in targets]))
    assert answers(index) == answers(Index(WORDS))


def mapped(data: bytes, access: int, tmp_path: Path) -> mmap.mmap:
    path = tmp_path / "nodes"
    path.write_bytes(data)
    with open(path, "r+b") as stream:
        return mmap.mmap(stream.fileno(), 0, access=access)


def inner(data: bytes) -> memoryview:
    """A view of a view of bytes, the same bytes in the end."""
    return memoryview(memoryview(b"\0" + data + b"\0")[1:-1])


def read_only_view(data: bytes) -> memoryview:
    return memoryview(bytearray(data)).toreadonly()


@pytest.mark.parametrize(
    ("holder", "accepted"),
    [
        (lambda data, _: data, True),
        (lambda data, _: inner(data), True),
        (lambda data, tmp: mapped(data, mmap.ACCESS_READ, tmp), True),
        (lambda data, _: read_only_view(data), False),
        (lambda data, _: memoryview(read_only_view(data)), False),
        (lambda data, _: bytearray(data), False),
        (lambda data, tmp: memoryview(mapped(data, mmap.ACCESS_WRITE, tmp)).toreadonly(), False),
    ],
    ids=[
        "bytes",
        "view-of-bytes",
        "read-only-map",
        "view-of-bytearray",
        "view-of-that",
        "bytearray",
        "writable-map",
    ],
)
def test_the_engine_reads_in_place_only_memory_that_cannot_change(
    holder: Callable[[bytes, Path], object], accepted: bool, tmp_path: Path
) -> None:
    data = holder(bytes(indexfile.decode(GOOD)["nodes"]), tmp_path)
    if accepted:
        search = _engine.open_index(data, None, "<x>", 0, 0)
        assert search.exact_match("jello") == ("jello", 7, 0)
    else:
        with pytest.raises(TypeError, match="a stored layout must be immutable"):
            _engine.open_index(data, None, "<x>", 0, 0)


# ---- the reverse index -----------------------------------------------------


def thue_morse(order: int) -> tuple[str, str]:
    """A word of 2**order letters and its complement, whose polynomial
    hashes modulo 2**64 agree for every odd base."""
    word, other = "a", "b"
    for _ in range(order):
        word, other = word + other, other + word
    return word, other


WORD, COMPLEMENT = thue_morse(10)


@pytest.mark.parametrize(
    ("keys", "other"),
    [
        # One key with a trailing U+0000.
        (WORDS, {key: 0 for key in WORDS if key != "jello"} | {"jello\0": 0}),
        ({"x": 1, WORD: 2}, {"x": 1, COMPLEMENT: 2}),
    ],
    ids=["trailing-nul", "thue-morse"],
)
def test_a_reverse_index_of_other_keys_is_refused(
    keys: dict[str, int], other: dict[str, int], tmp_path: Path
) -> None:
    assert len(other) == len(keys) and set(other) != set(keys)
    nodes, _ = _engine.layout_sections(Index(keys).prefix_search)
    _, rnodes = _engine.layout_sections(Index(other).prefix_search)
    path = tmp_path / "crafted.index"
    indexfile.write(path, {"nodes": nodes, "rnodes": rnodes})
    with pytest.raises(ValueError, match="its keys are not the layout's keys reversed"):
        Index.load(path)


# ---- the fold and weights sections -------------------------------------------


def sections_of(index: Index) -> dict[str, bytes]:
    return {name: bytes(body) for name, body in index._sections().items()}  # noqa: SLF001


def with_groups(sections: dict[str, bytes], change: Callable[[Groups], Groups]) -> dict:
    custom, groups = decode_groups(sections["fold"])
    return {**sections, "fold": encode_groups(change(groups), custom)}


FOLDED = sections_of(Index(["Ab", "ab", "B", "cd"], fold=True))
NAN, INF = struct.pack("<d", float("nan")), struct.pack("<d", float("inf"))


def weights(codes: list[bytes]) -> bytes:
    return b"f" + b"".join(codes)


@pytest.mark.parametrize(
    ("sections", "fold", "message"),
    [
        # Built with str.lower, loaded with str.upper.
        (sections_of(Index(["Ab", "b"], fold=str.lower)), str.upper, "'Ab' folds to 'AB', not"),
        # A key as given that does not fold to its form.
        (
            with_groups(FOLDED, lambda g: replace(g, keys=["Ab", "xb", "B", "cd"])),
            None,
            "key 'xb' folds to 'xb', not to its form 'ab'",
        ),
        # Form numbers that are not the groups' (one past the count).
        (
            {**FOLDED, **sections_of(Index({"ab": 0, "b": 1, "cd": 3}))},
            None,
            "the trie's payloads are not the numbers of the 'fold' section's forms",
        ),
        (
            {
                **sections_of(Index(["a", "b"], weights={"a": 1.5, "b": 2.0})),
                "weights": weights([NAN, INF]),
            },
            None,
            "nan",
        ),
        (
            {
                **sections_of(Index(["a", "b"], weights={"a": 1.5, "b": 2.0})),
                "weights": weights([INF, INF]),
            },
            None,
            "inf at position 0",
        ),
        (
            {**FOLDED, "weights": weights([struct.pack("<d", w) for w in (1, -0.0, 2, 3)])},
            None,
            "-0.0 at position 1",
        ),
    ],
    ids=["other-rule", "key-not-its-form", "form-numbers", "nan", "inf", "negative"],
)
def test_sections_that_disagree_with_the_trie_are_refused(
    sections: dict[str, bytes], fold: Callable[[str], str] | None, message: str, tmp_path: Path
) -> None:
    path = tmp_path / "crafted.index"
    indexfile.write(path, sections)
    with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
        Index.load(path, fold=fold)


def test_a_file_built_under_another_unicode_version_says_so(tmp_path: Path) -> None:
    # "ǅ" casefolds to "ǆ" now; say the file was written by an interpreter
    # that folded it to "dž" instead.
    sections = sections_of(Index(["ǅ"], fold=True))
    fold = sections["fold"]
    sections["fold"] = b"unicode 1.0" + fold[fold.index(b"\n") :]
    other = sections_of(Index({"dž": 0}))
    path = tmp_path / "old.index"
    indexfile.write(path, {**sections, **other})
    with pytest.raises(ValueError, match=r"written under unicode 1\.0, read under Unicode"):
        Index.load(path)


# ---- a fold that does not keep "" ------------------------------------------


def padded(text: str) -> str:
    """A code of four letters, as phonetic codes pad: "" becomes "0000"."""
    return (text[:1].upper() + "000" + text[1:])[:4]


def test_every_key_is_listed_whatever_the_empty_string_folds_to() -> None:
    table = {"apple": 1, "ample": 2, "berry": 3}
    index = Index(table, fold=padded)
    assert padded("") != ""
    assert sorted(index) == sorted(table) and dict(index.items()) == table
    assert dict(index) == table and index == table
    assert index != {"x": 1, "y": 2, "z": 3}
    assert sorted(index.values()) == [1, 2, 3]


# ---- streams, paths and gaps -------------------------------------------------


@pytest.fixture
def fifo(tmp_path: Path) -> Iterator[Callable[[bytes], Path]]:
    """A FIFO that a thread fills with the given bytes once it is opened."""
    threads: list[threading.Thread] = []

    def make(data: bytes) -> Path:
        path = tmp_path / f"fifo{len(threads)}"
        os.mkfifo(path)

        def feed() -> None:
            with open(path, "wb") as stream:
                stream.write(data)

        threads.append(threading.Thread(target=feed, daemon=True))
        threads[-1].start()
        return path

    yield make
    for thread in threads:
        thread.join(5)


@pytest.mark.parametrize("kind", ["index", "trie"])
def test_index_load_reads_fifos_and_stdin_once(
    kind: str, fifo: Callable[[bytes], Path], tmp_path: Path
) -> None:
    index = Index(WORDS)
    data = GOOD if kind == "index" else index.prefix_search.to_bytes()
    assert Index.load(fifo(data)) == WORDS
    code = "from morlatch import Index; print(sorted(Index.load('/dev/stdin').items()))"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    for stdin in (data, None):  # a pipe, then a regular file
        if stdin is None:
            (tmp_path / "file").write_bytes(data)
            with open(tmp_path / "file", "rb") as stream:
                done = subprocess.run(
                    [sys.executable, "-c", code], stdin=stream, capture_output=True, env=env
                )
        else:
            done = subprocess.run(
                [sys.executable, "-c", code], input=stdin, capture_output=True, env=env
            )
        assert done.stdout.decode() == f"{sorted(WORDS.items())}\n", done.stderr.decode()


class Endless(io.RawIOBase):
    """`data`, then zeros for ever; counts what was read."""

    def __init__(self, data: bytes) -> None:
        self.data, self.taken = data, 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        size = len(buffer)
        piece = self.data[self.taken : self.taken + size]
        piece += bytes(size - len(piece))
        buffer[:size] = piece
        self.taken += size
        return size


def declaring(length: int) -> bytes:
    """The header and table of a file with one section of `length` bytes."""
    head = struct.pack("<8sII", indexfile.MAGIC, 1, 1)
    return head + struct.pack("<12sQQI", b"nodes", 64, length, 0) + bytes(16)


@pytest.mark.parametrize(
    ("data", "message", "bound"),
    [
        # A sound file, then endless bytes: one byte past it is enough.
        (GOOD, "bytes after the last section", len(GOOD) + 1),
        # A section's checksum is checked once it is read, no further.
        (declaring(1 << 20), "has checksum", 64 + (1 << 20)),
        # Zeros where the table should be: the first entry is refused.
        (struct.pack("<8sII", indexfile.MAGIC, 1, 1 << 30), "malformed name", 16 + 32),
    ],
    ids=["trailing", "declared-section", "zero-table"],
)
def test_a_stream_is_read_no_further_than_its_table_declares(
    data: bytes, message: str, bound: int
) -> None:
    raw = Endless(data)
    with pytest.raises(ValueError, match=message):
        indexfile.read_stream(io.BufferedReader(raw, 4096), "<pipe>")
    # What was read: at most the declared bytes, and the reader's buffer.
    assert raw.taken <= bound + 4096


@pytest.mark.parametrize("gap", [64, 1 << 20, 3 << 29])
def test_gaps_of_a_whole_alignment_or_more_are_refused(gap: int, tmp_path: Path) -> None:
    nodes = bytes(indexfile.decode(GOOD)["nodes"])
    offset = 64 + gap
    table = struct.pack("<8sII", indexfile.MAGIC, 1, 1)
    table += struct.pack("<12sQQI", b"nodes", offset, len(nodes), 0)
    path = tmp_path / "sparse.index"
    with open(path, "wb") as stream:
        stream.write(table)
        stream.seek(offset)  # a hole: no disk, no page
        stream.write(nodes)
    message = f"starts at {offset}, {gap + 16} bytes after the table \\(padding is under 64\\)"
    with pytest.raises(ValueError, match=message):
        Index.load(path)


def test_paths_that_are_not_utf8_load_and_are_named(tmp_path: Path) -> None:
    path = tmp_path / os.fsdecode(b"w\xff.index")
    Index(WORDS).save(path)
    assert Index.load(path) == WORDS
    broken = bytearray(GOOD)
    broken[indexfile.locate(GOOD)["nodes"][0]] ^= 1
    path.write_bytes(bytes(broken))
    with pytest.raises(ValueError) as caught:
        Index.load(path)
    assert str(caught.value).startswith(f"{path}: the 'nodes' section is not a search layout")
