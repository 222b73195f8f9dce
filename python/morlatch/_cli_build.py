"""``morlatch build``: a trie file or an index file from a word list."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable

from . import catalog_cli, indexfile
from ._cli_files import _parse_words, _read_words
from ._cli_io import CommandError, _Progress, _write_file
from .fold import fold_text
from .index import Index, layout_info
from .storage import save
from .wordlist import WordKeys, WordListError, parse_weights

# Inputs at least this large show progress on a terminal without --progress.
_LARGE_INPUT = 1 << 20


def add_build_command(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
    """Registers ``build`` with ``command(name, summary, description)``."""
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
        if index_file:
            size = _write_file(args.output, lambda path: indexfile.write(path, sections))
        else:
            size = _write_file(args.output, lambda path: save(search, path))
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
        size = _write_file(args.output, index.save)
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
