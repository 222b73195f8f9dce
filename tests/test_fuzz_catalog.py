"""A short pass of the catalog-file fuzz harness (tests/fuzz/fuzz_catalog.py):
its seed corpus, then random inputs. scripts/fuzz runs it for longer under
atheris."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))

from fuzz_catalog import check_one  # noqa: E402

CORPUS = sorted((Path(__file__).resolve().parent / "fuzz" / "corpus" / "catalog").iterdir())


@pytest.mark.parametrize("seed", CORPUS, ids=lambda path: path.name)
def test_seed(seed: Path) -> None:
    check_one(seed.read_bytes())


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=60))
def test_random_input(data: bytes) -> None:
    check_one(data)
