"""``morlatch stats``: what a trie file or an index file holds."""

from __future__ import annotations

import argparse
import json
import os
import stat
from collections.abc import Callable

from . import _engine
from ._cli_args import _add_format
from ._cli_files import _malformed, _open
from ._cli_io import CommandError, _write
from .index import Index


def add_stats_command(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
    """Registers ``stats`` with ``command(name, summary, description)``."""
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
