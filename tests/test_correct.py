"""Index.correct: both rules against brute force over the whole shipped word
list with seeded weights, and over small random lists full of ties in score;
queries with lone surrogates; correct_many against one correction per word;
argument errors."""

from __future__ import annotations

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rapidfuzz import process
from rapidfuzz.distance import OSA, Levenshtein

import morlatch
from morlatch import Index, Match
from morlatch.index import CHEAP_COST, EDIT_COST, VOWELS
from reference import correct, index_correct, typo, typo_queries, weight_values
from reference import fold as reference_fold

SCORERS = {False: Levenshtein.distance, True: OSA.distance}
MODEL = (round(EDIT_COST * 1000), round(CHEAP_COST * 1000), VOWELS)


@pytest.fixture(scope="module")
def words() -> list[str]:
    return morlatch.default_words()


@pytest.fixture(scope="module")
def weights(words: list[str]) -> dict[str, int]:
    # Corpus-like counts: spread over many orders of magnitude, the shortest
    # words the commonest (as function words are), so that shallow subtrees
    # are heavy mostly through their short keys.
    rng = random.Random(5)
    return {
        word: int(math.exp(rng.uniform(0, 16) + 2.5 * max(0, 7 - len(word))))
        for word in words
        if rng.random() < 0.9
    }


@pytest.fixture(scope="module")
def index(words: list[str], weights: dict[str, int]) -> Index:
    return Index(words, weights=weights)


def misspellings(words: list[str], count: int, seed: int) -> list[str]:
    """Words with 0 to 2 slips: doubled or dropped letters, swaps, vowels."""
    rng = random.Random(seed)
    out = []
    for word in rng.sample(words, count):
        chars = list(word)
        for _ in range(rng.randrange(3)):
            i = rng.randrange(len(chars))
            slip = rng.randrange(4)
            if slip == 0:
                chars.insert(i, chars[i])
            elif slip == 1 and len(chars) > 1:
                del chars[i]
            elif slip == 2 and i + 1 < len(chars):
                chars[i], chars[i + 1] = chars[i + 1], chars[i]
            else:
                chars[i] = rng.choice("aeiou")
        out.append("".join(chars))
    return out


@pytest.mark.parametrize("rule", ["model", "plain"])
@pytest.mark.parametrize("transpositions", [True, False])
def test_correct_matches_brute_force(
    index: Index, words: list[str], weights: dict[str, int], rule: str, transpositions: bool
) -> None:
    payloads = {word: i for i, word in enumerate(words)}
    queries = misspellings(words, 25, seed=len(rule) + transpositions)
    for word in queries + ["teh", "recieve", "qqqqqq", "a", "Abe"]:
        within = [
            (key, payloads[key], dist)
            for key, dist, _ in process.extract(
                word, words, scorer=SCORERS[transpositions], score_cutoff=2, limit=None
            )
        ]
        model = MODEL if rule == "model" else None
        for limit in (1, 3):
            want = correct(within, weights, word, limit, transpositions, model)
            got = index.correct(word, 2, limit=limit, transpositions=transpositions, rule=rule)  # type: ignore[arg-type]
            assert got == [Match(*hit) for hit in want], (word, limit)


@pytest.mark.parametrize("floats", [False, True])
def test_typo_queries_match_brute_force(words: list[str], floats: bool) -> None:
    # The benchmarks' typo queries against corpus-like weights: the subtrees
    # skipped by weight must never hold a key that ranks among the best.
    rng = random.Random(11 + floats)
    weights: dict[str, float] = {
        word: math.exp(rng.uniform(0, 23)) for word in words if rng.random() < 0.8
    }
    if not floats:
        weights = {word: int(value) for word, value in weights.items()}
    index = Index(words, weights=weights)
    payloads = {word: i for i, word in enumerate(words)}
    for word in typo_queries(words, 120, seed=7 + floats):
        within = [
            (key, payloads[key], dist)
            for key, dist, _ in process.extract(
                word, words, scorer=OSA.distance, score_cutoff=2, limit=None
            )
        ]
        for rule, model in (("model", MODEL), ("plain", None)):
            want = correct(within, weights, word, 2, True, model)
            got = index.correct(word, limit=2, rule=rule)  # type: ignore[arg-type]
            assert got == [Match(*hit) for hit in want], (word, rule)


