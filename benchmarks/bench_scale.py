"""Deep and large tries: every step from building to freeing, with its time
and peak memory, each bounded by a timeout.

Two tries:
  chain   one key of --chain-length characters (default 1,000,000): a trie
          that is one chain as deep as the key, queried with
          fuzzy_match(key[:-1], 1, None) and exact_match(key);
  large   --keys random keys of --key-length letters (defaults: 1,000,000
          of 14, about 10,000,000 nodes), queried with fuzzy_match of a key
          with one typo at distance 1 and exact_match of a key.

Steps: build (morlatch.build), fuzzy, exact, encode (to_bytes), decode
(from_bytes), free (dropping both objects). The steps run in a child process;
the parent samples its resident memory every few milliseconds and reports the
peak during each step, and the growth over the memory the child
held when the step started. A step that runs past --timeout seconds is
reported as "did not finish within N s"; the child is then ended and a new
one redoes the earlier steps (untimed) to go on with the next.

A third part, keys, takes word lists of --key-counts distinct two-word keys
(benchmarks/make_keys.py; made in --key-dir when missing) and measures, side
by side, each tool in processes of its own, bounded by --key-timeout:
  morlatch      `morlatch build FILE -o OUT` (build time, peak resident
                memory, file size), then in a new process Index.load, exact
                lookup (index.get), search(q, 1) and search(q, 2) of typo
                queries, listing the keys under "<first word> " and the
                resident memory after all queries;
  morlatch-index  the same with `morlatch build FILE -o OUT --index`: an
                index file, mapped at open, reverse index included;
  marisa-trie   marisa_trie.Trie(keys), save, then load and the same exact
                lookups (`in`) and listings (keys(prefix)) in a new process;
  dawg2         dawg.CompletionDAWG(keys) (the DAWG that lists keys by prefix),
                likewise.
The peers keep keys only; morlatch keeps a 32-bit payload per key too.

    PYTHONPATH=build/bench:python python benchmarks/bench_scale.py [--only chain|large|keys]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import select
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

STEPS = ["build", "fuzzy", "exact", "encode", "decode", "free"]


def make_keys(args, which):
    if which == "chain":
        n = args.chain_length
        return ["".join(chr(ord("a") + i % 26) for i in range(n))]
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz"
    return ["".join(rng.choices(letters, k=args.key_length)) for _ in range(args.keys)]


def queries(keys, which):
    key = keys[len(keys) // 2]
    if which == "chain":
        return key[:-1], key
    typo = key[:3] + ("a" if key[3] != "a" else "b") + key[4:]
    return typo, key


def child(args, which, start, timed, out):
    """Runs the steps from `start` on; only those in `timed` are reported."""
    import _morlatch
    import morlatch

    def emit(**event):
        os.write(out, (json.dumps(event) + "\n").encode())

    keys = make_keys(args, which)
    fuzzy_query, exact_query = queries(keys, which)
    state = {}

    def run(step):
        if step == "build":
            state["search"] = morlatch.build(keys)
            nodes = morlatch.layout_info(state["search"])["nodes"]
            return f"{len(keys):,} keys, {nodes:,} nodes"
        if step == "fuzzy":
            hits = state["search"].fuzzy_match(fuzzy_query, 1, None)
            return f"{len(hits)} hits"
        if step == "exact":
            return "found" if state["search"].exact_match(exact_query) else "not found"
        if step == "encode":
            state["bytes"] = state["search"].to_bytes()
            return f"{len(state['bytes']):,} bytes"
        if step == "decode":
            state["copy"] = _morlatch.from_bytes(state["bytes"])
            return ""
        if step == "free":
            state.clear()
            gc.collect()
            return ""
        raise AssertionError(step)

    for index, step in enumerate(STEPS):
        if index < start and step not in ("build", "encode"):
            continue  # only what later steps need is redone
        if step in timed:
            emit(event="start", step=step)
            began = time.perf_counter()
            detail = run(step)
            emit(event="end", step=step, seconds=time.perf_counter() - began, detail=detail)
        elif index < start:
            run(step)
    emit(event="done")


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(args, which):
    results = {}
    start = 0
    while start < len(STEPS):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                child(args, which, start, set(STEPS[start:]), write_end)
            finally:
                os._exit(0)
        os.close(write_end)
        buffer = b""
        current = None
        began = base = peak = 0
        finished = False
        while not finished:
            ready, _, _ = select.select([read_end], [], [], 0.005)
            if current is not None:
                peak = max(peak, rss_kib(pid))
                if time.perf_counter() - began > args.timeout:
                    os.kill(pid, 9)
                    results[current] = f"did not finish within {args.timeout:g} s"
                    print(f"{which:6} {current:7} {results[current]}", flush=True)
                    start = STEPS.index(current) + 1
                    break
            if not ready:
                continue
            chunk = os.read(read_end, 65536)
            if not chunk:
                start = len(STEPS)  # the child ended
                break
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                event = json.loads(line)
                if event["event"] == "start":
                    current = event["step"]
                    began = time.perf_counter()
                    base = peak = rss_kib(pid)
                elif event["event"] == "end":
                    peak = max(peak, rss_kib(pid))
                    results[current] = (
                        f"{event['seconds']:8.3f} s  peak {peak / 1024:8.1f} MiB"
                        f" (+{(peak - base) / 1024:.1f})  {event['detail']}"
                    )
                    print(f"{which:6} {current:7} {results[current]}", flush=True)
                    current = None
                else:
                    finished = True
                    start = len(STEPS)
        os.close(read_end)
        os.waitpid(pid, 0)
    return results


# ---------------------------------------------------------------- keys

# morlatch writes a plain trie file, or with --index an index file (mapped
# when opened, reverse index included).
TOOLS = ["morlatch", "morlatch-index", "marisa-trie", "dawg2"]
QUERY_COUNTS = {"exact": 2000, "k1": 300, "k2": 100, "listing": 1000}


def key_file(args, count):
    path = os.path.join(args.key_dir, f"keys-{count}.txt")
    if not os.path.exists(path):
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(
            [sys.executable, os.path.join(here, "make_keys.py"), "--count", str(count), "-o", path],
            check=True,
        )
    return path


def sample_keys(path, count, wanted, seed=3):
    """wanted seeded keys of the word list at path (count lines), in line order."""
    rng = random.Random(seed)
    lines = set(rng.sample(range(count), min(wanted, count)))
    out = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f):
            if number in lines:
                out.append(line.rstrip("\n"))
    return out


def run_child(command, timeout):
    """(seconds, peak resident MiB, the last line of its stdout as JSON or None,
    error text or None) of a child process, ended after timeout seconds."""
    began = time.perf_counter()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(command, stdout=out, stderr=err)
        deadline = began + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() > deadline:
                proc.kill()
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = -9
                return (
                    time.perf_counter() - began,
                    usage.ru_maxrss / 1024,
                    None,
                    (f"did not finish within {timeout:g} s"),
                )
            time.sleep(0.05)
        proc.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.perf_counter() - began
        out.seek(0)
        err.seek(0)
        lines = out.read().decode().strip().splitlines()
        if proc.returncode != 0:
            return seconds, usage.ru_maxrss / 1024, None, err.read().decode().strip()[-300:]
        return seconds, usage.ru_maxrss / 1024, json.loads(lines[-1]) if lines else None, None


def build_peer(tool, words, out):
    """Child: builds a peer's structure from the word list and saves it."""
    with open(words, encoding="utf-8") as f:
        keys = [line.rstrip("\n") for line in f if line.strip()]
    began = time.perf_counter()
    if tool == "marisa-trie":
        import marisa_trie

        built = marisa_trie.Trie(keys)
    else:
        import dawg

        built = dawg.CompletionDAWG(keys)
    seconds = time.perf_counter() - began
    built.save(out)
    print(json.dumps({"build_seconds": seconds}))


