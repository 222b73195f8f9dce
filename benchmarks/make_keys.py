"""Writes a word list of distinct two-word keys, like product or company names.

Each key is two words of a word list (default: wamerican-insane's 663,473
words) joined by a space, drawn with a seeded generator; repeats are skipped
until --count distinct keys are written, one per line (payload = line number).
The same seed gives the same keys, and a shorter list is a prefix of a longer
one.

    python benchmarks/make_keys.py --count 10000000 -o /tmp/keys-10m.txt
"""

from __future__ import annotations

import argparse
import random
import sys
import time

INSANE = "/usr/share/dict/american-english-insane"


def two_word_keys(words: list[str], count: int, seed: int = 11):
    """count distinct "word word" keys, in the order drawn."""
    if count > len(words) * len(words):
        raise ValueError(f"only {len(words) ** 2} two-word keys exist")
    rng = random.Random(seed)
    pick = rng.choice
    seen: set[str] = set()
    while len(seen) < count:
        key = f"{pick(words)} {pick(words)}"
        if key not in seen:
            seen.add(key)
            yield key


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10_000_000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--words", default=INSANE, help="word list to draw from")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    began = time.perf_counter()
    with open(args.words, encoding="utf-8") as f:
        words = [line.rstrip("\n") for line in f if line.strip()]
    with open(args.output, "w", encoding="utf-8") as out:
        batch: list[str] = []
        for key in two_word_keys(words, args.count, args.seed):
            batch.append(key)
            if len(batch) == 100_000:
                out.write("\n".join(batch) + "\n")
                batch.clear()
        if batch:
            out.write("\n".join(batch) + "\n")
    print(
        f"{args.count:,} keys from {len(words):,} words in {time.perf_counter() - began:.1f} s "
        f"-> {args.output}",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
