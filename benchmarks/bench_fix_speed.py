"""Speller.fix sentences/s of two trees side by side, alternated in one
run, and symspellpy's lookup_compound on the same sentences, by CPU time.

Each tree's package runs in a worker process of its own (the speller built
once, with the shipped counts and model); the parent deals out the same
corrupted sentences of each text (bench_spell.py's draw) to the workers and
to lookup_compound in turn, round after round, and reports each one's
sentences over its CPU seconds (of the process that ran it) in all rounds.
Every round draws other sentences (seeds 3, 4, ...), so that what a
speller remembers of words it saw helps only as much as a text repeats.

    PYTHONPATH=python:build/dev python benchmarks/bench_fix_speed.py \\
        --before /path/to/other/tree/python [--rounds 3] [--sentences 300]

``--before`` is the python/ directory of the tree to compare with (its
package runs on this tree's build, so only the Python side differs, and
the engine functions it calls must still be there).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")


def worker() -> None:
    """Fixes the sentences of every request line; answers the CPU seconds
    and a digest of the output."""
    import morlatch

    speller = morlatch.Speller.english()
    print(json.dumps({"ready": morlatch.__file__}), flush=True)
    for line in sys.stdin:
        texts = json.loads(line)
        started = time.process_time()
        fixed = [speller.fix(text) for text in texts]
        seconds = time.process_time() - started
        print(json.dumps({"seconds": seconds, "digest": hash(tuple(fixed))}), flush=True)


def start(python_dir: str) -> subprocess.Popen[str]:
    build = os.environ.get("PYTHONPATH", "").split(os.pathsep)[1:]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([python_dir, *build]), PYTHONHASHSEED="0")
    process = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--worker"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert process.stdout is not None
    print(f"# {python_dir}: {json.loads(process.stdout.readline())['ready']}")
    return process


def ask(process: subprocess.Popen[str], texts: list[str]) -> dict:
    assert process.stdin is not None and process.stdout is not None
    process.stdin.write(json.dumps(texts) + "\n")
    process.stdin.flush()
    return json.loads(process.stdout.readline())


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--before", required="--worker" not in sys.argv)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sentences", type=int, default=300)
    parser.add_argument("--corruption", default="real")
    args = parser.parse_args()
    if args.worker:
        worker()
        return
    sys.path.insert(0, HERE)
    import bench_spell as bench

    misspellings: dict[str, list[str]] = {}
    for wrong, right in bench.read_pairs(os.path.join(bench.DATA, "birkbeck-train.dat")):
        if bench.held_out(right) and wrong.isalpha():
            misspellings.setdefault(right.lower(), []).append(wrong.lower())
    sym = bench.peers().get("symspellpy")
    sides = {"before": start(args.before), "after": start(os.path.join(ROOT, "python"))}
    seconds: dict[tuple[str, str], float] = {}
    counted: dict[str, int] = {}
    for round_ in range(args.rounds):
        for source, paths in bench.TEXTS.items():
            good = bench.sentences(source, paths, args.sentences, seed=3 + round_)
            if not good:
                continue
            rng = random.Random(11)
            texts = [bench.corrupt(rng, s, misspellings, args.corruption) for s in good]
            counted[source] = counted.get(source, 0) + len(texts)
            digests = set()
            for side, process in sides.items():
                answer = ask(process, texts)
                digests.add(answer["digest"])
                seconds[(source, side)] = seconds.get((source, side), 0.0) + answer["seconds"]
            if len(digests) != 1:
                print(f"# {source}: the two trees' outputs differ")
            if sym is not None:
                started = time.process_time()
                for text in texts:
                    sym.lookup_compound(text, 2)
                key = (source, "lookup_compound")
                seconds[key] = seconds.get(key, 0.0) + time.process_time() - started
    print(
        "| text | fix before | fix after | after / before | lookup_compound "
        "| before / lookup_compound | after / lookup_compound |"
    )
    print("|---|---|---|---|---|---|---|")
    for source, count in counted.items():
        rate = {side: count / seconds[(source, side)] for side in ("before", "after")}
        compound = count / seconds[(source, "lookup_compound")] if sym else float("nan")
        print(
            f"| {source} | {rate['before']:,.0f} | {rate['after']:,.0f} "
            f"| {rate['after'] / rate['before']:.2f}x | {compound:,.0f} "
            f"| {rate['before'] / compound:.1f}x | {rate['after'] / compound:.1f}x |"
        )
    for process in sides.values():
        assert process.stdin is not None
        process.stdin.close()
        process.wait()


if __name__ == "__main__":
    main()
