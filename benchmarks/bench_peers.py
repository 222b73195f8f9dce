"""morlatch side by side with other approximate-lookup tools, in one run.

    apt-get install wamerican wamerican-insane    # the two word lists
    pip install '.[bench]'                        # morlatch plus the peers
    python benchmarks/bench_peers.py              # the full run
    python benchmarks/bench_peers.py --quick      # a smoke run (under a minute)

(Against a build tree instead of an installed package:
`PYTHONPATH=build/<dir>:python python benchmarks/bench_peers.py`.) The script
installs nothing; it says what is missing and stops.

Data: Debian's wamerican (/usr/share/dict/american-english, 104,334 words)
and wamerican-insane (/usr/share/dict/american-english-insane, 663,473
words). Queries: for each list, a seeded sample of its own words (default
250) carrying 0 to 2 random edits (insert, delete or substitute a lowercase
letter). Every tool answers "which words are within k edits of the query?"
for k = 0..3 with no limit on the number of hits:

- morlatch: `morlatch.build(words)`, then `fuzzy_match(q, k, None)`; also
  `exact_match(q)` as an extra row at k = 0.
- symspellpy: `SymSpell(max_dictionary_edit_distance=K)` with every word
  added, then `lookup(q, Verbosity.ALL, max_edit_distance=k,
  include_unknown=False, transfer_casing=False)`. One index per list, built
  with the largest K that fits the memory budget; larger k are reported as
  "does not fit" with the reason. Its default distance is the optimal string
  alignment distance (an adjacent transposition is one edit), so the same
  index is also queried with symspellpy's pure-Python Levenshtein distance as
  the row "symspellpy (Levenshtein)".
- rapidfuzz: `process.extract(q, words, scorer=Levenshtein.distance,
  score_cutoff=k, limit=None)`, a brute-force scan of the list.
- plain trie walk: a dict-of-dicts trie in pure Python walked recursively
  with one Levenshtein row per node, pruned when the row minimum exceeds k
  (the textbook method, as a baseline).

Each tool runs in a fresh subprocess per list, so that its build time and
resident memory are its own: "resident MB" is the growth of the process's
resident set from before the list is read to after the build (garbage
collected, the list itself dropped when the tool does not keep it), "peak MB"
the growth to the highest resident set seen during the build. The parent
watches each subprocess and kills it when its resident set passes the memory
budget (`--memory-budget-gb`, default 8; lowered to 80% of the memory
available at start when that is less).

Timing: each query is timed on its own with the cyclic garbage collector
off; a query that takes under 1 ms is re-run in batches of about 0.2 ms and
the fastest of three batch means is kept. A tool runs the queries of one
(list, k) in order until they are done or, after at least `--min-queries`,
until `--cell-seconds` have passed, so slow tools (the brute-force scan and
the pure-Python walk on the large list) answer fewer queries; the count is in
the results. Reported: median and 90th percentile microseconds per query.

Every tool's hits (key, distance) are compared with morlatch's on the queries
it ran; differences are counted and explained where peer semantics explain
them (symspellpy's transpositions), never dropped.

Output: a CSV and a PNG plot (median per query against k, log scale, one
panel per list) next to each other, by default benchmarks/results/peers.csv
and peers.png (with --quick: peers-quick.*), and Markdown tables on standard
output with the machine they ran on. Progress goes to standard error.

Duration on a 2-core AMD EPYC virtual machine shared with other jobs (load
average about 6): about 10 minutes for the full run, of which symspellpy's
index over the large list at max distance 3 takes 1.5 to 3 minutes to build;
about a minute with --quick. A (tool, list, k) stops after --cell-seconds once
--min-queries have run, so a slower or busier machine answers fewer queries
rather than taking much longer (the builds and the minimum counts excepted).
"""

from __future__ import annotations

import argparse
import collections
import csv
import gc
import importlib.metadata
import importlib.util
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

LISTS = {
    "wamerican": "/usr/share/dict/american-english",
    "wamerican-insane": "/usr/share/dict/american-english-insane",
}
TOOLS = ("morlatch", "symspellpy", "rapidfuzz", "plain")

