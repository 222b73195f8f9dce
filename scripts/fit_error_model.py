#!/usr/bin/env python3
"""Fit the error model shipped with the package (data/errormodel.tsv.gz) on a
corpus of misspellings in the Birkbeck format: a line ``$correct`` followed by
its misspellings, one a line, ``_`` standing for a space.

    scripts/fit_error_model.py /work/shared/data/birkbeck-train.dat

``--holdout N`` leaves out every N-th correct word (by a hash of the word, so
a word's misspellings all go to the same side) and prints how often the
held-out misspellings' correct word costs least among a few candidates, a
quick check that the model generalises; the full evaluation is
benchmarks/bench_spell.py.
"""

from __future__ import annotations

import argparse
import os
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

from morlatch.errormodel import ErrorModel  # noqa: E402

OUT = os.path.join(
    os.path.dirname(__file__), "..", "python", "morlatch", "data", "errormodel.tsv.gz"
)


def read_pairs(path: str) -> list[tuple[str, str]]:
    """(misspelling, correction) pairs of a Birkbeck-format file; pairs that
    split or join words (a ``_`` on either side) are left out."""
    pairs: list[tuple[str, str]] = []
    word = None
    with open(path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            line = line.strip()
            if not line:
                continue
            if line.startswith("$"):
                word = line[1:]
            elif word is not None and "_" not in line and "_" not in word:
                pairs.append((line, word))
    return pairs


def held_out(word: str, every: int) -> bool:
    return every > 0 and zlib.crc32(word.lower().encode()) % every == 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus")
    parser.add_argument("--out", default=OUT)
    parser.add_argument("--holdout", type=int, default=0, metavar="N")
    args = parser.parse_args()
    pairs = read_pairs(args.corpus)
    train = [pair for pair in pairs if not held_out(pair[1], args.holdout)]
    model = ErrorModel.fit(train)
    if args.holdout:
        print(f"{len(train)} pairs fitted, {len(pairs) - len(train)} held out", file=sys.stderr)
        return 0
    model.save(args.out)
    print(f"{len(model)} edits from {len(train)} pairs -> {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
