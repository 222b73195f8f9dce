"""The morlatch command, run as a subprocess the way a user runs it."""

from __future__ import annotations

import importlib.metadata
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import _morlatch
import morlatch
from morlatch import _cli_files, cli
from reference import levenshtein

WORDS = {"hello": 0, "help": 7, "held": 2, "hélo": 3, "world": 4, "😀x": 5, "a b": 6}
WORD_LIST = "hello\nhelp\t7\nheld\nhélo\nworld\n😀x\na b\n"


def run(*args: str | Path, **options: Any) -> subprocess.CompletedProcess[str]:
    options.setdefault("timeout", 120)
    return subprocess.run(
        [sys.executable, "-m", "morlatch", *map(str, args)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        **options,
    )


def shell(script: str, *args: str | Path, **files: Path) -> subprocess.CompletedProcess[str]:
    """script run by sh, with "$@" the morlatch command and args, and each
    of files in an environment variable of its name."""
    return subprocess.run(
        ["sh", "-c", script, "sh", sys.executable, "-m", "morlatch", *map(str, args)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=60,
        env={**os.environ, **{name: str(path) for name, path in files.items()}},
    )


def parse_lines(output: str) -> list[tuple[str, int, int]]:
    rows = []
    for line in output.splitlines():
        key, payload, distance = line.split("\t")
        rows.append((key, int(payload), int(distance)))
    return rows


@pytest.fixture(scope="module")
def word_list(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("cli") / "words.txt"
    path.write_text(WORD_LIST, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def trie_file(word_list: Path) -> Path:
    path = word_list.with_name("words.trie")
    done = run("build", word_list, "-o", path)
    assert done.returncode == 0, done.stderr
    return path


def test_build_writes_the_trie_of_the_word_list(trie_file: Path) -> None:
    assert trie_file.read_bytes() == morlatch.build(WORDS).to_bytes()


def test_build_reports_a_summary_or_nothing(tmp_path: Path, word_list: Path) -> None:
    done = run("build", word_list, "-o", tmp_path / "a.trie")
    assert done.stdout == ""
    nodes = len(morlatch.layout(WORDS).node_strings)
    assert f"7 keys, {nodes} nodes" in done.stderr
    quiet = run("build", word_list, "-o", tmp_path / "b.trie", "--quiet")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    loud = run("build", word_list, "-o", tmp_path / "c.trie", "--progress")
    assert loud.returncode == 0
    for stage in ("reading", "building a trie of 7 keys", "writing"):
        assert stage in loud.stderr


@pytest.mark.parametrize("source", ["trie", "words"])
@pytest.mark.parametrize(
    ("query", "max_dist"), [("helo", 1), ("helo", 2), ("hélo", 0), ("😀", 1), ("ab", 1)]
)
def test_query_matches_brute_force(
    source: str, query: str, max_dist: int, trie_file: Path, word_list: Path
) -> None:
    file = trie_file if source == "trie" else word_list
    done = run("query", file, query, "--max-dist", str(max_dist))
    assert done.returncode == 0, done.stderr
    hits = parse_lines(done.stdout)
    expected = {
        (key, value, levenshtein(query, key))
        for key, value in WORDS.items()
        if levenshtein(query, key) <= max_dist
    }
    # Ranked: closest first, then in code-point order.
    assert hits == sorted(expected, key=lambda hit: (hit[2], hit[0]))
    walk = run("query", file, query, "--max-dist", str(max_dist), "--walk-order")
    assert parse_lines(walk.stdout) == morlatch.build(WORDS).fuzzy_match(query, max_dist, None)


def test_query_json_and_limit(trie_file: Path) -> None:
    full = run("query", trie_file, "helo", "-k", "2", "--json")
    assert full.returncode == 0, full.stderr
    rows = json.loads(full.stdout)
    expected = ranked(morlatch.build(WORDS).fuzzy_match("helo", 2, None))
    assert rows == [{"key": k, "payload": p, "distance": d} for k, p, d in expected]
    limited = run("query", trie_file, "helo", "-k", "2", "--limit", "2", "--json")
    assert json.loads(limited.stdout) == rows[:2]
    # Nothing found: an empty result and exit status 1, as grep does.
    none = run("query", trie_file, "zzzzzz", "--json")
    assert (none.returncode, json.loads(none.stdout)) == (1, [])
    for command in ("query", "complete"):
        empty = run(command, trie_file, "zzzzzz")
        assert (empty.returncode, empty.stdout, empty.stderr) == (1, "", "")


def ranked(hits: list[tuple[str, int, int]]) -> list[tuple[str, int, int]]:
    return sorted(hits, key=lambda hit: (hit[2], hit[0]))


def test_query_with_transpositions_and_complete(trie_file: Path) -> None:
    # A swap is one edit unless --no-transpositions says otherwise.
    for options in ((), ("-t",)):
        swapped = run("query", trie_file, "hlep", "-k", "1", *options)
        assert (swapped.returncode, parse_lines(swapped.stdout)) == (0, [("help", 7, 1)])
    assert run("query", trie_file, "hlep", "-k", "1", "--no-transpositions").returncode == 1
    index = morlatch.Index(WORDS)
    for args in (("hel",), ("hlo", "-k", "1", "-n", "2"), ("ehl", "-k", "1", "--json")):
        done = run("complete", trie_file, *args)
        assert done.returncode == 0, done.stderr
        k = int(args[args.index("-k") + 1]) if "-k" in args else 0
        n = int(args[args.index("-n") + 1]) if "-n" in args else 10
        want = index.complete(args[0], k, limit=n)
        got = (
            [tuple(row.values()) for row in json.loads(done.stdout)]
            if "--json" in args
            else (parse_lines(done.stdout))
        )
        assert got == want and want
    both = run("query", trie_file, "a", "-t", "--walk-order")
    assert both.returncode == 2 and "not allowed with" in both.stderr


@pytest.fixture(scope="module")
def shipped_words_trie() -> _morlatch.PrefixSearch:
    # Built here from the list itself, independently of the prebuilt image
    # that the command loads.
    return morlatch.build(morlatch.default_words())


@pytest.mark.parametrize(
    ("query", "max_dist"), [("helo", 1), ("hello", 0), ("qwertyuiop", 1), ("spelin", 2)]
)
def test_query_without_file_uses_the_shipped_word_list(
    query: str, max_dist: int, shipped_words_trie: _morlatch.PrefixSearch
) -> None:
    done = run("query", query, "--max-dist", str(max_dist), "--no-transpositions")
    expected = ranked(shipped_words_trie.fuzzy_match(query, max_dist, None))
    assert done.returncode == (0 if expected else 1), done.stderr
    assert parse_lines(done.stdout) == expected


def test_readme_shows_the_real_default_query_output() -> None:
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    example = re.search(r"morlatch query helo --max-dist 1\n```.*?```text\n(.*?)```", readme, re.S)
    assert example, "README lost its default query example"
    shown = example.group(1).splitlines()
    assert shown[-1] == "..."
    done = run("query", "helo", "--max-dist", "1")
    assert done.stdout.splitlines()[: len(shown) - 1] == shown[:-1]


@pytest.mark.parametrize(
    ("order", "query"),
    [
        (("-f", "FILE", "-k", "1", "--", "-help"), "-help"),
        (("-k", "1", "FILE", "--", "-help"), "-help"),
        (("FILE", "--", "-help", "-k", "1"), None),
        (("hel", "-k", "1", "-f", "FILE"), "hel"),
        (("-f", "FILE", "hel", "-k", "1"), "hel"),
        (("--file=FILE", "-k1", "hel"), "hel"),
        (("FILE", "hel", "-k", "1"), "hel"),
        (("-k", "1", "FILE", "hel"), "hel"),
    ],
    ids=[
        "dash-query",
        "positional-dash-query",
        "after-dashes-all-positional",
        "file-option-last",
        "file-option-first",
        "file-option-joined",
        "positional-options-last",
        "positional-options-first",
    ],
)
def test_query_options_may_stand_around_the_text(
    word_list: Path, order: tuple[str, ...], query: str | None
) -> None:
    done = run(
        "query",
        *(
            str(word_list) if arg == "FILE" else arg.replace("=FILE", f"={word_list}")
            for arg in order
        ),
    )
    if query is None:  # "-k 1" after "--" are two more positionals
        assert done.returncode == 2 and "unrecognized arguments: -k 1" in done.stderr
        return
    assert done.returncode == 0, done.stderr
    assert done.stdout
    assert parse_lines(done.stdout) == ranked(morlatch.build(WORDS).fuzzy_match(query, 1, None))


@pytest.mark.parametrize(
    "order",
    [("FILE", "-k", "1", "hel"), ("FILE", "-k", "1", "--", "-help")],
    ids=["plain", "dashes"],
)
def test_options_between_file_and_text_need_the_file_option(
    word_list: Path, order: tuple[str, ...]
) -> None:
    # Positionals are read where they stand: FILE alone would be the text.
    done = run("query", *(word_list if arg == "FILE" else arg for arg in order))
    assert done.returncode == 2
    assert "give FILE as -f FILE" in done.stderr and "Traceback" not in done.stderr


def test_file_given_twice_is_a_usage_error(word_list: Path) -> None:
    done = run("query", "-f", word_list, word_list, "hel")
    assert done.returncode == 2
    assert "FILE given twice" in done.stderr


@pytest.mark.parametrize(
    "args",
    [("--", "-help"), ("-k", "1", "--", "-help"), ("-k", "1", "--", "-k")],
    ids=["alone", "after-options", "looks-like-an-option"],
)
def test_dash_query_without_file(
    args: tuple[str, ...], shipped_words_trie: _morlatch.PrefixSearch
) -> None:
    done = run("query", *args)
    query = args[-1]
    max_dist = 1 if args[0] == "-k" else 0
    expected = ranked(shipped_words_trie.fuzzy_match(query, max_dist, None))
    assert done.returncode == (0 if expected else 1), done.stderr
    assert parse_lines(done.stdout) == expected


def test_stats(trie_file: Path, word_list: Path) -> None:
    expected = {
        "nodes": len(morlatch.layout(WORDS).node_strings),
        "keys": len(WORDS),
        "depth": max(map(len, WORDS)),
        "bytes": trie_file.stat().st_size,
    }
    for file in (trie_file, word_list):
        done = run("stats", file, "--json")
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == {**expected, "file_bytes": file.stat().st_size}
    expected["file_bytes"] = trie_file.stat().st_size
    text = run("stats", trie_file)
    assert [line.split() for line in text.stdout.splitlines()] == [
        [name, str(value)] for name, value in expected.items()
    ]


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"good\nbad\tx\n", "words.txt:2: payload 'x' is not a decimal number"),
        (b"good\n\t3\n", "words.txt:2: empty key before the TAB"),
        (b"a\nb\nc\t99999999999\n", "words.txt:3: payload 99999999999 is outside"),
        (b"ok\n\xc3\x28\n", "words.txt:2: not valid UTF-8"),
    ],
    ids=["payload", "empty-key", "too-big", "utf8"],
)
@pytest.mark.parametrize("command", ["build", "query", "stats"])
def test_bad_line_is_named_without_traceback(
    tmp_path: Path, content: bytes, message: str, command: str
) -> None:
    words = tmp_path / "words.txt"
    words.write_bytes(content)
    args = {
        "build": ("build", words, "-o", tmp_path / "out.trie"),
        "query": ("query", words, "good"),
        "stats": ("stats", words),
    }[command]
    done = run(*args)
    assert done.returncode == 1
    assert message in done.stderr
    assert "Traceback" not in done.stderr
    assert not (tmp_path / "out.trie").exists()


@pytest.mark.parametrize("policy", ["last", "first", "error"])
@pytest.mark.parametrize("options", [(), ("--fold",)])
def test_build_keeps_repeated_keys_as_told(
    tmp_path: Path, policy: str, options: tuple[str, ...]
) -> None:
    words = tmp_path / "words.txt"
    words.write_text("a\nb\na\n", encoding="utf-8")
    out = tmp_path / "out"
    done = run("build", words, "-o", out, "--duplicates", policy, *options)
    if policy == "error":
        assert (done.returncode, done.stderr) == (
            1,
            f"morlatch: error: {words}:3: key 'a' is given again with payload 2, after "
            "payload 0 on line 1\n",
        )
        assert not out.exists()
        return
    assert done.returncode == 0, done.stderr
    built = morlatch.Index(["a", "b", "a"], duplicates=policy, fold=bool(options))  # type: ignore[arg-type]
    loaded = (
        morlatch.Index.load(out)
        if options
        else morlatch.Index.from_prefix_search(morlatch.load(out))
    )
    assert loaded == built


@pytest.mark.parametrize(
    "args",
    [
        ("query", "a", "b", "c"),
        ("query", "a", "--max-dist", "-1"),
        ("query", "a", "--limit", "many"),
        ("build", "words.txt"),
        ("frobnicate",),
        (),
    ],
    ids=[
        "three-positionals",
        "negative",
        "not-a-number",
        "no-output",
        "unknown",
        "nothing",
    ],
)
def test_wrong_command_line_exits_2(args: tuple[str, ...]) -> None:
    done = run(*args)
    assert done.returncode == 2
    assert "usage:" in done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize(
    ("option", "value", "named"),
    [
        ("-k", "99999999999999999999", "-k/--max-dist"),
        ("--max-dist", str(2**64), "-k/--max-dist"),
        ("--limit", str(2**64), "-n/--limit"),
        ("-n", "-3", "-n/--limit"),
    ],
)
def test_out_of_range_option_is_a_usage_error_naming_it(
    option: str, value: str, named: str
) -> None:
    done = run("query", option, value, "helo")
    assert done.returncode == 2
    assert f"argument {named}: " in done.stderr
    assert "Traceback" not in done.stderr


def test_largest_counts_are_accepted() -> None:
    done = run("query", "-k", str(2**64 - 1), "-n", str(2**64 - 1), "--json", "hello")
    assert done.returncode == 0, done.stderr
    assert len(json.loads(done.stdout)) == len(morlatch.default_words())


def test_version_comes_from_the_package_metadata() -> None:
    try:
        expected = importlib.metadata.version("morlatch")
    except importlib.metadata.PackageNotFoundError:
        expected = "(not installed)"
    done = run("--version")
    assert (done.returncode, done.stdout) == (0, f"morlatch {expected}\n")


def test_fault_without_file_names_no_file(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    broken = _morlatch.from_internal_data([0, 1], ["", "a"], [None, 1], [5])
    monkeypatch.setattr(_cli_files, "default_search", lambda: broken)
    assert cli.main(["query", "a"]) == 1
    assert capsys.readouterr().err == (
        "morlatch: error: malformed trie: index out of bounds: the len is 2 but the index is 5\n"
    )


def test_unreadable_files_exit_1(tmp_path: Path, word_list: Path) -> None:
    missing = run("query", tmp_path / "missing.trie", "a")
    assert missing.returncode == 1 and "cannot read" in missing.stderr
    no_folder = run("build", word_list, "-o", tmp_path / "no" / "such.trie")
    assert no_folder.returncode == 1 and "cannot write" in no_folder.stderr
    for done in (missing, no_folder):
        assert "Traceback" not in done.stderr


def test_file_that_is_not_a_trie(tmp_path: Path, word_list: Path) -> None:
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(b"\x05\x00\xff\xff")
    done = run("query", garbage, "a")
    assert done.returncode == 1
    assert "not a trie file" in done.stderr and "--format words" in done.stderr
    forced = run("stats", word_list, "--format", "trie")
    assert forced.returncode == 1 and "not a trie file" in forced.stderr
    assert "Traceback" not in done.stderr + forced.stderr
    # The package's own message alone: no native fault report before it.
    assert done.stderr.count("\n") == 1 and "panicked" not in done.stderr + forced.stderr


def test_trie_with_inconsistent_arrays(tmp_path: Path) -> None:
    # Decodes fine, but node 0's child 5 does not exist.
    broken = _morlatch.from_internal_data([0, 1], ["", "a"], [None, 1], [5])
    path = tmp_path / "broken.trie"
    morlatch.save(broken, path)
    for args in (("query", path, "a"), ("stats", path)):
        done = run(*args)
        assert done.returncode == 1
        assert "malformed trie" in done.stderr
        assert "Traceback" not in done.stderr


def test_cyclic_trie_is_reported_by_stats(tmp_path: Path) -> None:
    # Node 1 lists the root as its child: a walk would never end.
    cyclic = _morlatch.from_internal_data([0, 1], ["r", "a"], [None, 1], [1, 0])
    path = tmp_path / "cyclic.trie"
    morlatch.save(cyclic, path)
    done = run("stats", path)
    assert done.returncode == 1
    assert "malformed trie" in done.stderr


def test_query_ranks_a_trie_that_is_not_well_formed(tmp_path: Path) -> None:
    # The root's children stand out of code-point order: the plain walk reads
    # them, the index refuses them.
    unsorted = _morlatch.from_internal_data([0, 2, 2], ["", "b", "a"], [None, 1, 2], [1, 2])
    path = tmp_path / "unsorted.trie"
    morlatch.save(unsorted, path)
    done = run("query", path, "a", "-k", "1")
    assert (done.returncode, parse_lines(done.stdout)) == (0, [("a", 2, 0), ("b", 1, 1)])
    for args in (("query", path, "a", "-t"), ("complete", path, "a")):
        refused = run(*args)
        assert refused.returncode == 1
        assert "malformed trie: this trie's arrays are not well formed" in refused.stderr


# ---- nothing a user types or a file holds ends in a traceback -----------------


@pytest.mark.parametrize(
    ("args", "named", "shown"),
    [
        (("query", "\udcff"), "QUERY", "b'\\xff'"),
        (("query", "FILE", "\udcff", "-k", "1"), "QUERY", "b'\\xff'"),
        (("complete", "\udcff\udcfe"), "PREFIX", "b'\\xff\\xfe'"),
        (("complete", "-f", "FILE", "ok\udced\udca0\udc80"), "PREFIX", "b'ok\\xed\\xa0\\x80'"),
    ],
    ids=["query", "query-file", "complete", "encoded-surrogate"],
)
def test_text_that_is_not_utf8_is_a_usage_error(
    word_list: Path, args: tuple[str, ...], named: str, shown: str
) -> None:
    # Such bytes reach Python as lone surrogates (subprocess passes them back
    # as the raw bytes).
    done = run(*(word_list if arg == "FILE" else arg for arg in args))
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1].endswith(
        f"error: argument {named}: not valid UTF-8: {shown}"
    )
    assert "Traceback" not in done.stderr


def test_output_the_encoding_cannot_hold_is_escaped(trie_file: Path) -> None:
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    text = subprocess.run(
        [sys.executable, "-m", "morlatch", "query", trie_file, "helo", "-k", "1"],
        capture_output=True,
        env=env,
        timeout=120,
    )
    assert (text.returncode, text.stderr) == (0, b"")
    assert b"h\\xe9lo\t3\t1\n" in text.stdout
    as_json = run("query", trie_file, "helo", "-k", "1", "--json", env=env)
    assert as_json.returncode == 0 and as_json.stdout.isascii()
    assert {"key": "hélo", "payload": 3, "distance": 1} in json.loads(as_json.stdout)


@pytest.mark.parametrize(
    ("redirect", "reason"),
    [(">&-", "it is closed"), ("> /dev/full", "No space left on device")],
    ids=["closed", "full"],
)
@pytest.mark.parametrize("command", [("query", "hello", "-k", "1"), ("stats", "FILE")])
def test_output_that_cannot_be_written_is_one_line_and_status_1(
    trie_file: Path, redirect: str, reason: str, command: tuple[str, ...]
) -> None:
    if redirect == "> /dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    args = [trie_file if arg == "FILE" else arg for arg in command]
    done = shell(f'"$@" {redirect}', *args)
    assert done.returncode == 1
    assert done.stderr == f"morlatch: error: cannot write to standard output: {reason}\n"


def test_a_reader_that_goes_away_is_no_error() -> None:
    done = shell('"$@" | head -1', "query", "hello", "-k", "3", "--walk-order")
    assert done.returncode == 0  # head's status
    assert done.stdout.count("\n") == 1 and done.stderr == ""


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("query", "/dev/zero", "x"), "/dev/zero: not a trie file: it holds no nodes"),
        (("stats", "/dev/zero"), "/dev/zero: not a trie file: it holds no nodes"),
        (("query", "-f", "/dev/zero", "x", "--format", "words"), "/dev/zero:1: line longer"),
        (("build", "/dev/zero", "-o", "OUT"), "/dev/zero:1: line longer than 1 MiB"),
    ],
    ids=["query", "stats", "as-words", "build"],
)
def test_an_endless_stream_is_refused_early(
    tmp_path: Path, args: tuple[str, ...], message: str
) -> None:
    done = run(*(tmp_path / "out" if arg == "OUT" else arg for arg in args), timeout=60)
    assert done.returncode == 1
    assert message in done.stderr and done.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", [("query", "FILE", "a"), ("stats", "FILE")])
