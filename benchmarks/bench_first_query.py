"""The first search of an index against the later ones, and what making
the first as fast costs the build; and the cost of opening an index file.

    PYTHONPATH=build/bench:python python benchmarks/bench_first_query.py [WORD_LIST | shipped]

The word list defaults to Debian's wamerican-insane
(/usr/share/dict/american-english-insane, 663,473 words); "shipped" takes
the package's own English list. Side by side, in
one run: an index whose reverse index the first search builds
(``Index.from_prefix_search(morlatch.build(words))``) and ``Index(words)``,
which builds it during construction. For each, the median over a few
rounds of: the construction, the first search and the median of the next
200 searches (seeded typo queries at k = 2, long enough for the split
search). Then the index file ``save`` writes: its size and the median time
to open it (``Index.load``, which checks the whole file, with its pages in
the page cache) and to answer the first search after it.
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time

import morlatch
from common import describe_machine, typo_queries
from morlatch import Index

WORD_LIST = "/usr/share/dict/american-english-insane"
ROUNDS = 5


def timed(step):
    """Wall and CPU seconds (all threads of the process) of step(), and its result."""
    started, cpu = time.perf_counter(), time.process_time()
    result = step()
    return time.perf_counter() - started, time.process_time() - cpu, result


def searches(index: Index, queries: list[str]) -> tuple[float, float]:
    """The first search's seconds and the median of the rest."""
    first = timed(lambda: index.search(queries[0], 2))[0]
    later = [timed(lambda q=q: index.search(q, 2))[0] for q in queries[1:]]
    return first, statistics.median(later)


def medians(runs: list[tuple[float, ...]]) -> list[float]:
    return [statistics.median(column) for column in zip(*runs, strict=True)]


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else WORD_LIST
    if path == "shipped":
        words = morlatch.default_words()
    else:
        with open(path, encoding="utf-8") as stream:
            words = [line.rstrip("\n") for line in stream if line.strip()]
    queries = [q for q in typo_queries(words, 2000, seed=3) if len(q) >= 6][:201]
    print("\n".join(describe_machine()))
    print(f"{path}: {len(words)} words; {len(queries) - 1} later searches at k = 2")
    ways = {
        "reverse index built by the first search": lambda: Index.from_prefix_search(
            morlatch.build(words)
        ),
        "Index(words): built with the index": lambda: Index(words),
    }
    rows: dict[str, list[tuple[float, ...]]] = {name: [] for name in ways}
    for _ in range(ROUNDS):
        for name, make in ways.items():  # interleaved, so load drifts hit both
            built, cpu, index = timed(make)
            rows[name].append((built, cpu, *searches(index, queries)))
            del index
    head = ("build s", "build CPU s", "first ms", "later ms", "first/later")
    print(f"{'':<42}" + "".join(f"{name:>12}" for name in head))
    for name, runs in rows.items():
        built, cpu, first, later = medians(runs)
        figures = (f"{built:.3f}", f"{cpu:.3f}", f"{first * 1e3:.3f}", f"{later * 1e3:.3f}")
        print(f"{name:<42}" + "".join(f"{x:>12}" for x in (*figures, f"{first / later:.1f}")))

    index = Index(words)
    with tempfile.TemporaryDirectory() as folder:
        file = os.path.join(folder, "words.idx")
        index.save(file)
        mib = os.path.getsize(file) / 2**20
        opened = []
        for _ in range(ROUNDS):
            seconds, cpu, loaded = timed(lambda: Index.load(file))
            opened.append((seconds, cpu, *searches(loaded, queries[:21])))
            del loaded
    load, cpu, first, later = medians(opened)
    print(
        f"index file: {mib:.1f} MiB, opened in {load * 1e3:.0f} ms, {cpu * 1e3:.0f} ms of CPU "
        f"({cpu / mib * 1e3:.1f} ms per MiB); first search {first * 1e3:.3f} ms, "
        f"later {later * 1e3:.3f} ms"
    )


if __name__ == "__main__":
    main()