def rss_mib():
    return rss_kib(os.getpid()) / 1024


def timed(call, items, budget=60.0):
    """Median and p90 microseconds of call(item), and the count timed; stops
    after budget seconds."""
    times = []
    stop = time.perf_counter() + budget
    for item in items:
        began = time.perf_counter_ns()
        call(item)
        times.append((time.perf_counter_ns() - began) / 1000)
        if time.perf_counter() > stop:
            break
    times.sort()
    return {
        "median": statistics.median(times),
        "p90": times[int(0.9 * (len(times) - 1))],
        "count": len(times),
    }


def probe(tool, path, queries_file):
    """Child: opens a saved structure and times lookups; prints one JSON line."""
    with open(queries_file, encoding="utf-8") as f:
        work = json.load(f)
    base = rss_mib()
    began = time.perf_counter()
    if tool.startswith("morlatch"):
        import morlatch

        index = morlatch.Index.load(path)
        opened = time.perf_counter() - began
        exact = index.get
        listing = index.keys
    elif tool == "marisa-trie":
        import marisa_trie

        trie = marisa_trie.Trie().load(path)
        opened = time.perf_counter() - began
        exact = trie.__contains__
        listing = trie.keys
    else:
        import dawg

        trie = dawg.CompletionDAWG().load(path)
        opened = time.perf_counter() - began
        exact = trie.__contains__
        listing = trie.keys
    result = {"open_seconds": opened, "open_mib": rss_mib() - base}
    result["exact"] = timed(exact, work["exact"])
    listed = []

    def list_keys(prefix):
        listed.append(len(list(listing(prefix))))

    result["listing"] = timed(list_keys, work["prefixes"])
    result["listing"]["keys"] = statistics.mean(listed)
    if tool.startswith("morlatch"):
        result["k1"] = timed(lambda q: index.search(q, 1), work["typos"][: QUERY_COUNTS["k1"]])
        result["k2"] = timed(lambda q: index.search(q, 2), work["typos"][: QUERY_COUNTS["k2"]])
        info = morlatch.layout_info(index.prefix_search)
        result["reverse_index_seconds"] = info["reverse_index_seconds"]
    result["rss_mib"] = rss_mib() - base
    print(json.dumps(result))


