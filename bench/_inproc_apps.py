"""The in-process benchmark's fake servers, requests and applications.

Fake servers: an ASGI one whose scope is shaped like uvicorn's (httptools
parser) and an RSGI one whose scope, headers and protocol object are shaped
like granian's.  Both build a fresh scope (and, for ASGI, a fresh
receive/send pair; for RSGI, a fresh protocol object) for every request, as
the real servers do, and read what the application hands back the way a
server does before it writes it: each message's type and status, every
header pair, the body.

Applications, each answering the same routes with the same bytes:
- ``floor``: no framework; per interface, the fewest calls a hand-written
  application makes: it reads the whole body and writes the expected answer
  (the request body itself for POST /echo, fixed bytes for the others);
- ``demo``: ``brindlewick.demo.app.asgi`` / ``.rsgi``;
- ``starlette`` and ``litestar`` (with msgspec, its default), ASGI only.

Routes: GET / (JSON), GET /plaintext, POST /echo (1 KiB of JSON echoed),
POST /upload (multipart/form-data with four plain fields, answered with
their names; the demo's own /upload route, which streams every part and
answers field names and files), GET /headers (the request headers, client
address, scheme and host as JSON).

Only the fake servers and the floors are defined at import; an
application's framework is imported when the application is first asked
for (``load_app``), so a process measuring one framework imports no other.
"""

from __future__ import annotations

import asyncio
import json

SERVER_ADDR = ("127.0.0.1", 8000)
CLIENT_ADDR = ("127.0.0.1", 50000)
HOST = "127.0.0.1:8000"

APPS = ("floor", "demo", "starlette", "litestar")
INTERFACES = ("asgi", "rsgi")
ROUTES = ("hello", "plaintext", "echo", "upload", "headers")
ROUTE_LABELS = {
    "hello": "GET /",
    "plaintext": "GET /plaintext",
    "echo": "POST /echo 1 KiB",
    "upload": "POST /upload 4 fields",
    "headers": "GET /headers",
}


def app_interfaces(app: str) -> tuple[str, ...]:
    """The interfaces an application is measured on."""
    return INTERFACES if app in ("floor", "demo") else ("asgi",)


# ---- requests and their expected answers ------------------------------------------


def _echo_body() -> bytes:
    # The same document as bench/e2e.py's POST /echo: compact JSON of at
    # least 1 KiB, integers, strings and booleans only, so every encoder
    # answers it with the very same bytes.
    items = []
    while len(json.dumps({"items": items}, separators=(",", ":"))) < 1024:
        items.append({"id": len(items), "name": f"item-{len(items)}", "ok": True})
    return json.dumps({"items": items}, separators=(",", ":")).encode()


BOUNDARY = "inprocboundary7MA4YWxkTrZu0gW"
UPLOAD_FIELDS = (("title", "notes"), ("author", "Ada Lovelace"), ("tags", "bench,inproc"), ("note", "x" * 64))


def _upload_body() -> bytes:
    parts = [
        f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'
        for name, value in UPLOAD_FIELDS
    ]
    return ("".join(parts) + f"--{BOUNDARY}--\r\n").encode()


ECHO_BODY = _echo_body()
UPLOAD_BODY = _upload_body()

_COMMON_HEADERS = (
    (b"host", HOST.encode()),
    (b"user-agent", b"inproc-bench/1.0"),
    (b"accept", b"*/*"),
    (b"accept-encoding", b"gzip, deflate"),
    (b"connection", b"keep-alive"),
)


class RequestSpec:
    """One request as the client sent it; the fake servers turn it into a scope."""

    __slots__ = ("method", "path", "raw_path", "query", "str_query", "headers", "body", "str_headers")

    def __init__(self, method: str, path: str, headers=(), body: bytes = b""):
        self.method = method
        self.path = path
        self.raw_path = path.encode()
        self.query = b""
        self.str_query = ""
        extra = list(headers)
        if body:
            extra.append((b"content-length", str(len(body)).encode()))
        self.headers = tuple(_COMMON_HEADERS) + tuple(extra)
        self.str_headers = tuple((n.decode("latin-1"), v.decode("latin-1")) for n, v in self.headers)
        self.body = body


REQUESTS = {
    "hello": RequestSpec("GET", "/"),
    "plaintext": RequestSpec("GET", "/plaintext"),
    "echo": RequestSpec("POST", "/echo", [(b"content-type", b"application/json")], ECHO_BODY),
    "upload": RequestSpec(
        "POST", "/upload", [(b"content-type", f"multipart/form-data; boundary={BOUNDARY}".encode())], UPLOAD_BODY
    ),
    "headers": RequestSpec("GET", "/headers"),
}


def _compact(data) -> bytes:
    return json.dumps(data, separators=(",", ":"), ensure_ascii=False).encode()


