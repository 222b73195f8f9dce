"""Spell checking of words and text with a noisy channel.

A ``Speller`` picks, for a word it does not know, the word w that maximises
P(w | context) * P(typed | w): the first factor from corpus counts (and word
pairs, when given), the second from an :class:`~morlatch.ErrorModel`.
Candidates come from the native engine: every word within two edits, ranked
by the engine's own cheap model, and every word whose sounds-like key is
within one edit of the typed word's key.
"""

from __future__ import annotations

import gzip
import itertools
import math
import os
import pickle
import re
from collections.abc import Iterable, Iterator, Mapping
from typing import Final, NamedTuple

from . import _engine
from .errormodel import _BAND, ErrorModel
from .index import CHEAP_COST, EDIT_COST, VOWELS, Index
from .index import _threads as _workers
from .sounds import sounds_like
from .spelltext import SKIPPED, WORD, lower_at, sentence_start, with_case
from .wordlist import default_words

__all__ = ["Speller", "Suggestion", "Misspelling"]

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
# The weight of a word pair missing from the bigram counts, relative to the
# second word's own probability ("stupid backoff").
_BACKOFF: Final = 0.4
# How much likelier (natural log) a split or joined form must be than the
# text as written.
# Prefixes that make new words freely: a word that starts with one is not
# split after it.
_PREFIXES: Final = frozenset(
    "anti counter dis hyper inter mid mis multi non over post pre pro re semi sub "
    "super trans un under".split()
)
_SPLIT_MARGIN: Final = math.log(50)
# How many of the likeliest splits ending at each place segment carries on.
_SEGMENT_BEAM: Final = 8
_JOIN_MARGIN: Final = math.log(50)
# A capitalised word the speller does not know, in mid-sentence, is taken for
# a name unless its best correction costs at most this much.
_NAME_EVIDENCE: Final = 1.5
# ... or at most this much and seen beside a neighbour in the word pairs.
_CONTEXT_EVIDENCE: Final = 6.0
# A known word is replaced by a neighbour only when context makes the
# neighbour this much likelier (natural log).
_REAL_WORD_MARGIN: Final = math.log(1e3)
_REAL_WORD_MIN: Final = 2
# A candidate that costs more than this (natural log) to mistype as the
# word is no suggestion (about one misspelling in thirty of the corpus the
# default model was fitted on costs more).
_MAX_COST: Final = 18.0
# Longer words are not checked (nor segmented as one word).
_LONGEST_WORD: Final = 40

_NOT_IN_WORD = re.compile("[\\s\ud800-\udfff]")


class Suggestion(NamedTuple):
    """A suggested word and its score (a natural-log probability; higher is
    likelier)."""

    word: str
    score: float


class Misspelling(NamedTuple):
    """A word that ``check`` found misspelt: its span in the text, the word
    as written, and suggestions, best first."""

    start: int
    end: int
    word: str
    suggestions: list[str]


