"""Spelling correction: how many misspellings each tool fixes, and how fast.

The test set is Norvig's first spelling test set (270 misspellings of 135
words, /work/shared/data/spell-testset1.txt or --testset); a word counts as
corrected when the tool's best suggestion is the right spelling. The tools,
in one run:

- morlatch: ``Index(words, weights=counts)`` over symspellpy's bundled English
  frequency list (82,765 words with corpus counts), then
  ``correct(word)`` (max distance 2, transpositions), with the error model
  and with the plain rule, one call per word and one ``correct_many`` call
  for the whole set (one thread per core);
- symspellpy with the same list: ``lookup(word, Verbosity.TOP,
  max_edit_distance=2)``;
- pyspellchecker as shipped (its own English list): ``correction(word)``.

Words per second is the whole set corrected from Python (in a loop, or in
the one batch call), the best of --repeat runs (pyspellchecker: one run, or
--slow-subset words of it); for the tools called word by word, the median
and p90 time of one word in that run.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_correct.py
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable

import morlatch
import morlatch.index
from common import describe_machine

TESTSET = "/work/shared/data/spell-testset1.txt"


def frequency_list() -> str:
    import symspellpy

    return os.path.join(os.path.dirname(symspellpy.__file__), "frequency_dictionary_en_82_765.txt")


def read_testset(path: str) -> list[tuple[str, str]]:
    """(misspelling, right) pairs, in file order."""
    pairs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if ":" not in line:
                continue
            right, wrongs = line.split(":", 1)
            pairs.extend((wrong, right.strip()) for wrong in wrongs.split())
    return pairs


def read_counts(path: str) -> dict[str, int]:
    counts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            word, count = line.split()
            counts[word] = int(count)
    return counts


Fixer = Callable[[list[str]], list[str]]


class OneByOne:
    """A tool that takes one word at a time, called in a loop; keeps the
    time of each call of its latest run."""

    def __init__(self, fix: Callable[[str], str]) -> None:
        self.fix = fix
        self.times: list[float] = []

    def __call__(self, words: list[str]) -> list[str]:
        answers, times = [], []
        for word in words:
            start = time.perf_counter()
            answers.append(self.fix(word))
            times.append(time.perf_counter() - start)
        self.times = times
        return answers


def latency(times: list[float]) -> str:
    """Median and p90 of one word's correction, in microseconds."""
    if not times:
        return "-"
    ordered = sorted(times)
    return f"{ordered[len(ordered) // 2] * 1e6:,.0f} / {ordered[len(ordered) * 9 // 10] * 1e6:,.0f}"


