"""brindlewick.scribe: loading, the constant tables, the content headers and response cookies."""

import ctypes
import re
import subprocess
import sys

import pytest

import brindlewick.scribe as scribe
from brindlewick.contents import Content, JSONContent, StreamedContent, TextContent
from brindlewick.cookies import Cookie, write_cookie_for_response
from brindlewick.messages import Response

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("set_headers_for_response_content", "int (struct ResponseObject *)"),
        ("extract_rsgi_headers", "PyObject *(PyObject *)"),
        ("instantiate_rsgi_request", "struct RequestObject *(PyObject *, PyObject *)"),
        ("send_rsgi_response_sync", "PyObject *(struct ResponseObject *, PyObject *)"),
        ("write_sse", "PyObject *(struct ServerSentEventObject *)"),
        ("MAX_RESPONSE_CHUNK_SIZE", "int"),
    ],
)
def test_entry_points_are_published(name, signature):
    assert _get_name(scribe.__pyx_capi__[name]).decode() == signature


def test_max_chunk_size_is_published_as_a_native_int():
    capsule = scribe.__pyx_capi__["MAX_RESPONSE_CHUNK_SIZE"]
    address = _get_pointer(capsule, b"int")
    assert ctypes.c_int.from_address(address).value == 61440 == scribe.MAX_RESPONSE_CHUNK_SIZE


def test_nothing_of_the_module_is_python_source():
    import inspect

    for name in ("send_asgi_response", "send_rsgi_response", "send_rsgi_response_sync", "_send_rsgi_stream",
                 "write_chunks", "get_chunks", "write_sse", "extract_rsgi_headers", "instantiate_rsgi_request"):
        assert inspect.isbuiltin(getattr(scribe, name)), name
    assert scribe.__file__.endswith(".so")


