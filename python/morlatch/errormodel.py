"""A learned spelling error model: the cost of typing one string for another.

``ErrorModel.fit(pairs)`` learns from (misspelling, correction) pairs how
likely each substring edit is, in the manner of Brill and Moore's noisy
channel: every pair is aligned character by character, each run of edits is
widened by up to ``window`` characters of unchanged context on either side,
and every widened form (``"ph" -> "f"``, ``"ie" -> "ei"``, ``"l" -> "ll"``,
``"ance$" -> "ence$"``) is counted. An edit's probability is its count over
the number of times its correct side occurs in the corrected words; its cost
is the negative natural logarithm of that. ``^`` and ``$`` stand for the
word's start and end, so edits can depend on where they happen.

Single-character edits always have a cost: those seen are smoothed towards
the overall rate of their kind (substitution, deletion, insertion, swap),
those never seen take that rate with a penalty. Longer edits need to be seen
at least ``min_count`` times, which keeps one writer's slips out of the model.
"""

from __future__ import annotations

import gzip
import math
import os
from collections import Counter, defaultdict
from collections.abc import Iterable, Iterator
from typing import Final

from . import _engine

__all__ = ["ErrorModel"]

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
_DEFAULT = "errormodel.tsv.gz"

# The kinds of single-character edits, for the rates that smooth them.
_KINDS: Final = ("sub", "del", "ins", "swap")
# How many pairs' worth of weight the overall rate of a kind carries when a
# seen single-character edit is smoothed towards it.
_PRIOR_WEIGHT: Final = 2.0
# An unseen single-character edit costs this much more than its kind's rate.
_UNSEEN_PENALTY: Final = 2.0
# The most characters on the correct side of a learned edit, markers included.
_MAX_SIDE: Final = 5
# How far from the diagonal (beyond the difference in length) an alignment
# may stray.
_BAND: Final = 3


