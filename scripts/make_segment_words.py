#!/usr/bin/env python3
"""Regenerate python/morlatch/data/segment_words_en.txt.gz.

The shipped word list is the 50-size list of its source; the source's
largest list (Debian's wamerican-insane, under the same license: see
data/LICENSE-words.txt) adds names, rare and technical words. Segmentation
needs only those it would otherwise cut into pieces ("woodhouse",
"sublicense"): the words of the larger list, lower-cased, of letters a-z,
that neither the word list nor the counts hold and that Speller.english()
without them does not keep whole; the file gives first how many
words the larger list adds in all. Possessives are left out (segmentation
reads "'s" after a listed word itself).

    PYTHONPATH=build/dev python scripts/make_segment_words.py [LIST]
"""

from __future__ import annotations

import argparse
import gzip
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from morlatch import Speller  # noqa: E402
from morlatch._spelldata import SEGMENT_WORDS  # noqa: E402

TARGET = ROOT / "python" / "morlatch" / "data" / SEGMENT_WORDS
LARGER = "/usr/share/dict/american-english-insane"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("larger", nargs="?", default=LARGER, help="the larger word list")
    args = parser.parse_args()
    if not TARGET.exists():  # the first run: the speller loads the list it makes
        TARGET.write_bytes(gzip.compress(b"0\n", mtime=0))
    speller = Speller.english()
    speller._setup_segment()
    with open(args.larger, encoding="utf-8") as stream:
        candidates = {line.strip().lower() for line in stream}
    new = sorted(
        word
        for word in candidates
        if re.fullmatch("[a-z]{2,}", word) and word not in speller._counts
    )
    # Each word alone, as segmentation would read it without the list.
    kept = [word for word in new if speller.segment(word) != [word]]
    # First the size of the whole list the words were kept from: where the
    # list sits in the counts' tail (see tail_count), kept words or not.
    text = "".join(f"{word}\n" for word in [str(len(new)), *kept]).encode("ascii")
    TARGET.write_bytes(gzip.compress(text, compresslevel=9, mtime=0))
    size = TARGET.stat().st_size
    print(f"{len(kept):,} of {len(new):,} words kept; wrote {TARGET} ({size:,} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
