"""Latency of morlatch.Index's ranked search and completion, and the
throughput of search_many, over Debian's word lists.

For each list (wamerican's american-english and wamerican-insane's
american-english-insane), a seeded sample of words with 0 to 2 random typos
is looked up with search(q, k, limit=10) and compared with the walk-order
fuzzy_match of the same PrefixSearch (unranked, all hits); seeded word
beginnings (2 to 6 characters, at most one typo) are completed with
complete(p, 1, limit=10). Figures are per call from Python, median and 90th
percentile, in microseconds.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_index.py
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import time
from collections.abc import Callable

import morlatch
from common import describe_machine, read_words, typo

LISTS = ["/usr/share/dict/american-english", "/usr/share/dict/american-english-insane"]


def timings(call: Callable[[str], object], inputs: list[str]) -> list[float]:
    out = []
    for text in inputs:
        start = time.perf_counter()
        call(text)
        out.append(time.perf_counter() - start)
    return out


def row(label: str, seconds: list[float]) -> str:
    ordered = sorted(seconds)
    median = statistics.median(ordered) * 1e6
    p90 = ordered[int(len(ordered) * 0.9)] * 1e6
    per_second = len(seconds) / sum(seconds)
    return f"| {label} | {median:,.0f} | {p90:,.0f} | {per_second:,.0f} |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    for line in describe_machine():
        print(line)
    for path in LISTS:
        if not os.path.exists(path):
            print(f"\n{path}: missing (apt-get install wamerican wamerican-insane)")
            continue
        report(path, args.queries, args.seed)


def report(path: str, count: int, seed: int) -> None:
    """Prints the figures of one word list."""
    words = read_words(path)
    start = time.perf_counter()
    index = morlatch.Index(words)
    built = time.perf_counter() - start
    search = index.prefix_search
    rng = random.Random(seed)
    sample = rng.sample(words, count)
    queries = [typo(rng, w, rng.randrange(3)) for w in sample]
    prefixes = [typo(rng, w[: rng.randrange(2, 7)], rng.randrange(2)) or w[:2] for w in sample]
    # Warm up (the first search of a list builds its reverse index).
    for q in queries[:20]:
        index.search(q, 2, limit=10)
        search.fuzzy_match(q, 2, None)
    print(f"\n{path}: {len(index):,} keys (Index built in {built:.1f} s)\n")
    print("| call | median us | p90 us | calls/s |")
    print("|---|---|---|---|")
    for k in (1, 2):
        calls = {
            f"fuzzy_match(q, {k}, None), walk order": lambda q, k=k: search.fuzzy_match(q, k, None),
            f"search(q, {k})": lambda q, k=k: index.search(q, k),
            f"search(q, {k}, limit=10)": lambda q, k=k: index.search(q, k, limit=10),
            f"search(q, {k}, transpositions=True)": lambda q, k=k: index.search(
                q, k, transpositions=True
            ),
            f"search(q, {k}, limit=10, transpositions=True)": lambda q, k=k: index.search(
                q, k, limit=10, transpositions=True
            ),
        }
        for label, call in calls.items():
            print(row(label, timings(call, queries)))
    completions = {
        f"complete(p, {k}, limit=10)": lambda p, k=k: index.complete(p, k, limit=10)
        for k in (0, 1, 2)
    }
    completions["complete(p, 1, limit=10, transpositions=True)"] = lambda p: index.complete(
        p, 1, limit=10, transpositions=True
    )
    for label, call in completions.items():
        print(row(label, timings(call, prefixes)))

    batch = queries * 2
    start = time.perf_counter()
    looped = [index.search(q, 2, limit=10) for q in batch]
    loop_seconds = time.perf_counter() - start
    print()
    for workers in (1, 2):
        start = time.perf_counter()
        many = index.search_many(batch, 2, limit=10, workers=workers)
        seconds = time.perf_counter() - start
        assert many == looped
        print(
            f"search_many(k=2, limit=10, workers={workers}): {len(batch) / seconds:,.0f} "
            f"queries/s, {loop_seconds / seconds:.2f}x a Python loop over search "
            f"({len(batch) / loop_seconds:,.0f} queries/s)"
        )


if __name__ == "__main__":
    main()
