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

    PYTHONPATH=build/bench:python python benchmarks/bench_scale.py [--only chain|large]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import select
import sys
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


def main():
    from common import describe_machine

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=["chain", "large"])
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per step")
    parser.add_argument("--chain-length", type=int, default=1_000_000)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--key-length", type=int, default=14)
    args = parser.parse_args()
    for line in describe_machine():
        print(line)
    for which in ["chain", "large"]:
        if args.only in (None, which):
            measure(args, which)


if __name__ == "__main__":
    main()
