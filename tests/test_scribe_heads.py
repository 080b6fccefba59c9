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


@pytest.mark.parametrize(
    "own, sent",
    [
        # the application's content type is kept alone, whatever its case
        ([(b"Content-Type", b"text/csv")], [(b"Content-Type", b"text/csv"), (b"content-length", b"3")]),
        # a wrong length and a transfer-encoding give way to the known length
        ([(b"content-length", b"99"), (b"x-a", b"1"), (b"Transfer-Encoding", b"chunked")],
         [(b"x-a", b"1"), (b"content-type", b"application/json"), (b"content-length", b"3")]),
    ],
)
def test_content_headers_are_set_once(own, sent):
    r = Response(200, own, JSONContent([1]))
    scribe.set_headers_for_response_content(r)
    scribe.set_headers_for_response_content(r)
    assert r.headers.values == sent


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


# ---- one head, two encodings -------------------------------------------------------

import asyncio  # noqa: E402

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

MAX = scribe.MAX_RESPONSE_CHUNK_SIZE
TOKEN = st.text("abcdefghijklmnopqrstuvwxyz-!#$%&'*+.^_`|~0123456789", min_size=1, max_size=12)
NAMES = st.one_of(st.sampled_from([b"x-a", b"Content-Type", b"content-length", b"Transfer-Encoding", b"set-cookie"]),
                  TOKEN.map(lambda t: b"x-" + t.encode()))
VALUES = st.text(st.characters(blacklist_characters="\r\n\x00", blacklist_categories=("Cs",)), max_size=12).map(lambda t: t.encode())
PIECES = st.lists(st.one_of(st.binary(max_size=9), st.binary(max_size=9).map(bytearray),
                            st.binary(max_size=9).map(memoryview), st.text(max_size=5), st.none()), max_size=5)


def _as_bytes(piece):
    return b"" if piece is None else piece.encode() if isinstance(piece, str) else bytes(piece)


