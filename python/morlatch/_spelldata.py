"""What a speller is built from: the counts given to it (checked and case
folded), the English counts and word pairs that ship with the package, and
the searches its candidates come from, in Python and in the engine."""

from __future__ import annotations

import gzip
import heapq
import os
import re
import statistics
from collections.abc import Iterable, Mapping
from typing import Final

from . import _engine
from .errormodel import _BAND
from .index import CHEAP_COST, EDIT_COST, VOWELS, Index
from .sounds import sounds_like
from .wordlist import default_words

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
_MAX_COUNT: Final = 2**64 - 1
# The searches of Speller.english(), pickled (scripts/make_spell_data.py):
# loading them takes a fraction of the time building them does.
_PREBUILT: Final = "spell_searches.pickle.gz"
# How many candidates each search hands on to the error model.
_EDIT_CANDIDATES: Final = 24
_SOUND_CANDIDATES: Final = 8
# The best candidate one edit away (or sounding alike) is taken without the
# two-edit search when it costs at most this much to mistype: a search ten
# times dearer rarely finds a likelier word beyond so cheap a slip.
_NEAR_COST: Final = 5.0
# A candidate that costs more than this (natural log) to mistype as the
# word is no suggestion (about one misspelling in thirty of the corpus the
# default model was fitted on costs more).
_MAX_COST: Final = 18.0
# Longer words are not checked (nor segmented as one word).
_LONGEST_WORD: Final = 40

# How many of the commonest words set the factor between pair and word counts.
_SCALE_WORDS: Final = 100

_NOT_IN_WORD = re.compile("[\\s\ud800-\udfff]")


def _word_counts(counts: object) -> dict[str, int]:
    if not isinstance(counts, Mapping):
        raise TypeError(f"counts must be a mapping of word to count, not {type(counts).__name__}")
    folded: dict[str, int] = {}
    for word, count in counts.items():
        if not isinstance(word, str):
            raise TypeError(f"counts: a word must be a str, not {type(word).__name__}")
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"counts[{word!r}] must be an int, not {type(count).__name__}")
        if not 0 <= count <= _MAX_COUNT:
            raise ValueError(f"counts[{word!r}] must be in 0..2**64-1, not {count}")
        if not word or _NOT_IN_WORD.search(word):
            raise ValueError(
                f"counts: {word!r} is not a word (empty, or a space or surrogate in it)"
            )
        lower = word.lower()
        folded[lower] = min(folded.get(lower, 0) + count, _MAX_COUNT)
    return folded


def _pair_counts(bigrams: object) -> dict[tuple[str, str], int]:
    if not isinstance(bigrams, Mapping):
        raise TypeError(
            f"bigrams must be a mapping of (word, word) to count, not {type(bigrams).__name__}"
        )
    pairs: dict[tuple[str, str], int] = {}
    for pair, count in bigrams.items():
        if (
            not isinstance(pair, tuple)
            or len(pair) != 2
            or not all(isinstance(word, str) for word in pair)
        ):
            raise TypeError(f"bigrams: {pair!r} is not a (word, word) pair of str")
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"bigrams[{pair!r}] must be an int, not {type(count).__name__}")
        if not 0 <= count <= _MAX_COUNT:
            raise ValueError(f"bigrams[{pair!r}] must be in 0..2**64-1, not {count}")
        key = (pair[0].lower(), pair[1].lower())
        pairs[key] = min(pairs.get(key, 0) + count, _MAX_COUNT)
    return pairs


def _on_word_scale(
    pairs: dict[tuple[str, str], int], counts: dict[str, int]
) -> dict[tuple[str, str], float]:
    """The pair counts brought onto the scale of the word counts. Pairs
    counted in another corpus (or another way) can be many times the words':
    a word cannot be followed more often than it occurs, so the pairs that
    follow the commonest words, whose followers the pairs list best, tell
    the factor between the two (the median over those words; never below 1)."""
    scale = _pair_scale(pairs, counts)
    return {pair: count / scale for pair, count in pairs.items()}


def _pair_scale(pairs: Mapping[tuple[str, str], float], counts: Mapping[str, int]) -> float:
    """The factor between pair and word counts (see _on_word_scale)."""
    follows: dict[str, float] = {}
    for (first, _), count in pairs.items():
        follows[first] = follows.get(first, 0) + count
    common = heapq.nlargest(
        _SCALE_WORDS, (word for word in follows if counts.get(word)), key=counts.__getitem__
    )
    if not common:
        return 1.0
    return max(1.0, statistics.median(follows[word] / counts[word] for word in common))


def _data_text(name: str) -> str:
    with gzip.open(os.path.join(_DATA, name), "rb") as stream:
        return stream.read().decode("utf-8")


def _english_data() -> tuple[dict[str, int], dict[tuple[str, str], int]]:
    """The shipped word counts and word-pair counts. The words are the
    frequency list's, plus the words of the package's word list too rare for
    it (names, possessives, derived forms) as known with a count of 0; the
    closed compounds that the counts' source wrote as two words are joined
    again (see _rejoin_source_splits)."""
    counts = dict.fromkeys(map(str.lower, default_words()), 0)
    fields = _data_text("frequency_en.txt.gz").split()
    counts.update(zip(fields[::2], map(int, fields[1::2]), strict=True))
    fields = _data_text("bigrams_en.txt.gz").split()
    firsts, seconds, numbers = fields[::3], fields[1::3], map(int, fields[2::3])
    pairs = dict(zip(zip(firsts, seconds, strict=True), numbers, strict=False))
    _rejoin_source_splits(counts, pairs)
    return counts, pairs


