"""Throughput of morlatch.dask.search_many on one and two local Dask workers.

--queries typo queries (default 1,000,000: list words with 0 to 2 random
edits, benchmarks/common.py) at --max-dist (default 1), against the index of
wamerican-insane (663,473 words), answered as a list by
morlatch.dask.search_many on a distributed.LocalCluster of 1 and then 2
worker processes of one thread each (each partition on one native thread).
For comparison, Index.search_many in this process on 1 and 2 native threads,
and the machine's ceiling for two workers: Index.search_many on one native
thread in 1 and then 2 processes started for it (without Dask), each on its
share of the queries, timed from when all are ready; the ratio of those two
is the most that a second worker can bring here.

Every run answers all queries (for Dask: sending queries and results
included, after a first call on --warmup queries has sent the index). The
runs take turns for --repeat rounds, so that other work on a shared machine
weighs on all alike, and the best of each is shown with the CPU seconds of
the searching processes (the workers, for Dask) and of the calling process.

    PYTHONPATH=build/bench:python python benchmarks/bench_dask.py [--queries N]
"""

from __future__ import annotations

import argparse
import contextlib
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


def search_part(index, part, k, warmup, ready, start, done) -> None:
    index.search_many(part[:warmup], k, workers=1)
    ready.put(None)
    start.wait()
    cpu = time.process_time()
    index.search_many(part, k, workers=1)
    done.put(time.process_time() - cpu)


def processes_run(index, queries, k, processes, warmup):
    """Wall seconds and CPU seconds (the children's, this process's) of
    Index.search_many on `processes` processes at once (without Dask), each on
    one native thread and its share of the queries; timed from when all of
    them are ready."""
    spawn = multiprocessing.get_context("spawn")
    ready, start, done = spawn.Queue(), spawn.Event(), spawn.Queue()
    size = -(-len(queries) // processes)
    children = [
        spawn.Process(
            target=search_part,
            args=(index, queries[at : at + size], k, warmup, ready, start, done),
        )
        for at in range(0, len(queries), size)
    ]
    for child in children:
        child.start()
    for _ in children:
        ready.get()
    own = time.process_time()
    began = time.perf_counter()
    start.set()
    cpu = sum(done.get() for _ in children)
    wall = time.perf_counter() - began
    own = time.process_time() - own
    for child in children:
        child.join()
    return wall, cpu, own


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
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the best of each is shown")
    args = parser.parse_args()
    for line in describe_machine():
        print(line)

    words = read_words(INSANE)
    began = time.perf_counter()
    index = morlatch.Index(words)
    print(f"index of {len(index):,} words built in {time.perf_counter() - began:.1f} s")
    queries = typo_queries(words, args.queries, seed=1)
    k = args.max_dist
    index.search_many(queries[: args.warmup], k)
    want = index.search_many(queries, k, workers=1)

    def threads_run(threads):
        cpu = time.process_time()
        began = time.perf_counter()
        index.search_many(queries, k, workers=threads)
        return time.perf_counter() - began, time.process_time() - cpu, time.process_time() - cpu

    def dask_run(client):
        cpu = sum(client.run(worker_cpu).values())
        own = time.process_time()
        began = time.perf_counter()
        got = search_many(queries, index, k, client=client)
        wall = time.perf_counter() - began
        own = time.process_time() - own
        cpu = sum(client.run(worker_cpu).values()) - cpu
        assert got == want, "the cluster's results differ from Index.search_many's"
        return wall, cpu, own

    runs = {}
    for threads in (1, 2):
        runs[f"Index.search_many, {threads} thread(s)"] = lambda t=threads: threads_run(t)
    for processes in (1, 2):
        runs[f"Index.search_many, {processes} process(es)"] = lambda p=processes: processes_run(
            index, queries, k, p, args.warmup
        )
    with contextlib.ExitStack() as stack:
        for workers in map(int, args.workers.split(",")):
            began = time.perf_counter()
            cluster = stack.enter_context(
                distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
                )
            )
            client = stack.enter_context(distributed.Client(cluster, set_as_default=False))
            started = time.perf_counter() - began
            began = time.perf_counter()
            search_many(queries[: args.warmup], index, k, client=client)
            first = time.perf_counter() - began
            print(f"{workers} worker(s): cluster start {started:.1f} s, first call {first:.1f} s")
            runs[f"morlatch.dask, {workers} worker(s)"] = lambda c=client: dask_run(c)
        # Round after round, so that other work on the machine weighs on all
        # runs alike; the best of each is the least disturbed.
        best = {}
        for turn in range(args.repeat):
            for name, run in runs.items():
                wall, cpu, own = run()
                print(f"round {turn + 1}: {name}: {wall:.1f} s, load {load()}", flush=True)
                if name not in best or wall < best[name][0]:
                    best[name] = (wall, cpu, own)

    rows = [(name, *best[name]) for name in runs]
    one_worker = best.get("morlatch.dask, 1 worker(s)", rows[0][1:])[0]
    one_process = best["Index.search_many, 1 process(es)"][0]
    print(
        f"\n{args.queries:,} queries at k = {k} against {len(index):,} words, "
        f"best of {args.repeat} rounds"
    )
    print("| run | seconds | queries/s | CPU s | caller CPU s | vs one worker | vs one process |")
    print("|---|---|---|---|---|---|---|")
    for name, wall, cpu, own in rows:
        print(
            f"| {name} | {wall:.1f} | {args.queries / wall:,.0f} | {cpu:.1f} | {own:.1f} "
            f"| {one_worker / wall:.2f} | {one_process / wall:.2f} |"
        )
    two = best["Index.search_many, 2 process(es)"][0]
    print(f"\nceiling: two processes do {one_process / two:.2f}x the rate of one")


if __name__ == "__main__":
    main()
