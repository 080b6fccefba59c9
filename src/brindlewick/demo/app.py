"""The demo application: its routes, the handler that dispatches them, and
the RSGI and ASGI applications over it (``rsgi``, ``asgi``).

The directory that ``GET /files/{name}`` serves is ``--files DIR`` of the
demo command, handed to the server's worker processes through the
environment variable ``BRINDLEWICK_DEMO_FILES``; by default it is the sample
directory shipped beside this module.
"""

from __future__ import annotations

import hashlib
import mimetypes
import os
import re
import stat
from pathlib import Path

import msgspec

from brindlewick.contents import Content, JSONContent, ServerSentEvent, StreamedContent
from brindlewick.cookies import Cookie
from brindlewick.demo import FILES_ENV, SAMPLE_FILES
from brindlewick.demo.router import Router, routing_path
from brindlewick.exceptions import BadRequest, HTTPException, NotFound
from brindlewick.messages import acquire_response
from brindlewick.scribe import write_sse
from brindlewick.serve import asgi_app, client_address, request_scheme, rsgi_app

__all__ = ["handle", "router", "rsgi", "asgi", "files_root", "SAMPLE_FILES", "stream_bytes"]


# Largest body GET /stream produces, and the size of its pieces.
MAX_STREAM_SIZE = 1 << 30
STREAM_PIECE = 16384
# Size of the pieces a file is read in when the server cannot send files itself.
FILE_PIECE = 65536

_HELLO = b'{"message":"Hello, World!"}'
_PLAIN = b"Hello, World!"
_JSON = b"application/json"
_encode_json = msgspec.json.encode

router = Router()


class Forbidden(HTTPException):
    def __init__(self, message: str = None):
        super().__init__(403, message)


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
    data = await request.json()  # malformed JSON raises BadRequestFormat: a 400
    if data is None:
        raise BadRequest("Expected a JSON body, got an empty one")
    return acquire_response(200, None, JSONContent(data))


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


@router.get("/headers")
async def headers(request, values):
    address, port = client_address(request)
    return json_response(
        {
            "headers": [[name.decode("latin-1"), value.decode("latin-1")] for name, value in request.headers.items()],
            "client": {"address": address, "port": port},
            "scheme": request_scheme(request),
            "host": request.host,
        }
    )


@router.get("/events")
async def events(request, values):
    async def produce():
        for number in range(1, 6):
            yield write_sse(ServerSentEvent({"n": number, "of": 5}, event="tick", id=str(number)))

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


class FileContent(StreamedContent):
    """A file, or one range of it. RSGI servers send it themselves
    (``file_path``, ``file_range`` as start and exclusive end); ASGI servers
    get it read in pieces."""

    def __init__(self, content_type: bytes, path: str, start: int, end: int, whole: bool):
        super().__init__(content_type, self._pieces, end - start)
        self.file_path = path
        self.file_range = None if whole else (start, end)
        self._start = start
        self._end = end

    async def _pieces(self):
        with open(self.file_path, "rb") as file:
            file.seek(self._start)
            left = self._end - self._start
            while left > 0:
                data = file.read(min(FILE_PIECE, left))
                if not data:
                    raise OSError(f"{self.file_path} became shorter while it was sent")
                left -= len(data)
                yield data


_RANGE_RX = re.compile(r"bytes=(\d*)-(\d*)")


def _parse_range(value: str, size: int):
    """(start, exclusive end) of a single "bytes=a-b" range, None to send the
    whole file (absent, or several ranges), or "unsatisfiable"."""
    match = _RANGE_RX.fullmatch(value.strip())
    if match is None:
        return None  # another unit or several ranges: the whole file
    first, last = match.groups()
    if not first:
        if not last:
            return None
        count = int(last)
        if count == 0:
            return "unsatisfiable"
        return max(size - count, 0), size
    start = int(first)
    end = min(int(last) + 1, size) if last else size
    if start >= size or (last and int(last) < start):
        return "unsatisfiable"
    return start, end


def files_root() -> Path:
    return Path(os.environ.get(FILES_ENV) or SAMPLE_FILES).resolve()


@router.get("/files/{name:path}")
async def files(request, values):
    name = values["name"]
    root = files_root()
    parts = name.replace("\\", "/").split("/")
    if any(part in ("", ".", "..") for part in parts) or "\x00" in name:
        raise Forbidden("This path is not allowed")
    target = root.joinpath(*parts).resolve()
    if not target.is_relative_to(root) or target == root:
        raise Forbidden("This path is not allowed")
    try:
        info = target.stat()
    except (FileNotFoundError, NotADirectoryError):
        raise NotFound("No such file") from None
    if not stat.S_ISREG(info.st_mode):
        raise NotFound("No such file")
    size = info.st_size
    guessed, _ = mimetypes.guess_type(target.name)
    content_type = (guessed or "application/octet-stream").encode("latin-1")
    if content_type.startswith(b"text/"):
        content_type += b"; charset=utf-8"
    headers = [(b"accept-ranges", b"bytes")]
    requested = request.get_first_header(b"range")
    span = _parse_range(requested.decode("latin-1"), size) if requested else None
    if span == "unsatisfiable":
        headers.append((b"content-range", f"bytes */{size}".encode()))
        return json_response({"error": "Range Not Satisfiable"}, 416, headers)
    if span is None:
        return acquire_response(200, headers, FileContent(content_type, str(target), 0, size, True))
    start, end = span
    headers.append((b"content-range", f"bytes {start}-{end - 1}/{size}".encode()))
    return acquire_response(206, headers, FileContent(content_type, str(target), start, end, False))


async def handle(request):
    """Dispatches a request to its route; anything else is a 404."""
    try:
        path = routing_path(request)
    except UnicodeDecodeError:
        raise BadRequest("The request path is not valid UTF-8") from None
    found = router.match(request.method, path)
    if found is None:
        return json_response({"error": "Not Found"}, 404)
    handler, values = found
    return await handler(request, values)


rsgi = rsgi_app(handle)
asgi = asgi_app(handle)
