"""How likely the letters of a word the counts do not know are: names and
rare words are spelt like the words the counts know ("willoughby" like
"will" and "rough"), not letter by letter at random."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Mapping
from typing import Final

# Before a word's first letter and after its last.
START: Final = "^^"
END: Final = "$"
# What may follow two letters: 26 letters and the end of the word.
_OUTCOMES: Final = 27
# How many of the commonest words the letters are learnt from: enough for
# every common spelling, and quick to count.
LEARNT_FROM: Final = 20_000


class LetterModel:
    """The natural-log probability of each letter after the two before it,
    from the commonest known words (each counted once, not by its count: a
    name is spelt like words in general, not like "the"), one added to
    every count.
    Letters outside a-z, and two letters never seen together, are one of
    27 outcomes."""

    __slots__ = ("_logs", "_unseen")

    def __init__(self, counts: Mapping[str, int]) -> None:
        words = sorted(counts, key=counts.__getitem__, reverse=True)[:LEARNT_FROM]
        text = "".join(START + word + END for word in words if word.isascii() and word.isalpha())
        # Every three letters of the text in a row, less those across a word's end.
        triples = Counter(text[at : at + 3] for at in range(len(text) - 2))
        for triple in [triple for triple in triples if END in triple[:2]]:
            del triples[triple]
        before: Counter[str] = Counter()
        for triple, count in triples.items():
            before[triple[:2]] += count
        self._logs = {
            triple: math.log((count + 1) / (before[triple[:2]] + _OUTCOMES))
            for triple, count in triples.items()
        }
        self._unseen = {pair: -math.log(count + _OUTCOMES) for pair, count in before.items()}

    def letter(self, before: str, letter: str) -> float:
        """log P(``letter`` | the two letters ``before``); ``letter`` END
        for the end of the word."""
        found = self._logs.get(before + letter)
        if found is not None:
            return found
        return self._unseen.get(before, -math.log(_OUTCOMES))

    def word(self, word: str) -> float:
        """The natural-log probability of ``word``'s letters and its end."""
        padded = START + word + END
        return sum(self.letter(padded[at - 2 : at], padded[at]) for at in range(2, len(padded)))
