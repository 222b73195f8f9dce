"""The text side of spell checking: which words of a text are checked,
where sentences start, and the case pattern of a word."""

from __future__ import annotations

import math
import re
import unicodedata

__all__ = [
    "WORD",
    "SKIPPED",
    "APOSTROPHES",
    "RUN_ON_CAPITAL",
    "prose_run_on",
    "skipped",
    "with_case",
    "in_capitals",
    "compatible",
    "lower_at",
    "context_words",
    "sentence_start",
    "verb_stems",
    "chance_of_recurring",
    "TITLES",
    "NAME_TITLES",
    "before_a_name",
    "TITLES_IN_FULL",
    "BEFORE_A_NOUN",
    "CLOSED_CLASS",
    "OLD_WORDS",
]

APOSTROPHES = "'\u2019"

# A word: letters, with apostrophes inside (don't, farmer's).
WORD = re.compile(r"[^\W\d_]+(?:['\u2019][^\W\d_]+)*")
# Whitespace-separated pieces that hold no words to check: URLs, e-mail
# addresses, paths, code (digits, underscores, inner capitals or dots, markup).
SKIPPED = re.compile(
    r"""\S*(?:://|www\.|@|[/\\_=<>{}\[\]#$%^&*|~`+]|\d|[a-z][A-Z]|\w\.\w|[\ud800-\udfff])\S*"""
)
# A word run into a capitalised one ("theJews", "andI", "SirThomas"), in
# prose, not code: a word in small letters or with a capital first, then one
# capital and small letters, punctuation around.
RUN_ON_CAPITAL = re.compile(r"([a-z]{2,}|a|[A-Z][a-z]+)([A-Z][a-z]*)")
# Words that stand before a noun in prose (articles, determiners,
# prepositions, conjunctions) and start no name in code ("myList",
# "isEmpty", "getLine" do): one run into a capitalised word is two words
# ("thisLicense", "byCovered").
BEFORE_A_NOUN = frozenset(
    "the a an this that these those its his her their our your by in of to "
    "and or for with from on at as under into upon than".split()
)
# Words of the closed classes (articles, pronouns, prepositions,
# conjunctions, auxiliaries, numerals and the commonest adverbs and
# quantifiers, old ones among them): two words run together with one of
# these are a slipped space, never a compound.
CLOSED_CLASS = BEFORE_A_NOUN | frozenset(
    "my me him them us we you they he she it i but nor so if then there here "
    "is are was were be been being am do does did have has had can could will would "
    "shall should may might must not no also only just very more most all any some "
    "each every other many much such both either neither few same own never ever "
    "certain several various nothing something anything everything another "
    "whatever whichever enough less least none "
    "how what when where which who whom whose why while after before over out up "
    "down off about again once too till until against instead without within "
    "among between since though although because unless whether yet per via "
    "thou thee thy thine ye hath doth hast dost shalt wilt saith unto "
    "one two three four five six seven eight nine ten".split()
)
# Titles that stand before a name written in full ("Sir Thomas").
_BEFORE_A_NAME = frozenset(
    ("sir", "lady", "lord", "king", "queen", "uncle", "aunt", "mr", "mrs", "dr")
)
# A capitalised word that starts two words of prose when another capitalised
# word is run into it ("AndSamuel", "SirThomas").
_PROSE_HEADS = BEFORE_A_NOUN | _BEFORE_A_NAME
_RUN_ON_PIECE = re.compile(
    r"[\"'(\u2018\u201c]*" + RUN_ON_CAPITAL.pattern + r"[.,;:!?\"')\u2019\u201d]*"
)
_OPENERS = frozenset("\"'([{\u201c\u2018\u00ab")


def skipped(piece: str) -> bool:
    """Whether the whitespace-separated ``piece`` holds no words to check;
    a word run into a capitalised one is checked, though it reads as code."""
    if SKIPPED.fullmatch(piece) is None:
        return False
    found = _RUN_ON_PIECE.fullmatch(piece)
    return found is None or not prose_run_on(found)


def prose_run_on(found: re.Match[str]) -> bool:
    """Whether a match of RUN_ON_CAPITAL (or of a piece around it) is two
    words of prose: a capitalised word run into another is code or one
    name ("FileType", "MacDonald") unless it is a word that stands before a
    noun or a title ("AndSamuel", "SirThomas")."""
    head = found.group(1)
    return head[0].islower() or head.lower() in _PROSE_HEADS


def in_capitals(word: str) -> bool:
    """Whether ``word`` is written in capitals: two characters or more, a
    capital among them, and no small letter that has a capital of its own
    ("\u00df" and ligatures such as "\ufb01" have none, so "STRA\u00dfE" is
    in capitals)."""
    return len(word) > 1 and word != word.lower() and not any(map(_small, word))


def _small(ch: str) -> bool:
    return ch.islower() and len(ch.upper()) == 1


def _capital(ch: str) -> str:
    """The capital of ``ch``, or ``ch`` when its capital is two letters."""
    upper = ch.upper()
    return upper if len(upper) == 1 else ch


def with_case(pattern: str, word: str) -> str:
    """``word`` in the case pattern of ``pattern``: all capitals, a capital
    first, or as it is. A letter whose capital is two letters ("\u00df")
    stays as it is."""
    if in_capitals(pattern):
        return "".join(map(_capital, word))
    if pattern[:1].isupper():
        return _capital(word[:1]) + word[1:]
    return word