class Speller:
    """A spell checker over corpus counts.

    ``counts`` maps words to how often they occur (ints 0..2**64-1); case is
    folded, so "The" and "the" add up. A word with a count of 0 is accepted
    as written but never suggested. ``bigrams`` maps (word, next word)
    pairs to counts and lets context choose among candidates, fix real-word
    errors, and join or split words. ``model`` is the error model
    (default: :meth:`ErrorModel.default`).
    """

    __slots__ = (
        "_counts",
        "_total",
        "_log_total",
        "_pairs",
        "_model",
        "_index",
        "_sounds",
        "_sounding",
        "_unpunctuated",
        "_margins",
        "_corrector",
    )

    def __init__(
        self,
        counts: Mapping[str, int],
        *,
        bigrams: Mapping[tuple[str, str], int] | None = None,
        model: ErrorModel | None = None,
    ) -> None:
        if model is not None and not isinstance(model, ErrorModel):
            raise TypeError(f"model must be an ErrorModel, not {type(model).__name__}")
        pairs = {} if bigrams is None else _pair_counts(bigrams)
        self._setup(_word_counts(counts), pairs, model)

    def _setup(
        self,
        counts: dict[str, int],
        pairs: dict[tuple[str, str], int],
        model: ErrorModel | None,
        searches: _Searches | None = None,
    ) -> None:
        self._counts = counts
        self._pairs = pairs
        self._model = ErrorModel.default() if model is None else model
        self._total = sum(counts.values()) + len(counts)
        self._log_total = math.log(self._total)
        if searches is None:
            searches = _build_searches(counts)
        self._index, self._sounds, self._sounding = searches
        self._corrector = _native_corrector(counts, self._log_total, searches)
        # The pair counts' margins, which only segment needs: summed on its
        # first use rather than on every speller's build.
        self._margins: tuple[dict[str, float], dict[str, float], float] | None = None
        # Text run together loses its apostrophes: "dont" is "don't".
        self._unpunctuated: dict[str, int] = {}
        for word, count in counts.items():
            bare = word.replace("'", "")
            if bare != word and bare and bare not in counts:
                self._unpunctuated[bare] = self._unpunctuated.get(bare, 0) + count
        # Both searches build what they need on first use: do it now rather
        # than on the caller's first word.
        self._ranked("warmup", None, None, 1)
        self._ranked("warmup", None, None, 2)

    @classmethod
    def english(cls) -> Speller:
        """A speller for English with the word and word-pair counts that ship
        with the package (see data/LICENSE-frequency.txt)."""
        speller = cls.__new__(cls)
        with gzip.open(os.path.join(_DATA, _PREBUILT), "rb") as stream:
            searches = pickle.load(stream)
        speller._setup(_english_counts(), _english_pairs(), None, searches)
        return speller

    def with_model(self, model: ErrorModel) -> Speller:
        """A speller over the same counts with another error model (the
        searches are shared, not rebuilt)."""
        if not isinstance(model, ErrorModel):
            raise TypeError(f"model must be an ErrorModel, not {type(model).__name__}")
        other = Speller.__new__(Speller)
        for name in self.__slots__:
            setattr(other, name, getattr(self, name))
        other._model = model
        return other

    def __repr__(self) -> str:
        return f"<morlatch.Speller of {len(self._counts)} words>"

    def __contains__(self, word: object) -> bool:
        return isinstance(word, str) and word.lower() in self._counts

    # ---- words ---------------------------------------------------------------

    def correct(self, word: str) -> str:
        """The likeliest word meant by ``word``, in its case pattern; the word
        itself when it is known or nothing is within reach."""
        word = _text("word", word)
        lower = word.lower()
        if lower in self._counts:
            return word
        found = self._meant([lower], 1)[0]
        return word if found is None else with_case(word, found)

    def correct_many(self, words: Iterable[str], *, workers: int | None = None) -> list[str]:
        """``correct`` for every word, in order, on ``workers`` native threads
        that run without the interpreter's lock (None: one per core)."""
        if isinstance(words, str):
            raise TypeError("words must be an iterable of str, not str")
        batch = [_text("words", word) for word in words]
        found = self._meant([word.lower() for word in batch], _workers(workers))
        return [
            word if best is None else with_case(word, best)
            for word, best in zip(batch, found, strict=True)
        ]

    def _meant(self, lower: list[str], workers: int) -> list[str | None]:
        """The word each lower-case word of ``lower`` stands for without
        context (None: itself), from one native call: the words one edit
        away and those sounding alike, then, unless the best of them is a
        cheap slip, those two edits away, ranked by count and channel."""
        keys = [sounds_like(word) if 2 < len(word) <= _LONGEST_WORD else "" for word in lower]
        return _engine.corrector_best(self._corrector, self._model.channel, lower, keys, workers)

    def suggest(self, word: str, limit: int = 5) -> list[Suggestion]:
        """Up to ``limit`` words ``word`` may stand for, likeliest first, in
        its case pattern; a known word comes first itself."""
        word = _text("word", word)
        if isinstance(limit, bool) or not isinstance(limit, int):
            raise TypeError(f"limit must be an int, not {type(limit).__name__}")
        if limit < 0:
            raise ValueError(f"limit must not be negative, not {limit}")
        found = self._ranked(word.lower(), None, None, limit)
        return [Suggestion(with_case(word, hit.word), hit.score) for hit in found]

    def _ranked(
        self, word: str, before: str | None, after: str | None, limit: int
    ) -> list[Suggestion]:
        """Candidates for the lower-case ``word`` between ``before`` and
        ``after`` (None: no context), scored and ranked. For the best word
        alone, the words one edit away are tried first, and the two-edit
        search runs only when their best is not a cheap slip."""
        if not word or limit == 0 or len(word) > _LONGEST_WORD:
            return []
        heard = self._heard(word)
        if limit == 1 and word not in self._counts:
            near = self._scored(word, self._candidates(word, 1, heard), before, after, 1)
            if near and near[0][1] <= _NEAR_COST:
                return [near[0][0]]
        return [
            hit
            for hit, _ in self._scored(word, self._candidates(word, 2, heard), before, after, limit)
        ]

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
        if before is None and after is None:
            get, log_total = self._counts.get, self._log_total
            priors = [math.log(get(candidate, 0) + 1) - log_total for candidate in candidates]
        else:
            priors = [self._context(candidate, before, after) for candidate in candidates]
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
        hits = self._index.correct(word, edits, limit=_EDIT_CANDIDATES)
        return _merged((hit.key for hit in hits), heard)

    def _heard(self, word: str) -> list[str]:
        """The commonest words whose sounds-like key is within one edit of
        ``word``'s."""
        if len(word) <= 2:
            return []
        heard = (
            alike
            for hit in self._sounds.search(sounds_like(word), 1, limit=_SOUND_CANDIDATES)
            for alike in self._sounding[hit.key]
        )
        return list(itertools.islice(heard, _SOUND_CANDIDATES))

    def _log_p(self, word: str) -> float:
        return math.log(self._counts.get(word, 0) + 1) - self._log_total

    def _log_follow(self, first: str, second: str) -> float:
        """log P(second | first), backing off to P(second)."""
        pair = self._pairs.get((first, second))
        if pair is not None:
            return math.log(pair) - math.log(self._counts.get(first, 0) + pair)
        return math.log(_BACKOFF) + self._log_p(second)

    def _context(self, word: str, before: str | None, after: str | None) -> float:
        """log P(word | before) + log P(after | word), or log P(word)
        without context."""
        if not self._pairs:
            return self._log_p(word)
        score = self._log_p(word) if before is None else self._log_follow(before, word)
        if after is not None:
            score += self._log_follow(word, after) - self._log_p(after)
        return score

    # ---- text ----------------------------------------------------------------

    def check(self, text: str) -> list[Misspelling]:
        """The misspelt words of ``text``, in order, with suggestions."""
        text = _text("text", text)
        return [
            Misspelling(start, end, text[start:end], [hit.word for hit in hits])
            for start, end, hits in self._findings(text, 5)
        ]

    def fix(self, text: str) -> str:
        """``text`` with its misspelt words corrected, everything else (case,
        punctuation, spacing, apostrophes, hyphens) kept as it is; run-together
        words are split and split words joined where that is far likelier."""
        text = _text("text", text)
        out: list[str] = []
        at = 0
        for start, end, replacement in self._edits(text):
            out.append(text[at:start])
            out.append(replacement)
            at = end
        out.append(text[at:])
        return "".join(out)

    def segment(self, text: str) -> list[str]:
        """The words of ``text`` written without spaces, likeliest split first:
        ``segment("thequickfox")`` gives ``["the", "quick", "fox"]``. Spaces
        and punctuation already in the text are kept as boundaries; the words
        are slices of ``text``."""
        text = _text("text", text)
        words: list[str] = []
        for match in re.finditer(r"[^\W_]+|[^\w\s]|_", text):
            piece = match.group()
            if piece.isalpha():
                words.extend(self._segment_run(piece))
            else:
                words.append(piece)
        return words

    def _segment_run(self, run: str) -> list[str]:
        """The likeliest split of ``run`` into words by word counts; with word
        pairs, a pair seen together scores the evidence it adds (how much
        likelier the second word is after the first than alone), and the
        likeliest few splits ending at each place are carried on."""
        lower = run.lower()
        n = len(lower)
        # best[i]: the splits of the first i letters kept, as {start of the
        # last word: (score, start of the word before it)}.
        best: list[dict[int, tuple[float, int]]] = [{0: (0.0, -1)}] + [{} for _ in range(n)]
        pairs = self._pairs
        for start in range(n):
            if not best[start]:
                continue
            ahead = sorted(best[start].items(), key=lambda item: -item[1][0])[:_SEGMENT_BEAM]
            first, (top, _) = ahead[0]
            for end in range(start + 1, min(n, start + _LONGEST_WORD) + 1):
                word = lower[start:end]
                own = self._word_score(word)
                chosen, score = first, top + own
                if pairs and start and word in self._counts:
                    for before, (held, _) in ahead:
                        gain = self._pair_gain(lower[before:start], word)
                        if held + own + gain > score:
                            chosen, score = before, held + own + gain
                kept = best[end].get(start)
                if kept is None or score > kept[0]:
                    best[end][start] = (score, chosen)
        words: list[str] = []
        end, start = n, max(best[n].items(), key=lambda item: item[1][0])[0]
        while end > 0:
            words.append(run[start:end])
            end, start = start, best[end][start][1]
        words.reverse()
        return words

    def _pair_gain(self, previous: str, word: str) -> float:
        """How much likelier (natural log) ``word`` is after ``previous``
        than after any word, among the word pairs, when the two were seen
        together and it is; else 0."""
        pair = self._pairs.get((previous, word))
        if not pair:
            return 0.0
        if self._margins is None:
            self._margins = _pair_margins(self._pairs)
        firsts, seconds, log_total = self._margins
        return max(0.0, math.log(pair) + log_total - firsts[previous] - seconds[word])

    def _word_score(self, word: str) -> float:
        count = self._counts.get(word)
        if count is None:
            count = self._unpunctuated.get(word)
        if count is not None:
            return math.log(count + 1) - self._log_total
        # An unknown word is the less likely the longer it is.
        return math.log(10.0) - self._log_total - len(word) * math.log(10.0)

    # ---- finding and fixing in text ----------------------------------------

    def words(self, text: str) -> Iterator[tuple[int, int]]:
        """The (start, end) spans of the words of ``text`` that are checked:
        words outside URLs, e-mail addresses, numbers and code."""
        text = _text("text", text)
        for piece in re.finditer(r"\S+", text):
            if SKIPPED.fullmatch(piece.group()):
                continue
            base = piece.start()
            for word in WORD.finditer(piece.group()):
                yield base + word.start(), base + word.end()

    def _findings(self, text: str, limit: int) -> Iterator[tuple[int, int, list[Suggestion]]]:
        spans = list(self.words(text))
        for at, (start, end) in enumerate(spans):
            word = text[start:end]
            if not self._unknown(word) or not self._worth_checking(text, start, word):
                continue
            before = lower_at(text, spans, at - 1, at)
            after = lower_at(text, spans, at + 1, at)
            hits = self._ranked(word.lower(), before, after, limit)
            if self._name(text, start, word, hits[0].word if hits else None, before, after):
                continue
            yield start, end, [Suggestion(with_case(word, hit.word), hit.score) for hit in hits]

    def _unknown(self, word: str) -> bool:
        """Whether ``word`` is not known as written: not in the counts, nor
        a known word with a possessive "'s", nor a known word of four letters
        or more after a prefix that makes words freely ("sublicense")."""
        lower = word.lower()
        if lower in self._counts:
            return False
        stem = re.sub(r"['\u2019]s$", "", lower).replace("\u2019", "'")
        if stem in self._counts:
            return False
        for size in range(2, 6):
            if stem[:size] in _PREFIXES and len(stem) - size >= 4 and stem[size:] in self._counts:
                return False
        return True

    def _worth_checking(self, text: str, start: int, word: str) -> bool:
        """False for words taken as names or acronyms rather than typos."""
        if len(word) < 2 or len(word) > _LONGEST_WORD:
            return False
        if word.isupper() and len(word) <= 5:
            # An acronym, unless the text around is in capitals too.
            around = text[max(0, start - 40) : start + len(word) + 40]
            return not any(ch.islower() for ch in around)
        return True

    def _edits(self, text: str) -> Iterator[tuple[int, int, str]]:
        """(start, end, replacement) for every change fix makes, in order."""
        spans = list(self.words(text))
        skip_next = False
        for at, (start, end) in enumerate(spans):
            if skip_next:
                skip_next = False
                continue
            word = text[start:end]
            lower = word.lower()
            before = lower_at(text, spans, at - 1, at)
            after = lower_at(text, spans, at + 1, at)
            joined = self._join(text, spans, at)
            if joined is not None:
                yield start, spans[at + 1][1], with_case(word, joined)
                skip_next = True
                continue
            if not self._unknown(word):
                # Capitalised words may be names, and the word pairs hold no
                # words with apostrophes: neither is questioned.
                if word[0].isupper() or not word.isalpha():
                    continue
                better = self._real_word(lower, before, after)
                if better is not None:
                    yield start, end, with_case(word, better)
                continue
            if not self._worth_checking(text, start, word):
                continue
            replacement = self._replacement(text, start, word, before, after)
            if replacement is not None:
                yield start, end, replacement

    def _replacement(
        self, text: str, start: int, word: str, before: str | None, after: str | None
    ) -> str | None:
        lower = word.lower()
        hits = self._ranked(lower, before, after, 1)
        split = self._split(lower, before, after)
        best = hits[0] if hits else None
        if split is not None and (best is None or split[1] > best.score + _SPLIT_MARGIN):
            first, second = split[0]
            return with_case(word[: len(first)], first) + " " + second
        if best is None or self._name(text, start, word, best.word, before, after):
            return None
        if _apostrophes(best.word) < _apostrophes(lower):
            return None  # the apostrophes typed are punctuation kept, not letters to fix
        return with_case(word, best.word)

    def _name(
        self,
        text: str,
        start: int,
        word: str,
        best: str | None,
        before: str | None,
        after: str | None,
    ) -> bool:
        """Whether the capitalised ``word`` at ``start`` is taken for a name
        rather than a misspelling of ``best``: unless the correction is cheap,
        or fairly cheap and seen beside a neighbour (or at a sentence's
        start, where every word is capitalised)."""
        if not word[0].isupper() or word.isupper():
            return False
        if best is None:
            return True
        cost = self._model.cost(word.lower(), best)
        if cost <= _NAME_EVIDENCE:
            return False
        if cost > _CONTEXT_EVIDENCE:
            return True
        if sentence_start(text, start):
            return False
        return (before, best) not in self._pairs and (best, after) not in self._pairs

    def _split(
        self, word: str, before: str | None, after: str | None
    ) -> tuple[tuple[str, str], float] | None:
        """The likeliest way to read ``word`` as two known words, with its
        score, or None."""
        best: tuple[tuple[str, str], float] | None = None
        for cut in range(1, len(word)):
            first, second = word[:cut], word[cut:]
            if first not in self._counts or second not in self._counts:
                continue
            if first in _PREFIXES:
                continue  # "sublicense", "nonfree": a derived word the counts lack
            if len(first) == 1 and first not in "ai":
                continue
            if len(second) == 1 and second not in "ai":
                continue
            score = self._context(first, before, None) + self._log_follow(first, second)
            if after is not None:
                score += self._log_follow(second, after) - self._log_p(after)
            if best is None or score > best[1]:
                best = ((first, second), score)
        return best

    def _join(self, text: str, spans: list[tuple[int, int]], at: int) -> str | None:
        """The word that the word at ``at`` and the next make when written
        together, if the text is far likelier so; else None."""
        if at + 1 >= len(spans):
            return None
        (start, end), (start2, end2) = spans[at], spans[at + 1]
        if text[end:start2] != " ":
            return None
        first, second = text[start:end].lower(), text[start2:end2].lower()
        joined = first + second
        # Not across a capital (two names, or a name after a word).
        if joined not in self._counts or text[start2].isupper():
            return None
        known = not self._unknown(first) and not self._unknown(second)
        if known and not self._pairs:
            return None
        before = lower_at(text, spans, at - 1, at)
        after = lower_at(text, spans, at + 2, at + 1)
        # Apart, an unknown half may be a misspelling: it counts as its best
        # correction, less the correction's cost.
        penalty = 0.0
        if self._unknown(first):
            first, penalty = self._best(first, before, second)
        if first and self._unknown(second):
            second, cost = self._best(second, first, after)
            penalty += cost
        if not first or not second:
            return joined
        apart = self._context(first, before, None) + self._log_follow(first, second) - penalty
        together = self._context(joined, before, None)
        if after is not None:
            apart += self._log_follow(second, after) - self._log_p(after)
            together += self._log_follow(joined, after) - self._log_p(after)
        return joined if together > apart + _JOIN_MARGIN else None

    def _best(self, word: str, before: str | None, after: str | None) -> tuple[str, float]:
        """The best correction of the unknown ``word`` and its cost; ("", 0)
        when there is none."""
        hits = self._ranked(word, before, after, 1)
        if not hits:
            return "", 0.0
        return hits[0].word, self._model.cost(word, hits[0].word)

    def _real_word(self, word: str, before: str | None, after: str | None) -> str | None:
        """A known word that context says was mistyped for a neighbour: the
        neighbour, or None. Only a word never seen beside its neighbours is
        questioned, and only a neighbour seen beside all of them replaces it."""
        if not self._pairs or (before is None and after is None) or len(word) < _REAL_WORD_MIN:
            return None
        if self._beside(word, before, after):
            return None
        if not self._counts.get(word):
            return None  # a word the corpus lacks has no word pairs to miss
        here = self._context(word, before, after)
        best: tuple[float, str] | None = None
        for hit in self._index.correct(word, 1, limit=8):
            other = hit.key
            if other == word or not self._beside(other, before, after):
                continue
            score = self._context(other, before, after) - self._model.cost(word, other)
            if score > here + _REAL_WORD_MARGIN and (best is None or score > best[0]):
                best = (score, other)
        return None if best is None else best[1]

    def _beside(self, word: str, before: str | None, after: str | None) -> bool:
        """Whether ``word`` was seen after ``before`` and before ``after``
        (where there are such neighbours)."""
        pairs = self._pairs
        return (before is None or (before, word) in pairs) and (
            after is None or (word, after) in pairs
        )


