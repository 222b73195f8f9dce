"""Index weights: ranked search, completion and batches by (distance, -weight,
key) over the whole shipped word list against brute force, the weights
themselves, persistence, and the refusal of bad weights."""

from __future__ import annotations

import pickle
import random
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rapidfuzz import process
from rapidfuzz.distance import OSA, Levenshtein

import morlatch
import reference
from morlatch import Index, Match
from reference import completion_distance, weighted_order

SCORERS = {False: Levenshtein.distance, True: OSA.distance}


@pytest.fixture(scope="module")
def words() -> list[str]:
    return morlatch.default_words()


def seeded_weights(words: list[str], kind: str) -> dict[str, int | float]:
    """Few distinct values, so that ties (broken by key) are common; some
    keys get no weight at all (0)."""
    rng = random.Random(kind)
    out: dict[str, int | float] = {}
    for word in words:
        roll = rng.randrange(10)
        if roll == 0:
            continue
        if kind == "int":
            out[word] = rng.choice([0, 1, 7, 2**40, 2**63, 2**64 - 1])
        else:
            out[word] = rng.choice([0.0, 0.5, 3.25, 1e300, 2.0**-1074])
    return out


@pytest.fixture(scope="module", params=["int", "float"])
def weighted(request: pytest.FixtureRequest, words: list[str]) -> tuple[Index, dict[str, float]]:
    weights = seeded_weights(words, request.param)
    return Index(words, weights=weights), weights


QUERIES = ["helo", "recieve", "teh", "wrld", "a", "", "Abe", "zzzz", "acount", "occured"]


@pytest.mark.parametrize("transpositions", [False, True])
def test_search_ranks_by_distance_weight_key(
    weighted: tuple[Index, dict[str, float]], words: list[str], transpositions: bool
) -> None:
    index, weights = weighted
    for query in QUERIES:
        found = process.extract(
            query, words, scorer=SCORERS[transpositions], score_cutoff=2, limit=None
        )
        want = weighted_order(
            [(key, payload, dist) for key, dist, payload in found], lambda k: weights.get(k, 0)
        )
        assert index.search(query, 2, transpositions=transpositions) == want, query
        for limit in (1, 3, 10):
            got = index.search(query, 2, limit=limit, transpositions=transpositions)
            assert got == want[:limit], (query, limit)
        batch = index.search_many(QUERIES, 1, limit=4, transpositions=transpositions, workers=2)
        assert batch == [
            index.search(q, 1, limit=4, transpositions=transpositions) for q in QUERIES
        ]


@pytest.mark.parametrize(("max_dist", "transpositions"), [(0, False), (1, False), (1, True)])
def test_complete_ranks_by_distance_weight_key(
    weighted: tuple[Index, dict[str, float]], words: list[str], max_dist: int, transpositions: bool
) -> None:
    index, weights = weighted
    for prefix in ["h", "he", "hel", "recie", "Ab", "qzx", "", "x"]:
        reach = len(prefix) + max_dist
        beginnings = {word[:i] for word in words for i in range(min(len(word), reach) + 1)}
        close = {
            text
            for text, _, _ in process.extract(
                prefix,
                beginnings,
                scorer=SCORERS[transpositions],
                score_cutoff=max_dist,
                limit=None,
            )
        }
        if len(prefix) <= max_dist:
            close.add("")  # rapidfuzz leaves empty strings out
        hits = [
            (word, payload, completion_distance(word[:reach], prefix, transpositions))
            for payload, word in enumerate(words)
            if any(word[:i] in close for i in range(min(len(word), reach) + 1))
        ]
        want = weighted_order(hits, lambda k: weights.get(k, 0))
        for limit in (1, 10, None):
            got = index.complete(prefix, max_dist, limit=limit, transpositions=transpositions)
            assert got == want[:limit], (prefix, limit)


