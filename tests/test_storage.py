"""Saving and loading trie files: the atomic writer, links, modes and files
that are no regular files; reading checked as it goes, from files and streams."""

from __future__ import annotations

import io
import os
import stat
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
from morlatch import _engine, storage, wordlist

WORDS = {"hello": 0, "help": 7, "held": 2, "hélo": 3, "world": 4}


@pytest.fixture(scope="module")
def image() -> bytes:
    return morlatch.build(WORDS).to_bytes()


# ---- write_atomic and save ------------------------------------------------------


def test_save_writes_through_a_chain_of_links(tmp_path: Path, image: bytes) -> None:
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "words.trie"
    target.write_bytes(b"old")
    (tmp_path / "first").symlink_to(target)
    (tmp_path / "second").symlink_to("first")
    morlatch.save(morlatch.build(WORDS), tmp_path / "second")
    assert target.read_bytes() == image
    assert os.readlink(tmp_path / "second") == "first"
    assert os.readlink(tmp_path / "first") == str(target)
    # The temporary file was made beside the target, and is gone.
    assert sorted(os.listdir(tmp_path / "real")) == ["words.trie"]
    assert sorted(os.listdir(tmp_path)) == ["first", "real", "second"]


def test_save_through_a_dangling_link_creates_its_target(tmp_path: Path, image: bytes) -> None:
    (tmp_path / "link").symlink_to("made.trie")
    morlatch.save(morlatch.build(WORDS), tmp_path / "link")
    assert (tmp_path / "link").is_symlink()
    assert (tmp_path / "made.trie").read_bytes() == image


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444])
def test_save_keeps_the_mode_of_an_existing_file(tmp_path: Path, mode: int) -> None:
    path = tmp_path / "words.trie"
    path.write_bytes(b"old")
    path.chmod(mode)
    storage.write_atomic(path, [b"new"])
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_bytes() == b"new"


def test_a_new_file_gets_the_umask_mode(tmp_path: Path) -> None:
    old = os.umask(0o027)
    try:
        storage.write_atomic(tmp_path / "new.trie", [b"x"])
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.trie").stat().st_mode) == 0o640


def fifo(path: Path) -> Path:
    os.mkfifo(path)
    return path


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (fifo, "not a regular file"),
        (lambda path: path.mkdir(), "Is a directory"),
        (lambda path: os.symlink(path.name, path), "Too many levels of symbolic links"),
    ],
    ids=["fifo", "folder", "link-loop"],
)
def test_save_refuses_what_is_no_regular_file(tmp_path: Path, make: object, error: str) -> None:
    path = tmp_path / "target"
    make(path)  # type: ignore[operator]
    before = os.lstat(path)
    with pytest.raises(OSError, match=error) as info:
        morlatch.save(morlatch.build(WORDS), path)
    assert info.value.filename == str(path)
    after = os.lstat(path)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert os.listdir(tmp_path) == ["target"]


def test_save_refuses_a_link_to_a_fifo(tmp_path: Path) -> None:
    fifo(tmp_path / "pipe")
    (tmp_path / "link").symlink_to("pipe")
    with pytest.raises(OSError, match="not a regular file"):
        morlatch.save(morlatch.build(WORDS), tmp_path / "link")
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe").st_mode)


def test_write_atomic_joins_any_bytes_like_chunks(tmp_path: Path) -> None:
    path = tmp_path / "out"
    chunks: list[bytes | bytearray | memoryview] = [
        b"ab",
        bytearray(b"cd"),
        memoryview(b"xefx")[1:3],
        b"",
    ]
    storage.write_atomic(str(path), iter(chunks))
    assert path.read_bytes() == b"abcdef"


def test_write_atomic_leaves_the_old_file_when_the_chunks_fail(tmp_path: Path) -> None:
    path = tmp_path / "out"
    path.write_bytes(b"old")

    def chunks() -> Iterator[bytes]:
        yield b"new"
        raise RuntimeError("the producer failed")

    with pytest.raises(RuntimeError):
        storage.write_atomic(path, chunks())
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["out"]


