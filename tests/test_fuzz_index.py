"""A short pass of the Index fuzz harness (tests/fuzz/fuzz_index.py): its
seed corpus (the inputs that once failed included), then random and mutated
inputs. scripts/fuzz runs it for longer under atheris."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))

from fuzz_index import check_one  # noqa: E402

CORPUS = sorted((Path(__file__).resolve().parent / "fuzz" / "corpus" / "index").iterdir())


@pytest.mark.parametrize("seed", CORPUS, ids=lambda path: path.name)
def test_seed(seed: Path) -> None:
    check_one(seed.read_bytes())


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=80))
def test_random_input(data: bytes) -> None:
    check_one(data)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(CORPUS), st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255))))
def test_mutated_seed(seed: Path, changes: list[tuple[int, int]]) -> None:
    data = bytearray(seed.read_bytes())
    for where, value in changes:
        if data:
            data[where % len(data)] = value
    check_one(bytes(data))
