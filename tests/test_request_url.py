"""Request URL, path, query, host, scheme, base path and client properties,
with ASGI mapping scopes and RSGI attribute scopes."""

import urllib.parse

import pytest

from brindlewick.exceptions import BadRequest
from brindlewick.messages import Request
from brindlewick.url import URL, InvalidURL


def request(url=b"/", headers=None, scope=None):
    r = Request("GET", url, headers)
    r.scope = scope
    return r


class RSGIScope:
    """Shaped like a real RSGI server's scope: attributes, no `get`."""

    def __init__(self, client="127.0.0.1:5000", scheme="https", **extra):
        self.proto = "http"
        self.http_version = "1.1"
        self.server = "127.0.0.1:8000"
        self.client = client
        self.scheme = scheme
        self.method = "GET"
        self.path = "/x"
        self.query_string = ""
        self.headers = {}
        self.__dict__.update(extra)


# ---- url and path ---------------------------------------------------------------------


@pytest.mark.parametrize("raw_query, expected", [(b"", b"/a"), (None, b"/a"), (b"x=1", b"/a?x=1")])
def test_url_is_built_from_path_and_query(raw_query, expected):
    r = request(None)
    r._path = b"/a"
    r._raw_query = raw_query
    url = r.url
    assert url == expected and r._url is url and r.url is url


def test_url_without_a_path():
    r = request(None)
    with pytest.raises(TypeError):
        r.url
    r._raw_query = b"q=1"
    with pytest.raises(TypeError, match="unsupported operand"):
        r.url


@pytest.mark.parametrize("value", [b"https://H.example:8443/x?y=1", "https://H.example:8443/x?y=1",
                                   URL(b"https://H.example:8443/x?y=1")])
def test_url_assignment_absolute(value):
    r = request(b"/old", [(b"host", b"old-host")])
    r.host  # cache the old host
    r.url = value
    assert r._path == b"/x" and r._raw_query == b"y=1"
    assert r.host == "H.example:8443" or r.host == "H.example"
    assert not r.has_header(b"host")
    if isinstance(value, URL):
        assert r._url is value


@pytest.mark.parametrize("value", [None, b"", "", 0, URL(b"")])
def test_url_assignment_falsy(value):
    r = request(b"/old")
    r.url = value
    assert r._path is None and r._raw_query is None
    assert (r._url is value) if isinstance(value, URL) else r._url is None


@pytest.mark.parametrize("value", [1.5, ["/x"], bytearray(b"/x")])
def test_url_assignment_wrong_type(value):
    r = request(b"/old")
    with pytest.raises(TypeError, match="^Invalid value type, expected bytes, str, or URL$"):
        r.url = value
    assert r._path == b"/old"


@pytest.mark.parametrize("value", [b"http://[bad/", "http://h:notaport/"])
def test_url_assignment_malformed(value):
    r = request(b"/old")
    with pytest.raises(InvalidURL):
        r.url = value
    assert r._path == b"/old"


def test_url_assignment_of_a_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        request().url = "/\udc80"


@pytest.mark.parametrize("name", ["url", "query", "host", "scheme", "base_path", "original_client_ip"])
def test_delete_refused(name):
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(request(), name)


def test_path():
    # percent-decoded, as servers decode it; escapes that are not UTF-8 become U+FFFD
    assert request(b"/a%20b/\xc3\xa9%2F%C3%A9").path == "/a b/é/é"
    assert request(b"/x%FFy%zz").path == "/x\ufffdy%zz"
    r = request(None)
    r._path = b""
    assert r.path == ""
    r._path = None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'decode'"):
        r.path
    r._path = b"/\xff"
    with pytest.raises(UnicodeDecodeError):
        r.path


# ---- query ---------------------------------------------------------------------------------

QUERIES = [
    b"a=1&a=2&b=", b"a", b"a=", b"=1", b"&&a=1&&", b"a=1&b", b"a=%20b+c", b"a%3D=%26", b"%zz=%4", b"%=%%41",
    b"a=%C3%A9", b"a=%C3", b"a=%E2%82%C3%A9", b"\xc3\xa9=\xc3\xa9%C3", b"k=v=w", b"a=1;b=2", b"+=+", b"a=%ED%A0%80",
    b"%F0%9F%98%80=%f0%9f%98", b"x=1&x=&x=3", b"%2B=%2b",
]


@pytest.mark.parametrize("raw", QUERIES)
def test_query_matches_parse_qs(raw):
    r = request(None)
    r._raw_query = raw
    assert r.query == urllib.parse.parse_qs(raw.decode("utf-8"))


def test_query_edge_cases():
    r = request(None)
    assert r.query == {}
    r._raw_query = b"a=1&a=2&b="
    assert r.query == {"a": ["1", "2"]}
    assert r.query is not r.query
    r._raw_query = b"a=\xff"
    with pytest.raises(UnicodeDecodeError):
        r.query