def test_weights_read_back_and_survive_files_pickles_and_copies(
    weighted: tuple[Index, dict[str, float]], words: list[str], tmp_path: Path
) -> None:
    index, weights = weighted
    floats = any(isinstance(w, float) for w in weights.values())
    zero = 0.0 if floats else 0
    for word in words[::997]:
        got = index.weight(word)
        assert got == weights.get(word, zero) and type(got) is type(zero)
    with pytest.raises(KeyError):
        index.weight("no such key")
    index.save(tmp_path / "index")
    again = Index.load(tmp_path / "index")
    assert again == index == pickle.loads(pickle.dumps(index))
    assert again.search("helo", 1, limit=5) == index.search("helo", 1, limit=5)
    assert again.weight(words[5]) == index.weight(words[5])
    # Other weights, or none, make another index.
    assert index != Index(words)
    assert Index(["a", "b"], weights={"a": 1}) != Index(["a", "b"], weights={"a": 1.0})
    assert Index(["a", "b"], weights={"a": 1}) == Index(["a", "b"], weights={"a": 1, "b": 0})


def test_without_weights_every_key_weighs_nothing() -> None:
    index = Index({"b": 1, "a": 2})
    assert index.weight("a") == 0 and not index.weighted
    with pytest.raises(KeyError):
        index.weight("c")
    # A weighted index ranks completions by weight, not by length.
    heavy = Index(["ab", "abcd", "abc"], weights={"abcd": 5})
    assert [m.key for m in heavy.complete("ab")] == ["abcd", "ab", "abc"]
    assert [m.key for m in Index(["ab", "abcd", "abc"]).complete("ab")] == ["ab", "abc", "abcd"]


@pytest.mark.parametrize(
    ("weights", "error", "message"),
    [
        ({"a": -1}, ValueError, "weights['a'] must not be negative, not -1"),
        ({"a": -0.5}, ValueError, "weights['a'] must not be negative"),
        ({"a": float("nan")}, ValueError, "weights['a'] must be a number, not NaN"),
        ({"a": float("inf")}, ValueError, "weights['a'] must be finite"),
        ({"a": True}, TypeError, "weights['a'] must be an int or a float, not 'bool'"),
        ({"a": "3"}, TypeError, "weights['a'] must be an int or a float, not 'str'"),
        ({"a": None}, TypeError, "not 'NoneType'"),
        ({"a": 2**64}, ValueError, "weights['a'] must be at most 2**64 - 1"),
        # An int is a count of at most 64 bits, floats beside it or not.
        ({"a": 2**64 + 5, "b": 0.5}, ValueError, "weights['a'] must be at most 2**64 - 1"),
        ({"a": Fraction(2**1024)}, ValueError, "weights['a'] is too large for a float"),
        ({1: 3}, TypeError, "weights: a key must be a str, not 'int'"),
        ({"c": 3}, ValueError, "weights: 'c' is not a key of the index"),
        ({"A ": 3}, ValueError, "weights: 'A ' is not a key of the index, which has 'a'"),
        (["a"], TypeError, "weights: item 0 must be a (key, weight) pair, not 'str'"),
        (5, TypeError, "weights must be a mapping of key to weight (anything with .items())"),
    ],
)
def test_bad_weights_are_refused(weights: object, error: type[Exception], message: str) -> None:
    with pytest.raises(error) as caught:
        Index(["a", "b"], weights=weights)  # type: ignore[arg-type]
    assert message in str(caught.value)
    with pytest.raises(error):
        Index(["a", "b"], weights=weights, fold=True)  # type: ignore[arg-type]


def test_weights_accept_any_int_or_real_number() -> None:
    fractions = pytest.importorskip("fractions")
    index = Index(["a", "b", "c"], weights={"a": fractions.Fraction(1, 2), "b": 2, "c": -0.0})
    assert index.weight("a") == 0.5 and index.weight("b") == 2.0 and index.weight("c") == 0.0
    assert index.search("x", 1) == [Match("b", 1, 1), Match("a", 0, 1), Match("c", 2, 1)]


