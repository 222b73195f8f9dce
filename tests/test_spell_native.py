"""The speller's native sounds-like key against its rules as regular
expressions."""

from __future__ import annotations

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import reference
from morlatch._spelldata import _english_counts
from morlatch.sounds import sounds_like

# Letters the rules look at, in the groups they act on, and a few that the
# key drops or that make a word key as itself.
_SPELT = st.text(
    st.sampled_from(list("aeiouyhgnkpwrsmbctdqxzvfl") + ["'", "-", "1", "é", "K", "\ud800"]),
    max_size=12,
)


@settings(max_examples=2000, deadline=None)
@given(_SPELT)
@example("")
@example("ghost")
@example("schtick")
@example("aha")
def test_sounds_like_follows_its_rules(word: str) -> None:
    assert sounds_like(word) == reference.sounds_like(word)


def test_sounds_like_keys_every_shipped_word_by_its_rules() -> None:
    words = list(_english_counts())
    assert [sounds_like(w) for w in words] == [reference.sounds_like(w) for w in words]


def test_sounds_like_names_a_bad_argument() -> None:
    with pytest.raises(TypeError, match="word must be a str"):
        sounds_like(b"fone")  # type: ignore[arg-type]
