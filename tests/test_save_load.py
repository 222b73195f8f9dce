"""morlatch.save and morlatch.load: the trie in a file, replaced atomically,
and a file that is not a trie refused quietly."""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Any

import pytest

import _morlatch
import morlatch
import reference
from morlatch import _engine, storage


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


def test_save_replaces_the_content_and_keeps_the_mode(
    search: _morlatch.PrefixSearch, tmp_path: Path
) -> None:
    target = tmp_path / "words.trie"
    target.write_bytes(b"old")
    target.chmod(0o604)
    old_mask = os.umask(0o027)
    try:
        morlatch.save(search, target)
    finally:
        os.umask(old_mask)
    assert target.read_bytes() == search.to_bytes()
    assert stat.S_IMODE(target.stat().st_mode) == 0o604


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


def test_engine_check_bytes_takes_any_buffer_and_only_buffers() -> None:
    # The decoder check behind load's quiet refusal.
    from morlatch import _engine

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
