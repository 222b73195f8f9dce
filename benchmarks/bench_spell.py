"""morlatch.Speller side by side with Hunspell (through pyenchant),
symspellpy, wordsegment and pyspellchecker, in one run.

Word lists: first-suggestion accuracy and words/s on misspellings of the
Birkbeck corpus (/work/shared/data/birkbeck-train.dat) whose correct word
falls in a held-out fifth (chosen by a hash of the word); morlatch's error
model is fitted here on the other four fifths, never on what it is judged
on. Norvig's set (spell-testset1.txt) was drawn from the same corpus, so on
it the shipped model (fitted on all of birkbeck-train.dat) is flattered.

Sentences: plain-prose sentences of texts on this machine (Vim's user and
reference manuals, the GPL and other licenses, old narrative prose: the
King James Bible's narrative books, read through Debian's ``bible`` command
when bible-kjv is installed, and six 19th-century novels from Debian's
r-cran-janeaustenr, read from its data file without R; each skipped with a
note when absent), corrupted here with a seed. ``--corruption real`` (the
default) puts in only real misspellings, drawn from the Birkbeck pairs whose
correct word is in the held-out fifth, a few neighbours run together and a
few words split: about 9-10% of the words wrong as corrupted.
``--corruption mixed`` (the earlier setting, about 15% wrong) misspells one
word in ten, with one random edit where the held-out fifth has no
misspelling of the word. Reported: word error rate, bad words fixed, good
words harmed, sentences restored exactly, sentences/s (CPU time). Segmentation: the
same sentences, lower-cased, with spaces and punctuation removed.

    apt-get install -y libenchant-2-2 hunspell-en-us bible-kjv
    # the novels, without R: unpacked under build/bench-data
    (cd build && apt-get download r-cran-janeaustenr &&
        dpkg-deb -x r-cran-janeaustenr_*.deb bench-data)
    pip install pyenchant symspellpy wordsegment pyspellchecker
    PYTHONPATH=python:build/dev python benchmarks/bench_spell.py [--sentences N]
        [--words N (0: no word lists)] [--text NAME ...] [--no-peers]
        [--corruption real|mixed] [--seed N (the draw of sentences)] [--segment-only]
"""

from __future__ import annotations

import argparse
import difflib
import glob
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib
from collections.abc import Callable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))

from fit_error_model import read_pairs  # noqa: E402

import morlatch  # noqa: E402
from common import describe_machine, levenshtein, typo  # noqa: E402

DATA = "/work/shared/data"
HOLDOUT = 5
SLOW_SAMPLE = 100
_VIM_USER = sorted(glob.glob("/usr/share/vim/vim*/doc/usr_*.txt"))
_LICENSES = "/usr/share/common-licenses/"
# Narrative books of the King James Bible: prose with names, dialogue and
# archaic words, read verse by verse through Debian's bible command.
_PROSE_BOOKS = ("Ge1:1-50:26", "Ru1:1-4:22", "1Sa1:1-31:13", "Lu1:1-24:53", "Ac1:1-28:31")
PROSE = "old prose (King James narrative books)"
NOVELS = "19th-century novels"
_NOVELS_DATA = "usr/lib/R/site-library/janeaustenr/data/Rdata.rdb"
_NOVELS_AT = (
    "/",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-data"),
)
# Technical texts of two kinds, two of each, and old prose: every rule of the
# sentence layer is checked on all five.
TEXTS = {
    "vim user manual": _VIM_USER,
    "GPL": [_LICENSES + "GPL-3"],
    "vim reference manual": sorted(
        set(glob.glob("/usr/share/vim/vim*/doc/*.txt")) - set(_VIM_USER)
    ),
    "other licenses": [
        _LICENSES + name for name in ("Apache-2.0", "MPL-2.0", "Artistic", "GFDL-1.3", "LGPL-2.1")
    ],
    # No files: the prose comes from the bible command (see prose_text),
    # the novels from their R package's data file (see novels_text).
    PROSE: [],
    NOVELS: [],
}
# A title ("Mr. Darcy", "Mr. and Mrs. Bennet"): its full stop ends no
# sentence, so a sentence neither starts after one nor ends at one.
_TITLES = ("Mr", "Mrs", "Dr", "St", "Messrs")
_TITLE = rf"(?:{'|'.join(_TITLES)})\.(?= )"
_NOT_AFTER_TITLE = "".join(rf"(?<!\b{title}\. )" for title in _TITLES)
_PLAIN = re.compile(
    rf"{_NOT_AFTER_TITLE}(?:{_TITLE}|(?!{_TITLE})[A-Z][a-z]+)"
    rf"(?:[ ,;]+(?:{_TITLE}|(?!{_TITLE})[A-Za-z][a-z']*)){{5,24}}[.!?]"
)