def test_a_missing_folder_is_named_by_the_path_asked_for(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as info:
        storage.write_atomic(tmp_path / "no" / "out", [b"x"])
    assert info.value.filename == str(tmp_path / "no" / "out")


# ---- load and read_trie -----------------------------------------------------------


@pytest.mark.parametrize("loader", [morlatch.load, morlatch.Index.load], ids=["load", "Index"])
def test_a_trie_without_nodes_is_refused_quietly(
    tmp_path: Path, loader: object, capfd: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "empty.trie"
    path.write_bytes(b"\0\0\0\0")
    with pytest.raises(ValueError, match="a trie must have a root") as info:
        loader(path)  # type: ignore[operator]
    assert str(info.value).startswith(f"{path}: ")
    assert capfd.readouterr().err == ""
    # The native module itself still reads those bytes as it always has.
    assert _morlatch.from_bytes(b"\0\0\0\0").to_bytes() == b"\0\0\0\0"


def feed(chunks: Iterator[bytes]) -> tuple[int, list[int]]:
    """A pipe whose writer sends chunks until the reader closes it; returns
    the read end's descriptor and a one-item list that ends up holding the
    number of bytes the writer got rid of."""
    read_end, write_end = os.pipe()
    sent = [0]

    def writer() -> None:
        try:
            for chunk in chunks:
                sent[0] += os.write(write_end, chunk)
        except BrokenPipeError:
            pass
        finally:
            os.close(write_end)

    threading.Thread(target=writer, daemon=True).start()
    return read_end, sent


def endless(head: bytes, filler: bytes) -> Iterator[bytes]:
    yield head
    while True:
        yield filler


@pytest.mark.parametrize(
    ("head", "message"),
    [
        (b"", "a trie must have a root"),
        (b"\x05\x00\xff", "InvalidIntegerType"),
    ],
    ids=["zeros", "garbage"],
)
def test_a_stream_that_is_no_trie_is_refused_after_its_first_bytes(
    head: bytes, message: str
) -> None:
    fd, sent = feed(endless(head, bytes(1 << 16)))
    with open(fd, "rb") as stream, pytest.raises(ValueError, match=message):
        storage.read_trie(stream, "<pipe>")
    # The writer is blocked or gone: what it sent is what the reader took
    # plus at most a pipe's buffer.
    assert sent[0] <= storage.HEAD_SIZE + (1 << 20)


def test_reading_stops_at_the_end_of_the_image(image: bytes) -> None:
    big = morlatch.default_search().to_bytes()
    assert len(big) > 4 * storage.HEAD_SIZE  # read in several chunks, checked as it doubles
    for data in (image, big):
        fd, _ = feed(endless(data, bytes(1 << 16)))
        with open(fd, "rb") as stream:
            assert storage.read_trie(stream, "<pipe>").to_bytes() == data


@pytest.fixture
def small_chunks(monkeypatch: pytest.MonkeyPatch) -> None:
    # Small enough that random images span many checks and chunks.
    monkeypatch.setattr(storage, "HEAD_SIZE", 3)
    monkeypatch.setattr(storage, "_CHUNK_SIZE", 2)


@pytest.mark.usefixtures("small_chunks")
@given(
    keys=st.lists(st.text(st.sampled_from("ab€"), min_size=1, max_size=4), max_size=5),
    cut=st.integers(0, 60),
    flip=st.tuples(st.integers(0, 60), st.integers(0, 255)),
    tail=st.binary(max_size=5),
    split=st.integers(0, 8),
)
def test_read_trie_agrees_with_the_checker(
    keys: list[str], cut: int, flip: tuple[int, int], tail: bytes, split: int
) -> None:
    # Images cut short, with one byte changed or with bytes after them, read
    # in small chunks from a stream, after a head of any length: refused
    # exactly when the whole is no image (or one of no nodes), and otherwise
    # read as from_bytes reads it.
    data = bytearray(morlatch.build(keys).to_bytes()[: max(cut, 1)] + tail)
    if flip[0] < len(data):
        data[flip[0]] = flip[1]
    whole = bytes(data)
    expected: bytes | None = None
    if _engine.check_bytes(whole) is None and whole[0] != 0:
        expected = _morlatch.from_bytes(whole).to_bytes()
    stream = io.BytesIO(whole[split:])
    try:
        got = storage.read_trie(stream, "<s>", whole[:split]).to_bytes()
    except ValueError as error:
        assert str(error).startswith("<s>: not a trie file: ")
        got = None
    assert got == expected


# ---- word lists -------------------------------------------------------------------


@given(
    lines=st.lists(st.integers(0, 20), min_size=1, max_size=8),
    split=st.integers(0, 60),
)
def test_read_word_list_refuses_the_first_line_over_the_limit(lines: list[int], split: int) -> None:
    limit = 8
    data = b"\n".join(b"x" * length for length in lines)
    original = wordlist.MAX_LINE
    wordlist.MAX_LINE = limit
    try:
        stream = io.BytesIO(data[split:])
        outcome: bytes | int = wordlist.read_word_list(stream, "w", data[:split])
    except wordlist.WordListError as error:
        assert error.reason == "line longer than 1 MiB"
        outcome = error.line
    finally:
        wordlist.MAX_LINE = original
    too_long = [number for number, length in enumerate(lines, 1) if length > limit]
    assert outcome == (too_long[0] if too_long else data)


@pytest.mark.parametrize("length", [wordlist.MAX_LINE, wordlist.MAX_LINE + 1])
def test_the_line_limit_is_one_mebibyte(length: int) -> None:
    data = b"a\n" + b"b" * length + b"\nc\n"
    if length > wordlist.MAX_LINE:
        with pytest.raises(wordlist.WordListError, match=r"^w:2: line longer than 1 MiB$"):
            wordlist.read_word_list(io.BytesIO(data), "w")
    else:
        assert wordlist.read_word_list(io.BytesIO(data), "w") == data
