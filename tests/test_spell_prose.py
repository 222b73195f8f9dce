"""Speller.fix on prose: the rules by which a word is read as the writer's
own rather than a slip: a known word the text repeats, a word of the old
register, a capitalised word at a sentence's start whose correction would
be a name or mid-sentence whose correction would be a closed-class word,
and a far guess no neighbour backs; a word spelt both sides of the
Atlantic in one text; and a title mistyped before a name."""

from __future__ import annotations

import math

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

import morlatch
import reference
from morlatch._spelldata import _NEAR_COST
from morlatch._spellfix import _CONTEXT_EVIDENCE, _NAME_EVIDENCE, _REAL_WORD_MARGIN
from morlatch.spelltext import TITLES, with_case

# "tho" is a rare word one letter from "the", which the pairs expect
# between "in" and "house": alone, it reads as a slip.
_COUNTS = {"the": 5000, "in": 3000, "house": 800, "a": 4000, "of": 4500, "and": 4200}
_PAIRS = {("in", "the"): 2000, ("the", "house"): 500, ("a", "house"): 100, ("of", "the"): 3000}
_SPELLERS: dict[int, morlatch.Speller] = {}


@pytest.fixture(scope="module")
def english() -> morlatch.Speller:
    return morlatch.Speller.english()


@settings(max_examples=60, deadline=None)
@given(times=st.integers(1, 4), filler=st.integers(0, 3000), count=st.integers(1, 6))
@example(times=2, filler=0, count=3)  # far more often than by chance: the writer's
@example(times=2, filler=3000, count=6)  # about as often as by chance: a slip
def test_a_known_word_the_text_repeats_is_questioned_only_if_chance_explains_it(
    times: int, filler: int, count: int
) -> None:
    counts = dict(_COUNTS, tho=count)
    if count not in _SPELLERS:
        _SPELLERS[count] = morlatch.Speller(counts, bigrams=_PAIRS)
    speller = _SPELLERS[count]
    assume(speller.fix("in tho house") == "in the house")
    # Words set apart by punctuation have no neighbours to question them by.
    text = "; ".join(["in tho house"] * times) + ". " + "a. " * filler
    size = 3 * times + filler
    expected = size * count / (sum(counts.values()) + len(counts))
    chance = reference.poisson_tail(times, expected)
    writers = times >= 2 and chance < math.exp(-_REAL_WORD_MARGIN)
    assert speller.fix(text) == (text if writers else text.replace("tho", "the")), chance


def _names(english: morlatch.Speller) -> list[str]:
    """Names the shipped counts hold (with a capital) that are words too."""
    counts = english._counts
    return sorted(w for w in english._names if w.isalpha() and len(w) >= 5 and counts.get(w))


@settings(max_examples=80, deadline=None)
@given(at=st.integers(0, 10**6), seed=st.integers(0, 2**32))
def test_a_capitalised_word_starting_a_sentence_is_not_made_a_name_without_evidence(
    english: morlatch.Speller, at: int, seed: int
) -> None:
    import random

    names = _names(english)
    name = names[at % len(names)]
    typed = reference.typo(random.Random(seed), name, 1)
    assume(typed and typed.isalpha() and typed not in english)
    # A comma after it: no neighbour to have been seen beside the name.
    fixed = english.fix(f"{typed.capitalize()}, and so it was.").split(",")[0].lower()
    if fixed != typed and fixed in english._names:
        assert english._model.cost(typed, fixed) <= _NAME_EVIDENCE, (typed, fixed)


@settings(max_examples=300, deadline=None)
@given(times=st.integers(0, 3000), expected=st.floats(0, 3000))
@example(times=3000, expected=2000.0)  # powers that overflow a float
def test_chance_of_recurring_is_the_poisson_tail(times: int, expected: float) -> None:
    from morlatch.spelltext import chance_of_recurring

    want = reference.poisson_tail(times, expected)
    assert chance_of_recurring(times, expected) == pytest.approx(want, rel=1e-9, abs=1e-12)


@settings(max_examples=120, deadline=None)
@given(
    title=st.sampled_from(TITLES),
    seed=st.integers(0, 2**32),
    name=st.sampled_from(["Norris", "Elton's", "Qwzxv"]),
    opening=st.sampled_from(["", "It was "]),
)
@example(title="mrs", seed=0, name="Norris", opening="")
def test_an_unknown_word_where_a_title_stands_is_the_cheapest_title(
    english: morlatch.Speller, title: str, seed: int, name: str, opening: str
) -> None:
    import random

    typed = reference.typo(random.Random(seed), title, 1 + seed % 2)
    if seed == 0:
        typed = "mrss"
    assume(len(typed) >= 2 and typed.isalpha() and typed not in english)
    word = typed.capitalize()
    want = reference.title_slip(english._model.cost, typed, TITLES, _CONTEXT_EVIDENCE)
    fixed = english.fix(f"{opening}{word}. {name} spoke.")
    # Before an ordinary word the full stop ends a sentence: no title there,
    # and the word is corrected as any other would be.
    elsewhere = english.fix(f"{opening}{word}. Then spoke.")
    assert fixed.split(".")[1:] == [f" {name} spoke", ""]
    got = fixed.split(".")[0]
    if want is not None:
        assert got == f"{opening}{want.capitalize()}", (typed, want)
    else:
        assert got == elsewhere.split(".")[0], typed