def test_second_initialisation_is_refused():
    code = (
        "import sys, importlib\n"
        "import brindlewick.scribe\n"
        "del sys.modules['brindlewick.scribe']\n"
        "try:\n"
        "    importlib.import_module('brindlewick.scribe')\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "Module 'scribe' has already been imported. Re-initialisation is not supported." in out.stdout


def test_missing_messages_entry_point_stops_the_import():
    code = (
        "import sys, types, importlib\n"
        "real = importlib.import_module('brindlewick.messages')\n"
        "fake = types.ModuleType('brindlewick.messages')\n"
        "fake.__dict__.update({k: v for k, v in vars(real).items() if k != '__pyx_capi__'})\n"
        "fake.__pyx_capi__ = {k: v for k, v in real.__pyx_capi__.items() if k != 'release_request'}\n"
        "sys.modules['brindlewick.messages'] = fake\n"
        "try:\n"
        "    import brindlewick.scribe\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "brindlewick.messages does not export expected C function release_request" in out.stdout


TABLES = {
    "KNOWN_HEADERS": [
        "host", "user-agent", "accept", "accept-encoding", "accept-language", "content-type", "content-length",
        "connection", "cookie", "authorization", "origin", "referer", "cache-control", "pragma",
        "upgrade-insecure-requests", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "sec-fetch-site",
        "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest", "x-forwarded-for", "x-forwarded-proto",
        "x-forwarded-host", "x-real-ip",
    ],
    "HEADER_VAL_BYTES": [
        "*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json", "text/plain",
        "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8",
    ],
    "KNOWN_OUTBOUND_HEADER_NAME_STR": [
        "content-type", "content-length", "server", "date", "set-cookie", "location", "connection",
        "cache-control", "vary", "access-control-allow-origin", "access-control-allow-headers",
        "access-control-allow-methods", "access-control-allow-credentials", "access-control-expose-headers",
        "access-control-max-age", "transfer-encoding", "www-authenticate", "authorization", "accept", "host",
        "etag", "last-modified", "strict-transport-security", "x-content-type-options", "x-frame-options",
    ],
    "KNOWN_OUTBOUND_HEADER_VAL_STR": [
        "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html",
        "chunked", "keep-alive", "close", "0",
    ],
    "CT_STR_CACHE": [
        "text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8",
    ],
}


@pytest.mark.parametrize("name", sorted(TABLES))
def test_translation_tables_hold_their_entries_in_order(name):
    table = getattr(scribe, name)
    texts = TABLES[name]
    if name in ("KNOWN_HEADERS", "HEADER_VAL_BYTES"):
        expected = [(t, t.encode()) for t in texts]
    else:
        expected = [(t.encode(), t) for t in texts]
    assert type(table) is dict
    assert list(table.items()) == expected
    assert all(type(k) is type(expected[0][0]) and type(v) is type(expected[0][1]) for k, v in table.items())


def test_prebuilt_header_lists():
    prebuilt = {
        "_PREBUILT_JSON_HEADERS": "application/json",
        "_PREBUILT_TEXT_PLAIN_UTF8_HEADERS": "text/plain; charset=utf-8",
        "_PREBUILT_TEXT_PLAIN_HEADERS": "text/plain",
        "_PREBUILT_TEXT_HTML_UTF8_HEADERS": "text/html; charset=utf-8",
        "_PREBUILT_TEXT_HTML_HEADERS": "text/html",
    }
    by_ct = scribe.STATIC_HEADERS_BY_CT_BYTES
    assert list(by_ct) == [v.encode() for v in prebuilt.values()]
    for attribute, value in prebuilt.items():
        lst = getattr(scribe, attribute)
        assert lst == [("content-type", value)]
        assert by_ct[value.encode()] is lst
    assert scribe.EMPTY_HEADERS == [] and type(scribe.EMPTY_HEADERS) is list


def test_new_lines_pattern():
    assert isinstance(scribe._NEW_LINES_RX, re.Pattern)
    assert scribe._NEW_LINES_RX.pattern == "\r\n|\n"


def headers_after(content):
    r = Response(200, [(b"x-app", b"1")], content)
    scribe.set_headers_for_response_content(r)
    return r.headers.values


class FalseContent(Content):
    def __bool__(self):
        return False


async def _no_parts():
    if False:
        yield b""


@pytest.mark.parametrize(
    "content, added",
    [
        (None, [(b"content-length", b"0")]),
        (FalseContent(b"text/plain", b"abc"), [(b"content-length", b"0")]),
        (Content(b"", b"abc"), [(b"content-type", b"application/octet-stream"), (b"content-length", b"3")]),
        (Content(None, b"abc"), [(b"content-type", b"application/octet-stream"), (b"content-length", b"3")]),
        (Content(b"image/x-own", b""), [(b"content-type", b"image/x-own"), (b"content-length", b"0")]),
        (TextContent("héllo"), [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"6")]),
        (StreamedContent(b"text/csv", _no_parts), [(b"content-type", b"text/csv"), (b"transfer-encoding", b"chunked")]),
        (StreamedContent(b"text/csv", _no_parts, 1234),
         [(b"content-type", b"text/csv"), (b"content-length", b"1234")]),
    ],
)
def test_content_headers_come_after_the_application_headers(content, added):
    assert headers_after(content) == [(b"x-app", b"1")] + added


def test_content_headers_do_not_replace_existing_ones_and_repeat():
    r = Response(200, [(b"content-type", b"text/x")], JSONContent([1]))
    scribe.set_headers_for_response_content(r)
    scribe.set_headers_for_response_content(r)
    assert r.headers.values == [(b"content-type", b"text/x")] + [
        (b"content-type", b"application/json"), (b"content-length", b"3")] * 2


@pytest.mark.parametrize("bad", [None, object(), Content(b"a", b"b")])
def test_set_headers_wants_a_response(bad):
    with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type \(expected Response, got "):
        scribe.set_headers_for_response_content(bad)


def test_set_headers_accepts_a_response_subclass_and_keyword():
    class MyResponse(Response):
        pass

    r = MyResponse(200)
    scribe.set_headers_for_response_content(message=r)
    assert r.headers.values == [(b"content-length", b"0")]


def test_write_response_cookie_delegates_to_the_cookies_module():
    cookie = Cookie("sid", "a b")
    assert scribe.write_response_cookie(cookie) == write_cookie_for_response(cookie)
    with pytest.raises(TypeError, match="Argument 'cookie' has incorrect type"):
        scribe.write_response_cookie("sid=1")
