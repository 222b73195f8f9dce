#!/usr/bin/env python3
"""Fit the error model shipped with the package (data/errormodel.tsv.gz) on a
corpus of misspellings in the Birkbeck format: a line ``$correct`` followed by
its misspellings, one a line, ``_`` standing for a space.

    scripts/fit_error_model.py /work/shared/data/birkbeck-train.dat

benchmarks/bench_spell.py fits a model the same way on four fifths of the
corpus and judges it on the other fifth.
"""

from __future__ import annotations

import argparse
import os
import sys

# This tree's package when none is on the path already: a caller's
# PYTHONPATH (a benchmark comparing two trees, say) comes first.
sys.path.append(os.path.join(os.path.dirname(__file__), "..", "python"))

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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus")
    parser.add_argument("--out", default=OUT)
    args = parser.parse_args()
    pairs = read_pairs(args.corpus)
    model = ErrorModel.fit(pairs)
    model.save(args.out)
    print(f"{len(model)} edits from {len(pairs)} pairs -> {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
