"""morlatch.dask on a two-worker local cluster: the same results as
Index.search_many, for a list, a bag and a DataFrame column."""

from __future__ import annotations

import gc
import os
import pickle
import random
import re
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morlatch
from morlatch import Index, Match, _engine

pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.bag  # noqa: E402
import distributed  # noqa: E402

from morlatch.dask import search_many  # noqa: E402


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def index() -> Index:
    return Index.from_prefix_search(morlatch.default_search())


@pytest.fixture(scope="module")
def queries() -> list[str]:
    """Seeded list words with up to two random edits, a few repeated."""
    rng = random.Random(5)
    words = morlatch.default_words()
    out = []
    for word in rng.sample(words, 300):
        chars = list(word)
        for _ in range(rng.randrange(3)):
            chars.insert(rng.randrange(len(chars) + 1), rng.choice("aeist"))
            del chars[rng.randrange(len(chars))]
        out.append("".join(chars))
    return out + out[:7]


OPTIONS = [
    dict(max_dist=1),
    dict(max_dist=2, limit=3, transpositions=False),
    dict(max_dist="auto", limit=5),
]


def assert_same(got: list[Any], want: list[list[Match]]) -> None:
    """Equal, and made of the same types: plain lists of Match (a tuple
    subclass, which == alone would not tell from a plain tuple)."""
    assert got == want
    assert {type(answer) for answer in got} <= {list}
    assert {type(match) for answer in got for match in answer} <= {Match}


def test_without_a_client(index: Index, queries: list[str]) -> None:
    # Runs before the cluster fixture exists. A bag takes the index in its
    # graph and computes anywhere; a list gets a cluster of its own.
    with pytest.raises(ValueError):
        distributed.get_client()
    want = index.search_many(queries, 1)
    answered = search_many(dask.bag.from_sequence(queries, npartitions=3), index, 1)
    assert answered.compute(scheduler="sync") == want
    assert_same(search_many(queries, index, 1), want)
    with pytest.raises(ValueError):
        distributed.get_client()  # that cluster's client is gone


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("kind", ["list", "bag", "column"])
def test_results_match_search_many(
    client: Any, index: Index, queries: list[str], kind: str, options: dict[str, Any]
) -> None:
    want = index.search_many(queries, **options)
    if kind == "list":
        assert_same(search_many(queries, index, client=client, **options), want)
    elif kind == "bag":
        bag = dask.bag.from_sequence(queries, npartitions=7)
        answered = search_many(bag, index, **options)
        assert answered.npartitions == bag.npartitions > 1
        assert_same(answered.compute(), want)
        # Partitions fetched as they are, as packed on the workers.
        parts = client.gather(client.compute(answered.to_delayed()))
        assert {type(part) for part in parts} == {list}
        assert_same([answer for part in parts for answer in part], want)
    else:
        dd = pytest.importorskip("dask.dataframe")
        pandas = pytest.importorskip("pandas")
        labels = range(100, 100 + len(queries))
        column = dd.from_pandas(pandas.Series(queries, index=labels, name="q"), npartitions=4)
        answered = search_many(column, index, **options)
        assert answered.npartitions == column.npartitions > 1
        got = answered.compute()
        assert got.name == "q" and got.index.tolist() == list(labels)
        assert_same(got.tolist(), want)


def test_one_bound_per_query(client: Any, index: Index, queries: list[str]) -> None:
    bounds: list[int | str] = [(0, 1, 2, "auto")[at % 4] for at in range(len(queries))]
    want = index.search_many(queries, bounds, limit=4)
    assert_same(search_many(queries, index, bounds, limit=4, client=client), want)
    assert want == [index.search(q, k, limit=4) for q, k in zip(queries, bounds, strict=True)]


# The transport's own rule, which no index reaches (its keys hold no lone
# surrogate, its payloads fit 32 bits): keys with any code point, payloads and
# distances a little past what the packed form holds (u64, u32).
MATCHES = st.tuples(
    st.text(
        st.characters(codec=None, categories=None) | st.characters(categories=["Cs"]), max_size=6
    ),
    st.integers(-1, 2**64),
    st.integers(0, 2**32),
)


@given(st.lists(st.lists(MATCHES, max_size=4), max_size=6))
def test_answers_pack_and_unpack_unchanged_or_refuse(answers: list[list[Any]]) -> None:
    packed = _engine.pack_answers(answers)
    fits = all(
        0 <= payload < 2**64
        and distance < 2**32
        and not any(0xD800 <= ord(c) < 0xE000 for c in key)
        for answer in answers
        for key, payload, distance in answer
    )
    assert (packed is not None) == fits
    if packed is not None:
        assert_same(_engine.unpack_answers(packed, Match), answers)
        for cut in (packed[:-1], packed + b"\0"):
            with pytest.raises(ValueError, match="not a pack_answers result"):
                _engine.unpack_answers(cut, Match)


