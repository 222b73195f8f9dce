"""The HTTP side of ``morlatch serve`` (see serve.py): a threading server
holding the catalog and the handler of its requests."""

from __future__ import annotations

import json
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import urlsplit

from .catalog import Catalog
from .serve import PAGE, PATHS, BadRequest, parameters, search_answer


class Handler(BaseHTTPRequestHandler):
    server: Server
    protocol_version = "HTTP/1.1"
    # A client that sends nothing for this many seconds is dropped.
    timeout = 30
    # Headers and body go out as two writes: without this the second waits
    # for the client's delayed acknowledgement of the first (about 40 ms on
    # Linux) on a kept-alive connection.
    disable_nagle_algorithm = True

    def do_GET(self) -> None:
        try:
            if not self.path.isascii():
                raise BadRequest("the request target must be ASCII (percent-encode the query)")
            target = urlsplit(self.path)
            if target.path not in PATHS:
                self._send_json(HTTPStatus.NOT_FOUND, {"error": f"no such path: {target.path}"})
            elif target.path == "/":
                parameters("/", target.query)
                self._send(HTTPStatus.OK, "text/html; charset=utf-8", PAGE.encode("utf-8"))
            else:
                self._send_json(HTTPStatus.OK, search_answer(self.server.catalog, target.query))
        except (BadRequest, ValueError, TypeError) as error:
            self._send_json(HTTPStatus.BAD_REQUEST, {"error": str(error)})

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # The standard handler's own refusals (malformed request lines, too
        # long a target, unsupported methods) in JSON like the rest.
        text = message or HTTPStatus(code).phrase
        self.close_connection = True
        self._send_json(HTTPStatus(code), {"error": text}, with_body=self.command != "HEAD")

    def _send_json(self, status: HTTPStatus, body: dict[str, Any], with_body: bool = True) -> None:
        data = json.dumps(body, ensure_ascii=False).encode("utf-8")
        self._send(status, "application/json; charset=utf-8", data if with_body else b"")

    def _send(self, status: HTTPStatus, kind: str, data: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header(
            "Content-Security-Policy",
            "default-src 'self'; style-src 'unsafe-inline'; script-src 'unsafe-inline'",
        )
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if not self.server.quiet:
            super().log_message(format, *args)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], catalog: Catalog, quiet: bool) -> None:
        self.catalog = catalog
        self.quiet = quiet
        super().__init__(address, Handler)
