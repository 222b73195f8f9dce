"""The text side of spell checking: which words of a text are checked,
where sentences start, and the case pattern of a word."""

from __future__ import annotations

import re

__all__ = ["WORD", "SKIPPED", "with_case", "lower_at", "sentence_start"]

# A word: letters, with apostrophes inside (don't, farmer's).
WORD = re.compile(r"[^\W\d_]+(?:['\u2019][^\W\d_]+)*")
# Whitespace-separated pieces that hold no words to check: URLs, e-mail
# addresses, paths, code (digits, underscores, inner capitals or dots, markup).
SKIPPED = re.compile(
    r"""\S*(?:://|www\.|@|[/\\_=<>{}\[\]#$%^&*|~`+]|\d|[a-z][A-Z]|\w\.\w|[\ud800-\udfff])\S*"""
)
_OPENERS = frozenset("\"'([{\u201c\u2018\u00ab")


def with_case(pattern: str, word: str) -> str:
    """``word`` in the case pattern of ``pattern``: all capitals, a capital
    first, or as it is."""
    if len(pattern) > 1 and pattern.isupper():
        return word.upper()
    if pattern[:1].isupper():
        return word[:1].upper() + word[1:]
    return word


def lower_at(text: str, spans: list[tuple[int, int]], at: int, near: int) -> str | None:
    """The word at ``at``, lower-cased, as context for the word at ``near``:
    None when there is none or punctuation stands between them."""
    if not 0 <= at < len(spans):
        return None
    start, end = spans[at]
    gap = text[spans[near][1] : start] if at > near else text[end : spans[near][0]]
    return None if gap.strip() else text[start:end].lower()


def sentence_start(text: str, start: int) -> bool:
    """Whether the word at ``start`` begins a sentence (or the text, or a
    line)."""
    at = start - 1
    while at >= 0 and (text[at] in _OPENERS or text[at] == " " or text[at] == "\t"):
        at -= 1
    if at < 0 or text[at] in "\n\r:!?":
        return True
    if text[at] != ".":
        return False
    # Not after an abbreviation such as "Mr." or an initial.
    word = re.search(r"(\w+)\.$", text[max(0, at - 8) : at + 1])
    return word is None or not (word.group(1)[:1].isupper() and len(word.group(1)) <= 3)
