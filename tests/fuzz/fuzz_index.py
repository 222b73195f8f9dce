"""Fuzz harness of ``morlatch.Index``, for atheris or a bounded random loop.

Each input decodes a small key set (a dict of payloads, or a list whose
positions are the payloads, duplicates included), weights (none, ints up to
2**64 - 1, floats, both mixed; ties and values that round alike as floats
included; now and then a bad one), a folding choice (none, the built-in
rule, or one of the custom rules below) and a few queries, builds an Index
and compares every result of ``search``, ``complete``, ``correct`` and
``search_many`` item for item with the brute-force references in
tests/reference.py, then does the same on the index after a pickle round
trip and, for some inputs, after ``save`` and ``load``. The only exceptions
accepted are the documented ones, with their messages.

    python tests/fuzz/fuzz_index.py [libFuzzer options] [corpus folders]

runs it under atheris (with the sanitizer build of the module on the path).
Input layout, byte by byte (zeros once the input is used up): the mode (bit
0: keys as a list; bits 1-2: the weights' kind, none, ints, floats or both;
bits 3-4: the fold, FOLDS; bits 5 and 7: a bad weight; bit 6: save and
load), the key count (% 8), each key (a length % 5, then its characters from
KEY_CHARS; an empty key stands for "a"), each key's payload (dict mode
only), each key's weight choice (weighted only: % 4 == 0 for none, bit 2 for
a float when both kinds are on, then the value's place), the bad weight's
choice (if any), one more fold byte for the last rule (% 4 == 0 for
not_always_text), the query count (% 3 + 1), then per query: its length and
characters (QUERY_CHARS), max_dist, limit, and the flags (bit 0:
transpositions; 1: completion limit 10; 2: plain rule; 3: correction without
transpositions; 4: completion at the full max_dist; 5: two workers); then
the changes to the index's pickle (% 4 of them, each two bytes of position
and a byte of value: written into the buffer after loading, then XORed
into the pickled file).
"""

from __future__ import annotations

import atexit
import copy
import inspect
import math
import os
import pickle
import shutil
import struct
import sys
import tempfile
from collections.abc import Callable
from functools import partial
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from morlatch import Index, Match, fold_text, indexfile  # noqa: E402
from reference import (  # noqa: E402
    fold,
    index_complete,
    index_correct,
    index_search,
    weight_values,
)

# Vowels and consonants, case and accents that fold alike, a letter that
# folds to two ("ß"), a lone combining accent (a key of just that has an
# empty folded form) and, for queries only, a lone surrogate.
KEY_CHARS = "aabbcceeiAEÉéßs\u0301"
QUERY_CHARS = KEY_CHARS + "x\ud800"
INT_WEIGHTS = [0, 1, 2, 3, 3, 2**53, 2**53 + 1, 2**63, 2**64 - 1]
FLOAT_WEIGHTS = [0.0, 0.5, 1.0, 3.0, 2.0**53, 1e300, 5e-324, 1.5]
# Each bad weight with the error it must raise and the start of its message.
BAD_WEIGHTS: list[tuple[object, type[Exception], str]] = [
    (-1, ValueError, "must not be negative, not -1"),
    (2**64, ValueError, "must be at most 2**64 - 1"),
    (math.nan, ValueError, "must be a number, not NaN"),
    (math.inf, ValueError, "must be finite, not inf"),
    (True, TypeError, "must be an int or a float, not 'bool'"),
    ("1", TypeError, "must be an int or a float, not 'str'"),
]
NO_STR = "fold must return a str"


# Custom folding rules, at module level so that pickles carry them by name.
def first_two(text: str) -> str:
    """Many keys alike: only the first two characters count."""
    return text[:2]


def upper_no_marks(text: str) -> str:
    """Upper case without combining accents ("ß" becomes "SS")."""
    return text.upper().replace("\u0301", "")


def not_always_text(text: str) -> str:
    """A rule that fails on text with an "x" (queries only): it raises on
    "xx", else returns no str."""
    if "xx" in text:
        raise LookupError(f"no fold for {text!r}")
    return None if "x" in text else text.lower()  # type: ignore[return-value]


FOLDS: list[Callable[[str], str] | None] = [None, fold_text, first_two, upper_no_marks]
FOLD_NAMES = ["none", "builtin", "first_two", "upper_no_marks"]


