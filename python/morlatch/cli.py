"""The ``morlatch`` command: build, query, complete and describe tries from the shell.

Exit status: 0 on success, 1 when a file cannot be read or is not valid (or
when a query or completion finds nothing), 2 for a wrong command line.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import TextIO

import _morlatch

from . import _engine
from .builder import build
from .index import Index, layout_info
from .panic import is_panic
from .storage import save
from .wordlist import WordKeys, WordListError, default_search, parse_word_list

__all__ = ["main"]

# Inputs at least this large show progress on a terminal without --progress.
_LARGE_INPUT = 1 << 20

# One line per command, for `morlatch --help`.
_SUMMARIES = {
    "build": "build a trie file from a word list",
    "query": "look up keys within an edit distance",
    "complete": "complete a beginning, despite typos",
    "stats": "describe a trie",
}

# The native module takes distances and limits as unsigned 64-bit integers.
_LARGEST_COUNT = 2**64 - 1

_SWAP_HELP = "count swapping two adjacent characters as one edit"


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse(sys.argv[1:] if argv is None else list(argv))
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


def _parse(argv: list[str]) -> argparse.Namespace:
    """The parsed command line; exits with status 2 on a usage error.

    Each command has a parser of its own, which lets options stand between
    the positionals (`query FILE -k 1 QUERY`): parse_intermixed_args, which
    does that, does not work through subparsers.
    """
    commands = _command_parsers()
    if argv and argv[0] in commands:
        return _parse_intermixed(commands[argv[0]], argv[1:])
    # No command first: help, --version or a usage error, unless "--" came
    # before the command.
    top = _top_parser(commands)
    args = top.parse_args(argv)
    return _parse_intermixed(commands[args.name], args.arguments)


def _parse_intermixed(parser: argparse.ArgumentParser, args: list[str]) -> argparse.Namespace:
    """parser.parse_intermixed_args(args), with every word after "--" a
    positional: argparse (3.11 to 3.13) loses a "--" that no positional
    precedes and then reads a query such as "-help" as an option. Such words
    are parsed behind a NUL, which no command line holds, and then restored."""
    if "--" not in args:
        return parser.parse_intermixed_args(args)
    cut = args.index("--")
    after = [f"\0{word}" if word.startswith("-") else word for word in args[cut + 1 :]]
    namespace = parser.parse_intermixed_args(args[:cut] + after)
    for name, value in vars(namespace).items():
        if isinstance(value, str) and value.startswith("\0"):
            setattr(namespace, name, value[1:])
    return namespace


def _top_parser(commands: dict[str, argparse.ArgumentParser]) -> argparse.ArgumentParser:
    listing = "\n".join(f"  {name:<8} {_SUMMARIES[name]}" for name in commands)
    parser = argparse.ArgumentParser(
        prog="morlatch",
        usage="%(prog)s [-h] [--version] COMMAND ...",
        description=f"Exact and typo-tolerant lookup over a static trie.\n\ncommands:\n{listing}",
        epilog="Run 'morlatch COMMAND -h' for the options of a command.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("name", metavar="COMMAND", choices=commands, help=argparse.SUPPRESS)
    parser.add_argument("arguments", nargs="*", default=[], help=argparse.SUPPRESS)
    return parser


def _version() -> str:
    from importlib import metadata  # only for --help and --version: it is slow to import

    try:
        return metadata.version("morlatch")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        return "(not installed)"


def _command_parsers() -> dict[str, argparse.ArgumentParser]:
    build_cmd = argparse.ArgumentParser(
        prog="morlatch build",
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

    query_cmd = argparse.ArgumentParser(
        prog="morlatch query",
        usage="%(prog)s [-h] [-k K] [-n N] [-t | --walk-order] [--json] "
        "[--format {auto,trie,words}] [FILE] QUERY",
        description="Print every key of FILE within --max-dist edits of QUERY, as key, payload "
        "and distance, closest first (then in code-point order). FILE is a trie file or a word "
        "list; without it, the shipped English word list is searched. Exits with 1 when "
        "nothing is found.",
    )
    _add_lookup(query_cmd, "query", "QUERY", "the text to look up", None, "print the N best hits")
    order = query_cmd.add_mutually_exclusive_group()
    order.add_argument("-t", "--transpositions", action="store_true", help=_SWAP_HELP)
    order.add_argument(
        "--walk-order",
        action="store_true",
        help="print hits in the order the search finds them (not ranked); with --limit, "
        "the first N found",
    )
    query_cmd.add_argument("--json", action="store_true", help="print a JSON array")
    _add_format(query_cmd)
    query_cmd.set_defaults(command=_query)

    complete_cmd = argparse.ArgumentParser(
        prog="morlatch complete",
        usage="%(prog)s [-h] [-k K] [-n N] [-t] [--json] [--format {auto,trie,words}] "
        "[FILE] PREFIX",
        description="Print the keys of FILE that begin with some text within --max-dist edits "
        "of PREFIX, as key, payload and distance, best first: by that distance, then shorter "
        "keys, then code-point order. FILE is as for query. Exits with 1 when nothing is found.",
    )
    _add_lookup(
        complete_cmd,
        "prefix",
        "PREFIX",
        "the beginning to complete",
        10,
        "at most N keys (default 10)",
    )
    complete_cmd.add_argument("-t", "--transpositions", action="store_true", help=_SWAP_HELP)
    complete_cmd.add_argument("--json", action="store_true", help="print a JSON array")
    _add_format(complete_cmd)
    complete_cmd.set_defaults(command=_complete)

    stats_cmd = argparse.ArgumentParser(
        prog="morlatch stats",
        description="Print the node count, key count, depth and serialized size of FILE.",
    )
    stats_cmd.add_argument("file", metavar="FILE", help="trie file or word list")
    stats_cmd.add_argument("--json", action="store_true", help="print a JSON object")
    _add_format(stats_cmd)
    stats_cmd.set_defaults(command=_stats)
    return {
        "build": build_cmd,
        "query": query_cmd,
        "complete": complete_cmd,
        "stats": stats_cmd,
    }


def _add_lookup(
    parser: argparse.ArgumentParser,
    name: str,
    metavar: str,
    what: str,
    limit: int | None,
    limit_help: str,
) -> None:
    """The arguments query and complete share: [FILE] TEXT, -k and -n."""
    parser.add_argument("file", metavar="FILE", nargs="?", help="trie file or word list")
    parser.add_argument(name, metavar=metavar, help=what)
    parser.add_argument(
        "-k", "--max-dist", type=_count, default=0, metavar="K", help="edit distance (default 0)"
    )
    parser.add_argument("-n", "--limit", type=_count, default=limit, metavar="N", help=limit_help)


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
    if value > _LARGEST_COUNT:
        raise argparse.ArgumentTypeError(f"must be at most {_LARGEST_COUNT}: {value}")
    return value


def _build(args: argparse.Namespace) -> int:
    data = _read(args.words)
    show = args.progress
    if show is None:
        show = sys.stderr.isatty() and len(data) >= _LARGE_INPUT
    report = _Progress(sys.stderr if show else None)
    with report.stage(f"reading {args.words}"):
        try:
            # Read natively: no Python object per key.
            words = WordKeys(data, args.words)
        except WordListError as error:
            raise CommandError(str(error)) from None
    del data
    keys = len(words)
    with report.stage(f"building a trie of {keys} keys"):
        search = words.build(progress=report.update)
        del words
        nodes = layout_info(search)["nodes"]
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
    hits: Sequence[tuple[str, int, int]]
    if args.transpositions or (not args.walk_order and _well_formed(search)):
        hits = _index(search, args.file).search(
            args.query, args.max_dist, limit=args.limit, transpositions=args.transpositions
        )
        return _print_hits(hits, args.json)
    # The plain walk, which also reads arrays that are not well formed.
    try:
        hits = search.fuzzy_match(
            args.query, args.max_dist, args.limit if args.walk_order else None
        )
    except BaseException as error:
        if is_panic(error):
            where = "" if args.file is None else f"{args.file}: "
            raise CommandError(f"{where}malformed trie: {error}") from None
        raise
    if not args.walk_order:
        hits = sorted(hits, key=lambda hit: (hit[2], hit[0]))[: args.limit]
    return _print_hits(hits, args.json)


def _well_formed(search: _morlatch.PrefixSearch) -> bool:
    try:
        Index.from_prefix_search(search)
    except ValueError:
        return False
    return True


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
        where = "" if path is None else f"{path}: "
        raise CommandError(f"{where}malformed trie: {error}") from None


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
        if isinstance(error, ValueError) or is_panic(error):
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
    """Nodes and keys reachable from the root, the deepest key and the byte size.

    Raises ValueError when a node is reached twice (the child lists do not
    form a tree) and the module's fault when they point past the arrays.
    """
    seen: set[int] = set()
    nodes = keys = depth = 0
    level = [0]
    level_depth = 0
    while level:
        below: list[int] = []
        for node in level:
            if node in seen:
                raise ValueError("the nodes do not form a tree")
            seen.add(node)
            nodes += 1
            if node and search.get_payload(node) is not None:
                keys += 1
                depth = level_depth
            below.extend(child for _, child in search.get_children(node))
        level = below
        level_depth += 1
    return {"nodes": nodes, "keys": keys, "depth": depth, "bytes": len(search.to_bytes())}


def _open(path: str, form: str) -> _morlatch.PrefixSearch:
    data = _read(path)
    if form == "trie" or (form == "auto" and b"\0" in data):
        # Checked first, so that a file that is no trie gets this message
        # alone, without the native module's fault report.
        problem = _engine.check_bytes(data)
        if problem is not None:
            hint = "; use --format words for a word list" if form == "auto" else ""
            raise CommandError(f"{path}: not a trie file: {problem}{hint}")
        return _morlatch.from_bytes(data)
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

    @contextlib.contextmanager
    def stage(self, label: str) -> Iterator[None]:
        """Shows label while the block runs, then how long it took."""
        self._begin(label)
        start = time.perf_counter()
        try:
            yield
        except BaseException:
            self._abandon()
            raise
        self._end(time.perf_counter() - start)

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