@pytest.mark.parametrize(
    "text",
    [
        "Mrss. Norris came; Mrss.  Elton's too, Mrss, Grant, Mrss. the end.",
        "Mrss.\tBennet and Mrss. NASA, Mrss. A and Mrss. Norris",
        "a Mrss. b. Mrss! Anne, Mrss. Mrss.",
    ],
)
def test_the_place_of_a_title_is_a_full_stop_and_spaces_before_a_capitalised_word(
    text: str,
) -> None:
    from morlatch._spellfix import word_spans
    from morlatch.spelltext import before_a_name

    spans = list(word_spans(text))
    found = [before_a_name(text, spans, at) is not None for at in range(len(spans))]
    assert found == reference.title_place(text)


_SLIP_WORDS = ("as", "will", "well", "wall", "so")


@settings(max_examples=40, deadline=None)
@given(
    counts=st.lists(st.integers(1, 10**6), min_size=5, max_size=5),
    pairs=st.lists(st.integers(1, 10**6), min_size=6, max_size=6),
)
# Both neighbours prefer "well": a slip.
@example(counts=[10**6, 1000, 1000, 1000, 1000], pairs=[1, 1, 10**6, 10**6, 1, 1])
# Together they prefer "well" by far, but "as" after it prefers "will": none.
@example(counts=[10**6, 1000, 1000, 1000, 1000], pairs=[1, 10**6, 10**6, 10**4, 1, 1])
# ... or "as" before it prefers the commoner "will": none.
@example(counts=[10**6, 10**4, 100, 1000, 1000], pairs=[1000, 1, 1000, 10**6, 1, 1])
def test_a_word_seen_beside_its_neighbours_is_a_slip_only_if_each_prefers_another(
    counts: list[int], pairs: list[int]
) -> None:
    # "will" is seen between "as" and "as", and so are its neighbours one
    # edit away ("well", "wall").
    words = dict(zip(_SLIP_WORDS, counts, strict=True))
    listed = [pair for other in _SLIP_WORDS[1:4] for pair in (("as", other), (other, "as"))]
    speller = morlatch.Speller(words, bigrams=dict(zip(listed, pairs, strict=True)))
    want = reference.real_word_between(
        speller._counts,
        speller._pairs,
        speller._model.cost,
        "will",
        "as",
        "as",
        ["well", "wall"],
        _REAL_WORD_MARGIN,
    )
    assert speller.fix("as will as") == f"as {want or 'will'} as"
    # One neighbour alone never questions a pair seen.
    assert speller.fix("as will.") == "as will."


# "er" is known but the counts lack it: it may stand for words one edit away
# ("her", "or", "ear") or two ("are"); "lucky" is three away.
_UNCOUNTED_NEAR = ("are", "her", "or", "ear", "you", "lucky")


@settings(max_examples=60, deadline=None)
@given(
    counts=st.lists(st.integers(1, 10**6), min_size=6, max_size=6),
    pairs=st.lists(st.integers(1, 10**6), min_size=4, max_size=4),
)
@example(counts=[10**6, 10**4, 10**4, 10, 10**6, 1000], pairs=[10**5, 100, 1, 1])  # "are"
@example(counts=[10, 10**5, 10**4, 10, 10**6, 1000], pairs=[1, 1, 10**5, 100])  # "her"
# Pairs with "er" are missing, but no evidence against a word the counts lack.
@example(counts=[1, 1, 1, 1, 1, 160], pairs=[1, 1, 167, 1])
def test_a_short_word_the_counts_lack_is_weighed_against_words_two_edits_away(
    counts: list[int], pairs: list[int]
) -> None:
    words = {"er": 0, **dict(zip(_UNCOUNTED_NEAR, counts, strict=True))}
    listed = [("you", "are"), ("are", "lucky"), ("you", "her"), ("her", "lucky")]
    speller = morlatch.Speller(words, bigrams=dict(zip(listed, pairs, strict=True)))
    want = reference.real_word_slip(
        speller._counts,
        speller._pairs,
        speller._model.cost,
        "er",
        "you",
        "lucky",
        2,
        _REAL_WORD_MARGIN,
    )
    assert speller.fix("you er lucky") == f"you {want or 'er'} lucky"