@st.composite
def pruning_cases(draw: st.DrawFn) -> tuple[list[str], dict[str, int | float]]:
    """Keys and weights built against the bounds the search prunes by: many
    light keys near one another, a few very heavy keys that are long or far
    from them, weights that tie; capitals that a fold merges; words past 15
    characters (rows kept another way)."""
    near = draw(st.lists(st.text("abeA", min_size=1, max_size=6), min_size=1, max_size=25))
    far = draw(st.lists(st.text("abcxE", min_size=1, max_size=18), max_size=6))
    keys = list(dict.fromkeys(near + far))
    light = st.sampled_from([0, 1, 1, 1, 2, 1000])
    heavy = st.sampled_from([1000, 10**9, 2**63])
    floats = draw(st.booleans())
    weights: dict[str, int | float] = {}
    for key in keys:
        if draw(st.booleans()) or key in far:  # some keys get no weight
            weight = draw(heavy if key in far else light)
            weights[key] = float(weight) if floats else weight
    return keys, weights


@settings(max_examples=300)
@given(
    case=pruning_cases(),
    word=st.text("abecxA", max_size=18),
    slips=st.randoms(use_true_random=False),
    limit=st.integers(1, 5),
    # 9: the rows of a long word span it whole rather than a band.
    max_dist=st.integers(0, 3) | st.just(9),
    transpositions=st.booleans(),
    rule=st.sampled_from(["model", "plain"]),
    fold=st.booleans(),
)
def test_pruning_never_drops_a_key_the_reference_ranks(
    case: tuple[list[str], dict[str, int | float]],
    word: str,
    limit: int,
    max_dist: int,
    transpositions: bool,
    rule: str,
    fold: bool,
    slips: random.Random,
) -> None:
    # Ties in score (the key decides), heavy keys two or three edits away
    # that beat light ones one edit away, and subtrees whose heaviest key
    # is just at the bound. Half the words are keys with a slip or two.
    keys, weights = case
    if slips.random() < 0.5:
        word = typo(slips, slips.choice(keys), slips.choice((1, 1, 2)), "abeA", swaps=True)
    index = Index(keys, weights=weights, fold=fold)
    payloads = {key: i for i, key in enumerate(keys)}
    want = index_correct(
        payloads,
        word,
        max_dist,
        limit=limit,
        transpositions=transpositions,
        rule=rule,
        weights=weight_values(weights),
        fold=reference_fold if fold else None,
    )
    got = index.correct(
        word,
        max_dist,
        limit=limit,
        transpositions=transpositions,
        rule=rule,  # type: ignore[arg-type]
    )
    assert got == [Match(*hit) for hit in want]


def test_without_weights_corrections_rank_by_distance_then_key(words: list[str]) -> None:
    plain = Index(words)
    for word in ["helo", "teh", "hello", "qqqqqq"]:
        for rule in ("model", "plain"):
            assert plain.correct(word, limit=4, rule=rule) == plain.search(  # type: ignore[arg-type]
                word, 2, limit=4, transpositions=True
            )


def test_a_heavy_short_key_hides_no_long_key_behind_it() -> None:
    # Below "zz" (two edits spent), "zzq" (too short to be within reach) is
    # the heavier child, yet only "zza..." leads to a key within reach: the
    # walk must not stop at "zzq" because its long keys are light. Light
    # fillers keep the bound below the weight most keys reach.
    weights = {"xyabcdeg": 10, "zzabcdef": 10**6, "zzq": 10**7}
    weights.update({f"pppp{c}{d}": 1 for c in "klmno" for d in "rstuvw"})
    index = Index(list(weights), weights=weights)
    assert index.correct("xyabcdef") == [Match("zzabcdef", 1, 2)]


