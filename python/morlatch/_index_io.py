"""How an ``Index`` is kept as an index file (see indexfile.py).

The file holds the search layout ("nodes", and "rnodes" for its reverse index
when searches use one), which a reader maps and checks once instead of
rebuilding anything, or, for arrays that the layout does not reproduce, a
"trie" section with the PrefixSearch's to_bytes(); plus the sections that
``Index._extra_sections`` adds for what an index holds beyond its trie:
"fold" and "weights". Pickles and copies go through the same sections, so
whatever survives a file survives them too.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, BinaryIO

from _morlatch import PrefixSearch, from_bytes

from . import _engine, indexfile, stored
from .fold import FoldRule, Groups, decode_groups, fold_text

if TYPE_CHECKING:
    from typing_extensions import Buffer

# The sections that hold the index's own trie.
_LAYOUT_SECTIONS = frozenset({"nodes", "rnodes"})
_OWN_SECTIONS = _LAYOUT_SECTIONS | {"trie"}

#: Sections by name, and where each starts in its file (or pickle).
Located = tuple[dict[str, "Buffer"], dict[str, int]]


def check_known(sections: Iterable[str]) -> None:
    """Raises ValueError for a section that this version cannot skip."""
    for name in sections:
        if name not in _OWN_SECTIONS | {"fold", "weights"} and not indexfile.is_optional(name):
            raise ValueError(f"section {name!r} is not known to this version of morlatch")


def index_sections(search: PrefixSearch, extra: Mapping[str, Buffer]) -> dict[str, Buffer]:
    """The sections of an index file for ``search`` and the ``extra``
    sections that the index holds besides its trie."""
    sections: dict[str, Buffer]
    if _engine.layout_info(search)["arrays_kept"]:
        # The layout would not give back these arrays' to_bytes().
        sections = {"trie": search.to_bytes()}
    else:
        layout, reverse = _engine.layout_sections(search)
        sections = {"nodes": layout}
        if reverse is not None:
            sections["rnodes"] = reverse
    for name, body in extra.items():
        if name in sections or name in _OWN_SECTIONS:
            raise ValueError(f"section {name!r} is the index's own")
        sections[name] = body
    return sections


def read_sections(stream: BinaryIO, source: str, head: bytes) -> Located:
    """The sections of the index file that ``stream`` holds, of which
    ``head`` was read: mapped when it is a regular file, else read once and
    no further than its table declares (see indexfile.open_sections). The
    layout's sections are checked field by field when opened, so their
    checksums are not computed (that would read them twice)."""
    located = indexfile.open_sections(stream, source, head, unchecked=_LAYOUT_SECTIONS)
    return _split(located)


def pickled_sections(data: bytes) -> Located:
    """The sections of a pickled index's bytes, which the layout keeps and
    reads in place: they must not change once checked, so anything but
    bytes (a bytearray that the rest of a crafted pickle could still write)
    is copied first."""
    if type(data) is not bytes:
        data = bytes(memoryview(data))
    return _split(indexfile.locate(data, "<pickle>"))


def _split(located: Mapping[str, tuple[int, Buffer]]) -> Located:
    sections = {name: body for name, (_, body) in located.items()}
    offsets = {name: offset for name, (offset, _) in located.items()}
    return sections, offsets


def open_trie(
    sections: Mapping[str, Buffer], source: str, offsets: Mapping[str, int] | None
) -> tuple[PrefixSearch, dict[str, Buffer]]:
    """The trie of an index file's sections: from "nodes" (and "rnodes"),
    read in place, or from "trie"; and the other sections. ``offsets``
    (where each section starts in the file) make errors name the byte in
    the file."""
    try:
        check_known(sections)  # before the trie is looked for (a file of another version)
    except ValueError as error:
        raise ValueError(f"{source}: {error}") from None
    rest = dict(sections)
    trie = rest.pop("trie", None)
    layout = rest.pop("nodes", None)
    reverse = rest.pop("rnodes", None)
    at = offsets or {}
    if layout is not None:
        if trie is not None:
            raise ValueError(f"{source}: the index file holds both 'trie' and 'nodes'")
        nodes, rnodes = at.get("nodes", 0), at.get("rnodes", 0)
        return _engine.open_index(layout, reverse, source, nodes, rnodes), rest
    if reverse is not None:
        raise ValueError(f"{source}: the index file has 'rnodes' but no 'nodes' section")
    if trie is None:
        raise ValueError(f"{source}: the index file has no 'trie' section")
    return from_bytes(_checked_trie(trie, source)), rest


def _checked_trie(trie: Buffer, source: str) -> bytes:
    """The bytes of a "trie" section, once they are known to decode."""
    # from_bytes takes bytes by their buffer (other objects item by item):
    # the bytes under a view of all of them (as indexfile.read gives), or a
    # copy.
    data = trie.obj if isinstance(trie, memoryview) else None
    if not isinstance(data, bytes) or len(data) != memoryview(trie).nbytes:
        data = bytes(trie)
    problem = _engine.check_bytes(data)
    if problem is not None:
        raise ValueError(f"{source}: the 'trie' section is not a trie: {problem}")
    return data


def read_fold(
    data: bytes, rule: FoldRule | None, forms: int, search: PrefixSearch, check: bool
) -> tuple[FoldRule, Groups]:
    """The folding rule and the groups of keys that a "fold" section holds,
    for a trie of ``forms`` keys; ``rule`` is the one ``Index.load`` was
    given (needed for a custom one). ValueError when the section does not
    fit the trie or ``rule``; ``check=False`` (an index's own section, for
    a copy) skips the check of the keys against the trie."""
    custom, groups = decode_groups(data)
    if custom and (rule is None or rule is fold_text):
        raise ValueError(
            "the index was built with a custom fold, which is not saved: "
            "pass it again as Index.load(path, fold=...)"
        )
    if not custom and rule is not None and rule is not fold_text:
        raise ValueError("the index was built with fold=True, not with a custom fold")
    if len(groups.starts) - 1 != forms:
        raise ValueError("the 'fold' section does not match the trie")
    given = fold_text if not custom or rule is None else rule
    if check:
        stored.check_groups(search, groups, given, data)
    return given, groups
