"""MkDocs hooks: the benchmark plots in benchmarks/results/ go into the site
as results/NAME, so that the pages show the files the benchmarks write."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from mkdocs.structure.files import File, Files

RESULTS = Path(__file__).resolve().parent.parent / "benchmarks" / "results"


def on_files(files: Files, config: Any) -> Files:
    for plot in sorted(RESULTS.glob("*.png")):
        files.append(File.generated(config, f"results/{plot.name}", abs_src_path=str(plot)))
    return files
