"""Bounds on the edits of a search: a number, "auto" (taken from the
query's length), or, for a batch, one of them per query."""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable
from typing import Literal, TypeAlias, TypeVar

from . import _engine
from ._index_args import _kind

__all__ = ["MaxDist", "auto_distance"]

_T = TypeVar("_T")

#: A bound on the edits: a whole number, or "auto" to take it from the query's
#: length (see ``auto_distance``).
MaxDist: TypeAlias = int | Literal["auto"]


def auto_distance(text: str) -> int:
    """The edits that ``max_dist="auto"`` allows a query of this length in
    characters (on a folded index, of the folded query): 0 for up to 2
    characters, 1 for 3 to 5, 2 for 6 or more. Shorter queries would match
    too much of any list at a larger distance."""
    length = len(text)
    return 0 if length < 3 else 1 if length < 6 else 2


def _distance(value: object, name: str = "max_dist") -> int | None:
    """A bound checked, as the engine takes it; None for "auto"."""
    if isinstance(value, str):
        if value == "auto":
            return None
        raise ValueError(f"{name} must be a whole number or 'auto', not {value!r}")
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an int or 'auto', not {_kind(value)}")
    number = operator.index(value)  # type: ignore[arg-type]
    if number < 0:
        raise ValueError(f"{name} must not be negative, not {number}")
    return min(number, _engine.DISTANCE_CAP)


def _distances(value: object, count: int, batch: str) -> int | None | list[int | None]:
    """A batch's bound checked: one for all (None: "auto"), or one per item
    of the batch of ``count`` items, named ``batch`` in messages."""
    if isinstance(value, str) or not isinstance(value, Iterable):
        return _distance(value)
    try:
        given = list(value)
    except TypeError:
        raise TypeError(
            f"max_dist must be an int, 'auto' or one of them per item of {batch}, "
            f"not {_kind(value)}"
        ) from None
    if len(given) != count:
        raise ValueError(f"max_dist has {len(given)} bounds for {count} {batch}")
    return [_distance(bound, f"max_dist[{at}]") for at, bound in enumerate(given)]


def _by_distance(
    forms: list[str],
    bounds: int | None | list[int | None],
    run: Callable[[list[str], int], list[_T]],
) -> list[_T]:
    """``run(part, k)`` over the batch ``forms`` (the texts as searched, so
    folded on a folded index), one call per distinct bound (None: "auto"),
    the answers put back in the batch's order."""
    if isinstance(bounds, int):
        return run(forms, bounds)
    if bounds is None:
        bounds = [None] * len(forms)
    where: dict[int, list[int]] = {}
    for at, (form, bound) in enumerate(zip(forms, bounds, strict=True)):
        where.setdefault(auto_distance(form) if bound is None else bound, []).append(at)
    if len(where) <= 1:
        return run(forms, next(iter(where), 0))
    out: list[_T] = [None] * len(forms)  # type: ignore[list-item]
    for k, positions in where.items():
        for at, answer in zip(positions, run([forms[at] for at in positions], k), strict=True):
            out[at] = answer
    return out
