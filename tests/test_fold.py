"""Folded indexes: the built-in rule against its reference, searches between
folded forms over the whole shipped word list, the mapping over the keys as
given, custom rules and their errors, and persistence."""

from __future__ import annotations

import pickle
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from rapidfuzz import process
from rapidfuzz.distance import OSA, Levenshtein

import morlatch
from morlatch import Index, Match, fold_text
from reference import completion_distance, fold


@pytest.fixture(scope="module")
def words() -> list[str]:
    return morlatch.default_words()


@pytest.fixture(scope="module")
def given_keys(words: list[str]) -> dict[str, int]:
    # Upper-case copies make several keys per folded form.
    keys = {word: i for i, word in enumerate(words)}
    keys.update({word.upper(): len(words) + i for i, word in enumerate(words[:3000])})
    return keys


@pytest.fixture(scope="module")
def folded(given_keys: dict[str, int]) -> Index:
    return Index(given_keys, fold=True)


def test_the_builtin_rule_is_the_reference_over_the_word_list(words: list[str]) -> None:
    assert [fold_text(word) for word in words] == [fold(word) for word in words]


@given(st.text())
def test_the_builtin_rule_is_the_reference_on_any_text(text: str) -> None:
    assert fold_text(text) == fold(text)


@pytest.mark.parametrize(
    ("text", "folded_form"),
    [("Résumé", "resume"), ("STRASSE", "strasse"), ("Straße", "strasse"), ("ÅNGSTRÖM", "angstrom")],
)
def test_case_and_accents_go(text: str, folded_form: str) -> None:
    assert fold_text(text) == folded_form


@pytest.mark.parametrize(("transpositions", "scorer"), [(False, Levenshtein), (True, OSA)])
def test_search_and_complete_compare_folded_forms(
    folded: Index, transpositions: bool, scorer: object
) -> None:
    items = list(folded.items())
    forms = [fold(key) for key, _ in items]
    for query in ["ATATURK", "bogota", "Helo", "ABE", "recieve"]:
        found = process.extract(
            fold(query),
            forms,
            scorer=scorer.distance,  # type: ignore[attr-defined]
            score_cutoff=1,
            limit=None,
        )
        want = sorted((dist, forms[at], items[at][0], items[at][1]) for _, dist, at in found)
        expected = [Match(key, payload, dist) for dist, _, key, payload in want]
        assert folded.search(query, 1, transpositions=transpositions) == expected, query
        assert folded.search(query, 1, limit=2, transpositions=transpositions) == expected[:2]
        assert folded.search_many([query], 1, transpositions=transpositions) == [expected]
    for prefix in ["ATAT", "bogo", "zz"]:
        reach = len(prefix) + 1
        close = {
            text
            for text, _, _ in process.extract(
                fold(prefix),
                {form[:i] for form in forms for i in range(min(len(form), reach) + 1)},
                scorer=scorer.distance,  # type: ignore[attr-defined]
                score_cutoff=1,
                limit=None,
            )
        }
        want_c = sorted(
            (
                completion_distance(form[:reach], fold(prefix), transpositions),
                len(form),
                form,
                key,
                p,
            )
            for (key, p), form in zip(items, forms, strict=True)
            if any(form[:i] in close for i in range(min(len(form), reach) + 1))
        )
        expected_c = [Match(key, payload, dist) for dist, _, _, key, payload in want_c]
        got = folded.complete(prefix, 1, limit=None, transpositions=transpositions)
        assert got == expected_c, prefix