_JSON = "application/json"
EXPECTED = {  # route: (status, content type, body)
    "hello": (200, _JSON, b'{"message":"Hello, World!"}'),
    "plaintext": (200, "text/plain; charset=utf-8", b"Hello, World!"),
    "echo": (200, _JSON, ECHO_BODY),
    "upload": (200, _JSON, _compact({"fields": [name for name, _ in UPLOAD_FIELDS], "files": []})),
    "headers": (
        200,
        _JSON,
        _compact(
            {
                "headers": [[n, v] for n, v in REQUESTS["headers"].str_headers],
                "client": {"address": CLIENT_ADDR[0], "port": CLIENT_ADDR[1]},
                "scheme": "http",
                "host": HOST,
            }
        ),
    ),
}


# ---- the fake ASGI server ------------------------------------------------------------


class ASGICycle:
    """One request's receive and send: receive hands out the whole body in
    one message, then reports a disconnect; send records what it is given."""

    __slots__ = ("body", "messages")

    def __init__(self, body: bytes):
        self.body = body
        self.messages = []

    async def receive(self):
        body = self.body
        if body is None:
            return {"type": "http.disconnect"}
        self.body = None
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(self, message):
        kind = message["type"]
        if kind == "http.response.start":
            message["status"]
            for name, value in message.get("headers", ()):
                pass
        elif kind == "http.response.body":
            message.get("body", b"")
            message.get("more_body", False)
        self.messages.append(message)


def asgi_scope(spec: RequestSpec) -> dict:
    """A scope as uvicorn's httptools protocol builds it."""
    return {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": "1.1",
        "server": SERVER_ADDR,
        "client": CLIENT_ADDR,
        "scheme": "http",
        "root_path": "",
        "headers": list(spec.headers),
        "state": {},
        "method": spec.method,
        "path": spec.path,
        "raw_path": spec.raw_path,
        "query_string": spec.query,
    }


async def asgi_batch(app, spec: RequestSpec, count: int) -> None:
    body = spec.body
    for _ in range(count):
        cycle = ASGICycle(body)
        await app(asgi_scope(spec), cycle.receive, cycle.send)


async def asgi_once(app, spec: RequestSpec):
    """(status, headers as {lower-case name: value}, body) of one request."""
    cycle = ASGICycle(spec.body)
    await app(asgi_scope(spec), cycle.receive, cycle.send)
    status, headers, body = None, {}, b""
    for message in cycle.messages:
        if message["type"] == "http.response.start":
            status = message["status"]
            headers = {bytes(n).decode("latin-1").lower(): bytes(v).decode("latin-1") for n, v in message["headers"]}
        elif message["type"] == "http.response.body":
            body += bytes(message.get("body", b""))
    return status, headers, body


class Lifespan:
    """The lifespan a server runs before the first request (uvicorn's
    --lifespan auto): started with ``start()``, ended with ``stop()``."""

    def __init__(self, app):
        self.app = app
        self.started = asyncio.Event()
        self.stopping = asyncio.Event()
        self.sent = []
        self.task = None

    async def _receive(self):
        if not self.sent:
            return {"type": "lifespan.startup"}
        await self.stopping.wait()
        return {"type": "lifespan.shutdown"}

    async def _send(self, message):
        self.sent.append(message["type"])
        if message["type"].startswith("lifespan.startup"):
            self.started.set()

    async def start(self):
        scope = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}, "state": {}}
        self.task = asyncio.ensure_future(self.app(scope, self._receive, self._send))
        await asyncio.wait([self.task, asyncio.ensure_future(self.started.wait())],
                           return_when=asyncio.FIRST_COMPLETED)
        if self.sent[-1:] != ["lifespan.startup.complete"]:
            raise RuntimeError(f"lifespan startup failed: {self.sent}")

    async def stop(self):
        self.stopping.set()
        await self.task


# ---- the fake RSGI server ------------------------------------------------------------


class RSGIHeaders:
    """The scope's headers as granian hands them over: a read-only mapping of
    lower-case str names to str values.  ``items()``, the call a framework
    makes on every request, is native as granian's is (a list copy): a
    Python-level method here would charge the fake's own frames to the
    application."""

    __slots__ = ("_pairs", "items")

    def __init__(self, pairs):
        self._pairs = pairs = list(pairs)
        self.items = pairs.copy

    def keys(self):
        return [name for name, _ in self._pairs]

    def values(self):
        return [value for _, value in self._pairs]

    def get(self, key, default=None):
        key = key.lower()
        for name, value in self._pairs:
            if name == key:
                return value
        return default

    def get_all(self, key):
        key = key.lower()
        return [value for name, value in self._pairs if name == key]

    def __contains__(self, key):
        return self.get(key) is not None

    def __getitem__(self, key):
        value = self.get(key)
        if value is None:
            raise KeyError(key)
        return value

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self._pairs)


