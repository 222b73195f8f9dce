"""The ``morlatch`` command: build, query, complete, correct with and describe
tries and index files from the shell.

Exit status: 0 on success, 1 when a file cannot be read or is not valid or
standard output cannot be written (or when a query or completion finds
nothing, or a word has no correction), 2 for a wrong command line (text that
is not UTF-8 included).
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import io
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import BinaryIO, TextIO

import _morlatch

from . import _engine, catalog_cli, indexfile
from ._lines import read_lines
from .builder import build
from .fold import fold_text
from .index import Index, Match, auto_distance, layout_info
from .panic import is_panic
from .spellcli import add_spell_command
from .storage import HEAD_SIZE, read_trie, save
from .wordlist import (
    WordKeys,
    WordListError,
    default_search,
    parse_weights,
    parse_word_list,
    read_word_list,
)

__all__ = ["main"]

# Inputs at least this large show progress on a terminal without --progress.
_LARGE_INPUT = 1 << 20

# The native module takes distances and limits as unsigned 64-bit integers.
_LARGEST_COUNT = 2**64 - 1

_SWAP_HELP = (
    "count swapping two adjacent characters as one edit (the default; --no-transpositions: as two)"
)
_DIST_HELP = (
    "edit distance: a whole number, or 'auto' for 0 edits on queries of 1-2 characters, 1 on "
    "3-5, 2 on 6 or more (default {})"
)
_JSON_HELP = "print a JSON array (for lines read from standard input: a JSON object per line)"
_STDIN_HELP = (
    "; without it, or as '-', one per line is read from standard input and the answers are "
    "printed one line per line read, in order"
)


#: A hit as printed: key, payload, distance.
Hit = tuple[str, int, int]
#: The answers to a batch of texts, one list of hits per text.
Answerer = Callable[[list[str]], Sequence[Sequence[Hit]]]


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    _escape_unencodable_output()
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
        _discard_output()
        return 1


def _escape_unencodable_output() -> None:
    # A key that the output encoding cannot hold (PYTHONIOENCODING=ascii, a
    # legacy locale) is printed escaped, as \xe9, rather than ending in a
    # traceback; a handler the user chose is kept.
    out = sys.stdout
    if isinstance(out, io.TextIOWrapper) and out.errors in _RAISING_HANDLERS:
        out.reconfigure(errors="backslashreplace")


_RAISING_HANDLERS = ("strict", "surrogateescape", "surrogatepass")


def _discard_output() -> None:
    # Output still buffered goes nowhere, so that the interpreter's last
    # flush at exit does not fail again.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _parse(argv: list[str]) -> argparse.Namespace:
    """The parsed command line; exits with status 2 on a usage error."""
    parser, commands = _parser()
    args, extras = parser.parse_known_args(argv)
    command = commands[args.name]
    if extras:
        hint = ""
        if hasattr(args, "positional_file") and (extras[0] == "--" or extras[0][:1] != "-"):
            # `query FILE -k 1 TEXT`: positionals are read where they stand.
            hint = " (with options between FILE and the text, give FILE as -f FILE)"
        elif args.name == "correct" and extras[0][:1] != "-":
            hint = " (give the options before or after the words, not between them)"
        command.error(f"unrecognized arguments: {' '.join(extras)}{hint}")
    for name, action in (("query", "QUERY"), ("prefix", "PREFIX")):
        value = getattr(args, name, "")
        if value is not None and not isinstance(value, str):
            # argparse drops every "--" it sees before a positional, so
            # `query -- --` leaves the text empty-handed.
            command.error(f"argument {action}: expected one argument")
        if value is None and getattr(args, "positional_file", None) is not None:
            # One operand is the text, not FILE.
            try:
                setattr(args, name, _text(args.positional_file))
            except argparse.ArgumentTypeError as error:
                command.error(f"argument {action}: {error}")
            args.positional_file = None
    if getattr(args, "walk_order", False) and args.transpositions:
        command.error("argument --walk-order: not allowed with argument -t/--transpositions")
    if getattr(args, "positional_file", None) is not None:
        if args.file is not None:
            command.error("FILE given twice: as -f/--file and before the text")
        args.file = args.positional_file
    return args


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = argparse.ArgumentParser(
        prog="morlatch",
        description="Exact and typo-tolerant lookup over a static trie.",
        epilog="Run 'morlatch COMMAND -h' for the options of a command.",
    )
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(title="commands", dest="name", metavar="COMMAND", required=True)

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, help=summary, description=description)

    build_cmd = command(
        "build",
        "build a trie or index file from a word list",
        "Build a trie from WORDS (UTF-8, one key per line, optionally a TAB and a payload; a "
        "key without one gets its 0-based line number) and save it to FILE. With --index, "
        "--weights or --fold, FILE is an index file, which holds the reverse index that "
        "searches use and is shared by the processes that open it; opening one checks the "
        "whole file (measured: 52 ms of CPU for the 17 MiB index of 663,473 words, about 3 ms "
        "per MiB). Otherwise FILE is a plain trie file, which a reader decodes and lays out "
        "again (155 ms of CPU for those words), and whose reverse index the first long search "
        "builds (0.3 s of CPU more).",
    )
    build_cmd.add_argument("words", metavar="WORDS", help="the word list")
    build_cmd.add_argument(
        "-o", "--output", metavar="FILE", required=True, help="trie or index file"
    )
    build_cmd.add_argument(
        "--index",
        action="store_true",
        help="write an index file, with the reverse index that searches use, even without "
        "--weights or --fold",
    )
    build_cmd.add_argument(
        "--weights",
        metavar="WEIGHTS",
        help="rank equally close keys heaviest first: a file of 'key<TAB>weight' or "
        "'key weight' lines (a whole number, or a decimal such as 0.5 or 1e-3), as frequency "
        "lists are written; keys it does not list weigh 0",
    )
    build_cmd.add_argument(
        "--fold",
        action="store_true",
        help="compare keys and queries with case and accents folded away",
    )
    build_cmd.add_argument(
        "--duplicates",
        choices=("last", "first", "error"),
        default="last",
        help="what a key given again with another payload keeps (a key without a payload has "
        "its line number, so a repeated one always differs): its last payload (the default), "
        "its first, or nothing: an error naming both lines",
    )
    catalog_cli.add_build_option(build_cmd)
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

    query_cmd = command(
        "query",
        "look up keys within an edit distance",
        "Print every key of FILE within --max-dist edits of QUERY, as key, payload and "
        "distance, closest first (then heaviest, for an index file with weights, then in "
        "code-point order). FILE is a trie file, an index file or a word list; without it, "
        "the shipped English word list is searched. Queries read from standard input each "
        "print one line: the keys found, TAB-separated (with --json, a JSON object per line). "
        "Exits with 1 when some query finds nothing.",
    )
    _add_lookup(query_cmd, "query", "QUERY", "the text to look up", None, "print the N best hits")
    _add_swaps(query_cmd)
    query_cmd.add_argument(
        "--walk-order",
        action="store_true",
        help="print hits in the order the search finds them (not ranked, swaps not counted "
        "as one edit); with --limit, the first N found",
    )
    query_cmd.add_argument("--json", action="store_true", help=_JSON_HELP)
    _add_format(query_cmd)
    query_cmd.set_defaults(command=_query)

    complete_cmd = command(
        "complete",
        "complete a beginning, despite typos",
        "Print the keys of FILE that begin with some text within --max-dist edits of PREFIX, "
        "as key, payload and distance, best first: by that distance, then shorter keys (for "
        "an index file with weights: heavier keys), then code-point order. FILE is as for "
        "query, and so are prefixes read from standard input. Exits with 1 when some prefix "
        "finds nothing.",
    )
    _add_lookup(
        complete_cmd,
        "prefix",
        "PREFIX",
        "the beginning to complete",
        10,
        "at most N keys (default 10)",
    )
    _add_swaps(complete_cmd)
    complete_cmd.add_argument("--json", action="store_true", help=_JSON_HELP)
    _add_format(complete_cmd)
    complete_cmd.set_defaults(command=_complete)

    correct_cmd = command(
        "correct",
        "correct the spelling of words",
        "Print the likeliest intended key of FILE for each WORD, one per line, in order: the "
        "word itself when it is a key or when no key is within --max-dist edits. FILE is as "
        "for query; an index file with weights ranks by them (see --rule), any other file "
        "and the shipped English word list (the default) give the closest key, the first in "
        "code-point order on a tie. Without WORD, or with '-', the words are read one per line "
        "from standard input, and --json prints a JSON object per line. Exits with 1 when some "
        "word has no correction.",
    )
    correct_cmd.add_argument(
        "-f", "--file", metavar="FILE", help="trie file, index file or word list"
    )
    correct_cmd.add_argument(
        "words", metavar="WORD", nargs="*", type=_text, help="the words to correct" + _STDIN_HELP
    )
    correct_cmd.add_argument(
        "-k", "--max-dist", type=_max_dist, default=2, metavar="K", help=_DIST_HELP.format(2)
    )
    correct_cmd.add_argument(
        "--rule",
        choices=("model", "plain"),
        default="model",
        help="with weights: 'model' (the default) weighs likely slips against how common a "
        "key is; 'plain' takes the closest keys, the heaviest of them",
    )
    _add_swaps(correct_cmd)
    correct_cmd.add_argument("--json", action="store_true", help=_JSON_HELP)
    _add_format(correct_cmd)
    correct_cmd.set_defaults(command=_correct)

    stats_cmd = command(
        "stats",
        "describe a trie or index file",
        "Print the node count, key count, depth, the size of the trie's image as to_bytes() "
        "writes it (bytes) and the size of FILE (file_bytes, which for an index file includes "
        "the search layout, its reverse index, weights and folding); for an index file also "
        "whether it has weights and is folded.",
    )
    stats_cmd.add_argument("file", metavar="FILE", help="trie file, index file or word list")
    stats_cmd.add_argument("--json", action="store_true", help="print a JSON object")
    _add_format(stats_cmd)
    stats_cmd.set_defaults(command=_stats)
    catalog_cli.add_search_command(sub)
    add_spell_command(command)
    return parser, dict(sub.choices)


class _VersionAction(argparse.Action):
    """--version, with the version looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: object) -> None:
        super().__init__(
            option_strings,
            dest=argparse.SUPPRESS,
            default=argparse.SUPPRESS,
            nargs=0,
            help="show program's version number and exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def _version() -> str:
    from importlib import metadata  # only for --version: it is slow to import

    try:
        return metadata.version("morlatch")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        return "(not installed)"


def _add_lookup(
    parser: argparse.ArgumentParser,
    name: str,
    metavar: str,
    what: str,
    limit: int | None,
    limit_help: str,
) -> None:
    """The arguments query and complete share: [-f FILE | FILE] TEXT, -k and -n."""
    parser.add_argument("-f", "--file", metavar="FILE", help="trie file, index file or word list")
    parser.add_argument(
        "positional_file",
        metavar="FILE",
        nargs="?",
        help="the same as -f FILE, given before the text (then no option between the two; a "
        "single operand is the text)",
    )
    parser.add_argument(name, metavar=metavar, type=_text, nargs="?", help=what + _STDIN_HELP)
    parser.add_argument(
        "-k", "--max-dist", type=_max_dist, default=0, metavar="K", help=_DIST_HELP.format(0)
    )
    parser.add_argument("-n", "--limit", type=_count, default=limit, metavar="N", help=limit_help)


def _add_swaps(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-t", "--transpositions", action=argparse.BooleanOptionalAction, help=_SWAP_HELP
    )


def _add_format(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format",
        choices=("auto", "index", "trie", "words"),
        default="auto",
        help="how to read FILE; auto (the default) reads a file that starts with the index "
        "file's magic as an index file, one whose first 64 KiB contain a NUL byte as a trie "
        "file (every trie file has one in its first bytes) and any other file as a word list",
    )


def _text(text: str) -> str:
    # Command-line bytes that are not UTF-8 reach Python as lone surrogates,
    # which no key can hold.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        try:
            shown = repr(text.encode("utf-8", "surrogateescape"))
        except UnicodeEncodeError:
            shown = ascii(text)
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {shown}") from None
    return text


def _max_dist(text: str) -> int | str:
    return text if text == "auto" else _count(text)


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
    data = _read_words(args.words)
    show = args.progress
    if show is None:
        show = sys.stderr.isatty() and len(data) >= _LARGE_INPUT
    report = _Progress(sys.stderr if show else None)
    if args.catalog:
        return catalog_cli.build_catalog(args, data, report)
    if args.weights is not None or args.fold:
        return _build_index(args, data, report)
    index_file = args.index
    with report.stage(f"reading {args.words}"):
        try:
            # Read natively: no Python object per key.
            words = WordKeys(data, args.words, args.duplicates)
        except WordListError as error:
            raise CommandError(str(error)) from None
    del data
    keys = len(words)
    with report.stage(f"building a trie of {keys} keys"):
        search = words.build(progress=report.update)
        del words
        nodes = layout_info(search)["nodes"]
    if index_file:
        with report.stage("building the reverse index"):
            index = Index.from_prefix_search(search)
            sections = index._sections()  # the reverse index is built here
            del index, search
    with report.stage(f"writing {args.output}"):
        try:
            if index_file:
                indexfile.write(args.output, sections)
            else:
                save(search, args.output)
            size = os.path.getsize(args.output)
        except OSError as error:
            raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    if args.progress is not False:
        kind = " (index file)" if index_file else ""
        print(f"{args.output}: {keys} keys, {nodes} nodes, {size} bytes{kind}", file=sys.stderr)
    return 0


def _build_index(args: argparse.Namespace, data: bytes, report: _Progress) -> int:
    """build with --weights or --fold: an index file."""
    with report.stage(f"reading {args.words}"):
        table = _parse_words(data, args.words, args.duplicates)
    weights = None
    if args.weights is not None:
        weights_data = _read_words(args.weights)  # the same reader: lines up to 1 MiB
        with report.stage(f"reading {args.weights}"):
            try:
                weights = parse_weights(weights_data, args.weights, table, args.words)
            except WordListError as error:
                raise CommandError(str(error)) from None
        del weights_data
    with report.stage(f"building an index of {len(table)} keys"):
        try:
            index = Index(table, weights=weights, fold=args.fold, progress=report.update)
        except ValueError as error:
            raise CommandError(_unfoldable(data, args.words, error)) from None
        del table, weights
        nodes = layout_info(index.prefix_search)["nodes"]
    with report.stage(f"writing {args.output}"):
        try:
            index.save(args.output)
            size = os.path.getsize(args.output)
        except OSError as error:
            raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    if args.progress is not False:
        what = ", ".join(
            name for name, on in (("weights", index.weighted), ("folded", args.fold)) if on
        )
        print(
            f"{args.output}: {len(index)} keys, {nodes} nodes, {size} bytes (index file: {what})",
            file=sys.stderr,
        )
    return 0


def _unfoldable(data: bytes, path: str, error: ValueError) -> str:
    """The message for a word list that cannot be folded, naming the first
    line whose key folds to nothing (the only key folding refuses in a word
    list, which holds no lone surrogates)."""
    lines = data.decode("utf-8").removeprefix("\ufeff").split("\n")
    for number, line in enumerate(lines, 1):
        key = line.removesuffix("\r").partition("\t")[0]
        if key and not fold_text(key):
            return f"{path}:{number}: {error}"
    return f"{path}: {error}"


def _query(args: argparse.Namespace) -> int:
    return _answer(args, args.query, "query", _searcher(args))


def _searcher(args: argparse.Namespace) -> Answerer:
    """How query answers a batch: ranked by the index, or by the plain walk
    (for --walk-order, and arrays that are not well formed)."""
    source = _source_of(args)
    index: Index | None
    if isinstance(source, Index):
        if args.walk_order and source.fold is not None:
            raise CommandError(
                f"{args.file}: --walk-order lists the folded forms of a folded index, not its "
                "keys; leave it out"
            )
        search = source.prefix_search
        index, problem = source, None
    else:
        search = source
        index, problem = _index(search)
    if index is not None and not args.walk_order:
        options = {"limit": args.limit, "transpositions": args.transpositions is not False}
        ranked = index
        return lambda batch: (
            [ranked.search(batch[0], args.max_dist, **options)]
            if len(batch) == 1
            else ranked.search_many(batch, args.max_dist, **options)
        )
    if args.transpositions:
        raise CommandError(_malformed(args.file, problem))

    def walk(batch: list[str]) -> list[Sequence[Hit]]:
        # The plain walk, which also reads arrays that are not well formed.
        out: list[Sequence[Hit]] = []
        for query in batch:
            k = auto_distance(query) if args.max_dist == "auto" else args.max_dist
            try:
                hits = search.fuzzy_match(query, k, args.limit if args.walk_order else None)
            except BaseException as error:
                if is_panic(error):
                    raise CommandError(_malformed(args.file, error)) from None
                raise
            if not args.walk_order:
                hits = sorted(hits, key=lambda hit: (hit[2], hit[0]))[: args.limit]
            out.append(hits)
        return out

    return walk


def _complete(args: argparse.Namespace) -> int:
    index = _index_of(args)
    swap = args.transpositions is not False
    return _answer(
        args,
        args.prefix,
        "prefix",
        lambda batch: [
            index.complete(prefix, args.max_dist, limit=args.limit, transpositions=swap)
            for prefix in batch
        ],
    )


def _correct(args: argparse.Namespace) -> int:
    index = _index_of(args)

    def best(words: list[str]) -> list[Match | None]:
        found = index.correct_many(
            words, args.max_dist, transpositions=args.transpositions is not False, rule=args.rule
        )
        return [hits[0] if hits else None for hits in found]

    def rows(words: list[str], found: list[Match | None]) -> list[dict[str, object]]:
        return [
            {"word": word, "key": None, "payload": None, "distance": None}
            if hit is None
            else {"word": word, "key": hit.key, "payload": hit.payload, "distance": hit.distance}
            for word, hit in zip(words, found, strict=True)
        ]

    def lines(words: list[str], found: list[Match | None]) -> str:
        return "".join(
            f"{word if hit is None else hit.key}\n" for word, hit in zip(words, found, strict=True)
        )

    if args.words and args.words != ["-"]:
        found = best(args.words)
        if args.json:
            _write(json.dumps(rows(args.words, found), ensure_ascii=not _unicode_output()) + "\n")
        else:
            _write(lines(args.words, found))
        return 1 if None in found else 0
    missing = False
    for batch in _stdin_lines():
        found = best(batch)
        missing = missing or None in found
        _write(_json_lines(rows(batch, found)) if args.json else lines(batch, found))
    return 1 if missing else 0


def _answer(args: argparse.Namespace, text: str | None, field: str, answer: Answerer) -> int:
    """Prints the answer to ``text``, or with none (or "-"), to every line of
    standard input: one line each, the keys found TAB-separated, or a JSON
    object {field: text, "hits": [...]}. The exit status is 1 when some
    answer is empty."""
    if text is not None and text != "-":
        return _print_hits(answer([text])[0], args.json)
    missing = False
    for batch in _stdin_lines():
        answers = answer(batch)
        missing = missing or not all(answers)
        if args.json:
            _write(
                _json_lines(
                    {field: text, "hits": _hit_rows(hits)}
                    for text, hits in zip(batch, answers, strict=True)
                )
            )
        else:
            _write("".join("\t".join(hit[0] for hit in hits) + "\n" for hits in answers))
    return 1 if missing else 0


def _stdin_lines() -> Iterator[list[str]]:
    """The lines of standard input, in batches (see read_lines)."""
    stream = sys.stdin
    if stream is None:
        raise CommandError("cannot read standard input: it is closed")
    try:
        yield from read_lines(stream.buffer)
    except WordListError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot read standard input: {error.strerror or error}") from None


def _json_lines(rows: Iterable[object]) -> str:
    ascii_only = not _unicode_output()
    return "".join(json.dumps(row, ensure_ascii=ascii_only) + "\n" for row in rows)


def _hit_rows(hits: Sequence[Hit]) -> list[dict[str, object]]:
    return [{"key": key, "payload": payload, "distance": dist} for key, payload, dist in hits]


def _source_of(args: argparse.Namespace) -> _morlatch.PrefixSearch | Index:
    return default_search() if args.file is None else _open(args.file, args.format)


def _index_of(args: argparse.Namespace) -> Index:
    """The index that FILE holds or describes (the shipped word list's without
    FILE); CommandError when the trie's arrays cannot have one."""
    source = _source_of(args)
    if isinstance(source, Index):
        return source
    index, problem = _index(source)
    if index is None:
        raise CommandError(_malformed(args.file, problem))
    return index


def _index(search: _morlatch.PrefixSearch) -> tuple[Index | None, BaseException | None]:
    """The index over search, or why its arrays cannot have one."""
    try:
        return Index.from_prefix_search(search), None
    except ValueError as error:
        return None, error


def _malformed(path: str | None, problem: BaseException | None) -> str:
    where = "" if path is None else f"{path}: "
    return f"{where}malformed trie: {problem}"


def _print_hits(hits: Sequence[tuple[str, int, int]], as_json: bool) -> int:
    """Prints the hits; the exit status is 1 when there are none."""
    if as_json:
        _write(json.dumps(_hit_rows(hits), ensure_ascii=not _unicode_output()) + "\n")
    else:
        _write("".join(f"{key}\t{payload}\t{dist}\n" for key, payload, dist in hits))
    return 0 if hits else 1


def _stats(args: argparse.Namespace) -> int:
    source = _open(args.file, args.format)
    search = source.prefix_search if isinstance(source, Index) else source
    try:
        summary: dict[str, int | bool] = dict(_engine.stats(search))
    except ValueError as error:
        raise CommandError(_malformed(args.file, error)) from None
    summary = _with_file_size(summary, args.file)
    if isinstance(source, Index):
        if source.fold is not None:
            # The trie holds the folded forms; the index, the keys as given.
            summary["forms"] = summary["keys"]
            summary["keys"] = len(source)
        summary["weighted"] = source.weighted
        summary["folded"] = source.fold is not None
    if args.json:
        _write(json.dumps(summary) + "\n")
    else:
        width = max(map(len, summary))
        _write("".join(f"{name:<{width}}  {_shown(value)}\n" for name, value in summary.items()))
    return 0


def _with_file_size(summary: dict[str, int | bool], path: str) -> dict[str, int | bool]:
    """summary with file_bytes, the size of the file at path, after bytes
    (which is the size of the trie's image); a pipe has no size to give."""
    try:
        status = os.stat(path)
    except OSError:
        return summary
    if not stat.S_ISREG(status.st_mode):
        return summary
    out: dict[str, int | bool] = {}
    for name, value in summary.items():
        out[name] = value
        if name == "bytes":
            out["file_bytes"] = status.st_size
    return out


def _shown(value: int | bool) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    return str(value)


def _unicode_output() -> bool:
    encoding = getattr(sys.stdout, "encoding", None) or "ascii"
    try:
        return codecs.lookup(encoding).name.startswith("utf")
    except LookupError:
        return False


def _write(text: str) -> None:
    """Writes text to standard output, or raises CommandError when that
    cannot be done (a closed descriptor, a full disk); BrokenPipeError, for a
    reader that has gone away, passes."""
    out = sys.stdout
    if out is None:  # started with its descriptor closed
        raise CommandError("cannot write to standard output: it is closed")
    try:
        out.write(text)
        out.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _discard_output()
        raise CommandError(f"cannot write to standard output: {error.strerror or error}") from None


def _open(path: str, form: str) -> _morlatch.PrefixSearch | Index:
    """The index that the index file at path holds, or the trie that any
    other file holds or describes; read once, in chunks, and checked as it is
    read."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(HEAD_SIZE)
            is_index = indexfile.is_index_file(head)
            if form == "index" or (form == "auto" and is_index):
                if not is_index:
                    raise CommandError(f"{path}: not an index file: it lacks the index magic")
                return _load_index(stream, path, head)
            if form == "trie" and is_index:
                raise CommandError(f"{path}: an index file, not a trie file; use --format index")
            if form == "trie" or (form == "auto" and b"\0" in head):
                try:
                    return read_trie(stream, path, head)
                except ValueError as error:
                    hint = "; use --format words for a word list" if form == "auto" else ""
                    raise CommandError(f"{error}{hint}") from None
            data = _words_of(stream, path, head)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    return build(_parse_words(data, path))


def _load_index(stream: BinaryIO, path: str, head: bytes) -> Index:
    """The index in the file at path, whose first bytes, head, were read
    from stream: mapped when it is a regular file, else (a pipe) read on
    from stream, no further than the sections its table declares."""
    try:
        return Index._read(stream, path, head)  # noqa: SLF001
    except ValueError as error:
        raise CommandError(str(error)) from None


def _read_words(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return _words_of(stream, path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None


def _words_of(stream: BinaryIO, path: str, head: bytes = b"") -> bytes:
    try:
        return read_word_list(stream, path, head)
    except WordListError as error:
        raise CommandError(str(error)) from None


def _parse_words(data: bytes, path: str, duplicates: str = "last") -> dict[str, int]:
    try:
        return parse_word_list(data, path, duplicates)
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