def measure(
    tools: dict[str, Fixer], pairs: list[tuple[str, str]], repeat: int
) -> dict[str, tuple[int, float, str]]:
    """Per tool (words corrected, words per second, median / p90 us per
    word): the best of ``repeat`` runs (the latencies of that run), the
    tools taking turns so that a change in the machine's load falls on all
    of them alike."""
    best = dict.fromkeys(tools, float("inf"))
    right = dict.fromkeys(tools, 0)
    spread = dict.fromkeys(tools, "-")
    wrongs = [wrong for wrong, _ in pairs]
    for _ in range(repeat):
        for name, fix in tools.items():
            start = time.perf_counter()
            answers = fix(wrongs)
            elapsed = time.perf_counter() - start
            if elapsed < best[name]:
                best[name] = elapsed
                spread[name] = latency(getattr(fix, "times", []))
            right[name] = sum(a == want for a, (_, want) in zip(answers, pairs, strict=True))
    return {name: (right[name], len(pairs) / best[name], spread[name]) for name in tools}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--testset", default=TESTSET)
    parser.add_argument("--repeat", type=int, default=5, help="timed runs of the fast tools")
    parser.add_argument(
        "--slow-subset",
        type=int,
        default=0,
        help="time pyspellchecker on the first N words only (0: all; accuracy is always "
        "over the whole set)",
    )
    parser.add_argument("--skip-slow", action="store_true", help="leave pyspellchecker out")
    parser.add_argument(
        "--grid", action="store_true", help="also the model's accuracy at nearby edit costs"
    )
    args = parser.parse_args()

    pairs = read_testset(args.testset)
    counts = read_counts(frequency_list())
    for line in describe_machine():
        print(line)
    print(f"test set: {len(pairs)} misspellings; frequency list: {len(counts):,} words")

    start = time.perf_counter()
    index = morlatch.Index(list(counts), weights=counts)
    index_built = time.perf_counter() - start

    def by(rule: str) -> Callable[[str], str]:
        def fix(word: str) -> str:
            found = index.correct(word, rule=rule)  # type: ignore[arg-type]
            return found[0].key if found else word

        return fix

    def batch_by(rule: str) -> Fixer:
        def fix(words: list[str]) -> list[str]:
            found = index.correct_many(words, rule=rule)  # type: ignore[arg-type]
            return [best[0].key if best else word for best, word in zip(found, words, strict=True)]

        return fix

    from symspellpy import SymSpell, Verbosity

    start = time.perf_counter()
    speller = SymSpell(max_dictionary_edit_distance=2)
    speller.load_dictionary(frequency_list(), 0, 1)
    speller_built = time.perf_counter() - start

    def symspell_fix(word: str) -> str:
        found = speller.lookup(word, Verbosity.TOP, max_edit_distance=2)
        return found[0].term if found else word

    fast = {
        'morlatch correct(rule="model")': OneByOne(by("model")),
        'morlatch correct(rule="plain")': OneByOne(by("plain")),
        'morlatch correct_many(rule="model")': batch_by("model"),
        'morlatch correct_many(rule="plain")': batch_by("plain"),
        "symspellpy lookup(TOP, 2)": OneByOne(symspell_fix),
    }
    rows = [
        (
            name,
            right,
            rate,
            spread,
            f"built in {index_built if 'morlatch' in name else speller_built:.1f} s",
        )
        for name, (right, rate, spread) in measure(fast, pairs, args.repeat).items()
    ]

    if not args.skip_slow:
        from spellchecker import SpellChecker

        checker = SpellChecker()

        def pyspell_fix(word: str) -> str:
            return checker.correction(word) or word

        timed = pairs[: args.slow_subset] if args.slow_subset else pairs
        right, rate, spread = measure({"pyspellchecker": OneByOne(pyspell_fix)}, timed, 1)[
            "pyspellchecker"
        ]
        if len(timed) < len(pairs):
            right += sum(pyspell_fix(wrong) == want for wrong, want in pairs[len(timed) :])
        note = "its own list" + (f"; timed on {len(timed)} words" if args.slow_subset else "")
        rows.append(("pyspellchecker correction()", right, rate, spread, note))

    fastest_peer = next(rate for label, _, rate, _, _ in rows if label.startswith("symspellpy"))
    print()
    print("| tool | corrected | % | words/s | vs symspellpy | us/word median / p90 | note |")
    print("|---|---|---|---|---|---|---|")
    for label, right, rate, spread, note in rows:
        print(
            f"| {label} | {right} of {len(pairs)} | {100 * right / len(pairs):.1f} | "
            f"{rate:,.0f} | {rate / fastest_peer:.2f}x | {spread} | {note} |"
        )

    if args.grid:
        print()
        print("model: words corrected at other edit costs (nats)")
        print("| edit \\ cheap | " + " | ".join(f"{c:g}" for c in (3.0, 3.5, 4.25, 5.0)) + " |")
        print("|---" * 5 + "|")
        saved = morlatch.index.EDIT_COST, morlatch.index.CHEAP_COST
        for edit in (6.0, 7.0, 8.0, 9.0):
            cells = []
            for cheap in (3.0, 3.5, 4.25, 5.0):
                morlatch.index.EDIT_COST, morlatch.index.CHEAP_COST = edit, cheap
                cells.append(str(sum(by("model")(w) == r for w, r in pairs)))
            print(f"| {edit:g} | " + " | ".join(cells) + " |")
        morlatch.index.EDIT_COST, morlatch.index.CHEAP_COST = saved


if __name__ == "__main__":
    main()
