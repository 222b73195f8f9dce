"""Fuzz harness of catalog files, for atheris or a bounded random loop.

Each input decodes a small catalog (items from a few letters, so that words
collide and begin one another; weights or none; synonyms or none), saves it
as an index file, changes a few bytes of the file (the checksums are
written again, so that the changes reach the catalog's own checks) and opens
it. The file must be refused with a ValueError, or open as a catalog that
answers every query exactly as a catalog built again from the file's parts
does: what a file stores beside its parts is either exactly what building
derives or refused, never trusted half-checked.

    python tests/fuzz/fuzz_catalog.py [libFuzzer options] [corpus folders]

Input layout, byte by byte (zeros once the input is used up): the mode (bit
0: weights; bit 1: synonyms), the item count (% 6 + 1), per item its length
(% 9) and characters from ITEM_CHARS, the change count (% 4), per change a
section (% the sections), two bytes of position in it and a byte XORed
there, then the queries (two, their length % 6 and characters).
"""

from __future__ import annotations

import os
import sys
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from morlatch import indexfile  # noqa: E402
from morlatch.catalog import Catalog  # noqa: E402

ITEM_CHARS = "ab cd&é"
QUERY_CHARS = "abcd é"


class Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def byte(self) -> int:
        value = self.data[self.at] if self.at < len(self.data) else 0
        self.at += 1
        return value

    def text(self, chars: str, longest: int) -> str:
        return "".join(chars[self.byte() % len(chars)] for _ in range(self.byte() % longest))


def answers(catalog: Catalog, queries: list[str]) -> list[Any]:
    return [(catalog.search(q), catalog.match(q, limit=3, score_cutoff=0.0)) for q in queries]


def check_one(data: bytes) -> None:
    reader = Reader(data)
    mode = reader.byte()
    items = [reader.text(ITEM_CHARS, 9) or "a" for _ in range(reader.byte() % 6 + 1)]
    weights = {t: n for n, t in enumerate(items)} if mode & 1 else None
    synonyms = {"&": "and", "ab": "cd"} if mode & 2 else None
    sections = {
        name: bytearray(body)
        for name, body in Catalog(items, weights=weights, synonyms=synonyms)._sections().items()
    }
    names = sorted(sections)
    for _ in range(reader.byte() % 4):
        body = sections[names[reader.byte() % len(names)]]
        at = reader.byte() | reader.byte() << 8
        if body:
            body[at % len(body)] ^= reader.byte() or 1
    queries = [reader.text(QUERY_CHARS, 6) or "a" for _ in range(2)]
    encoded = indexfile.encode({name: bytes(body) for name, body in sections.items()})
    try:
        opened = Catalog._from_sections(indexfile.decode(encoded, "<fuzz>"), "<fuzz>", None)
    except ValueError:
        return
    again = Catalog.__new__(Catalog)
    again._floats = opened._floats
    again._attach(dict(opened._parts), opened._words)
    assert answers(opened, queries) == answers(again, queries)


def main() -> None:
    import atheris

    atheris.instrument_func(check_one)
    atheris.Setup(sys.argv, check_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
