"""morlatch.Speller and morlatch.ErrorModel: the error model's costs and the
word choice against brute-force references, segmentation against every
split, and sentences that pin what fix keeps and changes."""

from __future__ import annotations

import math
import re
from collections.abc import Callable

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

import morlatch
import reference
from morlatch import _engine
from morlatch._spellfix import _FURTHER_MARGIN
from morlatch.sounds import sounds_like
from morlatch.speller import _MAX_COST, _NEAR_COST, english_searches

# A small vocabulary whose words lie within a couple of edits of each other.
COUNTS = {
    "the": 500,
    "then": 120,
    "than": 90,
    "them": 80,
    "theme": 6,
    "phone": 40,
    "phase": 25,
    "fame": 30,
    "home": 60,
    "poem": 12,
    "receive": 20,
    "recipe": 15,
    "relieve": 8,
    "believe": 30,
    "spelling": 10,
    "spending": 14,
    "in": 700,
    "side": 50,
    "inside": 20,
    "a": 900,
    "cat": 45,
    "sat": 35,
}

# Pairs that teach "ph" typed as "f" and "ie" typed as "ei", in words that
# the tests below do not ask about.
PAIRS = [
    ("fysics", "physics"),
    ("fotograf", "photograph"),
    ("grafic", "graphic"),
    ("elefant", "elephant"),
    ("alfabet", "alphabet"),
    ("feild", "field"),
    ("peice", "piece"),
    ("theif", "thief"),
    ("breif", "brief"),
    ("acheive", "achieve"),
    ("hapen", "happen"),
    ("adress", "address"),
]

_letters = st.text(alphabet="aehiopnrst", min_size=0, max_size=6)


@pytest.fixture(scope="module")
def small() -> morlatch.Speller:
    return morlatch.Speller(COUNTS, model=morlatch.ErrorModel.fit(PAIRS))


@pytest.fixture(scope="module")
def english() -> morlatch.Speller:
    return morlatch.Speller.english()


# ---- the error model -------------------------------------------------------------


@settings(max_examples=300, deadline=None)
@given(typed=_letters, word=_letters)
def test_native_cost_is_the_cheapest_edit_sequence(typed: str, word: str) -> None:
    model = _fitted()
    edits = list(model.edits())
    padded = f"^{typed}$", f"^{word}$"
    banded = reference.channel_cost(edits, model.rates, *padded, band=3)
    whole = reference.channel_cost(edits, model.rates, *padded)
    got = model.cost(typed, word)
    if typed == word:
        assert got == 0.0
    else:
        assert got == pytest.approx(banded)
        assert got >= whole - 1e-9  # the band only leaves out alignments


@settings(max_examples=300, deadline=None)
@given(
    typed=_letters,
    scored=st.dictionaries(_letters, st.floats(-30, 0), max_size=12),
    limit=st.integers(0, 5),
    max_cost=st.floats(0, 25),
)
def test_ranked_is_the_best_of_every_cost(
    small, typed: str, scored: dict[str, float], limit: int, max_cost: float
) -> None:
    # The native ranking prunes by the cut each word must make; it must keep
    # what scoring every word in full and sorting keeps.
    model = small._model
    words, priors = list(scored), list(scored.values())
    costs = model.costs(typed, words)
    full = [
        (prior - cost, word, at)
        for at, (word, prior, cost) in enumerate(zip(words, priors, costs, strict=True))
        if cost <= max_cost
    ]
    want = [(at, score) for score, word, at in sorted(full, key=lambda x: (-x[0], x[1]))]
    got = model.ranked(typed, words, priors, limit, max_cost)
    assert [at for at, _ in got] == [at for at, _ in want[:limit]]
    assert [score for _, score in got] == pytest.approx([score for _, score in want[:limit]])


