"""What the benchmarks share: the machine line, the word-list trie, and the
tests' reference implementations (tests/reference.py: the typo generator for
queries, the model of the walk, the distances), re-exported from here so
that a benchmark imports only this module.

The word list is Debian's wamerican (/usr/share/dict/american-english,
`apt-get install wamerican`); its trie is laid out by the package's own
builder (level order, children in code-point order, payload = line number).
"""

import os
import platform
import sys

import _morlatch
import morlatch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from reference import levenshtein, osa, typo, typo_queries, walk  # noqa: E402

__all__ = [
    "WORD_LIST",
    "describe_machine",
    "levenshtein",
    "osa",
    "read_words",
    "typo",
    "typo_queries",
    "walk",
    "word_list_arrays",
]

WORD_LIST = "/usr/share/dict/american-english"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def memory_total():
    """The machine's memory as text, or "" when it cannot be read."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return f", {int(line.split()[1]) / 2**20:.0f} GiB memory"
    except OSError:
        pass
    return ""


def describe_machine():
    """Lines that say where the figures come from."""
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return [
        f"machine: {os.cpu_count()} cores ({usable} usable), {cpu_model()}{memory_total()}; "
        f"load average {load}",
        f"python {platform.python_version()}, module {_morlatch.__file__}",
    ]


def read_words(path=WORD_LIST):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def word_list_arrays(words):
    """The four arrays of the trie over words, as plain lists."""
    arrays = morlatch.layout(words)
    return tuple(list(a) for a in arrays)
