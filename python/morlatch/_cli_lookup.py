"""``morlatch query``, ``complete`` and ``correct``: answers for a text given
on the command line or for every line of standard input."""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable, Sequence

from ._cli_args import (
    _DIST_HELP,
    _JSON_HELP,
    _STDIN_HELP,
    _add_format,
    _add_lookup,
    _add_swaps,
    _max_dist,
    _text,
)
from ._cli_files import _index, _index_of, _malformed, _source_of
from ._cli_io import (
    CommandError,
    Hit,
    _hit_rows,
    _json_lines,
    _print_hits,
    _stdin_lines,
    _unicode_output,
    _write,
)
from .index import Index, Match, auto_distance
from .panic import is_panic

#: The answers to a batch of texts, one list of hits per text.
Answerer = Callable[[list[str]], Sequence[Sequence[Hit]]]


def add_lookup_commands(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
    """Registers ``query``, ``complete`` and ``correct`` with
    ``command(name, summary, description)``."""
    _add_query(command)
    _add_complete(command)
    _add_correct(command)


def _add_query(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
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


def _add_complete(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
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


def _add_correct(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
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