@st.composite
def contents(draw):
    kind = draw(st.sampled_from(["none", "bytes", "large", "text", "json", "stream", "stream-sized"]))
    ctype = draw(st.sampled_from([b"text/csv", b"", None, b"application/json", b"text/plain; charset=utf-8"]))
    if kind == "none":
        return None, b""
    if kind in ("bytes", "large"):
        data = draw(st.binary(max_size=40)) * (MAX // 10 if kind == "large" else 1)
        return Content(ctype, data), data
    if kind == "text":
        text = draw(st.text(max_size=20))
        return TextContent(text), text.encode()
    if kind == "json":
        value = draw(st.lists(st.integers(), max_size=4))
        content = JSONContent(value)
        return content, content.body
    pieces = draw(PIECES)
    data = b"".join(_as_bytes(p) for p in pieces)

    async def produce():
        for piece in pieces:
            yield piece

    return StreamedContent(ctype, produce, len(data) if kind == "stream-sized" else -1), data


def asgi_wire(response):
    sent = []

    async def send(message):
        sent.append(message)

    asyncio.run(scribe.send_asgi_response(response, send))
    return sent[0]["status"], list(sent[0]["headers"]), b"".join(m.get("body", b"") for m in sent[1:])


class RecordingProtocol:
    """An RSGI server's view: what its calls would put on the wire, with the
    length it counts itself for a whole body."""

    def __init__(self):
        self.status, self.headers, self.body, self.streamed = None, None, b"", False

    def _head(self, status, headers, counted=None):
        self.status = status
        self.headers = [(n.encode(), v.encode()) for n, v in headers]
        if counted is not None and status not in (204, 304) and not any(
                n.lower() == b"content-length" for n, _ in self.headers):
            self.headers.append((b"content-length", str(counted).encode()))

    def response_empty(self, status, headers):
        self._head(status, headers, 0)

    def response_bytes(self, status, headers, body):
        self._head(status, headers, len(body))
        self.body = bytes(body)

    def response_str(self, status, headers, body):
        self.response_bytes(status, headers, body.encode())

    def response_stream(self, status, headers):
        self._head(status, headers)
        self.streamed = True
        protocol = self

        class Transport:
            async def send_bytes(self, data):
                protocol.body += data

            async def send_str(self, data):
                protocol.body += data.encode()

        return Transport()


def rsgi_wire(response):
    protocol = RecordingProtocol()
    asyncio.run(scribe.send_rsgi_response(response, protocol))
    if protocol.streamed and not any(n.lower() in (b"content-length", b"transfer-encoding") for n, _ in protocol.headers):
        protocol.headers.append((b"transfer-encoding", b"chunked"))  # the server chunks it
    return protocol.status, protocol.headers, protocol.body


def named(headers, name):
    return [v for n, v in headers if n.lower() == name]


@settings(max_examples=300, deadline=None)
@given(status=st.sampled_from([200, 201, 204, 206, 302, 304, 404, 500, 599]),
       own=st.lists(st.tuples(NAMES, VALUES), max_size=4), made=contents(), shared=st.booleans())
def test_both_interfaces_send_the_same_head_and_body(status, own, made, shared):
    content, data = made
    headers = list(own)
    wires = []
    for write in (asgi_wire, rsgi_wire):
        # A list shared by the responses of both runs (a module constant) or each its own.
        listed = headers if shared else list(own)
        if content is not None and isinstance(content, StreamedContent):
            content, data = contents_again(made)
        wires.append(write(Response(status, listed, content)))
        assert listed == own  # the application's list is never changed
    (a_status, a_headers, a_body), (r_status, r_headers, r_body) = wires
    framing = (b"content-length", b"transfer-encoding")
    assert a_status == r_status == status
    assert sorted(a_headers) == sorted(r_headers)  # the server places its own length where it likes
    assert a_body == r_body == (b"" if status in (204, 304) else data)
    # a content type is added only when the application set none; a length
    # only in place of the application's
    own_types = len(named(own, b"content-type"))
    assert len(named(a_headers, b"content-type")) == (own_types or int(content is not None and status != 204))
    assert len(named(a_headers, b"content-length")) <= max(1, len(named(own, b"content-length")))
    lengths = named(a_headers, b"content-length")
    if status in (204, 304):
        assert not lengths and not named(a_headers, b"transfer-encoding")
    elif lengths and not named(own, b"content-length"):
        assert lengths == [str(len(data)).encode()]
    own_framing = [n for n, _ in own if n.lower() in framing]
    if status not in (204, 304) and not own_framing:
        assert (lengths == [str(len(data)).encode()]) or named(a_headers, b"transfer-encoding") == [b"chunked"]
    kept = [(n, v) for n, v in own if n.lower() not in framing]
    assert [h for h in a_headers if h in kept] == kept  # the application's headers, first and in order


def contents_again(made):
    """A streamed content can be read once: the same pieces again for the other interface."""
    content, data = made
    pieces = [data]

    async def produce():
        for piece in pieces:
            yield piece

    return StreamedContent(content.type, produce, content.length), data


WRITERS = {"asgi": asgi_wire, "rsgi": rsgi_wire}


@pytest.mark.parametrize("interface", sorted(WRITERS))
@pytest.mark.parametrize("status", [0, 99, 100, 101, 199, 600, 1000, 65536, -1])
def test_a_status_the_wire_cannot_carry_is_refused_before_anything_is_sent(interface, status):
    with pytest.raises(ValueError, match=f"^Invalid response status {status}: "):
        WRITERS[interface](Response(status, None, Content(b"text/plain", b"x")))


FORGED = [(b"location", b"/a\r\nset-cookie: sid=1"), (b"x-a", b"1\n"), (b"x-a", b"\x00"), (b"bad name", b"1"),
          (b"x-a\r\n", b"1"), (b"", b"1"), (b"x:a", b"1")]


@pytest.mark.parametrize("name, value", FORGED)
def test_forged_headers_are_refused_by_the_setters(name, value):
    r = Response(200, [(b"x-a", b"kept")])
    for setter in (r.add_header, r.set_header, r.headers.add, r.headers.set):
        with pytest.raises(ValueError, match="^Invalid (header name|value for header)"):
            setter(name, value)
    assert r.headers.values == [(b"x-a", b"kept")]


@pytest.mark.parametrize("interface", sorted(WRITERS))
@pytest.mark.parametrize("name, value", FORGED + [(b"content-type", b"text/html\r\nx: 1")])
def test_forged_headers_never_reach_a_server(interface, name, value):
    for content in (None, Content(b"text/plain", b"x"), Content(value, b"x")):
        headers = [(name, value)] if content is None or content.type != value else []
        if not headers and b"\r" not in value and b"\n" not in value and b"\x00" not in value:
            continue
        with pytest.raises(ValueError, match="^Invalid (header name|value for header)"):
            WRITERS[interface](Response(200, headers, content))


@pytest.mark.parametrize("interface", sorted(WRITERS))
@pytest.mark.parametrize("status", [204, 304])
def test_bodiless_statuses_send_no_body_and_no_framing(interface, status):
    own = [(b"etag", b'"1"'), (b"content-length", b"6")]
    _, headers, body = WRITERS[interface](Response(status, own, Content(b"text/plain", b"<html>")))
    assert body == b"" and headers[0] == (b"etag", b'"1"')
    assert not named(headers, b"content-length") and not named(headers, b"transfer-encoding")
