"""How a speller segments text written without spaces: the likeliest split
into words by word counts and word pairs, unknown pieces spelt as the known
words are."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import Final

from ._spelldata import _LONGEST_WORD
from ._spellletters import END, START, LetterModel
from ._spellrank import _Ranker
from .spelltext import CLOSED_CLASS, NAME_TITLES, OLD_ENDINGS, TITLES, verb_stems

# How many of the likeliest splits ending at each place segment carries on.
_SEGMENT_BEAM: Final = 8
# A plural ("encodings") the counts lack is counted as this share of the
# word it is made from.
_DERIVED_SHARE: Final = 0.1
# An old "-eth" or "-est" form ("cometh", "sayest") the counts lack is rarer
# still: a hundredth of the word it is made from.
_OLD_FORM_SHARE: Final = 0.01


def regular_plural(stem: str, ending: str) -> bool:
    """Whether ``ending`` makes a regular plural of ``stem``: "es" after a
    hissing sound or "o" ("boxes", "heroes"), "s" elsewhere but after a
    consonant and "y" ("happys" is no plural), or a hissing sound; the
    possessive "'s" after anything."""
    hissing = stem.endswith(("s", "x", "z", "ch", "sh"))
    if ending == "es":
        return hissing or stem.endswith("o")
    if ending == "s":
        return not hissing and not (stem.endswith("y") and stem[-2:-1] not in "aeiou")
    return True


def tail_count(counts: Mapping[str, int], before: int, size: int) -> float:
    """How common a word of a list of ``size`` words the counts do not hold is,
    the list taking the places after the rarest counted word and ``before``
    other uncounted words. The counts' own tail sets the rate: by Zipf's law
    the words counted at least x number K/x, and the counted words within a
    factor e of the rarest, R, tell K (they number K/R (1 - 1/e)); the word r
    places below the rarest is then counted R / (1 + r R/K), and the list
    counts as its middle word (r = before + size/2)."""
    counted = [count for count in counts.values() if count]
    if not counted:
        return 0.0
    rarest = min(counted)
    near = sum(1 for count in counted if count < math.e * rarest)
    rate = rarest * near / (1 - 1 / math.e)
    return rarest / (1 + (before + size / 2) * rarest / rate)


def followed_shares(
    pairs: Mapping[tuple[str, str], float], counts: Mapping[str, int]
) -> dict[str, float]:
    """The natural-log share of each counted word's occurrences that another
    word follows, for the words the pairs show followed by a word less often
    than preceded by one. A word is as often preceded as followed by another
    in running text, unless a mark stands on one side: "sub", "re", "non"
    and "multi" are mostly counted where a hyphen joins them to what follows
    ("sub-license"), a word that ends sentences where a stop does. Inside a
    run of letters a word is always followed by a word, so only that share
    of its count goes there. Both sides are read from the same pairs, cut off
    at the same rarest pair, which is added to each so that a word with few
    pairs keeps its count."""
    followed: dict[str, float] = {}
    preceded: dict[str, float] = {}
    for (first, second), count in pairs.items():
        followed[first] = followed.get(first, 0.0) + count
        preceded[second] = preceded.get(second, 0.0) + count
    rarest = min(filter(None, pairs.values()), default=0.0)
    shares: dict[str, float] = {}
    for word, before in preceded.items():
        after = followed.get(word, 0.0)
        if after < before and word in counts:
            shares[word] = math.log((after + rarest) / (before + rarest))
    return shares


# Closed lists of words that are common wherever their kind of text is
# written (pronouns, prepositions, old pronouns, shortened titles): the
# counts' source dropped most two-letter words, so a member counted 0
# ("ye", "mr") is missing from it, not rare.
_CLOSED_LISTS: Final = (CLOSED_CLASS, frozenset(TITLES))


def class_counts(counts: Mapping[str, int]) -> dict[str, int]:
    """A count for each word of a closed list (see _CLOSED_LISTS) that the
    counts hold as 0: that of its list's rarest counted word, since no member
    of a closed list is rarer than the rarest the counts saw."""
    found: dict[str, int] = {}
    for members in _CLOSED_LISTS:
        counted = [counts[word] for word in members if counts.get(word)]
        if not counted:
            continue
        for word in members:
            if counts.get(word) == 0:
                found[word] = max(found.get(word, 0), min(counted))
    return found


# A word the counts do not know, in a run of text without spaces: about one
# word in ten thousand (natural log), spelt as the known words are.
_UNKNOWN_SHARE: Final = math.log(1e-4)
# The shortest half of a closed compound (see _Segmenter._closed_score): a
# word of a letter or two beside another is an article, a pronoun or an
# ending ("a grief", "shall i", "paul us") far more often than half of one.
_SHORTEST_HALF: Final = 3


class _Segmenter(_Ranker):
    """The segmenting half of a speller's text rules; the speller holds the
    state."""

    __slots__ = (
        "_rare_count",
        "_pair_floor",
        "_names",
        "_letters",
        "_listed",
        "_followed",
        "_class_counts",
    )

    _unpunctuated: dict[str, int]
    _rare_count: float
    # The natural-log share of the text of the rarest word pair listed.
    _pair_floor: float
    # The words the counts were given with a capital first (names), lower-cased.
    _names: frozenset[str]
    # How likely the letters of an unknown word are.
    _letters: LetterModel
    # Words larger word lists hold that the counts lack, known to
    # segmentation only, with the count each is given (see _setup_segment).
    _listed: dict[str, float]
    # The natural-log share of a counted word's occurrences that go on to
    # another word, where the pairs show it followed less often than
    # preceded (see followed_shares).
    _followed: dict[str, float]
    # Counts for the words of closed lists the counts hold as 0 (see
    # class_counts).
    _class_counts: dict[str, int]

    def _setup_segment(self, *lists: tuple[Iterable[str], int]) -> None:
        """Know the words of ``lists`` (those the counts lack) in segmentation.
        Each list is some words and how many words the list they were kept
        from adds to the tail (at least theirs); the lists go from the
        smallest, whose words are the commonest, to the largest, each
        adding only words the ones before lack. A word counts as the middle
        word of its list's place in the counts' tail (see tail_count): after
        the counts' own uncounted words and the lists before."""
        self._listed = {}
        before = sum(1 for count in self._counts.values() if not count)
        for words, size in lists:
            new = dict.fromkeys(
                word for word in words if word not in self._counts and word not in self._listed
            )
            size = max(size, len(new))
            count = tail_count(self._counts, before, size)
            self._listed |= dict.fromkeys(new, count)
            del new
            before += size
        self._followed = followed_shares(self._pairs, self._counts)
        self._class_counts = class_counts(self._counts)

    def _segment_run(self, run: str) -> list[str]:
        """The likeliest split of ``run`` into words by word counts; with word
        pairs, two counted words side by side score as their pair (seen or
        not, see _pair_gain), and the likeliest few splits ending at each
        place are carried on. A word the counts lack after a title that
        stands only before a name ("mr", "mrs", "dr") is a name, likely as
        its letters alone make it. An apostrophe in ``run`` stays inside a
        word."""
        lower = run.lower().replace("\u2019", "'")
        n = len(lower)
        # The places a word may end: not beside an apostrophe.
        ends = [end == n or "'" not in lower[end - 1 : end + 1] for end in range(n + 1)]
        # best[i]: the splits of the first i letters kept, as {start of the
        # last word: (score, start of the word before it)}.
        best: list[dict[int, tuple[float, int]]] = [{0: (0.0, -1)}] + [{} for _ in range(n)]
        pairs = self._pairs
        for start in range(n):
            if not best[start]:
                continue
            ahead = sorted(best[start].items(), key=lambda item: -item[1][0])[:_SEGMENT_BEAM]
            first, (top, _) = ahead[0]
            # The words before, with their scores, read once for every end.
            behind = [
                (before, held, lower[before:start], self._word_score(lower[before:start]))
                for before, (held, _) in (ahead if pairs and start else ())
            ]
            # The best split ending in a shortened title that stands only
            # before a name ("mr", "mrs", "dr"; not "st", also a street).
            titled = max(
                (
                    (held, before)
                    for before, (held, _) in ahead
                    if start and lower[before:start] in NAME_TITLES
                ),
                default=None,
            )
            # The letters of lower[start:end], as an unknown word's, so far.
            spelt, last = 0.0, START
            for end in range(start + 1, min(n, start + _LONGEST_WORD) + 1):
                spelt += self._letters.letter(last, lower[end - 1])
                last = last[1] + lower[end - 1]
                if not ends[end]:
                    continue
                word = lower[start:end]
                letters = spelt + self._letters.letter(last, END)
                own = self._word_score(word, letters)
                chosen, score = first, top + own
                if titled is not None and word not in self._counts:
                    # A name the counts lack after a title ("mr knightley"):
                    # no rarer than its letters make it.
                    named = titled[0] + max(own, letters)
                    if named > score:
                        chosen, score = titled[1], named
                if behind and word in self._counts:
                    chosen, score = max(
                        (
                            (before, held + own + self._pair_gain(previous, word, own + its))
                            for before, held, previous, its in behind
                        ),
                        key=lambda item: item[1],
                    )
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

    def _pair_gain(self, previous: str, word: str, alone: float) -> float:
        """How much likelier (natural log) the known ``word`` is after
        ``previous`` than the two words' counts alone make it (their scores
        add up to ``alone``). The pairs are on the word counts' scale, so a pair seen scores as
        its own share of the text, above or below what the counts predict: a
        closed compound ("hereof") weighs against its halves' pair. A pair of
        counted words not seen is taken to be no commoner than the rarest
        pair listed ("the of" is no likelier for "the" and "of" being common),
        and only in the share of ``previous``'s occurrences that go on to a
        word at all (see followed_shares: "sub license" is rarer than "sub"
        and "license" make it, most "sub" being "sub-")."""
        pair = self._pairs.get((previous, word))
        if pair:
            return math.log(pair) - self._log_total - alone
        if previous not in self._counts:
            return 0.0
        return min(0.0, self._pair_floor - alone) + self._followed.get(previous, 0.0)

    def _word_score(self, word: str, spelt: float | None = None) -> float:
        """The natural-log probability of ``word`` as one word of a run;
        ``spelt``, when given, is that of its letters as an unknown word's."""
        count: float | None = self._counts.get(word)
        if count is None:
            count = self._unpunctuated.get(word)
        if count is None:
            count = self._listed.get(word)
        uncounted = count == 0
        if uncounted and word in self._class_counts:
            count, uncounted = self._class_counts[word], False
        if uncounted:
            # Known, but below the counts' cutoff: rarer than any word counted,
            # unless it is made from a counted word ("colors" from "color").
            derived = self._derived_count(word)
            count = self._rare_count if derived is None else max(derived, self._rare_count)
        if count is None:
            count = self._derived_count(word)
        if count is not None:
            score = math.log(count + 1) - self._log_total
            if word in self._listed or uncounted:
                return max(score, self._closed_score(word))
            return score
        return _UNKNOWN_SHARE + (self._letters.word(word) if spelt is None else spelt)

    def _closed_score(self, word: str) -> float:
        """The score of a word known but uncounted (a listed word, or one
        counted 0) as a closed compound ("woodhouse", "viewport",
        "sublicense"): that of the likeliest two counted words of three
        letters or more it cuts into that the pairs never saw side by side,
        as their counts alone make them. Nothing counts either reading: the
        open pair is taken as no likelier than its halves' counts make it
        (see _pair_gain), and the word list that writes the word closed
        makes the closed form at least as likely. Minus infinity when no
        cut qualifies."""
        score = -math.inf
        counts, pairs = self._counts, self._pairs
        for cut in range(_SHORTEST_HALF, len(word) - _SHORTEST_HALF + 1):
            head, tail = word[:cut], word[cut:]
            if counts.get(head) and counts.get(tail) and not pairs.get((head, tail)):
                halves = math.log(counts[head] + 1) + math.log(counts[tail] + 1)
                score = max(score, halves - 2 * self._log_total)
        return score

    def _derived_count(self, word: str) -> float | None:
        """A count for a word the counts lack that is the plural ("s", "es")
        or the possessive ("'s") of a counted or listed word of four letters or more,
        or an old "-eth" or "-est" form of a counted word that is no name
        ("goeth", "sayest"): a share of that word's count. Unlike
        ``fix``, which takes "-est" for an old form only beside "thou" (it is
        more often a slip there), text to segment is taken as spelt, so
        "shouldest" is one word, not "should" and "est"."""
        for ending in ("s", "es", "'s"):
            stem = word[: -len(ending)]
            if not word.endswith(ending) or len(stem) < 4 or not regular_plural(stem, ending):
                continue
            if self._counts.get(stem):
                return self._counts[stem] * _DERIVED_SHARE
            if stem in self._listed:
                return self._listed[stem] * _DERIVED_SHARE
        for ending in OLD_ENDINGS:
            for stem in verb_stems(word, ending):
                if self._counts.get(stem) and stem not in self._names:
                    return self._counts[stem] * _OLD_FORM_SHARE
        return None
