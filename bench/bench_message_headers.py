"""Header operations of Message on 12 typical request headers, beside builtin floors."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from _harness import per_call_ns, table  # noqa: E402

from brindlewick.messages import Message  # noqa: E402

HEADERS = [
    (b"host", b"example.com"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-US,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=abc123; theme=dark"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
    (b"sec-fetch-mode", b"navigate"),
    (b"cache-control", b"max-age=0"),
    (b"content-type", b"application/json"),
]
AS_DICT = dict(HEADERS)


def main():
    m = Message(list(HEADERS))
    g = {"m": m, "d": AS_DICT, "headers": HEADERS, "Message": Message, "lst": []}
    rows = [
        ("get_first_header (last header)", per_call_ns("m.get_first_header(b'content-type')", globals=g),
         "dict.get", per_call_ns("d.get(b'content-type')", globals=g)),
        ("get_first_header (mixed case key)", per_call_ns("m.get_first_header(b'Content-Type')", globals=g),
         "dict.get", per_call_ns("d.get(b'Content-Type')", globals=g)),
        ("has_header (missing)", per_call_ns("m.has_header(b'x-missing')", globals=g),
         "dict.__contains__", per_call_ns("d.__contains__(b'x-missing')", globals=g)),
        ("get_headers (first header)", per_call_ns("m.get_headers(b'host')", globals=g),
         "dict.get", per_call_ns("d.get(b'host')", globals=g)),
    ]
    add = per_call_ns("m.add_header(b'x-trace', b'1')", setup="m = Message(list(headers))", globals=g, number=2000)
    add_floor = per_call_ns("lst.append((k, v))", setup="lst = []; k = b'x-trace'; v = b'1'", globals=g, number=2000)
    rows.append(("add_header", add, "list.append((k, v))", add_floor))
    rows.append(
        ("set_header (existing name)", per_call_ns("m.set_header(b'connection', b'close')", globals=g),
         "dict.__setitem__", per_call_ns("d.__setitem__(b'connection', b'close')", globals=g)))
    rows.append(
        ("Message(headers)", per_call_ns("Message(headers)", globals=g),
         "list(headers)", per_call_ns("list(headers)", globals=g)))
    rows.append(
        ("Message(headers)", rows[-1][1],
         "[(n, v) for n, v in headers]", per_call_ns("[(n, v) for n, v in headers]", globals=g)))
    table("Message header operations (12 request headers)", rows)


if __name__ == "__main__":
    main()
