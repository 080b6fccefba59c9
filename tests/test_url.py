import ctypes
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

from brindlewick.url import URL, InvalidURL, build_absolute_url
import brindlewick.url as url_module

FIELDS = ("value", "schema", "host", "port", "path", "query", "fragment", "is_absolute", "userinfo")


def fields(u):
    return {name: getattr(u, name) for name in FIELDS}


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"/path?query", dict(schema=None, host=None, port=0, path=b"/path", query=b"query", fragment=None)),
        (b"/a?b#c?d", dict(path=b"/a", query=b"b", fragment=b"c?d")),
        (b"/a#f?x", dict(path=b"/a", query=b"", fragment=b"f?x")),
        (b"", dict(schema=None, host=None, path=b"", query=b"", is_absolute=False)),
        (b"*", dict(path=b"*", is_absolute=False)),
        (b"?x=1", dict(path=b"", query=b"x=1")),
        # origin-form: a leading "//" is part of the path, never a host
        (b"//evil.example/x", dict(host=None, path=b"//evil.example/x")),
        (b"http://u:p@Example.COM:8080/a/b?x=1#top",
         dict(schema=b"http", host=b"Example.COM", port=8080, path=b"/a/b", query=b"x=1", fragment=b"top",
              is_absolute=True, userinfo=b"u:p")),
        (b"https://h", dict(schema=b"https", host=b"h", port=0, path=b"", is_absolute=True)),
        (b"http://h:/x", dict(host=b"h", port=0, path=b"/x")),
        (b"http://h//x", dict(host=b"h", path=b"//x")),
        (b"http://a@b@c/", dict(host=b"c", userinfo=b"a@b")),
        (b"https://[::1]:8000/x", dict(host=b"[::1]", port=8000, path=b"/x")),
        (b"http://[fe80::1%25eth0]/", dict(host=b"[fe80::1%25eth0]")),
        (b"http://[v1.fe:x]/", dict(host=b"[v1.fe:x]")),
        (b"file:///etc/hosts", dict(schema=b"file", host=b"", path=b"/etc/hosts")),
        (b"mailto:a@b.example", dict(schema=b"mailto", host=None, path=b"a@b.example", is_absolute=True)),
        (b"/caf\xc3\xa9?q=\xff", dict(path=b"/caf\xc3\xa9", query=b"q=\xff")),
    ],
)
def test_parse(value, expected):
    u = URL(value)
    assert u.value == value
    for name, want in expected.items():
        assert getattr(u, name) == want, name


@pytest.mark.parametrize(
    "value, problem",
    [
        (b"/a b", "(space) at position 2"),
        (b"/a\r\nSet-Cookie: x", "(CR) at position 2"),
        (b"/a\nb", "(LF)"),
        (b"/\x00", "\\x00"),
        (b"/\x7f", "DEL"),
        (b"http://h:x/", "invalid port 'x'"),
        (b"http://h:1:2/", "invalid port '1:2'"),
        (b"http://h:0/", "port out of range"),
        (b"http://h:65536/", "port out of range"),
        (b"http://h:99999999999999999999/", "port out of range"),
        (b"http://", "missing host"),
        (b"http://:80/", "missing host"),
        (b"http://user@/", "missing host"),
        (b"https:/x", "missing host"),
        (b"http:x", "missing host"),
        (b":x", "missing scheme"),
        (b"1http://h/", "invalid scheme '1http'"),
        (b"ht_tp://h/", "invalid scheme 'ht_tp'"),
        (b"http://h^/", "invalid character '^' in host"),
        (b"http://h%zz/", "invalid percent-encoding"),
        (b"http://[::1/", "unterminated IP literal"),
        (b"http://[::g]/", "invalid IP literal"),
        (b"http://[::1]x/", "after an IP literal"),
        (b"http://[]/", "invalid IP literal"),
    ],
)
def test_malformed(value, problem):
    with pytest.raises(InvalidURL) as info:
        URL(value)
    assert problem in str(info.value)
    assert repr(value)[:20] in str(info.value)
    assert issubclass(InvalidURL, ValueError)


