"""The checks that ``Index`` and ``Catalog`` give their arguments: each
returns the value as the engine takes it, or raises TypeError or ValueError
naming the argument."""

from __future__ import annotations

import operator

from .fold import FoldRule, fold_text

# Counts past this change nothing (no index is that large) and keep the
# numbers within the engine's 64 bits; distances are capped as the engine does.
_COUNT_CAP = 1 << 62


def _kind(value: object) -> str:
    return repr(type(value).__name__)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {_kind(value)}")
    return value


def _texts(name: str, values: object) -> list[str]:
    """A batch of strings as a list, any other iterable refused."""
    if isinstance(values, str):
        raise TypeError(f"{name} must be an iterable of str, not a single str")
    try:
        items: list[str] = list(values)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be an iterable of str, not {_kind(values)}") from None
    for position, value in enumerate(items):
        if not isinstance(value, str):
            raise TypeError(f"{name}[{position}] must be a str, not {_kind(value)}")
    return items


def _threads(workers: object) -> int:
    """The engine's thread count for ``workers`` (0: one per core)."""
    if workers is None:
        return 0
    count = _whole("workers", workers)
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return min(count, 1 << 16)


def _whole(name: str, value: object) -> int:
    if type(value) is int:
        return value
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            pass
    raise TypeError(f"{name} must be an int, not {_kind(value)}")


def _limit(value: object) -> int | None:
    if value is None:
        return None
    number = _whole("limit", value)
    if number < 0:
        raise ValueError(f"limit must not be negative, not {number}")
    return min(number, _COUNT_CAP)


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {_kind(value)}")
    return value


def _correction_args(limit: object, transpositions: object, rule: object) -> tuple[int, bool]:
    """``Index.correct``'s limit (as the engine takes it) and transpositions
    checked, and its rule."""
    n = _whole("limit", limit)
    if n < 0:
        raise ValueError(f"limit must not be negative, not {n}")
    swap = _flag("transpositions", transpositions)
    if rule not in ("model", "plain"):
        raise ValueError(f"rule must be 'model' or 'plain', not {rule!r}")
    return min(n, _COUNT_CAP), swap


def _fold_rule(fold: object) -> FoldRule | None:
    if fold is False or fold is None:
        return None
    if fold is True:
        return fold_text
    if callable(fold):
        return fold
    raise TypeError(f"fold must be a bool or a callable str -> str, not {_kind(fold)}")
