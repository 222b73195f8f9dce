"""Searches from several threads, and searches cut short by Ctrl-C.

Searches over a well-formed trie run without the interpreter's lock, so
threads really overlap; the index they build on first use is built once.
A long search checks for signals now and then, so Ctrl-C stops it.
"""

from __future__ import annotations

import os
import random
import signal
import subprocess
import threading

import pytest

import _morlatch
import morlatch
import reference
from reference import levenshtein


def random_words(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    return [
        "".join(rng.choice("abcdefgh\u00e9") for _ in range(rng.randint(1, 10)))
        for _ in range(count)
    ]


def test_threads_racing_for_the_first_search_all_get_the_right_answers():
    words = random_words(2000, seed=5)
    rng = random.Random(9)
    queries = [(rng.choice(words) + "ab")[1:] for _ in range(4)] + rng.sample(words, 8)
    expected = {}
    for q in queries:
        distances = [(w, levenshtein(w, q)) for w in set(words)]
        for k in (1, 2, 3):
            expected[q, k] = sorted((w, d) for w, d in distances if d <= k)
    # A fresh object, so that the threads race for its first long query.
    search = morlatch.build(words)
    barrier = threading.Barrier(4)
    failures: list[str] = []

    def worker() -> None:
        barrier.wait()
        for (q, k), want in expected.items():
            got = sorted((key, d) for key, _, d in search.fuzzy_match(q, k, None))
            if got != want:
                failures.append(f"{q!r} k={k}")

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def two_levels(width: int) -> _morlatch.PrefixSearch:
    """width * width two-character keys: a wide, shallow, well-formed trie."""
    letters = [chr(0x4E00 + i) for i in range(width)]
    count = 1 + width + width * width
    shifts = (
        [0] + [width + width * i for i in range(width)] + [width + width * width] * (width * width)
    )
    strings = [""] + letters + letters * width
    payloads = [None] * (1 + width) + list(range(width * width))
    children = list(range(1, count))
    return _morlatch.from_internal_data(shifts, strings, payloads, children)


def interrupt_soon() -> subprocess.Popen[bytes]:
    """Sends SIGINT to this process shortly, from another process, as a
    terminal's Ctrl-C does: the plain walk holds the interpreter's lock, so no
    thread of this process could run meanwhile."""
    return subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(), reason="signals need the main thread"
)
def test_ctrl_c_stops_a_long_search_and_leaves_the_object_usable():
    # Without a bound on the distance every one of the million nodes is
    # visited, each with a row as long as the query: a minute of work if
    # nothing stops it.
    search = two_levels(1000)
    sender = interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        search.fuzzy_match("b" * 20_000, 2**64 - 1, None)
    sender.wait()
    key = "\u4e01\u4e02"
    assert search.exact_match(key) == (key, 1002, 0)
    assert search.fuzzy_match(key + "x", 1, None) == [(key, 1002, 1)]


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(), reason="signals need the main thread"
)
def test_ctrl_c_stops_the_walk_over_arrays_that_fail_the_check():
    # Every node lists its one child twice: 2**60 paths for the plain walk,
    # which these arrays get, since no node may be reached twice otherwise.
    depth = 60
    shifts = [2 * i for i in range(depth + 1)]
    strings = [""] + ["a"] * depth
    children = [i for i in range(1, depth + 1) for _ in range(2)]
    search = _morlatch.from_internal_data(shifts, strings, [None] * (depth + 1), children)
    sender = interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        search.fuzzy_match("", 2**64 - 1, None)
    sender.wait()
    assert search.get_children(0) == [("a", 1), ("a", 1)]


def test_layout_info_reports_the_reverse_index_once_built():
    words = random_words(500, seed=3)
    search = morlatch.build(words)
    before = morlatch.layout_info(search)
    assert before["keys"] == len(set(words))
    assert before["arrays_kept"] is False and before["reverse_index_built"] is False
    assert before["reverse_index_seconds"] == 0.0
    search.fuzzy_match("abcdefg", 1, None)  # long enough to be split in two walks
    after = morlatch.layout_info(search)
    assert after["reverse_index_built"] is True and after["reverse_index_seconds"] > 0
    assert after["bytes"] > before["bytes"]
    # Ids numbered depth first: the layout cannot reproduce them, so the
    # arrays are kept beside it.
    depth_first = reference.trie_arrays(dict.fromkeys(words, 0), breadth_first=False)
    assert morlatch.layout_info(_morlatch.from_internal_data(*depth_first))["arrays_kept"] is True
    with pytest.raises(ValueError, match="not well formed"):
        morlatch.layout_info(_morlatch.from_internal_data([0], [""], [None], [0]))


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(), reason="signals need the main thread"
)
def test_ctrl_c_during_the_reverse_index_build_leaves_it_unbuilt_and_the_object_usable():
    # 150,000 two-word keys: the first split search spends a good part of a
    # second building the reverse index before it walks.
    words = morlatch.default_words()
    rng = random.Random(4)
    keys = list({f"{rng.choice(words)} {rng.choice(words)}" for _ in range(150_000)})
    query = keys[0][:-1] + "q"
    twin = morlatch.build(keys)
    expected = twin.fuzzy_match(query, 1, None)
    assert keys[0] in [key for key, _, _ in expected]
    search = morlatch.build(keys)

    # Ctrl-C every 10 ms from another process, acted on only while armed,
    # so that one lands inside the build whatever the machine's speed.
    armed = False

    def on_ctrl_c(signum: int, frame: object) -> None:
        if armed:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_ctrl_c)
    sender = subprocess.Popen(
        ["sh", "-c", f"while kill -INT {os.getpid()}; do sleep 0.01; done"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        with pytest.raises(KeyboardInterrupt):
            armed = True
            search.fuzzy_match(query, 1, None)
        armed = False
    finally:
        armed = False
        sender.kill()
        sender.wait()
        signal.signal(signal.SIGINT, previous)
    assert morlatch.layout_info(search)["reverse_index_built"] is False
    assert search.exact_match(keys[1]) == (keys[1], 1, 0)
    # The next search builds it and answers as the twin does.
    assert search.fuzzy_match(query, 1, None) == expected
    assert morlatch.layout_info(search)["reverse_index_built"] is True