class ErrorModel:
    """Costs of substring edits: ``cost(typed, word)`` is the negative log
    probability of typing ``typed`` when meaning ``word`` (lower-cased),
    taking the likeliest way to get there.

    Build one with :meth:`fit`, :meth:`load` or :meth:`default`.
    """

    __slots__ = ("_rules", "_rates", "_channel")

    def __init__(self, rules: dict[tuple[str, str], float], rates: dict[str, float]) -> None:
        self._rates = dict(rates)
        missing = [kind for kind in _KINDS if kind not in self._rates]
        if missing:
            raise ValueError(f"rates: missing {', '.join(missing)}")
        by_source: dict[str, dict[str, float]] = defaultdict(dict)
        for (source, target), cost in rules.items():
            by_source[source][target] = float(cost)
        # For each correct side: its typed sides with their costs, and the
        # longest typed side.
        self._rules = {
            source: (targets, max(map(len, targets))) for source, targets in by_source.items()
        }
        sources = [source for source, target in rules]
        targets = [target for source, target in rules]
        costs = [float(cost) for cost in rules.values()]
        self._channel = _engine.channel(sources, targets, costs, list(self.rates))

    # ---- fitting ---------------------------------------------------------------

    @classmethod
    def fit(
        cls, pairs: Iterable[tuple[str, str]], *, window: int = 2, min_count: int = 2
    ) -> ErrorModel:
        """A model learned from (misspelling, correction) pairs.

        Pairs are compared lower-cased; a pair whose two sides are equal
        teaches nothing and is skipped. ``window`` is the unchanged context
        taken on either side of an edit, ``min_count`` how often an edit
        longer than one character must be seen to be kept.
        """
        if isinstance(window, bool) or not isinstance(window, int) or window < 0:
            raise ValueError(f"window must be a non-negative int, not {window!r}")
        if isinstance(min_count, bool) or not isinstance(min_count, int) or min_count < 1:
            raise ValueError(f"min_count must be a positive int, not {min_count!r}")
        edits: Counter[tuple[str, str]] = Counter()
        kinds: Counter[str] = Counter()
        words: list[str] = []
        for number, pair in enumerate(pairs):
            typed, word = _pair(pair, number)
            if typed == word or not typed or not word:
                continue
            padded = f"^{word}$"
            words.append(padded)
            ops = _align(f"^{typed}$", padded)
            for edit in _widened(ops, window):
                edits[edit] += 1
            for op in ops:
                if op[0] != "=":
                    kinds[op[0]] += 1
        if not words:
            raise ValueError("pairs: no pair with a misspelling to learn from")
        sources = _substring_counts(words, {source for source, _ in edits})
        chars = sum(len(word) - 2 for word in words)
        rates = {kind: -math.log((kinds[kind] + 0.5) / chars) for kind in _KINDS}
        rules: dict[tuple[str, str], float] = {}
        for (source, target), seen in edits.items():
            kind = _kind(source, target)
            if kind is None and seen < min_count:
                continue
            total = sources[source]
            if kind is not None:
                prior = math.exp(-rates[kind])
                probability = (seen + _PRIOR_WEIGHT * prior) / (total + _PRIOR_WEIGHT)
            else:
                probability = (seen - 0.5) / total
            rules[source, target] = round(-math.log(min(probability, 0.5)), 3)
        return cls(rules, rates)

    # ---- files -----------------------------------------------------------------

    @classmethod
    def default(cls) -> ErrorModel:
        """The model shipped with the package, fitted on a corpus of
        handwritten misspellings by schoolchildren, students and adults."""
        return cls.load(os.path.join(_DATA, _DEFAULT))

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> ErrorModel:
        """A model that :meth:`save` wrote (gzip-compressed if the name ends
        in ``.gz``)."""
        opener = gzip.open if os.fspath(path).endswith(".gz") else open
        with opener(path, "rt", encoding="utf-8") as stream:
            return cls.parse(stream.read())

    @classmethod
    def parse(cls, text: str) -> ErrorModel:
        """A model from the text :meth:`dumps` writes."""
        rules: dict[tuple[str, str], float] = {}
        rates: dict[str, float] = {}
        for number, line in enumerate(text.splitlines(), 1):
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            try:
                if fields[0] == "rate" and len(fields) == 3:
                    rates[fields[1]] = float(fields[2])
                elif fields[0] == "edit" and len(fields) == 4:
                    rules[fields[1], fields[2]] = float(fields[3])
                else:
                    raise ValueError
            except ValueError:
                raise ValueError(f"error model line {number}: {line[:60]!r}") from None
        return cls(rules, rates)

    def dumps(self) -> str:
        """The model as text: ``rate``/``edit`` lines, TAB-separated."""
        lines = ["# morlatch error model: rate KIND COST, edit FROM TO COST"]
        lines += [f"rate\t{kind}\t{self._rates[kind]:.3f}" for kind in _KINDS]
        lines += [
            f"edit\t{source}\t{target}\t{cost:.3f}"
            for source in sorted(self._rules)
            for target, cost in sorted(self._rules[source][0].items())
        ]
        return "\n".join(lines) + "\n"

    def save(self, path: str | os.PathLike[str]) -> None:
        opener = gzip.open if os.fspath(path).endswith(".gz") else open
        with opener(path, "wt", encoding="utf-8") as stream:
            stream.write(self.dumps())

    def __len__(self) -> int:
        """The number of learned edits."""
        return sum(len(targets) for targets, _ in self._rules.values())

    def __repr__(self) -> str:
        return f"<morlatch.ErrorModel of {len(self)} edits>"

    @property
    def channel(self) -> _engine._Channel:
        """The engine's channel of this model (for the speller's native calls)."""
        return self._channel

    @property
    def rates(self) -> tuple[float, float, float, float]:
        """What a substitution, deletion, insertion and swap of one character
        that no learned edit covers costs."""
        sub, delete, insert, swap = (self._rates[kind] + _UNSEEN_PENALTY for kind in _KINDS)
        return sub, delete, insert, swap

    def edits(self) -> Iterator[tuple[str, str, float]]:
        """The learned edits as (correct side, typed side, cost)."""
        for source, (targets, _) in self._rules.items():
            for target, cost in targets.items():
                yield source, target, cost

    # ---- scoring ---------------------------------------------------------------

    def cost(self, typed: str, word: str) -> float:
        """The cost of typing ``typed`` for ``word``: 0 when they are equal
        (ignoring case), otherwise the cheapest sum of edit costs that turns
        ``word`` into ``typed``."""
        if not isinstance(typed, str):
            raise TypeError(f"typed must be a str, not {type(typed).__name__}")
        if not isinstance(word, str):
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        typed, word = typed.lower(), word.lower()
        if typed == word:
            return 0.0
        return _engine.channel_costs(self._channel, f"^{typed}$", [f"^{word}$"], _BAND)[0]

    def costs(self, typed: str, words: list[str]) -> list[float]:
        """``cost(typed, word)`` for each of ``words`` (lower-case), in one
        native call."""
        padded = [f"^{word}$" for word in words]
        return _engine.channel_costs(self._channel, f"^{typed.lower()}$", padded, _BAND)

    def ranked(
        self, typed: str, words: list[str], priors: list[float], limit: int, max_cost: float
    ) -> list[tuple[int, float]]:
        """The ``limit`` best of ``words`` (lower-case) meant by ``typed``, as
        (position in ``words``, ``priors[i] - cost(typed, words[i])``), best
        first and equal scores by word; words costing more than ``max_cost``
        are left out. One native call, which searches each word only as far
        as it could still make the cut."""
        return _engine.channel_rank(
            self._channel, typed.lower(), words, priors, limit, max_cost, _BAND
        )


