"""The README's Python examples run as written (test_typing.py checks that
they also pass strict type checking)."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parent.parent


def readme_examples() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_examples_run(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    examples = readme_examples()
    assert examples, "README has no Python examples"
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {"__name__": "readme"}
    for example in examples:
        exec(compile(example, "README.md", "exec"), namespace)
