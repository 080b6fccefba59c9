"""URL parsing against a floor (bytes.partition) and a peer (urllib.parse.urlsplit).

urlsplit memoises its results (an lru_cache keyed by the input), so a loop over
one value measures a cache hit; the peer rows use the function underneath the
cache, which does the parsing, and one row shows the cached figure as well.

Run: PYTHONPATH=build/<name>/pkg .venv/bin/python bench/bench_url.py
"""

from urllib.parse import urlsplit

from _harness import per_call_ns, table

from brindlewick.url import URL, build_absolute_url

TARGET = b"/path?query"
ABSOLUTE = b"https://api.example.com:8443/v1/items/42?sort=asc&page=2"

names = {"URL": URL, "urlsplit": getattr(urlsplit, "__wrapped__", urlsplit), "cached_urlsplit": urlsplit, "build_absolute_url": build_absolute_url,
         "TARGET": TARGET, "ABSOLUTE": ABSOLUTE, "base": URL(ABSOLUTE)}


def ns(stmt):
    return per_call_ns(stmt, globals=names, repeat=5)


def main():
    ns("URL(TARGET); TARGET.partition(b'?')")  # warm up before the first figure
    floor_target = ns("TARGET.partition(b'?')")
    floor_absolute = ns("ABSOLUTE.partition(b'?')")
    peer_target = ns("urlsplit(TARGET)")
    peer_absolute = ns("urlsplit(ABSOLUTE)")
    peer_cached = ns("cached_urlsplit(ABSOLUTE)")
    rows = [
        ("URL(b'/path?query')", ns("URL(TARGET)"), "bytes.partition", floor_target),
        ("URL(b'/path?query')", ns("URL(TARGET)"), "urllib.parse.urlsplit", peer_target),
        ("URL(absolute)", ns("URL(ABSOLUTE)"), "bytes.partition", floor_absolute),
        ("URL(absolute)", ns("URL(ABSOLUTE)"), "urllib.parse.urlsplit", peer_absolute),
        ("URL(absolute)", ns("URL(ABSOLUTE)"), "urlsplit, cache hit", peer_cached),
        ("url.with_query(b'page=3')", ns("base.with_query(b'page=3')"), "urllib.parse.urlsplit", peer_absolute),
        ("build_absolute_url(...)", ns("build_absolute_url(b'https', b'h', b'/app', b'/x')"),
         "urllib.parse.urlsplit", peer_absolute),
    ]
    table(f"brindlewick.url (absolute: {ABSOLUTE.decode()})", rows)


if __name__ == "__main__":
    main()