def held_out(word: str) -> bool:
    return zlib.crc32(word.lower().encode()) % HOLDOUT == 0


def norvig_pairs() -> list[tuple[str, str]]:
    pairs = []
    with open(os.path.join(DATA, "spell-testset1.txt")) as stream:
        for line in stream:
            right, _, wrongs = line.partition(":")
            pairs += [(wrong, right.strip()) for wrong in wrongs.split()]
    return pairs


# ---- the tools ------------------------------------------------------------------


def peers() -> dict[str, object]:
    found: dict[str, object] = {}
    try:
        import enchant

        found["hunspell"] = enchant.Dict("en_US")
    except Exception as error:  # noqa: BLE001
        print(f"# no Hunspell: {error}")
    try:
        from importlib.resources import files

        from symspellpy import SymSpell

        sym = SymSpell(max_dictionary_edit_distance=2)
        base = files("symspellpy")
        sym.load_dictionary(str(base / "frequency_dictionary_en_82_765.txt"), 0, 1)
        sym.load_bigram_dictionary(str(base / "frequency_bigramdictionary_en_243_342.txt"), 0, 2)
        found["symspellpy"] = sym
    except Exception as error:  # noqa: BLE001
        print(f"# no symspellpy: {error}")
    try:
        from spellchecker import SpellChecker

        found["pyspellchecker"] = SpellChecker()
    except Exception as error:  # noqa: BLE001
        print(f"# no pyspellchecker: {error}")
    try:
        import wordsegment

        wordsegment.load()
        found["wordsegment"] = wordsegment
    except Exception as error:  # noqa: BLE001
        print(f"# no wordsegment: {error}")
    return found


def word_correctors(speller: morlatch.Speller, tools: dict) -> dict[str, Callable[[str], str]]:
    out: dict[str, Callable[[str], str]] = {"morlatch": speller.correct}

    def stepwise(word: str) -> str:
        # The same choice gathered and ranked step by step from Python (how
        # correct ran before its one native call), for the ratio in one run.
        lower = word.lower()
        if lower in speller:
            return word
        found = speller._ranked(lower, None, None, 1)
        return found[0].word if found else word

    out["morlatch, stepwise from Python (before)"] = stepwise
    if "hunspell" in tools:
        d = tools["hunspell"]

        def hunspell(word: str) -> str:
            if d.check(word):
                return word
            got = d.suggest(word)
            return got[0] if got else word

        out["hunspell"] = hunspell
    if "symspellpy" in tools:
        from symspellpy import Verbosity

        sym = tools["symspellpy"]

        def symspell(word: str) -> str:
            got = sym.lookup(word, Verbosity.TOP, 2)
            return got[0].term if got else word

        out["symspellpy"] = symspell
    if "pyspellchecker" in tools:
        checker = tools["pyspellchecker"]
        out["pyspellchecker"] = lambda word: checker.correction(word) or word
    return out


