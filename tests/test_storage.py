"""Saving and loading trie files: morlatch.save and morlatch.load, the atomic
writer (replaced atomically, links, modes, files that are no regular files,
failures that keep the old file), and reading checked as it goes, from files
and streams, a file that is not a trie refused quietly."""

from __future__ import annotations

import io
import os
import stat
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _morlatch
import morlatch
import reference
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


# ---- save and load through the package ---------------------------------------------


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


@pytest.mark.parametrize("mode", [0o600, 0o604, 0o640, 0o444])
def test_save_replaces_the_content_and_keeps_the_mode(
    search: _morlatch.PrefixSearch, tmp_path: Path, mode: int
) -> None:
    target = tmp_path / "words.trie"
    target.write_bytes(b"old")
    target.chmod(mode)
    old_mask = os.umask(0o027)
    try:
        morlatch.save(search, target)
    finally:
        os.umask(old_mask)
    assert target.read_bytes() == search.to_bytes()
    assert stat.S_IMODE(target.stat().st_mode) == mode


def test_save_into_a_missing_folder_names_the_path_and_leaves_nothing(
    search: _morlatch.PrefixSearch, tmp_path: Path
) -> None:
    with pytest.raises(FileNotFoundError) as info:
        morlatch.save(search, tmp_path / "missing" / "words.trie")
    assert info.value.filename == str(tmp_path / "missing" / "words.trie")
    assert os.listdir(tmp_path) == []


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


def test_engine_check_bytes_takes_any_buffer_and_only_buffers() -> None:
    # The decoder check behind load's quiet refusal.
    image = morlatch.build(["a", "ab"]).to_bytes()
    for data in (image, bytearray(image), memoryview(image), image + b"trailing"):
        assert _engine.check_bytes(data) is None
    with pytest.raises(TypeError, match="argument 'data'"):
        _engine.check_bytes([0, 0, 0, 0])  # type: ignore[arg-type]


@pytest.mark.parametrize("kept", [False, True], ids=["layout", "arrays kept"])
def test_save_writes_the_image_in_pieces_with_the_same_bytes(tmp_path: Path, kept: bool) -> None:
    # An image of several mebibytes, from the layout or from arrays kept
    # beside it (numbered depth first).
    words = [f"{i:07d}{chr(0x4E00 + i % 500)}" for i in range(150_000)]
    search = morlatch.build(words)
    if kept:
        arrays = reference.trie_arrays(dict.fromkeys(words, 7), breadth_first=False)
        search = _morlatch.from_internal_data(*arrays)
        assert morlatch.layout_info(search)["arrays_kept"] is True
    image = search.to_bytes()
    pieces: list[bytes] = []
    _engine.write_trie(search, pieces.append)
    assert len(pieces) >= 2 and all(0 < len(p) <= 1 << 20 for p in pieces)
    assert b"".join(pieces) == image
    target = tmp_path / "words.trie"
    morlatch.save(search, target)
    assert target.read_bytes() == image


def test_a_write_that_fails_midway_keeps_the_old_file(tmp_path: Path) -> None:
    search = morlatch.build([f"{i:07d}" for i in range(300_000)])
    target = tmp_path / "words.trie"
    target.write_bytes(b"previous content")
    calls = 0

    def write(piece: bytes) -> None:
        nonlocal calls
        calls += 1
        if calls == 2:
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space"):
        _engine.write_trie(search, write)
    assert calls == 2
    real_open = open

    def failing_open(*args: Any, **kwargs: Any) -> Any:
        stream = real_open(*args, **kwargs)
        stream.write = write  # type: ignore[method-assign]
        return stream

    calls = 0
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(storage, "open", failing_open, raising=False)
        with pytest.raises(OSError, match="No space"):
            morlatch.save(search, target)
    assert target.read_bytes() == b"previous content"
    assert os.listdir(tmp_path) == ["words.trie"]