@pytest.mark.parametrize("value", [5, None, bytearray(b"/a"), memoryview(b"/a"), ["/a"]])
def test_constructor_types(value):
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        URL(value)


def test_constructor_forms():
    u = URL(b"/a")
    assert URL(u) is u
    assert URL("/caf\u00e9").value == b"/caf\xc3\xa9"
    assert URL(value=b"/k").path == b"/k"

    class B(bytes):
        pass

    assert type(URL(B(b"/a")).value) is bytes
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        URL(b"/a", b"/b")


def test_fields_read_only():
    u = URL(b"/a")
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(u, name, b"x")


def test_protocols():
    u = URL(b"http://h/a?b")
    assert u == b"http://h/a?b" and u == "http://h/a?b" and u == URL(b"http://h/a?b")
    assert u != b"http://h/a" and u != 1 and not (u == None)  # noqa: E711
    assert URL(b"/caf\xc3\xa9") == "/caf\u00e9"
    assert URL(b"/a") != "\ud800"  # text that no bytes decode to
    assert hash(u) == hash(URL(b"http://h/a?b")) == hash(b"http://h/a?b") == hash("http://h/a?b")
    assert {u: 1}[URL("http://h/a?b")] == 1
    assert repr(u) == "URL(b'http://h/a?b')"
    assert str(u) == "http://h/a?b"
    assert str(URL(b"/\xff")) == "/\udcff" and URL(str(URL(b"/\xff"))) == b"/\xff"
    assert not URL(b"") and URL(b"/") and URL(b"?")
    with pytest.raises(TypeError):
        u < u
    assert pickle.loads(pickle.dumps(u)) == u


class MyURL(URL):
    pass


def test_subclass():
    m = MyURL(b"http://h/x")
    assert type(m) is MyURL and m.host == b"h" and repr(m) == "MyURL(b'http://h/x')"
    m.note = 1
    assert type(m.with_query(b"a")) is URL
    copy = pickle.loads(pickle.dumps(m))
    assert type(copy) is MyURL and copy == m and copy.note == 1
    assert type(MyURL(URL(b"/a"))) is MyURL


@pytest.mark.parametrize(
    "base, query, expected",
    [
        (b"/a", b"x=1", b"/a?x=1"),
        (b"/a?old", b"new", b"/a?new"),
        (b"/a?old", b"", b"/a"),
        (b"/a?old", None, b"/a"),
        (b"http://h/a?old#f", b"k=v", b"http://h/a?k=v#f"),
        (b"", b"x", b"?x"),
    ],
)
def test_with_query(base, query, expected):
    assert URL(base).with_query(query).value == expected


def test_derivations():
    u = URL(b"http://u@h:81/p?q#f")
    assert u.with_host(b"x.example").value == b"http://u@x.example:81/p?q#f"
    assert u.with_host(b"[::1]").host == b"[::1]"
    assert u.with_scheme(b"wss").value == b"wss://u@h:81/p?q#f"
    assert u.base_url().value == b"http://h:81"
    assert URL(b"https://[::1]/x").base_url().value == b"https://[::1]"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: URL(b"/a").with_query(b"a#b"), InvalidURL, "'#' in query"),
        (lambda: URL(b"/a").with_query(b"a\r\nb"), InvalidURL, "(CR)"),
        (lambda: URL(b"/a").with_query(5), TypeError, "Argument 'query'"),
        (lambda: URL(b"http://h/").with_host(b"h:1"), InvalidURL, "':' in host"),
        (lambda: URL(b"http://h/").with_host(b"evil/x"), InvalidURL, "'/' in host"),
        (lambda: URL(b"http://h/").with_host(b""), InvalidURL, "missing host"),
        (lambda: URL(b"/a").with_host(b"h"), ValueError, "has a host"),
        (lambda: URL(b"/a").with_scheme(b"http"), ValueError, "absolute"),
        (lambda: URL(b"http://h/").with_scheme(b"1x"), InvalidURL, "invalid scheme"),
        (lambda: URL(b"mailto:x").with_scheme(b"http"), InvalidURL, "missing host"),
        (lambda: URL(b"/a").base_url(), ValueError, "has a host"),
        (lambda: URL(b"/a").join(b"//h/x"), InvalidURL, "network-path"),
        (lambda: URL(b"http://h/").join(b"a b"), InvalidURL, "(space)"),
    ],
)
def test_derivation_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


