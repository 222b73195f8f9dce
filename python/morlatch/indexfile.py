"""The index file: named sections of bytes in one versioned, checksummed file.

Layout (all integers little-endian)::

    offset  size  field
    0       8     magic b"\\xffMLINDEX"
    8       4     format version (1)
    12      4     section count N
    16      32*N  section table, one entry per section:
                    12  name: 1 to 12 ASCII bytes [A-Za-z0-9_.-], NUL-padded
                     8  offset of the section from the start of the file
                     8  length of the section in bytes
                     4  CRC-32 of the section (zlib.crc32)
    ...           the sections, in table order, each at an offset that is a
                  multiple of 64, with zero bytes in the gaps (each shorter
                  than 64 bytes); the file ends where the last section ends

Sections start 64-byte aligned so that a reader can map them in place.

Sniffing: a trie image (``to_bytes()``) starts with its first list's count as
a varint whose first byte is never 0xFF (a reserved marker), so no trie file
starts with this magic and ``is_index_file`` tells the two apart from the
first eight bytes.

Sections whose names start with ``x-`` are optional: a reader that does not
know them may skip them. Every other section is required: a reader that does
not know it must refuse the file.
"""

from __future__ import annotations

import mmap
import os
import re
import stat
import struct
import zlib
from collections.abc import Collection, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, BinaryIO

from .storage import StrPath, write_atomic

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = [
    "ALIGNMENT",
    "MAGIC",
    "VERSION",
    "decode",
    "encode",
    "is_index_file",
    "is_optional",
    "locate",
    "open_sections",
    "read",
    "read_stream",
    "write",
]

MAGIC = b"\xffMLINDEX"
VERSION = 1
ALIGNMENT = 64

_HEADER = struct.Struct("<8sII")
_ENTRY = struct.Struct("<12sQQI")
_NAME = re.compile(rb"[A-Za-z0-9_.\-]{1,12}")
_ZEROS = bytes(ALIGNMENT)
# A section of unknown size is read from a stream this many bytes at a time
# at first, so that a table that promises more than the stream holds costs
# no more memory than the stream delivers.
_CHUNK = 1 << 20


def is_index_file(head: Buffer) -> bool:
    """Whether ``head`` (at least the first 8 bytes of a file) starts an index
    file rather than a plain trie file."""
    return bytes(memoryview(head)[: len(MAGIC)]) == MAGIC


def is_optional(name: str) -> bool:
    """Whether a reader that does not know section ``name`` may skip it."""
    return name.startswith("x-")


def encode(sections: Mapping[str, Buffer]) -> bytes:
    """The index file holding ``sections`` (name to bytes), as one bytes object."""
    return b"".join(_chunks(sections))


def write(path: StrPath, sections: Mapping[str, Buffer]) -> None:
    """Writes the index file holding ``sections`` to ``path`` atomically."""
    write_atomic(path, _chunks(sections))


def read(path: StrPath) -> dict[str, memoryview]:
    """The sections of the index file at ``path``, by name, in file order.

    Each section is read into a bytes object of its own (a view over all of
    it), so nothing but the sections is held. Raises OSError when the file
    cannot be read and ValueError when it is not a valid index file (see
    ``decode``).
    """
    source = os.fsdecode(path)
    with open(path, "rb") as stream:
        located = read_stream(stream, source)
    return {name: body for name, (_, body) in located.items()}


def read_stream(
    stream: BinaryIO, source: str, head: bytes = b"", *, unchecked: Collection[str] = ()
) -> dict[str, tuple[int, memoryview]]:
    """As ``locate``, for the index file that ``stream`` holds (a file, a
    pipe, a FIFO), of which ``head`` was read already: read once, front to
    back, each section into a bytes object of its own.

    The header and table are checked as soon as they are read, each gap and
    checksum as its section arrives; nothing is read past what the table
    declares, and a stream that ends early is refused (a regular file's size
    bounds the table at once). Reading stops at the last section's end, then
    one byte more, which must not exist.
    """
    size = _regular_size(stream)
    reader = _Reader(stream, head, size is not None)
    count = _header(memoryview(reader.take(_HEADER.size)), size, source)

    def raw_entries() -> Iterator[tuple[bytes, int, int, int]]:
        # One at a time, each checked before the next is read.
        for number in range(count):
            entry = reader.take(_ENTRY.size)
            if len(entry) < _ENTRY.size:
                at = _HEADER.size + number * _ENTRY.size + len(entry)
                raise _fail(source, "the data ends early", at)
            yield _ENTRY.unpack(entry)

    entries = list(_checked_entries(raw_entries(), count, size, source))
    sections: dict[str, tuple[int, memoryview]] = {}
    end = _HEADER.size + count * _ENTRY.size
    for name, offset, length, crc in entries:
        _check_gap(reader.take(offset - end), end, source)
        body = reader.take(length)
        if len(body) != length:  # a stream that ends early, or a file that shrank
            raise _fail(source, "the data ends early", offset + len(body))
        if name not in unchecked:
            _check_crc(body, name, crc, offset, source)
        sections[name] = (offset, memoryview(body))
        end = offset + length
    if reader.take(1):
        after = "" if size is None else f"{size - end} "
        raise _fail(source, f"{after}bytes after the last section", end)
    return sections


