"""The ``morlatch`` command: build, query, complete, correct with and describe
tries and index files from the shell.

Exit status: 0 on success, 1 when a file cannot be read or is not valid or
standard output cannot be written (or when a query or completion finds
nothing, or a word has no correction), 2 for a wrong command line (text that
is not UTF-8 included).
"""

from __future__ import annotations

import argparse
import io
import sys
from collections.abc import Callable, Sequence

from . import catalog_cli
from ._cli_args import _text
from ._cli_build import add_build_command
from ._cli_files import _parse_words as _parse_words
from ._cli_files import _read_words as _read_words
from ._cli_io import CommandError as CommandError
from ._cli_io import _discard_output
from ._cli_io import _Progress as _Progress
from ._cli_io import _unicode_output as _unicode_output
from ._cli_io import _write as _write
from ._cli_lookup import add_lookup_commands
from ._cli_stats import add_stats_command
from .spellcli import add_spell_command

__all__ = ["main"]

# The catalog's and the speller's sub-commands (catalog_cli.py, serve.py,
# spellcli.py) import _version from here, and the names imported "as"
# themselves.


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

    # In the order that the help lists them.
    add_build_command(command)
    add_lookup_commands(command)
    add_stats_command(command)
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
