"""brindlewick.url: parsing, derivations, joins, build_absolute_url, and the
suite's malformed and mistyped inputs."""

import pickle

from brindlewick.url import URL, InvalidURL, build_absolute_url

from leakcheck.support import cases, raises

ITERATIONS = 10_000

FULL = b"http://u:p@Example.COM:8080/a/b?x=1#top"


def fields():
    u = URL(FULL)
    return (u.value, u.schema, u.scheme, u.host, u.port, u.path, u.query, u.fragment, u.is_absolute, u.userinfo)


def protocols():
    u = URL(b"http://h/a?b")
    return (u == b"http://h/a?b", u == "http://h/a?b", u != 1, hash(u), repr(u), str(u), bool(u))


def operations():
    base = URL(b"http://a/b/c/d;p?q")
    ops = [
        ("URL(bytes)", lambda: URL(FULL)),
        ("URL(str)", lambda: URL("/caf\u00e9")),
        ("URL(URL)", lambda: URL(base)),
        ("URL(value=)", lambda: URL(value=b"/k")),
        ("fields", fields),
        ("protocols", protocols),
        ("pickle round trip", lambda: pickle.loads(pickle.dumps(base))),
        ("with_query", lambda: base.with_query(b"k=v")),
        ("with_query(None)", lambda: base.with_query(None)),
        ("with_host", lambda: base.with_host(b"x.example")),
        ("with_scheme", lambda: base.with_scheme(b"wss")),
        ("base_url", lambda: base.base_url()),
        ("join(URL)", lambda: URL(b"/a/b").join(URL(b"x"))),
        ("URL(b'/a', b'/b')", raises(TypeError, lambda: URL(b"/a", b"/b"))),
        ("URL < URL", raises(TypeError, lambda: base < base)),
    ]
    for case in cases("test_url", "test_parse"):
        ops.append((f"parse {case['value'][:40]!r}", lambda v=case["value"]: URL(v)))
    for case in cases("test_url", "test_malformed"):
        ops.append((f"malformed {case['value'][:36]!r}", raises(InvalidURL, URL, case["value"])))
    for case in cases("test_url", "test_constructor_types"):
        ops.append((f"URL({type(case['value']).__name__})", raises(TypeError, URL, case["value"])))
    for case in cases("test_url", "test_with_query"):
        ops.append((f"with_query {case['base']!r} {case['query']!r}", lambda b=URL(case["base"]), q=case["query"]: b.with_query(q)))
    for i, case in enumerate(cases("test_url", "test_derivation_errors")):
        ops.append((f"derivation error {i}: {case['message']}", raises(case["error"], case["call"])))
    for reference in sorted(test_rfc_examples()):
        error = InvalidURL if reference == "http:g" else None
        call = lambda r=reference.encode(): base.join(r)  # noqa: E731
        ops.append((f"join {reference!r}", raises(error, call) if error else call))
    for case in cases("test_url", "test_build_absolute_url"):
        ops.append((f"build_absolute_url{case['args']!r}"[:58], lambda a=case["args"]: build_absolute_url(*a)))
    for case in cases("test_url", "test_build_absolute_url_errors"):
        ops.append((f"build_absolute_url error {case['message']}", raises(case["error"], build_absolute_url, *case["args"])))
    return ops


def test_rfc_examples():
    from leakcheck.support import test_module

    return test_module("test_url").RFC_EXAMPLES
