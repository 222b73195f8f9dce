"""A catalog kept as an index file (see indexfile.py), whose sections are
"cat.meta" (JSON: format, byte order, fold, synonyms, weight kind), one
"cat.<name>" per array of the items' parts, and one per array that the
native catalog derives from them (the term trie, the postings, the items'
order among equals and the terms' code-point order). A reader maps them and
hands them to the native catalog, which checks the derived arrays against
the parts once and then reads everything in place: opening a file costs a
pass over it, not a build. Pickles go through the same sections."""

from __future__ import annotations

import json
import mmap
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _engine, indexfile
from .fold import FoldRule, fold_text
from .index import _kind
from .storage import StrPath

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from .catalog_words import _Words

# 1: the parts only (the native catalog derived the rest on every load).
_OLD_FORMATS = (1,)
_FORMAT = 2
_PREFIX = "cat."
# The items' parts, as Catalog keeps them.
ARRAYS = ("terms", "termoff", "texts", "textoff", "payloads", "weights", "words", "wordoff")
# What the native catalog derives, in catalog_stored's order.
STORED = ("trie", "postoff", "postings", "tierank", "bytext")


class Opened(NamedTuple):
    """A catalog's sections, read and sorted out."""

    parts: dict[str, Buffer]
    stored: tuple[Buffer, ...]
    rule: FoldRule | None
    synonyms: dict[str, str]
    floats: bool


def sections(
    parts: Mapping[str, Buffer], words: _Words, floats: bool, core: Any, stored: bool
) -> dict[str, Buffer]:
    """A catalog's sections; with ``stored``, the derived arrays too."""
    rule = words.rule
    meta = {
        "format": _FORMAT,
        "byteorder": sys.byteorder,
        "fold": "none" if rule is None else "builtin" if rule is fold_text else "custom",
        "synonyms": words.synonyms,
        "floats": floats,
    }
    out: dict[str, Buffer] = {_PREFIX + "meta": json.dumps(meta).encode()}
    for name, body in parts.items():
        out[_PREFIX + name] = body
    if stored:
        for name, body in zip(STORED, _engine.catalog_stored(core), strict=True):
            out[_PREFIX + name] = body
    return out


def read(path: StrPath) -> Mapping[str, Buffer]:
    """The sections of the index file at ``path``, mapped when it can be."""
    source = str(path)
    with open(path, "rb") as stream:
        if not indexfile.is_index_file(stream.read(len(indexfile.MAGIC))):
            raise ValueError(f"{source}: not a catalog file")
        data: Buffer
        try:
            data = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):  # an empty file or one that cannot be mapped
            stream.seek(0)
            data = stream.read()
    return indexfile.decode(data, source)


def opened(sections: Mapping[str, Buffer], fold: FoldRule | None) -> Opened:
    """The parts, derived arrays and metadata of a catalog's sections;
    ValueError (or TypeError for ``fold``) saying what is wrong."""
    meta_body = sections.get(_PREFIX + "meta")
    if meta_body is None:
        raise ValueError(f"not a catalog file (no {_PREFIX + 'meta'!r} section)")
    arrays: dict[str, Buffer] = {}
    for name, body in sections.items():
        short = name[len(_PREFIX) :] if name.startswith(_PREFIX) else None
        if short in ARRAYS or short in STORED:
            arrays[short] = body
        elif name != _PREFIX + "meta" and not indexfile.is_optional(name):
            raise ValueError(f"section {name!r} is not known to this version")
    rule, synonyms, floats = _read_meta(json.loads(bytes(meta_body)), fold)
    missing = [n for n in (*ARRAYS, *STORED) if n not in arrays and n != "weights"]
    if missing:
        raise ValueError(f"the catalog has no {_PREFIX + missing[0]!r} section")
    parts = {name: arrays[name] for name in ARRAYS if name in arrays}
    return Opened(parts, tuple(arrays[name] for name in STORED), rule, synonyms, floats)


def _read_meta(meta: object, fold: FoldRule | None) -> tuple[FoldRule | None, dict[str, str], bool]:
    if isinstance(meta, dict) and meta.get("format") in _OLD_FORMATS:
        raise ValueError(
            "the catalog was written by an older version of morlatch, "
            "which did not store its term trie: build it again"
        )
    if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
        raise ValueError("the catalog's format is not known to this version")
    if meta.get("byteorder") != sys.byteorder:
        raise ValueError(f"the catalog was written on a {meta.get('byteorder')}-endian machine")
    kind = meta.get("fold")
    if fold is not None and not callable(fold):
        raise TypeError(f"fold must be a callable str -> str, not {_kind(fold)}")
    if kind == "custom":
        if fold is None:
            raise ValueError(
                "the catalog was built with a custom fold, which is not saved: "
                "pass it again as Catalog.load(path, fold=...)"
            )
        rule: FoldRule | None = fold
    elif kind in ("builtin", "none"):
        if fold is not None:
            raise ValueError("the catalog was built without a custom fold")
        rule = fold_text if kind == "builtin" else None
    else:
        raise ValueError("the catalog's fold is not known to this version")
    synonyms = meta.get("synonyms")
    if not isinstance(synonyms, dict) or not all(
        isinstance(k, str) and isinstance(v, str) and k and v for k, v in synonyms.items()
    ):
        raise ValueError("the catalog's synonyms are malformed")
    floats = meta.get("floats")
    if not isinstance(floats, bool):
        raise ValueError("the catalog's weight kind is malformed")
    return rule, synonyms, floats