_RSGI_SERVER = "%s:%d" % SERVER_ADDR
_RSGI_CLIENT = "%s:%d" % CLIENT_ADDR


class RSGIScope:
    """An HTTP scope as granian builds it (its attributes are all str or None)."""

    __slots__ = ("proto", "http_version", "rsgi_version", "server", "client", "scheme", "method", "path",
                 "query_string", "headers", "authority")

    def __init__(self, spec: RequestSpec):
        self.proto = "http"
        self.http_version = "1.1"
        self.rsgi_version = "1.5"
        self.server = _RSGI_SERVER
        self.client = _RSGI_CLIENT
        self.scheme = "http"
        self.method = spec.method
        self.path = spec.path
        self.query_string = spec.str_query
        self.headers = RSGIHeaders(spec.str_headers)
        self.authority = None


class RSGITransport:
    __slots__ = ("protocol",)

    def __init__(self, protocol):
        self.protocol = protocol

    async def send_bytes(self, data: bytes):
        self.protocol.chunks.append(bytes(data))

    async def send_str(self, data: str):
        self.protocol.chunks.append(data.encode())


class RSGIProtocol:
    """A granian-shaped HTTP protocol object: the body whole (``await
    protocol()``) or in chunks (``async for``), and one response call,
    recorded as (kind, status, headers, body)."""

    __slots__ = ("body", "response", "chunks")

    def __init__(self, body: bytes):
        self.body = body
        self.response = None
        self.chunks = []

    async def __call__(self):
        return self.body

    def __aiter__(self):
        return self._chunks()

    async def _chunks(self):
        if self.body:
            yield self.body

    def _answer(self, kind, status, headers, body):
        if self.response is not None:
            raise RuntimeError("a second response on one protocol")
        for name, value in headers:
            pass
        self.response = (kind, status, headers, body)

    def response_empty(self, status, headers):
        self._answer("empty", status, headers, b"")

    def response_str(self, status, headers, body):
        self._answer("str", status, headers, body.encode())

    def response_bytes(self, status, headers, body):
        self._answer("bytes", status, headers, bytes(body))

    def response_file(self, status, headers, file):
        with open(file, "rb") as f:
            self._answer("file", status, headers, f.read())

    def response_file_range(self, status, headers, file, start, end):
        with open(file, "rb") as f:
            f.seek(start)
            self._answer("file_range", status, headers, f.read(end - start))

    def response_stream(self, status, headers):
        self._answer("stream", status, headers, None)
        return RSGITransport(self)


async def rsgi_batch(app, spec: RequestSpec, count: int) -> None:
    serve = app.__rsgi__
    body = spec.body
    for _ in range(count):
        await serve(RSGIScope(spec), RSGIProtocol(body))


async def rsgi_once(app, spec: RequestSpec):
    protocol = RSGIProtocol(spec.body)
    await app.__rsgi__(RSGIScope(spec), protocol)
    if protocol.response is None:
        return None, {}, b""
    kind, status, headers, body = protocol.response
    if kind == "stream":
        body = b"".join(protocol.chunks)
    return status, {n.lower(): v for n, v in headers}, body


# ---- floors -----------------------------------------------------------------------------

_FLOOR_ANSWERS = {REQUESTS[route].path: EXPECTED[route] for route in ROUTES}
_FLOOR_ASGI = {
    path: ((b"content-type", ctype.encode()), body) for path, (_, ctype, body) in _FLOOR_ANSWERS.items()
}
_FLOOR_RSGI = {path: ([("content-type", ctype)], body) for path, (_, ctype, body) in _FLOOR_ANSWERS.items()}


async def floor_asgi(scope, receive, send):
    """The ASGI floor: the body read whole, the route's answer written in
    one start and one body message."""
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    content_type, body = _FLOOR_ASGI[scope["path"]]
    if scope["method"] == "POST":
        received = b""
        more = True
        while more:
            message = await receive()
            received += message.get("body", b"")
            more = message.get("more_body", False)
        if scope["path"] == "/echo":
            body = received
    await send({
        "type": "http.response.start",
        "status": 200,
        "headers": [content_type, (b"content-length", str(len(body)).encode())],
    })
    await send({"type": "http.response.body", "body": body, "more_body": False})


class FloorRSGI:
    """The RSGI floor: the body read whole, the answer in one response_bytes."""

    async def __rsgi__(self, scope, protocol):
        headers, body = _FLOOR_RSGI[scope.path]
        if scope.method == "POST":
            received = await protocol()
            if scope.path == "/echo":
                body = received
        protocol.response_bytes(200, headers, body)


