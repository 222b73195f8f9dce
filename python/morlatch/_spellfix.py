"""The rules by which a speller reads text: which words are questioned,
which are taken for names, when words are split, joined or replaced by a
neighbour that context prefers."""

from __future__ import annotations

import itertools
import math
import re
from collections import Counter
from collections.abc import Iterator
from typing import Final

from . import _engine
from ._spelldata import _LONGEST_WORD, _NEAR_COST
from ._spellletters import LetterModel
from ._spellrank import _BACKOFF, Suggestion
from ._spellsegment import _Segmenter
from .spelltext import (
    BEFORE_A_NOUN,
    CLOSED_CLASS,
    OLD_ENDINGS,
    OLD_WORDS,
    RUN_ON_CAPITAL,
    TITLES,
    TITLES_IN_FULL,
    before_a_name,
    chance_of_recurring,
    compatible,
    context_words,
    in_capitals,
    lower_at,
    prose_run_on,
    sentence_start,
    skipped,
    verb_stems,
    with_case,
)

# Prefixes that make new words freely: a word that starts with one is not
# split after it.
_PREFIXES: Final = frozenset(
    "anti counter dis hyper inter mid mis multi non over post pre pro re semi sub "
    "super trans un under".split()
)
# How much likelier (natural log) a split or joined form must be than the
# text as written. An unknown word's split weighs against its best
# correction, whose cost counts only which slip was made: the margin is the
# odds of a misspelling against a slipped space, misspellings being some
# five times the commoner.
_SPLIT_MARGIN: Final = math.log(5)
_JOIN_MARGIN: Final = math.log(50)

# A capitalised word the speller does not know, in mid-sentence, is taken for
# a name unless its best correction costs at most this much.
_NAME_EVIDENCE: Final = 1.5
# ... or at most this much and seen beside a neighbour in the word pairs.
_CONTEXT_EVIDENCE: Final = 6.0
# A known word is replaced by a neighbour only when context makes the
# neighbour this much likelier (natural log): about one word in fifty is
# taken for a slip that made another word.
_REAL_WORD_MARGIN: Final = math.log(50)
_REAL_WORD_MIN: Final = 2
# An unknown word's cheap one-edit correction gives way to a word two edits
# away only when the neighbours make that word this much likelier.
_FURTHER_MARGIN: Final = math.log(50)
_UNCOUNTED_SHORT: Final = 3
_VOWEL: Final = re.compile("[aeiouy]")
# Endings of a word that does not start a compound (an inflected form, an
# adverb or an adjective: "original version" stays two words) and of one
# that does not end it (a past form, an adverb or an adjective: a
# compound's head is a noun or a verb stem).
_NOT_A_MODIFIER: Final = ("ly", "wise", "al", "ive", "ous", "ful", "able", "ible")
_NOT_A_HEAD: Final = ("ed", "ly", "al", "ive", "ous", "ful", "able", "ible", "ate")
# Subject pronouns: a word ending in "-s" the word pairs saw after one is a
# verb's inflected form ("it remains"); so is one seen after "been" ("been
# made").
_SUBJECTS: Final = ("it", "he", "she", "who")
# Determiners that make a pronoun or an adverb with the word after them
# ("everybody", "anything", "nobody", "someone").
_JOINS_A_PRONOUN: Final = frozenset(("any", "every", "some", "no"))
# How many known words' neighbours one edit away are remembered at most.
_NEAR_REMEMBERED: Final = 1 << 16


def word_spans(text: str) -> Iterator[tuple[int, int]]:
    """The (start, end) spans of the words of ``text`` that are checked:
    words outside URLs, e-mail addresses, numbers and code (the engine
    reads the text; a piece that may be code is asked of ``skipped``)."""
    return iter(_engine.text_spans(text, skipped))


