"""The response writers and the RSGI request adapter beside Starlette and builtin floors.

Rows:
- instantiate_rsgi_request on a scope object with 12 headers (read through the
  headers object's items(), as the real server's is), the request released
  back to the pool each time; peer: Starlette's Request(scope) plus its
  headers view; floor: the items() call and a comprehension that encodes the
  12 pairs as Latin-1.
- send_rsgi_response_sync of a small JSON response with no application
  headers and with 4, on a prebuilt response and a protocol whose methods do
  nothing, and send_asgi_response of a new Response over a prebuilt
  JSONContent (its headers grow on every send); floor: calling a no-op
  Python method with three arguments.
- The exchange as users write it: Response(200, headers, JSONContent(data))
  and then send_rsgi_response_sync, or send_asgi_response awaited with a
  no-op send (driven by coroutine.send, nothing suspends); peer: Starlette's
  JSONResponse(data, headers=...) and `await response(scope, receive, send)`
  on a no-op send, driven the same way.
- write_sse of a small event (id, event, JSON data); peer: the same format
  written in Python (the line-break regular expression on id and event, the
  JSON text, one encode); floor: one f-string and its encode.

Run: PYTHONPATH=build/<dir>/pkg .venv/bin/python bench/bench_scribe.py
"""

import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))

from _harness import per_call_ns  # noqa: E402

import brindlewick.messages as messages  # noqa: E402
import brindlewick.scribe as scribe  # noqa: E402
from brindlewick.contents import JSONContent, ServerSentEvent  # noqa: E402

try:
    from starlette.requests import Request as StarletteRequest
    from starlette.responses import JSONResponse as StarletteJSONResponse
except ImportError:  # the peer is optional: its columns read nan
    StarletteRequest = StarletteJSONResponse = None

HEADERS = [
    ("host", "example.org"),
    ("user-agent", "bench/1.0"),
    ("accept", "text/html,application/xhtml+xml"),
    ("accept-language", "en-GB,en;q=0.9"),
    ("accept-encoding", "gzip, deflate, br"),
    ("connection", "keep-alive"),
    ("cookie", "sid=abc123; theme=dark"),
    ("cache-control", "no-cache"),
    ("pragma", "no-cache"),
    ("referer", "https://example.org/start"),
    ("x-request-id", "0f1e2d3c4b5a"),
    ("x-forwarded-for", "192.0.2.1"),
]
assert len(HEADERS) == 12
DATA = {"id": 42, "name": "widget", "tags": ["a", "b"]}
APP_HEADERS = [(b"x-request-id", b"0f1e2d3c4b5a"), (b"cache-control", b"no-cache"), (b"vary", b"origin"),
               (b"x-frame-options", b"DENY")]
STARLETTE_APP_HEADERS = {k.decode(): v.decode() for k, v in APP_HEADERS}
ASGI_SCOPE = {
    "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
    "path": "/items/42", "raw_path": b"/items/42", "query_string": b"page=2", "root_path": "",
    "headers": [(k.encode(), v.encode()) for k, v in HEADERS], "client": ("192.0.2.1", 50000),
    "server": ("example.org", 80),
}


class ServerHeaders:
    __slots__ = ("pairs",)

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return list(self.pairs)


class Scope:
    __slots__ = ("path", "query_string", "headers", "method")

    def __init__(self):
        self.path = "/items/42"
        self.query_string = "page=2"
        self.headers = ServerHeaders(HEADERS)
        self.method = "GET"


class Protocol:
    def response_empty(self, status, headers):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_str(self, status, headers, body):
        pass


async def noop_send(message):
    pass


async def noop_receive():
    return {"type": "http.request", "body": b"", "more_body": False}


NEW_LINES = re.compile("\r\n|\n")


def python_sse(id, event, data):
    return (f"id: {NEW_LINES.sub('', id)}\nevent: {NEW_LINES.sub('', event)}\n"
            f"data: {json.dumps(data, separators=(',', ':'))}\n\n").encode()


DRIVE = "try:\n    c.send(None)\nexcept StopIteration:\n    pass"


