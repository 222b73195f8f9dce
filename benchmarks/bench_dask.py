"""Throughput of morlatch.dask.search_many on one and two local Dask workers.

--queries typo queries (default 1,000,000: list words with 0 to 2 random
edits, benchmarks/common.py) at --max-dist (default 1), against the index of
wamerican-insane (663,473 words), answered as a list by
morlatch.dask.search_many on a distributed.LocalCluster of 1 and then 2
worker processes of one thread each (each partition on one native thread).
For comparison, Index.search_many in this process on 1 and 2 native threads,
and the machine's ceiling for two workers: Index.search_many on one native
thread in 1 and then 2 forked processes (without Dask), each on its share of
the queries, all started at once; the ratio of those two is the most that a
second worker can bring here.

Per run: the first call (sending the index, the workers' first searches) on
--warmup queries, then the timed call on all queries (sending queries and
results included); the CPU seconds the workers got during it (a shared
machine may give two workers less than two cores) and the load average.

    PYTHONPATH=build/bench:python python benchmarks/bench_dask.py [--queries N]
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

INSANE = "/usr/share/dict/american-english-insane"


def worker_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def search_part(index, part, k, start, done) -> None:
    start.wait()
    cpu = time.process_time()
    index.search_many(part, k, workers=1)
    done.put(time.process_time() - cpu)


def processes_run(index, queries, k, processes):
    """Wall and CPU seconds of Index.search_many on `processes` forked
    processes at once, each on one native thread and its share of queries."""
    fork = multiprocessing.get_context("fork")
    start, done = fork.Event(), fork.Queue()
    size = -(-len(queries) // processes)
    children = [
        fork.Process(target=search_part, args=(index, queries[at : at + size], k, start, done))
        for at in range(0, len(queries), size)
    ]
    # The parent's objects out of the children's collections, which would
    # otherwise copy the pages of every one they walk.
    gc.freeze()
    for child in children:
        child.start()
    gc.unfreeze()
    time.sleep(0.5)  # every child forked and waiting
    began = time.perf_counter()
    start.set()
    cpu = sum(done.get() for _ in children)
    wall = time.perf_counter() - began
    for child in children:
        child.join()
    return wall, cpu


def main() -> None:
    import distributed

    import morlatch
    from common import describe_machine, read_words, typo_queries
    from morlatch.dask import search_many

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=1_000_000)
    parser.add_argument("--max-dist", type=int, default=1)
    parser.add_argument("--warmup", type=int, default=2_000)
    parser.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    args = parser.parse_args()
    for line in describe_machine():
        print(line)

    words = read_words(INSANE)
    began = time.perf_counter()
    index = morlatch.Index(words)
    print(f"index of {len(index):,} words built in {time.perf_counter() - began:.1f} s")
    queries = typo_queries(words, args.queries, seed=1)
    k = args.max_dist
    rows = []

    for threads in (1, 2):
        index.search_many(queries[: args.warmup], k, workers=threads)
        cpu = time.process_time()
        began = time.perf_counter()
        want = index.search_many(queries, k, workers=threads)
        wall = time.perf_counter() - began
        rows.append(
            (f"Index.search_many, {threads} thread(s)", wall, time.process_time() - cpu, load())
        )
        print(rows[-1], flush=True)

    # Forked before any cluster starts its threads.
    for processes in (1, 2):
        index.search_many(queries[: args.warmup], k, workers=1)
        wall, cpu = processes_run(index, queries, k, processes)
        rows.append((f"Index.search_many, {processes} process(es)", wall, cpu, load()))
        print(rows[-1], flush=True)

    for workers in map(int, args.workers.split(",")):
        began = time.perf_counter()
        with (
            distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            started = time.perf_counter() - began
            began = time.perf_counter()
            search_many(queries[: args.warmup], index, k, client=client)
            first = time.perf_counter() - began
            cpu = sum(client.run(worker_cpu).values())
            began = time.perf_counter()
            got = search_many(queries, index, k, client=client)
            wall = time.perf_counter() - began
            cpu = sum(client.run(worker_cpu).values()) - cpu
        assert got == want, "the cluster's results differ from Index.search_many's"
        rows.append((f"morlatch.dask, {workers} worker(s)", wall, cpu, load()))
        print(rows[-1], f"cluster start {started:.1f} s, first call {first:.1f} s", flush=True)

    base = rows[4][1] if len(rows) > 4 else rows[0][1]
    print(f"\n{args.queries:,} queries at k = {k} against {len(index):,} words")
    print("| run | seconds | queries/s | CPU s | vs one worker | load average after |")
    print("|---|---|---|---|---|---|")
    for name, wall, cpu, after in rows:
        print(
            f"| {name} | {wall:.1f} | {args.queries / wall:,.0f} | {cpu:.1f} "
            f"| {base / wall:.2f} | {after} |"
        )
    print(
        f"\nceiling (2 processes vs 1): {rows[2][1] / rows[3][1]:.2f}x; "
        + ", ".join(
            f"{name}: {rows[2][1] / wall:.2f}x of one process" for name, wall, _, _ in rows[4:]
        )
    )


if __name__ == "__main__":
    main()
