#!/usr/bin/env python3
"""Regenerate python/morlatch/data/segment_words_en.txt.gz.

The shipped word list is the 50-size list of its source; the source's
larger lists (Debian's wamerican-large, -huge and -insane, its 70, 80 and
95 sizes, under the same license: see data/LICENSE-words.txt) add names,
rare and technical words, the commoner the smaller the list. Segmentation
needs only those it would otherwise cut into pieces ("woodhouse",
"sublicense"): the words of each larger list, lower-cased, of letters a-z,
that neither the word list, the counts nor a smaller list hold and that
Speller.english() without them does not keep whole. Each list's words follow
a line "=N", N the number of words the list adds in all, kept or not;
segmentation counts the words of a list as its place in the counts' tail
makes them. Possessives are left out (segmentation reads "'s" after a
listed word itself).

    PYTHONPATH=build/dev python scripts/make_segment_words.py [LIST ...]
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
LARGER = [f"/usr/share/dict/american-english-{size}" for size in ("large", "huge", "insane")]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "larger", nargs="*", default=LARGER, help="the larger word lists, smallest first"
    )
    args = parser.parse_args()
    if not TARGET.exists():  # the first run: the speller loads the lists it makes
        TARGET.write_bytes(gzip.compress(b"=0\n", mtime=0))
    speller = Speller.english()
    speller._setup_segment()
    lines, seen, kept_in_all = [], set(speller._counts), 0
    for path in args.larger:
        with open(path, encoding="utf-8") as stream:
            candidates = {line.strip().lower() for line in stream}
        new = sorted(
            word for word in candidates if re.fullmatch("[a-z]{2,}", word) and word not in seen
        )
        seen.update(new)
        # Each word alone, as segmentation would read it without the lists.
        kept = [word for word in new if speller.segment(word) != [word]]
        # First the size of the whole list the words were kept from: where
        # the list sits in the counts' tail (see tail_count), kept words or not.
        lines += [f"={len(new)}", *kept]
        kept_in_all += len(kept)
        print(f"{path}: {len(kept):,} of {len(new):,} new words kept")
    text = "".join(f"{line}\n" for line in lines).encode("ascii")
    TARGET.write_bytes(gzip.compress(text, compresslevel=9, mtime=0))
    size = TARGET.stat().st_size
    print(f"{kept_in_all:,} words kept; wrote {TARGET} ({size:,} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
