"""Resident memory per key of an index after queries of every kind.

    python benchmarks/bench_memory.py [--words PATH] [--build NAME=PYTHONPATH ...]

Each build (default: this tree's build/bench) is measured in fresh
processes: one builds Index(words), one loads the index file that the first
saved. Each records its resident set size (VmRSS) once the word list is read,
then builds or loads the index, runs exact lookups, searches at k = 1, 2, 3
with and without transpositions, a search with a limit and completions (so
that the reverse index is built or mapped), and records the resident size
again. Reported: (RSS after - RSS before) / keys, the index file's size, and
layout_info's bytes, side by side for the builds given, e.g.

    python benchmarks/bench_memory.py --build main=/work/main/build/bench:/work/main/python \\
        --build new=build/bench:python
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

WORD_LIST = "/usr/share/dict/american-english-insane"

CHILD = r"""
import json, random, sys
from morlatch import Index, layout_info

def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

mode, words_path, index_path = sys.argv[1:4]
with open(words_path, encoding="utf-8") as f:
    words = sorted({line.rstrip("\n") for line in f if line.strip()})
rng = random.Random(5)
sample = rng.sample(words, 300)
queries = [w[:i] + w[i + 1:] if len(w) > 3 else w + "x" for w, i in
           ((w, rng.randrange(len(w))) for w in sample)]
before = rss_kib()
if mode == "build":
    index = Index(words)
else:
    index = Index.load(index_path)
for word in sample:
    index.prefix_search.exact_match(word)
for query in queries:
    for k in (1, 2, 3):
        index.search(query, k)
        index.search(query, k, transpositions=True)
    index.search(query, 2, limit=5)
    index.complete(query[:4], 1)
after = rss_kib()
if mode == "build":
    index.save(index_path)
print(json.dumps({"keys": len(index), "delta_kib": after - before,
                  "bytes": layout_info(index.prefix_search)["bytes"]}))
"""


def run(pythonpath: str, mode: str, words: str, index_path: str) -> dict[str, int]:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, mode, words, index_path],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", default=WORD_LIST)
    parser.add_argument("--build", action="append", default=[], help="NAME=PYTHONPATH")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build] or [["this", "build/bench:python"]]
    print("| build | case | keys | RSS delta MiB | bytes/key | layout_info bytes | file bytes |")
    print("|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for name, pythonpath in builds:
            path = os.path.join(folder, f"{name}.index")
            for mode in ("build", "load"):
                got = run(pythonpath, mode, args.words, path)
                per_key = got["delta_kib"] * 1024 / got["keys"]
                print(
                    f"| {name} | {mode} | {got['keys']:,} | {got['delta_kib'] / 1024:.1f} "
                    f"| {per_key:.1f} | {got['bytes']:,} | {os.path.getsize(path):,} |",
                    flush=True,
                )


if __name__ == "__main__":
    main()