def test_learned_substring_edits_generalise_to_unseen_words() -> None:
    model = _fitted()
    # "ph" -> "f" and "ie" -> "ei" were seen in other words only.
    assert model.cost("fase", "phase") < model.cost("tase", "phase")
    assert model.cost("recieve", "receive") < model.cost("recoeve", "receive")
    # A multi-letter edit seen in one pair only ("dd" -> "d") is not kept.
    assert ("dd", "d") not in {(s, t) for s, t, _ in model.edits()}
    once = morlatch.ErrorModel.fit(PAIRS, min_count=1)
    assert ("dd", "d") in {(s, t) for s, t, _ in once.edits()}


def test_model_text_round_trip(tmp_path) -> None:
    model = _fitted()
    path = tmp_path / "model.tsv.gz"
    model.save(path)
    again = morlatch.ErrorModel.load(path)
    assert sorted(again.edits()) == sorted(model.edits())
    assert again.rates == pytest.approx(model.rates, abs=1e-3)
    assert again.cost("fotoe", "photo") == pytest.approx(model.cost("fotoe", "photo"), abs=1e-2)


def test_default_model_ranks_common_slips_cheaper_than_odd_ones() -> None:
    model = morlatch.ErrorModel.default()
    assert model.cost("existance", "existence") < model.cost("existonce", "existence")
    assert model.cost("adress", "address") < model.cost("addrss", "address")


# ---- words ------------------------------------------------------------------------


def test_shipped_searches_are_what_the_shipped_counts_build(english) -> None:
    # Speller.english() loads its searches prebuilt; they must be the ones
    # the shipped counts give (scripts/make_spell_data.py remakes them).
    index, sounds, sounding = english_searches()
    assert english._sounding == sounding
    assert english._index == index and english._sounds == sounds
    assert all(
        english._index.weight(word) == index.weight(word) for word in sounding[sounds_like("the")]
    )


@settings(max_examples=200, deadline=None)
@given(word=st.sampled_from(sorted(COUNTS)), seed=st.integers(0, 2**32))
def test_correct_is_the_brute_force_noisy_channel_choice(small, word: str, seed: int) -> None:
    import random

    typed = reference.typo(random.Random(seed), word, 2, letters="aehiopnrst")
    assume(typed)
    model = small._model
    # The best word one edit away (or sounding alike) stands when it is a
    # cheap slip; otherwise the words two edits away compete too.
    want = reference.noisy_channel(COUNTS, model.cost, typed, _reachable(1), _MAX_COST)
    if want is None or model.cost(typed, want) > _NEAR_COST:
        want = reference.noisy_channel(COUNTS, model.cost, typed, _reachable(2), _MAX_COST)
    assert small.correct(typed) == (typed if want is None else want)
    # Suggestions always weigh every word within two edits.
    full = reference.noisy_channel(COUNTS, model.cost, typed, _reachable(2), _MAX_COST)
    best = small.suggest(typed, 2)
    assert (best[0].word if best else None) == full


def _reachable(edits: int) -> Callable[[str, str], bool]:
    """The candidates the speller weighs: words within ``edits`` edits of
    the typed word, or sounding like it."""

    def admits(typed: str, candidate: str) -> bool:
        near = reference.osa(typed, candidate) <= edits
        sounds = (
            len(typed) > 2
            and reference.levenshtein(
                reference.sounds_like(typed), reference.sounds_like(candidate)
            )
            <= 1
        )
        return near or sounds

    return admits


# A common word with strong pairs on both sides and a rare one a letter
# away from the same slips.
CONTEXT_COUNTS = {
    "the": 1000,
    "a": 900,
    "in": 700,
    "spending": 500,
    "sending": 40,
    "pending": 30,
    "spewing": 3,
    "spelling": 2,
}
CONTEXT_PAIRS = {("the", "spending"): 800, ("spending", "a"): 450, ("in", "the"): 300}