@pytest.mark.parametrize("value, raw", [({"a": ["1", "2"]}, b"a=1&a=2"), ([("q", "x y"), ("é", "1")],
                                                                          b"q=x+y&%C3%A9=1")])
def test_query_assignment(value, raw):
    r = request(b"/p?old=1", [(b"host", b"h")])
    r.host
    r.query = value
    assert r._raw_query == raw and r.url == b"/p?" + raw and r._path == b"/p"
    assert not r.has_header(b"host") and r._host is None


def test_query_assignment_of_junk():
    with pytest.raises(TypeError):
        request().query = 5


# ---- host --------------------------------------------------------------------------------------


def test_host_from_header_cached_and_overridable():
    r = request(b"/", [(b"Host", b"example.com:80")])
    assert r.host == "example.com:80" and r._host == "example.com:80"
    r.host = "other"
    assert r.host == "other"
    with pytest.raises(TypeError, match="^Argument 'value' has incorrect type \\(expected str, got bytes\\)$"):
        r.host = b"x"


@pytest.mark.parametrize("headers, expected", [([(b"host", b"")], ""), ([(b"host", b"\xc3\xa9.example")], "é.example"),
                                               ([(b"host", b" spaced ")], " spaced ")])
def test_host_header_values(headers, expected):
    assert request(b"/", headers).host == expected


def test_host_missing_or_malformed():
    with pytest.raises(BadRequest, match="^Missing Host header$"):
        request(b"/").host
    with pytest.raises(UnicodeDecodeError):
        request(b"/", [(b"host", b"\xff")]).host
    with pytest.raises(TypeError):
        request(b"/", [(b"host", "text")]).host


def test_host_of_an_absolute_url_wins_over_the_header():
    r = request(b"http://a.example/x", [(b"host", b"b.example")])
    assert r.host == "a.example"


# ---- scheme, base path, client -------------------------------------------------------------------


@pytest.mark.parametrize("scope, expected", [(None, ""), ({}, ""), ({"scheme": "https"}, "https"),
                                             (RSGIScope(scheme="http"), "http"), (RSGIScope(scheme=None), None)])
def test_scheme(scope, expected):
    assert request(scope=scope).scheme == expected


def test_scheme_assignment_wins():
    r = request(scope={"scheme": "https"})
    r.scheme = "http"
    assert r.scheme == "http"
    r.scheme = None
    assert r.scheme == "https"


class FailingGet(dict):
    def get(self, key, default=None):
        raise AttributeError("no")


@pytest.mark.parametrize("scope, expected", [(None, ""), ({}, ""), ({"root_path": "/app"}, "/app"),
                                             (FailingGet(), ""), (RSGIScope(), ""),
                                             (RSGIScope(root_path="/r"), "/r")])
def test_base_path(scope, expected):
    assert request(scope=scope).base_path == expected


def test_base_path_other_errors_propagate():
    class Broken(dict):
        def get(self, key, default=None):
            raise KeyError(key)

    with pytest.raises(KeyError):
        request(scope=Broken()).base_path


class Pair:
    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("scope, expected", [
    (None, ""), ({}, ""), ({"client": ("1.2.3.4", 5000)}, "1.2.3.4"), ({"client": ["::1", 1]}, "::1"),
    ({"client": None}, ""), ({"client": Pair("a", 1)}, "a"),
    (RSGIScope(client="1.2.3.4:5000"), "1.2.3.4"), (RSGIScope(client="[::1]:5000"), "::1"),
    (RSGIScope(client="[2001:db8::7]:443"), "2001:db8::7"), (RSGIScope(client="unix"), "unix"),
    (RSGIScope(client=""), ""), (RSGIScope(client=None), ""), (RSGIScope(client=("h", 1)), "h"),
    ({"client": "1.2.3.4:5"}, "1.2.3.4"), (RSGIScope(client="::1"), "::1"),
])
def test_client_ip(scope, expected):
    r = request(scope=scope)
    assert r.client_ip == expected and r.original_client_ip == expected


@pytest.mark.parametrize("scope, error", [
    ({"client": ("a", 1, 2)}, ValueError), ({"client": ("a",)}, ValueError), ({"client": 5}, TypeError),
(RSGIScope(client=5), TypeError), (RSGIScope(client=b"x"), ValueError),
])
def test_client_ip_of_malformed_scopes(scope, error):
    with pytest.raises(error):
        request(scope=scope).client_ip


def test_client_ip_is_read_only_and_original_client_ip_overrides():
    r = request(scope={"client": ("1.2.3.4", 1)})
    with pytest.raises(AttributeError):
        r.client_ip = "x"
    r.original_client_ip = "9.9.9.9"
    assert r.original_client_ip == "9.9.9.9" and r.client_ip == "1.2.3.4"


def test_subclass_client_ip_reaches_original_client_ip():
    class Proxied(Request):
        @property
        def client_ip(self):
            return "10.0.0.1"

    r = Proxied("GET", b"/", None)
    assert r.original_client_ip == "10.0.0.1"
