"""The ``morlatch`` command: build, query and describe tries from the shell.

Exit status: 0 on success, 1 when a file cannot be read or is not valid (or
when a query or completion finds nothing), 2 for a wrong command line.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TextIO

import _morlatch
from _morlatch import from_internal_data

from . import __version__
from .builder import build, layout
from .index import Index
from .panic import is_panic
from .storage import save
from .wordlist import WordListError, default_search, parse_word_list

__all__ = ["main"]

# Inputs at least this large show progress on a terminal without --progress.
_LARGE_INPUT = 1 << 20


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        command: Callable[[argparse.Namespace], int] = args.command
        return command(args)
    except CommandError as error:
        print(f"morlatch: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("morlatch: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


class _IntermixedParser(argparse.ArgumentParser):
    """Lets options stand between positionals (`query FILE -k 1 QUERY`).

    Plain parsing assigns positionals chunk by chunk, so FILE would be taken
    for QUERY when an option separates the two.
    """

    _mixing = False

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        if self._mixing:
            return super().parse_known_args(args, namespace)
        self._mixing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._mixing = False


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="morlatch",
        description="Exact and typo-tolerant lookup over a static trie.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(
        title="commands", metavar="COMMAND", required=True, parser_class=_IntermixedParser
    )

    build_cmd = commands.add_parser(
        "build",
        help="build a trie file from a word list",
        description="Build a trie from WORDS (UTF-8, one key per line, optionally a TAB "
        "and a payload; a key without one gets its 0-based line number) and save it to FILE.",
    )
    build_cmd.add_argument("words", metavar="WORDS", help="the word list")
    build_cmd.add_argument("-o", "--output", metavar="FILE", required=True, help="trie file")
    progress = build_cmd.add_mutually_exclusive_group()
    progress.add_argument(
        "--progress",
        action="store_true",
        default=None,
        help="always report progress on stderr (default: on a terminal, for large inputs)",
    )
    progress.add_argument(
        "--quiet", dest="progress", action="store_false", help="report nothing on stderr"
    )
    build_cmd.set_defaults(command=_build)

    query_cmd = commands.add_parser(
        "query",
        help="look up keys within an edit distance",
        usage="%(prog)s [-h] [-k K] [-n N] [-t | --walk-order] [--json] "
        "[--format {auto,trie,words}] [FILE] QUERY",
        description="Print every key of FILE within --max-dist edits of QUERY, as key, payload "
        "and distance, closest first (then in code-point order). FILE is a trie file or a word "
        "list; without it, the shipped English word list is searched. Exits with 1 when "
        "nothing is found.",
    )
    query_cmd.add_argument("file", metavar="FILE", nargs="?", help="trie file or word list")
    query_cmd.add_argument("query", metavar="QUERY", help="the text to look up")
    query_cmd.add_argument(
        "-k", "--max-dist", type=_count, default=0, metavar="K", help="edit distance (default 0)"
    )
    query_cmd.add_argument(
        "-n", "--limit", type=_count, default=None, metavar="N", help="print the N best hits"
    )
    order = query_cmd.add_mutually_exclusive_group()
    order.add_argument(
        "-t",
        "--transpositions",
        action="store_true",
        help="count swapping two adjacent characters as one edit",
    )
    order.add_argument(
        "--walk-order",
        action="store_true",
        help="print hits in the order the search finds them (not ranked); with --limit, "
        "the first N found",
    )
    query_cmd.add_argument("--json", action="store_true", help="print a JSON array")
    _add_format(query_cmd)
    query_cmd.set_defaults(command=_query)

    complete_cmd = commands.add_parser(
        "complete",
        help="complete a beginning, despite typos",
        usage="%(prog)s [-h] [-k K] [-n N] [-t] [--json] [--format {auto,trie,words}] "
        "[FILE] PREFIX",
        description="Print the keys of FILE that begin with some text within --max-dist edits "
        "of PREFIX, as key, payload and distance, best first: by that distance, then shorter "
        "keys, then code-point order. FILE is as for query. Exits with 1 when nothing is found.",
    )
    complete_cmd.add_argument("file", metavar="FILE", nargs="?", help="trie file or word list")
    complete_cmd.add_argument("prefix", metavar="PREFIX", help="the beginning to complete")
    complete_cmd.add_argument(
        "-k", "--max-dist", type=_count, default=0, metavar="K", help="edit distance (default 0)"
    )
    complete_cmd.add_argument(
        "-n", "--limit", type=_count, default=10, metavar="N", help="at most N keys (default 10)"
    )
    complete_cmd.add_argument(
        "-t",
        "--transpositions",
        action="store_true",
        help="count swapping two adjacent characters as one edit",
    )
    complete_cmd.add_argument("--json", action="store_true", help="print a JSON array")
    _add_format(complete_cmd)
    complete_cmd.set_defaults(command=_complete)

    stats_cmd = commands.add_parser(
        "stats",
        help="describe a trie",
        description="Print the node count, key count, depth and serialized size of FILE.",
    )
    stats_cmd.add_argument("file", metavar="FILE", help="trie file or word list")
    stats_cmd.add_argument("--json", action="store_true", help="print a JSON object")
    _add_format(stats_cmd)
    stats_cmd.set_defaults(command=_stats)
    return parser


def _add_format(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format",
        choices=("auto", "trie", "words"),
        default="auto",
        help="how to read FILE; auto (the default) reads a file containing a NUL byte as "
        "a trie file (every trie file does) and any other file as a word list",
    )


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _build(args: argparse.Namespace) -> int:
    data = _read(args.words)
    show = args.progress
    if show is None:
        show = sys.stderr.isatty() and len(data) >= _LARGE_INPUT
    report = _Progress(sys.stderr if show else None)
    with report.stage(f"reading {args.words}"):
        table = _parse_words(data, args.words)
    del data
    keys = len(table)
    with report.stage(f"building a trie of {keys} keys"):
        arrays = layout(table, progress=report.update)
        del table
        nodes = len(arrays.node_strings)
        search = from_internal_data(*arrays)
        del arrays
    with report.stage(f"writing {args.output}"):
        try:
            save(search, args.output)
            size = os.path.getsize(args.output)
        except OSError as error:
            raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    if args.progress is not False:
        print(f"{args.output}: {keys} keys, {nodes} nodes, {size} bytes", file=sys.stderr)
    return 0


def _query(args: argparse.Namespace) -> int:
    search = default_search() if args.file is None else _open(args.file, args.format)
    if not args.walk_order:
        hits: Sequence[tuple[str, int, int]] = _index(search, args.file).search(
            args.query, args.max_dist, limit=args.limit, transpositions=args.transpositions
        )
        return _print_hits(hits, args.json)
    try:
        hits = search.fuzzy_match(args.query, args.max_dist, args.limit)
    except BaseException as error:
        if is_panic(error):
            raise CommandError(f"{args.file}: malformed trie: {error}") from None
        raise
    return _print_hits(hits, args.json)


def _complete(args: argparse.Namespace) -> int:
    search = default_search() if args.file is None else _open(args.file, args.format)
    hits = _index(search, args.file).complete(
        args.prefix, args.max_dist, limit=args.limit, transpositions=args.transpositions
    )
    return _print_hits(hits, args.json)


def _index(search: _morlatch.PrefixSearch, path: str | None) -> Index:
    try:
        return Index.from_prefix_search(search)
    except ValueError as error:
        raise CommandError(f"{path}: malformed trie: {error}") from None


def _print_hits(hits: Sequence[tuple[str, int, int]], as_json: bool) -> int:
    """Prints the hits; the exit status is 1 when there are none."""
    if as_json:
        rows = [{"key": key, "payload": payload, "distance": dist} for key, payload, dist in hits]
        json.dump(rows, sys.stdout, ensure_ascii=False)
        sys.stdout.write("\n")
    else:
        sys.stdout.writelines(f"{key}\t{payload}\t{dist}\n" for key, payload, dist in hits)
    sys.stdout.flush()
    return 0 if hits else 1


def _stats(args: argparse.Namespace) -> int:
    search = _open(args.file, args.format)
    try:
        summary = _summary(search)
    except BaseException as error:
        if is_panic(error):
            raise CommandError(f"{args.file}: malformed trie: {error}") from None
        raise
    if args.json:
        json.dump(summary, sys.stdout)
        sys.stdout.write("\n")
    else:
        width = max(map(len, summary))
        for name, value in summary.items():
            print(f"{name:<{width}}  {value}")
    sys.stdout.flush()
    return 0


def _summary(search: _morlatch.PrefixSearch) -> dict[str, int]:
    """Nodes and keys reachable from the root, the deepest key and the byte size."""
    image = search.to_bytes()
    size = _leading_count(image)
    seen = bytearray(size)
    nodes = keys = depth = 0
    level = [0]
    level_depth = 0
    while level:
        below: list[int] = []
        for node in level:
            if node >= size or seen[node]:
                raise CommandError("malformed trie: the nodes do not form a tree")
            seen[node] = 1
            nodes += 1
            if node and search.get_payload(node) is not None:
                keys += 1
                depth = level_depth
            below.extend(child for _, child in search.get_children(node))
        level = below
        level_depth += 1
    return {"nodes": nodes, "keys": keys, "depth": depth, "bytes": len(image)}


def _leading_count(image: bytes) -> int:
    # The image starts with the node count as a variable-length integer.
    if not image:
        return 0
    first = image[0]
    width = {0xFB: 2, 0xFC: 4, 0xFD: 8}.get(first)
    return first if width is None else int.from_bytes(image[1 : 1 + width], "little")


def _open(path: str, form: str) -> _morlatch.PrefixSearch:
    data = _read(path)
    if form == "trie" or (form == "auto" and b"\0" in data):
        try:
            return _morlatch.from_bytes(data)
        except BaseException as error:
            if is_panic(error):
                hint = "; use --format words for a word list" if form == "auto" else ""
                raise CommandError(f"{path}: not a trie file ({error}){hint}") from None
            raise
    return build(_parse_words(data, path))


def _read(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _parse_words(data: bytes, path: str) -> dict[str, int]:
    try:
        return parse_word_list(data, path)
    except WordListError as error:
        raise CommandError(str(error)) from None


class _Progress:
    """Stage lines on stderr, with a bar while a stage reports its progress.

    On a terminal the bar is redrawn in place; elsewhere only each finished
    stage is printed, so logs stay short.
    """

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream
        self._live = stream is not None and stream.isatty()
        self._label = ""
        self._shown = -1

    def stage(self, label: str) -> _Stage:
        return _Stage(self, label)

    def update(self, done: int, total: int) -> None:
        if not self._live or self._stream is None or total <= 0:
            return
        percent = min(100, done * 100 // total)
        if percent != self._shown:
            self._shown = percent
            bar = "#" * (percent * 30 // 100)
            self._stream.write(f"\r{self._label} [{bar:<30}] {percent:3d}%")
            self._stream.flush()

    def _begin(self, label: str) -> None:
        self._label = label
        self._shown = -1
        if self._live and self._stream is not None:
            self._stream.write(f"{label} ...")
            self._stream.flush()

    def _abandon(self) -> None:
        # Ends the half-drawn line so that an error message starts afresh.
        if self._live and self._stream is not None:
            self._stream.write("\n")
            self._stream.flush()

    def _end(self, seconds: float) -> None:
        if self._stream is None:
            return
        prefix = "\r\x1b[K" if self._live else ""
        self._stream.write(f"{prefix}{self._label}: done in {seconds:.1f} s\n")
        self._stream.flush()


class _Stage:
    def __init__(self, progress: _Progress, label: str) -> None:
        self._progress = progress
        self._label = label
        self._start = 0.0

    def __enter__(self) -> None:
        self._start = time.perf_counter()
        self._progress._begin(self._label)

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        if kind is None:
            self._progress._end(time.perf_counter() - self._start)
        else:
            self._progress._abandon()