@settings(max_examples=300, deadline=None)
@given(
    typed=st.text(alphabet="adegilnpsw", min_size=2, max_size=9),
    before=st.sampled_from(sorted(CONTEXT_COUNTS)),
    after=st.sampled_from(sorted(CONTEXT_COUNTS)),
)
# "spelling" is a cheap slip away, "spending" two but far likelier there.
@example(typed="spedling", before="the", after="a")
def test_fix_chooses_the_brute_force_choice_in_context(typed: str, before: str, after: str) -> None:
    if not _CONTEXTUAL:
        _CONTEXTUAL.append(morlatch.Speller(CONTEXT_COUNTS, bigrams=CONTEXT_PAIRS, model=_fitted()))
    speller = _CONTEXTUAL[0]
    assume(typed not in CONTEXT_COUNTS)
    fixed = speller.fix(f"{before} {typed} {after}").split(" ")
    # Splits, joins and the other rules of fix are tested on their own.
    assume(len(fixed) == 3 and fixed[0] == before and fixed[2] == after)
    model, pairs = speller._model, speller._pairs
    want = reference.in_context_choice(
        CONTEXT_COUNTS,
        pairs,
        model.cost,
        typed,
        before,
        after,
        _reachable(1),
        _reachable(2),
        _NEAR_COST,
        _MAX_COST,
        _FURTHER_MARGIN,
    )
    # A far guess seen beside neither neighbour is taken for the writer's word.
    if want is not None and reference.osa(typed, want) > 1 and model.cost(typed, want) > _NEAR_COST:
        want = want if (before, want) in pairs or (want, after) in pairs else None
    if want is None:
        assert fixed[1] == typed
        return

    def score(word: str) -> float:
        return reference.context_score(word, before, after, CONTEXT_COUNTS, pairs) - model.cost(
            typed, word
        )

    # Words tied in score may come either way.
    assert fixed[1] in CONTEXT_COUNTS and score(fixed[1]) == pytest.approx(score(want))


@settings(max_examples=50, deadline=None)
@given(
    words=st.lists(
        st.sampled_from(sorted(COUNTS)) | _letters | st.sampled_from(["Fone", "RECIEVE", ""]),
        max_size=12,
    ),
    workers=st.sampled_from([None, 1, 3]),
)
def test_correct_many_is_correct_for_each_word(small, words: list[str], workers) -> None:
    assert small.correct_many(words, workers=workers) == [small.correct(word) for word in words]


_ENGLISH_WORDS = st.sampled_from(
    "receive separate definitely necessary occasion government beginning believe "
    "embarrass tomorrow colleague restaurant physical knowledge thought poem".split()
)


def _typo_of(word_seed_edits: tuple[str, int, int]) -> str:
    import random

    word, seed, edits = word_seed_edits
    return reference.typo(random.Random(seed), word, edits, swaps=True)


_TYPED = st.tuples(_ENGLISH_WORDS, st.integers(0, 2**32), st.integers(1, 3)).map(
    _typo_of
) | st.text(alphabet="abcdefghijklmnopqrstuvwxyz", min_size=2, max_size=6)


@settings(max_examples=150, deadline=None)
@given(typed=_TYPED)
@example(typed="cov")
def test_native_correct_is_the_ranked_pipeline(english, typed: str) -> None:
    # correct runs in one native call; suggest's context-free ranking gathers
    # and weighs the same candidates step by step: the best word must agree,
    # truncated candidate lists and the near-word gate included, whatever
    # number of suggestions is asked for.
    assume(typed and typed not in english)
    best = english.correct(typed)
    for limit in (1, 2, 5):
        found = english.suggest(typed, limit)
        assert best == (found[0].word if found else typed), limit


@settings(max_examples=20, deadline=None)
@given(
    words=st.lists(_ENGLISH_WORDS | st.text(alphabet="aeinrst", max_size=9), max_size=40),
    workers=st.sampled_from([None, 2, 4]),
)
def test_english_correct_many_on_threads_is_correct(english, words: list[str], workers) -> None:
    assert english.correct_many(words, workers=workers) == [english.correct(w) for w in words]


@pytest.mark.parametrize(
    ("typed", "fixed"),
    [("recieve", "receive"), ("Recieve", "Receive"), ("RECIEVE", "RECEIVE"), ("fone", "phone")],
)
def test_correct_keeps_the_case_pattern(small, typed: str, fixed: str) -> None:
    assert small.correct(typed) == fixed
    assert small.suggest(typed, 1)[0].word == fixed


