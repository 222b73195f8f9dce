"""What one PrefixSearch costs and how it scales: memory per trie node, the
first-use build of the reverse index, latency per k, and throughput from one
and from two Python threads (searches run without the interpreter's lock).

Word lists: Debian's wamerican and wamerican-insane
(`apt-get install wamerican wamerican-insane`). Queries: list words with 0-2
random edits, from a fixed seed.

    python benchmarks/bench_search.py [--lists small insane] [--queries 300]

Memory is measured in a fresh interpreter: the growth of its resident set
while the trie is decoded from its byte image (so that no Python lists are
counted), and while the first search builds the reverse index; both are
divided by the number of trie nodes.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import morlatch
from common import describe_machine, read_words, typo_queries

LISTS = {
    "small": "/usr/share/dict/american-english",
    "insane": "/usr/share/dict/american-english-insane",
}


MEASURE = """
import ctypes, json, sys, time
import _morlatch
def rss():
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
with open(sys.argv[1], "rb") as f:
    image = f.read()
base = rss()
t = time.perf_counter(); search = _morlatch.from_bytes(image); decode = time.perf_counter() - t
held = rss() - base
t = time.perf_counter(); search.fuzzy_match("abcdefgh", 1, None); reverse = time.perf_counter() - t
print(json.dumps([decode, held, reverse, rss() - base - held]))
"""


def measure_memory(image: bytes) -> list[float]:
    """[decode s, bytes held, reverse index build s, its bytes], in a fresh process."""
    with tempfile.NamedTemporaryFile(suffix=".trie", delete=False) as f:
        f.write(image)
    try:
        out = subprocess.run(
            [sys.executable, "-c", MEASURE, f.name], check=True, capture_output=True, text=True
        ).stdout
    finally:
        os.unlink(f.name)
    return json.loads(out)


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
        decode_s, held, reverse_s, reverse = measure_memory(image)
        search = morlatch.from_bytes(image)
        print(
            f"\n{name}: {len(words):,} words, {nodes:,} nodes; from_bytes {decode_s * 1e3:.0f} ms, "
            f"{held / nodes:.1f} B/node; reverse index built on first use in "
            f"{reverse_s * 1e3:.0f} ms, {reverse / nodes:.1f} B/node; in all "
            f"{(held + reverse) / nodes:.1f} B/node ({(held + reverse) / 2**20:.0f} MiB)"
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