# The rows of the results, in display order, and the tool (subprocess) each comes from.
ROWS = (
    ("morlatch", "morlatch"),
    ("morlatch exact_match", "morlatch"),
    ("symspellpy", "symspellpy"),
    ("symspellpy (Levenshtein)", "symspellpy"),
    ("rapidfuzz", "rapidfuzz"),
    ("plain trie walk", "plain"),
)

# symspellpy indexes the deletes of each word's first 7 characters (its default prefix length).
SYMSPELL_PREFIX = 7
# Resident bytes per (word, delete) pair of a symspellpy index, an upper bound measured on both
# lists at max distance 1 to 3 (100 at 1 on the small list, 27 to 84 elsewhere: deletes shared
# by many words cost less per pair).
SYMSPELL_BYTES_PER_PAIR = 100

FAST_NS = 1_000_000  # queries faster than this are re-run in batches
BATCH_NS = 200_000  # the length of one batch

# ----------------------------------------------------------------------------------------------
# Shared helpers


def read_words(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def process_memory(pid="self"):
    """(resident, peak resident) bytes of a process, from /proc."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


def available_memory():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


# ----------------------------------------------------------------------------------------------
# The plain trie walk (the baseline)

END = None  # the key under which a trie node keeps the word that ends there


def plain_build(words):
    root = {}
    for word in words:
        node = root
        for ch in word:
            child = node.get(ch)
            if child is None:
                child = node[ch] = {}
            node = child
        node[END] = word
    return root


def plain_search(root, query, k):
    n = len(query)
    hits = []

    def walk(node, row):
        for ch, child in node.items():
            if ch is END:
                continue
            new = [row[0] + 1]
            for i in range(1, n + 1):
                new.append(min(new[i - 1] + 1, row[i] + 1, row[i - 1] + (query[i - 1] != ch)))
            word = child.get(END)
            if word is not None and new[n] <= k:
                hits.append((word, new[n]))
            if min(new) <= k:
                walk(child, new)

    walk(root, list(range(n + 1)))
    return hits


# ----------------------------------------------------------------------------------------------
# The worker: one tool over one list, in its own process


def time_queries(call, queries, cell_seconds, min_queries):
    """Per-query wall and CPU nanoseconds and the first answer of each, in query order."""
    wall, cpu, answers = [], [], []
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for q in queries:
            if len(wall) >= min_queries and time.perf_counter() - start > cell_seconds:
                break
            c0 = time.thread_time_ns()
            t0 = time.perf_counter_ns()
            answer = call(q)
            best = time.perf_counter_ns() - t0
            best_cpu = time.thread_time_ns() - c0
            if best < FAST_NS:
                reps = max(1, min(10_000, BATCH_NS // max(best, 1)))
                for _ in range(3):
                    c0 = time.thread_time_ns()
                    t0 = time.perf_counter_ns()
                    for _ in range(reps):
                        call(q)
                    best = min(best, (time.perf_counter_ns() - t0) / reps)
                    best_cpu = min(best_cpu, (time.thread_time_ns() - c0) / reps)
            wall.append(best)
            cpu.append(best_cpu)
            answers.append(answer)
    finally:
        gc.enable()
    return wall, cpu, answers


def worker(job):
    tool, path, ks = job["tool"], job["path"], job["ks"]
    queries = job["queries"]
    # Import first, so that the baseline holds the libraries and the growth is the structure.
    if tool == "morlatch":
        import morlatch
    elif tool == "symspellpy":
        from symspellpy import SymSpell, Verbosity
        from symspellpy.editdistance import DistanceAlgorithm, EditDistance
    elif tool == "rapidfuzz":
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein
    elif tool != "plain":
        raise SystemExit(f"unknown tool {tool}")
    gc.collect()
    base, _ = process_memory()

    words = read_words(path)
    t0 = time.perf_counter()
    extra = {}
    if tool == "morlatch":
        index = morlatch.build(words)
        extra["trie_bytes"] = len(index.to_bytes())
    elif tool == "symspellpy":
        index = SymSpell(max_dictionary_edit_distance=job["k_build"])
        for word in words:
            index.create_dictionary_entry(word, 1)
    elif tool == "rapidfuzz":
        index = words  # nothing to build: every query scans the list
    else:
        index = plain_build(words)
    build_s = time.perf_counter() - t0 if tool != "rapidfuzz" else 0.0
    if tool in ("morlatch", "plain"):
        del words
    gc.collect()
    rss, peak = process_memory()
    result = {
        "build_s": build_s,
        "rss_mb": (rss - base) / 2**20,
        "peak_mb": (peak - base) / 2**20,
        "extra": extra,
        "cells": [],
    }

    # (row, k, call, normalise, prepare) per cell; normalise turns an answer into
    # [[key, distance], ...]; prepare, when given, is called before the cell is timed.
    cells = []
    if tool == "morlatch":
        for k in ks:
            cells.append(
                (
                    "morlatch",
                    k,
                    lambda q, k=k: index.fuzzy_match(q, k, None),
                    lambda a: [[key, d] for key, _, d in a],
                    None,
                )
            )
        if 0 in ks:
            cells.append(
                (
                    "morlatch exact_match",
                    0,
                    index.exact_match,
                    lambda a: [] if a is None else [[a[0], a[2]]],
                    None,
                )
            )
    elif tool == "symspellpy":

        def use(comparer):
            index.distance_comparer = comparer

        comparers = (
            ("symspellpy", index.distance_comparer),
            ("symspellpy (Levenshtein)", EditDistance(DistanceAlgorithm.LEVENSHTEIN)),
        )
        for row, comparer in comparers:
            for k in ks:
                if k <= job["k_build"]:
                    cells.append(
                        (
                            row,
                            k,
                            lambda q, k=k: index.lookup(
                                q,
                                Verbosity.ALL,
                                max_edit_distance=k,
                                include_unknown=False,
                                transfer_casing=False,
                            ),
                            lambda a: [[s.term, s.distance] for s in a],
                            lambda comparer=comparer: use(comparer),
                        )
                    )
    elif tool == "rapidfuzz":
        for k in ks:
            cells.append(
                (
                    "rapidfuzz",
                    k,
                    lambda q, k=k: process.extract(
                        q, index, scorer=Levenshtein.distance, score_cutoff=k, limit=None
                    ),
                    lambda a: [[choice, score] for choice, score, _ in a],
                    None,
                )
            )
    else:
        for k in ks:
            cells.append(
                (
                    "plain trie walk",
                    k,
                    lambda q, k=k: plain_search(index, q, k),
                    lambda a: [list(h) for h in a],
                    None,
                )
            )

    for row, k, call, norm, prepare in cells:
        if prepare is not None:
            prepare()
        times, cpu, answers = time_queries(call, queries, job["cell_seconds"], job["min_queries"])
        result["cells"].append(
            {
                "row": row,
                "k": k,
                "times_ns": times,
                "cpu_ns": cpu,
                "hits": [norm(a) for a in answers],
            }
        )
        print(
            f"    {row:<25} k={k}  {len(times):>4} queries  median "
            f"{statistics.median(times) / 1000:,.1f} us",
            file=sys.stderr,
            flush=True,
        )
    with open(job["result"], "w") as f:
        json.dump(result, f)


# ----------------------------------------------------------------------------------------------
# The parent: planning, running the workers, comparing, reporting


def run_worker(job, budget_bytes):
    """Run one worker under the memory watchdog: (result or None, failure reason or None)."""
    with tempfile.TemporaryDirectory(prefix="bench_peers.") as tmp:
        job = dict(job, result=os.path.join(tmp, "result.json"))
        job_path = os.path.join(tmp, "job.json")
        with open(job_path, "w") as f:
            json.dump(job, f)
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker", job_path],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        seen = 0
        try:
            while proc.poll() is None:
                try:
                    rss, _ = process_memory(proc.pid)
                except (OSError, ValueError):
                    rss = 0
                seen = max(seen, rss)
                if rss > budget_bytes:
                    proc.kill()
                    proc.wait()
                    return None, (f"resident memory passed the {gib(budget_bytes)} budget")
                time.sleep(0.1)
        except BaseException:
            proc.kill()
            proc.wait()
            raise
        stderr = proc.stderr.read()
        sys.stderr.write(
            "".join(line + "\n" for line in stderr.splitlines() if line.startswith("    "))
        )
        if proc.returncode != 0:
            last = [line for line in stderr.splitlines() if line.strip()]
            return None, f"failed: {last[-1] if last else 'exit status ' + str(proc.returncode)}"
        with open(job["result"]) as f:
            return json.load(f), None


def symspell_pairs(words, k, seed):
    """Estimated (word, delete) pairs of a symspellpy index at max distance k, from a sample."""
    sample = random.Random(seed).sample(words, min(len(words), 2000))
    total = 0
    for word in sample:
        word = word[:SYMSPELL_PREFIX]
        seen = frontier = {word}
        for _ in range(k):
            frontier = {f[:i] + f[i + 1 :] for f in frontier for i in range(len(f))}
            seen = seen | frontier
        total += len(seen)
    return total / len(sample) * len(words)


CAUSES = {
    "transposition": "by adjacent transpositions, one edit for symspellpy's default distance",
    "twice": "by a key reported a second time, with a distance that is not its own",
    "repeated": "by the same hit reported more than once",
}


def compare_hits(row, queries, answers, reference):
    """(agreeing queries, explanation) of a row's hits against morlatch's.

    A query agrees when the row reports exactly morlatch's (key, distance) pairs, each once.
    Differences that the peer's own semantics explain are counted by cause; any other
    difference is counted as unexplained, with examples."""
    from common import levenshtein, osa  # the tests' references, once main has checked the setup

    agree = 0
    causes = collections.Counter()
    examples = []
    for q, got_list, want_list in zip(queries, answers, reference, strict=True):
        got_list = [tuple(h) for h in got_list]
        got = set(got_list)
        want = {tuple(h) for h in want_list}
        if got == want and len(got) == len(got_list):
            agree += 1
            continue
        reasons = set()
        if len(got) < len(got_list):
            reasons.add("repeated")
        distance = dict(want)
        times_reported = collections.Counter(key for key, _ in got_list)
        for key, d in sorted(got ^ want):
            mine = (key, d) in got
            if mine and times_reported[key] > 1 and (key, distance.get(key)) in got:
                reasons.add("twice")
                continue
            # symspellpy's default distance counts an adjacent transposition as one edit: such a
            # key is extra at its smaller distance, or missing at the Levenshtein one.
            transposed = row == "symspellpy" and osa(q, key) < levenshtein(q, key)
            if transposed and (osa(q, key) == d if mine else any(k2 == key for k2, _ in got)):
                reasons.add("transposition")
                continue
            reasons.add("other")
            if len(examples) < 3:
                examples.append(f"{q!r}: {'extra' if mine else 'missing'} ({key!r}, {d})")
        for reason in reasons:
            causes[reason] += 1
    parts = [f"{causes[c]} {CAUSES[c]}" for c in CAUSES if causes[c]]
    if causes["other"]:
        parts.append(f"{causes['other']} otherwise, e.g. " + "; ".join(examples))
    note = ""
    if parts:
        differ = len(queries) - agree
        note = f"{differ} {'query differs' if differ == 1 else 'queries differ'}: " + ", ".join(
            parts
        )
    return agree, note


def gib(n):
    return f"{n / 2**30:.2f} GiB" if n < 10 * 2**30 else f"{n / 2**30:.0f} GiB"


def fmt_us(x):
    if x is None:
        return ""
    if x < 10:
        return f"{x:.2f}"
    if x < 100:
        return f"{x:.1f}"
    return f"{x:,.0f}"


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(p / 100 * len(ordered)) - 1)]


def missing_requirements(lists, tools):
    problems = []
    absent = [name for name in lists if not os.path.exists(LISTS[name])]
    if absent:
        problems.append(
            "word lists not found: "
            + ", ".join(f"{LISTS[n]} ({n})" for n in absent)
            + f"\n    install them with: apt-get install {' '.join(absent)}"
        )
    wanted = {"rapidfuzz": "rapidfuzz", "symspellpy": "symspellpy"}
    modules = [wanted[t] for t in tools if t in wanted] + ["matplotlib"]
    absent = [m for m in modules if importlib.util.find_spec(m) is None]
    if absent:
        problems.append(
            "Python packages not found: "
            + ", ".join(absent)
            + "\n    install them with: pip install '.[bench]'   (from the repository root)"
        )
    if (
        importlib.util.find_spec("morlatch") is None
        or importlib.util.find_spec("_morlatch") is None
    ):
        problems.append(
            "morlatch is not importable\n    install it with: pip install '.[bench]', or run "
            "against a build tree with PYTHONPATH=build/<dir>:python"
        )
    return problems


def version_of(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def plan_and_run(name, words, queries, args, budget):
    """Runs every tool over one list: {row: {k: cell}}, {tool: build info}."""
    path = LISTS[name]
    ks = args.ks
    base_job = {
        "path": path,
        "ks": ks,
        "queries": queries,
        "cell_seconds": args.cell_seconds,
        "min_queries": args.min_queries,
    }
    cells = {row: {} for row, _ in ROWS}
    builds = {}
    for tool in args.tools:
        print(f"  {name}: {tool}", file=sys.stderr, flush=True)
        job = dict(base_job, tool=tool)
        notes = {}
        if tool == "symspellpy":
            result = None
            for k_build in range(max(ks), -1, -1):
                estimate = symspell_pairs(words, k_build, args.seed) * SYMSPELL_BYTES_PER_PAIR
                if estimate > budget:
                    notes[k_build] = (
                        f"does not fit (estimated {gib(estimate)} at max distance "
                        f"{k_build}, budget {gib(budget)})"
                    )
                    print(f"    {notes[k_build]}", file=sys.stderr, flush=True)
                    continue
                result, failure = run_worker(dict(job, k_build=k_build), budget)
                if result is not None:
                    result["k_build"] = k_build
                    break
                if failure.startswith("failed"):
                    notes = {k: failure for k in ks}
                    break
                notes[k_build] = f"does not fit ({failure} at max distance {k_build})"
                print(f"    {notes[k_build]}", file=sys.stderr, flush=True)
        else:
            result, failure = run_worker(job, budget)
            if result is None:
                notes = {
                    k: (failure if failure.startswith("failed") else f"does not fit ({failure})")
                    for k in ks
                }
        builds[tool] = result
        for row, row_tool in ROWS:
            if row_tool != tool:
                continue
            row_ks = ([0] if 0 in ks else []) if row == "morlatch exact_match" else ks
            for k in row_ks:
                cells[row][k] = {"note": notes.get(k, "")}
        if result is not None:
            for cell in result["cells"]:
                cells[cell["row"]][cell["k"]].update(cell)
            info = f"built in {result['build_s']:.1f} s, resident {result['rss_mb']:.0f} MB"
            if "k_build" in result:
                info += f", max distance {result['k_build']}"
            print(f"    {info}", file=sys.stderr, flush=True)
    return cells, builds


def collect_rows(name, words, queries, cells, builds):
    out = []
    reference = cells["morlatch"]
    for row, tool in ROWS:
        build = builds.get(tool)
        for k, cell in sorted(cells[row].items()):
            times = cell.get("times_ns")
            note = cell.get("note", "")
            record = {
                "list": name,
                "words": len(words),
                "tool": row,
                "k": k,
                "median_us": None,
                "p90_us": None,
                "cpu_median_us": None,
                "queries": 0,
                "build_s": None,
                "rss_mb": None,
                "peak_rss_mb": None,
                "hits_per_query": None,
                "agree": "",
                "note": note,
                "_why": "",  # the hit comparison alone, for the Markdown summary
            }
            if build is not None:
                record["build_s"] = build["build_s"]
                record["rss_mb"] = build["rss_mb"]
                record["peak_rss_mb"] = build["peak_mb"]
            if times:
                n = len(times)
                record.update(
                    median_us=statistics.median(times) / 1000,
                    p90_us=percentile(times, 90) / 1000,
                    cpu_median_us=statistics.median(cell["cpu_ns"]) / 1000,
                    queries=n,
                    hits_per_query=sum(len(h) for h in cell["hits"]) / n,
                )
                ref = reference.get(k, {}).get("hits")
                if row == "morlatch exact_match":
                    ref = reference.get(0, {}).get("hits")
                if ref is not None and row != "morlatch":
                    agree, why = compare_hits(row, queries[:n], cell["hits"], ref[:n])
                    record["agree"] = f"{agree}/{n}"
                    record["_why"] = why
                    record["note"] = "; ".join(x for x in (note, why) if x)
                elif row == "morlatch":
                    record["agree"] = "reference"
                if tool == "symspellpy" and build is not None:
                    record["note"] = "; ".join(
                        x
                        for x in (f"index at max distance {build['k_build']}", record["note"])
                        if x
                    )
                if row == "morlatch" and build is not None and build["extra"].get("trie_bytes"):
                    record["note"] = "; ".join(
                        x
                        for x in (f"to_bytes {build['extra']['trie_bytes'] / 2**20:.1f} MB", note)
                        if x
                    )
            out.append(record)
    return out


def write_csv(records, path):
    def cell(key, value):
        if isinstance(value, float):
            return f"{value:.3f}" if key.endswith("_us") else f"{value:.2f}"
        return "" if value is None else value

    with open(path, "w", newline="") as f:
        fields = [key for key in records[0] if not key.startswith("_")]
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        for r in records:
            writer.writerow({key: cell(key, value) for key, value in r.items()})


def short_reason(note):
    return "does not fit" if note.startswith("does not fit") else (note or "not run")


def plot(records, lists, word_counts, ks, path, machine):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {
        "morlatch": dict(color="#1f77b4", marker="o"),
        "morlatch exact_match": dict(
            color="#1f77b4", marker="D", linestyle="none", fillstyle="none", mew=1.5
        ),
        "symspellpy": dict(color="#d62728", marker="s"),
        "symspellpy (Levenshtein)": dict(color="#ff9896", marker="s", linestyle="--"),
        "rapidfuzz": dict(color="#2ca02c", marker="^"),
        "plain trie walk": dict(color="#7f7f7f", marker="v"),
    }
    timed = [r["median_us"] for r in records if r["median_us"]]
    if not timed:
        return
    # Room at the top for the crosses of tools without a figure, when there are any.
    room = 40 if any(r["median_us"] is None for r in records) else 4
    low, high = min(timed) / 2, max(timed) * room
    fig, axes = plt.subplots(1, len(lists), figsize=(6.2 * len(lists), 5.6), squeeze=False)
    legend = {}
    for ax, name in zip(axes[0], lists, strict=True):
        misfits = {}
        for row, _ in ROWS:
            mine = [r for r in records if r["list"] == name and r["tool"] == row]
            if not mine:
                continue
            pts = [(r["k"], r["median_us"]) for r in mine if r["median_us"]]
            (line,) = ax.plot(
                *(zip(*pts, strict=True) if pts else ([], [])),
                label=row,
                markersize=7,
                linewidth=1.6,
                **styles[row],
            )
            legend.setdefault(row, line)
            for r in mine:
                if r["median_us"] is None:
                    misfits.setdefault(r["k"], []).append((row, short_reason(r["note"])))
        # Tools without a figure at some k: a cross in the tool's colour at the top, and why.
        for k, missing in misfits.items():
            for i, (row, _) in enumerate(missing):
                x = k + (i - (len(missing) - 1) / 2) * 0.09
                ax.plot(
                    x, high / 2.2, marker="x", color=styles[row]["color"], markersize=10, mew=2.5
                )
            reasons = sorted({reason for _, reason in missing})
            ax.annotate(
                "\n".join(reasons) + ":\n" + "\n".join(row for row, _ in missing),
                (k, high / 2.2),
                textcoords="offset points",
                xytext=(0, -12),
                ha="center",
                va="top",
                fontsize=7.5,
                color="#444444",
            )
        ax.set_yscale("log")
        ax.set_ylim(low, high)
        ax.set_xticks(ks)
        ax.set_xlim(min(ks) - 0.4, max(ks) + 0.4)
        ax.set_xlabel("k (maximum edit distance)")
        ax.set_ylabel("median time per query (µs, log scale)")
        ax.set_title(f"{name} ({word_counts[name]:,} words)")
        ax.grid(True, which="major", alpha=0.35)
        ax.grid(True, which="minor", alpha=0.12)
    labels = [row for row, _ in ROWS if row in legend]
    handles = [legend[row] for row in labels]
    fig.legend(handles, labels, loc="lower center", ncol=3, fontsize=9)
    fig.suptitle("All words within k edits of the query, no limit; " + machine, fontsize=10)
    fig.tight_layout(rect=(0, 0.12, 1, 0.96))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def time_table(records, lists, ks, rows, cell_text):
    lines = ["| list | k | " + " | ".join(rows) + " |", "|---|---|" + "---|" * len(rows)]
    for name in lists:
        for k in ks:
            cells = []
            for row in rows:
                match = [
                    r for r in records if r["list"] == name and r["tool"] == row and r["k"] == k
                ]
                if not match:
                    cells.append("")
                elif match[0]["median_us"] is None:
                    cells.append(short_reason(match[0]["note"]))
                else:
                    cells.append(cell_text(match[0]))
            lines.append(f"| {name if k == ks[0] else ''} | {k} | " + " | ".join(cells) + " |")
    return lines


def markdown(records, lists, ks, builds_by_list, full):
    rows = [row for row, _ in ROWS if any(r["tool"] == row for r in records)]

    def wall(r):
        text = f"{fmt_us(r['median_us'])} / {fmt_us(r['p90_us'])}"
        return text + (f" ({r['queries']})" if r["queries"] < full else "")

    lines = [
        "Median / p90 microseconds per query (in brackets: the queries answered, "
        f"when fewer than {full}):",
        "",
    ]
    lines += time_table(records, lists, ks, rows, wall)
    lines += [
        "",
        "The same medians in CPU time of the querying thread (what the wall-clock figures "
        "approach on an idle machine):",
        "",
    ]
    lines += time_table(records, lists, ks, rows, lambda r: fmt_us(r["cpu_median_us"]))
    lines.append("")
    lines.append("Build time and resident memory of each tool's structure (own process per tool):")
    lines.append("")
    lines.append("| list | tool | build s | resident MB | peak MB | note |")
    lines.append("|---|---|---|---|---|---|")
    for name in lists:
        for tool, build in builds_by_list[name].items():
            if build is None:
                tool_rows = {row for row, row_tool in ROWS if row_tool == tool}
                notes = {r["note"] for r in records if r["list"] == name and r["tool"] in tool_rows}
                lines.append(f"| {name} | {tool} | | | | {'; '.join(sorted(notes))} |")
                continue
            note = ""
            if tool == "morlatch":
                note = f"to_bytes() is {build['extra']['trie_bytes'] / 2**20:.1f} MB"
            elif tool == "symspellpy":
                note = f"index at max distance {build['k_build']}"
            elif tool == "rapidfuzz":
                note = "nothing built: the list itself"
            elif tool == "plain":
                note = "dict-of-dicts trie"
            lines.append(
                f"| {name} | {tool} | {build['build_s']:.1f} | {build['rss_mb']:,.0f} | "
                f"{build['peak_mb']:,.0f} | {note} |"
            )
    lines.append("")
    lines.append("Hits (key, distance) compared with morlatch's on the same queries:")
    lines.append("")
    for r in records:
        if r["tool"] == "morlatch" or not r["agree"]:
            continue
        agree, n = (int(x) for x in r["agree"].split("/"))
        if agree == n:
            continue
        lines.append(f"- {r['list']}, {r['tool']}, k={r['k']}: {r['agree']} agree; {r['_why']}")
    if lines[-1] == "":
        lines.append("- every tool's hits agree with morlatch's on every query it answered")
    misfits = [r for r in records if r["median_us"] is None and r["note"]]
    if misfits:
        lines.append("")
        for r in misfits:
            lines.append(f"- {r['list']}, {r['tool']}, k={r['k']}: {r['note']}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="smoke run: small list, few queries")
    parser.add_argument("--lists", nargs="+", choices=list(LISTS), help="word lists (default both)")
    parser.add_argument("--ks", nargs="+", type=int, help="edit distances (default 0 1 2 3)")
    parser.add_argument("--tools", nargs="+", choices=TOOLS, default=list(TOOLS))
    parser.add_argument("--queries", type=int, help="queries per list (default 250, quick 30)")
    parser.add_argument(
        "--cell-seconds",
        type=float,
        help="time after which a tool stops answering the queries of one k (default 10, quick 2)",
    )
    parser.add_argument(
        "--min-queries", type=int, help="queries answered before that stop (default 20, quick 10)"
    )
    parser.add_argument(
        "--out",
        help="the CSV to write; the PNG goes beside it "
        "(default benchmarks/results/peers.csv, quick peers-quick.csv)",
    )
    parser.add_argument(
        "--memory-budget-gb",
        type=float,
        default=8.0,
        help="largest resident set a tool may reach (default 8)",
    )
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        with open(args.worker) as f:
            worker(json.load(f))
        return 0

    quick = args.quick
    args.lists = args.lists or (["wamerican"] if quick else list(LISTS))
    args.ks = sorted(set(args.ks if args.ks is not None else [0, 1, 2, 3]))
    if any(k < 0 or k >= SYMSPELL_PREFIX for k in args.ks):
        parser.error(f"--ks: each k must be from 0 to {SYMSPELL_PREFIX - 1}")
    args.queries = args.queries or (30 if quick else 250)
    args.cell_seconds = args.cell_seconds or (2.0 if quick else 10.0)
    args.min_queries = args.min_queries or (10 if quick else 20)
    args.tools = [t for t in TOOLS if t in args.tools]
    if "morlatch" not in args.tools:
        args.tools.insert(
            0, "morlatch"
        )  # the reference every other tool's hits are checked against
    out = args.out or os.path.join(HERE, "results", "peers-quick.csv" if quick else "peers.csv")
    png = os.path.splitext(out)[0] + ".png"

    problems = missing_requirements(args.lists, args.tools)
    if problems:
        print("bench_peers: cannot run:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 2

    sys.path.insert(0, HERE)
    from common import describe_machine, typo_queries

    budget = args.memory_budget_gb * 2**30
    available = available_memory()
    budget_note = ""
    if available is not None and available * 0.8 < budget:
        budget = available * 0.8
        budget_note = (
            f" (lowered from {args.memory_budget_gb:g} GiB to 80% of the "
            f"{available / 2**30:.1f} GiB available)"
        )

    machine = describe_machine()
    versions = ", ".join(
        f"{name} {version_of(name)}" for name in ("morlatch", "rapidfuzz", "symspellpy")
    )
    started = time.perf_counter()
    records = []
    builds_by_list = {}
    word_counts = {}
    for name in args.lists:
        words = read_words(LISTS[name])
        word_counts[name] = len(words)
        queries = typo_queries(words, args.queries, args.seed)
        print(
            f"{name}: {len(words):,} words, {len(queries)} queries "
            f"(mean length {statistics.mean(len(q) for q in queries):.1f})",
            file=sys.stderr,
            flush=True,
        )
        cells, builds = plan_and_run(name, words, queries, args, budget)
        builds_by_list[name] = builds
        records.extend(collect_rows(name, words, queries, cells, builds))
    elapsed = time.perf_counter() - started

    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    write_csv(records, out)
    short_machine = machine[0].split(";")[0].replace("machine: ", "")
    plot(records, args.lists, word_counts, args.ks, png, short_machine)

    print("\n".join(machine))
    print("load average at the end: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    print(f"versions: {versions}")
    print(
        f"queries: {args.queries} per list (seed {args.seed}), list words with 0-2 random edits; "
        f"memory budget {gib(budget)}{budget_note}; run took {elapsed / 60:.1f} min"
    )
    print()
    print(markdown(records, args.lists, args.ks, builds_by_list, args.queries))
    print()
    print(f"wrote {os.path.relpath(out)} and {os.path.relpath(png)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
