"""Peak resident memory of writing index files.

    python benchmarks/bench_save.py --keys KEYS [--build NAME=PYTHONPATH ...] [--rounds N]

For each build (default: this tree's build/bench), in fresh processes:
``morlatch build KEYS -o OUT --index`` (KEYS from benchmarks/make_keys.py),
then ``Index.load(OUT).save(OTHER)``, which saves the mapped index to another
path. Reported: each process's peak resident set size (the kernel's
``ru_maxrss`` of that child alone) and wall time, the best of ``--rounds``,
the builds' rounds interleaved so that they share the machine's noise, e.g.

    python benchmarks/bench_save.py --keys /tmp/keys1m.txt \\
        --build main=/work/main/build/bench:/work/main/python --build new=build/bench:python
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

RESAVE = "import sys; from morlatch import Index; Index.load(sys.argv[1]).save(sys.argv[2])"


def measure(pythonpath: str, argv: list[str]) -> tuple[float, float]:
    """(peak MiB, wall s) of one child process."""
    env = dict(os.environ, PYTHONPATH=pythonpath)
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, *argv], env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise SystemExit(f"{' '.join(argv)} failed with {child.returncode}")
    return usage.ru_maxrss / 1024, wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", required=True, help="a key list, one key a line")
    parser.add_argument("--build", action="append", default=[], help="NAME=PYTHONPATH")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build] or [["this", "build/bench:python"]]
    best: dict[tuple[str, str], tuple[float, float]] = {}
    sizes: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.rounds):
            for name, pythonpath in builds:
                out = os.path.join(folder, f"{name}.index")
                cases = {
                    "build --index": ["-m", "morlatch", "build", args.keys, "-o", out, "--index"],
                    "load + save": ["-c", RESAVE, out, os.path.join(folder, f"{name}.copy")],
                }
                for case, argv in cases.items():
                    got = measure(pythonpath, argv)
                    best[name, case] = min(best.get((name, case), got), got)
                sizes[name] = os.path.getsize(out)
    print("| build | case | peak MiB | peak / file | wall s |")
    print("|---|---|---|---|---|")
    for (name, case), (peak, wall) in best.items():
        ratio = peak * 2**20 / sizes[name]
        print(f"| {name} | {case} | {peak:,.0f} | {ratio:.2f} | {wall:.2f} |")


if __name__ == "__main__":
    main()
