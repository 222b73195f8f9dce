"""Throughput of PrefixSearch.to_bytes and from_bytes.

Run from the repository root with the built module on the path, e.g.

    PYTHONPATH=build/release:python python benchmarks/bench_format.py [--nodes N] [--repeat R]

Two tries: one built from a real word list (level order, children sorted),
and a synthetic one of a few million nodes generated as arrays directly.
Reports the best of R runs, in MB of encoded bytes per second.
"""

import argparse
import os
import random
import time

import _morlatch
from common import WORD_LIST, describe_machine, read_words, word_list_arrays


def synthetic_arrays(nodes, branching=8, seed=1):
    """A complete tree in heap order: node i's children are i*b+1 .. i*b+b."""
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz" * 6 + "éüßø€中文\U0001f600"
    shifts = [min(i * branching, nodes - 1) for i in range(nodes)]
    strings = [""] + [rng.choice(alphabet) for _ in range(nodes - 1)]
    payloads = [rng.getrandbits(32) if rng.random() < 0.5 else None for _ in range(nodes)]
    children = list(range(1, nodes))
    return shifts, strings, payloads, children


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def measure(name, arrays, repeat):
    search = _morlatch.from_internal_data(*arrays)
    encoded = search.to_bytes()
    as_list = list(encoded)
    assert _morlatch.from_bytes(encoded).to_bytes() == encoded
    size_mb = len(encoded) / 1e6
    rows = []
    for op, fn, reps in [
        ("to_bytes", search.to_bytes, repeat),
        ("from_bytes(bytes)", lambda: _morlatch.from_bytes(encoded), repeat),
        ("from_bytes(list)", lambda: _morlatch.from_bytes(as_list), max(1, repeat // 2)),
    ]:
        seconds = best_of(reps, fn)
        rows.append((name, len(arrays[0]), len(encoded), op, seconds * 1e3, size_mb / seconds))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=3_000_000, help="synthetic trie size")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print("\n".join(describe_machine()))

    rows = []
    if os.path.exists(WORD_LIST):
        words = read_words()
        arrays = word_list_arrays(words)
        print(f"word list: {WORD_LIST}, {len(words)} words")
        rows += measure("words", arrays, args.repeat)
    else:
        print(f"word list: {WORD_LIST} missing, skipped")
    rows += measure("synthetic", synthetic_arrays(args.nodes), args.repeat)

    print()
    print(f"{'trie':<10} {'nodes':>10} {'bytes':>12} {'operation':<18} {'ms':>9} {'MB/s':>9}")
    for name, nodes, size, op, ms, rate in rows:
        print(f"{name:<10} {nodes:>10} {size:>12} {op:<18} {ms:>9.2f} {rate:>9.1f}")


if __name__ == "__main__":
    main()