@settings(max_examples=60, deadline=None)
@given(
    british=st.integers(0, 3),
    american=st.integers(0, 3),
    counts=st.lists(st.integers(1, 1000), min_size=2, max_size=2),
    seed=st.integers(0, 2**32),
)
@example(british=1, american=1, counts=[10, 70], seed=0)  # "This Licence ... this License"
def test_a_word_spelt_both_ways_in_a_text_takes_the_spelling_the_text_keeps_to(
    british: int, american: int, counts: list[int], seed: int
) -> None:
    import random

    assume(british + american > 0)
    # No word pairs: context questions no known word, only the spelling does.
    speller = morlatch.Speller({"licence": counts[0], "license": counts[1], "a": 50})
    words = ["licence"] * british + ["License"] * american + ["a"] * 3
    random.Random(seed).shuffle(words)
    kept = reference.writers_spelling(
        {"licence": british, "license": american}, speller._counts, ["licence", "license"]
    )
    fixed = speller.fix(" ".join(words)).split(" ")
    assert fixed == [
        word if word == "a" or kept is None else with_case(word, kept) for word in words
    ]


@pytest.mark.parametrize(
    ("text", "want"),
    [
        # Two words of the old register (or an old verb form) keep each other.
        ("And he said unto them, How is it that ye sought me?", None),
        ("Father knoweth that ye have need of these things.", None),
        ("I will follow thee, thou knowest.", None),
        # "-est" agrees with a "thou" further off, as it does beside one.
        ("Wherefore gavest not thou my money into the bank?", None),
        # One alone is the writer's too: a slip seldom makes an old word.
        ("I saw thy house in the town.", None),
        ("And Jesus rebuked him, saying, Hold thy peace, and come out of him.", None),
        ("Suppose ye that I am come to give peace on earth?", None),
        # A capitalised word mid-sentence is no slip for a word of a closed class,
        # nor, alone among words of prose, for one the counts hold as no name;
        # beside another capitalised word it is a term's and may be a slip.
        ("Jacob sent messengers to the land of Seir, the country of Edom.", None),
        ("And David spoke to Abner the son of Ner, saying so.", None),
        ("David and his men were in the wilderness of Maon, in the plain.", None),
        ("And Arphaxad begat Salah; and Salah begat Eber.", None),
        ("Abraham dwelled between Kadesh and Shur, and sojourned in Gerar.", None),
        (
            "Use the Lesser Generall Public License instead of this License.",
            "Use the Lesser General Public License instead of this License.",
        ),
        ("The Corresponding Aource for a work.", "The Corresponding Source for a work."),
        # A far guess no neighbour backs is no correction.
        ("Put this command in your vimrc file if you intend to do this often.", None),
        # "Miss" is never shortened: with a full stop before a name it is one.
        ("She spoke to Miss. Weston at noon.", "She spoke to Mrs. Weston at noon."),
        ("She spoke to Miss Weston at noon.", None),
        ("She sent for Miss. Then they left.", None),
    ],
)
def test_words_read_as_the_writers_own_and_titles(
    english: morlatch.Speller, text: str, want: str | None
) -> None:
    assert english.fix(text) == (want or text)


@pytest.mark.parametrize(
    ("text", "want"),
    [
        # A word is weighed beside its neighbours as fix reads them: a slip
        # before it as corrected, an unknown word after it as its correction.
        ("The comand lin window will close.", "The command line window will close."),
        ("We had returned this secand tim.", "We had returned this second time."),
        ("They receive or cane cet the code.", "They receive or can get the code."),
        ("If you rae ond of the fw, say so.", "If you are one of the few, say so."),
    ],
)
def test_neighbours_are_read_as_corrected(english: morlatch.Speller, text: str, want: str) -> None:
    assert english.fix(text) == want


@pytest.mark.parametrize(
    ("word", "variants"),
    [("colour", ["color"]), ("licence", ["license"]), ("travelled", ["traveled"])]
    # Letters that only look like such an ending: different words.
    + [(word, []) for word in ("filed", "refiled", "scouring", "spencer", "prise", "outer")],
)
def test_only_endings_spelt_two_ways_have_variants(word: str, variants: list[str]) -> None:
    from morlatch._spellfix import _variants

    assert list(_variants(word)) == variants


def test_a_text_keeps_two_words_that_only_look_like_two_spellings(english) -> None:
    text = "The form was filled in, then filled out, and then it was filed."
    assert english.fix(text) == text


@pytest.mark.parametrize(
    ("pairs", "text", "want"),
    [
        # No neighbour was seen beside a far correction: the writer's word.
        ({("your", "file"): 100}, "in your vimrc file", None),
        ({("mimic", "file"): 20}, "in your vimrc file", "in your mimic file"),
        # Without neighbours, nothing backs or weighs against a guess.
        ({("your", "file"): 100}, "vimrc", "mimic"),
    ],
)
def test_a_far_guess_no_neighbour_backs_leaves_the_word(
    pairs: dict[tuple[str, str], int], text: str, want: str | None
) -> None:
    speller = morlatch.Speller({"mimic": 50, "file": 1000, "your": 2000, "in": 3000}, bigrams=pairs)
    assert speller._model.cost("vimrc", "mimic") > _NEAR_COST  # two edits, no cheap slip
    assert speller.fix(text) == (want or text)
