"""Properties of morlatch.Speller's text layer, driven as a user drives it:
any text (surrogates, control characters, long tokens, numbers, URLs,
addresses, hyphens, apostrophes) is read without a traceback; fix changes
nothing but the words it corrects and keeps their case pattern; check's
spans are words, in order; segment gives back its input; the CLI streams."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import morlatch
import reference

# Words the shipped counts know, misspellings of them, words run together or
# split, names, and tokens that are not words to check.
_TOKENS = [
    "the",
    "quick",
    "brown",
    "fox",
    "in",
    "side",
    "theend",
    "Teh",
    "brwon",
    "recieve",
    "RECIEVE",
    "Recieve",
    "acheive",
    "farmer's",
    "don't",
    "dont",
    "it\u2019s",
    "well-known",
    "self-evident",
    "Zanzibarr",
    "Mr.",
    "J.",
    "42",
    "3.14",
    "1st",
    "http://exampel.com/a?b=c",
    "www.exampel.org",
    "bob@exampel.com",
    "snake_case",
    "camelCase",
    "a.b",
    "<b>",
    "x+y",
    "colour",
    "color",
    "I",
    "a",
    "GNU",
    "qzxwvyqzx",
    "hte",
    "thier",
]
_GAPS = [" ", "  ", ", ", ". ", "! ", "? ", "\n", "\r\n", "\t", " - ", " (", ") ", ": ", '"', "'"]

_CASES = [str, str.upper, str.capitalize]
_token = st.one_of(
    st.builds(lambda token, case: case(token), st.sampled_from(_TOKENS), st.sampled_from(_CASES)),
    st.text(
        alphabet=st.one_of(st.characters(), st.characters(categories=["Cs", "Cc", "Zs"])),
        max_size=12,
    ),
    st.text(alphabet="abcdefghijklmnopqrstuvwxyz'", min_size=30, max_size=90),
)
texts = st.lists(st.tuples(_token, st.sampled_from(_GAPS)), max_size=14).map(
    lambda parts: "".join(token + gap for token, gap in parts)
)
# What fix and check read as words: letters with apostrophes inside.
_WORD = re.compile(r"[^\W\d_]+(?:['\u2019][^\W\d_]+)*")


@pytest.fixture(scope="module")
def speller() -> morlatch.Speller:
    return morlatch.Speller.english()


def _regions(speller: morlatch.Speller, text: str) -> list[tuple[int, int]]:
    """The stretches fix may rewrite: the words it checks, merged across a
    single space (where two words may be joined into one)."""
    regions: list[list[int]] = []
    for start, end in speller.words(text):
        if regions and text[regions[-1][1] : start] == " ":
            regions[-1][1] = end
        else:
            regions.append([start, end])
    return [(start, end) for start, end in regions]


@settings(max_examples=150, deadline=None)
@given(text=texts)
@example(text="\u1a00A ")  # a caseless letter before a capital
def test_fix_rewrites_only_words_and_keeps_their_case(speller: morlatch.Speller, text: str) -> None:
    fixed = speller.fix(text)
    regions = _regions(speller, text)
    # Everything between the regions comes back byte for byte, in order,
    # and a region's rewrite is letters and apostrophes, words apart by a
    # space.
    letters = r"(?:[^\W\d_]|['\u2019])"
    at, pattern = 0, []
    for start, end in regions:
        pattern.append(re.escape(text[at:start]))
        pattern.append(rf"({letters}*?(?: {letters}+?)*?)")
        at = end
    pattern.append(re.escape(text[at:]))
    match = re.fullmatch("".join(pattern), fixed, re.DOTALL)
    assert match is not None, (text, fixed)
    for (start, end), rewrite in zip(regions, match.groups(), strict=True):
        written = text[start:end]
        if rewrite == written:
            continue
        assert rewrite, (written, fixed)
        assert rewrite[0].isupper() == written[0].isupper(), (written, rewrite)
        if written == written.lower():
            assert rewrite == rewrite.lower(), (written, rewrite)
        if len(written) > 1 and written.isupper():
            assert rewrite.isupper(), (written, rewrite)


@settings(max_examples=150, deadline=None)
@given(text=texts)
def test_check_flags_words_in_order(speller: morlatch.Speller, text: str) -> None:
    words = set(speller.words(text))
    found = speller.check(text)
    ends = [0] + [miss.end for miss in found]
    for miss, end_before in zip(found, ends, strict=False):
        assert (miss.start, miss.end) in words
        assert miss.start >= end_before
        assert miss.word == text[miss.start : miss.end]
        assert _WORD.fullmatch(miss.word)
        assert all(isinstance(word, str) and word for word in miss.suggestions)


@settings(max_examples=100, deadline=None)
@given(
    words=st.lists(
        st.sampled_from(["the", "fox", "colour", "I", "a", "farmer's", "don't"]), max_size=8
    )
)
def test_known_words_without_context_are_kept(speller: morlatch.Speller, words: list[str]) -> None:
    # Words apart (punctuation between them) have no context to question
    # them by, and all are known: nothing to fix, nothing to flag.
    text = "; ".join(words) + "."
    assert speller.fix(text) == text
    assert speller.check(text) == []


@settings(max_examples=150, deadline=None)
@given(text=st.one_of(texts, st.text(alphabet="abcdefghijklmnopqrstuvwxyz", max_size=60)))
def test_segment_gives_back_the_text_without_spaces(speller: morlatch.Speller, text: str) -> None:
    pieces = speller.segment(text)
    assert all(pieces)
    assert "".join(pieces) == re.sub(r"\s", "", text)
    # The pieces are slices of the text, in order.
    at = 0
    for piece in pieces:
        found = text.find(piece, at)
        assert found >= 0 and not text[at:found].strip()
        at = found + len(piece)


@settings(max_examples=150, deadline=None)
@given(text=texts)
def test_segment_keeps_whole_the_words_fix_reads(speller: morlatch.Speller, text: str) -> None:
    # segment may cut a run-together word, but never beside an apostrophe
    # inside a word that fix and check read as one ("don't", "it\u2019s").
    cuts: set[int] = set()
    at = 0
    for piece in speller.segment(text):
        at = text.find(piece, at)
        cuts |= {at, at + len(piece)}
        at += len(piece)
    for start, end in speller.words(text):
        inside = [
            i for i in range(start + 1, end) if "'" in text[i - 1 : i + 1].replace("\u2019", "'")
        ]
        assert not cuts.intersection(inside), (text[start:end], speller.segment(text))


@pytest.mark.parametrize("method", ["fix", "check", "segment", "words", "correct", "suggest"])
@pytest.mark.parametrize("value", [None, b"text", 7, ["text"]])
def test_only_text_is_read(speller: morlatch.Speller, method: str, value: object) -> None:
    with pytest.raises(TypeError, match=r"must be a str"):
        result = getattr(speller, method)(value)
        list(result)


_MEASURED_RUN = """
import atexit, resource, runpy, sys
atexit.register(lambda: print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr))
sys.argv = ["morlatch", "spell"]
runpy.run_module("morlatch", run_name="__main__")
"""


def _spell_measured(data: bytes) -> tuple[bytes, int]:
    """The CLI's output for ``data`` and its peak resident size in KiB."""
    done = subprocess.run(
        [sys.executable, "-c", _MEASURED_RUN], input=data, capture_output=True, timeout=600
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout, int(done.stderr.split()[-1])


def test_cli_streams_in_bounded_memory() -> None:
    # One line of 16 MiB of tokens that are not words to check, then many
    # short lines with a misspelling each: the output is the input (the
    # misspellings corrected), and the process grows by far less than what
    # it read.
    line = b"ab1 x_y 7 " * (16 << 17)
    lines = b"Teh end.\n" * 5000
    out, peak = _spell_measured(line + b"\n" + lines)
    assert out == line + b"\n" + lines.replace(b"Teh", b"The")
    _, base = _spell_measured(b"Teh end.\n")
    assert (peak - base) * 1024 < len(line) // 4


# Verbs of the shipped counts that are no names, and words that make place
# names when run together ("Netherfield", "Highbury").
_VERBS = ["come", "go", "see", "say", "put", "cry", "speak", "walk", "give", "know", "seem", "do"]
_PARTS = ["nether", "field", "high", "bury", "raven", "hart", "wood", "ford", "green", "stone"]


@settings(max_examples=60, deadline=None)
@given(verb=st.sampled_from(_VERBS), shape=st.integers(0, 2))
def test_old_verb_forms_are_left_as_written(
    speller: morlatch.Speller, verb: str, shape: int
) -> None:
    """An "-eth" form of a counted verb is no misspelling anywhere, an
    "-est" form none beside "thou"; the forms are made forwards here and
    read backwards by the speller."""
    third = sorted(reference.old_verb_forms(verb, "eth"))
    second = sorted(reference.old_verb_forms(verb, "est"))
    text = [
        f"And he {third[0]} unto them.",
        f"Thou {second[-1]} not, and it {third[-1]} so.",
        f"What {second[0]} thou?",
    ][shape]
    assert speller.fix(text) == text
    assert speller.check(text) == []


@settings(max_examples=80, deadline=None)
@given(first=st.sampled_from(_PARTS), second=st.sampled_from(_PARTS))
def test_capitalised_words_mid_sentence_split_only_into_seen_pairs(
    speller: morlatch.Speller, first: str, second: str
) -> None:
    name = first.capitalize() + second
    fixed = speller.fix(f"They rode over to {name} that day.")
    if (first, second) not in speller._pairs:
        assert f"{first.capitalize()} {second}" not in fixed
