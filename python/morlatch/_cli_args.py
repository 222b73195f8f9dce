"""The argument types and the options that several sub-commands of
``morlatch`` share."""

from __future__ import annotations

import argparse

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