def test_counts_up_to_the_largest_u64() -> None:
    speller = morlatch.Speller({"the": 2**64 - 1, "then": 5, "The": 3})
    assert speller.correct("thw") == "the"


def test_suggest_ranks_by_score_and_puts_a_known_word_first(small) -> None:
    found = small.suggest("then", 4)
    assert found[0].word == "then"
    scores = [hit.score for hit in found[1:]]
    assert scores == sorted(scores, reverse=True)
    assert small.suggest("then", 0) == []


# ---- segmentation ---------------------------------------------------------------------


# Words known but not counted, among them plurals of counted words commoner
# ("phones", "thens") or rarer ("themes") than the rarest counted word, and
# plurals the counts lack.
SEGMENT_COUNTS = COUNTS | {"he": 0, "one": 0, "it": 0, "phones": 0, "themes": 0, "thens": 0}
_SEGMENT_WORDS = [*sorted(SEGMENT_COUNTS), "sides", "phones", "themes", "recipes"]
_SEGMENT_WORDS += ["believeth", "receiveth", "catteth", "sitteth", "ineth"]
_SEGMENT_WORDS += ["believest", "receivest", "sattest", "inest"]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(_SEGMENT_WORDS), min_size=1, max_size=3))
def test_segment_is_the_likeliest_split(words: list[str]) -> None:
    speller = _segmenter()
    text = "".join(words)[:12]
    best = max(
        reference.segmentation_score(pieces, SEGMENT_COUNTS, {})
        for pieces in reference.segmentations(text)
    )
    got = speller.segment(text)
    assert "".join(got) == text
    assert reference.segmentation_score(got, SEGMENT_COUNTS, {}) == pytest.approx(best)


@pytest.mark.parametrize("word", sorted(set(_SEGMENT_WORDS)))
def test_segment_scores_each_word_as_the_reference(word: str) -> None:
    count = reference.segment_count(word, SEGMENT_COUNTS)
    total = sum(SEGMENT_COUNTS.values()) + len(SEGMENT_COUNTS)
    expected = (
        reference.unknown_piece_score(word, SEGMENT_COUNTS)
        if count is None
        else math.log((count + 1) / total)
    )
    assert _segmenter()._word_score(word) == pytest.approx(expected)


PAIRS_SEEN = {
    ("in", "side"): 30,
    ("the", "cat"): 40,
    ("cat", "sat"): 25,
    ("a", "cat"): 10,
    ("the", "theme"): 2,
    ("then", "a"): 9,
    ("inside", "the"): 12,
}


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(sorted(COUNTS)), min_size=1, max_size=4))
def test_segment_with_word_pairs_is_the_likeliest_split(words: list[str]) -> None:
    speller = _paired()
    # Eight letters at most: every split that ends at a place is carried on.
    text = "".join(words)[:8]
    best = reference.best_segmentation_score(text, COUNTS, PAIRS_SEEN)
    got = speller.segment(text)
    assert "".join(got) == text
    assert reference.segmentation_score(got, COUNTS, PAIRS_SEEN) == pytest.approx(best)


@pytest.mark.parametrize(
    ("text", "words"),
    [
        ("dontgo", ["dont", "go"]),
        ("itisnthere", ["it", "isnt", "here"]),
    ],
)
def test_segment_knows_words_written_without_their_apostrophe(text, words) -> None:
    counts = {"don't": 50, "do": 400, "go": 300, "it": 900, "isn't": 40, "is": 800, "here": 90}
    counts |= {"there": 300, "nt": 1, "n": 5, "t": 5}
    assert morlatch.Speller(counts).segment(text) == words


