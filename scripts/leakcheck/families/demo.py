"""The demo application (brindlewick.demo.app): every route, and its error
answers, through its RSGI application (the native exchange) and its ASGI
application, with in-process scopes, protocols and channels: JSON echo,
multipart upload, cookies, redirects, server-sent events, streams, files
(whole, ranges, conditional requests, refused and unusable paths), 405s,
unknown routes, undecodable paths.

The RSGI protocol serves the request body in pieces and records the
response calls (with and without the server's own file sending); the ASGI
channels hand the body over in pieces and collect the messages. Nothing
suspends, so no event loop is needed."""

import hashlib
import logging

import msgspec

from brindlewick.demo.app import asgi as ASGI_APP
from brindlewick.demo.app import rsgi as RSGI_APP

from leakcheck.support import drive, test_module

ITERATIONS = 1_000

Scope = test_module("test_serve").Scope

_logger = logging.getLogger("brindlewick.serve")
_logger.addHandler(logging.NullHandler())
_logger.propagate = False

ECHO = msgspec.json.encode({"items": [{"id": i, "name": f"item-{i}", "ok": True} for i in range(24)]})
BOUNDARY = "leakcheckboundary7MA4YWxkTrZu0gW"
UPLOAD_TYPE = f"multipart/form-data; boundary={BOUNDARY}"
FILE_DATA = bytes(range(256)) * 64  # 16 KiB
UPLOAD = (
    f'--{BOUNDARY}\r\ncontent-disposition: form-data; name="title"\r\n\r\nleaks\r\n'
    f'--{BOUNDARY}\r\ncontent-disposition: form-data; name="file"; filename="blob.bin"\r\n'
    f"content-type: application/octet-stream\r\n\r\n".encode() + FILE_DATA + f"\r\n--{BOUNDARY}--\r\n".encode()
)
UPLOAD_DIGEST = hashlib.sha256(FILE_DATA).hexdigest()
PIECE = 4096


def pieces(body):
    return [body[i : i + PIECE] for i in range(0, len(body), PIECE)] or [b""]


class Transport:
    __slots__ = ("sink",)

    def __init__(self, sink):
        self.sink = sink

    async def send_bytes(self, data):
        self.sink.append(bytes(data))

    async def send_str(self, data):
        self.sink.append(data.encode())


