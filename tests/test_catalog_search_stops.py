"""Catalog.search with a small limit over many items that share the query's
words, each word with neighbours a typo or two away: once the best items
match every word with its fewest typos, an item read from the first word
that holds another word only with more typos, or not at all, is passed over
unread; those must be exactly the items the brute-force reference ranks
below the best."""

from __future__ import annotations

from hypothesis import given, settings
from hypothesis import strategies as st

from morlatch.catalog import Catalog
from reference import catalog_search, fold

# Three families of words a typo or two apart, and a few others; prefixes of
# one another ("mot", "motel") too, so that the last word, cut short, matches
# whole terms and prefixes with the same typos.
FAMILIES = [
    ["hosing", "hosting", "housing", "posing", "hoisng"],
    ["mot", "motel", "moth", "mote", "mat", "omt"],
    ["buzzer", "buzzers", "buzzes", "bus", "busing"],
]
WORDS = st.sampled_from([w for family in FAMILIES for w in family] + ["lid", "alpha", "ox"])


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.lists(WORDS, min_size=1, max_size=5), min_size=20, max_size=150),
    st.lists(WORDS, min_size=2, max_size=3),
    st.data(),
)
def test_items_passed_over_rank_below_the_best(names, query_words, data) -> None:
    items = [(" ".join(n), i % 4, 0) for i, n in enumerate(names)]
    weighted = data.draw(st.booleans())
    weights = {t: len(t) % 3 for t, _, _ in items} if weighted else None
    items = [(t, p, (weights or {}).get(t, 0)) for t, p, _ in items]
    built = Catalog([(t, p) for t, p, _ in items], weights=weights)
    # A typo in one word, the last perhaps cut short or ended.
    at = data.draw(st.integers(0, len(query_words) - 1))
    word = query_words[at]
    cut = data.draw(st.integers(0, len(word)))
    query_words[at] = word[:cut] + data.draw(st.sampled_from(["", "x", "s"])) + word[cut + 1 :]
    query = " ".join(w for w in query_words if w) or "mot"
    query += data.draw(st.sampled_from(["", " "]))
    typos = data.draw(st.sampled_from(["auto", 1, 2]))
    limit = data.draw(st.sampled_from([1, 2, 5]))
    want = catalog_search(items, query, limit, typos=typos, rule=fold)
    got = built.search(query, limit, typos=typos)
    assert [(h.text, h.payload) for h in got] == [(w[0], w[1]) for w in want]
    assert [h.spans for h in got] == [w[3] for w in want]