@pytest.mark.parametrize(
    ("text", "words"),
    [
        # "o" is known but uncounted: rarer than any counted word, yet far
        # likelier than letters glued to an unknown word.
        ("ostandsforomni", ["o", "stands", "for", "omni"]),
        # A plural the counts lack is not its stem and a stray letter.
        ("theencodingsare", ["the", "encodings", "are"]),
        # ... nor is a possessive of one.
        ("theencoding'sare", ["the", "encoding's", "are"]),
    ],
)
def test_segment_counts_uncounted_and_plural_words(text, words) -> None:
    counts = {"the": 10**11, "for": 10**10, "are": 10**10, "stands": 10**9, "encoding": 10**8}
    counts |= {"o": 0, "s": 0}
    assert morlatch.Speller(counts).segment(text) == words


# ---- text -------------------------------------------------------------------------------


@settings(max_examples=150, deadline=None)
@given(st.text(st.characters() | st.characters(categories=["Cs", "Cc"]), max_size=40))
@example("A'A")  # a correction dropping the typed apostrophe
def test_any_text_is_checked_without_error_and_spans_point_at_words(small, text: str) -> None:
    for found in small.check(text):
        assert text[found.start : found.end] == found.word
    fixed = small.fix(text)
    # Outside the words, nothing changes but the spaces a join or split moves.
    assert re.sub(r"[^\W\d_]+|\s", "", fixed) == re.sub(r"[^\W\d_]+|\s", "", text)


@pytest.mark.parametrize(
    ("text", "fixed"),
    [
        ("Teh cat, I beleive, sat.", "The cat, I believe, sat."),
        ('He said: "I recieved it!"', 'He said: "I received it!"'),
        ("THE QUICK BRWON FOX", "THE QUICK BROWN FOX"),
        (
            "Mail bob@exampel.com or see http://exampel.com/speling now.",
            "Mail bob@exampel.com or see http://exampel.com/speling now.",
        ),
        ("Version 3.2 of my_speling_var costs 40kg.", "Version 3.2 of my_speling_var costs 40kg."),
        ("Yesterday Mr. Smithers met Kowalczyk.", "Yesterday Mr. Smithers met Kowalczyk."),
        ("The farmer's wife don't know.", "The farmer's wife don't know."),
        ("You may sublicense or relicense it.", "You may sublicense or relicense it."),
        ("You can't see it, so tell Vim which.", "You can't see it, so tell Vim which."),
        ("a well-knwon  thing\tis  here.", "a well-known  thing\tis  here."),
        ("We went to theend of the road.", "We went to the end of the road."),
        ("We did it with out help.", "We did it without help."),
        # A lone letter, or two words written apart twice, are the writer's.
        (
            "Now you have text in the f, l and b registers.",
            "Now you have text in the f, l and b registers.",
        ),
        ("Now, I con think of it.", "Now, I can think of it."),
        (
            "A run of key strokes maps to another run of key strokes.",
            "A run of key strokes maps to another run of key strokes.",
        ),
        ("It was a beauti ful day.", "It was a beautiful day."),
        # The spelling convention followed is the one nearer what was typed.
        ("My favorit book is here.", "My favorite book is here."),
        ("My favourit book is here.", "My favourite book is here."),
        # Short words the counts lack are fragments more often than words.
        ("You changed th files and the date.", "You changed the files and the date."),
        ("Copy nd distribute it.", "Copy and distribute it."),
        # A real word never seen between its neighbours yields to one that is
        # far likelier there; one seen there stays.
        ("They wore in the house.", "They were in the house."),
        (
            "There should be a hint bout what went wrong.",
            "There should be a hint about what went wrong.",
        ),
        (
            "Vim can store the swap fie in several places.",
            "Vim can store the swap file in several places.",
        ),
        ("He wore a hat.", "He wore a hat."),
        ("Pick a color scheme.", "Pick a color scheme."),
        # A ligature reads as its letters, and a word that is right keeps it.
        ("The \ufb01eld is wide.", "The \ufb01eld is wide."),
        (
            "The \ufb01eld is wide, \ufb01ne and \ufb02at.",
            "The \ufb01eld is wide, \ufb01ne and \ufb02at.",
        ),
        # A short word set off by punctuation is an interjection, not a slip.
        ("It is er, a test.", "It is er, a test."),
        ("Well, ah, no.", "Well, ah, no."),
        # A word run into a name or "I" is split, and so is a word that
        # stands before a noun; another run into an ordinary word is taken
        # for code.
        ("He said andI went.", "He said and I went."),
        ("She went toLondon.", "She went to London."),
        ("Call getLine here.", "Call getLine here."),
        ("Covered by thisLicense only.", "Covered by this License only."),
        ("Set myList and isEmpty.", "Set myList and isEmpty."),
        # So is a capitalised word before a noun or a title run into a name.
        (
            "AndSamuel sent them, and SirThomas spoke.",
            "And Samuel sent them, and Sir Thomas spoke.",
        ),
        ("Set FileType, then Mr MacDonald came.", "Set FileType, then Mr MacDonald came."),
        # A slipped space weighs against a slip of a letter by the odds of
        # the two: "a" run into a word is no extra letter.
        ("Not atolerable woman.", "Not a tolerable woman."),
        ("It was thier house.", "It was their house."),
        # A pair commoner than the word its halves make stays two words.
        ("It was a long day.", "It was a long day."),
        ("He went on to the next.", "He went on to the next."),
        ("Then set up the box.", "Then set up the box."),
    ],
)
def test_fix_sentences(english, text: str, fixed: str) -> None:
    assert english.fix(text) == fixed


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(sorted(COUNTS)), min_size=3, max_size=3))
def test_word_pairs_count_in_any_unit(words: list[str]) -> None:
    # Pair counts taken from another corpus can be many times the word
    # counts; the likelihood of a word between two others does not depend
    # on their unit.
    scores = []
    for unit in (50, 5000):
        pairs = {pair: count * unit for pair, count in PAIRS_SEEN.items()}
        speller = morlatch.Speller(COUNTS, bigrams=pairs, model=_fitted())
        scores.append(speller._context(words[1], words[0], words[2]))
    assert scores[0] == pytest.approx(scores[1])


