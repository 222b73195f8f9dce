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
    started = time.perf_counter()
    result = step()
    return time.perf_counter() - started, result


def searches(index: Index, queries: list[str]) -> tuple[float, float]:
    """The first search's seconds and the median of the rest."""
    first, _ = timed(lambda: index.search(queries[0], 2))
    later = [timed(lambda q=q: index.search(q, 2))[0] for q in queries[1:]]
    return first, statistics.median(later)


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
    rows: dict[str, list[tuple[float, float, float]]] = {name: [] for name in ways}
    for _ in range(ROUNDS):
        for name, make in ways.items():  # interleaved, so load drifts hit both
            built, index = timed(make)
            rows[name].append((built, *searches(index, queries)))
            del index
    print(f"{'':<42}{'build s':>9}{'first ms':>10}{'later ms':>10}{'first/later':>13}")
    for name, runs in rows.items():
        built, first, later = (statistics.median(column) for column in zip(*runs, strict=True))
        print(
            f"{name:<42}{built:>9.3f}{first * 1e3:>10.3f}{later * 1e3:>10.3f}{first / later:>13.1f}"
        )

    index = Index(words)
    with tempfile.TemporaryDirectory() as folder:
        file = os.path.join(folder, "words.idx")
        index.save(file)
        size = os.path.getsize(file)
        opened = []
        for _ in range(ROUNDS):
            seconds, loaded = timed(lambda: Index.load(file))
            opened.append((seconds, *searches(loaded, queries[:21])))
            del loaded
    load, first, later = (statistics.median(column) for column in zip(*opened, strict=True))
    print(
        f"index file: {size / 2**20:.1f} MiB, opened in {load * 1e3:.0f} ms "
        f"({load / (size / 2**20) * 1e3:.1f} ms per MiB); first search {first * 1e3:.3f} ms, "
        f"later {later * 1e3:.3f} ms"
    )


if __name__ == "__main__":
    main()