def test_the_mapping_holds_the_keys_as_given(folded: Index, given_keys: dict[str, int]) -> None:
    reference = given_keys
    assert dict(folded.items()) == reference and len(folded) == len(reference)
    assert list(folded) == sorted(reference, key=lambda k: (fold(k), k))
    for key in ["Atatürk", "ATATÜRK", "atatürk", "ABE", "Abe", "abe", "nope", "ab\ud800"]:
        assert (key in folded) == (key in reference)
        assert folded.get(key, -1) == reference.get(key, -1)
    # Listing by prefix goes by folded forms: every spelling that folds under it.
    listed = list(folded.keys("ATAT"))
    assert listed == sorted(
        (key for key in reference if fold(key).startswith("atat")), key=lambda k: (fold(k), k)
    )
    assert "Atatürk" in listed and list(folded.keys("\ud800")) == []


def test_weights_rank_the_keys_of_one_form() -> None:
    index = Index(["Polish", "polish", "polka"], fold=True, weights={"Polish": 1, "polish": 9})
    assert index.search("POLISH", 0) == [Match("polish", 1, 0), Match("Polish", 0, 0)]
    assert index.search("POLKISH", 2, limit=1) == [Match("polish", 1, 1)]
    assert index.correct("polsh", limit=2) == [Match("polish", 1, 1), Match("Polish", 0, 1)]
    assert index.weight("Polish") == 1 and index.complete("POL")[0] == Match("polish", 1, 0)


def test_a_custom_rule_folds_keys_and_queries() -> None:
    index = Index({"Color": 1, "colour": 2}, fold=lambda text: text.lower().replace("ou", "o"))
    assert index.search("COLOR", 0) == [Match("Color", 1, 0), Match("colour", 2, 0)]
    assert "colour" in index and "color" not in index


def boom(text: str) -> str:
    raise LookupError(text)


@pytest.mark.parametrize(
    ("keys", "rule", "error", "message"),
    [
        (["a", "\u0301"], True, ValueError, "key '\u0301' folds to the empty string"),
        (["a"], lambda text: 3, TypeError, "fold must return a str, not 'int' (for key 'a')"),
        (["a"], boom, LookupError, "a"),
        (["a"], lambda text: "\ud800", ValueError, "key 'a' folds to '\\ud800'"),
        (["a"], "yes", TypeError, "fold must be a bool or a callable str -> str, not 'str'"),
    ],
)
def test_bad_folds_are_refused(
    keys: list[str], rule: object, error: type[Exception], message: str
) -> None:
    with pytest.raises(error) as caught:
        Index(keys, fold=rule)  # type: ignore[arg-type]
    assert message in str(caught.value)


def test_a_rule_failing_on_a_query_propagates() -> None:
    index = Index(["a"], fold=lambda text: text if text != "bad" else 3)  # type: ignore[arg-type,return-value]
    with pytest.raises(TypeError, match=r"fold must return a str, not 'int' \(for query\)"):
        index.search("bad", 1)
    assert index.search("a", 0) == [Match("a", 0, 0)]


def lower(text: str) -> str:
    return text.lower()


def test_folding_survives_files_and_pickles(folded: Index, tmp_path: Path) -> None:
    folded.save(tmp_path / "index")
    again = Index.load(tmp_path / "index")
    assert again == folded and again.fold is fold_text
    assert again.search("ATATURK", 0) == folded.search("ATATURK", 0)
    with pytest.raises(ValueError, match="built with fold=True, not with a custom fold"):
        Index.load(tmp_path / "index", fold=lower)

    custom = Index({"A": 1, "a": 2}, fold=lower, weights={"a": 3})
    custom.save(tmp_path / "custom")
    with pytest.raises(ValueError, match=r"custom fold, which is not saved: pass it again"):
        Index.load(tmp_path / "custom")
    restored = Index.load(tmp_path / "custom", fold=lower)
    assert restored == custom and restored.weight("a") == 3
    assert pickle.loads(pickle.dumps(custom)) == custom
    assert custom != Index({"A": 1, "a": 2}, fold=True, weights={"a": 3})

    Index(["a"]).save(tmp_path / "plain")
    with pytest.raises(ValueError, match="built without folding"):
        Index.load(tmp_path / "plain", fold=True)
