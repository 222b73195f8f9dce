"""How a catalog's texts become terms: the tokenizer (runs of letters,
digits and marks, plus the one-character synonyms), the fold and the
synonyms, and the split of many texts at once (natively where it can)."""

from __future__ import annotations

import re
import unicodedata
from array import array
from collections.abc import Iterable, Mapping
from itertools import compress, count, repeat
from operator import not_

from . import _engine
from .fold import FoldRule, apply, fold_text
from .index import _kind

# Letters, digits and marks: "[^\W_]" is every letter and digit (and
# nothing else: str.isalnum() is a subset of categories L and N); the marks a
# text past ASCII holds are added as a class of their own (matching that class
# is slower).
_FAST_WORD = "[^\\W_]+"


def _marks_of(text: str) -> frozenset[str]:
    """The characters of ``text`` that are letters, digits or marks which
    "[^\\W_]" leaves out: the marks, in practice. Only the characters a text
    holds matter to its tokenizer, so none of Unicode is scanned beyond them."""
    return frozenset(
        c
        for c in set(text)
        if not c.isascii() and unicodedata.category(c)[0] in "LNM" and not c.isalnum()
    )


# Between the texts of a catalog split in one go.
_SEPARATOR = "\x00"
# How many tokenizers for texts past ASCII (one per set of marks held) are kept.
_PATTERNS_KEPT = 64
# A word left out (the native splitter's number for it).
_DROPPED = 0xFFFFFFFF


