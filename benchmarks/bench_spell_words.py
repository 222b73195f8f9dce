"""Words/s of Speller.correct beside Hunspell (through pyenchant), the tools
alternated round by round in one process so that a busy machine's swings
fall on all of them alike; each round's rates are reported as ratios to
Hunspell's in that round, and the median ratio over the rounds.

Rows: Hunspell; morlatch's choice gathered and ranked step by step from
Python (how correct ran before its one native call); correct; correct_many
on one thread and on every core. The words are the Birkbeck misspellings
held out from the error model's fitting (see bench_spell.py).

    PYTHONPATH=python:build/dev python benchmarks/bench_spell_words.py [--rounds N] [--cpu]

With --cpu, rates are words per second of the process's CPU time rather
than of wall time: on a machine shared with other work, a tool's rate then
swings less with the others' load (the threaded row counts every thread's
CPU time).
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_spell import DATA, held_out, peers, read_pairs, word_correctors  # noqa: E402

import morlatch  # noqa: E402
from common import describe_machine  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--words", type=int, default=1000)
    parser.add_argument("--cpu", action="store_true", help="time by CPU time, not wall time")
    args = parser.parse_args()
    print("\n".join(describe_machine()))
    pairs = read_pairs(os.path.join(DATA, "birkbeck-train.dat"))
    model = morlatch.ErrorModel.fit([p for p in pairs if not held_out(p[1])])
    speller = morlatch.Speller.english().with_model(model)
    held = [p for p in pairs if held_out(p[1])]
    words = [wrong for wrong, _ in random.Random(7).sample(held, min(args.words, len(held)))]
    one = word_correctors(speller, {k: v for k, v in peers().items() if k == "hunspell"})
    runs: dict[str, Callable[[], object]] = {
        name: (lambda fix=fix: [fix(word) for word in words]) for name, fix in one.items()
    }
    runs["morlatch correct_many, 1 thread"] = lambda: speller.correct_many(words, workers=1)
    runs[f"morlatch correct_many, {os.cpu_count()} threads"] = lambda: speller.correct_many(words)
    clock = time.process_time if args.cpu else time.perf_counter
    rates: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(args.rounds):
        for name, run in runs.items():
            # Every run starts cold: the stepwise path remembers the words it
            # gathered, which would serve later rounds from memory.
            speller._gathered.clear()
            started = clock()
            run()
            rates[name].append(len(words) / (clock() - started))
    base = rates.get("hunspell")
    timed = "CPU time" if args.cpu else "wall time"
    print(
        f"\n## words/s ({timed}), {len(words)} held-out Birkbeck words, "
        f"{args.rounds} rounds alternated"
    )
    print("| tool | median words/s | median ratio to Hunspell in its round |")
    print("|---|---|---|")
    for name, got in rates.items():
        ratio = (
            ""
            if base is None
            else f"{statistics.median(a / b for a, b in zip(got, base, strict=True)):.2f}x"
        )
        print(f"| {name} | {statistics.median(got):,.0f} | {ratio} |")


if __name__ == "__main__":
    main()
