"""morlatch.Catalog: search and linkage against the brute-force reference
over random catalogs, then the rules a user meets one by one."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morlatch.catalog import Catalog
from reference import catalog_match, catalog_search, fold

# Few letters, so that words collide, differ by a typo or begin one another.
WORD = st.text("abcdÉé\u03011", min_size=1, max_size=7)
SEPARATOR = st.sampled_from([" ", " ", "-", ", ", " & ", "  "])
SYNONYMS = st.sampled_from(
    [None, {"&": "and"}, {"ab": "dd", "&": "ab"}, {"cab": "bad", "bad": "cab"}]
)


@st.composite
def texts(draw: st.DrawFn) -> str:
    words = draw(st.lists(WORD, min_size=1, max_size=4))
    out = words[0]
    for word in words[1:]:
        out += draw(SEPARATOR) + word
    return out


@st.composite
def catalogs(draw: st.DrawFn) -> tuple[list[tuple[str, int, int]], dict[str, int] | None]:
    names = draw(st.lists(texts(), min_size=1, max_size=25))
    payloads = draw(st.lists(st.integers(0, 5), min_size=len(names), max_size=len(names)))
    weighted = draw(st.booleans())
    weights = {name: draw(st.integers(0, 3)) for name in names} if weighted else None
    items = [(n, p, (weights or {}).get(n, 0)) for n, p in zip(names, payloads, strict=True)]
    return items, weights


def _query(draw: st.DrawFn, items: list[tuple[str, int, int]]) -> str:
    """A query: words of an item (or random ones), perhaps reordered, with a
    typo, the last one cut short, perhaps a trailing space."""
    text = draw(st.sampled_from([item[0] for item in items]))
    words = text.replace("&", " ").replace(",", " ").replace("-", " ").split()
    words = draw(st.permutations(words))[: draw(st.integers(1, 4))]
    words = [draw(st.one_of(st.just(w), WORD)) for w in words]
    if draw(st.booleans()):
        at = draw(st.integers(0, len(words) - 1))
        w = words[at]
        i = draw(st.integers(0, len(w)))
        words[at] = w[:i] + draw(st.sampled_from(["", "a", "x"])) + w[i + 1 :]
    if draw(st.booleans()):
        words[-1] = words[-1][: draw(st.integers(1, max(1, len(words[-1]))))]
    return " ".join(w for w in words if w) + draw(st.sampled_from(["", "", " ", " &"]))


def _same_hits(got: list, want: list) -> None:
    assert [(h.text, h.payload) for h in got] == [(w[0], w[1]) for w in want]
    for hit, expected in zip(got, want, strict=True):
        assert hit.score == pytest.approx(expected[2], abs=1e-12)
        assert 0 < hit.score <= 1
        if len(expected) > 3:
            assert hit.spans == expected[3]


@settings(max_examples=300, deadline=None)
@given(st.data(), catalogs(), SYNONYMS)
def test_search_ranks_as_the_reference(data: st.DataObject, catalog, synonyms) -> None:
    items, weights = catalog
    built = Catalog([(t, p) for t, p, _ in items], weights=weights, synonyms=synonyms)
    query = data.draw(st.one_of(st.builds(lambda: _query(data.draw, items)), texts()))
    typos = data.draw(st.sampled_from(["auto", "auto", 0, 1, 2]))
    prefix = data.draw(st.booleans())
    limit = data.draw(st.sampled_from([1, 3, 10, None]))
    want = catalog_search(
        items,
        query,
        10**9 if limit is None else limit,
        typos=typos,
        prefix=prefix,
        rule=fold,
        synonyms=synonyms and {fold(k): fold(v) for k, v in synonyms.items()},
    )
    _same_hits(built.search(query, limit, typos=typos, prefix=prefix), want)


@settings(max_examples=300, deadline=None)
@given(st.data(), catalogs(), SYNONYMS)
def test_match_scores_as_the_reference(data: st.DataObject, catalog, synonyms) -> None:
    items, weights = catalog
    built = Catalog([(t, p) for t, p, _ in items], weights=weights, synonyms=synonyms)
    name = data.draw(st.one_of(st.builds(lambda: _query(data.draw, items)), texts()))
    cutoff = data.draw(st.sampled_from([None, 0.0, 0.3, 0.8]))
    limit = data.draw(st.sampled_from([1, 2, 5]))
    want = catalog_match(
        items,
        name,
        limit,
        score_cutoff=cutoff,
        rule=fold,
        synonyms=synonyms and {fold(k): fold(v) for k, v in synonyms.items()},
    )
    _same_hits(built.match(name, limit=limit, score_cutoff=cutoff), want)