def _edited(draw: st.DrawFn, text: str) -> str:
    """``text`` with up to three random edits (replace, insert, delete,
    swap)."""
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(["replace", "insert", "delete", "swap"]))
        letter = draw(st.sampled_from(LETTERS))
        if kind == "insert":
            text = text[:at] + letter + text[at:]
        elif kind == "replace":
            text = text[:at] + letter + text[at + 1 :]
        elif kind == "delete":
            text = text[:at] + text[at + 1 :]
        elif at + 1 < len(text):
            text = text[:at] + text[at + 1] + text[at] + text[at + 2 :]
    return text


LETTERS = "abAé"


@st.composite
def long_prefix_cases(draw: st.DrawFn) -> tuple[dict[str, int], dict[str, int], str]:
    """Keys near a prefix of 16 to 30 characters (longer than the SSE2
    lanes hold, so the walk keeps a band of cells per level), and weights
    with many ties."""
    prefix = draw(st.text(LETTERS, min_size=16, max_size=30))
    keys: dict[str, int] = {}
    for payload in range(draw(st.integers(1, 8))):
        # Beginnings a few characters short of the prefix or past it: the
        # cells at the band's edges.
        cut = max(0, len(prefix) - draw(st.integers(0, 6)))
        key = _edited(draw, prefix[:cut]) + draw(st.text(LETTERS, max_size=4))
        keys.setdefault(key or prefix, payload)  # keys are never empty
    weights = {key: draw(st.integers(0, 2)) for key in keys}
    return keys, weights, _edited(draw, prefix)


@pytest.mark.parametrize("kind", ["weights", "fold", "weights+fold"])
@settings(max_examples=150, deadline=None)
@given(case=long_prefix_cases(), max_dist=st.integers(0, 4), transpositions=st.booleans())
def test_complete_with_long_prefixes_matches_the_reference(
    kind: str, case: tuple[dict[str, int], dict[str, int], str], max_dist: int, transpositions: bool
) -> None:
    keys, weights, prefix = case
    weights_or_none = weights if "weights" in kind else None
    rule = reference.fold if "fold" in kind else None
    index = Index(keys, weights=weights_or_none, fold="fold" in kind)
    for limit in (1, 3, None):
        want = reference.index_complete(
            keys,
            prefix,
            max_dist,
            limit=limit,
            transpositions=transpositions,
            weights=weights_or_none,
            rule=rule,
        )
        got = index.complete(prefix, max_dist, limit=limit, transpositions=transpositions)
        assert got == want, limit


# Texts over a few letters and a lone surrogate (a character no key holds).
QUERY_TEXT = st.text(st.sampled_from("abé\ud800"), max_size=6)


@settings(max_examples=150, deadline=None)
@given(
    keys=st.dictionaries(
        st.text(st.sampled_from("abé"), min_size=1, max_size=6), st.integers(0, 9)
    ),
    queries=st.lists(QUERY_TEXT, min_size=1, max_size=3),
    max_dist=st.integers(0, 3),
    limit=st.none() | st.integers(0, 4),
    transpositions=st.booleans(),
    weighted=st.booleans(),
    fold=st.booleans(),
)
def test_search_and_complete_take_weights_and_folding_alike(
    keys: dict[str, int],
    queries: list[str],
    max_dist: int,
    limit: int | None,
    transpositions: bool,
    weighted: bool,
    fold: bool,
) -> None:
    """search, complete and search_many answer as the brute force does for
    any query (lone surrogates included), with weights or without, folded or
    not: one query path serves them all."""
    table = {key: i for i, key in enumerate(keys)}
    weights = {key: weight for key, weight in keys.items()} if weighted else None
    rule = str.upper if fold else None
    index = Index(table, weights=weights, fold=rule or False)
    options = {"limit": limit, "transpositions": transpositions}
    for query in queries:
        want = reference.index_search(table, query, max_dist, weights=weights, rule=rule, **options)
        assert index.search(query, max_dist, **options) == want, query
        want = reference.index_complete(
            table, query, max_dist, weights=weights, rule=rule, **options
        )
        assert index.complete(query, max_dist, **options) == want, query
    assert index.search_many(queries, max_dist, workers=2, **options) == [
        index.search(query, max_dist, **options) for query in queries
    ]
