"""Checks of what an index file holds beside its search layout, made when
an index is loaded or unpickled: its sections are read from a file that
anyone may have written, and queries trust them."""

from __future__ import annotations

import operator
import sys
from array import array
from itertools import chain, islice, repeat

from _morlatch import PrefixSearch

from . import _engine
from .fold import UNICODE_VERSION, FoldRule, Groups, fold_text

__all__ = ["check_float_codes", "check_groups"]

# The codes (IEEE 754 bits) of the non-negative finite floats are exactly
# those below this one, the code of +inf: NaNs and infinities have all
# exponent bits set, negative numbers (-0.0 included) the sign bit.
_INF_CODE = 0x7FF0_0000_0000_0000


def pack_codes(codes: list[int]) -> bytes:
    """``codes`` as little-endian unsigned 64-bit words, as the 'weights'
    section holds them."""
    packed = array("Q", codes)
    if sys.byteorder == "big":
        packed.byteswap()
    return packed.tobytes()


def unpack_codes(data: bytes) -> list[int]:
    """The little-endian unsigned 64-bit words of ``data``."""
    if len(data) % 8:
        raise ValueError("the 'weights' section is malformed")
    codes = array("Q")
    codes.frombytes(data)
    if sys.byteorder == "big":
        codes.byteswap()
    return codes.tolist()


def check_float_codes(data: bytes) -> None:
    """Raises ValueError unless every little-endian 64-bit code in ``data``
    is that of a finite float that is not negative, as the weights that an
    index accepts are."""
    codes = unpack_codes(data)
    if codes and max(codes) >= _INF_CODE:
        at = next(i for i, code in enumerate(codes) if code >= _INF_CODE)
        value = array("d", array("Q", [codes[at]]).tobytes())[0]
        raise ValueError(
            f"the 'weights' section holds {value!r} at position {at}: "
            "a weight must be finite and not negative"
        )


def check_groups(search: PrefixSearch, groups: Groups, rule: FoldRule, section: bytes) -> None:
    """Raises ValueError unless the trie's keys are the folded forms of
    ``groups``: its payloads are the form numbers, each once, and every key
    as given folds under ``rule`` to the form whose group holds it.
    ``section`` is the "fold" section that ``groups`` came from."""
    folded = list(map(rule, groups.keys))
    if _engine.forms_agree(search, folded, groups.starts):
        return
    # Something differs: find what, or accept form numbers in another order.
    found = list(_engine.keys(search, "", True))
    count = len(groups.starts) - 1
    forms = [form for form, _ in found]
    numbers = [number for _, number in found]
    if numbers != list(range(count)):  # as writers number them: in code-point order
        if sorted(numbers) != list(range(count)):
            raise ValueError(
                "the trie's payloads are not the numbers of the 'fold' section's forms"
            )
        by_number = [""] * count
        for form, number in found:
            by_number[number] = form
        forms = by_number
    del found, numbers
    starts = groups.starts
    sizes = map(operator.sub, islice(starts, 1, None), starts)
    expected = list(chain.from_iterable(map(repeat, forms, sizes)))
    if folded == expected:
        return
    for key, got, form in zip(groups.keys, folded, expected, strict=True):
        if got != form:
            where = ""
            written = section[: section.find(b"\n")].decode("ascii", "replace")
            if rule is fold_text and written != f"unicode {UNICODE_VERSION}":
                where = f" (written under {written}, read under Unicode {UNICODE_VERSION})"
            raise ValueError(
                f"the 'fold' section's key {key!r} folds to {got!r}, not to its form {form!r}"
                f"{where}: the index was built with another folding rule"
            )
