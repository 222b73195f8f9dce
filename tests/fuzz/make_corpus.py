"""Writes the committed seed corpus of the fuzz targets (tests/fuzz/corpus).

Run with the package importable (PYTHONPATH=build/dev:python). The seeds are
the encodings of a few small tries, some of them damaged, and for the walk and
module targets each is prefixed with the target's header (see their sources).
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

import morlatch
from morlatch import indexfile

HERE = Path(__file__).resolve().parent
TRIES = [
    [],
    ["a"],
    ["ab", "abc", "b"],
    ["abba", "abc", "acdc", "bad", "cab", "dab", "é", "éa"],
    ["aaaa", "aaab", "aaba", "abaa", "baaa", "dddd"],
    {"ca": 0, "cab": 4294967295, "cb": 300, "dé": 70000},
]


def images() -> list[bytes]:
    good = [morlatch.build(keys).to_bytes() for keys in TRIES]
    broken = [
        good[2][:-1],  # cut in the last list
        good[3][: len(good[3]) // 2],
        b"\x01\xfd" + good[1],  # a 64-bit marker where 32 bits are expected
        good[2].replace(b"\x01b", b"\x01\xc3(", 1),  # bad UTF-8
        good[2].replace(b"\x00\x01", b"\x00\x02", 1),  # bad presence tag
        b"\xfc\xff\xff\xff\x7f\x00",  # a count far beyond the input
        # Inconsistent but decodable: a child id past the end, a cycle.
        morlatch.from_internal_data([0, 1], ["", "a"], [None, 1], [5]).to_bytes(),
        morlatch.from_internal_data([0, 1], ["", "a"], [None, 1], [1, 0]).to_bytes(),
    ]
    return good + broken


def index_files() -> list[bytes]:
    """Index files as Index.save writes them (layout and reverse sections),
    and a few damaged: a record changed, a file cut short."""
    good = [
        indexfile.encode(morlatch.Index(keys)._sections())  # noqa: SLF001
        for keys in TRIES
    ]
    damaged = [
        good[3][:-16],  # the reverse index loses its closing record
        good[3][: len(good[3]) * 2 // 3],
        bytes(byte ^ 0x20 if 200 <= i < 216 else byte for i, byte in enumerate(good[4])),
    ]
    return good + damaged


def write(folder: Path, seeds: list[bytes]) -> None:
    # Adds to what is there: inputs that once failed stay as seeds.
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()[:16]).write_bytes(seed)


def main() -> None:
    trie_images = images()
    write(HERE / "corpus" / "decode", trie_images)
    # k, limit (>= 128: a limit of byte % 8), query length, query characters.
    headers = [
        b"\x01\x00\x02\x00\x01",
        b"\x02\x83\x03\x00\x01\x02",
        b"\x00\x00\x00",
        b"\x03\x00\x01\x04",
    ]
    write(
        HERE / "corpus" / "walk",
        [headers[i % len(headers)] + image for i, image in enumerate(trie_images)],
    )
    # The module harness: mode byte 0 decodes the rest, 1 reads arrays from it.
    write(HERE / "corpus" / "module", [b"\x00" + image for image in trie_images])
    write(HERE / "corpus" / "index_file", index_files())
    print(f"{len(trie_images)} images", file=sys.stderr)


if __name__ == "__main__":
    main()