class _TextRules(_Segmenter):
    """The text half of a speller; the speller holds the state."""

    __slots__ = ("_near",)

    _near: dict[str, list[str]]

    def _setup_text(self) -> None:
        """What the text rules precompute from the counts."""
        self._letters = LetterModel(self._counts)
        self._gathered = {}

    def _findings(self, text: str, limit: int) -> Iterator[tuple[int, int, list[Suggestion]]]:
        spans = list(word_spans(text))
        _, befores, afters = context_words(text, spans)
        for at, (start, end) in enumerate(spans):
            word = text[start:end]
            if RUN_ON_CAPITAL.fullmatch(word):
                apart = self._run_on_capital(word)
                if apart is not None:
                    yield start, end, [Suggestion(apart, 0.0)]
                continue
            if not self._unknown(word) or not self._worth_checking(text, start, word):
                continue
            before, after = befores[at], afters[at]
            if self._old_verb_form(compatible(word), before, after):
                continue
            title = self._title(text, spans, at)
            if title is not None:
                yield start, end, [Suggestion(title, 0.0)]
                continue
            hits = self._ranked(compatible(word), before, after, limit)
            if self._name(text, start, word, hits[0].word if hits else None, before, after):
                continue
            yield start, end, [Suggestion(with_case(word, hit.word), hit.score) for hit in hits]

    def _unknown(self, word: str) -> bool:
        """Whether ``word`` is not known as written: not in the counts, nor
        a known word with a possessive "'s", nor a known word of four letters
        or more, of no closed class, after a prefix that makes words freely
        ("sublicense"). Words
        are compared under compatibility normalisation ("\ufb01eld")."""
        lower = compatible(word)
        if lower in self._counts:
            return False
        stem = re.sub(r"'s$", "", lower)
        if stem in self._counts:
            return False
        for size in range(2, 6):
            rest = stem[size:]
            if (
                stem[:size] in _PREFIXES
                and len(rest) >= 4
                and rest in self._counts
                and rest not in CLOSED_CLASS  # "underthis" is a slipped space
            ):
                return False
        return True

    def _old_verb_form(
        self, word: str, before: str | None, after: str | None, thou: bool = False
    ) -> bool:
        """Whether the unknown ``word`` is an old verb form of a counted
        word that is no name: "-eth" anywhere ("cometh", "seeth"), "-est"
        beside "thou" ("thou goest", "sayest thou") or in a text that holds
        ``thou`` further off ("gavest not thou"); elsewhere "-est" is more
        often a slip ("intrest")."""
        for ending in OLD_ENDINGS:
            if ending == "est" and not thou and "thou" not in (before, after):
                continue
            for stem in verb_stems(word, ending):
                if self._counts.get(stem) and stem not in self._names:
                    return True
        return False

    def _initial(self, text: str, start: int) -> bool:
        """Whether the capitalised word at ``start`` owes its capital to
        the sentence it starts rather than to being a name."""
        return text[start + 1 : start + 2].islower() and sentence_start(text, start)

    def _run_on_capital(self, word: str) -> str | None:
        """``word`` as the two words it runs together when it is a counted
        word run into a name or "I" ("theJews", "andI"), or a word that
        stands before a noun run into a capitalised one ("thisLicense");
        else None. A name is a word known with a capital first, or one not
        counted: another ordinary word after a capital is more often code
        ("getLine"), and is left as it is."""
        found = RUN_ON_CAPITAL.fullmatch(word)
        if found is None or not self._unknown(word):
            return None
        first, second = found.group(1).lower(), found.group(2).lower()
        if not self._counts.get(first):
            return None
        if not prose_run_on(found):
            return None
        ordinary = self._counts.get(second) and second not in self._names
        if second != "i" and ordinary and first not in BEFORE_A_NOUN:
            return None
        return f"{found.group(1)} {found.group(2)}"

    def _worth_checking(self, text: str, start: int, word: str) -> bool:
        """False for words taken as names or acronyms rather than typos, and
        for words with signs that are no letters ("\u00b2A")."""
        if len(word) < 2 or len(word) > _LONGEST_WORD:
            return False
        if not word.replace("'", "").replace("\u2019", "").isalpha():
            return False
        if not word.isascii() and _mixes_caseless(word):
            return False  # a caseless script beside ours ("\u1a00A"): no English slip
        if in_capitals(word) and len(word) <= 5:
            # An acronym, unless the text around is in capitals too.
            around = text[max(0, start - 40) : start + len(word) + 40]
            return not any(ch.islower() for ch in around)
        return True

    def _edits(self, text: str) -> Iterator[tuple[int, int, str]]:
        """(start, end, replacement) for every change fix makes, in order."""
        spans = list(word_spans(text))
        lowers, befores, afters = context_words(text, spans)
        written: Counter[str] = Counter()  # the words of the text, counted when first asked
        thou: bool | None = None  # whether the text holds "thou", when first asked
        skip_next = False
        # A neighbour is read as fix reads it: a word changed before, an
        # unknown word after as its replacement (worked out ahead, once).
        mended: dict[int, str] = {}
        ahead: dict[tuple[int, str | None], str | None] = {}

        def mend(at: int, start: int, end: int, replacement: str) -> tuple[int, int, str]:
            mended[at] = compatible(replacement.rsplit(" ", 1)[-1])
            return start, end, replacement

        for at, (start, end) in enumerate(spans):
            if skip_next:
                skip_next = False
                continue
            word = text[start:end]
            lower, before, after = lowers[at], befores[at], afters[at]
            if before is not None:
                before = mended.get(at - 1, before)
            if RUN_ON_CAPITAL.fullmatch(word):
                apart = self._run_on_capital(word)
                if apart is not None:
                    yield mend(at, start, end, apart)
                continue
            # Only words that make a known word together are weighed for a join.
            maybe_joined = at + 1 < len(spans) and lower + lowers[at + 1] in self._counts
            joined = self._join(text, spans, at) if maybe_joined else None
            if joined is not None:
                yield mend(at + 1, start, spans[at + 1][1], with_case(word, joined))
                skip_next = True
                continue
            if not self._unknown(word):
                spelt = self._writers_spelling(lower, text, spans, written)
                if spelt is not None:
                    yield mend(at, start, end, with_case(word, spelt))
                    continue
                if lower in TITLES_IN_FULL and word[0].isupper():
                    title = self._title(text, spans, at)
                    if title is not None:
                        yield mend(at, start, end, title)
                    continue
                # Capitalised words may be names, and the word pairs hold no
                # words with apostrophes: neither is questioned.
                if not word.isalpha() or (word[0].isupper() and not self._initial(text, start)):
                    continue
                # A word of the old register is the writer's, alone too: a
                # slip seldom makes one, while a sentence of old prose may
                # hold just one ("Hold thy peace", "I heard thy voice").
                if lower in OLD_WORDS:
                    continue
                if after is not None and after not in self._counts:
                    after = (
                        self._read_ahead(text, spans[at + 1], lower, afters[at + 1], ahead) or after
                    )
                better = self._real_word(lower, before, after)
                if better is not None and not self._writers_word(lower, text, spans, written):
                    yield mend(at, start, end, with_case(word, better))
                continue
            if not self._worth_checking(text, start, word):
                continue
            if thou is None:
                thou = "thou" in lowers
            if self._old_verb_form(lower, before, after, thou):
                continue
            title = self._title(text, spans, at)
            if title is not None:
                yield mend(at, start, end, title)
                continue
            if (start, before) in ahead:
                replacement = ahead[start, before]
            else:
                replacement = self._replacement(text, start, word, before, after)
            if replacement is not None:
                yield mend(at, start, end, replacement)

    def _read_ahead(
        self,
        text: str,
        span: tuple[int, int],
        before: str,
        after: str | None,
        ahead: dict[tuple[int, str | None], str | None],
    ) -> str | None:
        """The unknown word at ``span`` (after ``before``, before ``after``)
        as fix will read it: the first word of its replacement, worked out
        now and kept in ``ahead`` for when fix comes to it; None when it is
        known, left alone or kept."""
        start, end = span
        word = text[start:end]
        if not self._unknown(word) or not self._worth_checking(text, start, word):
            return None
        if self._old_verb_form(compatible(word), before, after):
            return None
        if (start, before) not in ahead:
            ahead[start, before] = self._replacement(text, start, word, before, after)
        found = ahead[start, before]
        return None if found is None else compatible(found.split(" ", 1)[0])

    def _replacement(
        self, text: str, start: int, word: str, before: str | None, after: str | None
    ) -> str | None:
        lower = compatible(word)
        hits = self._ranked(lower, before, after, 1)
        if hits and self._further_worth_weighing(lower, hits[0].word, before, after):
            hits = self._ranked(lower, before, after, 2)
        # A capitalised word mid-sentence is more often a name ("Netherfield")
        # than two words run together: it is split only into words the word
        # pairs saw side by side ("Formof").
        name = word[0].isupper() and not in_capitals(word) and not sentence_start(text, start)
        split = self._split(lower, before, after, seen=name)
        if split is None and name:
            # Unless a name runs into what a person does ("Adamcalled").
            split = self._split(lower, before, after)
            if split is not None and not self._name_and_verb(*split[0]):
                split = None
        best = _likeliest(hits)
        if split is not None and (best is None or split[1] > best.score + _SPLIT_MARGIN):
            first, second = split[0]
            if self._compound(first, second):
                return None  # "filetype", "quickfix": the writer's own word
            return with_case(word, f"{first} {second}")
        if best is None or self._name(text, start, word, best.word, before, after):
            return None
        if self._writers_coinage(lower, best.word, before, after):
            return None
        if _apostrophes(best.word) < _apostrophes(lower):
            return None  # the apostrophes typed are punctuation kept, not letters to fix
        meant = self._nearest_variant(lower, best.word)
        # A word that reads as itself under normalisation keeps its bytes.
        return None if meant == lower else with_case(word, meant)

    def _writers_coinage(self, word: str, best: str, before: str | None, after: str | None) -> bool:
        """Whether the unknown ``word`` (lower-cased) is taken for the
        writer's own word (a command, a file, an old spelling) rather than a
        slip for ``best``: when neither one edit nor a cheap slip makes it
        and the word pairs saw ``best`` beside neither of the neighbours it
        has. A far guess that context does not back is wrong more often than
        the word is ("vimrc" is no slip for "mimic"); a word without
        neighbours has no context to back any guess, and is corrected."""
        if not self._pairs or (before is None and after is None):
            return False
        if _one_edit_apart(word, best) or self._model.cost(word, best) <= _NEAR_COST:
            return False
        return (before, best) not in self._pairs and (best, after) not in self._pairs

    def _compound(self, first: str, second: str) -> bool:
        """Whether an unknown word that reads as ``first`` and ``second``
        run together is more likely a compound of them the counts lack
        ("filetype", "scrollbar") than a slipped space. A compound joins a
        plain noun or verb stem to a head word: no word of a closed class
        ("the", "unto") on either side, no inflected or adverbial first
        part ("existing", "files", "hardly", "original"), and no past
        form, adverb or adjective for a head ("used", "evidently",
        "additional"). Two words that pass are a slip only as often as
        prose puts two such words side by side, which is far less often
        than a technical text coins one."""
        head = re.sub("'s$", "", second)  # "Rushworth's"
        if first in CLOSED_CLASS or head in CLOSED_CLASS or not (first + head).isalpha():
            return False  # "the", "unto", "isn't"
        if self._name_and_verb(first, head):
            return False  # "Josephgave"
        if _ends_in(first, _NOT_A_MODIFIER, 3) or _ends_in(head, _NOT_A_HEAD, 2):
            return False
        if first.endswith("ing") and _VOWEL.search(first[:-3]):
            return False  # "existing", "using", not "string" or "thing"
        if self._verb_form(head):
            return False  # "Programremains", "changemade"
        # A past form or plural of a counted word ("stopped", "files"), not "bus".
        return not any(
            first.endswith(ending) and _VOWEL.search(stem) and stem in self._counts
            for ending in ("ed", "s")
            for stem in _stems(first, ending)
        )

    def _name_and_verb(self, first: str, second: str) -> bool:
        """Whether ``first`` is a name and the word pairs saw ``second``
        after both "he" and "she": a person and what the person did
        ("Joseph gave"), where a name of two parts ends in a noun
        ("Hartfield", "Woodhouse")."""
        return first in self._names and all(
            (pronoun, second) in self._pairs for pronoun in ("he", "she")
        )

    def _verb_form(self, word: str) -> bool:
        """Whether ``word`` reads as a verb's inflected form: the word pairs
        saw it after a subject pronoun, ending in "-s" ("it remains"), or
        after "been" but not after "to" ("been made"); a bare stem ("to
        feed", "to read") is no such form."""
        if word.endswith("s"):
            return any((pronoun, word) in self._pairs for pronoun in _SUBJECTS)
        return ("been", word) in self._pairs and ("to", word) not in self._pairs

    def _nearest_variant(self, typed: str, word: str) -> str:
        """Of ``word`` and its known spellings on the other side of the
        Atlantic ("colour", "color"), the one ``typed`` is the cheapest slip
        from: the writer's own convention, whichever the counts favour."""
        best, cost = word, self._model.cost(typed, word)
        for variant in _variants(word):
            if variant in self._counts:
                other = self._model.cost(typed, variant)
                if other < cost:
                    best, cost = variant, other
        return best

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
        start, where every word is capitalised, unless ``best`` is itself a
        name: a name the counts lack, "Hartfield", is likelier there than a
        slip for one they hold, "Hatfield"). Mid-sentence, a capitalised
        word alone among words of prose is no slip, bar a cheap one, for a
        word the counts do not hold as a name ("the wilderness of Maon",
        not "main"): such a word is capitalised in a term, beside others
        ("General Public License"). Nor is it a fairly cheap slip for a word
        of a closed class ("the land of Seir", not "Their")."""
        if not word[0].isupper() or in_capitals(word):
            return False
        if best is None:
            return True
        initial = sentence_start(text, start)
        cost = self._model.cost(compatible(word), best)
        if cost <= _NAME_EVIDENCE:
            return False
        if not initial and best not in self._names and not _in_capitalised_run(text, start, word):
            return True
        if cost > _CONTEXT_EVIDENCE:
            return True
        if initial and best not in self._names:
            return False
        if not initial and best in CLOSED_CLASS:
            return True
        return (before, best) not in self._pairs and (best, after) not in self._pairs

    def _title(self, text: str, spans: list[tuple[int, int]], at: int) -> str | None:
        """The title that the unknown capitalised word at ``at`` stands for
        where a title stands, shortened before a name ("Mrss. Norris" is
        "Mrs. Norris", not "Mass."): the title cheapest to mistype as the
        word, when that costs at most what a capitalised word's correction
        seen beside a neighbour may (the place is the context); else None.
        A title written in full there ("Miss. Weston") is no title of its
        own: it stands for the likeliest shortened title, its count and its
        cost to mistype weighed, at any cost."""
        start, end = spans[at]
        word = text[start:end]
        if not word[0].isupper() or in_capitals(word):
            return None
        name = before_a_name(text, spans, at)
        if name is None:
            return None
        stem = re.sub(r"'s$", "", compatible(name))
        if not self._unknown(name) and stem not in self._names:
            return None  # "Mass. Then": a sentence's end
        lower = compatible(word)
        if lower in TITLES_IN_FULL:
            _, title = max(
                (self._log_p(title) - self._model.cost(lower, title), title) for title in TITLES
            )
            return with_case(word, title)
        cost, title = min((self._model.cost(lower, title), title) for title in TITLES)
        return with_case(word, title) if cost <= _CONTEXT_EVIDENCE else None

    def _split(
        self, word: str, before: str | None, after: str | None, seen: bool = False
    ) -> tuple[tuple[str, str], float] | None:
        """The likeliest way to read ``word`` as two known words, with its
        score, or None; with ``seen``, only as two words the word pairs hold
        side by side."""
        best: tuple[tuple[str, str], float] | None = None
        for cut in range(1, len(word)):
            first, second = word[:cut], word[cut:]
            if first not in self._counts or second not in self._counts:
                continue
            if first in _PREFIXES and second not in CLOSED_CLASS:
                continue  # "sublicense", "nonfree": a derived word the counts lack
            if len(first) == 1 and first not in "ai":
                continue
            if len(second) == 1 and second not in "ai":
                continue
            if seen and self._pairs and (first, second) not in self._pairs:
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
        first, second = compatible(text[start:end]), compatible(text[start2:end2])
        joined = first + second
        # Not across a capital (two names, or a name after a word).
        if joined not in self._counts or text[start2].isupper():
            return None
        # A lone letter is a word the writer typed ("f, l and b", "I con
        # ..."): a slipped space seldom leaves one letter alone.
        if len(first) == 1:
            return None
        known = not self._unknown(first) and not self._unknown(second)
        written = (first, second)
        seen = known and written in self._pairs
        if known and not self._pairs:
            return None
        # A determiner and the word the pairs saw after it ("every body",
        # "any thing") are a phrase old prose writes apart, not a slip.
        if seen and first in _JOINS_A_PRONOUN:
            return None
        before = lower_at(text, spans, at - 1, at)
        after = lower_at(text, spans, at + 2, at + 1)
        # Apart, an unknown half may be a misspelling: it counts as its best
        # correction, less the correction's cost. So may a short uncounted
        # half beside a known word ("ot to"); beside an unknown one it is a
        # piece of a split word ("cov ered").
        penalty = 0.0
        if self._unknown(first) or (not self._unknown(second) and self._doubtful(first)):
            first, penalty = self._best(first, before, second)
        if first and (
            self._unknown(second) or (not self._unknown(first) and self._doubtful(second))
        ):
            second, cost = self._best(second, first, after)
            penalty += cost
        if not first or not second:
            return joined
        if self._pairs.get((first, second), 0.0) >= self._counts[joined]:
            return None  # "a long" is commoner than "along"
        apart = self._context(first, before, None) + self._log_follow(first, second) - penalty
        together = self._context(joined, before, None)
        if after is not None:
            apart += self._log_follow(second, after) - self._log_p(after)
            together += self._log_follow(joined, after) - self._log_p(after)
        # Two known words as written that the pairs saw together ("with
        # out", "to day") are a way of writing them: the join must also pay
        # for the place a slipped space fell at.
        margin = _JOIN_MARGIN + (_split_place(joined) if seen else 0.0)
        if together <= apart + margin:
            return None
        # Two known words written apart again elsewhere in the text are the
        # writer's way ("key strokes"): a slipped space seldom falls twice
        # at the same place.
        if known and _written_apart_twice(text, spans, written):
            return None
        return joined

    def _further_worth_weighing(
        self, word: str, slip: str, before: str | None, after: str | None
    ) -> bool:
        """Whether the words two edits from the unknown ``word`` are weighed
        against its best correction ``slip``: only when that is a cheap slip
        (the likeliest of all words otherwise) seen beside neither neighbour
        in the word pairs (without word pairs, context cannot overturn it)."""
        if not self._pairs or (before, slip) in self._pairs or (slip, after) in self._pairs:
            return False
        return self._model.cost(word, slip) <= _NEAR_COST

    def _doubtful(self, word: str) -> bool:
        """Whether ``word``, beside another, may be a misspelling: unknown, or
        a short word known but never counted ("ot" for "it")."""
        if self._unknown(word):
            return True
        return len(word) <= _UNCOUNTED_SHORT and not self._counts.get(word)

    def _best(self, word: str, before: str | None, after: str | None) -> tuple[str, float]:
        """The best correction of the doubtful ``word`` (other than itself)
        and its cost; ("", 0) when there is none."""
        # A known word ranks itself first: its best correction is the next.
        known = word in self._counts
        hits = [hit for hit in self._ranked(word, before, after, 1 + known) if hit.word != word]
        if not hits:
            return "", 0.0
        return hits[0].word, self._model.cost(word, hits[0].word)

    def _real_word(self, word: str, before: str | None, after: str | None) -> str | None:
        """A known word that context says was mistyped for a neighbour: the
        neighbour, or None. A neighbour one edit away replaces it when it is
        likelier there by the margin, its cost to mistype included. A word
        seen beside its neighbours is questioned only between two of them,
        by a neighbour that each of them prefers ("as will as", "more then
        one"): one side alone is no evidence against a pair seen."""
        if not self._pairs or (before is None and after is None) or len(word) < _REAL_WORD_MIN:
            return None
        seen = self._beside(word, before, after)
        if seen and (before is None or after is None):
            return None
        if not self._counts.get(word) and (
            len(word) > _UNCOUNTED_SHORT
            or ((before is None or after is None) and _VOWEL.search(word))
        ):
            # A word the corpus lacks has no word pairs to miss; but a short
            # one ("th", "nd") is a fragment or an abbreviation more often
            # than a word meant in prose, unless it is set off by punctuation
            # and sounds like a word: an interjection ("er,", "ah!").
            return None
        others = self._one_edit(word) if self._counts.get(word) else self._uncounted_near(word)
        if seen:
            others = self._preferred_by_both(others, word, before, after)
            if not others:
                return None
        here = self._context_as_written(word, before, after)
        variants = set(_variants(word))
        best: tuple[float, str] | None = None
        for other, score in zip(others, self._contexts(others, before, after), strict=True):
            if other in variants:
                continue  # "color" is no slip for "colour"
            if score <= here + _REAL_WORD_MARGIN:
                continue  # no cost to mistype it can make it likelier

            score -= self._model.cost(word, other)
            if score > here + _REAL_WORD_MARGIN and (best is None or score > best[0]):
                best = (score, other)
        return None if best is None else best[1]

    def _preferred_by_both(
        self, others: list[str], word: str, before: str | None, after: str | None
    ) -> list[str]:
        """The words of ``others`` likelier than ``word`` after ``before``
        and, by themselves, likelier before ``after``: those each neighbour
        alone prefers."""
        if before is None or after is None:
            return []
        left = self._log_follow(before, word)
        right = self._log_follow(word, after) + self._log_p(word)
        return [
            other
            for other in others
            if self._log_follow(before, other) > left
            and self._log_follow(other, after) + self._log_p(other) > right
        ]

    def _writers_word(
        self, word: str, text: str, spans: list[tuple[int, int]], written: Counter[str]
    ) -> bool:
        """Whether the known ``word`` recurs in ``text`` (its words at
        ``spans``, counted into ``written`` on the first call) far more often
        than its count makes likely by chance (less likely than a real-word
        slip): then it is the writer's word ("thy", "ye" in old prose), not
        a slip for a neighbour."""
        if not written:
            written.update(compatible(text[start:end]) for start, end in spans)
        times = written[word]
        if times < 2:
            return False
        expected = len(spans) * self._counts.get(word, 0) / self._total
        return chance_of_recurring(times, expected) < math.exp(-_REAL_WORD_MARGIN)

    def _writers_spelling(
        self, word: str, text: str, spans: list[tuple[int, int]], written: Counter[str]
    ) -> str | None:
        """The spelling the text itself gives the known ``word`` when it
        writes the word both sides of the Atlantic ("Licence" beside
        "License"): a writer keeps to one, so the other is a slip. The one
        written more often wins, on a tie the commoner in the counts; None
        when that is ``word`` or the text spells the word one way."""
        if len(word) < 5 or _SPELLING.search(word, 2) is None:
            return None
        if not written:
            written.update(compatible(text[start:end]) for start, end in spans)
        best, key = word, (written[word], self._counts.get(word, 0))
        for variant in _variants(word):
            other = (written[variant], self._counts.get(variant, 0))
            if other[0] and variant in self._counts and other > key:
                best, key = variant, other
        return None if best == word else best

    def _context_as_written(self, word: str, before: str | None, after: str | None) -> float:
        """The context score of a known ``word``, where a pair the word pairs
        lack counts against it only when the two words are common enough
        that the pair would have been listed had they been independent."""
        score = self._context(word, before, after)
        floor = math.exp(self._pair_floor + self._log_total)
        own = self._counts.get(word, 0)
        for first, second, other in ((before, word, before), (word, after, after)):
            if other is None or (first, second) in self._pairs:
                continue
            if own * self._counts.get(other, 0) / self._total < floor:
                score -= math.log(_BACKOFF)
        return score

    def _one_edit(self, word: str) -> list[str]:
        """The commonest words one edit from the known ``word``, remembered:
        the same words come back again and again in text."""
        found = self._near.get(word)
        if found is None:
            if len(self._near) >= _NEAR_REMEMBERED:
                self._near.clear()
            hits = self._index.correct(word, 1, limit=8)
            found = self._near[word] = [hit.key for hit in hits if hit.key != word]
        return found

    def _uncounted_near(self, word: str) -> list[str]:
        """The words a short known word the counts lack may stand for: those
        one edit away, then those two edits away. Such a word ("er", "ur",
        "th") is a fragment as often as a word, and a fragment is an unknown
        word's slip, which drops or swaps two letters as often as one."""
        near = self._one_edit(word)
        further = [other for other in self._candidates(word, 2, []) if other != word]
        return list(dict.fromkeys(near + further))

    def _beside(self, word: str, before: str | None, after: str | None) -> bool:
        """Whether ``word`` was seen after ``before`` and before ``after``
        (where there are such neighbours)."""
        pairs = self._pairs
        return (before is None or (before, word) in pairs) and (
            after is None or (word, after) in pairs
        )


# Endings spelt one way in Britain and another in America.
_SPELLINGS: Final = (
    ("our", "or"),
    ("ise", "ize"),
    ("isation", "ization"),
    ("yse", "yze"),
    ("tre", "ter"),
    ("ence", "ense"),
    ("ogue", "og"),
    ("lled", "led"),
    ("lling", "ling"),
)
_SPELLING = re.compile(
    "|".join(sorted({part for pair in _SPELLINGS for part in pair}, key=len, reverse=True))
)
_OTHER_SPELLING: Final = {a: b for pair in _SPELLINGS for a, b in (pair, pair[::-1])}
_DOUBLED_L: Final = frozenset(("lled", "led", "lling", "ling"))
_VOWELS: Final = re.compile("[aeiou]")
_CONSONANT: Final = re.compile("[^aeiou]")


def _variants(word: str) -> Iterator[str]:
    """``word`` with one of its British or American spellings swapped for
    the other's."""
    for found in _SPELLING.finditer(word, 2):
        if len(word) < 5:
            break  # "your", "four": no spelling of another country
        if _spelt_both_ways(word[: found.start()], found.group()):
            yield word[: found.start()] + _OTHER_SPELLING[found.group()] + word[found.end() :]


def _spelt_both_ways(stem: str, ending: str) -> bool:
    """Whether ``ending`` after ``stem`` is one the two countries spell
    apart, not letters that only look like one. The ending follows a
    syllable of the stem ("col-our", "lic-ence", "real-ise"; not "sc-our",
    "sp-encer", "pr-ise", "v-ogue"); an "-re" ending follows a consonant
    ("cen-tre", "me-tre"; not "ou-ter"); and an l is doubled in one country
    only after a verb's unstressed second syllable ("travel-led", "fuel-led"),
    while a verb of one syllable doubles it in both, prefixed or not, so
    "filed" and "filled" ("refiled", "refilled") are two words."""
    if ending in _DOUBLED_L:
        prefix = next((size for size in range(5, 1, -1) if stem[:size] in _PREFIXES), 0)
        return len(_VOWELS.findall(stem[prefix:])) >= 2
    if ending in ("tre", "ter") and not _CONSONANT.search(stem):
        return False
    return _VOWELS.search(stem) is not None


def _ends_in(word: str, endings: tuple[str, ...], stem: int) -> bool:
    """Whether ``word`` ends in one of ``endings`` after at least ``stem``
    letters ("original", not "olive", with three)."""
    return any(word.endswith(ending) and len(word) - len(ending) >= stem for ending in endings)


def _stems(word: str, ending: str) -> list[str]:
    """The words of three letters or more that ``word`` may inflect with
    ``ending``: "stop" of "stopped", "save" of "saved", "file" of "files"."""
    if ending == "s" and word.endswith("ss"):
        return []
    stem = word[: -len(ending)]
    found = [stem, stem[:-1] if len(stem) > 2 and stem[-1] == stem[-2] else stem]
    if ending == "ed":
        found.append(word[:-1])
    return [one for one in found if len(one) >= 3]


def _likeliest(hits: list[Suggestion]) -> Suggestion | None:
    """The correction fix makes of the ranked ``hits`` (the likeliest first,
    or a cheap one-edit slip first where there is one): the first, unless
    another is likelier by the margin in context ("choud" is "cloud" alone,
    but "should" in "estate choud be")."""
    if not hits:
        return None
    other = max(hits[1:], key=lambda hit: hit.score, default=None)
    if other is not None and other.score > hits[0].score + _FURTHER_MARGIN:
        return other
    return hits[0]


def _mixes_caseless(word: str) -> bool:
    """Whether ``word`` has letters with case and letters of a script
    without case."""
    caseless = sum(ch.isalpha() and ch.lower() == ch.upper() for ch in word)
    return 0 < caseless < sum(ch.isalpha() for ch in word)


def _one_edit_apart(word: str, other: str) -> bool:
    """Whether at most one edit turns ``word`` into ``other``: a letter
    changed, added or dropped, or two neighbours swapped."""
    if len(word) > len(other):
        word, other = other, word
    if len(other) - len(word) > 1:
        return False
    at = 0
    while at < len(word) and word[at] == other[at]:
        at += 1
    if len(word) < len(other):
        return word[at:] == other[at + 1 :]
    if word[at + 1 :] == other[at + 1 :]:
        return True
    swapped = at + 1 < len(word) and word[at] == other[at + 1] and word[at + 1] == other[at]
    return swapped and word[at + 2 :] == other[at + 2 :]


# The word before a place in text, and the word after, with nothing but
# spaces or a hyphen between.
_WORD_BEFORE: Final = re.compile(r"([^\W\d_]+)[ -]+$")
_WORD_AFTER: Final = re.compile(r"[ -]+([^\W\d_]+)")


def _in_capitalised_run(text: str, start: int, word: str) -> bool:
    """Whether the capitalised ``word`` at ``start`` stands beside another
    capitalised word: a term written with capitals ("General Public
    License", "Cover Texts") rather than a name alone among words of
    prose ("the land of Seir")."""
    found = _WORD_BEFORE.search(text, max(0, start - _LONGEST_WORD - 4), start)
    if found is not None and found.group(1)[0].isupper():
        return True
    found = _WORD_AFTER.match(text, start + len(word))
    return found is not None and found.group(1)[0].isupper()


def _apostrophes(word: str) -> int:
    return word.count("'") + word.count("\u2019")


def _written_apart_twice(text: str, spans: list[tuple[int, int]], pair: tuple[str, str]) -> bool:
    """Whether ``pair`` stands twice or more in ``text`` as two words with
    one space between them."""
    found = 0
    for (start, end), (start2, end2) in itertools.pairwise(spans):
        if (
            text[end:start2] == " "
            and compatible(text[start:end]) == pair[0]
            and compatible(text[start2:end2]) == pair[1]
        ):
            found += 1
            if found == 2:
                return True
    return False


def _split_place(word: str) -> float:
    """What a space slipped into ``word`` at one given place costs beyond
    the slip itself (natural log): the space falls at any of its inner
    places alike. Two known words as written ("every body") are taken for a
    split only when the joined word outweighs that too."""
    return math.log(max(len(word) - 1, 1))