def test_a_trie_without_nodes_is_refused_at_load(tmp_path: Path, command: tuple[str, ...]) -> None:
    path = tmp_path / "empty.trie"
    path.write_bytes(b"\0\0\0\0")
    done = run(*(path if arg == "FILE" else arg for arg in command), "--format", "trie")
    assert done.returncode == 1
    reason = "not a trie file: it holds no nodes, and a trie must have a root"
    assert done.stderr == f"morlatch: error: {path}: {reason}\n"


def test_files_are_read_from_streams(trie_file: Path, word_list: Path) -> None:
    expected = ranked(morlatch.build(WORDS).fuzzy_match("helo", 1, None))
    for source in (trie_file, word_list):
        piped = shell('"$@" < "$SRC"', "query", "/dev/stdin", "helo", "-k", "1", SRC=source)
        assert (piped.returncode, parse_lines(piped.stdout)) == (0, expected), piped.stderr
    fifo = trie_file.with_name("words.fifo")
    os.mkfifo(fifo)
    done = shell('cat "$SRC" > "$FIFO" & "$@"', "stats", fifo, "--json", SRC=trie_file, FIFO=fifo)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["keys"] == len(WORDS)


def test_build_refuses_to_replace_a_fifo(tmp_path: Path, word_list: Path) -> None:
    # Writing through links and keeping modes: see test_storage.py.
    os.mkfifo(tmp_path / "out.fifo")
    refused = run("build", word_list, "-o", tmp_path / "out.fifo")
    assert refused.returncode == 1
    assert (
        refused.stderr
        == f"morlatch: error: cannot write {tmp_path / 'out.fifo'}: not a regular file\n"
    )
    assert (tmp_path / "out.fifo").is_fifo()
