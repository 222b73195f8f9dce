"""What one PrefixSearch costs and how it scales: memory per trie node, the
first-use build of the reverse index, latency per k, and throughput from one
and from two Python threads (searches run without the interpreter's lock).

Word lists: Debian's wamerican and wamerican-insane
(`apt-get install wamerican wamerican-insane`). Queries: list words with 0-2
random edits, from a fixed seed.

    python benchmarks/bench_search.py [--lists small insane] [--queries 300]

Memory is the growth of the process's resident set while the trie is decoded
from its byte image (so that no Python lists are counted) and while the
reverse index is built; both are divided by the number of trie nodes.
"""

from __future__ import annotations

import argparse
import random
import statistics
import threading
import time

import morlatch
from common import describe_machine, read_words

LISTS = {
    "small": "/usr/share/dict/american-english",
    "insane": "/usr/share/dict/american-english-insane",
}


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def typo_queries(words: list[str], count: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        w = list(rng.choice(words))
        for _ in range(rng.randint(0, 2)):
            i = rng.randrange(len(w) + 1)
            c = rng.choice("abcdefghijklmnopqrstuvwxyz")
            op = rng.randrange(3)
            if op == 0:
                w.insert(i, c)
            elif i < len(w):
                if op == 1:
                    del w[i]
                else:
                    w[i] = c
        out.append("".join(w))
    return out


def throughput(search, queries, k, threads):
    """Queries per second with `threads` threads sharing the query list."""
    chunks = [queries[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def work(chunk):
        barrier.wait()
        for q in chunk:
            search.fuzzy_match(q, k, None)

    workers = [threading.Thread(target=work, args=(c,)) for c in chunks]
    for w in workers:
        w.start()
    barrier.wait()
    started = time.perf_counter()
    for w in workers:
        w.join()
    return len(queries) / (time.perf_counter() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lists", nargs="+", default=list(LISTS), choices=list(LISTS))
    parser.add_argument("--queries", type=int, default=300)
    args = parser.parse_args()
    for line in describe_machine():
        print(line)
    for name in args.lists:
        words = read_words(LISTS[name])
        image = morlatch.build(words).to_bytes()
        nodes = len(morlatch.layout(words).node_shifts)
        before = resident_bytes()
        started = time.perf_counter()
        search = morlatch.from_bytes(image)
        decode_s = time.perf_counter() - started
        held = resident_bytes() - before
        before = resident_bytes()
        started = time.perf_counter()
        search.fuzzy_match("abcdefgh", 1, None)  # the first split search builds the index
        reverse_s = time.perf_counter() - started
        reverse = resident_bytes() - before
        print(
            f"\n{name}: {len(words):,} words, {nodes:,} nodes; from_bytes {decode_s * 1e3:.0f} ms, "
            f"{held / nodes:.1f} B/node; reverse index {reverse_s * 1e3:.0f} ms, "
            f"{reverse / nodes:.1f} B/node; in all {(held + reverse) / nodes:.1f} B/node "
            f"({(held + reverse) / 2**20:.0f} MiB)"
        )
        queries = typo_queries(words, args.queries)
        print("| k | median us | p90 us | 1 thread q/s | 2 threads q/s | ratio |")
        print("|---|---|---|---|---|---|")
        for k in range(4):
            times = []
            for q in queries:
                t = time.perf_counter_ns()
                search.fuzzy_match(q, k, None)
                times.append((time.perf_counter_ns() - t) / 1e3)
            times.sort()
            one = throughput(search, queries, k, 1)
            two = throughput(search, queries, k, 2)
            print(
                f"| {k} | {statistics.median(times):.1f} | {times[int(len(times) * 0.9)]:.1f} "
                f"| {one:,.0f} | {two:,.0f} | {two / one:.2f} |"
            )
        times = []
        for q in queries:
            t = time.perf_counter_ns()
            search.exact_match(q)
            times.append((time.perf_counter_ns() - t) / 1e3)
        print(f"exact_match median {statistics.median(times):.2f} us")


if __name__ == "__main__":
    main()
