"""Memory limits of the ranked searches on very long keys and queries.

Ranked search, completion and correction keep a band of cells per trie
level, not a whole row: on a key of 20,000 characters a whole row per level
would take gigabytes.
Each call runs in a child interpreter under an address-space cap (except under
the sanitizers, which reserve vast address space) and reports how much its
peak resident memory grew.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

SANITIZED = bool(os.environ.get("MORLATCH_SANITIZED"))
LENGTH = 20_000
GROWTH_LIMIT_MB = 200

CHILD = """
import json, resource, sys
cap = int(sys.argv[1])
if cap:
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
import morlatch
key = "a" * {length}
index = morlatch.Index([key]{options})
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
hits = {call}
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({{"hits": [[h.key == key, h.payload, h.distance] for h in hits],
                   "growth_kb": after - before}}))
"""

TYPO = f'"a" * {LENGTH // 2 - 1} + "ba" + "a" * {LENGTH // 2 - 1}'


@pytest.mark.parametrize(
    ("call", "distance"),
    [
        ("index.complete(key, 1)", 0),
        ("index.complete(key, 1, transpositions=True)", 0),
        ('index.complete(key[:-1] + "b", 1)', 1),
        ("index.search(key, 1, transpositions=True)", 0),
        ("index.search(key, 1)", 0),
        (f"index.search({TYPO}, 2, transpositions=True)", 1),
        (f"index.search({TYPO}, 2, limit=1)", 1),
    ],
)
def test_long_keys_cost_a_band_per_level(call: str, distance: int) -> None:
    report = _run(CHILD.format(length=LENGTH, call=call, options=""))
    assert report["hits"] == [[True, 0, distance]]
    if not SANITIZED:
        assert report["growth_kb"] < GROWTH_LIMIT_MB * 1024


def _run(code: str) -> dict[str, object]:
    cap = 0 if SANITIZED else 1 << 30
    done = subprocess.run(
        [sys.executable, "-c", code, str(cap)],
        capture_output=True,
        text=True,
        env=os.environ,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)  # type: ignore[no-any-return]


# Correction keeps a band per level too, with or without the error model.
@pytest.mark.parametrize("options", ["", ", weights={key: 5}", ", fold=True"])
@pytest.mark.parametrize(
    ("call", "distance"),
    [("index.correct(key[:-1] + 'b')", 1), (f"index.correct({TYPO}, 3, rule='plain')", 1)],
)
def test_correct_takes_words_of_any_length(options: str, call: str, distance: int) -> None:
    report = _run(CHILD.format(length=LENGTH, call=call, options=options))
    assert report["hits"] == [[True, 0, distance]]
    if not SANITIZED:
        assert report["growth_kb"] < GROWTH_LIMIT_MB * 1024


# Weighted or folded completion walks the same banded rows as correction.
@pytest.mark.parametrize("options", [", weights={key: 5}", ", fold=True"])
@pytest.mark.parametrize(
    ("call", "distance"),
    [
        ("index.complete(key, 1)", 0),
        ('index.complete(key[:-1] + "b", 1)', 1),
        (f"index.complete({TYPO}, 2, transpositions=True)", 1),
    ],
)
def test_weighted_or_folded_completion_takes_prefixes_of_any_length(
    options: str, call: str, distance: int
) -> None:
    report = _run(CHILD.format(length=LENGTH, call=call, options=options))
    assert report["hits"] == [[True, 0, distance]]
    if not SANITIZED:
        assert report["growth_kb"] < GROWTH_LIMIT_MB * 1024