def open_sections(
    stream: BinaryIO, source: str, head: bytes = b"", *, unchecked: Collection[str] = ()
) -> dict[str, tuple[int, memoryview]]:
    """As ``locate``, for the index file that ``stream`` holds, of which
    ``head`` was read already: a regular file is mapped read-only (views
    into the map, which they keep open), anything else, or a file that
    cannot be mapped, read by ``read_stream``."""
    if _regular_size(stream) is not None:
        try:
            mapped = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):  # a file system that cannot map, a file emptied meanwhile
            pass
        else:
            return locate(mapped, source, unchecked=unchecked)
    return read_stream(stream, source, head, unchecked=unchecked)


class _Reader:
    """Bytes from ``head``, then from ``stream``, as asked for. Of a stream
    of unknown size, a large request is read in pieces that double, so that
    the memory taken follows what the stream delivers, not what was asked."""

    def __init__(self, stream: BinaryIO, head: bytes, sized: bool) -> None:
        self._stream = stream
        self._head = memoryview(head)
        self._sized = sized

    def take(self, count: int) -> bytes:
        taken = bytes(self._head[:count])
        self._head = self._head[len(taken) :]
        if len(taken) == count:
            return taken
        pieces = [taken] if taken else []
        got = len(taken)
        while got < count:
            want = count - got if self._sized else min(count - got, max(_CHUNK, got))
            piece = self._stream.read(want)
            if not piece:
                break
            pieces.append(piece)
            got += len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)


def _regular_size(stream: BinaryIO) -> int | None:
    """The size of the regular file that ``stream`` reads, or None for a
    pipe, a FIFO, a device or anything without a descriptor."""
    try:
        status = os.fstat(stream.fileno())
    except (OSError, AttributeError, ValueError):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def decode(data: Buffer, source: str = "<index>") -> dict[str, memoryview]:
    """The sections of the index file ``data``, by name, in file order, as
    read-only views into ``data`` (no copy).

    Everything is checked: magic, version, the table's bounds, names, that
    sections are aligned, within the data, in order, without overlap, with
    zero bytes between them and nothing after the last, and every checksum.
    A failure raises ValueError as ``"<source>: not an index file: <what> at
    byte N"``.
    """
    return {name: body for name, (_, body) in locate(data, source).items()}


def locate(
    data: Buffer, source: str = "<index>", *, unchecked: Collection[str] = ()
) -> dict[str, tuple[int, memoryview]]:
    """As ``decode``, with each section's offset in the data: name to
    ``(offset, view)``. The checksums of the sections named in ``unchecked``
    are not computed: for sections whose reader checks every field itself
    (the search layout), so that opening a large mapped file does not read
    it twice."""
    view = memoryview(data).cast("B").toreadonly()
    size = len(view)
    count = _header(view, size, source)
    sections: dict[str, tuple[int, memoryview]] = {}
    end = _HEADER.size + count * _ENTRY.size
    for name, offset, length, crc in _table(view, size, source):
        _check_gap(view[end:offset].tobytes(), end, source)  # under 64 bytes: see _table
        body = view[offset : offset + length]
        if name not in unchecked:
            _check_crc(body, name, crc, offset, source)
        sections[name] = (offset, body)
        end = offset + length
    if end != size:
        raise _fail(source, f"{size - end} bytes after the last section", end)
    return sections


def _fail(source: str, what: str, at: int) -> ValueError:
    return ValueError(f"{source}: not an index file: {what} at byte {at}")


def _header(view: memoryview, size: int | None, source: str) -> int:
    """The section count, once the header at the start of view is checked
    against a file of size bytes (None: a stream of unknown size)."""
    if len(view) < _HEADER.size:
        if bytes(view[: len(MAGIC)]) != MAGIC[: min(len(view), len(MAGIC))]:
            raise _fail(source, "wrong magic", _mismatch(view, MAGIC))
        has = len(view) if size is None else size
        raise _fail(source, f"the header needs {_HEADER.size} bytes, the data has {has}", has)
    magic, version, count = _HEADER.unpack_from(view, 0)
    if magic != MAGIC:
        raise _fail(source, "wrong magic", _mismatch(view, MAGIC))
    if version != VERSION:
        raise _fail(source, f"format version {version} is not supported (only {VERSION})", 8)
    if size is not None and _HEADER.size + count * _ENTRY.size > size:
        what = f"a table of {count} sections runs past the end of the data ({size} bytes)"
        raise _fail(source, what, 12)
    return int(count)


