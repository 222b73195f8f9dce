"""How a catalog's texts become terms: the tokenizer (runs of letters,
digits and marks, plus the one-character synonyms), the fold and the
synonyms, and the split of many texts at once (natively where it can)."""

from __future__ import annotations

import re
import sys
import unicodedata
from array import array
from collections.abc import Iterable, Mapping
from itertools import compress, count, repeat
from operator import not_

from . import _engine
from .fold import FoldRule, apply, fold_text
from .index import _kind

# Letters, digits and marks: "[^\W_]" is every letter and digit (and
# nothing else: str.isalnum() is a subset of categories L and N), marks are
# added as a class of their own, only for texts that hold a character outside
# ASCII (matching that class is slower).
_FAST_WORD = "[^\\W_]+"
_marks: str | None = None


# The code points that may hold a letter, digit or mark: planes 0 to 3 and
# 14. Planes 4 to 13 are unassigned in every Unicode version up to 16, and
# planes 15 and 16 are private use, which stays so.
_SCANNED = ((0x80, 0x40000), (0xE0000, 0xF0000))


def _mark_class() -> str:
    """A regular-expression class of the letters, digits and marks that
    "[^\\W_]" leaves out (the marks, and no letter or digit in practice).
    Found a run at a time: the runs of categories L, N and M among the code
    points, then within each the runs that "\\w" does not match."""
    global _marks
    if _marks is None:
        major = int(unicodedata.unidata_version.split(".")[0])
        spans = _SCANNED if major <= 16 else ((0x80, sys.maxunicode + 1),)
        ranges: list[str] = []
        for first, end in spans:
            every = array("I", range(first, end)).tobytes().decode("utf-32-le", "surrogatepass")
            kinds = "".join(map(unicodedata.category, every))[::2]
            for run in re.finditer("[LNM]+", kinds):
                for gap in re.finditer("\\W+", every[run.start() : run.end()]):
                    start, stop = (first + run.start() + at for at in gap.span())
                    ranges.append(f"{re.escape(chr(start))}-{re.escape(chr(stop - 1))}")
        _marks = "[" + "".join(ranges) + "]"
    return _marks


# Between the texts of a catalog split in one go.
_SEPARATOR = "\x00"
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
        self.exact: re.Pattern[str] | None = None
        self.rule = rule
        self.synonyms = synonyms
        self.memo: dict[str, str] = {}

    def pattern(self, text: str, *extra: str) -> re.Pattern[str]:
        """The tokenizer for ``text``, with ``extra`` alternatives."""
        if text.isascii():
            return re.compile("|".join([_FAST_WORD, *self.symbols, *extra])) if extra else self.fast
        if self.exact is None or extra:
            word = f"(?:[^\\W_]|(?![\\x00-\\x7f]){_mark_class()})+"
            exact = re.compile("|".join([word, *self.symbols, *extra]))
            if extra:
                return exact
            self.exact = exact
        return self.exact

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
