"""The catalog's part of the ``morlatch`` command: ``build --catalog``,
``search`` and ``serve`` (serve.py)."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from itertools import islice
from typing import TYPE_CHECKING

from .catalog import Catalog, Hit

if TYPE_CHECKING:
    from .cli import _Progress

# Queries read from standard input are searched this many at a time, on
# native threads.
_CHUNK = 1000


def add_build_option(build_cmd: argparse.ArgumentParser) -> None:
    build_cmd.add_argument(
        "--catalog",
        action="store_true",
        help="write a catalog of names or titles searched word by word (see 'search'): each "
        "line of WORDS is a name, optionally with a TAB and a payload; --weights ranks them",
    )


def add_search_command(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    search_cmd = sub.add_parser(
        "search",
        help="search a catalog word by word",
        description="Print the names of catalog FILE (made by 'build --catalog') that best "
        "match each QUERY, as text, payload and score, best first: query words in any order, "
        "each with a few typos, the last one also as a beginning. Without QUERY, one query is "
        "read per line of standard input; the hits of successive queries are separated by an "
        "empty line (with --json: one JSON array per line). Exits with 1 when nothing is found.",
    )
    search_cmd.add_argument("-f", "--file", metavar="FILE", required=True, help="catalog file")
    search_cmd.add_argument("queries", metavar="QUERY", nargs="*", help="the texts to look up")
    search_cmd.add_argument(
        "-n", "--limit", type=int, default=10, metavar="N", help="at most N hits (default 10)"
    )
    search_cmd.add_argument(
        "--typos",
        default="auto",
        metavar="K",
        help="typos per word: 'auto' (none below 3 letters, 1 from 3, 2 from 6) or a number",
    )
    search_cmd.add_argument(
        "--no-prefix", action="store_true", help="match the last word whole, not as a beginning"
    )
    search_cmd.add_argument("--json", action="store_true", help="print JSON arrays")
    search_cmd.set_defaults(command=search)
    from .serve import add_serve_command

    add_serve_command(sub)


def build_catalog(args: argparse.Namespace, data: bytes, report: _Progress) -> int:
    """build --catalog: a catalog file from a list of names."""
    from ._cli_io import _write_file
    from .cli import CommandError, _parse_words, _read_words
    from .wordlist import WordListError, parse_weights

    with report.stage(f"reading {args.words}"):
        table = _parse_words(data, args.words)
    weights = None
    if args.weights is not None:
        weights_data = _read_words(args.weights)
        with report.stage(f"reading {args.weights}"):
            try:
                weights = parse_weights(weights_data, args.weights, table, args.words)
            except WordListError as error:
                raise CommandError(str(error)) from None
    with report.stage(f"building a catalog of {len(table)} names"):
        try:
            catalog = Catalog(table, weights=weights, fold=True, progress=report.update)
        except ValueError as error:
            raise CommandError(f"{args.words}: {error}") from None
    with report.stage(f"writing {args.output}"):
        size = _write_file(args.output, catalog.save)
    if args.progress is not False:
        print(f"{args.output}: {len(catalog)} names, {size} bytes (catalog)", file=sys.stderr)
    return 0


def search(args: argparse.Namespace) -> int:
    from .cli import CommandError, _unicode_output, _write

    typos: int | str = args.typos
    if typos != "auto":
        try:
            typos = int(typos)
        except ValueError:
            raise CommandError(f"--typos must be 'auto' or a number, not {args.typos!r}") from None
    try:
        catalog = Catalog.load(args.file)
    except (OSError, ValueError) as error:
        raise CommandError(str(error)) from None
    found = False
    ascii_only = not _unicode_output()
    first = True
    for chunk in _chunks(args.queries or _stdin_queries()):
        try:
            results = catalog.search_many(chunk, args.limit, typos=typos, prefix=not args.no_prefix)
        except ValueError as error:
            raise CommandError(str(error)) from None
        out = []
        for hits in results:
            found = found or bool(hits)
            if args.json:
                out.append(json.dumps([_as_json(h) for h in hits], ensure_ascii=ascii_only) + "\n")
            else:
                out.append(("" if first else "\n") + "".join(_as_text(h) for h in hits))
            first = False
        _write("".join(out))
    return 0 if found else 1


def _as_json(hit: Hit) -> dict[str, object]:
    return {"text": hit.text, "payload": hit.payload, "score": hit.score, "spans": hit.spans}


def _as_text(hit: Hit) -> str:
    return f"{hit.text}\t{hit.payload}\t{hit.score:.4f}\n"


def _stdin_queries() -> Iterator[str]:
    for line in sys.stdin:
        yield line.rstrip("\r\n")


def _chunks(queries: list[str] | Iterator[str]) -> Iterator[list[str]]:
    stream = iter(queries)
    while chunk := list(islice(stream, _CHUNK)):
        yield chunk
