"""Cookie reading and writing: brindlewick.cookies beside http.cookies and builtin floors.

Peer: the standard library's http.cookies (SimpleCookie.load for reading,
Morsel.OutputString for writing; the peer is handed its Expires already
formatted, so it does less work than write_cookie_for_response, which
formats the date from a datetime).  Floor: a builtin call of similar shape
on the same input (one split or join of the header bytes).

Run: PYTHONPATH=build/<dir>/pkg .venv/bin/python bench/bench_cookies.py
"""

import os
import sys
from datetime import datetime, timezone
from http.cookies import SimpleCookie

sys.path.insert(0, os.path.dirname(__file__))

from _harness import per_call_ns  # noqa: E402

from brindlewick.cookies import (  # noqa: E402
    Cookie,
    CookieSameSiteMode,
    parse_cookie,
    split_value,
    write_cookie_for_response,
)

EXPIRES = datetime(2030, 1, 1, 12, 0, 0, tzinfo=timezone.utc)
SIMPLE = b"sid=abc123def456"
FULL = (b"sid=abc123def456; Expires=Tue, 01 Jan 2030 12:00:00 GMT; Max-Age=3600; Path=/; Secure; HttpOnly;"
        b" SameSite=Lax")


def peer_morsel(full):
    jar = SimpleCookie()
    jar["sid"] = "abc123def456"
    morsel = jar["sid"]
    if full:
        morsel["expires"] = "Tue, 01 Jan 2030 12:00:00 GMT"
        morsel["max-age"] = 3600
        morsel["path"] = "/"
        morsel["secure"] = True
        morsel["httponly"] = True
        morsel["samesite"] = "Lax"
    return morsel


def main():
    full_cookie = Cookie("sid", "abc123def456", EXPIRES, None, "/", True, True, 3600, CookieSameSiteMode.LAX)
    assert write_cookie_for_response(full_cookie) == FULL
    assert parse_cookie(FULL) == full_cookie
    g = {
        "parse_cookie": parse_cookie, "write": write_cookie_for_response, "split_value": split_value,
        "Cookie": Cookie, "SimpleCookie": SimpleCookie, "expires": EXPIRES,
        "simple": SIMPLE, "full": FULL, "simple_s": SIMPLE.decode(), "full_s": FULL.decode(),
        "simple_cookie": Cookie("sid", "abc123def456"), "full_cookie": full_cookie,
        "simple_morsel": peer_morsel(False), "full_morsel": peer_morsel(True),
        "simple_parts": [b"sid=abc123def456"],
        "full_parts": FULL.split(b"; "),
    }
    rows = [
        ("parse_cookie (name=value)", "parse_cookie(simple)",
         "SimpleCookie().load", "SimpleCookie().load(simple_s)",
         "bytes.split(b'; ')", "simple.split(b'; ')"),
        ("parse_cookie (6 attributes)", "parse_cookie(full)",
         "SimpleCookie().load", "SimpleCookie().load(full_s)",
         "bytes.split(b'; ')", "full.split(b'; ')"),
        ("write_cookie_for_response (name=value)", "write(simple_cookie)",
         "Morsel.OutputString().encode()", "simple_morsel.OutputString().encode()",
         "b'; '.join(parts)", "b'; '.join(simple_parts)"),
        ("write_cookie_for_response (6 attributes)", "write(full_cookie)",
         "Morsel.OutputString().encode()", "full_morsel.OutputString().encode()",
         "b'; '.join(parts)", "b'; '.join(full_parts)"),
        ("Cookie(name, '', expires)", "Cookie('sid', '', expires)",
         "SimpleCookie()['sid'] = ''", "SimpleCookie().__setitem__('sid', '')",
         "slice(a, b, c)", "slice('sid', '', expires)"),
        ("split_value(b' a = b ', b'=')", "split_value(b' a = b ', b'=')",
         "-", None,
         "bytes.partition(b'=')", "b' a = b '.partition(b'=')"),
    ]
    header = (f"| {'operation':<40} | {'ns':>7} | {'peer':<37} | {'peer ns':>8} | {'x peer':>6} "
              f"| {'floor':<22} | {'floor ns':>8} | {'x floor':>7} |")
    print("brindlewick.cookies (best of 5, ns per call)")
    print(header)
    print("|" + "|".join("-" * len(c) for c in header.split("|")[1:-1]) + "|")
    for op, stmt, peer, peer_stmt, floor, floor_stmt in rows:
        ns = per_call_ns(stmt, globals=g, repeat=5)
        floor_ns = per_call_ns(floor_stmt, globals=g, repeat=5)
        if peer_stmt:
            peer_ns = per_call_ns(peer_stmt, globals=g, repeat=5)
            peer_cols = f"{peer_ns:8.1f} | {ns / peer_ns:6.2f}"
        else:
            peer_cols = f"{'-':>8} | {'-':>6}"
        print(f"| {op:<40} | {ns:7.1f} | {peer:<37} | {peer_cols} | {floor:<22} | {floor_ns:8.1f} "
              f"| {ns / floor_ns:7.2f} |")
    print("\n'x peer' below 1 means faster than the standard library; 'x floor' is the cost over one builtin call.")


if __name__ == "__main__":
    main()
