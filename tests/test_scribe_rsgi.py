"""brindlewick.scribe: the RSGI request adapter and the RSGI response writer."""

import asyncio

import pytest

import brindlewick.scribe as scribe
from brindlewick.contents import Content, JSONContent, RSGIContent, StreamedContent, TextContent
from brindlewick.messages import Request, Response, release_request


# ---- request adapter ---------------------------------------------------------------


class Scope:
    def __init__(self, method="GET", path="/a", query_string="", headers=()):
        self.method = method
        self.path = path
        self.query_string = query_string
        self.headers = headers


class ServerHeaders:
    """What the real server hands over: a mapping-like object read through items()."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return list(self.pairs)


@pytest.mark.parametrize(
    "source, expected",
    [
        (None, []),
        ([], []),
        ([("Host", "x")], [(b"Host", b"x")]),
        ([("host", "x"), ("accept", "*/*")], [(b"host", b"x"), (b"accept", b"*/*")]),
        ((("x-b", "\xe9"),), [(b"x-b", b"\xe9")]),
        ([(b"raw", b"bytes")], [(b"raw", b"bytes")]),
        ([(1, 2.5)], [(b"1", b"2.5")]),
        ([["list", "pair"]], [(b"list", b"pair")]),
        (iter([("it", "v")]), [(b"it", b"v")]),
        ({"cookie": "a=1"}, [(b"cookie", b"a=1")]),
        (ServerHeaders([("user-agent", "t"), ("X-Other", "keep-alive")]),
         [(b"user-agent", b"t"), (b"X-Other", b"keep-alive")]),
    ],
)
def test_extract_rsgi_headers(source, expected):
    result = scribe.extract_rsgi_headers(source)
    assert result == expected
    assert all(type(n) is bytes and type(v) is bytes for n, v in result)


def test_extracted_known_names_and_values_are_the_shared_objects():
    (name, value), = scribe.extract_rsgi_headers([("accept-encoding", "gzip, deflate")])
    assert name is scribe.KNOWN_HEADERS["accept-encoding"]
    assert value is scribe.HEADER_VAL_BYTES["gzip, deflate"]


@pytest.mark.parametrize("bad", [[("x", "\u20ac")], [("\u20ac", "x")]])
def test_extract_rsgi_headers_outside_latin1(bad):
    with pytest.raises(UnicodeEncodeError):
        scribe.extract_rsgi_headers(bad)


def test_extract_rsgi_headers_of_short_pairs():
    with pytest.raises(IndexError):
        scribe.extract_rsgi_headers([("only",)])


def test_extract_survives_a_list_shrunk_while_it_is_read():
    headers = []

    class Shrinking:
        def __str__(self):
            headers.clear()
            return "gone"

    headers.extend([(Shrinking(), "v"), ("b", "w")])
    assert scribe.extract_rsgi_headers(headers) == [(b"gone", b"v")]


@pytest.mark.parametrize("method", ["GET", "HEAD", "TRACE"])
def test_request_without_body_keeps_the_protocol(method):
    protocol = object()
    scope = Scope(method, "/caf\xe9 x", "a=1&b=\xe9", ServerHeaders([("host", "example.org"), ("X-A", "1")]))
    request = scribe.instantiate_rsgi_request(scope, protocol)
    assert type(request) is Request
    assert request.method == method
    # the server's decoded path, and the target as it is sent for the URL
    assert request.path == "/caf\xe9 x" and request._path == b"/caf%C3%A9%20x"
    assert request._raw_query == b"a=1&b=\xe9"
    assert request.headers.values == [(b"host", b"example.org"), (b"X-A", b"1")]
    assert request.scope is scope
    assert request.scope_protocol is protocol
    assert request.content is None


@pytest.mark.parametrize("method", ["POST", "OPTIONS", "get", None])
def test_other_methods_read_the_body_through_the_protocol(method, run):
    from conftest import ScriptedProtocol

    protocol = ScriptedProtocol([b"ab", b"cd"])
    request = scribe.instantiate_rsgi_request(Scope(method), protocol)
    assert type(request.content) is RSGIContent
    assert request.scope_protocol is None
    assert run(request.read()) == b"abcd"


def test_empty_query_gives_the_shared_empty_bytes():
    for query in ("", None):
        request = scribe.instantiate_rsgi_request(Scope(query_string=query), None)
        assert request._raw_query is b""


def test_requests_come_from_the_pool():
    first = scribe.instantiate_rsgi_request(Scope(), None)
    release_request(first)
    again = scribe.instantiate_rsgi_request(Scope("POST", "/b"), object.__new__(type("P", (), {"__call__": None})))
    assert again is first
    assert again.method == "POST" and again._path == b"/b" and type(again.content) is RSGIContent


def test_body_source_failure_propagates_and_the_request_goes_back_to_the_pool():
    from brindlewick.messages import _TLS

    pooled = len(_TLS.requests)
    with pytest.raises(TypeError, match="Argument 'protocol' has incorrect type"):
        scribe.instantiate_rsgi_request(Scope("POST"), None)
    assert len(_TLS.requests) == pooled + 1


@pytest.mark.parametrize("attribute", ["path", "query_string", "method"])
def test_scope_text_of_the_wrong_type(attribute):
    scope = Scope()
    setattr(scope, attribute, b"bytes")
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        scribe.instantiate_rsgi_request(scope, None)


def test_scope_without_an_attribute():
    scope = Scope()
    del scope.headers
    with pytest.raises(AttributeError):
        scribe.instantiate_rsgi_request(scope, None)
    with pytest.raises(TypeError):
        scribe.instantiate_rsgi_request(Scope())


# ---- response writer ----------------------------------------------------------------


class Transport:
    def __init__(self, log):
        self.log = log

    async def send_bytes(self, chunk):
        await asyncio.sleep(0)
        self.log.append(("send_bytes", chunk))

    async def send_str(self, chunk):
        await asyncio.sleep(0)
        self.log.append(("send_str", chunk))


class Protocol:
    """A recording RSGI protocol; `awaitable_stream` picks which response_stream."""

    def __init__(self, awaitable_stream=True):
        self.calls = []
        self.awaitable_stream = awaitable_stream

    def response_empty(self, status, headers):
        self.calls.append(("response_empty", status, headers))

    def response_bytes(self, status, headers, body):
        self.calls.append(("response_bytes", status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append(("response_str", status, headers, body))

    def response_file(self, status, headers, path):
        self.calls.append(("response_file", status, headers, path))

    def response_stream(self, status, headers):
        self.calls.append(("response_stream", status, headers))
        transport = Transport(self.calls)
        if not self.awaitable_stream:
            return transport

        async def ready():
            await asyncio.sleep(0)
            return transport

        return ready()


class RangeProtocol(Protocol):
    def response_file_range(self, status, headers, path, start, end):
        self.calls.append(("response_file_range", status, headers, path, start, end))


class PartialProtocol(Protocol):
    def response_file_partial(self, status, headers, path, start, end):
        self.calls.append(("response_file_partial", status, headers, path, start, end))


class BothRangesProtocol(RangeProtocol, PartialProtocol):
    """A server naming the range call both ways: the standard name wins."""


class NoFileProtocol(Protocol):
    response_file = None

    def __getattribute__(self, name):
        if name == "response_file":
            raise AttributeError(name)
        return super().__getattribute__(name)


class FileContent(Content):
    def __init__(self, path, file_range=None):
        super().__init__(b"text/plain", b"")
        self.file_path = path
        if file_range is not None:
            self.file_range = file_range


def send_sync(response, protocol=None):
    protocol = protocol or Protocol()
    assert scribe.send_rsgi_response_sync(response, protocol) is None
    return protocol.calls


def test_no_headers_no_content_uses_the_shared_empty_list():
    (call,) = send_sync(Response(204))
    assert call == ("response_empty", 204, [])
    assert call[2] is scribe.EMPTY_HEADERS


@pytest.mark.parametrize(
    "content, prebuilt",
    [
        (JSONContent({"a": 1}), "_PREBUILT_JSON_HEADERS"),
        (TextContent("hi"), "_PREBUILT_TEXT_PLAIN_UTF8_HEADERS"),
        (Content(b"text/plain", b"hi"), "_PREBUILT_TEXT_PLAIN_HEADERS"),
        (Content(b"text/html; charset=utf-8", b"hi"), "_PREBUILT_TEXT_HTML_UTF8_HEADERS"),
        (Content(b"text/html", b"hi"), "_PREBUILT_TEXT_HTML_HEADERS"),
    ],
)
def test_common_content_types_reuse_a_prebuilt_list(content, prebuilt):
    (call,) = send_sync(Response(200, None, content))
    assert call[0] == "response_bytes" and call[3] == content.body
    assert call[2] is getattr(scribe, prebuilt)


def test_other_content_types_get_their_own_list():
    (call,) = send_sync(Response(200, None, Content(b"image/x-own", b"x")))
    assert call[2] == [("content-type", "image/x-own")]
    # a missing type is application/octet-stream, as over ASGI
    (call,) = send_sync(Response(200, None, Content(None, b"x")))
    assert call[2] == [("content-type", "application/octet-stream")]


@pytest.mark.parametrize("odd", [[], [[b"x-s", b"5"]], [("x-s", "5")]])
def test_application_headers_are_translated(odd):
    raw = [(b"content-length", b"0"), (b"x-id", "café".encode()), (b"Content-Type", b"text/html"),
           (b"cache-control", b"no-cache")] + odd
    saved = list(raw)
    (call,) = send_sync(Response(200, raw, JSONContent([1])))
    headers = call[2]
    # the wrong length gives way (the server counts the body itself); the
    # application's content type, in any case, is the only one
    assert headers == [("x-id", "café"), ("Content-Type", "text/html"), ("cache-control", "no-cache")] + [
        ("x-s", "5") for _ in odd]
    assert all(type(pair) is tuple and type(pair[0]) is str and type(pair[1]) is str for pair in headers)
    assert headers[2][0] is scribe.KNOWN_OUTBOUND_HEADER_NAME_STR[b"cache-control"]
    # the response's own list is not changed
    assert raw == saved


@pytest.mark.parametrize("value", [b"caf\xe9", b"\xff\xfe"])
def test_header_bytes_rsgi_cannot_carry_are_refused(value):
    with pytest.raises(ValueError, match="not UTF-8"):
        send_sync(Response(200, [(b"x-id", value)], None))


@pytest.mark.parametrize("name", [b"content-type", "content-type"])
def test_an_application_content_type_is_kept_alone(name):
    (call,) = send_sync(Response(200, [(name, b"text/x")], JSONContent([1])))
    assert call[2] == [("content-type", "text/x")]


def test_header_list_changed_by_a_conversion():
    raw = []

    class Name(bytes):
        def __hash__(self):
            raw.clear()
            return bytes.__hash__(self)

    raw.extend([(Name(b"x-a"), b"1"), (b"x-b", b"2")])
    (call,) = send_sync(Response(200, raw, None))
    # sent from a copy: nothing the conversion runs can change what goes out
    assert call == ("response_empty", 200, [("x-a", "1"), ("x-b", "2")])


def test_content_of_unknown_length_is_streamed(run):
    from conftest import ScriptedProtocol

    protocol = Protocol()
    pending = scribe.send_rsgi_response_sync(Response(200, [(b"x", b"1")], RSGIContent(ScriptedProtocol([b"ab"]))),
                                             protocol)
    run(pending)
    assert protocol.calls == [("response_stream", 200, [("x", "1"), ("content-type", "application/octet-stream")]),
                              ("send_bytes", b"ab")]


@pytest.mark.parametrize(
    "protocol_type, expected",
    [
        (RangeProtocol, ("response_file_range", 2, 9)),
        (PartialProtocol, ("response_file_partial", 2, 9)),
        (BothRangesProtocol, ("response_file_range", 2, 9)),
        (Protocol, ("response_file",)),
    ],
)
def test_file_ranges_use_the_range_call_the_server_has(protocol_type, expected, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"x" * 20)
    (call,) = send_sync(Response(206, None, FileContent(str(path), (2, 9))), protocol_type())
    assert (call[0],) + call[4:] == expected
    # the length of what is sent, so that the server does not chunk it
    length = "7" if expected[0] != "response_file" else "20"
    assert call[2] == [("content-type", "text/plain"), ("content-length", length)]


def test_whole_file_and_a_protocol_without_file_calls():
    (call,) = send_sync(Response(200, None, FileContent("/f")), RangeProtocol())
    assert call[0] == "response_file" and call[3] == "/f"
    (call,) = send_sync(Response(200, None, FileContent("/f")), NoFileProtocol())
    assert call[0] == "response_bytes" and call[3] == b""


async def _pieces(*pieces):
    for piece in pieces:
        await asyncio.sleep(0)
        yield piece


@pytest.mark.parametrize("awaitable_stream", [True, False])
def test_streamed_body_through_both_kinds_of_response_stream(awaitable_stream, run):
    protocol = Protocol(awaitable_stream)
    content = StreamedContent(b"text/plain", lambda: _pieces(b"ab", "", "cd", bytearray(b"ef"), memoryview(b"gh"), b""))
    pending = scribe.send_rsgi_response_sync(Response(200, None, content), protocol)
    assert asyncio.iscoroutine(pending)
    assert protocol.calls == []
    assert run(pending) is None
    assert protocol.calls == [
        ("response_stream", 200, [("content-type", "text/plain")]),
        ("send_bytes", b"ab"),
        ("send_str", "cd"),
        ("send_bytes", b"ef"),
        ("send_bytes", b"gh"),
    ]


def test_send_rsgi_response_streams_and_completes(run):
    protocol = Protocol(awaitable_stream=False)
    content = StreamedContent(b"a/b", lambda: _pieces(b"x"))
    assert run(scribe.send_rsgi_response(Response(200, None, content), protocol)) is None
    assert [c[0] for c in protocol.calls] == ["response_stream", "send_bytes"]


def test_send_rsgi_response_for_bytes_completes_without_suspending():
    protocol = Protocol()
    coro = scribe.send_rsgi_response(Response(200, None, JSONContent(1)), protocol)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert [c[0] for c in protocol.calls] == ["response_bytes"]


def test_stream_failures_stop_further_calls(run):
    class Failing(Transport):
        async def send_bytes(self, chunk):
            raise ConnectionResetError("gone")

    class P(Protocol):
        def response_stream(self, status, headers):
            self.calls.append(("response_stream",))
            return Failing(self.calls)

    protocol = P()
    content = StreamedContent(b"a/b", lambda: _pieces(b"x", b"y"))
    with pytest.raises(ConnectionResetError):
        run(scribe.send_rsgi_response(Response(200, None, content), protocol))
    assert protocol.calls == [("response_stream",)]


def test_stream_that_is_not_async_iterable(run):
    class ListStream(StreamedContent):
        def stream(self):
            return [b"a"]

    content = ListStream(b"a/b", lambda: _pieces())
    with pytest.raises(TypeError, match="^'async for' requires an object with __aiter__ method, got list$"):
        run(scribe.send_rsgi_response(Response(200, None, content), Protocol()))


def test_protocol_errors_propagate():
    class P(Protocol):
        def response_bytes(self, *args):
            raise RuntimeError("closed")

    with pytest.raises(RuntimeError, match="closed"):
        scribe.send_rsgi_response_sync(Response(200, None, JSONContent(1)), P())


def test_send_rsgi_stream_arguments():
    with pytest.raises(TypeError, match=r"_send_rsgi_stream\(\) takes exactly 4 positional arguments \(2 given\)"):
        scribe._send_rsgi_stream(Response(200), Protocol())
    with pytest.raises(TypeError, match="Argument 'headers' has incorrect type"):
        scribe._send_rsgi_stream(Response(200), Protocol(), (), None)
    with pytest.raises(TypeError, match="Argument 'response' has incorrect type"):
        scribe.send_rsgi_response_sync(None, Protocol())
