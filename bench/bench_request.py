"""Request construction and properties beside Starlette's Request on the
equivalent ASGI scope, and beside a builtin floor.

What a handler pays per exchange is measured.  brindlewick's `cookies`,
`query` and `client_ip` are not cached, so a read on the same request does
the whole work; `host` is cached in `_host`, so its row clears the cache
first (the clearing store is included in the figure), and the absolute-URL
row clears `_host` and `_url`.  Starlette caches cookies, query_params,
headers and url on the instance, so each Starlette row builds a fresh
`Request(scope)` (its constructor only stores the scope; its cost is the
first Starlette row).

Run: PYTHONPATH=build/<name>/pkg .venv/bin/python bench/bench_request.py
"""

import urllib.parse

from _harness import per_call_ns, table

from brindlewick.messages import Request, get_request_absolute_url

try:
    from starlette.requests import Request as StarletteRequest
except ImportError:  # the peer is optional: rows are printed without it
    StarletteRequest = None

HEADERS = [
    (b"host", b"api.example.com"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Safari/537.36"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.9"),
    (b"accept-encoding", b"gzip, deflate, br"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=abc123; theme=dark; lang=en; tz=Europe%2FLondon; seen=1; ab=variant%20b"),
    (b"cache-control", b"no-cache"),
    (b"referer", b"https://api.example.com/items"),
    (b"x-request-id", b"6f1c2a9e-1d2b-4f0a-9a77-3c1e5b2d8f10"),
    (b"x-forwarded-for", b"203.0.113.7"),
    (b"dnt", b"1"),
]
PATH, QUERY = b"/v1/items/42", b"sort=asc&page=2&limit=50&tag=a&tag=b"
TARGET = PATH + b"?" + QUERY
SCOPE = {"type": "http", "method": "GET", "scheme": "https", "path": PATH.decode(), "raw_path": PATH,
         "root_path": "", "query_string": QUERY, "headers": HEADERS, "client": ("203.0.113.7", 50123),
         "server": ("api.example.com", 443), "http_version": "1.1"}
COOKIE = HEADERS[6][1]

request = Request("GET", TARGET, HEADERS)
request.scope = SCOPE
names = {"Request": Request, "HEADERS": HEADERS, "TARGET": TARGET, "request": request, "SCOPE": SCOPE,
         "COOKIE": COOKIE, "QUERY": QUERY.decode(), "parse_qs": urllib.parse.parse_qs,
         "get_request_absolute_url": get_request_absolute_url, "S": StarletteRequest}


def ns(stmt):
    return per_call_ns(stmt, globals=names, repeat=5)


def main():
    ns("Request('GET', TARGET, HEADERS)")  # warm up
    rows = [
        ("Request(method, url, 12 headers)", ns("Request('GET', TARGET, HEADERS)"),
         "list of 12 rebuilt tuples", ns("[(n, v) for n, v in HEADERS]")),
        ("request.cookies (6 cookies)", ns("request.cookies"),
         "dict(split/partition)", ns("dict(p.partition(b'=')[::2] for p in COOKIE.split(b'; '))")),
        ("request.query (5 parameters)", ns("request.query"), "urllib.parse.parse_qs", ns("parse_qs(QUERY)")),
        ("request.host (cache cleared)", ns("request._host = None; request.host"),
         "dict lookup", ns("SCOPE.get('server')")),
        ("request.client_ip", ns("request.client_ip"), "scope['client'][0]", ns("SCOPE['client'][0]")),
        ("get_request_absolute_url (fresh)", ns("request._host = None; request._url = None; "
                                                "get_request_absolute_url(request)"),
         "b''.join of 5 parts", ns("b''.join([b'https', b'://', b'api.example.com', b'', TARGET])")),
    ]
    table("brindlewick Request beside a builtin floor", rows)
    if StarletteRequest is None:
        print("starlette is not installed: peer rows skipped (pip install -r bench/requirements.txt)")
        return
    peer = [
        ("constructor", "Request('GET', TARGET, HEADERS)", "S(SCOPE)"),
        ("cookies", "request.cookies", "S(SCOPE).cookies"),
        ("query", "request.query", "S(SCOPE).query_params"),
        ("host", "request._host = None; request.host", "S(SCOPE).headers['host']"),
        ("client_ip", "request.client_ip", "S(SCOPE).client.host"),
        ("absolute url", "request._host = None; request._url = None; get_request_absolute_url(request)",
         "S(SCOPE).url"),
    ]
    table("brindlewick Request beside Starlette (ratio < 1: brindlewick is faster; 0.20 is 5x)",
          [(f"{label}", ns(ours), f"starlette {theirs}"[:28], ns(theirs)) for label, ours, theirs in peer])


if __name__ == "__main__":
    main()
