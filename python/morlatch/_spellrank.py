"""The candidates a speller weighs for a word and how it ranks them: the
words within one or two edits and those sounding alike, scored by their
counts (and neighbours, with word pairs) and the error model."""

from __future__ import annotations

import itertools
import math
from collections.abc import Iterable
from typing import Final, NamedTuple

from . import _engine
from ._spelldata import (
    _EDIT_CANDIDATES,
    _LONGEST_WORD,
    _MAX_COST,
    _NEAR_COST,
    _SOUND_CANDIDATES,
)
from .errormodel import ErrorModel
from .index import Index
from .sounds import sounds_like

# The weight of a word pair missing from the bigram counts, relative to the
# second word's own probability ("stupid backoff").
_BACKOFF: Final = 0.4
# How many words' candidates are remembered at most.
_GATHERED_REMEMBERED: Final = 1 << 14


class Suggestion(NamedTuple):
    """A suggested word and its score (a natural-log probability; higher is
    likelier)."""

    word: str
    score: float


# Defined here, known by the public module's name (its repr and pickles).
Suggestion.__module__ = "morlatch.speller"


class _Ranker:
    """The scoring half of a speller; the speller holds the state."""

    __slots__ = ("_gathered",)

    _counts: dict[str, int]
    _total: int
    _log_total: float
    _pairs: dict[tuple[str, str], float]
    _model: ErrorModel
    _index: Index
    _sounds: Index
    _sounding: dict[str, list[str]]
    _corrector: _engine._Corrector
    # The candidates of words asked lately, by (word, edits; 0 for the words
    # sounding alike): a text asks again for a word it repeats, and a word's
    # ranking asks for its one-edit words again with the two-edit search.
    _gathered: dict[tuple[str, int], list[str]]

    def _meant(self, lower: list[str], workers: int) -> list[str | None]:
        """The word each lower-case word of ``lower`` stands for without
        context (None: itself), from one native call: the words one edit
        away and those sounding alike, then, unless the best of them is a
        cheap slip, those two edits away, ranked by count and channel."""
        return _engine.corrector_best(self._corrector, self._model.channel, lower, workers)

    def _ranked(
        self, word: str, before: str | None, after: str | None, limit: int
    ) -> list[Suggestion]:
        """Candidates for the lower-case ``word`` between ``before`` and
        ``after`` (None: no context), scored and ranked. The words one edit
        away are tried first: when their best is a cheap slip it is the best
        word, and the two-edit search runs only for the rest of the ranking,
        so the first of any number of suggestions is the same word."""
        if not word or limit == 0 or len(word) > _LONGEST_WORD:
            return []
        heard = self._heard(word)
        first: list[Suggestion] = []
        if word not in self._counts:
            near = self._scored(word, self._candidates(word, 1, heard), before, after, 1)
            if near and near[0][1] <= _NEAR_COST:
                first = [near[0][0]]
                if limit == 1:
                    return first
        found = self._scored(word, self._candidates(word, 2, heard), before, after, limit + 1)
        rest = [hit for hit, _ in found if not first or hit.word != first[0].word]
        return (first + rest)[:limit]

    def _scored(
        self,
        word: str,
        candidates: list[str],
        before: str | None,
        after: str | None,
        limit: int,
    ) -> list[tuple[Suggestion, float]]:
        """The ``limit`` best of ``candidates`` for ``word``, each with the
        cost of mistyping it as ``word``; a known ``word`` ranks first."""
        known = word in self._counts
        if known and word not in candidates:
            candidates.append(word)
        if not candidates:
            return []
        priors = self._contexts(candidates, before, after)
        found = [
            (Suggestion(candidates[at], score), priors[at] - score)
            for at, score in self._model.ranked(word, candidates, priors, limit, _MAX_COST)
        ]
        if known:  # a known word ranks first
            at = candidates.index(word)
            found = [(Suggestion(word, priors[at]), 0.0)] + [
                hit for hit in found if hit[0].word != word
            ]
        return found[:limit]

    def _candidates(self, word: str, edits: int, heard: list[str]) -> list[str]:
        """The words within ``edits`` edits of ``word`` that the engine's
        cheap model ranks best, then the words of ``heard`` not among them."""
        found = self._gathered.get((word, edits))
        if found is None:
            hits = self._index.correct(word, edits, limit=_EDIT_CANDIDATES)
            found = self._gather((word, edits), _merged((hit.key for hit in hits), heard))
        return list(found)  # the caller may add to it

    def _heard(self, word: str) -> list[str]:
        """The commonest words whose sounds-like key is within one edit of
        ``word``'s."""
        if len(word) <= 2:
            return []
        found = self._gathered.get((word, 0))
        if found is None:
            heard = (
                alike
                for hit in self._sounds.search(sounds_like(word), 1, limit=_SOUND_CANDIDATES)
                for alike in self._sounding[hit.key]
            )
            found = self._gather((word, 0), list(itertools.islice(heard, _SOUND_CANDIDATES)))
        return found

    def _gather(self, key: tuple[str, int], found: list[str]) -> list[str]:
        """Remembers ``found`` for ``key`` (forgetting all once there are
        _GATHERED_REMEMBERED) and returns it."""
        if len(self._gathered) >= _GATHERED_REMEMBERED:
            self._gathered.clear()
        self._gathered[key] = found
        return found

    def _log_p(self, word: str) -> float:
        return math.log(self._counts.get(word, 0) + 1) - self._log_total

    def _log_follow(self, first: str, second: str) -> float:
        """log P(second | first), backing off to P(second)."""
        pair = self._pairs.get((first, second))
        if pair is not None:
            return math.log(pair) - math.log(self._counts.get(first, 0) + pair)
        return math.log(_BACKOFF) + self._log_p(second)

    def _contexts(self, words: list[str], before: str | None, after: str | None) -> list[float]:
        """``_context`` of each of ``words`` between the same neighbours, from
        one native call (the same arithmetic, so the same floats)."""
        return _engine.context_scores(
            self._counts, self._pairs, self._log_total, _BACKOFF, words, before, after
        )

    def _context(self, word: str, before: str | None, after: str | None) -> float:
        """log P(word | before) + log P(after | word), or log P(word)
        without context."""
        if not self._pairs:
            return self._log_p(word)
        score = self._log_p(word) if before is None else self._log_follow(before, word)
        if after is not None:
            score += self._log_follow(word, after) - self._log_p(after)
        return score


def _merged(near: Iterable[str], heard: list[str]) -> list[str]:
    """The words of ``near``, then those of ``heard`` not among them."""
    found = dict.fromkeys(near)
    for alike in heard:
        found.setdefault(alike)
    return list(found)
