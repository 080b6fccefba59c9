"""CORS checks, absolute URLs and the module's native entry points."""

import ctypes

import pytest

import brindlewick.messages as messages
from brindlewick.exceptions import BadRequest
from brindlewick.messages import (Request, get_absolute_url_to_path, get_request_absolute_url, is_cors_preflight_request,
                                  is_cors_request, method_without_body)
from brindlewick.url import URL, build_absolute_url

from test_request_url import RSGIScope


def request(method="GET", url=b"/x", headers=None, scope=None):
    r = Request(method, url, headers)
    r.scope = scope
    return r


@pytest.mark.parametrize("method, expected", [("GET", True), ("HEAD", True), ("TRACE", True), ("get", False),
                                              ("POST", False), ("OPTIONS", False), (None, False), ("GET ", False)])
def test_method_without_body(method, expected):
    assert method_without_body(method) is expected
    assert method_without_body(method="".join(method) if method else method) is expected


@pytest.mark.parametrize("function", [is_cors_request, is_cors_preflight_request, get_request_absolute_url])
@pytest.mark.parametrize("value", [None, "GET", object()])
def test_request_argument_type(function, value):
    with pytest.raises(TypeError, match="^Argument 'request' has incorrect type"):
        function(value)


def test_argument_types_of_the_other_functions():
    with pytest.raises(TypeError, match="^Argument 'method' has incorrect type"):
        method_without_body(b"GET")
    with pytest.raises(TypeError, match="^Argument 'path' has incorrect type"):
        get_absolute_url_to_path(request(), b"/x")
    with pytest.raises(TypeError):
        method_without_body()


@pytest.mark.parametrize("headers, expected", [(None, False), ([(b"origin", b"")], False),
                                               ([(b"ORIGIN", b"https://a")], True)])
def test_is_cors_request(headers, expected):
    assert is_cors_request(request(headers=headers)) is expected
    assert is_cors_request(request=request(headers=headers)) is expected


@pytest.mark.parametrize("method, headers, expected", [
    ("OPTIONS", [(b"origin", b"o")], False),
    ("OPTIONS", [(b"origin", b"o"), (b"access-control-request-method", b"PUT")], True),
    ("OPTIONS", [(b"origin", b"o"), (b"access-control-request-method", b"")], False),
    ("OPTIONS", [(b"access-control-request-method", b"PUT")], False),
    ("options", [(b"origin", b"o"), (b"access-control-request-method", b"PUT")], False),
    (None, [(b"origin", b"o"), (b"access-control-request-method", b"PUT")], False),
])
def test_is_cors_preflight_request(method, headers, expected):
    assert is_cors_preflight_request(request(method, headers=headers)) is expected


def test_header_errors_propagate():
    with pytest.raises(TypeError):
        is_cors_request(request(headers=[(b"origin", "text")]))


def test_absolute_url_of_an_absolute_request_is_the_same_object():
    r = request(url=None)
    r.url = "https://h.example/p?q=1"
    assert get_request_absolute_url(r) is r._url


def test_absolute_url_of_a_relative_request():
    r = request(url=b"/x", headers=[(b"host", b"h")], scope={"scheme": "https", "root_path": "/app"})
    assert get_request_absolute_url(r) == build_absolute_url(b"https", b"h", b"/app", b"/x")
    assert get_absolute_url_to_path(r, "/login") == build_absolute_url(b"https", b"h", b"/app", b"/login")
    assert get_absolute_url_to_path(r, "/é") == build_absolute_url(b"https", b"h", b"/app", "/é".encode())


def test_absolute_urls_with_an_rsgi_scope():
    r = request(url=b"/x", headers=[(b"host", b"h:8000")], scope=RSGIScope(scheme="http", client="[::1]:5000"))
    assert get_request_absolute_url(r) == build_absolute_url(b"http", b"h:8000", b"", b"/x")
    assert r.client_ip == "::1"


def test_absolute_url_errors():
    with pytest.raises(BadRequest, match="^Missing Host header$"):
        get_request_absolute_url(request(scope={}))
    with pytest.raises(BadRequest, match="^Missing Host header$"):
        get_absolute_url_to_path(request(scope={}), "/x")
    with pytest.raises(ValueError, match="^Input value must be bytes or str$"):
        get_absolute_url_to_path(request(headers=[(b"host", b"h")]), None)


def test_subclass_properties_are_honoured():
    class Behind(Request):
        @property
        def scheme(self):
            return "https"

        @property
        def host(self):
            return b"proxy.example"

        @property
        def url(self):
            return URL(b"/p")

    r = Behind("GET", b"/x", [(b"host", b"h")])
    assert get_request_absolute_url(r) == build_absolute_url(b"https", b"proxy.example", b"", b"/x")

    class Bad(Request):
        @property
        def scheme(self):
            return 5

    with pytest.raises(ValueError, match="^Input value must be bytes or str$"):
        get_request_absolute_url(Bad("GET", b"/x", [(b"host", b"h")]))


# ---- native entry points ---------------------------------------------------------------------

SIGNATURES = {
    "ensure_bytes": "PyObject *(PyObject *)",
    "method_without_body": "int (PyObject *)",
    "is_cors_request": "int (struct RequestObject *)",
    "is_cors_preflight_request": "int (struct RequestObject *)",
    "get_request_absolute_url": "PyObject *(struct RequestObject *)",
    "get_absolute_url_to_path": "PyObject *(struct RequestObject *, PyObject *)",
}

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype, capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype, capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def entry(name, restype, *argtypes):
    capsule = messages.__pyx_capi__[name]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(capsule_pointer(capsule, SIGNATURES[name].encode()))


@pytest.mark.parametrize("name", SIGNATURES)
def test_exported_signatures(name):
    assert capsule_name(messages.__pyx_capi__[name]).decode() == SIGNATURES[name]


def test_ensure_bytes():
    ensure = entry("ensure_bytes", ctypes.py_object, ctypes.py_object)
    assert ensure("é") == b"\xc3\xa9"
    data = b"raw"
    assert ensure(data) is data

    class S(str):
        def encode(self, *args):
            return bytearray(b"x")

    class B(bytes):
        pass

    with pytest.raises(TypeError, match="^Expected bytes, got bytearray$"):
        ensure(S("a"))
    with pytest.raises(TypeError, match="^Expected bytes, got B$"):
        ensure(B(b"a"))
    for bad in (5, None, bytearray(b"x")):
        with pytest.raises(ValueError, match="^Input value must be bytes or str$"):
            ensure(bad)
    with pytest.raises(UnicodeEncodeError):
        ensure("\udc80")


def test_native_predicates_and_urls():
    without_body = entry("method_without_body", ctypes.c_int, ctypes.py_object)
    assert without_body("HEAD") == 1 and without_body("PUT") == 0 and without_body(None) == 0
    preflight = entry("is_cors_preflight_request", ctypes.c_int, ctypes.py_object)
    r = request("OPTIONS", headers=[(b"origin", b"o"), (b"access-control-request-method", b"PUT"), (b"host", b"h")],
                scope={"scheme": "http"})
    assert preflight(r) == 1 and entry("is_cors_request", ctypes.c_int, ctypes.py_object)(r) == 1
    to_path = entry("get_absolute_url_to_path", ctypes.py_object, ctypes.py_object, ctypes.py_object)
    assert to_path(r, "/y") == build_absolute_url(b"http", b"h", b"", b"/y")
    assert entry("get_request_absolute_url", ctypes.py_object, ctypes.py_object)(r) == build_absolute_url(
        b"http", b"h", b"", b"/x")