@given(st.text(alphabet="abceilnorstuyz", min_size=0, max_size=12))
def test_spelling_variants_swap_one_ending_and_back(word: str) -> None:
    from morlatch._spellfix import _variants

    for variant in _variants(word):
        assert variant != word and variant[:2] == word[:2]
        assert word in _variants(variant)


def test_check_lists_misspelt_words_with_suggestions(english) -> None:
    found = english.check("I recieved teh letter from Smithers.")
    assert [(f.start, f.end, f.word) for f in found] == [(2, 10, "recieved"), (11, 14, "teh")]
    assert found[0].suggestions[0] == "received"
    assert found[1].suggestions[0] == "the"


# ---- arguments --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "error", "name"),
    [
        (lambda: morlatch.Speller(["word"]), TypeError, "counts"),
        (lambda: morlatch.Speller({"word": 1.5}), TypeError, "counts"),
        (lambda: morlatch.Speller({"word": -1}), ValueError, "counts"),
        (lambda: morlatch.Speller({"two words": 1}), ValueError, "counts"),
        (lambda: morlatch.Speller({"word": 2**64}), ValueError, "counts"),
        (lambda: morlatch.Speller({"a": 1}, bigrams={"a": 1}), TypeError, "bigrams"),
        (lambda: morlatch.Speller({"a": 1}, model="default"), TypeError, "model"),
        (lambda: morlatch.ErrorModel.fit([("a",)]), TypeError, "pairs"),
        (lambda: morlatch.ErrorModel.fit([("a", "a")]), ValueError, "pairs"),
        (lambda: morlatch.Speller({"a": 1}).correct_many(["b"], workers=0), ValueError, "workers"),
        (lambda: morlatch.Speller({"a": 1}).correct_many(["b"], workers="2"), TypeError, "workers"),
    ],
)
def test_bad_arguments_name_themselves(call, error, name: str) -> None:
    with pytest.raises(error, match=name):
        call()


