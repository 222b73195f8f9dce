"""morlatch.Index: the mapping, ranked search, completion, batches and listing.

Ranked search and completion are checked against brute force over the whole
shipped word list (rapidfuzz's Levenshtein and OSA distances), and everything
against plain Python references on random small key sets.
"""

from __future__ import annotations

import os
import random
import signal
import threading
from collections.abc import Callable

import pytest
from hypothesis import given
from hypothesis import strategies as st
from rapidfuzz import process
from rapidfuzz.distance import OSA, Levenshtein

import _morlatch
import morlatch
from morlatch import Index, Match
from reference import completion_distance, levenshtein, osa, typo

# ---------------------------------------------------------------- whole list


@pytest.fixture(scope="module")
def words() -> list[str]:
    return morlatch.default_words()


@pytest.fixture(scope="module")
def index() -> Index:
    return Index.from_prefix_search(morlatch.default_search())


def typos(words: list[str], count: int, seed: int) -> list[str]:
    """Words with 0 to 2 random edits each (swaps of neighbours included)."""
    rng = random.Random(seed)
    sample = rng.sample(words, count)
    return [typo(rng, word, rng.randrange(3), "aeiourst", swaps=True) for word in sample]


SCORERS = {False: Levenshtein.distance, True: OSA.distance}


@pytest.mark.parametrize("transpositions", [False, True])
@pytest.mark.parametrize("max_dist", [1, 2])
def test_search_matches_brute_force_over_the_word_list(
    index: Index, words: list[str], transpositions: bool, max_dist: int
) -> None:
    for query in typos(words, 12, seed=max_dist) + ["", "x", "teh", "recieve"]:
        found = process.extract(
            query, words, scorer=SCORERS[transpositions], score_cutoff=max_dist, limit=None
        )
        expected = sorted((dist, key, payload) for key, dist, payload in found)
        want = [Match(key, payload, dist) for dist, key, payload in expected]
        got = index.search(query, max_dist, transpositions=transpositions)
        assert got == want, query
        for limit in (1, 10):
            assert (
                index.search(query, max_dist, limit=limit, transpositions=transpositions)
                == (want[:limit])
            )


@pytest.mark.parametrize("transpositions", [False, True])
def test_completion_matches_brute_force_over_the_word_list(
    index: Index, words: list[str], transpositions: bool
) -> None:
    max_dist = 1
    scorer = SCORERS[transpositions]
    prefixes = ["helo", "trnas", "ab", "qzx", "recie"]
    # Every beginning that can be close enough, each scored once per prefix.
    longest = max(map(len, prefixes)) + max_dist
    beginnings = list({word[:i] for word in words for i in range(min(len(word), longest) + 1)})
    for prefix in prefixes:
        reach = len(prefix) + max_dist
        close = {
            text: dist
            for text, dist, _ in process.extract(
                prefix, beginnings, scorer=scorer, score_cutoff=max_dist, limit=None
            )
        }
        expected = []
        for payload, word in enumerate(words):
            dists = [close[word[:i]] for i in range(min(len(word), reach) + 1) if word[:i] in close]
            if dists:
                expected.append((min(dists), len(word), word, payload))
        expected.sort()
        want = [Match(word, payload, dist) for dist, _, word, payload in expected]
        assert index.complete(prefix, max_dist, limit=None, transpositions=transpositions) == want
        assert index.complete(prefix, max_dist, transpositions=transpositions) == want[:10]


def test_search_many_equals_one_search_per_query(index: Index, words: list[str]) -> None:
    queries = typos(words, 60, seed=7)
    one_by_one = [index.search(q, 2, limit=5, transpositions=True) for q in queries]
    for workers in (1, 2, 3, None):
        got = index.search_many(queries, 2, limit=5, transpositions=True, workers=workers)
        assert got == one_by_one
    assert index.search_many(iter(queries[:3]), 1) == [index.search(q, 1) for q in queries[:3]]
    assert index.search_many([], 1) == []


def test_keys_under_a_prefix_are_lazy_and_in_code_point_order(
    index: Index, words: list[str]
) -> None:
    assert list(index) == sorted(words)
    assert list(index.keys("hel")) == sorted(w for w in words if w.startswith("hel"))
    everything = index.items()
    assert next(everything) == (min(words), words.index(min(words)))
    assert len(index) == len(words)


# ---------------------------------------------------------------- properties

small_keys = st.dictionaries(
    st.text("abc", min_size=1, max_size=6), st.integers(0, 2**32 - 1), max_size=30
)
small_text = st.text("abcd", max_size=6)


@given(small_keys, small_text, st.integers(0, 3), st.booleans(), st.none() | st.integers(0, 5))
def test_searches_agree_with_plain_python(
    keys: dict[str, int], text: str, max_dist: int, transpositions: bool, limit: int | None
) -> None:
    index = Index(keys)
    distance = osa if transpositions else levenshtein
    ranked = sorted((distance(key, text), key) for key in keys)
    want = [Match(key, keys[key], d) for d, key in ranked if d <= max_dist][:limit]
    assert index.search(text, max_dist, limit=limit, transpositions=transpositions) == want

    completions = sorted(
        (completion_distance(key, text, transpositions), len(key), key) for key in keys
    )
    want = [Match(key, keys[key], d) for d, _, key in completions if d <= max_dist][:limit]
    assert index.complete(text, max_dist, limit=limit, transpositions=transpositions) == want

    under = sorted(key for key in keys if key.startswith(text))
    assert list(index.keys(text)) == under
    assert list(index.items(text)) == [(key, keys[key]) for key in under]
    assert list(index.values(text)) == [keys[key] for key in under]