def _table(view: memoryview, size: int | None, source: str) -> list[tuple[str, int, int, int]]:
    """(name, offset, length, checksum) of each section, once the table in
    view (header included) is checked against a file of size bytes."""
    count = _HEADER.unpack_from(view)[2]
    raw = (_ENTRY.unpack_from(view, _HEADER.size + i * _ENTRY.size) for i in range(count))
    return list(_checked_entries(raw, count, size, source))


def _checked_entries(
    raw: Iterable[tuple[bytes, int, int, int]], count: int, size: int | None, source: str
) -> Iterator[tuple[str, int, int, int]]:
    """The table's entries as (name, offset, length, checksum), each checked
    as it comes against a file of size bytes (None: a stream of unknown
    size)."""
    names: set[str] = set()
    end = _HEADER.size + count * _ENTRY.size  # where the previous section ends
    for number, (raw_name, offset, length, crc) in enumerate(raw):
        at = _HEADER.size + number * _ENTRY.size
        stripped = raw_name.rstrip(b"\0")
        if not _NAME.fullmatch(stripped):
            raise _fail(source, f"section {number} has a malformed name {raw_name!r}", at)
        name = stripped.decode("ascii")
        if name in names:
            raise _fail(source, f"section {name!r} appears twice", at)
        if offset % ALIGNMENT:
            what = f"section {name!r} starts at {offset}, not a multiple of {ALIGNMENT}"
            raise _fail(source, what, at + 12)
        if offset < end:
            what = f"section {name!r} starts at {offset}, inside the table or an earlier section"
            raise _fail(source, what, at + 12)
        if size is not None and (offset > size or length > size - offset):
            what = (
                f"section {name!r} ({length} bytes at {offset}) runs past the end of the data "
                f"({size} bytes)"
            )
            raise _fail(source, what, at + 12)
        # Writers pad only up to the next multiple of the alignment, so a
        # longer gap is no file of theirs (and would have to be read to be
        # checked: a sparse file's hole, say).
        if offset - end >= ALIGNMENT:
            what = (
                f"section {name!r} starts at {offset}, {offset - end} bytes after the "
                f"{'table' if number == 0 else 'previous section'} (padding is under {ALIGNMENT})"
            )
            raise _fail(source, what, at + 12)
        names.add(name)
        yield name, offset, length, crc
        end = offset + length


def _check_gap(gap: bytes, at: int, source: str) -> None:
    if gap.count(0) != len(gap):
        raise _fail(source, "non-zero padding", at + len(gap) - len(gap.lstrip(b"\0")))


def _check_crc(body: Buffer, name: str, crc: int, at: int, source: str) -> None:
    actual = zlib.crc32(body)
    if actual != crc:
        what = f"section {name!r} has checksum {actual:#010x}, the table says {crc:#010x}"
        raise _fail(source, what, at)


def _chunks(sections: Mapping[str, Buffer]) -> Iterator[Buffer]:
    """The file in pieces: header and table, then each section and its padding.

    Names and sizes are checked before the first piece is produced, so a bad
    argument leaves no file behind.
    """
    if not isinstance(sections, Mapping):
        raise TypeError(f"sections must be a mapping, not {type(sections).__name__!r}")
    bodies: list[tuple[bytes, memoryview]] = []
    for name, value in sections.items():
        if not isinstance(name, str):
            raise TypeError(f"section names must be str, not {type(name).__name__!r}")
        raw = name.encode("ascii", "replace")
        if not _NAME.fullmatch(raw) or raw.decode("ascii") != name:
            raise ValueError(
                f"section name {name!r} must be 1 to 12 characters of A-Z, a-z, 0-9, _, . or -"
            )
        try:
            body = memoryview(value).cast("B")
        except TypeError:
            raise TypeError(
                f"section {name!r} must be bytes-like, not {type(value).__name__!r}"
            ) from None
        bodies.append((raw, body))

    offset = _align(_HEADER.size + len(bodies) * _ENTRY.size)
    table = [_HEADER.pack(MAGIC, VERSION, len(bodies))]
    places = []
    for raw, body in bodies:
        table.append(_ENTRY.pack(raw, offset, len(body), zlib.crc32(body)))
        places.append(offset)
        offset = _align(offset + len(body))
    head = b"".join(table)
    yield head
    written = len(head)
    for (_, body), place in zip(bodies, places, strict=True):
        yield _ZEROS[: place - written]
        yield body
        written = place + len(body)


def _align(offset: int) -> int:
    return -(-offset // ALIGNMENT) * ALIGNMENT


def _mismatch(view: memoryview, expected: bytes) -> int:
    for position, (have, want) in enumerate(zip(view, expected, strict=False)):
        if have != want:
            return position
    return min(len(view), len(expected))