def word_lists(speller: morlatch.Speller, shipped: morlatch.Speller, tools: dict, size: int):
    rng = random.Random(7)
    birkbeck = [p for p in read_pairs(os.path.join(DATA, "birkbeck-train.dat")) if held_out(p[1])]
    lists = {
        "Birkbeck held out": rng.sample(birkbeck, min(size, len(birkbeck))),
        "Norvig set 1 (flattered)": norvig_pairs(),
    }
    sizes = ", ".join(f"{name}: {len(pairs)}" for name, pairs in lists.items())
    print(f"\n## first suggestion right, words/s ({sizes})")
    print("| list | tool | right | words/s |")
    print("|---|---|---|---|")
    for name, pairs in lists.items():
        who = shipped if "flattered" in name else speller
        for tool, fix in word_correctors(who, tools).items():
            # pyspellchecker takes seconds per long word: a sample of the list.
            sample = pairs[:SLOW_SAMPLE] if tool == "pyspellchecker" else pairs
            started = time.perf_counter()
            right = sum(fix(wrong).lower() == want.lower() for wrong, want in sample)
            seconds = time.perf_counter() - started
            share = 100 * right / len(sample)
            print(
                f"| {name} | {tool} ({len(sample)}) | {share:.1f}% | {len(sample) / seconds:,.0f} |"
            )
        for workers in (1, None):
            typed = [wrong for wrong, _ in pairs]
            started = time.perf_counter()
            fixed = who.correct_many(typed, workers=workers)
            seconds = time.perf_counter() - started
            right = sum(
                got.lower() == want.lower() for got, (_, want) in zip(fixed, pairs, strict=True)
            )
            label = "1 thread" if workers == 1 else f"{os.cpu_count()} threads"
            print(
                f"| {name} | morlatch correct_many, {label} ({len(pairs)}) "
                f"| {100 * right / len(pairs):.1f}% | {len(pairs) / seconds:,.0f} |"
            )


# ---- sentences ----------------------------------------------------------------------


def prose_text() -> str | None:
    """The narrative books, verse references dropped; None without the
    bible command."""
    command = shutil.which("bible")
    if command is None:
        return None
    verses = subprocess.run(
        [command, "-f", *_PROSE_BOOKS], capture_output=True, text=True, check=True
    ).stdout
    return re.sub(r"^\S+\d+:\d+ ", "", verses, flags=re.MULTILINE)


def novels_text() -> str | None:
    """The novels' lines, joined; None when the package is not unpacked.
    The data file is a run of zlib streams, each a serialized R object; the
    lines are its character strings (flag word 0x00040009, then a length)."""
    path = next(
        (
            os.path.join(at, _NOVELS_DATA)
            for at in _NOVELS_AT
            if os.path.exists(os.path.join(at, _NOVELS_DATA))
        ),
        None,
    )
    if path is None:
        return None
    with open(path, "rb") as stream:
        data = stream.read()
    lines: list[str] = []
    at = 0
    while at < len(data):
        stream = zlib.decompressobj()
        raw = stream.decompress(data[at + 4 :])
        at = len(data) - len(stream.unused_data)
        for found in re.finditer(rb"\x00\x04\x00\x09(....)", raw, re.DOTALL):
            (size,) = struct.unpack(">i", found.group(1))
            if 0 <= size < 1 << 16:
                lines.append(raw[found.end() : found.end() + size].decode("utf-8", "replace"))
    return "\n".join(lines)


def texts_of(source: str, paths: list[str]) -> list[str]:
    """The texts of the files; the prose or the novels when there are none."""
    if not paths:
        return [(novels_text() if source == NOVELS else prose_text()) or ""]
    found = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as stream:
            found.append(stream.read())
    return found


def sentences(source: str, paths: list[str], count: int, seed: int) -> list[str]:
    found: list[str] = []
    for text in texts_of(source, paths):
        text = re.sub(r"\s+", " ", text)
        found += [m.group() for m in _PLAIN.finditer(text)]
    found = sorted(set(found))
    random.Random(seed).shuffle(found)
    return found[:count]