class _Words:
    """How texts become terms: the tokenizer, the fold and the synonyms."""

    __slots__ = ("characters", "symbols", "fast", "exact", "rule", "synonyms", "memo")

    def __init__(self, rule: FoldRule | None, synonyms: dict[str, str]) -> None:
        self.characters = [
            s for s in sorted(synonyms) if len(s) == 1 and unicodedata.category(s)[0] not in "LNM"
        ]
        self.symbols = [re.escape(s) for s in self.characters]
        self.fast = re.compile("|".join([_FAST_WORD, *self.symbols]))
        self.exact: dict[frozenset[str], re.Pattern[str]] = {}
        self.rule = rule
        self.synonyms = synonyms
        self.memo: dict[str, str] = {}

    def pattern(self, text: str, *extra: str) -> re.Pattern[str]:
        """The tokenizer for ``text``, with ``extra`` alternatives."""
        if text.isascii():
            return re.compile("|".join([_FAST_WORD, *self.symbols, *extra])) if extra else self.fast
        marks = _marks_of(text)
        exact = None if extra else self.exact.get(marks)
        if exact is None:
            added = "".join(sorted(marks))
            word = f"(?:[^\\W_]|[{re.escape(added)}])+" if marks else _FAST_WORD
            exact = re.compile("|".join([word, *self.symbols, *extra]))
            if not extra and len(self.exact) < _PATTERNS_KEPT:
                self.exact[marks] = exact
        return exact

    def ascii_rule(self) -> tuple[bool, dict[str, str] | None]:
        """How the engine makes terms of ASCII words as ``term`` does: whether
        it lowercases them, and the term each folded ASCII word with a
        synonym leads to; None for a custom fold (not done natively)."""
        if self.rule is not None and self.rule is not fold_text:
            return False, None
        leads = {word: self.term(word) for word in self.synonyms if word.isascii()}
        return self.rule is fold_text, leads

    def term(self, word: str) -> str:
        term = self.memo.get(word)
        if term is None:
            term = word if self.rule is None else apply(self.rule, word, repr(word))
            seen = {term}
            while term in self.synonyms:
                term = self.synonyms[term]
                if term in seen:
                    break
                seen.add(term)
            if len(self.memo) < 1 << 20:
                self.memo[word] = term
        return term

    def terms(self, text: str) -> list[str]:
        # The memo first: a call of term() per word costs more than the rest.
        known, term = self.memo.get, self.term
        found = [known(w) or term(w) for w in self.pattern(text).findall(text)]
        return [t for t in found if t]

    def spans(self, text: str) -> list[tuple[int, int]]:
        """The spans of the words of ``text`` that have a term, in order."""
        known, term = self.memo.get, self.term
        return [m.span() for m in self.pattern(text).finditer(text) if known(w := m[0]) or term(w)]

    def split(self, texts: list[str]) -> tuple[list[str], bytes, bytes]:
        """The terms of ``texts``, numbered by first appearance, and each
        text's term numbers (u32 words, and u64 offsets of each text's)."""
        blob = _SEPARATOR.join(texts)
        if blob.count(_SEPARATOR) != len(texts) - 1 or _SEPARATOR in self.synonyms:
            return self._split_each(texts)
        if all(c.isascii() for c in self.characters):
            natively = self._split_natively(blob)
            if natively is not None:
                return natively
        tokens = self.pattern(blob, _SEPARATOR).findall(blob)
        ids: dict[str, int] = {}
        number: dict[str, int] = {}
        cut = 0xFFFFFFFF
        for token in dict.fromkeys(tokens):
            term = self.term(token) if token != _SEPARATOR else None
            if term == "":
                return self._split_each(texts)
            number[token] = cut if term is None else ids.setdefault(term, len(ids))
        numbered = list(map(number.__getitem__, tokens))
        cuts = [at for at, n in enumerate(numbered) if n == cut]
        words = array("I", filter(cut.__ne__, numbered))
        offsets = array("Q", [0])
        offsets.extend(at - k for k, at in enumerate(cuts))
        offsets.append(len(words))
        return list(ids), words.tobytes(), offsets.tobytes()

    def _split_natively(self, blob: str) -> tuple[list[str], bytes, bytes] | None:
        """split, the words found natively: runs of ASCII letters and digits
        and of other characters, which are then sorted out here (each such
        run once): letters, digits and marks only make a word, no letter,
        digit or mark none; None for any other mix (the pattern splits it)."""
        symbols = "".join(self.characters).encode("ascii")
        found, words, offsets = _engine.catalog_split(
            blob.encode("utf-8"), _SEPARATOR.encode("ascii"), symbols
        )
        terms = self._terms_of(found)
        if terms is None:
            return None
        distinct = dict.fromkeys(terms)
        distinct.pop("", None)  # no term: the word is left out
        ids = dict(zip(distinct, range(len(distinct)), strict=True))
        table = array("I", map(ids.get, terms, repeat(_DROPPED)))
        words, offsets = _engine.catalog_renumber(words, offsets, table.tobytes())
        return list(ids), words, offsets

    def _terms_of(self, found: list[str]) -> list[str] | None:
        """The term of each word split natively ("" for none), None when a
        word mixes letters, digits or marks with other characters. With the
        built-in fold (which lowercases ASCII) or none, the ASCII words are
        folded all at once, and only those with a synonym, and the others,
        one by one."""
        joined = _SEPARATOR.join(found)
        term = self.term
        whole = self.rule is None or self.rule is fold_text
        if found and whole and joined.count(_SEPARATOR) == len(found) - 1:
            terms = (joined if self.rule is None else joined.lower()).split(_SEPARATOR)
            if self.synonyms:
                leads = self.synonyms
                terms = [term(w) if t in leads else t for w, t in zip(found, terms, strict=True)]
            others: Iterable[int] = compress(count(), map(not_, map(str.isascii, found)))
        else:
            terms, others = [""] * len(found), range(len(found))
        for at in others:
            word = found[at]
            if not word.isascii():
                inside = [unicodedata.category(c)[0] in "LNM" for c in word]
                if not any(inside):
                    terms[at] = ""
                    continue
                if not all(inside):
                    return None
            terms[at] = term(word)
        return terms

    def _split_each(self, texts: list[str]) -> tuple[list[str], bytes, bytes]:
        ids: dict[str, int] = {}
        number = ids.setdefault
        words, offsets = array("I"), array("Q", [0])
        for text in texts:
            words.extend([number(t, len(ids)) for t in self.terms(text)])
            offsets.append(len(words))
        return list(ids), words.tobytes(), offsets.tobytes()


def _synonyms(synonyms: object, rule: FoldRule | None) -> dict[str, str]:
    if synonyms is None:
        return {}
    if not isinstance(synonyms, Mapping):
        raise TypeError(f"synonyms must be a mapping of word to word, not {_kind(synonyms)}")
    out: dict[str, str] = {}
    for key, value in synonyms.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"synonyms must map str to str, not {_kind(key)} to {_kind(value)}")
        if not key or not value:
            raise ValueError(f"synonyms: {key!r} -> {value!r} has an empty word")
        folded = [t if rule is None else apply(rule, t, "synonyms") for t in (key, value)]
        out[folded[0]] = folded[1]
    return out
