"""Saving a trie to a file and loading it back, in the native byte format."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, TypeAlias

import _morlatch

from . import _engine

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["StrPath", "save", "load", "write_atomic"]

StrPath: TypeAlias = str | os.PathLike[str]


def save(search: _morlatch.PrefixSearch, path: StrPath) -> None:
    """Write ``search.to_bytes()`` to ``path`` atomically (see ``write_atomic``)."""
    write_atomic(path, [search.to_bytes()])


def write_atomic(path: StrPath, chunks: Iterable[Buffer]) -> None:
    """Write ``chunks`` one after the other to ``path`` atomically.

    The bytes go to a new temporary file in the same folder, which is flushed
    to disk and then renamed over ``path``: whatever happens meanwhile, the
    file under ``path`` is either the old one or the complete new one. On
    failure the temporary file is removed and the error re-raised.
    """
    target = os.fspath(path)
    folder = os.path.dirname(target) or os.curdir
    temp, fd = _create_temp(folder, os.path.basename(target))
    try:
        with open(fd, "wb") as stream:
            for chunk in chunks:
                stream.write(chunk)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
    _sync_folder(folder)


def load(path: StrPath) -> _morlatch.PrefixSearch:
    """Read a trie written by :func:`save` (or any ``to_bytes()`` output).

    Raises OSError when the file cannot be read and ValueError when its
    content is not a trie image, naming what was wrong and at which byte;
    nothing is written to standard error. A well-formed image whose arrays
    do not agree with each other loads, and faults only when a query reads it.
    """
    with open(path, "rb") as stream:
        data = stream.read()
    # Checked first, quietly: from_bytes reports a bad image as a fault,
    # with a report on standard error.
    problem = _engine.check_bytes(data)
    if problem is not None:
        raise ValueError(f"{os.fspath(path)}: not a trie file: {problem}")
    return _morlatch.from_bytes(data)


def _create_temp(folder: str, name: str) -> tuple[str, int]:
    # Opened with the usual 0o666 & ~umask, like the file a plain open()
    # would create, rather than mkstemp's 0o600.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    while True:
        temp = os.path.join(folder, f".{name}.{os.urandom(6).hex()}.tmp")
        try:
            return temp, os.open(temp, flags, 0o666)
        except FileExistsError:
            continue


def _sync_folder(folder: str) -> None:
    # Makes the rename itself durable; not every platform can open a folder.
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
