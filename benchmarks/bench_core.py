"""The search core, two builds side by side: latency per query of
``Index.search`` (k = 1 and 2, with and without transpositions), weighted
``complete`` and ``correct`` (error model and plain rule), and the resident
size after building an index of wamerican-insane and then its reverse index.

Each build runs in processes of its own (the two cannot share one
interpreter), turn about, ``--rounds`` times; a figure is the median and the
90th percentile of the per-query times pooled over the rounds. The last
column is the second build's median over the first's.

Word lists: Debian's wamerican (searches, completion) and wamerican-insane
(663,473 words, the build); weights: symspellpy's English frequency list when
installed, else each word's line number. Queries: list words with 0-2 random
edits, from a fixed seed; corrections: the misspellings of
/work/shared/data/spell-testset1.txt.

    python benchmarks/bench_core.py build/base build/dev [--queries 400]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SMALL = "/usr/share/dict/american-english"
INSANE = "/usr/share/dict/american-english-insane"
TESTSET = "/work/shared/data/spell-testset1.txt"


def weights_for(words: list[str]) -> dict[str, int]:
    """Corpus counts where the frequency list knows the word, else 1."""
    try:
        import symspellpy
    except ImportError:
        return {w: len(words) - i for i, w in enumerate(words)}
    path = os.path.join(os.path.dirname(symspellpy.__file__), "frequency_dictionary_en_82_765.txt")
    counts: dict[str, int] = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            word, count = line.split()
            counts[word] = int(count)
    return {w: counts.get(w, 1) for w in words}


def timed(call, inputs: list) -> list[float]:
    from time import perf_counter

    out = []
    for item in inputs:
        t = perf_counter()
        call(item)
        out.append(perf_counter() - t)
    return out


def worker(queries: int) -> dict[str, list[float]]:
    """Per-query seconds for every case, in this process's build."""
    import morlatch
    from common import read_words, typo_queries

    words = read_words(SMALL)
    plain = morlatch.Index(words)
    weighted = morlatch.Index(words, weights=weights_for(words))
    typos = typo_queries(words, queries, seed=7)
    prefixes = [q[: max(2, len(q) // 2)] for q in typo_queries(words, queries, seed=8)]
    with open(TESTSET, encoding="utf-8") as f:
        wrong = [w for line in f if ":" in line for w in line.split(":", 1)[1].split()]
    out = {}
    for k in (1, 2):
        for swap in (False, True):
            name = f"search k={k}{' swap' if swap else ''}"
            out[name] = timed(lambda q, k=k, s=swap: plain.search(q, k, transpositions=s), typos)
    out["complete weighted k=1"] = timed(lambda p: weighted.complete(p, 1, limit=10), prefixes)
    out["correct model"] = timed(lambda w: weighted.correct(w), wrong)
    out["correct plain"] = timed(lambda w: weighted.correct(w, rule="plain"), wrong)
    return out


def rss_worker() -> dict[str, list[float]]:
    """Resident MiB after building an index of wamerican-insane (the build
    alone too: less the words read before it), and after the first search
    that builds its reverse index."""
    import morlatch
    from common import read_words

    def rss() -> float:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    words = read_words(INSANE)
    before = rss()
    index = morlatch.Index(words)
    built = rss()
    # A search with a long query builds the reverse index.
    index.prefix_search.fuzzy_match("abcdefgh", 1, None)
    reverse = rss()
    return {
        "rss after build MiB": [built],
        "rss of the build MiB": [built - before],
        "rss after reverse MiB": [reverse],
    }


def source_of(build: str) -> str:
    """The source tree a build directory was configured from: its package
    goes with its native modules."""
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("CMAKE_HOME_DIRECTORY:"):
                return line.split("=", 1)[1].strip()
    return ROOT


def run(build: str, mode: str, queries: int) -> dict[str, list[float]]:
    env = dict(os.environ)
    package = os.path.join(source_of(build), "python")
    env["PYTHONPATH"] = os.pathsep.join([package, os.path.abspath(build), HERE])
    done = subprocess.run(
        [sys.executable, __file__, "--worker", mode, "--queries", str(queries)],
        env=env,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        sys.exit(f"{build}: {done.stderr}")
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*")
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--worker", choices=("times", "rss"))
    args = parser.parse_args()
    if args.worker:
        data = worker(args.queries) if args.worker == "times" else rss_worker()
        print(json.dumps(data))
        return
    if len(args.builds) != 2:
        parser.error("give two build directories")
    pooled: list[dict[str, list[float]]] = [{}, {}]
    for _ in range(args.rounds):
        for side, build in enumerate(args.builds):
            for mode in ("times", "rss"):
                for name, values in run(build, mode, args.queries).items():
                    pooled[side].setdefault(name, []).extend(values)
    a, b = args.builds
    print(f"{'case':24} {a + ' median/p90':>26} {b + ' median/p90':>26}  ratio")
    for name in pooled[0]:
        figures = []
        for side in (0, 1):
            values = sorted(pooled[side][name])
            median = statistics.median(values)
            p90 = values[min(len(values) - 1, int(0.9 * len(values)))]
            figures.append((median, p90))
        unit, scale = ("MiB", 1) if "MiB" in name else ("us", 1e6)
        cells = [f"{m * scale:10.1f} / {p * scale:8.1f} {unit}" for m, p in figures]
        ratio = figures[1][0] / figures[0][0] if figures[0][0] else float("nan")
        print(f"{name:24} {cells[0]:>26} {cells[1]:>26}  {ratio:5.2f}")


if __name__ == "__main__":
    main()