def measure_keys(args, count):
    from common import typo_queries

    words = key_file(args, count)
    here = os.path.abspath(__file__)
    sample = sample_keys(words, count, QUERY_COUNTS["exact"])
    random.Random(4).shuffle(sample)
    work = {
        "exact": sample,
        "typos": typo_queries(sample, QUERY_COUNTS["k1"], seed=5),
        "prefixes": [key.split(" ")[0] + " " for key in sample[: QUERY_COUNTS["listing"]]],
    }
    queries_file = os.path.join(args.key_dir, f"queries-{count}.json")
    with open(queries_file, "w", encoding="utf-8") as f:
        json.dump(work, f)
    rows = {}
    for tool in TOOLS:
        if tool not in args.tools:
            continue
        out = os.path.join(args.key_dir, f"keys-{count}.{tool}")
        if tool.startswith("morlatch"):
            command = [sys.executable, "-m", "morlatch", "build", words, "-o", out, "--quiet"]
            if tool == "morlatch-index":
                command.append("--index")
        else:
            command = [sys.executable, here, "--build-peer", tool, words, out]
        seconds, peak, reply, error = run_child(command, args.key_timeout)
        row = {"build_wall": seconds, "build_peak_mib": peak, "error": error}
        if reply:
            row["build_seconds"] = reply["build_seconds"]
        if error is None:
            row["file_mb"] = os.path.getsize(out) / 1e6
            _, peak, reply, error = run_child(
                [sys.executable, here, "--probe", tool, out, queries_file], args.key_timeout
            )
            row["error"] = error
            row["probe_peak_mib"] = peak
            row.update(reply or {})
            os.unlink(out)
        row["load_average"] = os.getloadavg()[0]  # the machine may be shared
        rows[tool] = row
        print(f"keys {count:,} {tool}: {json.dumps(row)}", flush=True)
    print_keys_table(count, rows)
    return rows


def print_keys_table(count, rows):
    def cell(row, name):
        if name not in row:
            return ""
        return f"{row[name]['median']:,.1f} / {row[name]['p90']:,.1f}"

    print(f"\n{count:,} two-word keys: median / p90 microseconds per call")
    print(
        "| tool | build s | build peak MiB | file MB | open s | resident after queries MiB "
        "| exact | k = 1 | k = 2 | listing (keys) |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|")
    for tool, row in rows.items():
        if row.get("error") and "exact" not in row:
            print(f"| {tool} | {row['error'][:80]} |||||||||")
            continue
        listing = cell(row, "listing") + f" ({row['listing']['keys']:.1f})"
        print(
            f"| {tool} | {row['build_wall']:.1f} | {row['build_peak_mib']:,.0f} "
            f"| {row['file_mb']:,.1f} | {row['open_seconds']:.2f} | {row['rss_mib']:,.0f} "
            f"| {cell(row, 'exact')} | {cell(row, 'k1')} | {cell(row, 'k2')} | {listing} |"
        )
    print(flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--build-peer":
        return build_peer(*sys.argv[2:5])
    if len(sys.argv) > 1 and sys.argv[1] == "--probe":
        return probe(*sys.argv[2:5])
    from common import describe_machine

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=["chain", "large", "keys"])
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per step")
    parser.add_argument("--chain-length", type=int, default=1_000_000)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--key-length", type=int, default=14)
    parser.add_argument(
        "--key-counts", default="1000000", help="comma-separated key counts (e.g. 1000000,10000000)"
    )
    parser.add_argument("--key-dir", default=os.path.join(tempfile.gettempdir(), "morlatch-keys"))
    parser.add_argument("--key-timeout", type=float, default=1800.0, help="seconds per process")
    parser.add_argument("--tools", default=",".join(TOOLS), help="comma-separated tools")
    args = parser.parse_args()
    args.tools = args.tools.split(",")
    os.makedirs(args.key_dir, exist_ok=True)
    for line in describe_machine():
        print(line)
    for which in ["chain", "large"]:
        if args.only in (None, which):
            measure(args, which)
    if args.only in (None, "keys"):
        for count in map(int, args.key_counts.split(",")):
            measure_keys(args, count)


if __name__ == "__main__":
    main()
