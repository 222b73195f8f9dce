"""The catalog from the shell (build --catalog, search) and on a Dask
cluster (morlatch.dask.match_many)."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from morlatch.catalog import Catalog

NAMES = "Acme Widgets Inc\t7\nScheduletech Antenna Alpha\nAlpha Beta\nRésumé Writers & Co\n"
WEIGHTS = "Alpha Beta\t5\n"


def run(*args: str | Path, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "morlatch", *map(str, args)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        input=stdin,
        timeout=120,
    )


@pytest.fixture(scope="module")
def catalog_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("catalog")
    (folder / "names.txt").write_text(NAMES, encoding="utf-8")
    (folder / "weights.txt").write_text(WEIGHTS, encoding="utf-8")
    out = folder / "names.idx"
    built = run(
        "build", folder / "names.txt", "-o", out, "--catalog", "--weights", folder / "weights.txt"
    )
    assert built.returncode == 0, built.stderr
    assert "4 names" in built.stderr
    return out


def expected(queries: list[str], path: Path) -> list[list[tuple[str, int, float]]]:
    catalog = Catalog.load(path)
    return [[(h.text, h.payload, h.score) for h in catalog.search(q)] for q in queries]


@pytest.mark.parametrize("from_stdin", [False, True])
def test_search_prints_text_payload_and_score(catalog_file: Path, from_stdin: bool) -> None:
    queries = ["alpha", "acme widg", "resume and"]
    if from_stdin:
        done = run("search", "-f", catalog_file, stdin="".join(q + "\n" for q in queries))
    else:
        done = run("search", "-f", catalog_file, *queries)
    assert done.returncode == 0, done.stderr
    blocks = [block.splitlines() for block in done.stdout.split("\n\n")]
    got = [[tuple(line.split("\t")) for line in block] for block in blocks]
    want = expected(queries, catalog_file)
    assert got == [[(t, str(p), f"{s:.4f}") for t, p, s in hits] for hits in want]
    # The weight puts "Alpha Beta" (payload 2) first among equals.
    assert got[0][0][:2] == ("Alpha Beta", "2")


def test_search_json_and_nothing_found(catalog_file: Path) -> None:
    done = run("search", "-f", catalog_file, "--json", "antena", "zzzz")
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert lines[0][0]["text"] == "Scheduletech Antenna Alpha"
    assert lines[0][0]["spans"] == [[13, 20]]
    assert lines[1] == []
    assert done.returncode == 0
    assert run("search", "-f", catalog_file, "zzzz").returncode == 1


def test_search_refuses_other_files(tmp_path: Path) -> None:
    other = tmp_path / "words.txt"
    other.write_text("a\n", encoding="utf-8")
    done = run("search", "-f", other, "a")
    assert done.returncode == 1 and "not a catalog file" in done.stderr


def test_match_many_on_dask() -> None:
    dask_bag = pytest.importorskip("dask.bag")
    from morlatch.dask import match_many

    catalog = Catalog(["Acme Widgets Inc", "Bolt & Nut Co", "Nimbus Cloud Holdings"])
    names = ["ACME WIDGETS", "nimbus clod holdings", "Zephyr Ltd"]
    want = catalog.match_many(names, limit=2)
    bag = dask_bag.from_sequence(names, npartitions=2)
    got: Any = match_many(bag, catalog, limit=2).compute(scheduler="sync")
    assert got == want and want[0] and want[1] and not want[2]
    with pytest.raises(TypeError, match="catalog"):
        match_many(names, object())
    with pytest.raises(ValueError, match="limit"):
        match_many(names, catalog, limit=-1)


def test_match_many_of_a_list_on_a_cluster() -> None:
    distributed = pytest.importorskip("distributed")
    from morlatch.dask import match_many

    catalog = Catalog(["Acme Widgets Inc", "Bolt & Nut Co", "Nimbus Cloud Holdings"])
    names = ["ACME WIDGETS", "nimbus clod holdings", "Zephyr Ltd"] * 5
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        assert match_many(names, catalog, client=client) == catalog.match_many(names)


def test_the_docs_page_prints_what_it_shows(capsys: pytest.CaptureFixture[str]) -> None:
    import re

    page = (Path(__file__).resolve().parent.parent / "docs" / "guide" / "catalog.md").read_text(
        "utf-8"
    )
    blocks = re.findall(r"^```python\n(.*?)^```", page, flags=re.S | re.M)
    assert blocks
    namespace: dict[str, Any] = {"__name__": "docs"}
    for block in blocks:
        exec(compile(block, "docs/guide/catalog.md", "exec"), namespace)
        shown = [line[2:] for line in block.splitlines() if line.startswith("# ")]
        assert capsys.readouterr().out.splitlines() == shown
