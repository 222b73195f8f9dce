"""A sounds-like key for English words: words that are pronounced alike
mostly get keys within an edit or two of each other, however they are spelt.

The key keeps the first letter's sound and the consonant skeleton: letter
groups that spell one sound become one letter ("ph" and "f", "ck" and "k",
soft "c" and "s"), doubled letters become one, silent letters go, and each
group of vowels inside the word becomes one "a"."""

from __future__ import annotations

import re

__all__ = ["sounds_like"]

# Applied in order; each turns a spelling into the letter that stands for
# its sound. "a" stands for any vowel group.
_RULES: tuple[tuple[re.Pattern[str], str], ...] = tuple(
    (re.compile(pattern), sound)
    for pattern, sound in (
        (r"[^a-z]", ""),
        (r"^[gkp](?=n)|^w(?=r)|^p(?=s)", ""),
        (r"mb$", "m"),
        (r"ph", "f"),
        (r"gh(?=[^aeiouy]|$)", ""),
        (r"tch", "ch"),
        (r"dg(?=[eiy])", "j"),
        (r"sch", "sk"),
        (r"c(?=[eiy])", "s"),
        (r"ck|c|q", "k"),
        (r"x", "ks"),
        (r"wh", "w"),
        (r"sh|ch|ti(?=[ao])|si(?=[ao])", "X"),
        (r"th", "0"),
        (r"z", "s"),
        (r"v", "f"),
        (r"([a-zX0])\1+", r"\1"),
        (r"(?<=[aeiouy])h(?![aeiouy])", ""),
        (r"[aeiouy]+", "a"),
        (r"(?<=.)a$", ""),
    )
)


def sounds_like(word: str) -> str:
    """The sounds-like key of ``word`` (case is ignored; letters outside
    a-z are dropped, so a word of other letters keys as itself)."""
    key = word.lower()
    if not key.isascii():
        return key
    first = key[:1]
    for pattern, sound in _RULES:
        key = pattern.sub(sound, key)
    if first in "aeiouy" and key[:1] == "a":
        key = first + key[1:]
    return key or word.lower()