class Protocol:
    """An RSGI HTTP protocol over a body in pieces, recording the answer."""

    def __init__(self, body=b""):
        self.chunks = pieces(body)
        self.calls = []
        self.sent = []

    async def __call__(self):
        return b"".join(self.chunks)

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        for chunk in self.chunks:
            yield chunk

    def response_empty(self, status, headers):
        self.calls.append((status, headers, b""))

    def response_bytes(self, status, headers, body):
        self.calls.append((status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append((status, headers, body.encode()))

    def response_stream(self, status, headers):
        self.calls.append((status, headers, None))
        return Transport(self.sent)


class FileProtocol(Protocol):
    """A server that sends files itself, ranges included."""

    def response_file(self, status, headers, path):
        self.calls.append((status, headers, ("file", path)))

    def response_file_range(self, status, headers, path, start, end):
        self.calls.append((status, headers, ("range", path, start, end)))


def rsgi(method, path, query="", headers=(), body=b"", status=200, protocol=FileProtocol):
    head = [("host", "example.org")] + list(headers)

    def op():
        p = protocol(body)
        drive(RSGI_APP.__rsgi__(Scope(method, path, query, head), p))
        got = p.calls[0][0] if p.calls else None
        if got != status:
            raise AssertionError(f"RSGI {method} {path}: {got}, expected {status}")
        return p.calls, p.sent

    return op


def asgi(method, path, query=b"", headers=(), body=b"", status=200, raw_path=None):
    head = [(b"host", b"example.org")] + [(k.encode(), v.encode()) for k, v in headers]
    chunks = pieces(body)

    async def exchange():
        sent = []
        index = 0

        async def receive():
            nonlocal index
            i = index
            index += 1
            if i >= len(chunks):
                return {"type": "http.disconnect"}
            return {"type": "http.request", "body": chunks[i], "more_body": i < len(chunks) - 1}

        async def send(message):
            sent.append(message)

        scope = {"type": "http", "method": method, "path": path, "raw_path": raw_path or path.encode(),
                 "query_string": query, "headers": list(head), "client": ("127.0.0.1", 5000), "scheme": "http"}
        await ASGI_APP(scope, receive, send)
        got = sent[0]["status"] if sent else None
        if got != status:
            raise AssertionError(f"ASGI {method} {path}: {got}, expected {status}")
        return sent

    return lambda: drive(exchange())


JSON = [("content-type", "application/json")]
ROUTES = [
    # label, method, path, query, headers, body, status
    ("GET /", "GET", "/", "", (), b"", 200),
    ("GET /plaintext", "GET", "/plaintext", "", (), b"", 200),
    ("POST /echo", "POST", "/echo", "", JSON, ECHO, 200),
    ("POST /echo, text body", "POST", "/echo", "", [("content-type", "text/plain")], b"x", 415),
    ("POST /echo, malformed JSON", "POST", "/echo", "", JSON, b'{"a": ', 400),
    ("POST /echo, empty body", "POST", "/echo", "", JSON, b"", 400),
    ("POST /upload", "POST", "/upload", "", [("content-type", UPLOAD_TYPE)], UPLOAD, 200),
    ("POST /upload, not multipart", "POST", "/upload", "", JSON, ECHO, 415),
    ("POST /upload, truncated", "POST", "/upload", "", [("content-type", UPLOAD_TYPE)], UPLOAD[:-40], 400),
    ("GET /cookies", "GET", "/cookies", "", [("cookie", "a=1; b=%20x")], b"", 200),
    ("GET /redirect", "GET", "/redirect", "", (), b"", 302),
    ("GET /headers", "GET", "/headers", "", [("x-custom", "caf\xe9")], b"", 200),
    ("GET /events", "GET", "/events", "", (), b"", 200),
    ("GET /stream?size=100000", "GET", "/stream", "size=100000", (), b"", 200),
    ("GET /stream?size=x", "GET", "/stream", "size=x", (), b"", 400),
    ("GET /stream?size=-1", "GET", "/stream", "size=-1", (), b"", 400),
    ("GET /files/hello.txt", "GET", "/files/hello.txt", "", (), b"", 200),
    ("GET /files/bytes.bin, range", "GET", "/files/bytes.bin", "", [("range", "bytes=10-4999")], b"", 206),
    ("GET /files/bytes.bin, suffix range", "GET", "/files/bytes.bin", "", [("range", "bytes=-100")], b"", 206),
    ("GET /files/bytes.bin, unsatisfiable", "GET", "/files/bytes.bin", "", [("range", "bytes=99999-")], b"", 416),
    ("HEAD /files/hello.txt", "HEAD", "/files/hello.txt", "", (), b"", 200),
    ("GET /files/bytes.bin, if-none-match *", "GET", "/files/bytes.bin", "", [("if-none-match", "*")], b"", 304),
    ("GET /files/bytes.bin, if-match fails", "GET", "/files/bytes.bin", "", [("if-match", '"x", W/"y"')], b"", 412),
    ("GET /files/bytes.bin, if-modified-since", "GET", "/files/bytes.bin", "",
     [("if-modified-since", "Sun, 06 Nov 1994 08:49:37 GMT")], b"", 200),
    ("GET /files/bytes.bin, stale if-range", "GET", "/files/bytes.bin", "",
     [("range", "bytes=0-9"), ("if-range", '"stale"')], b"", 200),
    ("GET /files/../secret", "GET", "/files/../secret", "", (), b"", 403),
    ("GET /files/nope.txt", "GET", "/files/nope.txt", "", (), b"", 404),
    ("GET /files/<300 bytes>", "GET", "/files/" + "n" * 300, "", (), b"", 404),
    ("GET /nowhere/at/all", "GET", "/nowhere/at/all", "", (), b"", 404),
    ("POST / (wrong method)", "POST", "/", "", (), b"", 405),
    ("POST /echo, null", "POST", "/echo", "", JSON, b"null", 200),
    ("GET /events, resumed", "GET", "/events", "", [("last-event-id", "3")], b"", 200),
    ("GET /events, all seen", "GET", "/events", "", [("last-event-id", "5")], b"", 204),
    ("HEAD / (GET route)", "HEAD", "/", "", (), b"", 200),
]
ECHOES = {"POST /echo"}


def msgspec_alone():
    return msgspec.json.decode(ECHO)


def operations():
    ops = [("msgspec.json.decode alone", msgspec_alone)]
    for label, method, path, query, headers, body, status in ROUTES:
        baseline = msgspec_alone if label in ECHOES else None
        ops.append((f"rsgi {label}", rsgi(method, path, query, headers, body, status), baseline))
        ops.append((f"asgi {label}", asgi(method, path, query.encode(), headers, body, status), baseline))
    ops += [
        ("rsgi GET /files/bytes.bin, no file sending", rsgi("GET", "/files/bytes.bin", protocol=Protocol)),
        ("rsgi GET /files/bytes.bin, range, no file sending",
         rsgi("GET", "/files/bytes.bin", headers=[("range", "bytes=100-")], status=206, protocol=Protocol)),
        ("asgi GET /files/hello%2etxt (escaped)", asgi("GET", "/files/hello%2etxt", raw_path=b"/files/hello%2etxt")),
        ("asgi GET /%ff (undecodable path)", asgi("GET", "/%ff", status=400, raw_path=b"/%ff")),
    ]
    return ops