@pytest.mark.parametrize(
    ("method", "args", "error", "name"),
    [
        ("correct", (b"word",), TypeError, "word"),
        ("correct_many", ("word",), TypeError, "words"),
        ("correct_many", ([b"word"],), TypeError, "words"),
        ("suggest", ("word", "5"), TypeError, "limit"),
        ("suggest", ("word", -1), ValueError, "limit"),
        ("check", (None,), TypeError, "text"),
        ("fix", (3,), TypeError, "text"),
        ("segment", ([],), TypeError, "text"),
    ],
)
def test_bad_method_arguments_name_themselves(small, method, args, error, name: str) -> None:
    with pytest.raises(error, match=name):
        getattr(small, method)(*args)


@pytest.mark.parametrize(
    ("at", "value", "name"),
    [
        (0, "search", "words"),
        (4, (1, 2), "model"),
        (5, [("k", ["word"])], "sounding"),
        (2, None, "sounds"),
        (6, {"word": "1"}, "counts"),
        (7, "0.5", "log_total"),
        (8, (24, 8, 5.0), "limits"),
    ],
)
def test_native_corrector_arguments_name_themselves(small, at: int, value, name: str) -> None:
    args = [
        small._index._search,
        small._index._table,
        small._sounds._search,
        small._sounds._table,
        (7000, 4250, "aeiou"),
        {},
        {},
        0.0,
        (24, 8, 5.0, 18.0, 40, 3),
    ]
    args[at] = value
    with pytest.raises((TypeError, ValueError), match=name):
        _engine.corrector(*args)


def test_native_corrector_refuses_a_count_beyond_u64(small) -> None:
    # The package checks counts first; the engine still refuses what it
    # cannot hold rather than wrap it around.
    args = [small._index._search, small._index._table, small._sounds._search]
    with pytest.raises(OverflowError):
        _engine.corrector(
            *args, small._sounds._table, (7000, 4250, "aeiou"), {}, {"w": 2**64}, 0.0,
            (24, 8, 5.0, 18.0, 40, 3),
        )  # fmt: skip


def test_correct_from_python_threads_is_correct(english) -> None:
    # correct runs without the interpreter's lock: threads share one speller.
    import random
    from concurrent.futures import ThreadPoolExecutor

    rng = random.Random(5)
    words = [
        reference.typo(rng, word, rng.randint(1, 3), swaps=True)
        for word in "receive separate necessary government tomorrow knowledge".split() * 20
    ]
    want = [english.correct(word) for word in words]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(english.correct, words)) == want


# ---- helpers ------------------------------------------------------------------------------

_MODEL: list[morlatch.ErrorModel] = []


def _paired() -> morlatch.Speller:
    if not _PAIRED:
        _PAIRED.append(morlatch.Speller(COUNTS, bigrams=PAIRS_SEEN, model=_fitted()))
    return _PAIRED[0]


_PAIRED: list[morlatch.Speller] = []
_CONTEXTUAL: list[morlatch.Speller] = []


def _segmenter() -> morlatch.Speller:
    if not _SEGMENTER:
        _SEGMENTER.append(morlatch.Speller(SEGMENT_COUNTS, model=_fitted()))
    return _SEGMENTER[0]


_SEGMENTER: list[morlatch.Speller] = []


def _fitted() -> morlatch.ErrorModel:
    if not _MODEL:
        _MODEL.append(morlatch.ErrorModel.fit(PAIRS))
    return _MODEL[0]


def test_with_model_reads_text_as_the_speller_it_came_from(english) -> None:
    # The same model again: every rule (real-word slips in context, names,
    # splits, segmenting) must read text exactly as the original does.
    again = english.with_model(morlatch.ErrorModel.default())
    text = (
        "I want too go their tomorow and meat him at the statoin. "
        "Mr Darcy said thay wood come, butthen he was in side."
    )
    assert again.fix(text) == english.fix(text)
    assert again.check(text) == english.check(text)
    assert again.segment("thequickbrownfoxjumpsoverthelazydog") == english.segment(
        "thequickbrownfoxjumpsoverthelazydog"
    )