def _pair(pair: object, number: int) -> tuple[str, str]:
    if not isinstance(pair, tuple | list) or len(pair) != 2:
        raise TypeError(f"pairs[{number}] must be a (misspelling, correction) pair")
    typed, word = pair
    if not isinstance(typed, str) or not isinstance(word, str):
        raise TypeError(f"pairs[{number}] must hold two str")
    return typed.lower(), word.lower()


def _align(typed: str, word: str) -> list[tuple[str, str, str]]:
    """One cheapest alignment of ``word`` to ``typed`` under unit-cost edits
    with swaps, as (kind, from word, to typed) steps: "=", "sub", "del",
    "ins", "swap"."""
    n, m = len(word), len(typed)
    d = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n + 1):
        d[i][0] = i
    for j in range(m + 1):
        d[0][j] = j
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            d[i][j] = min(
                d[i - 1][j] + 1,
                d[i][j - 1] + 1,
                d[i - 1][j - 1] + (word[i - 1] != typed[j - 1]),
            )
            if i > 1 and j > 1 and word[i - 1] == typed[j - 2] and word[i - 2] == typed[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    ops: list[tuple[str, str, str]] = []
    i, j = n, m
    while i or j:
        if i and j and word[i - 1] == typed[j - 1] and d[i][j] == d[i - 1][j - 1]:
            ops.append(("=", word[i - 1], typed[j - 1]))
            i, j = i - 1, j - 1
        elif i and j and d[i][j] == d[i - 1][j - 1] + 1:
            ops.append(("sub", word[i - 1], typed[j - 1]))
            i, j = i - 1, j - 1
        elif (
            i > 1
            and j > 1
            and word[i - 1] == typed[j - 2]
            and word[i - 2] == typed[j - 1]
            and d[i][j] == d[i - 2][j - 2] + 1
        ):
            ops.append(("swap", word[i - 2 : i], typed[j - 2 : j]))
            i, j = i - 2, j - 2
        elif i and d[i][j] == d[i - 1][j] + 1:
            ops.append(("del", word[i - 1], ""))
            i -= 1
        else:
            ops.append(("ins", "", typed[j - 1]))
            j -= 1
    ops.reverse()
    return ops


def _widened(ops: list[tuple[str, str, str]], window: int) -> set[tuple[str, str]]:
    """The edits of one alignment, each run of adjacent edits taken with 0
    to ``window`` unchanged characters on either side (counted once per
    pair)."""
    found: set[tuple[str, str]] = set()
    at = 0
    while at < len(ops):
        if ops[at][0] == "=":
            at += 1
            continue
        end = at
        while end < len(ops) and ops[end][0] != "=":
            end += 1
        source = "".join(op[1] for op in ops[at:end])
        target = "".join(op[2] for op in ops[at:end])
        for left in range(window + 1):
            if at - left < 0 or any(op[0] != "=" for op in ops[at - left : at]):
                break
            before = "".join(op[1] for op in ops[at - left : at])
            for right in range(window + 1):
                if end + right > len(ops) or any(op[0] != "=" for op in ops[end : end + right]):
                    break
                after = "".join(op[1] for op in ops[end : end + right])
                if not (before or after or source):
                    continue  # an insertion needs a context to anchor it
                whole = before + source + after
                if len(whole) <= _MAX_SIDE:
                    found.add((whole, before + target + after))
        at = end
    return found


def _substring_counts(words: list[str], wanted: set[str]) -> Counter[str]:
    """How often each of ``wanted`` occurs in ``words`` (overlaps counted)."""
    counts: Counter[str] = Counter()
    sizes = sorted({len(source) for source in wanted})
    for word in words:
        for size in sizes:
            for start in range(len(word) - size + 1):
                piece = word[start : start + size]
                if piece in wanted:
                    counts[piece] += 1
    return counts


def _kind(source: str, target: str) -> str | None:
    """The kind of a single-character edit, None for a longer one."""
    if len(source) == 1 and len(target) == 1:
        return "sub"
    if len(source) == 1 and not target:
        return "del"
    if not source and len(target) == 1:
        return "ins"
    if len(source) == 2 and target == source[::-1]:
        return "swap"
    return None