def _names(words: Iterable[str]) -> frozenset[str]:
    """The words written with a capital first (names), lower-cased."""
    return frozenset(word.lower() for word in words if word[:1].isupper() and not word.isupper())


def _english_names() -> frozenset[str]:
    """The names of the package's word list."""
    return _names(default_words())


def _english_counts() -> dict[str, int]:
    """The shipped word counts."""
    return _english_data()[0]


# The words of the larger lists of the word list's source (its names, rare
# and technical words) that neither the word list nor the counts hold, kept
# where segmentation needs them: those it cuts in two without them
# (scripts/make_segment_words.py). Segmentation alone knows them, so that
# fix accepts no misspelling for their sake. Each list starts with a line
# "=N": the list, from the smallest to the largest, adds N words in all.
SEGMENT_WORDS: Final = "segment_words_en.txt.gz"


def _english_segment_words() -> list[tuple[list[str], int]]:
    """The shipped words that segmentation alone knows (see SEGMENT_WORDS),
    list by list, each with how many words its list adds in all, kept or
    not."""
    lists: list[tuple[list[str], int]] = []
    for line in _data_text(SEGMENT_WORDS).split():
        if line.startswith("="):
            lists.append(([], int(line[1:])))
        else:
            lists[-1][0].append(line)
    return lists


# Closed compounds that the shipped counts' source cut in two when it split
# its text into words: its tokenizer writes "cannot" as "can not", so the
# pair counts both spellings and the closed form keeps only the few the
# tokenizer missed (88,737 against 358 million for the pair on the word
# scale). The other words such tokenizers cut ("gonna", "gimme", "wanna")
# are whole in these counts.
_SOURCE_SPLITS: Final = {"cannot": ("can", "not")}


def _rejoin_source_splits(counts: dict[str, int], pairs: dict[tuple[str, str], int]) -> None:
    """Give each closed compound of _SOURCE_SPLITS the occurrences its pair
    holds, where the pair is the commoner. Edited text writes the closed
    form far more often, so the two swap counts (on the word scale): the
    compound takes the pair's and the pair keeps the compound's, the open
    form being the rare one ("can not only"). The compound's neighbours are
    its halves' neighbours in the share of the halves' occurrences that were
    the compound: "i cannot" is "i can" times the share of "can" followed
    by "not", "cannot be" is "not be" times the share of "not" after "can"."""
    scale = _pair_scale(pairs, counts)
    floor = min(pairs.values(), default=1)
    for closed, (head, tail) in _SOURCE_SPLITS.items():
        together, alone = pairs.get((head, tail), 0), counts.get(closed, 0)
        if together <= alone * scale or not counts.get(head) or not counts.get(tail):
            continue
        of_head = min(1.0, together / (scale * counts[head]))
        of_tail = min(1.0, together / (scale * counts[tail]))
        found: dict[tuple[str, str], int] = {}
        for (first, second), count in pairs.items():
            if second == head:
                found[(first, closed)] = round(count * of_head)
            if first == tail:
                found[(closed, second)] = round(count * of_tail)
        for pair, count in found.items():
            if count >= floor:
                pairs[pair] = pairs.get(pair, 0) + count
        pairs[(head, tail)] = max(floor, round(alone * scale))
        counts[closed] = min(round(together / scale), _MAX_COUNT)


# The word search, the sounds-like key search and the words of each key.
_Searches = tuple[Index, Index, dict[str, list[str]]]


def _build_searches(counts: dict[str, int]) -> _Searches:
    """The searches a speller over ``counts`` draws its candidates from.
    Corrections come from the words seen in the corpus; words known with a
    count of 0 are accepted as written but never suggested. The sounds-like
    keys are searched in an index of their own, and each key lists its
    words commonest first."""
    seen = {word: min(count + 1, _MAX_COUNT) for word, count in counts.items() if count > 0}
    index = Index(list(seen), weights=seen)
    sounding: dict[str, list[str]] = {}
    for word, _ in sorted(seen.items(), key=lambda item: -item[1]):
        sounding.setdefault(sounds_like(word), []).append(word)
    keys = {key: seen[words[0]] for key, words in sounding.items()}
    return index, Index(list(keys), weights=keys), sounding


def _native_corrector(
    counts: dict[str, int], log_total: float, searches: _Searches
) -> _engine._Corrector:
    """The engine's corrector over ``searches`` (what ``correct`` runs)."""
    index, sounds, sounding = searches
    return _engine.corrector(
        index._search,
        index._table,
        sounds._search,
        sounds._table,
        (round(EDIT_COST * 1000), round(CHEAP_COST * 1000), VOWELS),
        sounding,
        counts,
        log_total,
        (_EDIT_CANDIDATES, _SOUND_CANDIDATES, _NEAR_COST, _MAX_COST, _LONGEST_WORD, _BAND),
    )


def english_searches() -> _Searches:
    """The searches of ``Speller.english()`` built from the shipped counts
    (what scripts/make_spell_data.py ships prebuilt)."""
    return _build_searches(_english_counts())