# Normal and abnormal examples of RFC 3986 section 5.4
RFC_BASE = b"http://a/b/c/d;p?q"
RFC_EXAMPLES = {
    "g:h": "g:h", "g": "http://a/b/c/g", "./g": "http://a/b/c/g", "g/": "http://a/b/c/g/",
    "/g": "http://a/g", "//g": "http://g", "?y": "http://a/b/c/d;p?y", "g?y": "http://a/b/c/g?y",
    "#s": "http://a/b/c/d;p?q#s", "g#s": "http://a/b/c/g#s", "g?y#s": "http://a/b/c/g?y#s",
    ";x": "http://a/b/c/;x", "g;x?y#s": "http://a/b/c/g;x?y#s", "": "http://a/b/c/d;p?q",
    ".": "http://a/b/c/", "./": "http://a/b/c/", "..": "http://a/b/", "../g": "http://a/b/g",
    "../..": "http://a/", "../../g": "http://a/g", "../../../g": "http://a/g", "../../../../g": "http://a/g",
    "/./g": "http://a/g", "/../g": "http://a/g", "g.": "http://a/b/c/g.", "..g": "http://a/b/c/..g",
    "./../g": "http://a/b/g", "./g/.": "http://a/b/c/g/", "g/./h": "http://a/b/c/g/h",
    "g/../h": "http://a/b/c/h", "g;x=1/../y": "http://a/b/c/y", "g?y/./x": "http://a/b/c/g?y/./x",
    "g#s/../x": "http://a/b/c/g#s/../x", "http:g": "http:g",
}


@pytest.mark.parametrize("reference", sorted(RFC_EXAMPLES))
def test_join_rfc3986(reference):
    if reference == "http:g":
        # strict parsers take "http:g" as an absolute reference, which names no host
        with pytest.raises(InvalidURL, match="missing host"):
            URL(RFC_BASE).join(reference)
        return
    assert URL(RFC_BASE).join(reference.encode()) == RFC_EXAMPLES[reference]


def test_join_other_forms():
    assert URL(b"http://h").join(b"x").value == b"http://h/x"
    assert URL(b"/a/b").join(b"c?d").value == b"/a/c?d"
    assert URL(b"/a/b").join(b"c:d/e").value == b"c:d/e"
    assert URL(b"/a/b").join(URL(b"x")).value == b"/a/x"
    # a URL object keeps its own reading: "//x" is a path there
    assert URL(b"http://h/a").join(URL(b"//x")).value == b"http://h//x"


@pytest.mark.parametrize(
    "args, expected",
    [
        ((b"https", b"h", b"/app", b"/x"), b"https://h/app/x"),
        ((b"https", b"h", b"/app/", b"/x"), b"https://h/app/x"),
        ((b"https", b"h", b"/app//", b"//x"), b"https://h/app/x"),
        ((b"https", b"h", b"/app", b"x"), b"https://h/app/x"),
        ((b"https", b"h", b"", b"/x"), b"https://h/x"),
        ((b"https", b"h", b"", b""), b"https://h/"),
        ((b"https", b"h", b"app", b"x"), b"https://h/app/x"),
        ((b"http", b"h:8000", b"/", b"/login?next=/a"), b"http://h:8000/login?next=/a"),
        ((b"http", b"[::1]:80", b"", b"/"), b"http://[::1]:80/"),
    ],
)
def test_build_absolute_url(args, expected):
    u = build_absolute_url(*args)
    assert type(u) is URL and u.value == expected and u.is_absolute


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((b"", b"h", b"", b"/"), InvalidURL, "missing scheme"),
        ((b"https", b"", b"", b"/"), InvalidURL, "missing host"),
        ((b"https", b"u@h", b"", b"/"), InvalidURL, "'@' in host"),
        ((b"https", b"h/x?", b"", b"/"), InvalidURL, "'/' in host"),
        ((b"https", b"h\r\n", b"", b"/"), InvalidURL, "(CR)"),
        ((b"https", b"h:abc", b"", b"/"), InvalidURL, "invalid port"),
        ((b"https", b"h", b"/a?x", b"/"), InvalidURL, "'?' in base path"),
        ((b"https", b"h", b"/", b"/a b"), InvalidURL, "(space)"),
        (("https", b"h", b"", b"/"), TypeError, "Argument 'scheme'"),
        ((b"https", b"h", None, b"/"), TypeError, "Argument 'base_path'"),
    ],
)
def test_build_absolute_url_errors(args, error, message):
    with pytest.raises(error) as info:
        build_absolute_url(*args)
    assert message in str(info.value)