# ---- peers ------------------------------------------------------------------------------


def _starlette():
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, PlainTextResponse
    from starlette.routing import Route

    async def hello(request):
        return JSONResponse({"message": "Hello, World!"})

    async def plaintext(request):
        return PlainTextResponse("Hello, World!")

    async def echo(request):
        return JSONResponse(await request.json())

    async def upload(request):
        async with request.form() as form:
            fields = [name for name, _ in form.multi_items()]
        return JSONResponse({"fields": fields, "files": []})

    async def headers(request):
        client = request.client
        return JSONResponse({
            "headers": [[n.decode("latin-1"), v.decode("latin-1")] for n, v in request.headers.raw],
            "client": {"address": client.host, "port": client.port},
            "scheme": request.url.scheme,
            "host": request.headers.get("host"),
        })

    return Starlette(routes=[
        Route("/", hello),
        Route("/plaintext", plaintext),
        Route("/echo", echo, methods=["POST"]),
        Route("/upload", upload, methods=["POST"]),
        Route("/headers", headers),
    ])


def _litestar():
    from typing import Any

    from litestar import Litestar, MediaType, Request, get, post
    from litestar.params import JSONBody

    @get("/")
    async def hello() -> dict[str, str]:
        return {"message": "Hello, World!"}

    @get("/plaintext", media_type=MediaType.TEXT)
    async def plaintext() -> str:
        return "Hello, World!"

    @post("/echo", status_code=200)
    async def echo(data: JSONBody[dict[str, Any]]) -> dict[str, Any]:
        return data

    @post("/upload", status_code=200)
    async def upload(request: Request) -> dict[str, Any]:
        form = await request.form()
        return {"fields": [name for name, _ in form.multi_items()], "files": []}

    @get("/headers")
    async def headers(request: Request) -> dict[str, Any]:
        client = request.client
        return {
            "headers": [[n, v] for n, v in request.headers.multi_items()],
            "client": {"address": client.host, "port": client.port},
            "scheme": request.url.scheme,
            "host": request.headers.get("host"),
        }

    return Litestar([hello, plaintext, echo, upload, headers], openapi_config=None, logging_config=None)


def load_app(app: str, interface: str):
    """The application object ``app`` serves ``interface`` with."""
    if app == "floor":
        return floor_asgi if interface == "asgi" else FloorRSGI()
    if app == "demo":
        from brindlewick.demo import app as demo

        return demo.asgi if interface == "asgi" else demo.rsgi
    if interface != "asgi":
        raise ValueError(f"{app} serves ASGI only")
    if app == "starlette":
        return _starlette()
    if app == "litestar":
        return _litestar()
    raise ValueError(f"unknown application {app!r}")


def versions() -> dict[str, str]:
    """Versions of the interpreter and of the packages the rows measure."""
    import platform
    from importlib import metadata

    found = {"python": platform.python_version()}
    for name in ("brindlewick", "msgspec", "starlette", "python-multipart", "litestar"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return found


async def start_server(app, interface: str):
    """What a server does before the first request: the ASGI lifespan."""
    if interface == "asgi":
        lifespan = Lifespan(app)
        await lifespan.start()
        return lifespan
    return None


def batch(interface: str):
    return asgi_batch if interface == "asgi" else rsgi_batch


# Lists some frameworks answer in an order of their own: Litestar keeps
# headers and form fields in multidicts that do not keep the request's order.
_ORDER_FREE = {"upload": "fields", "headers": "headers"}


def _unordered(route: str, body: bytes):
    key = _ORDER_FREE.get(route)
    if key is None:
        return body
    try:
        data = json.loads(body)
        data[key] = sorted(data[key])
    except (ValueError, KeyError, TypeError):
        return body
    return data


async def check(app, interface: str, route: str) -> None:
    """Asserts one request's status, content type and body; a benchmark of a
    broken route measures nothing."""
    once = asgi_once if interface == "asgi" else rsgi_once
    status, headers, body = await once(app, REQUESTS[route])
    want_status, want_type, want_body = EXPECTED[route]
    where = f"{ROUTE_LABELS[route]} ({interface})"
    if status != want_status:
        raise AssertionError(f"{where}: status {status}, expected {want_status}; body {body[:200]!r}")
    if headers.get("content-type") != want_type:
        raise AssertionError(f"{where}: content-type {headers.get('content-type')!r}, expected {want_type!r}")
    if body != want_body and _unordered(route, body) != _unordered(route, want_body):
        raise AssertionError(f"{where}: body {body[:300]!r}, expected {want_body[:300]!r}")
    length = headers.get("content-length")
    if length is not None and int(length) != len(body):
        raise AssertionError(f"{where}: content-length {length} for a body of {len(body)} bytes")
