"""Building a trie from a word list: morlatch against its peers, side by side.

Each build runs in a fresh child process, which reads the words (untimed),
then times one construction and reports its wall time and its peak resident
memory (the whole process, words included; the memory held once the words
were read is given too, so the growth can be read off). Every build runs
--runs times and the median is reported, with the ratio to marisa-trie's.

    morlatch.Index(words)   the index (build and the key count)
    morlatch.build(words)   a PrefixSearch
    build_word_list         a PrefixSearch from the file's bytes (file read timed)
    marisa_trie.Trie(words)
    dawg.DAWG(words)        (the dawg2 package)

    PYTHONPATH=build/bench:python python benchmarks/bench_build.py [--runs 5]

--baseline PATH adds the morlatch builds once more with PATH as PYTHONPATH
(another build of the package, say the code before a change), side by side.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

LISTS = {
    "american-english": "/usr/share/dict/american-english",
    "american-english-insane": "/usr/share/dict/american-english-insane",
}

# name -> (import line, expression building from `words`)
BUILDERS = {
    "morlatch.Index": ("import morlatch", "morlatch.Index(words)"),
    "morlatch.build": ("import morlatch", "morlatch.build(words)"),
    # From the file's bytes, as `morlatch build` reads a word list (the
    # payload is then the line number; the words are read but unused).
    "build_word_list": (
        "from morlatch.wordlist import build_word_list",
        "build_word_list(open(path, 'rb').read())",
    ),
    "marisa_trie.Trie": ("import marisa_trie", "marisa_trie.Trie(words)"),
    "dawg.DAWG": ("import dawg", "dawg.DAWG(words)"),
}

BASELINE = " (baseline)"

CHILD = """
import json, resource, sys, time
{imports}
path = {path!r}
with open(path, encoding="utf-8") as f:
    words = [line.rstrip("\\n") for line in f if line.strip()]
def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
base = rss_mib()
start = time.perf_counter()
built = {expr}
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({{"seconds": seconds, "peak_mib": peak, "base_mib": base, "words": len(words)}}))
"""


def run_once(name: str, path: str, baseline: str | None) -> dict[str, float]:
    imports, expr = BUILDERS[name.removesuffix(BASELINE)]
    code = CHILD.format(imports=imports, path=path, expr=expr)
    env = dict(os.environ)
    if name.endswith(BASELINE) and baseline is not None:
        env["PYTHONPATH"] = baseline
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=False, env=env
    )
    if done.returncode != 0:
        raise SystemExit(f"{name} on {path} failed:\n{done.stderr}")
    result: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of each build (median)")
    parser.add_argument("--only", choices=sorted(BUILDERS), action="append", help="these builds")
    parser.add_argument("--baseline", metavar="PATH", help="PYTHONPATH of a package to compare")
    args = parser.parse_args()
    from common import describe_machine

    for line in describe_machine():
        print(line)
    names = args.only or list(BUILDERS)
    if args.baseline:
        print(f"baseline: PYTHONPATH={args.baseline}")
        names += [name + BASELINE for name in names if name in ("morlatch.Index", "morlatch.build")]
    for label, path in LISTS.items():
        if not os.path.exists(path):
            print(f"\n{label}: {path} missing, skipped")
            continue
        rows = {}
        # Interleaved rounds, so that a busy spell of the machine spreads
        # over every build instead of falling on one.
        runs: dict[str, list[dict[str, float]]] = {name: [] for name in names}
        for _ in range(args.runs):
            for name in names:
                runs[name].append(run_once(name, path, args.baseline))
        for name in names:
            rows[name] = (
                statistics.median(r["seconds"] for r in runs[name]),
                statistics.median(r["peak_mib"] for r in runs[name]),
                statistics.median(r["base_mib"] for r in runs[name]),
            )
        words = int(runs[names[0]][0]["words"])
        print(f"\n{label}: {words:,} words, median of {args.runs} runs, one process each")
        print("| build | seconds | vs marisa-trie | peak RSS MiB | after reading MiB |")
        print("|---|---|---|---|---|")
        marisa = rows.get("marisa_trie.Trie", (None,))[0]
        for name, (seconds, peak, base) in rows.items():
            ratio = f"{seconds / marisa:.2f}" if marisa else "-"
            print(f"| `{name}` | {seconds:.3f} | {ratio} | {peak:.0f} | {base:.0f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