def test_build_absolute_url_capsule():
    capsule = url_module.__pyx_capi__["build_absolute_url"]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert get_name(capsule) == b"PyObject *(PyObject *, PyObject *, PyObject *, PyObject *)"
    assert build_absolute_url(scheme=b"http", host=b"h", base_path=b"", path=b"/") == b"http://h/"


# ---- generated URLs ----------------------------------------------------------

UNRESERVED = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~"
SUB_DELIMS = "!$&'()*+,;="
PCHAR = UNRESERVED + SUB_DELIMS + ":@%"
as_bytes = lambda s: s.encode()  # noqa: E731
schemes = st.builds(lambda first, rest: (first + rest).encode(), st.sampled_from("abcxyzABZ"),
                    st.text("abz019+.-", max_size=8))
hosts = st.one_of(
    st.text(UNRESERVED + SUB_DELIMS, min_size=1, max_size=20).map(as_bytes),
    st.ip_addresses(v=6).map(lambda a: b"[" + str(a).encode() + b"]"),
)
ports = st.one_of(st.just(0), st.integers(1, 65535))
segments = st.text(PCHAR, max_size=8).map(as_bytes) | st.sampled_from([b"caf\xc3\xa9", b"\xff\x80", b"..", b"."])
paths = st.lists(segments, max_size=5).map(lambda segs: b"".join(b"/" + s for s in segs))
queries = st.none() | st.text(PCHAR + "/?", max_size=20).map(as_bytes)
fragments = st.none() | st.text(PCHAR + "/?#", max_size=20).map(as_bytes)


@st.composite
def urls(draw):
    absolute = draw(st.booleans())
    parts = {"path": draw(paths), "query": draw(queries), "fragment": draw(fragments)}
    value = b""
    if absolute:
        parts.update(schema=draw(schemes), host=draw(hosts), port=draw(ports))
        value = parts["schema"] + b"://" + parts["host"] + (b":%d" % parts["port"] if parts["port"] else b"")
    else:
        parts["path"] = parts["path"] or b"/"
    value += parts["path"]
    if parts["query"] is not None:
        value += b"?" + parts["query"]
    if parts["fragment"] is not None:
        value += b"#" + parts["fragment"]
    return value, parts


@given(urls())
def test_round_trip(case):
    value, parts = case
    u = URL(value)
    assert u.value == value
    assert u.path == parts["path"] and u.query == (parts["query"] or b"") and u.fragment == parts["fragment"]
    if "schema" in parts:
        assert (u.schema, u.host, u.port, u.is_absolute) == (parts["schema"], parts["host"], parts["port"], True)
    assert fields(URL(u.value)) == fields(u)
    assert URL(str(u)) == u


@given(urls(), queries)
def test_with_query_property(case, query):
    u = URL(case[0])
    v = u.with_query(query)
    assert v.query == (query or b"")
    assert (v.schema, v.host, v.port, v.path, v.fragment) == (u.schema, u.host, u.port, u.path, u.fragment)


@given(st.binary(max_size=40))
def test_arbitrary_bytes_parse_or_raise(value):
    try:
        u = URL(value)
    except InvalidURL:
        return
    assert fields(URL(u.value)) == fields(u)


@given(urls(), st.text("ab:/?#.@[]%25!", max_size=20).map(as_bytes))
def test_join_result_is_consistent(case, reference):
    try:
        joined = URL(case[0]).join(reference)
    except InvalidURL:
        return
    assert fields(URL(joined.value)) == fields(joined)