def compatible(word: str) -> str:
    """``word`` lower-cased under compatibility normalisation: ligatures
    ("\ufb01eld"), full-width and other presentation forms read as the
    letters they stand for, and the curly apostrophe as the straight one."""
    if word.isascii():
        return word.lower()
    lower = word.lower().replace("\u2019", "'")
    normal = unicodedata.normalize("NFKC", lower).lower()
    # Only letters stay letters: "\u00b2" is no "2" inside a word.
    return normal if normal.replace("'", "").isalpha() else lower


def lower_at(text: str, spans: list[tuple[int, int]], at: int, near: int) -> str | None:
    """The word at ``at``, lower-cased, as context for the word at ``near``:
    None when there is none or punctuation stands between them."""
    if not 0 <= at < len(spans):
        return None
    start, end = spans[at]
    gap = text[spans[near][1] : start] if at > near else text[end : spans[near][0]]
    return None if gap.strip() else compatible(text[start:end])


def context_words(
    text: str, spans: list[tuple[int, int]]
) -> tuple[list[str], list[str | None], list[str | None]]:
    """The words at ``spans`` lower-cased, and each one's neighbours as
    context, read once for the whole text: for every ``at``,
    ``lower_at(text, spans, at - 1, at)`` and ``lower_at(text, spans, at + 1, at)``."""
    lowers = [compatible(text[start:end]) for start, end in spans]
    befores: list[str | None] = [None] * len(spans)
    afters: list[str | None] = [None] * len(spans)
    for at in range(1, len(spans)):
        # Nothing but spaces between the two words: each is the other's context.
        if not text[spans[at - 1][1] : spans[at][0]].strip():
            befores[at], afters[at - 1] = lowers[at - 1], lowers[at]
    return lowers, befores, afters


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


# Titles written shortened, with a full stop, before a name ("Mrs. Bennet").
TITLES = ("mr", "mrs", "ms", "dr", "st", "messrs", "rev", "prof", "capt", "col", "gen", "lt")
# Shortened titles that stand before a name and nothing else ("mr", "dr";
# not "st", also a street).
NAME_TITLES = frozenset(TITLES) & _BEFORE_A_NAME
# Titles written in full, never shortened: one with a full stop before a name
# is a slip for a shortened title ("Miss. Weston" for "Mrs. Weston").
TITLES_IN_FULL = frozenset(("miss",))
_FULL_STOP_THEN = re.compile(r"\.[ \t]+")


def before_a_name(text: str, spans: list[tuple[int, int]], at: int) -> str | None:
    """The word after the word at ``at`` when only a full stop and spaces
    stand between them and it has a capital first and a small letter after
    ("Mrss. Norris"): the place of a title shortened before a name; else
    None."""
    if at + 1 >= len(spans):
        return None
    gap = _FULL_STOP_THEN.fullmatch(text, spans[at][1], spans[at + 1][0])
    after = text[spans[at + 1][0] : spans[at + 1][1]]
    if gap is None or not after[0].isupper() or not any(map(str.islower, after[1:])):
        return None
    return after


# The pronouns and verbs of the old register ("thou hast", "unto thee"):
# rare in today's prose, so context alone reads them as slips ("thy" for
# "the", "ye" for "we").
OLD_WORDS = frozenset("thou thee thy thine ye hath doth hast dost shalt wilt saith unto".split())


# Endings of the old verb forms: "-eth" of the third person ("cometh",
# "putteth", "crieth"), "-est" of the second, after "thou" ("goest",
# "sayest", "shouldest").
OLD_ENDINGS = ("eth", "est")


def verb_stems(word: str, ending: str) -> list[str]:
    """The words ``word`` may be made from by ``ending`` (one of
    OLD_ENDINGS): the stem as it is ("shouldest"), with the "e" the ending
    took ("cometh"), with a doubled consonant undone ("putteth") or with "y"
    for "i" ("crieth"); none when ``word`` does not end so."""
    if not word.endswith(ending) or len(word) < len(ending) + 2:
        return []
    stem = word[: -len(ending)]
    stems = [stem, stem + "e"]
    if len(stem) >= 3 and stem[-1] == stem[-2] and stem[-1] not in "aeiou":
        stems.append(stem[:-1])
    if stem.endswith("i"):
        stems.append(stem[:-1] + "y")
    return stems


def chance_of_recurring(times: int, expected: float) -> float:
    """The chance that a word the text would hold ``expected`` times on
    average, were it written as often as elsewhere, is written ``times``
    times or more: the upper tail of a Poisson count, summed from whichever
    end is shorter (in logs, so that no power overflows)."""
    if times <= 0:
        return 1.0
    if expected <= 0:
        return 0.0
    log_mean = math.log(expected)

    def term(k: int) -> float:
        return math.exp(k * log_mean - expected - math.lgamma(k + 1))

    if times <= expected:
        return max(0.0, 1.0 - math.fsum(term(k) for k in range(times)))
    # Past the mean the terms fall at least as fast as a geometric series.
    tail, k, step = 0.0, times, term(times)
    while step > tail * 1e-15:
        tail += step
        k += 1
        step *= expected / k
    return min(1.0, tail)