@pytest.mark.parametrize(
    "answers",
    [
        [[Match("a", 1, 0), Match("ab", 2, 1)], []],
        # These cannot be packed, and are pickled as they are.
        [[Match("a\ud800", 1, 0)]],
        [[Match("a", -1, 0)], [Match("b", 1, 0)]],
    ],
)
@pytest.mark.parametrize("held", ["partition", "items"])
def test_worker_answers_arrive_as_plain_lists(answers: list[list[Match]], held: str) -> None:
    from morlatch.dask import _Answer, _Answers

    sent = _Answers(answers) if held == "partition" else [_Answer(answer) for answer in answers]
    got = pickle.loads(pickle.dumps(sent, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(got) is list
    assert_same(got, answers)


@pytest.fixture
def spare_copies_kept(client: Any) -> Iterator[None]:
    """Dask's active memory manager off: it drops spare copies of data
    every few seconds, whoever scattered them."""
    client.amm.stop()
    try:
        yield
    finally:
        client.amm.start()


@pytest.mark.usefixtures("spare_copies_kept")
def test_the_index_stays_on_every_worker_while_it_lives(client: Any, queries: list[str]) -> None:
    index = Index(queries[:50])
    others = set().union(*client.has_what().values())  # other tests' indexes

    def copies() -> list[set[str]]:
        return [
            {k for k in keys if k.startswith("Index-")} - others
            for keys in client.has_what().values()
        ]

    for _ in range(2):
        assert search_many(queries[:10], index, 1, client=client) == index.search_many(
            queries[:10], 1
        )
    # The scheduler learns of the second worker's copy a moment later.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        held = copies()
        if len({frozenset(keys) for keys in held}) == 1 and all(len(keys) == 1 for keys in held):
            break
        time.sleep(0.05)
    held = copies()
    assert len(held) == 2 and len(held[0]) == 1 and held[0] == held[1]
    del index
    gc.collect()
    deadline = time.monotonic() + 10
    while any(copies()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(copies())


def test_arguments_are_checked_before_anything_is_sent(index: Index) -> None:
    with pytest.raises(TypeError, match="index must be a morlatch.Index, not 'dict'"):
        search_many(["a"], {"a": 1}, 1)  # type: ignore[call-overload]
    with pytest.raises(ValueError, match="max_dist must not be negative, not -1"):
        search_many(["a"], index, -1)
    with pytest.raises(TypeError, match=r"queries\[1\] must be a str, not 'int'"):
        search_many(["a", 2], index, 1)
    with pytest.raises(TypeError, match="not a single str"):
        search_many("abc", index, 1)
    with pytest.raises(ValueError, match="max_dist has 1 bounds for 2 queries"):
        search_many(["a", "b"], index, [1])
    with pytest.raises(TypeError, match="max_dist must be an int or 'auto' for a Dask collection"):
        search_many(dask.bag.from_sequence(["a"]), index, [1])
    assert search_many([], index, 1) == []


def test_a_list_survives_a_worker_killed_mid_run(
    index: Index, queries: list[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    want = index.search_many(queries, 2)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        submit = client.map
        killed = []

        def map_then_kill(*args: Any, **kwargs: Any) -> Any:
            # The chunks are on their way: one worker dies with whatever it
            # holds or runs.
            futures = submit(*args, **kwargs)
            pids = client.run(os.getpid)
            victim = sorted(pids)[0]
            os.kill(pids[victim], signal.SIGKILL)
            killed.append(victim)
            return futures

        monkeypatch.setattr(client, "map", map_then_kill)
        assert_same(search_many(queries, index, 2, client=client), want)
        assert killed


@pytest.mark.parametrize("kind", ["bag", "column"])
def test_a_bad_item_is_named_by_its_place_in_the_collection(
    client: Any, index: Index, kind: str
) -> None:
    items: list[Any] = ["a", "b", "c", "d", 5, "e"]
    if kind == "bag":
        queries = dask.bag.from_sequence(items, npartitions=3)  # [a b] [c d] [5 e]
        message = "queries: item 0 of partition 2 must be a str, not 'int'"
    else:
        dd = pytest.importorskip("dask.dataframe")
        pandas = pytest.importorskip("pandas")
        series = pandas.Series(items, index=range(10, 16), dtype=object)
        with dask.config.set({"dataframe.convert-string": False}):  # keep the int an int
            queries = dd.from_pandas(series, npartitions=3)
        message = "queries[14] must be a str, not 'int'"
    with pytest.raises(TypeError, match=re.escape(message)):
        search_many(queries, index, 1, client=client).compute()


def test_importing_morlatch_does_not_import_dask() -> None:
    code = "import sys, morlatch; assert 'dask' not in sys.modules, sorted(sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)
