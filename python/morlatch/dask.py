"""Ranked fuzzy search of many queries on a Dask cluster (``pip install
'morlatch[dask]'``).

``search_many(queries, index, max_dist)`` answers a list, a Dask bag or a Dask
DataFrame column of queries with ``Index.search``'s results, each partition
answered by ``Index.search_many`` on one native thread of the worker that holds
it. The index travels to each worker once: scattered to every worker when a
distributed client is at hand, else as one task of the graph that the workers
fetch when they first need it.

Importing ``morlatch`` does not import this module, nor Dask.
"""

from __future__ import annotations

import contextlib
import gc
import importlib
import pickle
import sys
import threading
import uuid
import weakref
from collections.abc import Iterable, Iterator
from typing import Any, overload

from . import _engine
from .index import Index, Match

__all__ = ["search_many"]

# Chunks of a list per worker thread: enough that a slow chunk does not hold
# up the end, few enough that each runs long next to its scheduling.
_CHUNKS_PER_THREAD = 4


@overload
def search_many(
    queries: list[str] | tuple[str, ...],
    index: Index,
    max_dist: int,
    *,
    limit: int | None = None,
    transpositions: bool = False,
    client: Any = None,
) -> list[list[Match]]: ...
@overload
def search_many(
    queries: Any,
    index: Index,
    max_dist: int,
    *,
    limit: int | None = None,
    transpositions: bool = False,
    client: Any = None,
) -> Any: ...
def search_many(
    queries: Any,
    index: Index,
    max_dist: int,
    *,
    limit: int | None = None,
    transpositions: bool = False,
    client: Any = None,
) -> Any:
    """``index.search(query, max_dist, limit=limit, transpositions=...)`` for
    every query, on a Dask cluster.

    ``queries`` is a ``dask.bag.Bag`` of str (the result: a bag of result
    lists, same partitions and order), a ``dask.dataframe.Series`` of str (a
    Series of result lists, same partitions and index), both lazy, or an
    iterable of str (a list of result lists, computed at once).

    ``client`` is the ``distributed.Client`` to use; None takes the current
    one, if any. A list with no client at all is answered on a
    ``distributed.LocalCluster`` started on this machine for the call and
    closed after it; a lazy collection without a client computes on whatever
    scheduler computes it.

    Arguments are checked here, before anything is sent; a query of a bag or
    column that is not a str fails its partition with a TypeError naming it
    (its partition and place in a bag, its index label in a column). A list
    survives the loss of a worker: its chunks are the tasks' arguments, run
    again elsewhere.
    """
    if not isinstance(index, Index):
        raise TypeError(f"index must be a morlatch.Index, not {type(index).__name__!r}")
    # Checks max_dist, limit and transpositions with Index's own messages.
    index.search_many([], max_dist, limit=limit, transpositions=transpositions)
    options = (max_dist, limit, transpositions)
    kind = _collection_kind(queries)
    if kind is None:
        return _search_list(queries, index, options, client)
    if client is None:
        client = _current_client()
    shared = _share(index, client)
    if kind == "bag":
        # Each partition with its number, so that an error names the item.
        numbers = importlib.import_module("dask.bag").range(
            queries.npartitions, npartitions=queries.npartitions
        )
        return queries.map_partitions(_answer_bag, numbers, shared, *options)
    pandas = importlib.import_module("pandas")
    meta = pandas.Series([], dtype=object, name=queries.name)
    return queries.map_partitions(_answer_series, shared, *options, meta=meta)


def _collection_kind(queries: object) -> str | None:
    """Which Dask collection queries is: a bag, a series, or (None) none."""
    if "dask" not in sys.modules:
        return None  # no Dask collection can exist
    bag = sys.modules.get("dask.bag")
    if bag is not None and isinstance(queries, bag.Bag):
        return "bag"
    frame = sys.modules.get("dask.dataframe")
    if frame is not None and isinstance(queries, frame.Series):
        return "series"
    if importlib.import_module("dask").is_dask_collection(queries):
        raise TypeError(
            "queries must be a Dask bag, a Dask DataFrame column (Series) or an iterable of str, "
            f"not {type(queries).__name__!r}"
        )
    return None


