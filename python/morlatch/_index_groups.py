"""The keys as given of a folded index, behind the folded forms that its
trie holds: finding one key, and the keys behind ranked forms."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeVar

from _morlatch import PrefixSearch

from .fold import Groups

_M = TypeVar("_M")


def position(search: PrefixSearch, groups: Groups, form: str, key: str) -> int | None:
    """Where ``key`` (as given, folded to ``form``) is in ``groups``."""
    try:
        hit = search.exact_match(form)
    except UnicodeEncodeError:
        return None
    return None if hit is None else groups.find(hit[1], key)


def expand(
    groups: Groups,
    found: Sequence[tuple[str, int, int]],
    limit: int | None,
    by_weight: bool,
    match: Callable[[str, int, int], _M],
) -> list[_M]:
    """The keys as given behind the folded forms in ``found`` (hits whose
    payloads are form numbers), each made by ``match(key, payload,
    distance)``: each form keeps its rank, its keys follow one another by
    weight, then key (or, ranked by weight, every key takes its own weight's
    place)."""
    keys, payloads, weights = groups.keys, groups.payloads, groups.weights
    ranked = [
        (rank, at, distance)
        for rank, (_, form, distance) in enumerate(found)
        for at in groups.members(form)
    ]
    if weights is not None:
        if by_weight:
            # Positions run by folded form, then key: the tie-break after
            # the weight (not the form's rank, which its heaviest key set).
            ranked.sort(key=lambda item: (item[2], -weights[item[1]], item[1]))
        else:
            # Stable: the keys of one form stay in code-point order.
            ranked.sort(key=lambda item: (item[0], -weights[item[1]]))
    out = [match(keys[at], payloads[at], distance) for _, at, distance in ranked]
    return out if limit is None else out[:limit]