# How words are corrupted: (run together, split, misspelt) per word. "real"
# misspells only words the held-out fifth has real misspellings of, each
# such word with the last probability; "mixed" misspells one word in ten,
# with a random edit where there is no real misspelling.
CORRUPTIONS = {"real": (0.02, 0.03, 0.55), "mixed": (0.03, 0.045, 0.15)}


def corrupt(
    rng: random.Random, sentence: str, misspellings: dict[str, list[str]], mode: str = "real"
) -> str:
    join, split, misspelt = CORRUPTIONS[mode]
    words = sentence.split(" ")
    out: list[str] = []
    i = 0
    while i < len(words):
        word = words[i]
        core = word.strip(".,;!?")
        roll = rng.random()
        if roll < join and i + 1 < len(words) and core == word and words[i + 1].isalpha():
            out.append(word + words[i + 1])  # run together
            i += 2
            continue
        choices = misspellings.get(core.lower())
        if mode == "real":
            misspell = roll >= split and bool(choices) and rng.random() < misspelt
        else:
            misspell = roll < misspelt
        if roll < split and len(core) >= 6 and core.isalpha():
            cut = rng.randrange(2, len(core) - 2)
            out.append(word[:cut] + " " + word[cut:])  # split
        elif misspell and len(core) >= 3 and core.isalpha():
            bad = rng.choice(choices) if choices else typo(rng, core.lower(), 1)
            if core[0].isupper():
                bad = bad[:1].upper() + bad[1:]
            out.append(word.replace(core, bad))
        else:
            out.append(word)
        i += 1
    return " ".join(out)


def words_of(text: str) -> list[str]:
    """The words of a text, lower-cased, punctuation left out: what the word
    counts compare (symspellpy's lookup_compound drops case and punctuation)."""
    return re.findall(r"[a-z0-9']+", text.lower())


def sentence_scores(name, fix, pairs) -> str:
    # CPU time: a shared machine's load does not count against a tool.
    started = time.process_time()
    fixed = [fix(bad) for bad, _ in pairs]
    seconds = time.process_time() - started
    errors = total = bad_words = bad_fixed = good_words = good_harmed = exact = 0
    for (bad, good), out in zip(pairs, fixed, strict=True):
        want, given, got = words_of(good), words_of(bad), words_of(out)
        errors += levenshtein(want, got)
        total += len(want)
        exact += out == good
        # A word of the sentence is bad when the corruption changed it; it is
        # fixed (or, if good, kept) when it is matched in the output.
        kept = matched(want, given)
        restored = matched(want, got)
        for at in range(len(want)):
            if at in kept:
                good_words += 1
                good_harmed += at not in restored
            else:
                bad_words += 1
                bad_fixed += at in restored
    return (
        f"| {name} | {100 * errors / total:.2f}% | {100 * bad_fixed / max(bad_words, 1):.0f}% "
        f"| {100 * good_harmed / max(good_words, 1):.2f}% | {100 * exact / len(pairs):.0f}% "
        f"| {len(pairs) / seconds:,.0f} |"
    )


def matched(want: list[str], other: list[str]) -> set[int]:
    """The positions of ``want`` that a longest common alignment matches in
    ``other``."""
    blocks = difflib.SequenceMatcher(None, want, other, autojunk=False).get_matching_blocks()
    return {block.a + k for block in blocks for k in range(block.size)}


def text_tools(speller: morlatch.Speller, tools: dict) -> dict[str, Callable[[str], str]]:
    out: dict[str, Callable[[str], str]] = {
        "as corrupted": lambda text: text,
        "morlatch": speller.fix,
    }
    if "hunspell" in tools:
        d = tools["hunspell"]

        def hunspell(text: str) -> str:
            def one(m: re.Match[str]) -> str:
                word = m.group()
                if d.check(word):
                    return word
                got = d.suggest(word)
                return got[0] if got else word

            return re.sub(r"[A-Za-z']+", one, text)

        out["hunspell per word"] = hunspell
    if "symspellpy" in tools:
        sym = tools["symspellpy"]
        out["symspellpy lookup_compound"] = lambda text: sym.lookup_compound(text, 2)[0].term
    return out


