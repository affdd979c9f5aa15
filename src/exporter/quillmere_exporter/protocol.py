"""HTTP/1.1 messages as bytes, for server.py: request heads parsed,
responses serialised. No sockets here.

What it promises:
- head_end() finds the end of a request head, the blank line ending in CRLF
  CRLF or bare LF LF.
- parse_head() accepts a request line of three parts with HTTP/1.0 or
  HTTP/1.1 and header lines "name: value" (names case-insensitive, values
  trimmed, repeats joined with ", "); anything else is 400, another version
  505. A request with a body (Transfer-Encoding, or a Content-Length other
  than 0) is 400: nothing served here takes one. HTTP/1.1 keeps the
  connection alive unless "Connection: close"; HTTP/1.0 only with
  "Connection: keep-alive".
- other_method() answers what is not GET or HEAD: OPTIONS with the methods
  allowed, anything else with 405.
- serialize() writes the status line, Content-Length, the response's own
  headers and, when the connection will close, "Connection: close"; for HEAD
  the head alone.
"""

from __future__ import annotations

import http
from typing import Dict, Mapping, Optional, Sequence, Tuple

HEAD_LIMIT = 8192  # bytes of request line and headers
ALLOW = "GET, HEAD, OPTIONS"


class Request:
    """One request head: the method, the target as sent (path and query) and
    the headers, names in lower case, repeated ones joined with ", "."""

    __slots__ = ("method", "target", "headers")

    def __init__(self, method: str, target: str, headers: Mapping[str, str]) -> None:
        self.method = method
        self.target = target
        self.headers = headers

    @property
    def path(self) -> str:
        return self.target.split("?", 1)[0]

    @property
    def query(self) -> str:
        return self.target.partition("?")[2]


class Response:
    """Status, body and extra headers; the server adds Content-Length and,
    when it will close the connection, Connection: close."""

    __slots__ = ("status", "body", "headers")

    def __init__(self, status: int, body: bytes = b"", headers: Sequence[Tuple[str, str]] = ()) -> None:
        self.status = status
        self.body = body
        self.headers = headers


def head_end(data: bytearray) -> Tuple[int, int]:
    """(end of the head, length of the blank line after it) or (-1, 0)."""
    crlf, lf = data.find(b"\r\n\r\n"), data.find(b"\n\n")
    if crlf >= 0 and (lf < 0 or crlf < lf):
        return crlf, 4
    return (lf, 2) if lf >= 0 else (-1, 0)


def parse_head(head: bytes) -> Tuple[Optional[Request], int, bool]:
    """(request, 0, keep alive) or (None, error status, False)."""
    lines = head.decode("latin-1").replace("\r\n", "\n").split("\n")
    parts = lines[0].split()
    if len(parts) != 3 or not parts[2].startswith("HTTP/"):
        return None, 400, False
    method, target, version = parts
    if version not in ("HTTP/1.0", "HTTP/1.1"):
        return None, 505, False
    headers: Dict[str, str] = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon or not name or name != name.strip() or line[0] in " \t":
            return None, 400, False
        name = name.lower()
        value = value.strip()
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    if "transfer-encoding" in headers or headers.get("content-length", "0").strip() != "0":
        return None, 400, False
    tokens = {t.strip().lower() for t in headers.get("connection", "").split(",")}
    keep_alive = "close" not in tokens if version == "HTTP/1.1" else "keep-alive" in tokens
    return Request(method, target, headers), 0, keep_alive


def other_method(request: Request) -> Response:
    if request.method == "OPTIONS":
        return Response(200, headers=[("Allow", ALLOW)])
    body = f"{request.method} is not served here; use GET\n".encode("latin-1")
    return Response(405, body, [("Allow", ALLOW), ("Content-Type", "text/plain")])


def serialize(response: Response, keep_alive: bool, head_only: bool) -> bytes:
    try:
        phrase = http.HTTPStatus(response.status).phrase
    except ValueError:
        phrase = ""
    lines = [f"HTTP/1.1 {response.status} {phrase}", f"Content-Length: {len(response.body)}"]
    lines += [f"{name}: {value}" for name, value in response.headers]
    if not keep_alive:
        lines.append("Connection: close")
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    return head if head_only else head + response.body
