"""``morlatch serve FILE``: a catalog searched from a web page.

The server answers three requests, all with GET:

- ``/``: one HTML page with a search box; the hits of what is typed show as
  one types, best first, their matched words highlighted. The query is kept
  in the address's fragment (``/#acme wid``), so a link opens on its hits.
- ``/search?q=QUERY``: the hits as JSON, ``{"query": ..., "hits": [{"text",
  "payload", "score", "spans"}, ...]}``, as ``Catalog.search`` finds them.
  Optional parameters: ``limit`` (0 to ``MAX_LIMIT``, default 10), ``typos``
  (``auto`` or 0 to 2) and ``prefix`` (``1`` or ``0``).
- anything else: 404.

A request the server cannot answer gets a JSON object ``{"error": message}``
with status 400: a query longer than ``MAX_QUERY_BYTES`` bytes of UTF-8, a
request target with characters outside ASCII, percent-escapes that are not
UTF-8, a parameter the path does not take or given twice, a missing ``q``, a
bad ``limit``, ``typos`` or ``prefix``. Each request runs on a thread of its
own and the server keeps answering others whatever one of them sends.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl

from .catalog import Catalog

if TYPE_CHECKING:
    from http.server import ThreadingHTTPServer

MAX_QUERY_BYTES = 1000
MAX_LIMIT = 100
_MAX_TYPOS = 2
PATHS = {"/": frozenset(), "/search": frozenset({"q", "limit", "typos", "prefix"})}


class BadRequest(Exception):
    """A request the server refuses with 400 and this message."""


def search_answer(catalog: Catalog, query_string: str) -> dict[str, Any]:
    """The JSON answer of ``/search`` to ``query_string`` (the part of the
    request target after '?'); BadRequest when it is malformed."""
    params = parameters("/search", query_string)
    if "q" not in params:
        raise BadRequest("the parameter q (the query) is missing")
    query = params["q"]
    if len(query.encode("utf-8", "surrogatepass")) > MAX_QUERY_BYTES:
        raise BadRequest(f"q must be at most {MAX_QUERY_BYTES} bytes of UTF-8")
    limit = _bounded("limit", params.get("limit", "10"), MAX_LIMIT)
    typos_text = params.get("typos", "auto")
    typos: int | str = "auto" if typos_text == "auto" else _bounded("typos", typos_text, _MAX_TYPOS)
    prefix_text = params.get("prefix", "1")
    if prefix_text not in ("0", "1"):
        raise BadRequest(f"prefix must be 0 or 1, not {prefix_text!r}")
    hits = catalog.search(query, limit, typos=typos, prefix=prefix_text == "1")
    return {
        "query": query,
        "hits": [
            {"text": h.text, "payload": h.payload, "score": h.score, "spans": h.spans} for h in hits
        ],
    }


def parameters(path: str, query_string: str) -> dict[str, str]:
    try:
        pairs = parse_qsl(
            query_string, keep_blank_values=True, strict_parsing=False, errors="strict"
        )
    except UnicodeDecodeError:
        raise BadRequest("the query string's percent-escapes are not UTF-8") from None
    params: dict[str, str] = {}
    for name, value in pairs:
        if name not in PATHS[path]:
            allowed = ", ".join(sorted(PATHS[path])) or "none"
            raise BadRequest(f"unknown parameter {name!r} (allowed: {allowed})")
        if name in params:
            raise BadRequest(f"the parameter {name} is given twice")
        params[name] = value
    return params


def _bounded(name: str, text: str, top: int) -> int:
    if not (text.isascii() and text.isdigit() and len(text) <= 6) or int(text) > top:
        raise BadRequest(f"{name} must be a whole number from 0 to {top}, not {text[:40]!r}")
    return int(text)


def make_server(
    catalog: Catalog, host: str = "127.0.0.1", port: int = 0, *, quiet: bool = False
) -> ThreadingHTTPServer:
    """A server of ``catalog`` bound to ``host``:``port`` (0: a free port,
    read back from ``server.server_port``); run it with
    ``serve_forever()``, stop it with ``shutdown()`` and ``server_close()``."""
    # The HTTP machinery is imported only here, not each time the command
    # line is parsed.
    from ._serve_http import Server

    return Server((host, port), catalog, quiet)


def add_serve_command(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    serve_cmd = sub.add_parser(
        "serve",
        help="serve a catalog as a web page with a search box",
        description="Serve catalog FILE (made by 'build --catalog') over HTTP: '/' is a page "
        "whose search box shows the hits as one types, '/search?q=QUERY[&limit=N]' answers "
        "JSON. Runs until interrupted.",
    )
    serve_cmd.add_argument("file", metavar="FILE", help="catalog file")
    serve_cmd.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)"
    )
    serve_cmd.add_argument(
        "--port", type=int, default=8000, metavar="N", help="port (default 8000; 0: any free one)"
    )
    serve_cmd.add_argument("--quiet", action="store_true", help="do not log each request")
    serve_cmd.set_defaults(command=serve)


def serve(args: argparse.Namespace) -> int:
    from .cli import CommandError

    try:
        catalog = Catalog.load(args.file)
    except (OSError, ValueError) as error:
        raise CommandError(str(error)) from None
    if not 0 <= args.port <= 65535:
        raise CommandError(f"--port must be from 0 to 65535, not {args.port}")
    try:
        server = make_server(catalog, args.host, args.port, quiet=args.quiet)
    except OSError as error:
        raise CommandError(f"cannot listen on {args.host}:{args.port}: {error}") from None
    url = f"http://{args.host}:{server.server_port}/"
    print(f"serving {args.file} at {url}", file=sys.stderr, flush=True)
    with server:
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return 0


# The page: inline style and script, no other resource. Every text it shows
# goes into the document as text nodes (never as markup), the highlighted
# words as <mark> elements around them. Spans count code points, as Python
# does, so the script slices the text's code points (Array.from), not its
# UTF-16 units.
PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>morlatch catalog</title>
<style>
body { font: 16px/1.4 system-ui, sans-serif; margin: 2em auto; max-width: 44em; padding: 0 1em;
       color: #222; }
input { width: 100%; box-sizing: border-box; font-size: 1.2em; padding: .4em .6em;
        border: 1px solid #999; border-radius: 4px; }
ol { padding-left: 1.6em; }
li { padding: .25em 0; border-bottom: 1px solid #eee; }
mark { background: #ffe066; border-radius: 2px; padding: 0 1px; }
.meta { color: #777; font-size: .8em; margin-left: .6em; }
#status { color: #777; font-size: .9em; min-height: 1.4em; }
#status.error { color: #b00; }
</style>
</head>
<body>
<h1>Catalog search</h1>
<input id="q" type="search" autocomplete="off" autofocus placeholder="Type words, in any order">
<p id="status"></p>
<ol id="hits"></ol>
<script>
"use strict";
const box = document.getElementById("q");
const list = document.getElementById("hits");
const status = document.getElementById("status");
let latest = 0;

function highlighted(text, spans) {
  const item = document.createElement("li");
  const chars = Array.from(text);
  let at = 0;
  for (const [start, end] of spans) {
    item.append(chars.slice(at, start).join(""));
    const mark = document.createElement("mark");
    mark.textContent = chars.slice(start, end).join("");
    item.append(mark);
    at = end;
  }
  item.append(chars.slice(at).join(""));
  return item;
}

function show(answer) {
  list.replaceChildren();
  for (const hit of answer.hits) {
    const item = highlighted(hit.text, hit.spans);
    const meta = document.createElement("span");
    meta.className = "meta";
    meta.textContent = "#" + hit.payload + "  " + hit.score.toFixed(3);
    item.append(meta);
    list.append(item);
  }
  status.className = "";
  status.textContent = answer.query.trim() === "" ? "" :
    answer.hits.length + (answer.hits.length === 1 ? " hit" : " hits");
}

async function search() {
  const query = box.value;
  const ticket = ++latest;
  history.replaceState(null, "", query ? "#" + encodeURIComponent(query) : location.pathname);
  try {
    const response = await fetch("search?limit=10&q=" + encodeURIComponent(query));
    const answer = await response.json();
    if (ticket !== latest) return;
    if (!response.ok) throw new Error(answer.error);
    show(answer);
  } catch (error) {
    if (ticket !== latest) return;
    list.replaceChildren();
    status.className = "error";
    status.textContent = String(error.message || error);
  }
}

box.addEventListener("input", search);
if (location.hash.length > 1) {
  try { box.value = decodeURIComponent(location.hash.slice(1)); } catch (e) { box.value = ""; }
  search();
}
</script>
</body>
</html>
"""