def sentence_runs(
    speller,
    tools,
    count: int,
    chosen: list[str] | None,
    mode: str = "real",
    seed: int = 3,
    segment_only: bool = False,
) -> None:
    misspellings: dict[str, list[str]] = {}
    for wrong, right in read_pairs(os.path.join(DATA, "birkbeck-train.dat")):
        if held_out(right) and wrong.isalpha():
            misspellings.setdefault(right.lower(), []).append(wrong.lower())
    for source, paths in TEXTS.items():
        if chosen and not any(name in source for name in chosen):
            continue
        good = sentences(source, paths, count, seed=seed)
        if not good:
            print(f"\n# {source}: not on this machine, skipped")
            continue
        if segment_only:
            print(f"\n## segmentation: {source}, {len(good)} sentences, draw {seed}")
            segmentation(speller, tools, good)
            continue
        rng = random.Random(11)
        pairs = [(corrupt(rng, s, misspellings, mode), s) for s in good]
        print(f"\n## sentences: {source}, {len(pairs)} sentences, {mode} corruption")
        print(
            "| tool | word error rate | bad words fixed | good words harmed | exact | sentences/s |"
        )
        print("|---|---|---|---|---|---|")
        for name, fix in text_tools(speller, tools).items():
            print(sentence_scores(name, fix, pairs))
        segmentation(speller, tools, good)


def segmentation(speller, tools, good: list[str]) -> None:
    cases = [
        (re.sub(r"[^a-z]", "", s.lower()), re.findall(r"[a-z]+", s.lower().replace("'", "")))
        for s in good
    ]
    runs: dict[str, Callable[[str], list[str]]] = {"morlatch": speller.segment}
    if "symspellpy" in tools:
        sym = tools["symspellpy"]
        runs["symspellpy word_segmentation"] = lambda t: sym.word_segmentation(
            t, 0
        ).corrected_string.split()
    if "wordsegment" in tools:
        runs["wordsegment"] = tools["wordsegment"].segment
    print("| segmentation | restored | sentences/s |")
    print("|---|---|---|")
    for name, run in runs.items():
        started = time.process_time()
        right = sum(run(text) == words for text, words in cases)
        seconds = time.process_time() - started
        print(f"| {name} | {right}/{len(cases)} | {len(cases) / seconds:,.0f} |")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sentences", type=int, default=300)
    parser.add_argument("--words", type=int, default=1000)
    parser.add_argument("--text", action="append", help="only texts whose name holds this")
    parser.add_argument("--no-peers", action="store_true", help="morlatch rows only")
    parser.add_argument("--corruption", choices=sorted(CORRUPTIONS), default="real")
    parser.add_argument("--seed", type=int, default=3, help="which draw of sentences")
    parser.add_argument("--segment-only", action="store_true", help="segmentation tables only")
    args = parser.parse_args()
    print("\n".join(describe_machine()))
    started = time.perf_counter()
    train = [p for p in read_pairs(os.path.join(DATA, "birkbeck-train.dat")) if not held_out(p[1])]
    model = morlatch.ErrorModel.fit(train)
    print(f"# error model fitted on {len(train)} pairs in {time.perf_counter() - started:.1f} s")
    started = time.perf_counter()
    shipped = morlatch.Speller.english()
    print(f"# Speller.english() built in {time.perf_counter() - started:.2f} s")
    speller = shipped.with_model(model)
    tools = {} if args.no_peers else peers()
    if args.words:
        word_lists(speller, shipped, tools, args.words)
    sentence_runs(
        speller, tools, args.sentences, args.text, args.corruption, args.seed, args.segment_only
    )


if __name__ == "__main__":
    main()
