"""Opening the FILE of a sub-command: an index file, a trie file or a word
list (or, without FILE, the shipped word list), as an ``Index`` or the plain
trie."""

from __future__ import annotations

import argparse
from typing import BinaryIO

import _morlatch

from . import indexfile
from ._cli_io import CommandError
from .builder import build
from .index import Index
from .storage import HEAD_SIZE, read_trie
from .wordlist import WordListError, default_search, parse_word_list, read_word_list


def _source_of(args: argparse.Namespace) -> _morlatch.PrefixSearch | Index:
    return default_search() if args.file is None else _open(args.file, args.format)


def _index_of(args: argparse.Namespace) -> Index:
    """The index that FILE holds or describes (the shipped word list's without
    FILE); CommandError when the trie's arrays cannot have one."""
    source = _source_of(args)
    if isinstance(source, Index):
        return source
    index, problem = _index(source)
    if index is None:
        raise CommandError(_malformed(args.file, problem))
    return index


def _index(search: _morlatch.PrefixSearch) -> tuple[Index | None, BaseException | None]:
    """The index over search, or why its arrays cannot have one."""
    try:
        return Index.from_prefix_search(search), None
    except ValueError as error:
        return None, error


def _malformed(path: str | None, problem: BaseException | None) -> str:
    where = "" if path is None else f"{path}: "
    return f"{where}malformed trie: {problem}"


def _open(path: str, form: str) -> _morlatch.PrefixSearch | Index:
    """The index that the index file at path holds, or the trie that any
    other file holds or describes; read once, in chunks, and checked as it is
    read."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(HEAD_SIZE)
            is_index = indexfile.is_index_file(head)
            if form == "index" or (form == "auto" and is_index):
                if not is_index:
                    raise CommandError(f"{path}: not an index file: it lacks the index magic")
                return _load_index(stream, path, head)
            if form == "trie" and is_index:
                raise CommandError(f"{path}: an index file, not a trie file; use --format index")
            if form == "trie" or (form == "auto" and b"\0" in head):
                try:
                    return read_trie(stream, path, head)
                except ValueError as error:
                    hint = "; use --format words for a word list" if form == "auto" else ""
                    raise CommandError(f"{error}{hint}") from None
            data = _words_of(stream, path, head)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    return build(_parse_words(data, path))


def _load_index(stream: BinaryIO, path: str, head: bytes) -> Index:
    """The index in the file at path, whose first bytes, head, were read
    from stream: mapped when it is a regular file, else (a pipe) read on
    from stream, no further than the sections its table declares."""
    try:
        return Index._read(stream, path, head)  # noqa: SLF001
    except ValueError as error:
        raise CommandError(str(error)) from None


def _read_words(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return _words_of(stream, path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _words_of(stream: BinaryIO, path: str, head: bytes = b"") -> bytes:
    try:
        return read_word_list(stream, path, head)
    except WordListError as error:
        raise CommandError(str(error)) from None


def _parse_words(data: bytes, path: str, duplicates: str = "last") -> dict[str, int]:
    try:
        return parse_word_list(data, path, duplicates)
    except WordListError as error:
        raise CommandError(str(error)) from None
