"""Pooled requests and responses, and response cookies, beside fresh objects, Starlette and a builtin floor.

Rows:
- acquire + release of a response (and, once the module has Request, of a
  request with 12 headers, and of one whole exchange: a request and a
  response), against constructing fresh objects and against Starlette's
  `Request(scope)` / `Response(b"...", media_type=...)` construction.
- The floor: `list.pop` + `list.append` of a preallocated object plus as
  many attribute stores as the pooled path assigns (the acquire's fields and
  the reset's), on a plain `__slots__` object.
- set_cookie of 5 cookies + get_cookies on a new response, against
  Starlette's Response() + 5 set_cookie calls.

Run: PYTHONPATH=build/<dir>/pkg .venv/bin/python bench/bench_pools.py
"""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from _harness import per_call_ns  # noqa: E402

import brindlewick.messages as messages  # noqa: E402
from brindlewick.contents import Content  # noqa: E402
from brindlewick.cookies import Cookie  # noqa: E402

try:
    from starlette.requests import Request as StarletteRequest
    from starlette.responses import Response as StarletteResponse
except ImportError:  # the peer is optional: its columns read nan
    StarletteRequest = StarletteResponse = None

HAVE_REQUEST = hasattr(messages, "Request")

HEADERS = [
    (b"host", b"example.org"),
    (b"user-agent", b"bench/1.0"),
    (b"accept", b"text/html,application/xhtml+xml"),
    (b"accept-language", b"en-GB,en;q=0.9"),
    (b"accept-encoding", b"gzip, deflate, br"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"sid=abc123; theme=dark"),
    (b"cache-control", b"no-cache"),
    (b"pragma", b"no-cache"),
    (b"referer", b"https://example.org/start"),
    (b"x-request-id", b"0f1e2d3c4b5a"),
    (b"x-forwarded-for", b"192.0.2.1"),
]
assert len(HEADERS) == 12
SCOPE = {
    "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
    "path": "/items/42", "raw_path": b"/items/42", "query_string": b"page=2", "root_path": "",
    "headers": HEADERS, "client": ("192.0.2.1", 50000), "server": ("example.org", 80),
}
BODY = b"hello, world"

# Fields the pooled paths assign: acquire_response sets 3, Response.reset 8;
# acquire_request sets 9, Request.reset 23.
RESPONSE_STORES = 3 + 8
REQUEST_STORES = 9 + 23


class Slots:
    __slots__ = tuple(f"f{i}" for i in range(REQUEST_STORES))


def floor_stmt(stores):
    return "o = pool.pop(); " + "; ".join(f"o.f{i} = v" for i in range(stores)) + "; pool.append(o)"


def main():
    g = {
        "m": messages, "Response": messages.Response, "Content": Content, "Cookie": Cookie,
        "acquire_response": messages.acquire_response, "release_response": messages.release_response,
        "headers": list(HEADERS), "body": BODY, "scope": SCOPE, "pool": [Slots()], "v": None,
        "SReq": StarletteRequest, "SResp": StarletteResponse,
        "cookies": [Cookie(f"c{i}", f"value{i}", None, None, "/", True, True) for i in range(5)],
    }
    if HAVE_REQUEST:
        g.update(Request=messages.Request, acquire_request=messages.acquire_request,
                 release_request=messages.release_request)
    # Warm the pools so that the pooled rows measure reuse.
    messages.release_response(messages.Response(200))
    if HAVE_REQUEST:
        messages.release_request(messages.acquire_request("GET", b"/", b"", None, None))

    peer_ok = StarletteRequest is not None
    nan = float("nan")

    def peer(stmt):
        return per_call_ns(stmt, globals=g) if peer_ok else nan

    rows = []  # (operation, ns, peer label, peer ns, floor label, floor ns)
    floor_resp = per_call_ns(floor_stmt(RESPONSE_STORES), globals=g)
    floor_req = per_call_ns(floor_stmt(REQUEST_STORES), globals=g)
    starlette_resp = peer("SResp(body, media_type='text/plain')")
    rows.append(("acquire + release response (pool)",
                 per_call_ns("release_response(acquire_response(200, None, None))", globals=g),
                 "starlette Response(...)", starlette_resp, f"pop+append+{RESPONSE_STORES} stores", floor_resp))
    rows.append(("Response(200, None, content) fresh",
                 per_call_ns("Response(200, None, Content(b'text/plain', body))", globals=g),
                 "starlette Response(...)", starlette_resp, f"pop+append+{RESPONSE_STORES} stores", floor_resp))
    if HAVE_REQUEST:
        starlette_req = peer("SReq(scope)")
        rows.append(("acquire + release request, 12 hdrs",
                     per_call_ns("release_request(acquire_request('GET', b'/items/42', b'page=2', headers, scope))",
                                 globals=g),
                     "starlette Request(scope)", starlette_req, f"pop+append+{REQUEST_STORES} stores", floor_req))
        rows.append(("Request.incoming(...) fresh, 12 hdrs",
                     per_call_ns("Request.incoming('GET', b'/items/42', b'page=2', headers)", globals=g),
                     "starlette Request(scope)", starlette_req, f"pop+append+{REQUEST_STORES} stores", floor_req))
        rows.append(("exchange: request + response (pool)",
                     per_call_ns("q = acquire_request('GET', b'/items/42', b'page=2', headers, scope); "
                                 "r = acquire_response(200, None, Content(b'text/plain', body)); "
                                 "release_response(r); release_request(q)", globals=g),
                     "starlette Request+Response", peer("SReq(scope); SResp(body, media_type='text/plain')"),
                     f"pop+append+{REQUEST_STORES} stores", floor_req))
    else:
        print("(no Request in this build: the request rows are left out)\n")
    rows.append(("Response + 5 set_cookie + get_cookies",
                 per_call_ns("r = Response(200)\nfor c in cookies: r.set_cookie(c)\nr.get_cookies()", globals=g),
                 "starlette Response + 5 set_cookie",
                 peer("r = SResp()\nfor i in range(5): r.set_cookie(f'c{i}', f'value{i}', path='/', secure=True, "
                      "httponly=True)"),
                 "-", nan))

    print("Pools and response cookies")
    head = (f"| {'operation':<38} | {'ns':>7} | {'peer':<34} | {'peer ns':>8} | {'vs peer':>7} | "
            f"{'floor':<22} | {'floor ns':>8} | {'vs floor':>8} |")
    print(head)
    print("|" + "|".join("-" * len(c) for c in head.split("|")[1:-1]) + "|")
    for op, ns, peer_name, peer_ns, floor_name, floor_ns in rows:
        vs_floor = "-" if floor_ns != floor_ns else f"{ns / floor_ns:.2f}x"
        print(f"| {op:<38} | {ns:7.1f} | {peer_name:<34} | {peer_ns:8.1f} | {peer_ns / ns:6.2f}x | "
              f"{floor_name:<22} | {floor_ns:8.1f} | {vs_floor:>8} |")
    print("\nvs peer: how many times faster than the peer; vs floor: how many times the floor's cost.")


if __name__ == "__main__":
    main()
