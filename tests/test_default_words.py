"""The shipped word list and its prebuilt trie: morlatch.default_words and
morlatch.default_search."""

from __future__ import annotations

import gzip
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _morlatch
import morlatch
from morlatch import builder
from reference import fuzzy_hits

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "morlatch" / "data"


@pytest.fixture(scope="module")
def built_default() -> _morlatch.PrefixSearch:
    """The trie built from the shipped list, as the package did before it
    shipped the prebuilt image."""
    return morlatch.build(morlatch.default_words())


def test_default_word_list() -> None:
    words = morlatch.default_words()
    assert len(words) > 50_000 and "" not in words
    assert len(set(words)) == len(words), "payload = position needs distinct words"
    search = morlatch.default_search()
    assert morlatch.default_search() is search
    for word in ("hello", "help", words[0], words[-1]):
        assert search.exact_match(word) == (word, words.index(word), 0)


def test_shipped_image_is_what_the_builder_makes(built_default: _morlatch.PrefixSearch) -> None:
    # Fails when words.txt.gz or the builder changed without rerunning
    # scripts/make_default_trie.py.
    packed = (DATA / "words.trie.gz").read_bytes()
    assert packed[:3] == b"\x1f\x8b\x08", "not a gzip file"
    assert packed[4:8] == bytes(4), "gzip header carries a time stamp"
    expected = built_default.to_bytes()
    assert gzip.decompress(packed) == expected
    assert morlatch.default_search().to_bytes() == expected


def test_default_search_loads_the_image_without_building(monkeypatch: pytest.MonkeyPatch) -> None:
    def must_not_run(*args: object, **kwargs: object) -> None:
        pytest.fail("the shipped trie was built instead of loaded")

    monkeypatch.setattr(builder, "_lay_out", must_not_run)
    monkeypatch.setattr(_morlatch, "from_internal_data", must_not_run)
    morlatch.default_search.cache_clear()
    try:
        search = morlatch.default_search()
    finally:
        morlatch.default_search.cache_clear()
    assert search.exact_match("hello") is not None


@pytest.mark.parametrize(
    ("query", "max_dist"), [("helo", 1), ("wrld", 1), ("ox", 2), ("é", 1), ("qz", 1)]
)
def test_default_search_agrees_with_brute_force(
    query: str, max_dist: int, built_default: _morlatch.PrefixSearch
) -> None:
    words = morlatch.default_words()
    hits = morlatch.default_search().fuzzy_match(query, max_dist, None)
    # Only words of a near length can be close enough; skip the rest cheaply.
    near = {w: i for i, w in enumerate(words) if abs(len(w) - len(query)) <= max_dist}
    assert len(hits) == len(set(hits))
    assert set(hits) == fuzzy_hits(near, query, max_dist)
    assert hits == built_default.fuzzy_match(query, max_dist, None)


def test_make_default_trie_check_passes() -> None:
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_morlatch.__file__))
    done = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "make_default_trie.py"), "--check"],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "up to date" in done.stdout
