"""Opening a saved index: the mapped index file against the earlier files.

    PYTHONPATH=build/bench:python python benchmarks/bench_open.py [WORD_LIST]

The word list defaults to Debian's wamerican-insane
(/usr/share/dict/american-english-insane, 663,473 words). Reports, side by
side: the file sizes; the time to open each kind of file (median of several
loads; the mapped file is checked in full each time, its pages are in the
page cache) and to answer the first split search after it; and the memory
that four processes holding the same index take together (their summed
proportional set size from /proc/<pid>/smaps_rollup) against one, whole and
less the PSS of as many processes holding no index (their interpreters).
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time

import morlatch
from common import describe_machine
from morlatch import Index, indexfile, layout_info

WORD_LIST = "/usr/share/dict/american-english-insane"
QUERY = "recieved"  # long enough for the split search at k = 2

# One child process: loads the file, searches once, reports, then waits for
# the parent's line on stdin so that all of them are alive when measured.
# With "-" for the file, the interpreter alone (the same modules loaded, a
# one-key index): what every process holds apart from the index.
CHILD = """
import sys
from morlatch import Index
index = Index(["a"]) if sys.argv[1] == "-" else Index.load(sys.argv[1])
index.search(sys.argv[2], 2)
print("ready", flush=True)
sys.stdin.readline()
"""


def timed(step, repeat=7):
    """Median wall and CPU seconds (all threads of the process) of step()."""
    walls, cpus = [], []
    for _ in range(repeat):
        started, cpu = time.perf_counter(), time.process_time()
        result = step()
        walls.append(time.perf_counter() - started)
        cpus.append(time.process_time() - cpu)
        del result
    return statistics.median(walls), statistics.median(cpus)


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    raise RuntimeError("no Pss line")


def pss_of(path: str, processes: int) -> int:
    env = dict(os.environ)
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD, path, QUERY],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        for _ in range(processes)
    ]
    try:
        for child in children:
            assert child.stdout is not None
            if child.stdout.readline().strip() != "ready":
                raise RuntimeError("a child failed")
        return sum(pss_kib(child.pid) for child in children)
    finally:
        for child in children:
            child.communicate("done\n")


def main() -> None:
    words_path = sys.argv[1] if len(sys.argv) > 1 else WORD_LIST
    with open(words_path, encoding="utf-8") as f:
        words = sorted({line.rstrip("\n") for line in f if line.strip()})
    print("\n".join(describe_machine()))
    index = Index(words)
    info = layout_info(index.prefix_search)
    print(f"{len(words):,} words, {info['nodes']:,} nodes")
    with tempfile.TemporaryDirectory() as folder:
        mapped = os.path.join(folder, "words.index")
        old = os.path.join(folder, "words-v1.index")
        plain = os.path.join(folder, "words.trie")
        index.save(mapped)
        indexfile.write(old, {"trie": index.prefix_search.to_bytes()})
        morlatch.save(index.prefix_search, plain)
        print()
        print(
            "| file | bytes | open ms | open CPU ms | first split search ms "
            "| reverse built at open |"
        )
        print("|---|---|---|---|---|---|")
        for name, path in (
            ("index file (layout)", mapped),
            ("index file (trie)", old),
            ("trie file", plain),
        ):
            open_s, open_cpu = timed(lambda path=path: Index.load(path))
            loaded = Index.load(path)
            built = layout_info(loaded.prefix_search)["reverse_index_built"]
            started = time.perf_counter()
            loaded.search(QUERY, 2)
            first = time.perf_counter() - started
            print(
                f"| {name} | {os.path.getsize(path):,} | {open_s * 1e3:.1f} | "
                f"{open_cpu * 1e3:.1f} | {first * 1e3:.1f} | {built} |"
            )
        print()
        checksum_s, _ = timed(lambda: indexfile.locate(open(mapped, "rb").read()), repeat=3)
        print(
            f"(checking every section's CRC-32 of the layout file, not done by load: "
            f"{checksum_s * 1e3:.0f} ms)"
        )
        print()
        # Each process also holds its own interpreter, which no file can share:
        # the index's part is the PSS above that of processes without it.
        bare_one, bare_four = pss_of("-", 1), pss_of("-", 4)
        print(
            f"PSS of the interpreter alone: {bare_one / 1024:.1f} MiB for 1 process, "
            f"{bare_four / 1024:.1f} MiB for 4"
        )
        print()
        print(
            "| file | PSS of 1 process | PSS of 4 processes | ratio "
            "| the index's part: 1 process | 4 processes | ratio |"
        )
        print("|---|---|---|---|---|---|---|")
        for name, path in (("index file (layout)", mapped), ("index file (trie)", old)):
            one = pss_of(path, 1)
            four = pss_of(path, 4)
            part_one, part_four = one - bare_one, four - bare_four
            print(
                f"| {name} | {one / 1024:.0f} MiB | {four / 1024:.0f} MiB | {four / one:.2f} "
                f"| {part_one / 1024:.1f} MiB | {part_four / 1024:.1f} MiB "
                f"| {part_four / part_one:.2f} |"
            )


if __name__ == "__main__":
    main()
