"""Segmentation with words the counts hold as 0 that a closed list holds
("ye", "mr"), counted as the rarest counted word of their list, and with
names after a shortened title, scored at least as their letters alone:
checked against every split of short texts."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morlatch
import reference

COUNTS = {
    "the": 9000,
    "and": 8000,
    "in": 6000,
    "you": 5000,
    "shall": 900,
    "thou": 300,
    "st": 700,
    "mrs": 400,
    "capt": 60,
    "king": 500,
    "knight": 200,
    "hall": 150,
    "ye": 0,
    "mr": 0,
    "dr": 0,
    "ley": 0,
}
# Names no count holds, and pieces a title's letters begin.
_PIECES = sorted(COUNTS) + ["knightley", "geba", "ferrars", "ruct", "sferrars"]
PAIRS = [
    {},
    {("the", "king"): 300, ("ye", "shall"): 50, ("mrs", "the"): 20, ("you", "shall"): 400},
]


@pytest.mark.parametrize("pairs", PAIRS, ids=["unpaired", "paired"])
@settings(max_examples=60, deadline=None)
@given(words=st.lists(st.sampled_from(_PIECES), min_size=1, max_size=3))
def test_segment_with_closed_lists_and_titles_is_the_likeliest_split(pairs, words) -> None:
    text = "".join(words)[:12]
    got = morlatch.Speller(COUNTS, bigrams=pairs).segment(text)
    assert "".join(got) == text
    best = reference.best_segmentation_score(text, COUNTS, pairs)
    assert reference.segmentation_score(got, COUNTS, pairs) == pytest.approx(best)


@pytest.mark.parametrize(
    ("text", "words"),
    [
        ("goyeandsee", ["go", "ye", "and", "see"]),
        ("mrknightleycame", ["mr", "knightley", "came"]),
    ],
)
def test_shipped_segmentation_of_old_pronouns_and_titled_names(text, words) -> None:
    assert morlatch.Speller.english().segment(text) == words
