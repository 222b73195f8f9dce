"""Ranked fuzzy search of many queries on a Dask cluster (``pip install
'morlatch[dask]'``).

``search_many(queries, index, max_dist)`` answers a list, a Dask bag or a Dask
DataFrame column of queries with ``Index.search``'s results, each partition
answered by ``Index.search_many`` on one native thread of the worker that holds
it. The index travels to each worker once: scattered to every worker when a
distributed client is at hand, else as one task of the graph that the workers
fetch when they first need it. (Dask's active memory manager may later drop
spare copies; a worker then fetches the index from another worker.)

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
from ._bounds import MaxDist, _distances
from .index import Index, Match, _texts

__all__ = ["match_many", "search_many"]

# Chunks of a list per worker thread: enough that a slow chunk does not hold
# up the end, few enough that each runs long next to its scheduling.
_CHUNKS_PER_THREAD = 4


@overload
def search_many(
    queries: list[str] | tuple[str, ...],
    index: Index,
    max_dist: MaxDist | Iterable[MaxDist],
    *,
    limit: int | None = None,
    transpositions: bool = True,
    client: Any = None,
) -> list[list[Match]]: ...
@overload
def search_many(
    queries: Any,
    index: Index,
    max_dist: MaxDist | Iterable[MaxDist],
    *,
    limit: int | None = None,
    transpositions: bool = True,
    client: Any = None,
) -> Any: ...
def search_many(
    queries: Any,
    index: Index,
    max_dist: MaxDist | Iterable[MaxDist],
    *,
    limit: int | None = None,
    transpositions: bool = True,
    client: Any = None,
) -> Any:
    """``index.search(query, max_dist, limit=limit, transpositions=...)`` for
    every query, on a Dask cluster.

    ``queries`` is a ``dask.bag.Bag`` of str (the result: a bag of result
    lists, same partitions and order), a ``dask.dataframe.Series`` of str (a
    Series of result lists, same partitions and index), both lazy, or an
    iterable of str (a list of result lists, computed at once).

    ``max_dist`` is a number of edits or "auto" (by each query's length,
    see ``morlatch.auto_distance``) for all queries, or, for an iterable of
    queries, a sequence of them, one per query.

    ``client`` is the ``distributed.Client`` to use; None takes the current
    one, if any. A list with no client at all is answered on a
    ``distributed.LocalCluster`` started on this machine for the call and
    closed after it; a lazy collection without a client computes on whatever
    scheduler computes it. A script that starts a cluster must do so under
    ``if __name__ == "__main__":``, since the cluster's worker processes
    import the script again.

    When Dask pays: for queries that are already a Dask collection, for
    batches large enough to spread over more machines than one, or over a
    cluster that is already running. For a list on one machine,
    ``Index.search_many`` (every core, without the interpreter's lock) is
    the better choice: starting a local cluster takes seconds, and a
    running one only keeps pace. Measured on a 2-core machine (663,473
    words, k = 2): 2,000 queries took 1.0 s with ``Index.search_many``,
    7.0 s here with a cluster started for the call and 1.4 s on a running
    two-worker cluster; for large batches two workers answer about as many
    queries a second as ``search_many`` on two threads
    (benchmarks/bench_dask.py).

    Arguments are checked here, before anything is sent; a query of a bag or
    column that is not a str fails its partition with a TypeError naming it
    (its partition and place in a bag, its index label in a column). A list
    survives the loss of a worker: its chunks are the tasks' arguments, run
    again elsewhere.
    """
    if not isinstance(index, Index):
        raise TypeError(f"index must be a morlatch.Index, not {type(index).__name__!r}")
    kind = _collection_kind(queries)
    batch = _query_list(queries) if kind is None else None
    if batch is None and not _one_bound(max_dist):
        raise TypeError(
            "max_dist must be an int or 'auto' for a Dask collection of queries "
            "(one bound per query needs a list of them)"
        )
    # Checks max_dist, limit and transpositions with Index's own messages.
    _distances(max_dist, 0 if batch is None else len(batch), "queries")
    index.search_many([], 0, limit=limit, transpositions=transpositions)
    options = (max_dist, limit, transpositions)
    if batch is not None:
        return _search_list(batch, index, options, client)
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


def _one_bound(max_dist: object) -> bool:
    """Whether max_dist is one bound for all queries, not one per query."""
    return isinstance(max_dist, str) or not isinstance(max_dist, Iterable)


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


def _query_list(queries: Iterable[str]) -> list[str]:
    """The queries of the list path, checked."""
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
    return batch


def _search_list(
    batch: list[str], index: Index, options: tuple[Any, int | None, bool], client: Any
) -> list[list[Match]]:
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
        bounds = options[0]
        if _one_bound(bounds):
            bounds = [bounds] * len(chunks)
        else:  # one per query: chunked as the queries
            bounds = list(bounds)
            bounds = [bounds[start : start + size] for start in range(0, len(batch), size)]
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
            bounds,
            index=shared,
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
    queries: Iterable[str], index: Index, max_dist: Any, limit: int | None, transpositions: bool
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
    queries: bytes, max_dist: Any, index: Index, limit: int | None, transpositions: bool
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


# ---- record linkage with a Catalog ----------------------------------------------


def match_many(
    names: Any,
    catalog: Any,
    *,
    limit: int | None = 1,
    score_cutoff: float | None = None,
    client: Any = None,
) -> Any:
    """``catalog.match(name, limit=..., score_cutoff=...)`` for every name, on
    a Dask cluster: ``names`` is a Dask bag, a Dask DataFrame column (the
    result: a bag or Series of hit lists, lazy) or an iterable of str (a list
    of hit lists, computed at once), as for ``search_many``. The catalog
    travels to each worker once."""
    from .catalog import Catalog

    if not isinstance(catalog, Catalog):
        raise TypeError(f"catalog must be a morlatch.Catalog, not {type(catalog).__name__!r}")
    catalog.match_many([], limit=limit, score_cutoff=score_cutoff)  # checks the options
    options = (limit, score_cutoff)
    shareable: Any = catalog  # travels as an Index does
    kind = _collection_kind(names)
    if kind is None:
        batch = _texts_of(names)
        if not batch:
            return []
        distributed = importlib.import_module("distributed")
        own = client is None and _current_client() is None
        cluster = distributed.LocalCluster(processes=True, dashboard_address=":0") if own else None
        client = distributed.Client(cluster, set_as_default=False) if own else client
        client = client or _current_client()
        try:
            threads = max(1, sum(client.nthreads().values()))
            size = -(-len(batch) // min(len(batch), threads * _CHUNKS_PER_THREAD))
            chunks = [batch[start : start + size] for start in range(0, len(batch), size)]
            shared = _share(shareable, client)
            futures = client.map(_match_chunk, chunks, catalog=shared, options=options, pure=False)
            return [hits for future in futures for hits in future.result()]
        finally:
            if cluster is not None:
                with _shared_lock:
                    _shared.get(id(catalog), {}).pop(client.id, None)
                client.close()
                cluster.close()
    shared = _share(shareable, client if client is not None else _current_client())
    if kind == "bag":
        return names.map_partitions(_match_chunk, shared, options)
    pandas = importlib.import_module("pandas")
    meta = pandas.Series([], dtype=object, name=names.name)
    return names.map_partitions(_match_series, shared, options, meta=meta)


def _texts_of(names: Any) -> list[str]:
    return _texts("names", names)


def _match_chunk(names: Iterable[str], catalog: Any, options: tuple[Any, Any]) -> list[Any]:
    # One native thread: Dask runs one such task per worker thread.
    with _collector_paused():
        hits: list[Any] = catalog.match_many(
            names, limit=options[0], score_cutoff=options[1], workers=1
        )
        return hits


def _match_series(names: Any, catalog: Any, options: tuple[Any, Any]) -> Any:
    pandas = importlib.import_module("pandas")
    results = _match_chunk(names.tolist(), catalog, options)
    return pandas.Series(results, index=names.index, name=names.name, dtype=object)
