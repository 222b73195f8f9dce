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
import math
import os
import pickle
import re
from collections.abc import Iterable, Iterator, Mapping
from typing import NamedTuple

from . import _spelldata
from ._spelldata import (
    _DATA,
    _build_searches,
    _english_data,
    _english_names,
    _english_segment_words,
    _names,
    _native_corrector,
    _on_word_scale,
    _pair_counts,
    _Searches,
    _word_counts,
)
from ._spellfix import _TextRules, word_spans
from ._spellrank import Suggestion
from .errormodel import ErrorModel
from .index import _threads as _workers
from .spelltext import with_case

__all__ = ["Speller", "Suggestion", "Misspelling"]

# Still reached through this module by the tests and scripts/make_spell_data.py.
_MAX_COST = _spelldata._MAX_COST
_NEAR_COST = _spelldata._NEAR_COST
_PREBUILT = _spelldata._PREBUILT
english_searches = _spelldata.english_searches


class Misspelling(NamedTuple):
    """A word that ``check`` found misspelt: its span in the text, the word
    as written, and suggestions, best first."""

    start: int
    end: int
    word: str
    suggestions: list[str]


class Speller(_TextRules):
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
        self._names = _names(counts)
        self._setup_segment()

    def _setup(
        self,
        counts: dict[str, int],
        pairs: dict[tuple[str, str], int],
        model: ErrorModel | None,
        searches: _Searches | None = None,
    ) -> None:
        self._counts = counts
        self._pairs = _on_word_scale(pairs, counts)
        self._model = ErrorModel.default() if model is None else model
        self._total = sum(counts.values()) + len(counts)
        self._log_total = math.log(self._total)
        if searches is None:
            searches = _build_searches(counts)
        self._index, self._sounds, self._sounding = searches
        self._corrector = _native_corrector(counts, self._log_total, searches)
        # A word known but not counted is taken to be half as common as the
        # rarest word counted.
        self._rare_count = min(filter(None, counts.values()), default=1) / 2
        self._near = {}
        self._setup_text()
        rarest_pair = min(self._pairs.values(), default=0.0)
        self._pair_floor = math.log(rarest_pair) - self._log_total if rarest_pair > 0 else 0.0
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
        speller._setup(*_english_data(), None, searches)
        speller._names = _english_names()
        speller._setup_segment(*_english_segment_words())
        return speller

    def with_model(self, model: ErrorModel) -> Speller:
        """A speller over the same counts with another error model (the
        searches are shared, not rebuilt)."""
        if not isinstance(model, ErrorModel):
            raise TypeError(f"model must be an ErrorModel, not {type(model).__name__}")
        other = Speller.__new__(Speller)
        for name in _slot_names(Speller):
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
        and punctuation already in the text are kept as boundaries, but an
        apostrophe between letters is inside a word, as ``fix`` reads it
        ("don't"); the words are slices of ``text``."""
        text = _text("text", text)
        words: list[str] = []
        for match in re.finditer(r"[^\W_]+(?:['\u2019][^\W_]+)*|[^\w\s]|_", text):
            piece = match.group()
            if piece.replace("'", "").replace("\u2019", "").isalpha():
                words.extend(self._segment_run(piece))
            else:
                words.append(piece)
        return words

    # ---- finding and fixing in text ----------------------------------------

    def words(self, text: str) -> Iterator[tuple[int, int]]:
        """The (start, end) spans of the words of ``text`` that are checked:
        words outside URLs, e-mail addresses, numbers and code."""
        text = _text("text", text)
        yield from word_spans(text)


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _slot_names(cls: type) -> list[str]:
    """The slots of ``cls`` and of every class it is made from."""
    return [name for base in cls.__mro__ for name in base.__dict__.get("__slots__", ())]