def main():
    scope = Scope()
    g = {
        "s": scribe, "Response": messages.Response, "JSONContent": JSONContent, "release": messages.release_request,
        "scope": scope, "proto": Protocol(), "data": DATA, "app_headers": APP_HEADERS,
        "json_response": messages.Response(200, None, JSONContent(DATA)),
        "json_response_4": messages.Response(200, list(APP_HEADERS), JSONContent(DATA)),
        "send": noop_send, "receive": noop_receive, "asgi_scope": ASGI_SCOPE,
        "SJSON": StarletteJSONResponse, "SReq": StarletteRequest, "s_headers": STARLETTE_APP_HEADERS,
        "event": ServerSentEvent(DATA, event="update", id="42"), "python_sse": python_sse, "body": b'{"id":42}',
        "H": scribe._PREBUILT_JSON_HEADERS, "content": JSONContent(DATA),
    }
    messages.release_request(scribe.instantiate_rsgi_request(scope, None))  # warm the pool
    # The chosen protocol call is the one the floor makes.
    assert scribe.send_rsgi_response_sync(g["json_response"], g["proto"]) is None

    peer_ok = StarletteJSONResponse is not None
    nan = float("nan")

    def ns(stmt):
        return per_call_ns(stmt, globals=g)

    def peer(stmt):
        return ns(stmt) if peer_ok else nan

    floor_call = ns("proto.response_bytes(200, H, body)")
    starlette_send = peer(f"c = SJSON(data)(asgi_scope, receive, send)\n{DRIVE}")
    starlette_send_4 = peer(f"c = SJSON(data, headers=s_headers)(asgi_scope, receive, send)\n{DRIVE}")

    asgi = "c = s.send_asgi_response({}, send)\n" + DRIVE
    rows = [
        ("instantiate_rsgi_request, 12 hdrs", ns("release(s.instantiate_rsgi_request(scope, None))"),
         "starlette Request.headers.items()", peer("SReq(asgi_scope).headers.items()"),
         "items() + encode 12 pairs",
         ns("[(n.encode('latin-1'), v.encode('latin-1')) for n, v in scope.headers.items()]")),
        # The writers on a response that is already built (its content too).
        ("send_rsgi_response_sync, JSON", ns("s.send_rsgi_response_sync(json_response, proto)"),
         "starlette JSONResponse + send", starlette_send, "no-op method, 3 args", floor_call),
        ("send_rsgi_response_sync, JSON, 4 hdrs", ns("s.send_rsgi_response_sync(json_response_4, proto)"),
         "starlette JSONResponse + send", starlette_send_4, "no-op method, 3 args", floor_call),
        ("send_asgi_response, JSON", ns(asgi.format("Response(200, None, content)")),
         "starlette JSONResponse + send", starlette_send, "no-op method, 3 args", floor_call),
        ("send_asgi_response, JSON, 4 hdrs", ns(asgi.format("Response(200, list(app_headers), content)")),
         "starlette JSONResponse + send", starlette_send_4, "no-op method, 3 args", floor_call),
        # Like for like with the peer: the JSON body and the response built each time.
        ("JSONContent + Response + rsgi_sync", ns("s.send_rsgi_response_sync(Response(200, None, JSONContent(data)), proto)"),
         "starlette JSONResponse + send", starlette_send, "no-op method, 3 args", floor_call),
        ("JSONContent + Response(4) + rsgi_sync",
         ns("s.send_rsgi_response_sync(Response(200, list(app_headers), JSONContent(data)), proto)"),
         "starlette JSONResponse + send", starlette_send_4, "no-op method, 3 args", floor_call),
        ("JSONContent + Response + asgi", ns(asgi.format("Response(200, None, JSONContent(data))")),
         "starlette JSONResponse + send", starlette_send, "no-op method, 3 args", floor_call),
        ("JSONContent + Response(4) + asgi", ns(asgi.format("Response(200, list(app_headers), JSONContent(data))")),
         "starlette JSONResponse + send", starlette_send_4, "no-op method, 3 args", floor_call),
        ("write_sse, small event", ns("s.write_sse(event)"),
         "the same format in Python", ns("python_sse('42', 'update', data)"),
         "f-string + encode", ns("f'id: {event.id}\\nevent: {event.event}\\ndata: {body}\\n\\n'.encode()")),
    ]

    print("Response writers and the RSGI request adapter")
    head = (f"| {'operation':<40} | {'ns':>7} | {'peer':<32} | {'peer ns':>8} | {'vs peer':>7} | "
            f"{'floor':<25} | {'floor ns':>8} | {'vs floor':>8} |")
    print(head)
    print("|" + "|".join("-" * len(c) for c in head.split("|")[1:-1]) + "|")
    for op, t, peer_name, peer_ns, floor_name, floor_ns in rows:
        print(f"| {op:<40} | {t:7.1f} | {peer_name:<32} | {peer_ns:8.1f} | {peer_ns / t:6.2f}x | "
              f"{floor_name:<25} | {floor_ns:8.1f} | {t / floor_ns:7.2f}x |")
    print("\nvs peer: how many times faster than the peer; vs floor: how many times the floor's cost.")


if __name__ == "__main__":
    main()