# ---- helpers ---------------------------------------------------------------------


def _apostrophes(word: str) -> int:
    return word.count("'") + word.count("\u2019")


def _merged(near: Iterable[str], heard: list[str]) -> list[str]:
    """The words of ``near``, then those of ``heard`` not among them."""
    found = dict.fromkeys(near)
    for alike in heard:
        found.setdefault(alike)
    return list(found)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


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


def _pair_margins(
    pairs: dict[tuple[str, str], int],
) -> tuple[dict[str, float], dict[str, float], float]:
    """The natural logs of how often each word comes first and second in the
    word pairs, and of all the pairs' count."""
    firsts: dict[str, int] = {}
    seconds: dict[str, int] = {}
    for (first, second), count in pairs.items():
        firsts[first] = firsts.get(first, 0) + count
        seconds[second] = seconds.get(second, 0) + count
    total = sum(firsts.values())
    return (
        {word: math.log(count) for word, count in firsts.items() if count},
        {word: math.log(count) for word, count in seconds.items() if count},
        math.log(total) if total else 0.0,
    )


def _data_text(name: str) -> str:
    with gzip.open(os.path.join(_DATA, name), "rb") as stream:
        return stream.read().decode("utf-8")


def _english_counts() -> dict[str, int]:
    """The shipped word counts: the frequency list, plus the words of the
    package's word list too rare for it (names, possessives, derived forms)
    as known with a count of 0."""
    counts = dict.fromkeys(map(str.lower, default_words()), 0)
    fields = _data_text("frequency_en.txt.gz").split()
    counts.update(zip(fields[::2], map(int, fields[1::2]), strict=True))
    return counts


def _english_pairs() -> dict[tuple[str, str], int]:
    """The shipped word-pair counts."""
    fields = _data_text("bigrams_en.txt.gz").split()
    firsts, seconds, counts = fields[::3], fields[1::3], map(int, fields[2::3])
    return dict(zip(zip(firsts, seconds, strict=True), counts, strict=False))


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
