"""Fuzz harness of the native module, for atheris or a bounded random loop.

Each input builds a PrefixSearch, by ``from_bytes`` (first byte even) or by
``from_internal_data`` from small, mostly inconsistent arrays read from the
input (odd), then calls every query on it. Nothing may crash, every failure
must be TypeError, OverflowError or the module's PanicException, and the
results must agree with references: ``morlatch._engine.check_bytes`` for
decoding, the plain Levenshtein distance for every hit and, where the arrays
form a proper trie, the brute-force hit set and the arrays themselves.

    python tests/fuzz/fuzz_module.py [libFuzzer options] [corpus folders]

runs it under atheris (with the sanitizer build of the module on the path).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from functools import partial
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import _morlatch  # noqa: E402
from morlatch import _engine, is_panic  # noqa: E402
from reference import Fault, children, fuzzy_hits, levenshtein, proper_keys  # noqa: E402

ALPHABET = "abcdé"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
QUIET = {"enabled": False}


class Reader:
    """Hands out the input's bytes; zeros once it is used up."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        value = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return value

    def number(self) -> int:
        """Mostly small, now and then at or past the edges of 32 and 64 bits."""
        b = self.byte()
        edges = [2**32 - 1, 2**32, 2**64 - 1, 2**64, -1]
        return edges[b % len(edges)] if b >= 250 else b % 12

    def text(self) -> str:
        return "".join(ALPHABET[self.byte() % len(ALPHABET)] for _ in range(self.byte() % 6))


@contextmanager
def quiet_stderr() -> Iterator[None]:
    # The module writes a report for each fault; under the fuzzer they would
    # flood the terminal. Sanitizer reports go to their log file.
    if not QUIET["enabled"]:
        yield
        return
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    """("ok", result), or the kind of documented failure and its message (a
    fault of the reference models counts as the module's fault)."""
    try:
        with quiet_stderr():
            return "ok", call()
    except (TypeError, OverflowError) as error:
        return type(error).__name__, str(error)
    except Fault as error:
        return "panic", str(error)
    except BaseException as error:
        if is_panic(error):
            return "panic", str(error)
        raise


def check_from_bytes(body: bytes) -> Any:
    problem = _engine.check_bytes(body)
    kind, value = outcome(lambda: _morlatch.from_bytes(body))
    if problem is None:
        assert kind == "ok", (kind, value)
        image = value.to_bytes()
        assert len(image) <= len(body)
        assert _engine.check_bytes(image) is None
        assert _morlatch.from_bytes(image).to_bytes() == image
        return value
    description, _, offset = problem.rpartition(" at byte ")
    assert (kind, value) == ("panic", UNWRAP_ERR + description), (kind, value, problem)
    assert 0 <= int(offset) <= len(body)
    return None


def arrays_from(reader: Reader) -> tuple[list[Any], ...]:
    n = reader.byte() % 7
    shifts = [reader.number() for _ in range(n)]
    strings = [reader.text()[:2] for _ in range(n)]
    payloads = [None if reader.byte() % 3 == 0 else reader.number() for _ in range(n)]
    children = [reader.number() for _ in range(reader.byte() % 9)]
    return shifts, strings, payloads, children


def check_queries(search: Any, reader: Reader, arrays: tuple[list[Any], ...] | None) -> None:
    keys = proper_keys(arrays) if arrays is not None else None
    for _ in range(3):
        query, k = reader.text(), reader.number()
        limit = None if reader.byte() % 2 else reader.number()
        kind, hits = outcome(partial(search.fuzzy_match, query, k, limit))
        if kind != "ok":
            bad_number = not (0 <= k < 2**64) or (limit is not None and not 0 <= limit < 2**64)
            assert kind == ("OverflowError" if bad_number else "panic"), (kind, hits)
            assert not (keys is not None and kind == "panic"), hits
            continue
        if limit is not None:
            assert len(hits) <= limit
        for key, _, distance in hits:
            assert distance == levenshtein(key, query) <= k, (key, query, distance)
        if keys is not None:
            expected = fuzzy_hits(keys, query, k)
            assert set(hits) <= expected and len(set(hits)) == len(hits)
            assert len(hits) == (len(expected) if limit is None else min(limit, len(expected)))
        exact = outcome(partial(search.exact_match, query))
        exact_hits = outcome(partial(search.fuzzy_match, query, 0, None))
        if exact[0] == "ok" and exact_hits[0] == "ok":
            assert exact[1] == (exact_hits[1][0] if exact_hits[1] else None)
        if keys is not None:
            assert exact == ("ok", (query, keys[query], 0) if query in keys else None)
    for _ in range(2):
        node = reader.number()
        kind, kids = outcome(partial(search.get_children, node))
        payload = outcome(partial(search.get_payload, node))
        if not 0 <= node < 2**32:
            assert kind == payload[0] == "OverflowError"
        elif arrays is not None:
            # The same children, or a fault with the same message.
            assert (kind, kids) == outcome(partial(children, arrays, node))
            in_range = node < len(arrays[2])
            assert payload == (("ok", arrays[2][node]) if in_range else payload)
            assert payload[0] == ("ok" if in_range else "panic")
    image = search.to_bytes()
    assert _engine.check_bytes(image) is None
    if arrays is not None:
        again = _morlatch.from_bytes(image)
        assert again.to_bytes() == image


def first_refusal(arrays: tuple[list[Any], ...]) -> str | None:
    """The error that converting the arrays meets first (they are converted
    in order, element by element), or None."""
    for index, values in enumerate(arrays):
        for value in values:
            if index == 1:
                if not isinstance(value, str):
                    return "TypeError"
            elif value is None and index == 2:
                continue
            elif not isinstance(value, int):
                return "TypeError"
            elif not 0 <= value < 2**32:
                return "OverflowError"
    return None


def check_one(data: bytes) -> None:
    """The whole check for one input."""
    reader = Reader(data)
    if reader.byte() % 2 == 0:
        search = check_from_bytes(data[1:])
        if search is not None:
            check_queries(search, Reader(data[::-1]), None)
        return
    arrays = arrays_from(reader)
    wrong = reader.byte()
    if wrong >= 240:
        # An element of the wrong type somewhere.
        target = arrays[wrong % 4]
        target.append([1.5, "x", b"x"][wrong % 3] if wrong % 4 != 1 else 7)
    refused = first_refusal(arrays)
    if refused is not None:
        kind, message = outcome(lambda: _morlatch.from_internal_data(*arrays))
        assert kind == refused, (kind, message)
        return
    kind, search = outcome(lambda: _morlatch.from_internal_data(*arrays))
    assert kind == "ok", (kind, search)
    check_queries(search, reader, arrays)


def main() -> None:
    import atheris

    QUIET["enabled"] = True
    # The native code is not instrumented for coverage; the harness's own
    # branches (decoded or not, faulted or not, proper trie or not) are.
    atheris.instrument_func(check_one)
    for function in (check_from_bytes, check_queries, arrays_from, proper_keys, children):
        atheris.instrument_func(function)
    atheris.Setup(sys.argv, check_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
