"""Saving a trie to a file and loading it back, in the native byte format."""

from __future__ import annotations

import errno
import os
import stat
import sys
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, BinaryIO, TypeAlias

import _morlatch

from . import _engine

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["StrPath", "save", "load", "read_trie", "write_atomic"]

StrPath: TypeAlias = str | os.PathLike[str]

# A trie image is checked after this many bytes, before any more is read, so
# that a stream that is no trie is refused early (a stream of zeros, say,
# after its first four bytes, which hold a trie with no nodes).
HEAD_SIZE = 64 * 1024
_CHUNK_SIZE = 1 << 20


def save(search: _morlatch.PrefixSearch, path: StrPath) -> None:
    """Write ``search.to_bytes()`` to ``path`` atomically (see :func:`write_atomic`).

    The image is encoded straight into the file a mebibyte at a time: it is
    never held whole beside the trie.
    """
    _write_atomic_with(path, lambda stream: _engine.write_trie(search, stream.write))


def write_atomic(path: StrPath, chunks: Iterable[Buffer]) -> None:
    """Write the concatenation of ``chunks`` to ``path`` atomically.

    The bytes go to a new temporary file in the folder of the file that
    ``path`` names, which is flushed to disk and then renamed over it:
    whatever happens meanwhile, that file is either the old one or the
    complete new one. A symbolic link (or a chain of them) is written
    through: its final target is replaced and the link stays. An existing
    file keeps its permission bits; a new one gets ``0o666`` less the umask.
    Raises OSError naming ``path`` when the target exists and is not a
    regular file (a directory, a FIFO, a device). On failure the temporary
    file is removed and the error re-raised.
    """

    def fill(stream: BinaryIO) -> None:
        for chunk in chunks:
            stream.write(chunk)

    _write_atomic_with(path, fill)


def _write_atomic_with(path: StrPath, fill: Callable[[BinaryIO], object]) -> None:
    """write_atomic, with ``fill(stream)`` writing the bytes."""
    name = os.fspath(path)
    target = os.path.realpath(name)
    try:
        existing: os.stat_result | None = os.lstat(target)
    except FileNotFoundError:
        existing = None
    mode = None
    if existing is not None:
        if stat.S_ISLNK(existing.st_mode):  # realpath stops at a loop of links
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), name)
        if stat.S_ISDIR(existing.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        if not stat.S_ISREG(existing.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", name)
        mode = stat.S_IMODE(existing.st_mode)
    folder = os.path.dirname(target)
    temp, fd = _create_temp(folder, os.path.basename(target), name)
    try:
        with open(fd, "wb") as stream:
            if mode is not None:
                os.fchmod(stream.fileno(), mode)
            fill(stream)
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
    content is not a trie image or holds no nodes, naming the path and what
    was wrong (at which byte); nothing is written to standard error. The
    content is checked as it is read (see :func:`read_trie`). A well-formed
    image whose arrays do not agree with each other loads, and faults only
    when a query reads it.
    """
    name = os.fspath(path)
    with open(name, "rb") as stream:
        return read_trie(stream, name)


def read_trie(stream: BinaryIO, name: str, head: bytes = b"") -> _morlatch.PrefixSearch:
    """The trie whose image ``stream`` holds; ``head`` are its first bytes if
    the caller has read them already.

    The image is read in chunks and checked after its first ``HEAD_SIZE``
    bytes, so that a stream that holds no trie is refused without reading
    on; reading stops as soon as the image is complete (anything after it is
    ignored, as ``from_bytes`` does). A stream that is not a regular file is
    also checked each time what was read doubles. Raises ValueError starting
    with ``name``.
    """
    data = bytearray(head)
    regular = _is_regular(stream)
    check_at = HEAD_SIZE
    ended = False
    while True:
        while len(data) < check_at:
            chunk = stream.read(min(_CHUNK_SIZE, check_at - len(data)))
            if not chunk:
                ended = True
                break
            data += chunk
        problem = _engine.check_bytes(data)
        if problem is None:
            break
        if ended or not problem.startswith("UnexpectedEnd"):
            raise ValueError(f"{name}: not a trie file: {problem}")
        # Cut short: read on. A regular file ends; a stream may not, so it is
        # checked again each time what was read doubles.
        check_at = sys.maxsize if regular else 2 * len(data)
    if _node_count(data) == 0:
        raise ValueError(f"{name}: not a trie file: it holds no nodes, and a trie must have a root")
    return _morlatch.from_bytes(data)


def _is_regular(stream: BinaryIO) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, AttributeError, ValueError):
        return False


def _node_count(image: bytearray) -> int:
    """The element count of the image's first list (one entry per node)."""
    width = {0xFB: 2, 0xFC: 4, 0xFD: 8}.get(image[0])
    if width is None:
        return image[0]
    return int.from_bytes(image[1 : 1 + width], "little")


def _create_temp(folder: str, name: str, shown: str) -> tuple[str, int]:
    # Opened with the usual 0o666 & ~umask, like the file a plain open()
    # would create, rather than mkstemp's 0o600.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    while True:
        temp = os.path.join(folder, f".{name}.{os.urandom(6).hex()}.tmp")
        try:
            return temp, os.open(temp, flags, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            # Named after the file asked for, not the temporary one.
            raise type(error)(error.errno, error.strerror, shown) from None


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
