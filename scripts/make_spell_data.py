#!/usr/bin/env python3
"""Regenerate python/morlatch/data/spell_searches.pickle.gz.

``Speller.english()`` loads its candidate searches (the word index, the
sounds-like key index and the words of each key) prebuilt, because building
them from the shipped counts takes seconds. Run this after changing
frequency_en.txt.gz, words.txt.gz, the sounds-like key or the index format:

    PYTHONPATH=build/dev python scripts/make_spell_data.py

``--check`` writes nothing and exits with status 1 when the shipped file is
missing or no longer what the shipped counts give.
"""

from __future__ import annotations

import argparse
import gzip
import pickle
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from morlatch.speller import _PREBUILT, english_searches  # noqa: E402

TARGET = ROOT / "python" / "morlatch" / "data" / _PREBUILT


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare, write nothing")
    args = parser.parse_args()
    searches = english_searches()
    if args.check:
        try:
            with gzip.open(TARGET, "rb") as stream:
                shipped = pickle.load(stream)
        except OSError as error:
            print(f"{TARGET}: {error}", file=sys.stderr)
            return 1
        if shipped != searches:
            print(f"{TARGET} is stale: run {sys.argv[0]}", file=sys.stderr)
            return 1
        return 0
    # mtime 0 keeps the file identical from run to run for a given zlib.
    data = pickle.dumps(searches, protocol=pickle.HIGHEST_PROTOCOL)
    TARGET.write_bytes(gzip.compress(data, compresslevel=9, mtime=0))
    print(f"wrote {TARGET} ({TARGET.stat().st_size:,} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
