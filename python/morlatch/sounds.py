"""A sounds-like key for English words: words that are pronounced alike
mostly get keys within an edit or two of each other, however they are spelt.

The key keeps the first letter's sound and the consonant skeleton: letter
groups that spell one sound become one letter ("ph" and "f", "ck" and "k",
soft "c" and "s"), doubled letters become one, silent letters go, and each
group of vowels inside the word becomes one "a". The engine computes it, so
that a speller's native calls key their words themselves."""

from __future__ import annotations

from . import _engine

__all__ = ["sounds_like"]


def sounds_like(word: str) -> str:
    """The sounds-like key of ``word`` (case is ignored; letters outside
    a-z are dropped, so a word of other letters keys as itself)."""
    if not isinstance(word, str):
        raise TypeError(f"word must be a str, not {type(word).__name__}")
    return _engine.sounds_like(word.lower())
