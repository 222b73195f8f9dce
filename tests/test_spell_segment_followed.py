"""Segmentation where the pairs show a word followed by another less often
than preceded by one ("sub" before a hyphen, a word that ends sentences): an
unseen pair after it is as likely as the share of its occurrences that go on
to a word, checked against every split of short texts."""

from __future__ import annotations

import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import morlatch
import reference
from morlatch._spellsegment import followed_shares

# Bound prefixes and the words they join, whole and apart.
WORDS = ["sub", "license", "sublicense", "re", "link", "relink", "the", "a", "to", "on"]
COUNTS = {"sub": 4000, "license": 3000, "sublicense": 1000, "re": 9000, "link": 5000}
COUNTS |= {"relink": 1000, "the": 50000, "a": 40000, "to": 30000, "on": 20000}
# Fewer pairs than the words they join: the pairs are on the counts' scale.
PAIRS = st.dictionaries(
    st.tuples(st.sampled_from(WORDS), st.sampled_from(WORDS)), st.integers(1, 50), max_size=10
)


@settings(max_examples=40, deadline=None)
@given(PAIRS, st.lists(st.sampled_from(WORDS), min_size=1, max_size=4))
@example({}, ["sub", "re", "re", "the"])  # "reth" is no old form of "re"
def test_segment_with_followed_shares_is_the_likeliest_split(pairs, words) -> None:
    speller = morlatch.Speller(COUNTS, bigrams=pairs)
    # Nine letters at most: every split that ends at a place is carried on.
    text = "".join(words)[:9]
    best = reference.best_segmentation_score(text, COUNTS, pairs)
    got = speller.segment(text)
    assert "".join(got) == text
    assert reference.segmentation_score(got, COUNTS, pairs) == pytest.approx(best)


@settings(max_examples=80, deadline=None)
@given(PAIRS, st.sampled_from([1, 3, 1000]))
def test_followed_shares_are_the_pairs_own_and_scale_free(pairs, scale) -> None:
    # The shares compare a word's pairs with each other, so pairs counted on
    # another scale give the same shares.
    scaled = {pair: count * scale for pair, count in pairs.items()}
    shares = followed_shares(scaled, COUNTS)
    for word in WORDS:
        expected = reference.followed_share(word, pairs)
        assert math.exp(shares.get(word, 0.0)) == pytest.approx(expected)
        assert shares.get(word, 0.0) <= 0.0


@pytest.mark.parametrize(
    ("text", "words"),
    [
        ("theymaysublicenseandsellcopies", "they may sublicense and sell copies"),
        ("relinkitwiththelibrary", "relink it with the library"),
    ],
)
def test_segment_keeps_words_of_a_hyphen_prefix_whole(text, words) -> None:
    assert morlatch.Speller.english().segment(text) == words.split()
