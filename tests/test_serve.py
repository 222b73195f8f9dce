"""morlatch serve: the JSON endpoint against Catalog.search, refused
requests, concurrent clients and the page in a headless browser. Every
connection is to 127.0.0.1."""

from __future__ import annotations

import http.client
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from html.parser import HTMLParser
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pytest

from morlatch.catalog import Catalog
from morlatch.serve import MAX_QUERY_BYTES, PAGE, make_server

WORDS = "acme alpha antenna beta bright café delta global résumé river scheduletech widgets".split()
SPECIAL = ["Acme <b>Bold</b> & Sons", "𝔘nicode Acme Tools", "Résumé Writers & Co"]
Address = tuple[str, int]


@pytest.fixture(scope="module")
def catalog() -> Catalog:
    rng = random.Random(23)
    names = [" ".join(rng.sample(WORDS, rng.randint(1, 4))).title() for _ in range(300)]
    return Catalog(names + SPECIAL)


@pytest.fixture(scope="module")
def server(catalog: Catalog) -> Iterator[Address]:
    httpd = make_server(catalog, quiet=True)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield "127.0.0.1", httpd.server_port
    httpd.shutdown()
    httpd.server_close()
    thread.join(10)


def request(address: Address, target: bytes, method: bytes = b"GET") -> tuple[int, Any]:
    """One request as raw bytes (so that malformed ones can be sent too):
    the status and the decoded JSON body."""
    with socket.create_connection(address, timeout=10) as conn:
        conn.sendall(method + b" " + target + b" HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
        chunks = []
        while chunk := conn.recv(65536):
            chunks.append(chunk)
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    assert b"application/json" in head
    return int(head.split()[1]), json.loads(body)


def expected(catalog: Catalog, query: str, limit: int = 10, **options: Any) -> dict[str, Any]:
    hits = catalog.search(query, limit, **options)
    rows = [
        {"text": h.text, "payload": h.payload, "score": h.score, "spans": h.spans} for h in hits
    ]
    answer: dict[str, Any] = json.loads(json.dumps({"query": query, "hits": rows}))
    return answer


def search_target(query: str, extra: str = "") -> bytes:
    return f"/search?q={quote(query, safe='')}{extra}".encode("ascii")


@pytest.mark.parametrize(
    ("query", "extra", "options"),
    [
        ("acme", "", {}),
        ("antena alph", "", {}),
        ("widgets acme ", "", {}),
        ("resume writers and", "&limit=3", {"limit": 3}),
        ("scheduletec", "&prefix=0", {"prefix": False}),
        ("anntena", "&typos=0", {"typos": 0}),
        ("beta", "&limit=0", {"limit": 0}),
        ("𝔘nicode", "", {}),
        ("", "", {}),
        ("é" * (MAX_QUERY_BYTES // 2), "", {}),
    ],
)
def test_search_answers_as_the_catalog(
    server: Address, catalog: Catalog, query: str, extra: str, options: dict[str, Any]
) -> None:
    status, answer = request(server, search_target(query, extra))
    assert status == 200
    assert answer == expected(catalog, query, **options)


@pytest.mark.parametrize(
    ("target", "method", "status", "message"),
    [
        (search_target("a" * (MAX_QUERY_BYTES + 1)), b"GET", 400, "at most 1000 bytes"),
        (search_target("é" * (MAX_QUERY_BYTES // 2) + "a"), b"GET", 400, "at most 1000 bytes"),
        (b"/search?q=%ff", b"GET", 400, "not UTF-8"),
        (b"/search?q=%ed%a0%80", b"GET", 400, "not UTF-8"),
        (b"/search?q=caf\xc3\xa9", b"GET", 400, "must be ASCII"),
        (b"/search?q=a&x=1", b"GET", 400, "unknown parameter 'x'"),
        (b"/?q=a", b"GET", 400, "unknown parameter 'q'"),
        (b"/search?q=a&q=b", b"GET", 400, "q is given twice"),
        (b"/search?limit=3", b"GET", 400, "q (the query) is missing"),
        (b"/search?q=a&limit=-1", b"GET", 400, "limit must be a whole number"),
        (b"/search?q=a&limit=1e3", b"GET", 400, "limit must be a whole number"),
        (b"/search?q=a&limit=101", b"GET", 400, "from 0 to 100"),
        (b"/search?q=a&limit=99999999999999999999", b"GET", 400, "from 0 to 100"),
        (b"/search?q=a&typos=3", b"GET", 400, "typos must be a whole number"),
        (b"/search?q=a&prefix=yes", b"GET", 400, "prefix must be 0 or 1"),
        (b"/nope", b"GET", 404, "no such path: /nope"),
        (b"/search", b"POST", 501, "Unsupported method"),
        (b"/" + b"a" * 70000, b"GET", 414, "URI Too Long"),
        (b"/search?q=a extra words", b"GET", 400, "Bad request"),
    ],
)
def test_bad_requests_are_refused_and_the_server_stays_up(
    server: Address, catalog: Catalog, target: bytes, method: bytes, status: int, message: str
) -> None:
    got, answer = request(server, target, method)
    assert (got, list(answer)) == (status, ["error"])
    assert message in answer["error"]
    assert request(server, search_target("acme")) == (200, expected(catalog, "acme"))


def test_the_page_needs_nothing_else(server: Address) -> None:
    with socket.create_connection(server, timeout=10) as conn:
        conn.sendall(b"GET / HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
        reply = b"".join(iter(lambda: conn.recv(65536), b""))
    head, _, body = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200") and b"text/html; charset=utf-8" in head
    assert body.decode("utf-8") == PAGE
    # No other resource: no links, sources or addresses in the page.
    assert not any(s in PAGE for s in ("src=", "href=", "http:", "https:", "@import"))


@pytest.mark.parametrize("keep_alive", [False, True])
def test_concurrent_clients_all_get_their_answers(
    server: Address, catalog: Catalog, keep_alive: bool
) -> None:
    rng = random.Random(5)
    queries = [" ".join(rng.sample(WORDS, 2))[: rng.randint(3, 20)] for _ in range(40)]
    answers = {q: expected(catalog, q) for q in queries}

    def client(seed: int) -> int:
        picks = random.Random(seed)
        conn = http.client.HTTPConnection(*server, timeout=10)
        right = 0
        for _ in range(50):
            query = picks.choice(queries)
            if keep_alive:
                conn.request("GET", search_target(query).decode("ascii"))
                reply = conn.getresponse()
                got = (reply.status, json.loads(reply.read()))
            else:
                got = request(server, search_target(query))
            right += got == (200, answers[query])
        conn.close()
        return right

    # 8 clients of 50 requests each, on loopback.
    with ThreadPoolExecutor(8) as pool:
        counts = list(pool.map(client, range(8), timeout=120))
    assert counts == [50] * 8


class _Hits(HTMLParser):
    """The hits list of a rendered page: per item its text and its marked
    words, and whether any element other than the expected ones appears."""

    def __init__(self) -> None:
        super().__init__()
        self.items: list[tuple[str, list[str]]] = []
        self.tags: set[str] = set()
        self._in_list = self._in_mark = self._in_meta = False

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "ol" and ("id", "hits") in attrs:
            self._in_list = True
        elif self._in_list:
            self.tags.add(tag)
            if tag == "li":
                self.items.append(("", []))
            self._in_mark = tag == "mark"
            self._in_meta = tag == "span"

    def handle_endtag(self, tag: str) -> None:
        if tag == "ol":
            self._in_list = False
        self._in_mark = self._in_meta = False

    def handle_data(self, data: str) -> None:
        if self._in_list and self.items and not self._in_meta:
            text, marks = self.items[-1]
            self.items[-1] = (text + data, marks + [data] if self._in_mark else marks)


@pytest.mark.skipif(shutil.which("chromium") is None, reason="chromium is not installed")
@pytest.mark.parametrize("query", ["acme", "acme bol", "unicode acm", "resume and co"])
def test_a_browser_shows_highlighted_hits(
    server: Address, catalog: Catalog, tmp_path: Path, query: str
) -> None:
    url = f"http://{server[0]}:{server[1]}/#{quote(query)}"
    # Headless, without a sandbox (tests may run as root), and with the
    # browser's own background traffic turned off: it talks to 127.0.0.1 only.
    flags = "--headless --no-sandbox --disable-gpu --no-first-run --disable-sync"
    flags += " --disable-background-networking --disable-component-update --disable-extensions"
    flags += f" --disable-default-apps --user-data-dir={tmp_path} --virtual-time-budget=5000"
    # The browser runs without the sanitizer runtime that a sanitized test
    # run preloads into its own process.
    env = {
        k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")
    }
    done = subprocess.run(
        ["chromium", *flags.split(), "--dump-dom", url],
        capture_output=True,
        text=True,
        timeout=90,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    page = _Hits()
    page.feed(done.stdout)
    hits = catalog.search(query)
    assert hits and page.tags <= {"li", "mark", "span"}
    want = [(h.text, [h.text[a:b] for a, b in h.spans]) for h in hits]
    assert page.items == want


def test_the_command_serves_a_file(tmp_path: Path) -> None:
    names = tmp_path / "names.txt"
    names.write_text("Acme Widgets Inc\t7\nAlpha Beta\n", encoding="utf-8")
    run = [sys.executable, "-m", "morlatch"]
    built = subprocess.run([*run, "build", names, "-o", tmp_path / "n.idx", "--catalog"])
    assert built.returncode == 0
    cmd = [*run, "serve", str(tmp_path / "n.idx"), "--port", "0", "--quiet"]
    with subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stderr is not None
            line = proc.stderr.readline()
            assert line.startswith("serving ") and "http://127.0.0.1:" in line
            port = int(line.rsplit(":", 1)[1].strip().rstrip("/"))
            status, answer = request(("127.0.0.1", port), b"/search?q=wid%20acm")
            assert status == 200
            assert [(h["text"], h["payload"]) for h in answer["hits"]] == [("Acme Widgets Inc", 7)]
        finally:
            proc.terminate()
            proc.wait(10)
    missing = subprocess.run([*run, "serve", tmp_path / "none.idx"], capture_output=True, text=True)
    assert missing.returncode != 0 and "none.idx" in missing.stderr
