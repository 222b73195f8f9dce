"""Throughput of fuzzy_match over an English word list.

Builds the trie arrays in level order (breadth-first ids, each node's children
consecutive and in code-point order), then times fuzzy_match for max_dist 0
to 3 over a fixed, seeded sample of real words with random typos. Nodes
visited per query are counted by the tests' model of the walk
(tests/reference.py; the module exposes no counter), so nodes/s is visited
nodes per second of native walking.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_match.py
"""

from __future__ import annotations

import argparse
import statistics
import time

import _morlatch
from common import describe_machine, read_words, typo_queries, walk, word_list_arrays


def count_visits(arrays, query, max_dist):
    """Visited nodes of one walk, counted by the tests' model of it."""
    visited = []
    walk(arrays, query, max_dist, None, on_visit=visited.append)
    return len(visited)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--queries",
        type=int,
        default=400,
        help="sample size at max_dist 0 (fewer at larger distances)",
    )
    parser.add_argument(
        "--repeat", type=int, default=3, help="timed passes per distance; the fastest is reported"
    )
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()

    words = read_words()
    t0 = time.perf_counter()
    arrays = word_list_arrays(words)
    build_s = time.perf_counter() - t0
    ps = _morlatch.from_internal_data(*arrays)
    queries = typo_queries(words, args.queries, args.seed)

    print("\n".join(describe_machine()))
    print(
        f"data: {len(words)} words, {len(arrays[0])} nodes, {len(arrays[3])} edges "
        f"(built in {build_s:.1f} s)"
    )
    print(
        f"queries: {len(queries)} seeded words with 0-2 typos, mean length "
        f"{statistics.mean(len(q) for q in queries):.1f}"
    )
    print()
    print(
        f"{'max_dist':>8} {'queries':>7} {'hits/q':>8} {'nodes/q':>9} {'q/s':>10} "
        f"{'Mnodes/s':>9} {'cpu q/s':>9}"
    )
    for max_dist, share in ((0, 1), (1, 1), (2, 4), (3, 8)):
        sample = queries[: max(1, len(queries) // share)]
        visits = sum(count_visits(arrays, q, max_dist) for q in sample)
        hits = sum(len(ps.fuzzy_match(q, max_dist, None)) for q in sample)
        best_wall = best_cpu = float("inf")
        for _ in range(args.repeat):
            w0, c0 = time.perf_counter(), time.process_time()
            for q in sample:
                ps.fuzzy_match(q, max_dist, None)
            best_wall = min(best_wall, time.perf_counter() - w0)
            best_cpu = min(best_cpu, time.process_time() - c0)
        qps = len(sample) / best_wall
        mnodes = visits / best_wall / 1e6
        cpu_qps = len(sample) / best_cpu
        per_query = f"{len(sample):>7} {hits / len(sample):>8.1f} {visits / len(sample):>9.0f}"
        print(f"{max_dist:>8} {per_query} {qps:>10.0f} {mnodes:>9.2f} {cpu_qps:>9.0f}")


if __name__ == "__main__":
    main()