@given(small_keys, small_text)
def test_mapping_agrees_with_a_dict(keys: dict[str, int], probe: str) -> None:
    index = Index(keys)
    assert len(index) == len(keys)
    assert list(index) == sorted(keys)
    assert (probe in index) == (probe in keys)
    assert index.get(probe) == keys.get(probe)
    assert index.get(probe, -1) == keys.get(probe, -1)
    if probe in keys:
        assert index[probe] == keys[probe]
    else:
        with pytest.raises(KeyError):
            index[probe]


# ---------------------------------------------------------------- the object


def test_index_round_trips_through_a_file(tmp_path) -> None:
    index = Index({"hello": 1, "help": 2, "world": 3})
    path = tmp_path / "words.trie"
    index.save(path)
    again = Index.load(path)
    assert dict(again.items()) == {"hello": 1, "help": 2, "world": 3}
    assert again.prefix_search.to_bytes() == index.prefix_search.to_bytes()
    assert Index.from_prefix_search(index.prefix_search).prefix_search is index.prefix_search
    assert repr(again) == "<morlatch.Index of 3 keys>"
    assert 3 not in again and None not in again


def test_a_trie_that_is_not_well_formed_is_refused() -> None:
    # Children of the root out of code-point order.
    unsorted = _morlatch.from_internal_data([0, 2, 2], ["", "b", "a"], [None, 1, 2], [1, 2])
    with pytest.raises(ValueError, match="^this trie's arrays are not well formed: "):
        Index.from_prefix_search(unsorted)


def _call(method: str, *args: object, **kwargs: object) -> Callable[[Index], object]:
    return lambda index: getattr(index, method)(*args, **kwargs)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (_call("search", b"x"), TypeError, "query must be a str, not 'bytes'"),
        (_call("search", "x", 1.5), TypeError, "max_dist must be an int or 'auto', not 'float'"),
        (_call("search", "x", True), TypeError, "max_dist must be an int or 'auto', not 'bool'"),
        (_call("search", "x", -1), ValueError, "max_dist must not be negative, not -1"),
        (_call("complete", "x", "2"), ValueError, "max_dist must be a whole number or 'auto'"),
        (_call("search_many", ["a", "b"], [1]), ValueError, "max_dist has 1 bounds for 2 queries"),
        (_call("correct_many", ["a"], [0.5]), TypeError, r"max_dist\[0\] must be an int or 'auto'"),
        (_call("correct_many", ["a"], ["x"]), ValueError, r"max_dist\[0\] must be a whole number"),
        (_call("search_many", ["a"], 1.0), TypeError, "max_dist must be an int or 'auto', not"),
        (_call("search", "x", limit="3"), TypeError, "limit must be an int, not 'str'"),
        (_call("search", "x", limit=-2), ValueError, "limit must not be negative, not -2"),
        (_call("search", "x", transpositions=1), TypeError, "transpositions must be a bool"),
        (_call("complete", None), TypeError, "prefix must be a str, not 'NoneType'"),
        (_call("keys", 5), TypeError, "prefix must be a str, not 'int'"),
        (_call("search_many", "abc", 1), TypeError, "queries must be an iterable of str"),
        (_call("search_many", 5, 1), TypeError, "queries must be an iterable of str, not 'int'"),
        (_call("search_many", ["a", 1], 1), TypeError, r"queries\[1\] must be a str, not 'int'"),
        (_call("search_many", ["a"], 1, workers=0), ValueError, "workers must be at least 1"),
        (_call("search_many", ["a"], 1, workers=2.0), TypeError, "workers must be an int"),
    ],
)
def test_bad_arguments_are_named(
    call: Callable[[Index], object], error: type[Exception], message: str
) -> None:
    index = Index(["a"])
    with pytest.raises(error, match=message):
        call(index)


def test_bad_input_to_the_constructors() -> None:
    with pytest.raises(TypeError, match="search must be a PrefixSearch, not 'dict'"):
        Index.from_prefix_search({})  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        Index({"": 1})


def test_huge_numbers_change_nothing() -> None:
    index = Index(["ab", "b"])
    assert index.search("a", 10**30, limit=10**30) == [Match("ab", 0, 1), Match("b", 1, 1)]
    assert index.complete("zz", 10**30, limit=None) == [Match("b", 1, 2), Match("ab", 0, 2)]


def test_ctrl_c_stops_long_searches_and_batches() -> None:
    # A million two-character keys and a very long query with no bound on
    # the distance: each search below would run for minutes.
    width = 1000
    letters = [chr(0x4E00 + i) for i in range(width)]
    shifts = [0] + [width + width * i for i in range(width)] + [width + width * width] * width**2
    strings = [""] + letters + letters * width
    payloads = [None] * (1 + width) + list(range(width * width))
    children = list(range(1, 1 + width + width * width))
    index = Index.from_prefix_search(
        _morlatch.from_internal_data(shifts, strings, payloads, children)
    )
    long = "b" * 20_000
    searches = [
        lambda: index.search(long, 2**40, transpositions=True),
        lambda: index.complete(long, 2**40),
        lambda: index.search_many([long] * 4, 2**40, transpositions=True, workers=2),
        lambda: index.correct_many([long] * 4, 2**40, workers=2),
    ]
    for search in searches:
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                search()
        finally:
            timer.cancel()
    key = "\u4e01\u4e02"
    assert index.search(key + "x", 1) == [Match(key, 1002, 1)]