def test_a_frequent_word_two_slips_away_beats_a_rare_one_edit_away() -> None:
    # "xaac" is one replacement away; "xeb" an undoubled letter and a vowel
    # for a vowel, two cheap slips.
    index = Index(["xaac", "xeb"], weights={"xaac": 10, "xeb": 10**7})
    assert index.correct("xaab", rule="plain")[0].key == "xaac"
    assert index.correct("xaab")[0].key == "xeb"
    # The word itself, when it is a key, comes first whatever its weight.
    known = Index(["xaab", "xeb"], weights={"xaab": 1, "xeb": 10**7})
    assert known.correct("xaab", limit=2) == [Match("xaab", 0, 0), Match("xeb", 1, 2)]


@pytest.mark.parametrize("fold", [False, True])
def test_lone_surrogates_are_characters_no_key_holds(words: list[str], fold: bool) -> None:
    index = Index(words[:3000], weights={words[0]: 3}, fold=fold)
    unweighted = Index(words[:3000])
    # U+FFFF is in no key either: it must behave the same as a surrogate.
    for query in ["Ab\ud800", "\udfff", "ab\ud800c"]:
        stand_in = query.replace("\ud800", "\uffff").replace("\udfff", "\uffff")
        for each in (index, unweighted):
            assert query not in each and each.get(query, 5) == 5
            with pytest.raises(KeyError):
                each[query]
            assert each.search(query, 2) == each.search(stand_in, 2)
            assert each.complete(query, 1) == each.complete(stand_in, 1)
            assert each.correct(query, limit=3) == each.correct(stand_in, limit=3)
            assert each.search_many([query], 1) == each.search_many([stand_in], 1)
            assert list(each.keys(query)) == []


@pytest.mark.parametrize("fold", [False, True])
def test_correct_many_equals_one_correction_per_word(
    words: list[str], weights: dict[str, int], fold: bool
) -> None:
    index = Index(words, weights=weights, fold=fold)
    batch = misspellings(words, 40, seed=11) + ["Teh", "recieve", "ab\ud800c", "zzzzzz"]
    for rule, limit, transpositions in [("model", 1, True), ("plain", 3, False)]:
        options = {"limit": limit, "transpositions": transpositions, "rule": rule}
        one_by_one = [index.correct(word, **options) for word in batch]  # type: ignore[arg-type]
        for workers in (1, 2, None):
            assert index.correct_many(iter(batch), workers=workers, **options) == one_by_one  # type: ignore[arg-type]
    assert index.correct_many([]) == []


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (("abc",), TypeError, "words must be an iterable of str, not a single str"),
        ((["a", 1],), TypeError, r"words\[1\] must be a str, not 'int'"),
        ((["a"], -1), ValueError, "max_dist must not be negative, not -1"),
    ],
)
def test_correct_many_names_bad_arguments(args: tuple, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        Index(["a"], weights={"a": 1}).correct_many(*args)
    with pytest.raises(ValueError, match="workers must be at least 1, not 0"):
        Index(["a"]).correct_many(["a"], workers=0)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"word": 3}, TypeError, "word must be a str, not 'int'"),
        ({"word": "a", "limit": -1}, ValueError, "limit must not be negative, not -1"),
        ({"word": "a", "limit": None}, TypeError, "limit must be an int, not 'NoneType'"),
        ({"word": "a", "max_dist": -2}, ValueError, "max_dist must not be negative, not -2"),
        ({"word": "a", "rule": "best"}, ValueError, "rule must be 'model' or 'plain', not 'best'"),
        ({"word": "a", "transpositions": 1}, TypeError, "transpositions must be a bool"),
    ],
)
def test_bad_arguments_are_named(kwargs: dict[str, object], error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        Index(["a"], weights={"a": 1}).correct(**kwargs)  # type: ignore[arg-type]
    assert Index(["ab"]).correct("a", limit=0) == []
