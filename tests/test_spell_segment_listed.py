"""Segmentation with the words of a larger list that the counts lack: each
counts as the counts' own tail makes it (checked against every split of
short texts), and the shipped list holds only words the counts and the word
list lack."""

from __future__ import annotations

import gzip
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morlatch
import reference
from morlatch._spelldata import _DATA, SEGMENT_WORDS, _english_counts

COUNTS = {
    "wood": 900,
    "house": 1200,
    "hart": 40,
    "field": 700,
    "the": 9000,
    "in": 6000,
    "a": 8000,
    "at": 3000,
    "sub": 30,
    "license": 90,
    "lice": 25,
    "ns": 20,
    "he": 0,
    "or": 0,
}
# Names and closed compounds the counts cut in two, and a word that glues
# two counted words ("atone") or none; in two lists, the smaller first (the
# second repeats a word of the first).
LISTS = [(["woodhouse", "sublicense", "atone"], 5), (["hartfield", "heor", "zyx", "atone"], 0)]
LISTED = sorted({word for words, _ in LISTS for word in words})
# Their plurals and possessives count as a counted word's do.
_PIECES = sorted(COUNTS) + LISTED + ["woodhouses", "hartfield's", "sublicenses"]


# Word pairs: none; "wood house" seen, so "woodhouse" is no closed compound
# of unseen halves; "wood" seen only after a word, so the unseen pair "wood
# house" takes only the share of "wood" that goes on to a word.
PAIRS = [
    {},
    {("wood", "house"): 400, ("the", "house"): 300, ("in", "the"): 2000},
    {("the", "wood"): 50, ("in", "the"): 2000},
]


def _listing(pairs: dict[tuple[str, str], int]) -> morlatch.Speller:
    key = tuple(sorted(pairs))
    if key not in _SPELLERS:
        speller = morlatch.Speller(COUNTS, bigrams=pairs)
        speller._setup_segment(*LISTS)
        _SPELLERS[key] = speller
    return _SPELLERS[key]


_SPELLERS: dict[tuple[tuple[str, str], ...], morlatch.Speller] = {}


@pytest.fixture(scope="module")
def english() -> morlatch.Speller:
    return morlatch.Speller.english()


@pytest.mark.parametrize("pairs", PAIRS, ids=["unpaired", "paired", "followed"])
@settings(max_examples=80, deadline=None)
@given(words=st.lists(st.sampled_from(_PIECES), min_size=1, max_size=3))
def test_segment_with_listed_words_is_the_likeliest_split(pairs, words: list[str]) -> None:
    listed = reference.listed_counts(COUNTS, LISTS)
    text = "".join(words)[:12]
    best = reference.best_segmentation_score(text, COUNTS, pairs, listed)
    got = _listing(pairs).segment(text)
    assert "".join(got) == text
    assert reference.segmentation_score(got, COUNTS, pairs, listed) == pytest.approx(best)


@pytest.mark.parametrize(
    ("pairs", "text", "words"),
    [
        # Listed, and its halves were never seen side by side: one word,
        # though the list's count alone is below the halves'.
        (PAIRS[2], "woodhouse", ["woodhouse"]),
        # The pairs saw the halves side by side: the open pair is likelier.
        (PAIRS[1], "woodhouse", ["wood", "house"]),
    ],
)
def test_listed_closed_compound_against_its_halves(pairs, text, words) -> None:
    assert _listing(pairs).segment(text) == words


@settings(max_examples=50, deadline=None)
@given(
    st.dictionaries(
        st.text("abcdef", min_size=1, max_size=4), st.integers(0, 10**6), min_size=1, max_size=30
    ),
    st.lists(
        st.tuples(
            st.lists(st.text("ghij", min_size=2, max_size=5), max_size=20), st.integers(0, 10**6)
        ),
        max_size=3,
    ),
)
def test_listed_words_count_as_the_counts_tail_makes_them(counts, lists) -> None:
    speller = morlatch.Speller(counts)
    speller._setup_segment(*((frozenset(words), size) for words, size in lists))
    expected = reference.listed_counts(counts, lists)
    assert speller._listed == pytest.approx(expected)
    # Below every counted word: the lists hold the words the counts were cut from.
    if expected and any(counts.values()):
        assert max(expected.values()) < min(filter(None, counts.values()))


def test_shipped_listed_words_are_new_to_the_speller(english) -> None:
    with gzip.open(os.path.join(_DATA, SEGMENT_WORDS), "rt", encoding="ascii") as stream:
        lines = stream.read().split()
    starts = [at for at, line in enumerate(lines) if line.startswith("=")]
    assert starts[0] == 0
    shipped: list[str] = []
    for start, end in zip(starts, [*starts[1:], len(lines)], strict=True):
        words = lines[start + 1 : end]
        assert words == sorted(set(words))
        assert int(lines[start][1:]) >= len(words)
        shipped += words
    assert len(shipped) == len(set(shipped))
    known = _english_counts()
    assert not [word for word in shipped if word in known or not word.isalpha()]
    assert english._listed.keys() == set(shipped)
    # The smaller, commoner lists' words count for more.
    counts = [english._listed[lines[start + 1]] for start in starts if start + 1 not in starts]
    assert counts == sorted(counts, reverse=True)
    # fix and correct know nothing of them: an unknown word stays unknown.
    assert all(word not in english for word in shipped[:: max(1, len(shipped) // 200)])