class Reader:
    """Hands out the input's bytes; zeros once it is used up."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        value = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return value

    def text(self, chars: str, longest: int) -> str:
        return "".join(chars[self.byte() % len(chars)] for _ in range(self.byte() % (longest + 1)))

    def pick(self, choices: list[Any]) -> Any:
        return choices[self.byte() % len(choices)]


def documented(call: Callable[[], Any]) -> tuple[str, Any]:
    """("ok", result) or (exception class name, message) for the errors of a
    rule that fails (its own, or TypeError when it returns no str); anything
    else propagates."""
    try:
        return "ok", call()
    except TypeError as error:
        if not str(error).startswith(NO_STR):
            raise
        return "TypeError", str(error)
    except LookupError as error:
        if not str(error).startswith("no fold for"):
            raise
        return "LookupError", str(error)


class Case:
    """One decoded input: what to build and what to ask."""

    def __init__(self, reader: Reader) -> None:
        mode = reader.byte()
        count = reader.byte() % 8
        names = [reader.text(KEY_CHARS, 4) or "a" for _ in range(count)]
        self.as_list = bool(mode & 1)
        if self.as_list:
            self.given: list[str] | dict[str, int] = names
            self.keys = {name: at for at, name in enumerate(names)}  # the last position
        else:
            payloads = [reader.pick([0, 1, 7, 2**32 - 1]) for _ in names]
            self.given = self.keys = dict(zip(names, payloads, strict=True))
        kind = (mode >> 1) & 3  # none, ints, floats, ints with some floats
        self.weights: dict[str, int | float] | None = None
        if kind:
            self.weights = {}
            for name in names:
                choice = reader.byte()
                if choice % 4 == 0:
                    continue  # no weight: it weighs 0
                pool = FLOAT_WEIGHTS if kind == 2 or (kind == 3 and choice & 4) else INT_WEIGHTS
                self.weights[name] = pool[(choice >> 3) % len(pool)]
        # A bad weight: a bad value for the last key, or a weight for "q",
        # which is no key.
        self.bad: tuple[str, object, type[Exception], str] | None = None
        if mode & 0xA0 == 0xA0 and self.weights is not None:
            value, error, message = reader.pick(BAD_WEIGHTS + [(1, ValueError, "")])
            name = names[-1] if names and message else "q"
            if not message:
                message = f"weights: {name!r} is not a key of the index"
            self.bad = (name, value, error, message)
            self.weights[name] = value  # type: ignore[assignment]
        choice = (mode >> 3) & 3
        if choice == 3 and reader.byte() % 4 == 0:
            self.rule: Callable[[str], str] | None = not_always_text
        else:
            self.rule = FOLDS[choice]
        self.save = bool(mode & 64)
        self.queries = []
        for _ in range(1 + reader.byte() % 3):
            query = reader.text(QUERY_CHARS, 5)
            k = reader.pick([0, 1, 1, 2, 2, 3, 2**70])
            limit = reader.pick([None, None, 0, 1, 2, 3, 2**70])
            flags = reader.byte()
            self.queries.append((query, k, limit, flags))


def refusal(case: Case) -> tuple[type[Exception], list[str]] | None:
    """The documented error building the index must raise, as its class and
    the texts of which its message holds one; None when it must build.
    Weight values are checked first, then the keys' folded forms, then
    whether every weighed name is a key."""
    if case.bad is not None and "not a key" not in case.bad[3]:
        # An int weight past 2**64 - 1 is refused, floats beside it or not.
        name, _, error, message = case.bad
        return error, [f"weights[{name!r}] {message}"]
    if case.rule is not None:
        bad_forms = [repr(key) for key in case.keys if not case.rule(key)]
        if bad_forms:
            return ValueError, bad_forms
    if case.bad is not None and "not a key" in case.bad[3]:
        return case.bad[2], [case.bad[3]]
    return None


def build(case: Case) -> Index | None:
    """The index of the case, or None after checking the documented refusal."""
    expected = refusal(case)
    fold_arg: bool | Callable[[str], str] = case.rule is fold_text or (case.rule or False)
    try:
        index = Index(case.given, weights=case.weights, fold=fold_arg)
    except (TypeError, ValueError) as error:
        assert expected is not None, error
        assert isinstance(error, expected[0]), (error, expected)
        assert any(text in str(error) for text in expected[1]), (error, expected)
        return None
    assert expected is None, expected
    return index


def reference_rule(case: Case) -> Callable[[str], str] | None:
    # The built-in rule is checked against the reference's own fold.
    return fold if case.rule is fold_text else case.rule


def check_mapping(index: Index, case: Case, weights: dict[str, int | float] | None) -> None:
    rule = reference_rule(case)
    assert len(index) == len(case.keys) and dict(index.items()) == case.keys
    order = sorted(case.keys, key=lambda key: (key if rule is None else rule(key), key))
    assert list(index) == order
    assert index.weighted == (weights is not None)
    assert index.fold is case.rule
    floats = weights is not None and any(isinstance(w, float) for w in weights.values())
    for key in case.keys:
        assert key in index and index[key] == case.keys[key]
        got = index.weight(key)
        want = 0 if weights is None else weights.get(key, 0.0 if floats else 0)
        assert got == want and type(got) is type(want), (key, got, want)


def check_queries(index: Index, case: Case, weights: dict[str, int | float] | None) -> list[Any]:
    """Every query against the references; returns what the index answered,
    so that copies of it can be held to the same."""
    rule = reference_rule(case)
    answers: list[Any] = []
    for query, k, limit, flags in case.queries:
        swap = bool(flags & 1)
        kind, got = documented(partial(index.search, query, k, limit=limit, transpositions=swap))
        if kind != "ok":
            # Only a rule that returns no str on this query may fail.
            assert rule is not_always_text and "x" in query, got
            answers.append(got)
            continue
        want = index_search(
            case.keys, query, k, limit=limit, transpositions=swap, weights=weights, rule=rule
        )
        assert got == [Match(*hit) for hit in want], ("search", query, k, limit, swap, got, want)
        answers.append(got)

        # The keys under the query as a prefix, and the query as a key.
        folded = query if rule is None else rule(query)
        forms = {key: key if rule is None else rule(key) for key in case.keys}
        under = sorted((forms[key], key) for key in case.keys if forms[key].startswith(folded))
        assert list(index.items(query)) == [(key, case.keys[key]) for _, key in under], query
        assert index.get(query, -1) == case.keys.get(query, -1)

        reach = k if flags & 16 else min(k, 1)
        c_limit = 10 if flags & 2 else limit
        got = index.complete(query, reach, limit=c_limit, transpositions=swap)
        want = index_complete(
            case.keys, query, reach, limit=c_limit, transpositions=swap, weights=weights, rule=rule
        )
        assert got == [Match(*hit) for hit in want], ("complete", query, reach, c_limit, got, want)
        answers.append(got)

        how = "plain" if flags & 4 else "model"
        n = 1 if limit is None else limit
        got = index.correct(query, k, limit=n, transpositions=not flags & 8, rule=how)  # type: ignore[arg-type]
        want = index_correct(
            case.keys,
            query,
            k,
            limit=n,
            transpositions=not flags & 8,
            rule=how,
            weights=weights,
            fold=rule,
        )
        assert got == [Match(*hit) for hit in want], ("correct", query, k, n, how, got, want)
        answers.append(got)
    # The whole batch at once, on one or two threads.
    batch = [query for query, _, _, _ in case.queries]
    query, k, limit, flags = case.queries[0]
    many = documented(
        lambda: index.search_many(
            batch, k, limit=limit, transpositions=bool(flags & 1), workers=1 + (flags >> 5) % 2
        )
    )
    one_by_one = [
        documented(lambda q=q: index.search(q, k, limit=limit, transpositions=bool(flags & 1)))
        for q in batch
    ]
    failed = [each for each in one_by_one if each[0] != "ok"]
    if failed:
        # The first query the rule fails on, as search_many folds them in order.
        assert many[0] == failed[0][0], (many, failed)
        if many[0] == "LookupError":
            assert many == failed[0], (many, failed)
    else:
        assert many == ("ok", [each[1] for each in one_by_one]), (many, one_by_one)
    answers.append(many[0])
    return answers


TEMP: dict[str, str] = {}


def check_copies(index: Index, case: Case, weights: Any, answers: list[Any]) -> None:
    """Pickles, copies and (when asked) the file hold the same index."""
    # A copy shares the trie and rebuilds the rest as a file does: the same
    # index, with no need to ask it everything again.
    shared = copy.deepcopy(index)
    assert shared == index and shared == case.keys
    check_mapping(shared, case, weights)
    copies = [pickle.loads(pickle.dumps(index))]
    if case.save:
        if "dir" not in TEMP:
            # In memory where there is such a folder: a save syncs the file.
            memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
            TEMP["dir"] = tempfile.mkdtemp(prefix="fuzz_index-", dir=memory)
            atexit.register(shutil.rmtree, TEMP["dir"], ignore_errors=True)
        path = os.path.join(TEMP["dir"], "index")
        index.save(path)
        custom = case.rule is not None and case.rule is not fold_text
        # A fold that does not match the file, or none for a custom one.
        wrong: list[tuple[Any, str]] = [(True, "built without folding")]
        if custom:
            wrong = [
                (None, "built with a custom fold, which is not saved"),
                (True, "built with a custom fold, which is not saved"),
            ]
        elif case.rule is fold_text:
            wrong = [(first_two, "built with fold=True, not with a custom fold")]
        for rule, message in wrong:
            try:
                Index.load(path, fold=rule)
            except ValueError as error:
                assert message in str(error) and path in str(error), (rule, error)
            else:
                raise AssertionError(f"loaded with fold={rule!r}")
        copies.append(Index.load(path, fold=case.rule if custom else None))
        # libFuzzer ends the process without running atexit: leave no file.
        os.remove(path)
    for again in copies:
        assert again == index and index == again
        assert again == case.keys
        check_mapping(again, case, weights)
        assert check_queries(again, case, weights) == answers


def crafted_pickle(blob: bytes, fold: Any, writes: list[tuple[int, int]]) -> bytes:
    """A pickle naming only what an Index pickle names, that hands _unpickle
    a bytearray of ``blob`` and then writes bytes into it."""
    out = bytearray(b"\x80\x05cmorlatch.index\n_unpickle\ncmorlatch.index\nIndex\n")
    out += b"\x96" + struct.pack("<Q", len(blob)) + blob + b"\x94"  # BYTEARRAY8, MEMOIZE
    # The rule, by name as pickle names a function (GLOBAL), or None.
    out += b"N" if fold is None else f"c{fold.__module__}\n{fold.__qualname__}\n".encode()
    out += b"\x87R"  # TUPLE3, REDUCE
    for at, value in writes:  # BINGET 0, BININT, BININT1, SETITEM, POP
        out += b"h\x00J" + struct.pack("<i", at) + b"K" + bytes([value]) + b"s0"
    return bytes(out + b".")


def check_pickle_mutations(
    index: Index, case: Case, reader: Reader, weights: Any, answers: list[Any]
) -> None:
    """The bytes after the queries, as changes to the index's pickle: bytes
    written into the buffer after it was loaded change nothing; bytes changed
    in the pickled file are refused with a ValueError naming "<pickle>", or
    load an index that answers without fault."""
    custom = None if case.rule is fold_text else case.rule
    blob = indexfile.encode(index._sections())  # noqa: SLF001
    changes = [
        (reader.byte() << 8 | reader.byte(), reader.byte()) for _ in range(reader.byte() % 4)
    ]
    writes = [(at % len(blob), value) for at, value in changes]
    again = pickle.loads(crafted_pickle(blob, custom, writes))
    assert again == index and check_queries(again, case, weights) == answers
    damaged = bytearray(blob)
    for at, value in writes:
        damaged[at] ^= value or 1
    try:
        loaded = pickle.loads(crafted_pickle(bytes(damaged), custom, []))
    except ValueError as error:
        assert str(error).startswith("<pickle>: "), error
        return
    list(loaded.items())
    for query, *_ in case.queries:
        documented(lambda: loaded.search(query, 1))  # noqa: B023
        documented(lambda: loaded.complete(query, 1))  # noqa: B023


def check_one(data: bytes) -> None:
    """The whole check for one input."""
    reader = Reader(data)
    case = Case(reader)
    index = build(case)
    if index is None:
        return
    weights = None if case.weights is None else weight_values(case.weights)
    check_mapping(index, case, weights)
    answers = check_queries(index, case, weights)
    check_copies(index, case, weights, answers)
    check_pickle_mutations(index, case, reader, weights, answers)


def main() -> None:
    import atheris

    import morlatch._index_args
    import morlatch._index_groups
    import morlatch._index_io
    import morlatch._weights
    import morlatch.fold
    import morlatch.index
    import morlatch.indexfile

    # The native code is not instrumented for coverage; the harness's and
    # the package's branches are.
    functions = [check_one, check_queries, check_copies, check_mapping, build, refusal]
    functions.append(check_pickle_mutations)
    modules = [morlatch.index, morlatch._index_args, morlatch._index_groups, morlatch._index_io]
    modules += [morlatch._weights, morlatch.fold, morlatch.indexfile]
    for module in modules:
        for value in vars(module).values():
            members = list(vars(value).values()) if isinstance(value, type) else [value]
            members = [getattr(m, "__func__", getattr(m, "fget", m)) for m in members]
            functions += [
                f for f in members if inspect.isfunction(f) and f.__module__ == module.__name__
            ]
    for function in functions:
        atheris.instrument_func(function)
    atheris.Setup(sys.argv, check_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