def _search_list(
    queries: Iterable[str], index: Index, options: tuple[int, int | None, bool], client: Any
) -> list[list[Match]]:
    if isinstance(queries, str):
        raise TypeError("queries must be an iterable of str, not a single str")
    try:
        batch = list(queries)
    except TypeError:
        raise TypeError(
            f"queries must be an iterable of str, not {type(queries).__name__!r}"
        ) from None
    for position, query in enumerate(batch):
        if not isinstance(query, str):
            raise TypeError(f"queries[{position}] must be a str, not {type(query).__name__!r}")
    if not batch:
        return []
    distributed = importlib.import_module("distributed")
    cluster = None
    if client is None:
        client = _current_client()
    if client is None:
        cluster = distributed.LocalCluster(processes=True, dashboard_address=":0")
        client = distributed.Client(cluster, set_as_default=False)
    try:
        threads = max(1, sum(client.nthreads().values()))
        count = min(len(batch), threads * _CHUNKS_PER_THREAD)
        size = -(-len(batch) // count)
        chunks = [batch[start : start + size] for start in range(0, len(batch), size)]
        shared = _share(index, client)
        # Chunks travel pickled and answers packed (see _Answers), one bytes
        # object each: Dask would serialise a list item by item, and pickling
        # the named tuples costs nearly as much as the searches. The chunks
        # are the tasks' own arguments, which the scheduler keeps: when a
        # worker dies, its tasks run again elsewhere (data scattered to it
        # would be lost with it).
        packed = [pickle.dumps(chunk, protocol=pickle.HIGHEST_PROTOCOL) for chunk in chunks]
        futures = client.map(
            _answer_chunk,
            packed,
            index=shared,
            max_dist=options[0],
            limit=options[1],
            transpositions=options[2],
            pure=False,
        )
        out: list[list[Match]] = []
        # In order, each as soon as it is done: the client rebuilds one
        # chunk's answers while the workers search the next.
        for future in futures:
            out.extend(future.result())
        return out
    finally:
        if cluster is not None:
            with _shared_lock:
                _shared.get(id(index), {}).pop(client.id, None)
            client.close()
            cluster.close()


def _current_client() -> Any:
    """The current distributed client, or None."""
    if "distributed" not in sys.modules:
        return None
    try:
        return sys.modules["distributed"].get_client()
    except ValueError:
        return None


# id(index) -> {client id: the future of its copy on that client's workers}.
# A copy stays as long as its index lives, so later calls send nothing and
# find the reverse index that earlier searches built on the workers.
_shared: dict[int, dict[str, Any]] = {}
_shared_lock = threading.Lock()


def _share(index: Index, client: Any) -> Any:
    """The index as tasks can take it: on every worker of ``client``, or, with
    no client, as one task of the graph."""
    if client is None:
        delayed = importlib.import_module("dask").delayed
        return delayed(index, name=f"morlatch-index-{uuid.uuid4().hex}")
    with _shared_lock:
        copies = _shared.get(id(index))
        if copies is None:
            copies = _shared[id(index)] = {}
            weakref.finalize(index, _shared.pop, id(index), None)
        for name, held in list(copies.items()):
            if held.client.status in ("closing", "closed"):
                del copies[name]
        future = copies.get(client.id)
        if future is None or future.status != "finished":
            future = client.scatter(index, broadcast=True, hash=False)
            copies[client.id] = future
        return future


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off for a while (if it was on).

    Making a million result lists would otherwise set off collection after
    collection, each walking every container made so far: a fifth of a
    batch's time in the worker, nine tenths of rebuilding it in the client.
    The lists and tuples made are in no cycle; the collector's next pass
    takes them as usual.
    """
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


class _Answers(list):  # type: ignore[type-arg]
    """Result lists as a worker holds them: they pickle as one packed bytes
    object, rebuilt as a plain list, rather than tuple by tuple.

    A chunk's answers and a bag's partition are one; so is each item of a
    column's partition (an _Answer), which pandas pickles item by item."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, ...]:
        answers = list(self)
        packed = _engine.pack_answers(answers)
        if packed is None:  # some answer the packed form cannot hold
            return (list, (answers,))
        return (_rebuilt, (packed,))


class _Answer(list):  # type: ignore[type-arg]
    """One query's result list, as a worker holds it (see _Answers)."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, ...]:
        answer = list(self)
        packed = _engine.pack_answers([answer])
        if packed is None:
            return (list, (answer,))
        return (_rebuilt_one, (packed,))


def _rebuilt(packed: bytes) -> list[list[Match]]:
    with _collector_paused():
        return _engine.unpack_answers(packed, Match)


def _rebuilt_one(packed: bytes) -> list[Match]:
    return _engine.unpack_answers(packed, Match)[0]


def _on_worker() -> bool:
    """Whether this runs in a task on a distributed worker, whose results
    may travel pickled."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return False
    try:
        distributed.get_worker()
    except ValueError:
        return False
    return True


def _answer(
    queries: Iterable[str], index: Index, max_dist: int, limit: int | None, transpositions: bool
) -> list[list[Match]]:
    # One native thread: Dask runs one such task per worker thread.
    with _collector_paused():
        return index.search_many(
            queries, max_dist, limit=limit, transpositions=transpositions, workers=1
        )


def _answer_bag(
    queries: Iterable[str],
    number: list[int],
    index: Index,
    max_dist: int,
    limit: int | None,
    transpositions: bool,
) -> list[list[Match]]:
    queries = list(queries)
    for position, query in enumerate(queries):
        if not isinstance(query, str):
            raise TypeError(
                f"queries: item {position} of partition {number[0]} must be a str, "
                f"not {type(query).__name__!r}"
            )
    answers = _answer(queries, index, max_dist, limit, transpositions)
    if not _on_worker():
        return answers
    return _Answers(answers)


def _answer_chunk(
    queries: bytes, index: Index, max_dist: int, limit: int | None, transpositions: bool
) -> list[list[Match]]:
    return _Answers(_answer(pickle.loads(queries), index, max_dist, limit, transpositions))


def _answer_series(
    queries: Any, index: Index, max_dist: int, limit: int | None, transpositions: bool
) -> Any:
    pandas = importlib.import_module("pandas")
    batch = queries.tolist()
    for label, query in zip(queries.index, batch, strict=True):
        if not isinstance(query, str):
            raise TypeError(f"queries[{label!r}] must be a str, not {type(query).__name__!r}")
    results = _answer(batch, index, max_dist, limit, transpositions)
    if _on_worker():
        results = [_Answer(answer) for answer in results]
    return pandas.Series(results, index=queries.index, name=queries.name, dtype=object)
