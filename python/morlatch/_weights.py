"""Weights by key: the check of what a caller gives, and the native weight
table an index ranks by, built from checked weights or from the "weights"
section of an index file. A folded index ranks each folded form by the
heaviest of its keys and keeps every key's own weight in its groups."""

from __future__ import annotations

import math
import numbers
import operator
import struct
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, Protocol, TypeAlias

from _morlatch import PrefixSearch

from . import _engine, stored
from ._index_args import _kind
from .fold import Groups

#: A weight: an int from 0 to 2**64 - 1 or a non-negative finite float.
Weight: TypeAlias = int | float


class _HasItems(Protocol):
    def items(self) -> Iterable[tuple[Any, Any]]: ...


#: Weights by key: a mapping, anything else with ``.items()`` (a pandas
#: Series), or an iterable of (key, weight) pairs.
Weights: TypeAlias = Mapping[str, Weight] | _HasItems | Iterable[tuple[str, Weight]]
_MAX_INT_WEIGHT = (1 << 64) - 1


def _weigh(weights: object) -> tuple[list[str], list[Weight], bool]:
    """Checks ``weights`` (key -> weight): the keys, the weights, and whether
    they are floats (any float makes them all floats). ``weights`` is
    anything with ``.items()`` (a mapping, a pandas Series) or an iterable of
    (key, weight) pairs (``dict.items()``, ``Counter.most_common()``); a key
    given twice keeps its last weight."""
    table: dict[Any, Any] = {}
    for name, value in _pairs(weights):
        table[name] = value
    names: list[str] = []
    values: list[Weight] = []
    floats = False
    for name, value in table.items():
        if not isinstance(name, str):
            raise TypeError(f"weights: a key must be a str, not {_kind(name)}")
        number = _weight(name, value)
        floats = floats or type(number) is float
        names.append(name)
        values.append(number)
    if floats:
        values = [float(value) for value in values]
    return names, values, floats


def _weight(name: str, value: object) -> Weight:
    """One weight checked: an int as it is, any other real number as a float."""
    number: Weight
    if type(value) is int:
        number = value
    elif isinstance(value, bool):
        raise TypeError(f"weights[{name!r}] must be an int or a float, not 'bool'")
    elif hasattr(type(value), "__index__"):
        number = operator.index(value)  # type: ignore[arg-type]
    elif isinstance(value, numbers.Real):
        try:
            number = float(value)
        except OverflowError:  # a Fraction, say, beyond any float
            raise ValueError(f"weights[{name!r}] is too large for a float") from None
        if math.isnan(number):
            raise ValueError(f"weights[{name!r}] must be a number, not NaN")
        if math.isinf(number):
            raise ValueError(f"weights[{name!r}] must be finite, not {number}")
        number += 0.0  # -0.0 becomes 0.0
    else:
        raise TypeError(f"weights[{name!r}] must be an int or a float, not {_kind(value)}")
    if number < 0:
        raise ValueError(f"weights[{name!r}] must not be negative, not {number}")
    # Whether or not floats come with it: an int weight is a 64-bit count.
    if type(number) is int and number > _MAX_INT_WEIGHT:
        raise ValueError(f"weights[{name!r}] must be at most 2**64 - 1, not {number}")
    return number


def _pairs(weights: object) -> Iterator[tuple[object, object]]:
    """The (key, weight) pairs of ``weights``, each checked to be a pair."""
    items = getattr(weights, "items", None)
    if callable(items):
        pairs = items()
    elif isinstance(weights, Iterable) and not isinstance(weights, (str, bytes, bytearray)):
        pairs = weights
    else:
        raise TypeError(
            "weights must be a mapping of key to weight (anything with .items()) or an "
            f"iterable of (key, weight) pairs, not {_kind(weights)}"
        )
    for at, pair in enumerate(pairs):
        if not isinstance(pair, tuple) or len(pair) != 2:
            raise TypeError(f"weights: item {at} must be a (key, weight) pair, not {_kind(pair)}")
        yield pair


_DOUBLE = struct.Struct("<d")
_CODE = struct.Struct("<Q")


def _to_code(value: Weight) -> int:
    """A non-negative float as the 64-bit code the engine orders: its bits."""
    code: int = _CODE.unpack(_DOUBLE.pack(value))[0]
    return code


def _from_code(code: int) -> float:
    value: float = _DOUBLE.unpack(_CODE.pack(code))[0]
    return value


def weigh_keys(
    search: PrefixSearch,
    checked: tuple[list[str], list[Weight], bool],
    groups: Groups | None,
    forms: list[str] | None,
    not_a_key: Callable[[str], str],
) -> tuple[_engine.WeightTable, Groups | None]:
    """The weight table for ``checked`` weights (as ``_weigh`` gives them)
    over ``search``, and the groups of a folded index (whose trie holds
    ``forms``) with the keys' own weights; ValueError with ``not_a_key(key)``
    for a key that the index lacks."""
    names, values, floats = checked
    if groups is None:
        codes = [_to_code(value) if floats else int(value) for value in values]
        try:
            return _engine.weight_table(search, names, codes, floats), None
        except KeyError as error:
            raise ValueError(not_a_key(error.args[0])) from None
    assert forms is not None
    where = {key: at for at, key in enumerate(groups.keys)}
    zero: Weight = 0.0 if floats else 0
    weights: list[Weight] = [zero] * len(groups.keys)
    for name, value in zip(names, values, strict=True):
        at = where.get(name)
        if at is None:
            raise ValueError(not_a_key(name))
        weights[at] = value
    heaviest = [max(weights[at] for at in groups.members(form)) for form in range(len(forms))]
    form_codes = [_to_code(w) if floats else int(w) for w in heaviest]
    table = _engine.weight_table(search, forms, form_codes, floats)
    return table, Groups(groups.keys, groups.payloads, groups.starts, weights)


def weights_section(table: _engine.WeightTable, floats: bool, groups: Groups | None) -> bytes:
    """The "weights" section of an index file: a kind byte, b"i" or b"f",
    then one 64-bit code per key (per key as given, on a folded index)."""
    kind = b"f" if floats else b"i"
    if groups is None:
        return kind + _engine.weight_table_bytes(table)
    assert groups.weights is not None
    codes = [_to_code(w) if floats else int(w) for w in groups.weights]
    return kind + stored.pack_codes(codes)


def read_weights(
    search: PrefixSearch, data: bytes, groups: Groups | None, check: bool = True
) -> tuple[_engine.WeightTable, bool, Groups | None]:
    """The weight table that a "weights" section holds, whether its weights
    are floats, and the groups of a folded index with the keys' weights;
    ValueError when the section is not one for this trie (``check=False``,
    for an index's own section, skips the check of the float codes)."""
    kind, body = data[:1], data[1:]
    if kind not in (b"i", b"f"):
        raise ValueError("the 'weights' section holds no known kind of weight")
    floats = kind == b"f"
    if floats and check:
        stored.check_float_codes(body)
    if groups is None:
        return _engine.weight_table_from_bytes(search, body, floats), floats, None
    codes = stored.unpack_codes(body)
    if len(codes) != len(groups.keys):
        raise ValueError("the 'weights' section does not match the keys")
    heaviest = [max(codes[at] for at in groups.members(g)) for g in range(len(groups.starts) - 1)]
    table = _engine.weight_table_from_bytes(search, stored.pack_codes(heaviest), floats)
    weights = [_from_code(code) for code in codes] if floats else codes
    return table, floats, Groups(groups.keys, groups.payloads, groups.starts, weights)
