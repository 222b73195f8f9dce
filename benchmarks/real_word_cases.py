"""Real-word slips that Speller.fix leaves wrong, one line each: the
sentence as corrupted, the known word typed, the word meant, the pair
counts of each with the neighbours on both sides, and why the real-word
rule declined (not asked, the word meant is no candidate, or below the
margin by how much). bench_spell.py's draw of sentences and corruption.

    PYTHONPATH=python:build/dev python benchmarks/real_word_cases.py \\
        [--seed 7 --seed 13] [--text NAME] [--edits 1|2]
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import sys
from collections import Counter

import bench_spell as bench  # puts scripts/ on the path
from fit_error_model import read_pairs  # noqa: E402

import morlatch
from morlatch import _spellfix
from morlatch._spellfix import _REAL_WORD_MARGIN


def osa(a: str, b: str) -> int:
    """Edits (a swap of neighbours counting as one) from ``a`` to ``b``."""
    rows = [list(range(len(b) + 1))] + [[i] + [0] * len(b) for i in range(1, len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            rows[i][j] = min(
                rows[i - 1][j] + 1, rows[i][j - 1] + 1, rows[i - 1][j - 1] + (a[i - 1] != b[j - 1])
            )
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                rows[i][j] = min(rows[i][j], rows[i - 2][j - 2] + 1)
    return rows[-1][-1]


def why(speller, asked: dict, typed: str, right: str) -> str:
    """Why the real-word rule left ``typed`` (asked with ``asked``'s
    neighbours, or not asked at all) rather than making it ``right``."""
    if typed not in asked:
        return "not asked (capitalised, an old word, a join or the writer's spelling)"
    before, after, found = asked[typed]
    if found not in (None, right):
        return f"made {found!r}"
    if found == right:
        return "made right, then changed again"
    here = speller._context_as_written(typed, before, after)
    gain = speller._contexts([right], before, after)[0] - speller._model.cost(typed, right) - here
    return f"gain {gain:.1f} against margin {_REAL_WORD_MARGIN:.1f}"


def pair(speller, first: str | None, second: str | None) -> str:
    if first is None or second is None:
        return "-"
    found = speller._pairs.get((first, second))
    return "unseen" if found is None else f"{found:.3g}"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, action="append")
    parser.add_argument("--text", action="append")
    parser.add_argument("--edits", type=int, help="only slips this many edits from the word")
    args = parser.parse_args()
    data = os.path.join(bench.DATA, "birkbeck-train.dat")
    train = [p for p in read_pairs(data) if not bench.held_out(p[1])]
    speller = morlatch.Speller.english().with_model(morlatch.ErrorModel.fit(train))
    misspellings: dict[str, list[str]] = {}
    for wrong, right in read_pairs(data):
        if bench.held_out(right) and wrong.isalpha():
            misspellings.setdefault(right.lower(), []).append(wrong.lower())
    asked: dict[str, tuple[str | None, str | None, str | None]] = {}
    rule = _spellfix._TextRules._real_word

    def watched(self, word, before, after):
        asked[word] = (before, after, found := rule(self, word, before, after))
        return found

    _spellfix._TextRules._real_word = watched
    left: Counter[tuple[str, int]] = Counter()
    for seed in args.seed or [7, 13]:
        for source, paths in bench.TEXTS.items():
            if args.text and not any(name in source for name in args.text):
                continue
            rng = random.Random(11)
            for good in bench.sentences(source, paths, 300, seed):
                bad = bench.corrupt(rng, good, misspellings)
                asked.clear()
                out = speller.fix(bad)
                want, given = bench.words_of(good), bench.words_of(bad)
                restored = bench.matched(want, bench.words_of(out))
                blocks = difflib.SequenceMatcher(None, want, given, autojunk=False)
                for tag, i1, i2, j1, j2 in blocks.get_opcodes():
                    if tag != "replace" or i2 - i1 != j2 - j1:
                        continue
                    for at, typed in zip(range(i1, i2), given[j1:j2], strict=True):
                        right, edits = want[at], osa(typed, want[at])
                        if typed not in speller._counts or at in restored:
                            continue
                        if args.edits and edits != args.edits:
                            continue
                        left[source, edits] += 1
                        before = want[at - 1] if at else None
                        after = want[at + 1] if at + 1 < len(want) else None
                        print(
                            f"{source} | {bad} | {typed} -> {right} ({edits} edits) | "
                            f"{typed}: {pair(speller, before, typed)} {pair(speller, typed, after)}"
                            f" | {right}: {pair(speller, before, right)} "
                            f"{pair(speller, right, after)} | {why(speller, asked, typed, right)}"
                        )
    for (source, edits), count in sorted(left.items()):
        print(f"# {source}: {count} known words left wrong, {edits} edit(s) from the word meant")


if __name__ == "__main__":
    sys.exit(main())
