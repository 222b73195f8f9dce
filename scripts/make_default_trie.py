#!/usr/bin/env python3
"""Regenerate python/morlatch/data/words.trie.gz from words.txt.gz beside it.

The package ships the trie of its English word list prebuilt, so that the
default query loads it instead of building it on every run. Run this after
changing words.txt.gz or the layout of the builder:

    PYTHONPATH=build/dev python scripts/make_default_trie.py

It needs the native module (from a build directory on PYTHONPATH, or
installed) and always uses the morlatch package of this working tree.
``--check`` writes nothing and exits with status 1 when the shipped image is
missing or no longer what the builder makes from the shipped word list.
"""

from __future__ import annotations

import argparse
import gzip
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import morlatch  # noqa: E402  (the tree's own package, not an installed one)
from morlatch.wordlist import _DEFAULT_IMAGE  # noqa: E402

TARGET = ROOT / "python" / "morlatch" / "data" / _DEFAULT_IMAGE


def default_image() -> bytes:
    """The trie image of the shipped word list (payload = position)."""
    return morlatch.build(morlatch.default_words()).to_bytes()


def pack(image: bytes) -> bytes:
    # mtime 0 keeps the file identical from run to run for a given zlib.
    return gzip.compress(image, compresslevel=9, mtime=0)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--check", action="store_true", help="only verify the shipped image, write nothing"
    )
    args = parser.parse_args()
    image = default_image()
    if args.check:
        try:
            shipped = gzip.decompress(TARGET.read_bytes())
        except OSError as error:
            print(f"{TARGET}: cannot read: {error}", file=sys.stderr)
            return 1
        if shipped != image:
            print(f"{TARGET}: out of date; rerun {Path(__file__).name}", file=sys.stderr)
            return 1
        print(f"{TARGET}: up to date")
        return 0
    packed = pack(image)
    temp = TARGET.with_name(f".{TARGET.name}.tmp")
    temp.write_bytes(packed)
    temp.replace(TARGET)
    print(f"{TARGET}: {len(image)} bytes, {len(packed)} compressed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
