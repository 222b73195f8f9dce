"""One set of defaults across Index's searches: swaps count as one edit,
"auto" and per-query bounds, the duplicates policy, weights from anything
with .items(), and what construction builds for the first search."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morlatch
from morlatch import Index, Match
from reference import auto_bound, index_correct, index_search, kept_payloads

KEYS = ["hello", "help", "Hélène", "held", "yellow", "he", "hex", "shell", "ŞELL", "fellow"]
WEIGHTS = {"hello": 9, "help": 3, "yellow": 5, "he": 1, "shell": 7}

texts = st.text(alphabet="hel oswHÉ", max_size=8)
bounds = st.sampled_from([0, 1, 2, "auto"])


@pytest.fixture(scope="module", params=["plain", "weighted+folded"])
def index(request: pytest.FixtureRequest) -> Index:
    if request.param == "plain":
        return Index(KEYS)
    return Index(KEYS, weights=WEIGHTS, fold=True)


@given(queries=st.lists(texts, max_size=12), data=st.data())
def test_batch_bounds_equal_calls_one_by_one(index: Index, queries: list[str], data: Any) -> None:
    per_query = data.draw(st.lists(bounds, min_size=len(queries), max_size=len(queries)))
    for given_bounds in (per_query, "auto"):
        each = given_bounds if isinstance(given_bounds, list) else [given_bounds] * len(queries)
        searched = index.search_many(queries, given_bounds, limit=4, workers=2)
        assert searched == [index.search(q, k, limit=4) for q, k in zip(queries, each, strict=True)]
        # Any iterable of bounds will do.
        corrected = index.correct_many(queries, iter(each), limit=2)
        assert corrected == [
            index.correct(q, k, limit=2) for q, k in zip(queries, each, strict=True)
        ]


def test_bounds_from_a_numpy_array() -> None:
    np = pytest.importorskip("numpy")
    index = Index(KEYS)
    queries = ["helo", "yelow", "hlep"]
    bounds = np.array([0, 1, 2], dtype=np.int8)
    want = [index.search(q, int(k)) for q, k in zip(queries, bounds, strict=True)]
    assert index.search_many(queries, bounds) == want
    assert index.search_many(queries, bounds[1]) == index.search_many(queries, 1)


@given(query=texts)
def test_auto_bound_is_taken_from_the_folded_query(query: str) -> None:
    keys = {key: at for at, key in enumerate(KEYS)}
    folded = Index(KEYS, fold=True)
    want = index_search(
        keys,
        query,
        auto_bound(morlatch.fold_text(query)),
        transpositions=True,
        rule=morlatch.fold_text,
    )
    assert folded.search(query, "auto") == want
    plain = index_correct(keys, query, auto_bound(query), limit=3)
    assert Index(KEYS).correct(query, "auto", limit=3) == plain


CALLS: dict[str, Callable[..., list[Match]]] = {
    "search": lambda index, text, **options: index.search(text, 1, **options),
    "complete": lambda index, text, **options: index.complete(text, 1, **options),
    "search_many": lambda index, text, **options: index.search_many([text], 1, **options)[0],
    "correct": lambda index, text, **options: index.correct(text, 1, **options),
    "correct_many": lambda index, text, **options: index.correct_many([text], 1, **options)[0],
}


@pytest.mark.parametrize("method", CALLS)
def test_a_swap_is_one_edit_unless_asked_otherwise(method: str) -> None:
    index = Index(["hello", "world"])
    call = CALLS[method]
    assert call(index, "hlelo") == [Match("hello", 0, 1)]
    # Two edits without transpositions: out of reach at distance 1.
    assert call(index, "hlelo", transpositions=False) == []


pairs = st.lists(st.tuples(st.sampled_from("abc"), st.integers(0, 3)), max_size=8)


@given(items=pairs, policy=st.sampled_from(["last", "first", "error"]))
def test_duplicates_follow_the_policy(items: list[tuple[str, int]], policy: Any) -> None:
    positions = [(key, at) for at, (key, _) in enumerate(items)]
    for given_items, keys in ((items, items), (positions, [key for key, _ in items])):
        try:
            want = kept_payloads(given_items, policy)
        except ValueError as error:
            for build in (Index, morlatch.build):
                with pytest.raises(ValueError, match=f"key {str(error)!r} is given again"):
                    build(keys, duplicates=policy)
            continue
        assert dict(Index(keys, duplicates=policy).items()) == want
        built = Index.from_prefix_search(morlatch.build(keys, duplicates=policy))
        assert dict(built.items()) == want
        assert dict(Index(keys, duplicates=policy, fold=True).items()) == want


def test_an_unknown_duplicates_policy_is_refused() -> None:
    with pytest.raises(ValueError, match="duplicates must be 'last', 'first' or 'error', not 'x'"):
        Index(["a"], duplicates="x")  # type: ignore[arg-type]


def _weights_from(kind: str) -> object:
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    return {
        "dict items": WEIGHTS.items(),
        "pairs": list(WEIGHTS.items()),
        "counter": Counter(WEIGHTS),
        "series": pd.Series(WEIGHTS),
        "numpy ints": {key: np.uint64(value) for key, value in WEIGHTS.items()},
        "numpy int32": {key: np.int32(value) for key, value in WEIGHTS.items()},
    }[kind]


@pytest.mark.parametrize(
    "kind", ["dict items", "pairs", "counter", "series", "numpy ints", "numpy int32"]
)
def test_weights_from_anything_with_items_or_pairs(kind: str) -> None:
    index = Index(KEYS, weights=_weights_from(kind))  # type: ignore[arg-type]
    assert index == Index(KEYS, weights=WEIGHTS)
    assert [index.weight(key) for key in KEYS] == [WEIGHTS.get(key, 0) for key in KEYS]


def test_float_weights_from_numpy_and_their_checks() -> None:
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    floats = {key: value / 4 for key, value in WEIGHTS.items()}
    index = Index(KEYS, weights=pd.Series(floats, dtype=np.float32))
    assert index == Index(KEYS, weights=floats)
    for value, error, message in [
        (np.float64("nan"), ValueError, "must be a number, not NaN"),
        (np.float32("inf"), ValueError, "must be finite"),
        (np.int64(-3), ValueError, "must not be negative, not -3"),
        (np.True_, TypeError, "must be an int or a float"),
    ]:
        with pytest.raises(error, match=rf"weights\['help'\] {message}"):
            Index(KEYS, weights={"hello": 1, "help": value})


@pytest.mark.parametrize(
    "options", [{}, {"weights": WEIGHTS}, {"fold": True}, {"weights": WEIGHTS, "fold": True}]
)
def test_construction_builds_what_searches_use(options: dict[str, Any]) -> None:
    index = Index(KEYS, **options)
    assert morlatch.layout_info(index.prefix_search)["reverse_index_built"]
    # An index over a given trie leaves it to the first search that needs it.
    given = Index.from_prefix_search(morlatch.build(KEYS))
    assert not morlatch.layout_info(given.prefix_search)["reverse_index_built"]
    given.search("yelow", 1)
    assert morlatch.layout_info(given.prefix_search)["reverse_index_built"]
