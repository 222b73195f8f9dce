"""Exact and fuzzy Levenshtein lookup over a static trie given as flat arrays.

Ordinary argument errors raise TypeError or OverflowError. Internal faults
(a node id past the end, inconsistent arrays met by a query) and byte strings
that are not a trie image raise ``PanicException``, a class private to this
module (its name is "fennic_runtime.PanicException"; it is not an attribute
of the module). It derives from BaseException, not Exception, so
``except Exception`` does not catch it: catch BaseException and recognise it
with ``morlatch.is_panic``.
"""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["from_internal_data", "from_bytes", "PrefixSearch"]

def from_internal_data(
    node_shifts: Sequence[SupportsIndex],
    node_strings: Sequence[str],
    node_payloads: Sequence[SupportsIndex | None],
    child_indices: Sequence[SupportsIndex],
) -> PrefixSearch:
    """Build a trie from its four arrays, one entry per node in the first three.

    The children of node n are ``child_indices[node_shifts[n]:node_shifts[n + 1]]``
    (for the last node, up to the end); each node string's first character is
    the edge character into the node ("" for none). Any sequence but ``str``
    is accepted; nothing checks that the arrays agree with each other.
    """

def from_bytes(bs: Sequence[SupportsIndex]) -> PrefixSearch:
    """Build a trie from the bytes written by ``PrefixSearch.to_bytes``.

    Bytes after a complete image are ignored; a bad image raises PanicException.
    """

@final
class PrefixSearch:
    """One read-only trie. Made by ``from_internal_data`` or ``from_bytes``;
    calling the class itself raises TypeError."""

    def fuzzy_match(
        self, prefix: str, max_dist: SupportsIndex, limit: SupportsIndex | None
    ) -> list[tuple[str, int, int]]:
        """Every key within ``max_dist`` edits of ``prefix``, as (key, payload,
        distance), in walk order (not sorted by distance): depth first, the
        child that continues ``prefix`` first. ``limit`` keeps the first
        ``limit`` keys found; None means no limit."""

    def exact_match(self, prefix: str) -> tuple[str, int, int] | None:
        """(prefix, payload, 0) when ``prefix`` is a key, else None."""

    def get_children(self, node_id: SupportsIndex) -> list[tuple[str, int]]:
        """(edge character, child id) for each child of the node, in array order."""

    def get_payload(self, node_id: SupportsIndex) -> int | None:
        """The node's payload, or None."""

    def to_bytes(self) -> bytes:
        """The trie in the byte format that ``from_bytes`` reads."""
