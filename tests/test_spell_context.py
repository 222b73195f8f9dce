"""The engine's context scores, which a speller reads for many candidate
words at once, against the brute-force language model, to the last bit."""

from __future__ import annotations

import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import reference
from morlatch import _engine

_BACKOFF = 0.4
# Any text at all, lone surrogates and control characters included; a few
# words drawn again and again so that pairs and counts are hit.
_ANY = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF), max_size=6)
_WORD = st.one_of(st.sampled_from(["the", "of", "\ud800", "\x00", "caf\u00e9", ""]), _ANY)
_COUNT = st.one_of(st.integers(0, 1000), st.sampled_from([2**53 + 1, 2**64 - 2, 2**64 - 1]))
_SHARE = st.floats(min_value=1e-9, max_value=1e12, allow_nan=False)


def _log_total(counts: dict[str, int]) -> float:
    return math.log(sum(counts.values()) + len(counts))


@settings(max_examples=400, deadline=None)
@given(
    st.dictionaries(_WORD, _COUNT, min_size=1, max_size=8),
    st.dictionaries(st.tuples(_WORD, _WORD), _SHARE, max_size=10),
    st.lists(_WORD, max_size=10),
    st.one_of(st.none(), _WORD),
    st.one_of(st.none(), _WORD),
)
def test_scores_are_the_language_models(counts, pairs, words, before, after) -> None:
    log_total = _log_total(counts)
    found = _engine.context_scores(counts, pairs, log_total, _BACKOFF, words, before, after)
    if pairs:
        want = [reference.context_score(w, before, after, counts, pairs) for w in words]
    else:  # without pairs, a word's own probability whatever its neighbours
        want = [math.log(counts.get(w, 0) + 1) - log_total for w in words]
    assert found == want


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        (([], {}, 0.0, 0.4, [], None, None), TypeError, "argument 'counts'"),
        (({}, {}, 0.0, 0.4, ("a",), None, None), TypeError, "argument 'words'"),
        (({}, {}, 0.0, 0.4, [b"a"], None, None), TypeError, "words must be a list of str"),
        (({}, {}, 0.0, 0.4, [], 1, None), TypeError, "argument 'before'"),
        (({}, {}, "x", 0.4, [], None, None), TypeError, "argument 'log_total'"),
        (({"a": -1}, {}, 0.0, 0.4, ["a"], None, None), OverflowError, "negative"),
        (({}, {("a", "b"): 0.0}, 0.0, 0.4, ["b"], "a", None), ValueError, "math domain"),
    ],
)
def test_bad_arguments_raise_what_python_would(arguments, error, message) -> None:
    with pytest.raises(error, match=message):
        _engine.context_scores(*arguments)


# ---- a text's words and their neighbours, read once --------------------------

_PIECES = st.sampled_from(
    ["the", "in", "side", "to", "day", "Teh", "don't", "it\u2019s", "\ufb01eld", "STRA\u00dfE"]
    + [" ", "  ", ", ", ". ", "\n", "\t", "-", "\u00a0", "\x00", "\ud800", "1", "www.x", "a_b"]
)
_TEXT = st.one_of(
    st.lists(_PIECES, max_size=16).map("".join),
    st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF), max_size=40),
)


# Pieces that may be code, addresses or numbers, and pieces of prose.
_TOKENS = st.sampled_from(
    ["www.x", "e.g.", "a.b", "http://x", "x@y", "getLine", "theJews", "andI", "(theJews)."]
    + ["SirJohn"]
    + ["v2", "\u00b2A", "\u0663", "a_b", "f(x)", "don't", "it\u2019s", "'tis", "end.", "\u2166"]
    + ["\ufb01eld", "\u1a00A", "\ud800x", "\x00", "\u2028", "\u00a0", " ", "\n", "\u3000"]
)


@settings(max_examples=1000, deadline=None)
@given(st.one_of(st.lists(st.one_of(_TOKENS, _ANY), max_size=12).map("".join), _TEXT))
@example("Mr. Darcy's www.example.com isn't a_b v2 getLine theJews, end.")
def test_text_spans_are_the_patterns(text: str) -> None:
    from morlatch._spellfix import word_spans

    assert list(word_spans(text)) == reference.text_word_spans(text)


def test_text_spans_name_a_bad_argument() -> None:
    with pytest.raises(TypeError, match="argument 'text'"):
        _engine.text_spans(b"x", bool)
    with pytest.raises(ZeroDivisionError):
        _engine.text_spans("x.y", lambda piece: 1 / 0)


@pytest.fixture(scope="module")
def english():
    import morlatch

    return morlatch.Speller.english()


@settings(max_examples=300, deadline=None)
@given(_TEXT)
@example("He went in side the house, with out the cov ered wagon.")
def test_context_words_are_each_words_neighbours(english, text: str) -> None:
    from morlatch._spellfix import word_spans
    from morlatch.spelltext import compatible, context_words, lower_at

    spans = list(word_spans(text))
    lowers, befores, afters = context_words(text, spans)
    assert lowers == [compatible(text[start:end]) for start, end in spans]
    assert befores == [lower_at(text, spans, at - 1, at) for at in range(len(spans))]
    assert afters == [lower_at(text, spans, at + 1, at) for at in range(len(spans))]
    # fix weighs a join only where the two words make a known word: no other
    # pair of neighbours is ever joined.
    joined = [at for at in range(len(spans)) if english._join(text, spans, at) is not None]
    assert all(lowers[at] + lowers[at + 1] in english._counts for at in joined)
    if text.startswith("He went in side"):
        assert {2, 9} <= set(joined)  # "inside", "covered"
