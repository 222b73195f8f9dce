"""The morlatch command with index files (build --weights/--fold) and the
correct command, run as a subprocess the way a user runs it; results are
compared with the Index API on the same keys."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from test_cli import parse_lines, run, shell

import morlatch

WORD_LIST = "the\nthen\nthey\nThé\nTHEM\nreceive\nrelieve\nrecipe\nhélo\n"
KEYS = WORD_LIST.split()
INT_WEIGHTS = {"the": 2**64 - 1, "then": 2_000_000, "they": 1_000_000, "Thé": 5, "THEM": 7}
INT_WEIGHTS |= {"receive": 5_000_000, "relieve": 3_000_000, "recipe": 4_000_000}
FLOAT_WEIGHTS = {"the": 0.5, "then": 2.5e-3, "they": 1e-3, "receive": 7.0, "recipe": 3}


def weights_text(weights: dict[str, int | float]) -> str:
    # A byte-order mark, CRLF line ends, a blank line and a weight given
    # again (the last one counts), as editors and other tools write them.
    lines = "".join(f"{key}\t{value}\r\n" for key, value in weights.items())
    return f"\ufeff{KEYS[0]}\t9\r\n\r\n{lines}"


KINDS = {
    "index": (None, False),  # --index alone
    "weights": (INT_WEIGHTS, False),
    "floats": (FLOAT_WEIGHTS, False),
    "fold": (None, True),
    "weights+fold": (INT_WEIGHTS, True),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """An index file per kind, built by the command."""
    folder = tmp_path_factory.mktemp("cli-index")
    words = folder / "words.txt"
    words.write_text(WORD_LIST, encoding="utf-8")
    built = {"words": words}
    for kind, (weights, fold) in KINDS.items():
        args: list[str | Path] = ["build", words, "-o", folder / f"{kind}.idx"]
        if weights is not None:
            (folder / f"{kind}.tsv").write_text(weights_text(weights), encoding="utf-8")
            args += ["--weights", folder / f"{kind}.tsv"]
        if fold:
            args.append("--fold")
        if weights is None and not fold:
            args.append("--index")
        done = run(*args)
        assert done.returncode == 0, done.stderr
        assert done.stderr.startswith(f"{folder / kind}.idx: {len(KEYS)} keys, ")
        built[kind] = folder / f"{kind}.idx"
    return built


def expected_index(kind: str) -> morlatch.Index:
    weights, fold = KINDS[kind]
    return morlatch.Index(KEYS, weights=weights, fold=fold)


@pytest.mark.parametrize("kind", KINDS)
def test_build_writes_the_index_of_the_word_list(files: dict[str, Path], kind: str) -> None:
    loaded = morlatch.Index.load(files[kind])
    assert loaded == expected_index(kind)  # keys, payloads, weights and their kind, folding
    assert loaded.weighted == (KINDS[kind][0] is not None)
    if kind == "floats":
        assert loaded.weight("recipe") == 3.0 and isinstance(loaded.weight("recipe"), float)
    # Stored with its reverse index: nothing is rebuilt at load.
    assert morlatch.layout_info(loaded.prefix_search)["reverse_index_built"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(("query", "max_dist"), [("THEN", 1), ("the", 2), ("recieve", 2)])
def test_query_and_complete_rank_as_the_index(
    files: dict[str, Path], kind: str, query: str, max_dist: int
) -> None:
    index = expected_index(kind)
    searched = run("query", "-f", files[kind], query, "-k", str(max_dist), "-t")
    want = index.search(query, max_dist, transpositions=True)
    assert (searched.returncode, parse_lines(searched.stdout)) == (0 if want else 1, want)
    completed = run("complete", "-f", files[kind], query[:2], "-k", "1", "-n", "3", "--json")
    rows = [tuple(row.values()) for row in json.loads(completed.stdout)]
    assert rows == index.complete(query[:2], 1, limit=3) and rows


def test_index_files_are_read_from_pipes_and_by_format(files: dict[str, Path]) -> None:
    want = expected_index("weights+fold").search("THEN", 1)
    piped = shell(
        'cat "$SRC" | "$@"', "query", "/dev/stdin", "THEN", "-k", "1", SRC=files["weights+fold"]
    )
    assert (piped.returncode, parse_lines(piped.stdout)) == (0, want), piped.stderr
    forced = run("query", "-f", files["weights+fold"], "THEN", "-k", "1", "--format", "index")
    assert parse_lines(forced.stdout) == want
    # A plain trie file is no index file, and the other way round.
    refused = {
        "index": run("query", "-f", files["words"], "the", "--format", "index"),
        "trie": run("query", "-f", files["fold"], "the", "--format", "trie"),
    }
    assert refused["index"].stderr == (
        f"morlatch: error: {files['words']}: not an index file: it lacks the index magic\n"
    )
    assert refused["trie"].stderr == (
        f"morlatch: error: {files['fold']}: an index file, not a trie file; use --format index\n"
    )
    assert all(done.returncode == 1 for done in refused.values())


def test_walk_order_reads_an_unfolded_index_and_refuses_a_folded_one(
    files: dict[str, Path],
) -> None:
    walk = run("query", "-f", files["weights"], "the", "-k", "1", "--walk-order")
    assert parse_lines(walk.stdout) == morlatch.build(KEYS).fuzzy_match("the", 1, None)
    folded = run("query", "-f", files["fold"], "the", "--walk-order")
    assert folded.returncode == 1 and folded.stdout == ""
    assert "--walk-order lists the folded forms" in folded.stderr
    assert folded.stderr.count("\n") == 1


@pytest.mark.parametrize("kind", KINDS)
def test_stats_of_an_index_file(files: dict[str, Path], kind: str) -> None:
    done = run("stats", files[kind], "--json")
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    weights, fold = KINDS[kind]
    index = expected_index(kind)
    trie = index.prefix_search
    expected = {
        "nodes": morlatch.layout_info(trie)["nodes"],
        "keys": len(KEYS),
        "depth": max(len(hit[0]) for hit in trie.fuzzy_match("", 99, None)),
        "bytes": len(trie.to_bytes()),
        "file_bytes": files[kind].stat().st_size,
        **({"forms": len(set(map(morlatch.fold_text, KEYS)))} if fold else {}),
        "weighted": weights is not None,
        "folded": fold,
    }
    assert summary == expected
    text = [line.split() for line in run("stats", files[kind]).stdout.splitlines()]
    assert text[-2:] == [
        ["weighted", "yes" if weights else "no"],
        ["folded", "yes" if fold else "no"],
    ]


# ---- correct -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("kind", "options"),
    [
        ("weights", ()),
        ("weights", ("--rule", "plain")),
        ("weights+fold", ("-k", "1")),
        ("floats", ("--no-transpositions",)),
        ("words", ("-t", "--rule", "plain")),
    ],
)
def test_correct_prints_the_best_correction_of_each_word(
    files: dict[str, Path], kind: str, options: tuple[str, ...]
) -> None:
    words = ["recieve", "THE", "hte", "rceipe", "zzzzzzzz", "théy"]
    done = run("correct", "-f", files[kind], *words, *options)
    index = morlatch.Index(KEYS) if kind == "words" else expected_index(kind)
    k = int(options[options.index("-k") + 1]) if "-k" in options else 2
    rule = "plain" if "plain" in options else "model"
    swap = "--no-transpositions" not in options
    best = [index.correct(word, k, transpositions=swap, rule=rule) for word in words]
    assert done.stdout.splitlines() == [
        hits[0].key if hits else word for word, hits in zip(words, best, strict=True)
    ]
    assert best[-2] == [] and done.returncode == 1  # "zzzzzzzz" has no correction
    as_json = run("correct", "-f", files[kind], *words, *options, "--json")
    assert json.loads(as_json.stdout) == [
        {"word": word, **(hits[0]._asdict() if hits else dict.fromkeys(morlatch.Match._fields))}
        for word, hits in zip(words, best, strict=True)
    ]
    found = run("correct", "-f", files[kind], *words[:4], *options)
    assert found.returncode == 0, found.stderr


def test_correct_without_file_uses_the_shipped_word_list() -> None:
    words = ["helo", "wrld", "speling", "qwxzqwxzqwxz"]
    done = run("correct", *words)
    index = morlatch.Index(morlatch.default_words())
    best = [index.correct(word) for word in words]
    assert done.stdout.splitlines() == [
        hits[0].key if hits else word for word, hits in zip(words, best, strict=True)
    ]
    assert done.returncode == 1 and not best[-1] and all(best[:-1])


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("correct", "ok", "\udcff"), "argument WORD: not valid UTF-8: b'\\xff'"),
        (("correct", "helo", "-k", "1", "wrld"), "unrecognized arguments: wrld (give the options"),
        (("correct", "helo", "--rule", "best"), "argument --rule: invalid choice: 'best'"),
        (("build", "WORDS", "-o", "OUT", "--weights"), "argument --weights: expected one argument"),
    ],
    ids=["not-utf8", "word-after-option", "rule", "weights-without-file"],
)
def test_wrong_command_line_exits_2(
    files: dict[str, Path], tmp_path: Path, args: tuple[str, ...], message: str
) -> None:
    paths = {"WORDS": files["words"], "OUT": tmp_path / "out"}
    done = run(*(paths.get(arg, arg) for arg in args))
    assert done.returncode == 2
    assert message in done.stderr.splitlines()[-1]
    assert "Traceback" not in done.stderr and not (tmp_path / "out").exists()


def test_correct_output_is_escaped_or_fails_in_one_line(files: dict[str, Path]) -> None:
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    done = subprocess.run(
        [sys.executable, "-m", "morlatch", "correct", "-f", files["words"], "hélo", "thé"],
        capture_output=True,
        env=env,
        timeout=120,
    )
    # Without weights "Thé" and "the" tie at one edit: the first in code-point order.
    assert (done.returncode, done.stdout, done.stderr) == (0, b"h\\xe9lo\nTh\\xe9\n", b"")
    closed = shell('"$@" >&-', "correct", "-f", files["words"], "thé")
    assert closed.returncode == 1
    assert closed.stderr == "morlatch: error: cannot write to standard output: it is closed\n"


# ---- bad weights files and word lists ------------------------------------------


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"the\t1\nthen\n", "w.tsv:2: no TAB or space between the key and its weight"),
        (b"\t1\n", "w.tsv:1: empty key before the TAB"),
        (b"  1\n", "w.tsv:1: empty key before the weight"),
        (b"the 1 2x\n", "w.tsv:1: weight '2x' is not a non-negative decimal number"),
        (b"the\t1\nThem \t3\n", "w.tsv:2: key 'Them ' is not in WORDS, which has 'THEM'"),
        (b"the\t-1\n", "w.tsv:1: weight '-1' is not a non-negative decimal number"),
        (b"the\t1\n\nthey\tnan\n", "w.tsv:3: weight 'nan' is not a non-negative decimal number"),
        (b"the\t1\t2\n", "w.tsv:1: weight '1\\t2' is not a non-negative decimal number"),
        (b"the\t18446744073709551616\n", "w.tsv:1: weight 18446744073709551616 is larger than"),
        (b"the\t1e999\n", "w.tsv:1: weight 1e999 is too large for a float"),
        (b"the\t1\nthem\t3\n", "w.tsv:2: key 'them' is not in WORDS"),
        (b"the\t1\n\xffx\t3\n", "w.tsv:2: not valid UTF-8"),
        (None, "cannot read w.tsv: No such file or directory"),
    ],
    ids=[
        *(
            "no-tab",
            "no-key",
            "no-key-spaces",
            "no-number",
            "near-key",
            "negative",
            "nan",
            "two-tabs",
            "too-big",
            "inf",
            "unknown",
        ),
        *("utf8", "missing"),
    ],
)
def test_bad_weights_file_is_named_in_one_line(
    files: dict[str, Path], tmp_path: Path, content: bytes | None, message: str
) -> None:
    weights = tmp_path / "w.tsv"
    if content is not None:
        weights.write_bytes(content)
    done = run("build", files["words"], "-o", tmp_path / "out", "--weights", weights)
    assert done.returncode == 1
    want = message.replace("w.tsv", str(weights)).replace("WORDS", str(files["words"]))
    assert done.stderr.startswith(f"morlatch: error: {want}")
    assert done.stderr.count("\n") == 1 and not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    ("lines", "weights"),
    [
        # A frequency dictionary's words, and its two-word entries.
        ("the 23135851162\nof 13151942776\n", {"the": 23135851162, "of": 13151942776}),
        ("abcs of 10956800\nof  7\n", {"abcs of": 10956800, "of": 7}),
        # Key-and-count lists in other scripts, fractions, and TABs beside them.
        ("的 61136000\n是\t0.5\n", {"的": 61136000.0, "是": 0.5}),
    ],
    ids=["words", "two-words", "mixed"],
)
def test_weights_given_as_key_space_count_lines(
    tmp_path: Path, lines: str, weights: dict[str, int | float]
) -> None:
    keys = ["the", "of", "abcs of", "的", "是", "x"]
    (tmp_path / "words.txt").write_text("\n".join(keys) + "\n", encoding="utf-8")
    out, counts = tmp_path / "out", tmp_path / "counts.txt"
    counts.write_text(lines, encoding="utf-8")
    done = run("build", tmp_path / "words.txt", "-o", out, "--weights", counts)
    assert done.returncode == 0, done.stderr
    assert morlatch.Index.load(out) == morlatch.Index(keys, weights=weights)


def test_build_refuses_a_key_that_folds_to_nothing(tmp_path: Path) -> None:
    words = tmp_path / "words.txt"
    words.write_text("a\n\nb\t4\n\u0301\t5\n", encoding="utf-8")
    done = run("build", words, "-o", tmp_path / "out", "--fold")
    assert done.returncode == 1 and not (tmp_path / "out").exists()
    assert done.stderr == f"morlatch: error: {words}:4: key '\u0301' folds to the empty string\n"


def test_long_text_on_a_weighted_folded_index_finds_nothing_without_error(
    files: dict[str, Path],
) -> None:
    # complete and correct take text of any length: nothing near, so
    # complete prints nothing and correct leaves the word (the status says a
    # text found no key).
    done = run("complete", "-f", files["weights+fold"], "-k", "2", "a" * 2000)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "")
    done = run("correct", "-f", files["weights+fold"], "a" * 2000)
    assert (done.returncode, done.stdout, done.stderr) == (1, "a" * 2000 + "\n", "")
