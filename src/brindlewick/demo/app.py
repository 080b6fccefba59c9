"""The demo application: its routes, the handler that dispatches them, and
the RSGI and ASGI applications over it (``rsgi``, ``asgi``).

The directory that ``GET /files/{name}`` serves is ``--files DIR`` of the
demo command, handed to the server's worker processes through the
environment variable ``BRINDLEWICK_DEMO_FILES``; by default it is the sample
directory shipped beside this module.
"""

from __future__ import annotations

import hashlib
import os
from pathlib import Path

import msgspec

from brindlewick.contents import Content, JSONContent, ServerSentEvent, StreamedContent
from brindlewick.cookies import Cookie
from brindlewick.demo import FILES_ENV, MAX_BODY_ENV, SAMPLE_FILES
from brindlewick.demo.router import Router
from brindlewick.demo.static import file_response
from brindlewick.exceptions import BadRequest, HTTPException
from brindlewick.messages import acquire_response
from brindlewick.scribe import write_sse
from brindlewick.serve import asgi_app, rsgi_app

__all__ = ["handle", "router", "rsgi", "asgi", "files_root", "SAMPLE_FILES", "stream_bytes"]


# Largest body GET /stream produces, and the size of its pieces.
MAX_STREAM_SIZE = 1 << 30
STREAM_PIECE = 16384
# The events of GET /events, and the time (ms) a client waits before it
# reconnects once the stream has ended.
EVENT_COUNT = 5
EVENT_RETRY = 1000
_EVENT_IDS = {str(number).encode(): number for number in range(1, EVENT_COUNT + 1)}

_HELLO = b'{"message":"Hello, World!"}'
_PLAIN = b"Hello, World!"
_JSON = b"application/json"
_encode_json = msgspec.json.encode

router = Router()


def json_response(data, status: int = 200, headers=None):
    return acquire_response(status, headers, Content(_JSON, _encode_json(data)))


@router.get("/")
async def hello(request, values):
    return acquire_response(200, None, Content(_JSON, _HELLO))


@router.get("/plaintext")
async def plaintext(request, values):
    return acquire_response(200, None, Content(b"text/plain; charset=utf-8", _PLAIN))


@router.post("/echo")
async def echo(request, values):
    if not request.declares_json():
        raise HTTPException(415, "Expected a JSON body (Content-Type: application/json)")
    if not await request.read():
        raise BadRequest("Expected a JSON body, got an empty one")
    # request.json() reads the body kept by read(); malformed JSON (nested
    # too deeply included) raises BadRequestFormat: a 400. `null` is a JSON
    # value like any other.
    return acquire_response(200, None, JSONContent(await request.json()))


@router.post("/upload")
async def upload(request, values):
    content_type = request.content_type() or b""
    if b"multipart/form-data;" not in content_type:
        raise HTTPException(415, "Expected a multipart/form-data body")
    fields = []
    files = []
    async for part in request.multipart_stream():
        if part.file_name:
            digest = hashlib.sha256()
            size = 0
            async for chunk in part.stream():
                digest.update(chunk)
                size += len(chunk)
            files.append({"name": part.name, "filename": part.file_name, "size": size, "sha256": digest.hexdigest()})
        else:
            async for _ in part.stream():
                pass
            fields.append(part.name)
    return json_response({"fields": fields, "files": files})


@router.get("/cookies")
async def cookies(request, values):
    response = json_response({"received": request.cookies})
    response.set_cookie(Cookie("visited", "1", path="/"))
    return response


@router.get("/redirect")
async def redirect(request, values):
    return acquire_response(302, [(b"location", b"/")], None)


def _host(request):
    """The request's host (the Host header, or an HTTP/2 request's
    authority); None when there is neither (HTTP/1.0 needs no Host)."""
    try:
        return request.host
    except BadRequest:
        return None


@router.get("/headers")
async def headers(request, values):
    return json_response(
        {
            "headers": [[name.decode("latin-1"), value.decode("latin-1")] for name, value in request.headers.items()],
            "client": {"address": request.client_ip, "port": request.client_port},
            "scheme": request.scheme or "http",
            "host": _host(request),
        }
    )


def _resumed_after(request) -> int:
    """The number of the last event a reconnecting client saw (its
    ``Last-Event-ID``), 0 for a new client or an id this route never sent."""
    last = request.get_first_header(b"last-event-id")
    return 0 if last is None else _EVENT_IDS.get(last.strip(), 0)


@router.get("/events")
async def events(request, values):
    first = _resumed_after(request) + 1
    if first > EVENT_COUNT:
        # Everything was seen: 204 tells an EventSource not to reconnect.
        return acquire_response(204, [(b"cache-control", b"no-cache")], None)

    async def produce():
        for number in range(first, EVENT_COUNT + 1):
            retry = EVENT_RETRY if number == first else -1
            yield write_sse(
                ServerSentEvent({"n": number, "of": EVENT_COUNT}, event="tick", id=str(number), retry=retry)
            )

    return acquire_response(
        200, [(b"cache-control", b"no-cache")], StreamedContent(b"text/event-stream", produce)
    )


def stream_bytes(size: int, piece: int = STREAM_PIECE):
    """The pieces GET /stream sends for ``size``: a repeating 0..255 byte
    pattern cut at ``piece`` bytes."""
    pattern = bytes(range(256)) * (piece // 256 + 1)
    sent = 0
    while sent < size:
        count = min(piece, size - sent)
        offset = sent % 256
        yield pattern[offset : offset + count]
        sent += count


@router.get("/stream")
async def stream(request, values):
    sizes = request.query.get("size")
    try:
        size = int(sizes[-1]) if sizes else 0
    except ValueError:
        raise BadRequest("size must be an integer") from None
    if not 0 <= size <= MAX_STREAM_SIZE:
        raise BadRequest(f"size must lie between 0 and {MAX_STREAM_SIZE}")

    async def produce():
        for piece in stream_bytes(size):
            yield piece

    return acquire_response(200, None, StreamedContent(b"application/octet-stream", produce))


def files_root() -> Path:
    return Path(os.environ.get(FILES_ENV) or SAMPLE_FILES).resolve()


@router.get("/files/{name:path}")
async def files(request, values):
    return file_response(request, files_root(), values["name"])


async def _ready(response):
    return response


def handle(request):
    """Dispatches a request to its route: the route's coroutine, which the
    exchange awaits (no coroutine of its own in between); a path no route
    knows is a 404, a known path asked with a method it has no route for a
    405 (both answered at once)."""
    try:
        path = request.path  # percent-decoded, the same on every server
    except UnicodeDecodeError:
        raise BadRequest("The request path is not valid UTF-8") from None
    found = router.match(request.method, path)
    if found is None:
        allowed = router.allowed(path)
        if allowed:
            return _ready(json_response({"error": "Method Not Allowed"}, 405, [(b"allow", ", ".join(allowed).encode())]))
        return _ready(json_response({"error": "Not Found"}, 404))
    handler, values = found
    return handler(request, values)


def _limits() -> dict:
    """The adapters' keyword for the body limit --max-body-size chose, if any."""
    chosen = os.environ.get(MAX_BODY_ENV)
    if not chosen:
        return {}
    return {"max_body_size": None if chosen == "none" else int(chosen)}


rsgi = rsgi_app(handle, **_limits())
asgi = asgi_app(handle, **_limits())
