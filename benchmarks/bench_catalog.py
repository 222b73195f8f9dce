"""morlatch.Catalog side by side with tantivy and rapidfuzz, in one run.

Search: seeded product-like names (a made-up brand, then words drawn from
the shipped word list by a Zipf law) and queries made from one name's words:
some reordered, one real-looking typo (a swap, a dropped, doubled or wrong
letter), the last word cut short. Reported: recall@10, MRR, median and p90
per query, build time and bytes per item. tantivy runs one fuzzy term query
per word (swaps as one edit, the last word as a prefix) with the two typo
budgets (1 from 5 and 2 from 9; 1 from 3 and 2 from 6), every word required
or any word; rapidfuzz runs ``process.extract`` with WRatio on a sample.

Linkage: seeded company names and messy copies of some of them (case,
typos, long-form legal suffixes, a dropped or swapped word, '&' for 'and')
plus names with no counterpart. Reported: precision, recall and F1 of
Catalog.match_many at its default cutoff (with and without legal-suffix
synonyms) and of rapidfuzz ``cdist`` with ``token_sort_ratio`` at its best
cutoff (chosen on the answers, which favours it), with the time of each.

    python benchmarks/bench_catalog.py [--sizes 200000 1000000] [--queries 1000]
    python benchmarks/bench_catalog.py --phases 5   # the linkage's steps, by CPU
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time
from collections.abc import Callable, Sequence

import morlatch
from morlatch import Catalog

# ---------------------------------------------------------------- data

SYLLABLES = "ka lo mi tec ra vi sun dex on tri nor pha ze lu quo bri gen sta mar col".split()


def vocabulary(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    words = [
        w for w in morlatch.default_words() if w.isalpha() and w.islower() and 3 <= len(w) <= 10
    ]
    rng.shuffle(words)
    return words[:count]


def brands(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    out: set[str] = set()
    while len(out) < count:
        out.add("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))).capitalize())
    return sorted(out)


def zipf_picker(words: Sequence[str], rng: random.Random) -> Callable[[], str]:
    weights = [1 / (rank + 1) ** 0.8 for rank in range(len(words))]
    cumulative = list(__import__("itertools").accumulate(weights))
    return lambda: rng.choices(words, cum_weights=cumulative)[0]


def product_names(count: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    pick = zipf_picker(vocabulary(8000, seed), rng)
    makers = brands(max(50, count // 100), seed)
    return [
        " ".join([rng.choice(makers)] + [pick().capitalize() for _ in range(rng.randint(2, 4))])
        for _ in range(count)
    ]


def typo(word: str, rng: random.Random) -> str:
    if len(word) < 4:
        return word
    i = rng.randrange(1, len(word) - 1)
    kind = rng.randrange(4)
    if kind == 0:
        return word[:i] + word[i + 1] + word[i] + word[i + 2 :]
    if kind == 1:
        return word[:i] + word[i + 1 :]
    if kind == 2:
        return word[:i] + word[i] + word[i:]
    return word[:i] + rng.choice("aeioustrnl") + word[i + 1 :]


def search_queries(names: Sequence[str], count: int, seed: int = 2) -> list[tuple[str, int]]:
    """(query, the position of the name it came from)."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        target = rng.randrange(len(names))
        words = names[target].lower().split()
        chosen = sorted(rng.sample(range(len(words)), min(len(words), rng.randint(2, 3))))
        picked = [words[i] for i in chosen]
        if rng.random() < 0.3:
            rng.shuffle(picked)
        at = rng.randrange(len(picked))
        picked[at] = typo(picked[at], rng)
        last = picked[-1]
        picked[-1] = last[: max(2, rng.randint(len(last) // 2, len(last)))]
        out.append((" ".join(picked), target))
    return out


SUFFIXES = {"Inc": "Incorporated", "Ltd": "Limited", "Corp": "Corporation", "Co": "Company"}
LINK_SYNONYMS = {k.lower(): v.lower() for k, v in SUFFIXES.items()} | {"&": "and"}


def company_names(count: int, seed: int = 3) -> list[str]:
    rng = random.Random(seed)
    pick = zipf_picker(vocabulary(6000, seed + 1), rng)
    makers = brands(count // 4, seed)
    out: set[str] = set()
    while len(out) < count:
        words = [rng.choice(makers)] if rng.random() < 0.6 else [pick().capitalize()]
        words += [pick().capitalize() for _ in range(rng.randint(1, 2))]
        if rng.random() < 0.2:
            words.insert(rng.randint(1, len(words)), "&")
        words.append(rng.choice([*SUFFIXES, "LLC", "Group", "Holdings"]))
        out.add(" ".join(words))
    return sorted(out)


def messy(name: str, rng: random.Random) -> str:
    words = name.split()
    for _ in range(rng.randint(1, 2)):
        change = rng.randrange(6)
        if change == 0:
            at = rng.randrange(len(words))
            words[at] = typo(words[at], rng)
        elif change == 1 and words[-1] in SUFFIXES:
            words[-1] = SUFFIXES[words[-1]]
        elif change == 2 and len(words) > 2:
            del words[rng.randrange(len(words) - 1)]
        elif change == 3 and len(words) > 2:
            i = rng.randrange(len(words) - 2)
            words[i], words[i + 1] = words[i + 1], words[i]
        elif change == 4:
            words = ["and" if w == "&" else w for w in words]
    text = " ".join(words)
    return rng.choice([text, text.upper(), text.lower()])


def linkage_rows(
    reference: Sequence[str], count: int, seed: int = 4
) -> tuple[list[str], list[int | None]]:
    rng = random.Random(seed)
    others = company_names(count // 5 + 1000, seed + 100)
    known = set(reference)
    unmatched = [n for n in others if n not in known]
    rows, truth = [], []
    for _ in range(count):
        if rng.random() < 0.8:
            target = rng.randrange(len(reference))
            rows.append(messy(reference[target], rng))
            truth.append(target)
        else:
            rows.append(messy(rng.choice(unmatched), rng))
            truth.append(None)
    return rows, truth


# ---------------------------------------------------------------- measuring


def rank_figures(ranked: list[list[int]], targets: list[int]) -> tuple[float, float]:
    found = [r.index(t) + 1 if t in r[:10] else 0 for r, t in zip(ranked, targets, strict=True)]
    recall = sum(1 for f in found if f) / len(found)
    mrr = sum(1 / f for f in found if f) / len(found)
    return recall, mrr


def timed(
    run: Callable[[str], list[int]], queries: list[str]
) -> tuple[list[list[int]], list[float]]:
    results, times = [], []
    for q in queries:
        start = time.perf_counter()
        results.append(run(q))
        times.append(time.perf_counter() - start)
    return results, times


def p90(times: list[float]) -> float:
    return sorted(times)[int(len(times) * 0.9)]


def link_figures(
    predicted: list[int | None], truth: list[int | None]
) -> tuple[float, float, float]:
    tp = sum(1 for p, t in zip(predicted, truth, strict=True) if p is not None and p == t)
    fp = sum(1 for p, t in zip(predicted, truth, strict=True) if p is not None and p != t)
    fn = sum(1 for p, t in zip(predicted, truth, strict=True) if t is not None and p != t)
    precision = tp / (tp + fp) if tp + fp else 0.0
    recall = tp / (tp + fn) if tp + fn else 0.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return precision, recall, f1


def row(*cells: object) -> None:
    print(" | ".join(str(c) for c in cells))


# ---------------------------------------------------------------- peers


def tantivy_engine(names: Sequence[str]) -> tuple[Callable[..., list[int]], float, int]:
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_text_field("name", stored=False)
    builder.add_integer_field("id", stored=True, indexed=False, fast=True)
    schema = builder.build()
    folder = tempfile.mkdtemp(prefix="bench-tantivy-")
    start = time.perf_counter()
    index = tantivy.Index(schema, path=folder)
    writer = index.writer(heap_size=200_000_000, num_threads=2)
    for i, name in enumerate(names):
        writer.add_document(tantivy.Document(name=name, id=i))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    seconds = time.perf_counter() - start
    size = sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))
    searcher = index.searcher()

    def run(query: str, budget: Callable[[str], int], every: bool) -> list[int]:
        words = query.split()
        occur = tantivy.Occur.Must if every else tantivy.Occur.Should
        parts = [
            (
                occur,
                tantivy.Query.fuzzy_term_query(
                    schema, "name", w, distance=budget(w), prefix=(i == len(words) - 1)
                ),
            )
            for i, w in enumerate(words)
        ]
        hits = searcher.search(tantivy.Query.boolean_query(parts), 10).hits
        return [searcher.doc(address)["id"][0] for _, address in hits]

    return run, seconds, size


def meili_budget(word: str) -> int:
    return 0 if len(word) < 5 else 1 if len(word) < 9 else 2


def auto_budget(word: str) -> int:
    return 0 if len(word) < 3 else 1 if len(word) < 6 else 2


# ---------------------------------------------------------------- runs


def bench_search(size: int, count: int, extract: int) -> None:
    names = product_names(size)
    queries = search_queries(names, count)
    texts, targets = [q for q, _ in queries], [t for _, t in queries]
    start = time.perf_counter()
    catalog = Catalog(names)
    build = time.perf_counter() - start
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "c.idx")
        catalog.save(path)
        file_bytes = os.path.getsize(path)
    print(
        f"\n## search, {size} names, {count} queries (e.g. {texts[0]!r} for {names[targets[0]]!r})"
    )
    row("engine", "recall@10", "MRR", "median ms", "p90 ms", "build s", "bytes/item")
    row("---", "---", "---", "---", "---", "---", "---")
    ranked, times = timed(lambda q: [h.payload for h in catalog.search(q)], texts)
    recall, mrr = rank_figures(ranked, targets)
    ms = [t * 1000 for t in times]
    row(
        "Catalog",
        f"{recall:.3f}",
        f"{mrr:.3f}",
        f"{statistics.median(ms):.3f}",
        f"{p90(ms):.3f}",
        f"{build:.2f}",
        f"{file_bytes / size:.0f} (file), {catalog.nbytes / size:.0f} (held)",
    )
    start = time.perf_counter()
    catalog.search_many(texts)
    batch = time.perf_counter() - start
    row("Catalog.search_many", "", "", f"{batch / count * 1000:.3f} (mean)", "", "", "")
    run, seconds, size_bytes = tantivy_engine(names)
    for label, budget in (
        ("1 from 5, 2 from 9", meili_budget),
        ("1 from 3, 2 from 6", auto_budget),
    ):
        for every in (True, False):
            ranked, times = timed(lambda q, b=budget, e=every: run(q, b, e), texts)
            recall, mrr = rank_figures(ranked, targets)
            ms = [t * 1000 for t in times]
            row(
                f"tantivy {label}, {'every' if every else 'any'} word",
                f"{recall:.3f}",
                f"{mrr:.3f}",
                f"{statistics.median(ms):.3f}",
                f"{p90(ms):.3f}",
                f"{seconds:.2f}",
                f"{size_bytes / size:.0f}",
            )
    if extract:
        from rapidfuzz import fuzz, process, utils

        ranked, times = timed(
            lambda q: [
                i
                for _, _, i in process.extract(
                    q, names, scorer=fuzz.WRatio, limit=10, processor=utils.default_process
                )
            ],
            texts[:extract],
        )
        recall, mrr = rank_figures(ranked, targets[:extract])
        ms = [t * 1000 for t in times]
        row(
            f"rapidfuzz extract WRatio ({extract} queries)",
            f"{recall:.3f}",
            f"{mrr:.3f}",
            f"{statistics.median(ms):.1f}",
            f"{p90(ms):.1f}",
            "",
            "",
        )


def bench_linkage(reference_count: int, row_count: int) -> None:
    reference = company_names(reference_count)
    rows, truth = linkage_rows(reference, row_count)
    print(
        f"\n## linkage, {row_count} rows against {reference_count} names "
        f"({sum(t is None for t in truth)} without counterpart; e.g. {rows[0]!r})"
    )
    # Wall seconds, and the process's CPU seconds over all its threads (the
    # steadier figure when the machine is shared).
    row("engine", "precision", "recall", "F1", "seconds", "CPU seconds")
    row("---", "---", "---", "---", "---", "---")
    for label, synonyms in (
        ("Catalog.match_many", None),
        ("Catalog.match_many, suffix synonyms", LINK_SYNONYMS),
    ):
        start, cpu = time.perf_counter(), time.process_time()
        catalog = Catalog(reference, synonyms=synonyms)
        found = catalog.match_many(rows)
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
        predicted = [hits[0].payload if hits else None for hits in found]
        p, r, f = link_figures(predicted, truth)
        row(
            f"{label} (default cutoff)",
            f"{p:.3f}",
            f"{r:.3f}",
            f"{f:.3f}",
            f"{seconds:.2f}",
            f"{cpu:.2f}",
        )
    import numpy as np
    from rapidfuzz import fuzz, process, utils

    start, cpu = time.perf_counter(), time.process_time()
    best = np.zeros(len(rows), dtype=np.float32)
    where = np.zeros(len(rows), dtype=np.int64)
    for first in range(0, len(rows), 2000):
        scores = process.cdist(
            rows[first : first + 2000],
            reference,
            scorer=fuzz.token_sort_ratio,
            processor=utils.default_process,
            dtype=np.uint8,
            workers=-1,
        )
        best[first : first + 2000] = scores.max(axis=1)
        where[first : first + 2000] = scores.argmax(axis=1)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    figures = []
    for cutoff in range(0, 101):
        predicted = [int(w) if b >= cutoff else None for b, w in zip(best, where, strict=True)]
        figures.append((link_figures(predicted, truth), cutoff))
    (p, r, f), cutoff = max(figures, key=lambda x: x[0][2])
    row(
        f"rapidfuzz cdist token_sort_ratio (best cutoff {cutoff})",
        f"{p:.3f}",
        f"{r:.3f}",
        f"{f:.3f}",
        f"{seconds:.2f}",
        f"{cpu:.2f}",
    )


def slowest(size: int, count: int, share: float) -> None:
    """The slowest queries of the search bench (the native call alone, best
    of 3 rounds), slowest first: what the p90 is made of."""
    from morlatch import _engine

    names = product_names(size)
    texts = [q for q, _ in search_queries(names, count)]
    catalog = Catalog(names)
    best = [float("inf")] * len(texts)
    split = [catalog._query("query", q, "auto", True) for q in texts]
    for _ in range(3):
        for i, (words, budgets, last) in enumerate(split):
            start = time.perf_counter()
            _engine.catalog_search(catalog._core, words, budgets, last, 10)
            best[i] = min(best[i], time.perf_counter() - start)
    ms = [t * 1000 for t in best]
    print(
        f"\n## native search, {size} names: "
        f"median {statistics.median(ms):.3f} ms, p90 {p90(ms):.3f} ms"
    )
    order = sorted(range(len(texts)), key=lambda i: -ms[i])
    for i in order[: max(1, int(len(texts) * share))]:
        print(f"{ms[i]:8.3f} ms  {texts[i]!r}")


def linkage_phases(reference_count: int, row_count: int, rounds: int) -> None:
    """Where the linkage's time goes: ``Catalog(reference)`` then
    ``match_many(rows, workers=2)``, each native step's CPU on the calling
    thread (what runs serially there, plus its share of the threads' work)
    beside the process's CPU over all threads; best of ``rounds``."""
    from morlatch import _engine, catalog, catalog_words

    reference = company_names(reference_count)
    rows, _ = linkage_rows(reference, row_count)
    spent: dict[str, float] = {}

    def timed_calls(owner: object, name: str) -> None:
        call = getattr(owner, name)

        def run(*args: object, **kwargs: object) -> object:
            start = time.thread_time()
            try:
                return call(*args, **kwargs)
            finally:
                spent[name] = spent.get(name, 0.0) + time.thread_time() - start

        setattr(owner, name, run)

    for name in ("catalog_new", "catalog_split", "catalog_match_texts", "catalog_match_many"):
        if hasattr(_engine, name):  # an older build may lack one
            timed_calls(_engine, name)
    timed_calls(catalog_words._Words, "split")
    timed_calls(catalog, "_encoded")
    best: dict[str, float] = {}
    for _ in range(rounds):
        spent.clear()
        wall, thread, cpu = time.perf_counter(), time.thread_time(), time.process_time()
        built = Catalog(reference)
        spent["build (calling thread)"] = time.thread_time() - thread
        spent["build (process)"] = time.process_time() - cpu
        thread, cpu = time.thread_time(), time.process_time()
        built.match_many(rows, workers=2)
        spent["match_many (calling thread)"] = time.thread_time() - thread
        spent["match_many (process)"] = time.process_time() - cpu
        spent["wall, both"] = time.perf_counter() - wall
        for name, seconds in spent.items():
            best[name] = min(best.get(name, seconds), seconds)
    print(f"\n## linkage phases, best of {rounds} (ms; load {os.getloadavg()[0]:.1f})")
    for name, seconds in best.items():
        row(name, f"{seconds * 1e3:.1f}")


def cpu_side_by_side(size: int, count: int, rounds: int, peers: bool, by_query: bool) -> None:
    """CPU per query of Catalog.search and of tantivy's set-ups, each query's
    best of ``rounds`` rounds, the engines alternated round by round (each
    runs the whole query set in turn, its caches warmed by its own queries)
    or, ``by_query``, query by query (each finds its caches cooled by the
    others). Thread CPU is the calling thread's; process CPU adds any other
    thread's work (both are reported, so that a searcher that hands work to
    other threads shows), so neither gains from the other's load on the
    machine."""
    names = product_names(size)
    texts = [q for q, _ in search_queries(names, count)]
    catalog = Catalog(names)
    engines: dict[str, Callable[[str], object]] = {"Catalog": catalog.search}
    if peers:
        run, _, _ = tantivy_engine(names)
        for label, budget in (
            ("1 from 5, 2 from 9", meili_budget),
            ("1 from 3, 2 from 6", auto_budget),
        ):
            for every in (True, False):
                name = f"tantivy {label}, {'every' if every else 'any'} word"
                engines[name] = lambda q, b=budget, e=every: run(q, b, e)
    thread = {name: [float("inf")] * count for name in engines}
    process = {name: [float("inf")] * count for name in engines}

    def once(name: str, i: int) -> None:
        t0, p0 = time.thread_time_ns(), time.process_time_ns()
        engines[name](texts[i])
        t1, p1 = time.thread_time_ns(), time.process_time_ns()
        thread[name][i] = min(thread[name][i], (t1 - t0) / 1e6)
        process[name][i] = min(process[name][i], (p1 - p0) / 1e6)

    for _ in range(rounds):
        if by_query:
            for i in range(count):
                for name in engines:
                    once(name, i)
        else:
            for name in engines:
                for i in range(count):
                    once(name, i)
    print(
        f"\n## CPU per query, {size} names, {count} queries, best of {rounds} rounds, "
        f"alternated {'query by query' if by_query else 'round by round'}"
    )
    row("engine", "thread median ms", "thread p90 ms", "process median ms", "process p90 ms")
    row("---", "---", "---", "---", "---")
    for name in engines:
        t, p = thread[name], process[name]
        row(
            name,
            f"{statistics.median(t):.3f}",
            f"{p90(t):.3f}",
            f"{statistics.median(p):.3f}",
            f"{p90(p):.3f}",
        )
    if peers:
        fastest = min((n for n in engines if n != "Catalog"), key=lambda n: p90(process[n]))
        ours, theirs = p90(process["Catalog"]), p90(process[fastest])
        print(
            f"\nCatalog p90 / {fastest} p90 (process CPU): "
            f"{ours:.3f} / {theirs:.3f} = {ours / theirs:.3f} (1/{theirs / ours:.1f})"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[200_000, 1_000_000])
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--extract", type=int, default=20, help="rapidfuzz extract queries")
    parser.add_argument("--reference", type=int, default=50_000)
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument(
        "--slowest", type=float, default=0, help="list this share of the slowest queries only"
    )
    parser.add_argument(
        "--cpu",
        type=int,
        default=0,
        metavar="ROUNDS",
        help="only the CPU per query of Catalog.search and tantivy, alternated, best of ROUNDS",
    )
    parser.add_argument(
        "--phases",
        type=int,
        default=0,
        metavar="ROUNDS",
        help="only the linkage's steps, by CPU of the calling thread and of the process",
    )
    parser.add_argument(
        "--no-peers", action="store_true", help="with --cpu, time Catalog.search alone"
    )
    parser.add_argument(
        "--by-query",
        action="store_true",
        help="with --cpu, alternate the engines query by query rather than round by round",
    )
    args = parser.parse_args()
    if args.cpu:
        for size in args.sizes:
            cpu_side_by_side(size, args.queries, args.cpu, not args.no_peers, args.by_query)
        return
    if args.phases:
        linkage_phases(args.reference, args.rows, args.phases)
        return
    if args.slowest:
        for size in args.sizes:
            slowest(size, args.queries, args.slowest)
        return
    for size in args.sizes:
        bench_search(size, args.queries, args.extract if size == args.sizes[0] else 0)
    if args.rows:
        bench_linkage(args.reference, args.rows)


if __name__ == "__main__":
    main()
