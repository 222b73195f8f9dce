"""Writes the committed seed corpus of the fuzz targets (tests/fuzz/corpus).

Run with the package importable (PYTHONPATH=build/dev:python). The seeds are
the encodings of a few small tries, some of them damaged, and for the walk and
module targets each is prefixed with the target's header (see their sources);
for the index target, small key sets with every kind of weights and folding
and a few queries (see the input layout in fuzz_index.py), and the inputs that
once found a fault.
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

import morlatch
from morlatch import indexfile

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from fuzz_index import FLOAT_WEIGHTS, INT_WEIGHTS, KEY_CHARS, QUERY_CHARS  # noqa: E402

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
    """Index files as Index.save writes them (nodes and rnodes sections), a
    few damaged (a record changed, a file cut short), and key sets with a
    change for the reverse index (inputs without the magic: a key count,
    each key's length and letters, which key changes and how)."""
    good = [
        indexfile.encode(morlatch.Index(keys)._sections())  # noqa: SLF001
        for keys in TRIES
    ]
    damaged = [
        good[3][:-64],  # the reverse index loses its last 64 bytes
        good[3][: len(good[3]) * 2 // 3],
        bytes(byte ^ 0x20 if 200 <= i < 216 else byte for i, byte in enumerate(good[4])),
    ]
    # Key sets with a change (see reverse_of_other_keys in fuzz_index_file.cpp).
    key_sets = [
        bytes([2, 4, 0, 1, 0, 1, 2, 1, 1, 0, 1]),
        bytes([3, 2, 0, 0, 2, 1, 1, 4, 3, 4, 3, 2, 0, 3]),
        bytes([1, 5, 0, 1, 1, 0, 1, 0, 4]),
    ]
    return good + damaged + key_sets


def text_bytes(text: str, chars: str) -> bytes:
    return bytes([len(text)] + [chars.index(ch) for ch in text])


def index_input(
    mode: int,
    keys: list[str],
    weights: list[int | float | None],
    queries: list[tuple[str, int, int, int]],
    last_rule: bool = False,
) -> bytes:
    """An input of fuzz_index.py: mode, keys (payloads by position in
    fuzz_index's list), weights (None: no weight), and queries as (text,
    max_dist's place, limit's place, flags)."""
    out = bytes([mode, len(keys)]) + b"".join(text_bytes(key, KEY_CHARS) for key in keys)
    if not mode & 1:
        out += bytes(range(len(keys)))  # payloads 0, 1, 7, 2**32 - 1
    if mode & 6:
        for weight in weights:
            if weight is None:
                out += b"\x00"
            elif isinstance(weight, float):
                out += bytes([1 | 4 | FLOAT_WEIGHTS.index(weight) << 3])
            else:
                out += bytes([1 | INT_WEIGHTS.index(weight) << 3])
    if mode & 0xA0 == 0xA0:
        out += b"\x00"  # a negative weight
    if (mode >> 3) & 3 == 3:
        out += b"\x00" if last_rule else b"\x01"  # the rule that fails, or not
    out += bytes([len(queries) - 1])
    for text, k, limit, flags in queries:
        out += text_bytes(text, QUERY_CHARS) + bytes([k, limit, flags])
    return out


def index_inputs() -> list[bytes]:
    keys = ["abe", "Abé", "bac", "ßa", "ssa", "e"]
    ints: list[int | float | None] = [3, 3, 2**64 - 1, None, 2**53, 2**53 + 1]
    floats: list[int | float | None] = [0.5, 0.5, 1e300, None, 2.0**53, 5e-324]
    queries = [("abce", 3, 3, 0), ("bace", 5, 0, 1 | 16), ("éas", 6, 4, 2 | 4 | 32), ("", 1, 1, 8)]
    seeds = []
    for fold in range(4):
        for kind, weights in ((0, []), (1, ints), (2, floats), (3, ints[:3] + floats[3:])):
            mode = kind << 1 | fold << 3 | (fold & 1) | (64 if kind == fold else 0)
            seeds.append(index_input(mode, keys, weights, queries[: 1 + (fold + kind) % 4]))
    # A bad weight; a key that folds to nothing; a query with a lone surrogate.
    seeds.append(index_input(2 | 0xA0, keys, ints, queries[:1]))
    seeds.append(index_input(8, ["a\u0301", "\u0301"], [], queries[:1]))
    seeds.append(index_input(8 | 2, keys, ints, [("a\ud800", 2, 1, 0)]))
    # A custom rule that fails on some queries: no str for "bx", raises on "axxb".
    failing = [("ab", 1, 0, 0), ("bx", 1, 0, 0), ("axxb", 1, 0, 0)]
    seeds.append(index_input(24 | 2, keys, ints, failing, last_rule=True))
    seeds.append(index_input(24 | 2, keys, ints, failing[::2], last_rule=True))
    return seeds + REGRESSIONS


# Inputs of fuzz_index.py that once failed: keys of one folded form ranked by
# the weight of the form's heaviest key instead of (weight, form, key).
REGRESSIONS = [bytes.fromhex("8b6e53579fe6895bea6cd8287e370b614c3e72")]


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
    write(HERE / "corpus" / "index", index_inputs())
    print(f"{len(trie_images)} images, {len(index_inputs())} index inputs", file=sys.stderr)


if __name__ == "__main__":
    main()
