"""morlatch.Speller on closed compounds and case: the shipped counts' repair
of a compound their source cut in two, segmentation of compounds and of
pairs that stay apart, joins of a short uncounted word, and the case
pattern of letters that have no one-letter capital."""

from __future__ import annotations

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import morlatch
import reference
from morlatch._spelldata import _pair_scale, _rejoin_source_splits
from morlatch._spellfix import _JOIN_MARGIN
from morlatch.spelltext import with_case


@pytest.fixture(scope="module")
def english() -> morlatch.Speller:
    return morlatch.Speller.english()


@pytest.mark.parametrize("text", ["copy ot to the disk", "Copy ot to the disk."])
def test_a_short_uncounted_word_is_no_half_of_a_join(english, text: str) -> None:
    # "ot" is known but never counted: beside "to" it is a slip ("it",
    # "or"), and "otto" is far rarer than any reading of the two words.
    assert len(english.fix(text).split()) == len(text.split())


@pytest.mark.parametrize(
    ("pattern", "word", "cased"),
    [
        # "\u00df" has no one-letter capital: the word is in capitals.
        ("STRA\u00dfE", "strafe", "STRAFE"),
        ("STRA\u00dfE", "stra\u00dfe", "STRA\u00dfE"),
        ("Stra\u00dfe", "strasse", "Strasse"),
        ("\ufb01ELD", "field", "FIELD"),
        ("\u00dfa", "sa", "sa"),
        ("A", "word", "Word"),
    ],
)
def test_case_pattern_of_letters_without_a_capital(pattern: str, word: str, cased: str) -> None:
    assert with_case(pattern, word) == cased


@pytest.mark.parametrize(
    ("text", "words"),
    [
        ("icannotgo", ["i", "cannot", "go"]),
        ("youcannotbeserious", ["you", "cannot", "be", "serious"]),
        ("hecanreadandnotwrite", ["he", "can", "read", "and", "not", "write"]),
        ("itwasalongday", ["it", "was", "a", "long", "day"]),
        ("hewentontothenext", ["he", "went", "on", "to", "the", "next"]),
        ("setupthebox", ["set", "up", "the", "box"]),
    ],
)
def test_segment_closed_compounds_by_the_shipped_counts(english, text, words) -> None:
    assert english.segment(text) == words


@settings(max_examples=60, deadline=None)
@given(
    closed=st.integers(0, 10**6),
    together=st.integers(1, 10**9),
    unit=st.sampled_from([1, 7, 40]),
)
def test_source_splits_swap_the_counts_of_both_spellings(closed, together, unit) -> None:
    # Where the pair is the commoner spelling, the closed form takes its
    # occurrences and the pair the closed form's (on the word scale), and
    # the closed form's neighbours are its halves' in the share of the
    # halves' occurrences the pair holds; otherwise nothing changes.
    counts = {"can": 10**9, "not": 2 * 10**9, "cannot": closed, "i": 10**9, "be": 10**9}
    pairs = {("can", "not"): together * unit, ("i", "can"): 10**8 * unit}
    pairs |= {("not", "be"): 10**8 * unit, ("i", "not"): unit, ("can", "be"): 10**8 * unit}
    scale = _pair_scale(pairs, counts)
    was = dict(pairs)
    _rejoin_source_splits(counts, pairs)
    pair = together * unit / scale
    if pair <= closed:
        assert counts["cannot"] == closed and pairs == was
        return
    assert counts["cannot"] == pytest.approx(pair, abs=1)
    assert pairs[("can", "not")] / scale == pytest.approx(max(closed, unit / scale), abs=1)
    for new, old, half in (
        (("i", "cannot"), ("i", "can"), "can"),
        (("cannot", "be"), ("not", "be"), "not"),
    ):
        want = was[old] * min(1.0, pair / 10**9 / (2 if half == "not" else 1))
        assert pairs.get(new, 0) == (pytest.approx(want, abs=1) if round(want) >= unit else 0)


@settings(max_examples=60, deadline=None)
@given(
    counts=st.lists(st.integers(1, 10**6), min_size=4, max_size=4),
    together=st.one_of(st.none(), st.integers(1, 10**6)),
    after=st.integers(1, 10**6),
)
# The joined word outweighs the two apart by more than the slip's margin,
# but the pairs saw them apart.
@example(counts=[10**5, 10**5, 10**6, 10**6], together=10**4, after=10**6)
@pytest.mark.parametrize(("first", "second"), [("every", "body"), ("with", "out")])
def test_two_known_words_are_joined_only_if_far_likelier_as_one(
    first: str, second: str, counts: list[int], together: int | None, after: int
) -> None:
    joined = first + second
    words = dict(zip((first, second, joined, "was"), counts, strict=True))
    pairs = {(joined, "was"): after, (second, "was"): 1}
    if together is not None:
        pairs[first, second] = together
    speller = morlatch.Speller(words, bigrams=pairs)
    one = reference.joined_as_written(
        speller._counts, speller._pairs, first, second, "was", _JOIN_MARGIN
    )
    assert speller.fix(f"{first} {second} was") == (
        f"{joined} was" if one else f"{first} {second} was"
    )


@pytest.mark.parametrize(
    ("text", "fixed"),
    [
        # Two plain words run together are a compound the counts lack.
        ("Set the filetype option for this buffer.", "Set the filetype option for this buffer."),
        ("Open the quickfix window first.", "Open the quickfix window first."),
        ("The scrollbar is on the left.", "The scrollbar is on the left."),
        ("Set the autoread option.", "Set the autoread option."),
        # A word of a closed class, an inflected or adverbial first part or
        # a verb's inflected form for a head is a slipped space.
        ("You can addanother line.", "You can add another line."),
        ("It is covered underthis License.", "It is covered under this License."),
        ("the programremains free.", "the program remains free."),
        ("No changemade it slower.", "No change made it slower."),
        ("The tabs werealso removed.", "The tabs were also removed."),
        ("Write the existingfile back.", "Write the existing file back."),
        ("It has interactiveinterfaces.", "It has interactive interfaces."),
        ("Every extensionused here is listed.", "Every extension used here is listed."),
        ("He gaveunto them bread.", "He gave unto them bread."),
        # A name run into what a person does is split; a name of two parts is kept.
        ("And Adamcalled his wife Eve.", "And Adam called his wife Eve."),
        ("Josephgave them wagons.", "Joseph gave them wagons."),
        ("He went to Hartfield with Emma Woodhouse.", "He went to Hartfield with Emma Woodhouse."),
    ],
)
def test_an_unknown_compound_is_kept_and_a_run_on_split(english, text: str, fixed: str) -> None:
    assert english.fix(text) == fixed
