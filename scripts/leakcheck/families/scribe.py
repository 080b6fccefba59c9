"""brindlewick.scribe: the RSGI request adapter (extract_rsgi_headers,
instantiate_rsgi_request), the RSGI writer (send_rsgi_response_sync,
send_rsgi_response, _send_rsgi_stream) over recording protocols, the ASGI
writer, get_chunks, write_chunks, write_sse, the content headers and the
response cookie writer, with the suite's bad-input rows.

The fake protocols and channels suspend with asyncio.sleep(0), a bare
yield: everything is driven without an event loop."""

import brindlewick.scribe as scribe
from brindlewick.contents import Content, JSONContent, RSGIContent, ServerSentEvent, StreamedContent, TextServerSentEvent
from brindlewick.cookies import Cookie
from brindlewick.messages import Response, release_request

from leakcheck.support import cases, collect, drive, drive_raises, raises, test_module

ITERATIONS = 5_000

ta = test_module("test_scribe_asgi")
tr = test_module("test_scribe_rsgi")
th = test_module("test_scribe_heads")
ScriptedProtocol = test_module("conftest").ScriptedProtocol
Scope, ServerHeaders, Protocol = tr.Scope, tr.ServerHeaders, tr.Protocol
MAX = ta.MAX


# ---- request adapter ----------------------------------------------------------------


def instantiate(make_scope, make_protocol, read=False):
    def op():
        request = scribe.instantiate_rsgi_request(make_scope(), make_protocol())
        try:
            if read:
                return drive(request.read())
        finally:
            release_request(request)

    return op


class Shrinking:
    def __init__(self, headers):
        self.headers = headers

    def __str__(self):
        self.headers.clear()
        return "gone"


def shrinking_list():
    headers = []
    headers.extend([(Shrinking(headers), "v"), ("b", "w")])
    return scribe.extract_rsgi_headers(headers)


def wrong_scope_text(attribute):
    def make():
        scope = Scope()
        setattr(scope, attribute, b"bytes")
        return scope

    return make


def scope_without_headers():
    scope = Scope()
    del scope.headers
    return scope


class Callable:
    def __call__(self):
        raise AssertionError("not read")


# ---- RSGI writer -------------------------------------------------------------------------


def send_sync(make_response, make_protocol=Protocol):
    def op():
        protocol = make_protocol()
        pending = scribe.send_rsgi_response_sync(make_response(), protocol)
        if pending is not None:
            drive(pending)
        return protocol.calls

    return op


async def pieces(*items):
    for piece in items:
        await tr.asyncio.sleep(0)
        yield piece


def streamed_mixed():
    return Response(200, None, StreamedContent(b"text/plain", lambda: pieces(b"ab", "", "cd", 5, bytearray(b"ef"), b"")))


class HashClears(bytes):
    """A header name whose hashing empties the list it is read from."""

    def __hash__(self):
        self.owner.clear()
        return bytes.__hash__(self)


def header_list_changed():
    raw = []
    name = HashClears(b"x-a")
    name.owner = raw
    raw.extend([(name, b"1"), (b"x-b", b"2")])
    try:
        return send_sync(lambda: Response(200, raw, None))()
    finally:
        del name.owner


class Failing(tr.Transport):
    async def send_bytes(self, chunk):
        raise ConnectionResetError("gone")


class FailingStream(Protocol):
    def response_stream(self, status, headers):
        self.calls.append(("response_stream",))
        return Failing(self.calls)


class ClosedProtocol(Protocol):
    def response_bytes(self, *args):
        raise RuntimeError("closed")


class ListStream(StreamedContent):
    def stream(self):
        return [b"a"]


def failing_stream():
    content = StreamedContent(b"a/b", lambda: pieces(b"x", b"y"))
    return scribe.send_rsgi_response(Response(200, None, content), FailingStream())


def bytes_without_suspending():
    coro = scribe.send_rsgi_response(Response(200, None, JSONContent(1)), Protocol())
    try:
        coro.send(None)
    except StopIteration:
        return
    raise AssertionError("send_rsgi_response suspended for a bytes body")


# ---- ASGI writer --------------------------------------------------------------------------


def send_asgi(make_response, fail_at=None):
    def op():
        send = ta.RecordingSend(fail_at)
        drive(scribe.send_asgi_response(make_response(), send))
        return send.messages

    return op


def send_asgi_raises(error, make_response, fail_at=None):
    return drive_raises(error, lambda: scribe.send_asgi_response(make_response(), ta.RecordingSend(fail_at)))


def patched_get_chunks(replacement, make_response, error=None):
    def op():
        saved = scribe.get_chunks
        scribe.get_chunks = replacement
        try:
            send = ta.RecordingSend()
            try:
                drive(scribe.send_asgi_response(make_response(), send))
            except Exception as exc:
                if error is None or not isinstance(exc, error):
                    raise
            else:
                if error is not None:
                    raise AssertionError(f"no {error.__name__}")
        finally:
            scribe.get_chunks = saved

    return op


async def broken_provider():
    yield b"a"
    raise ValueError("source broke")


def keyword_arguments():
    coro = scribe.send_asgi_response(send=ta.RecordingSend(), response=Response(200))
    try:
        coro.send(1)
    except TypeError:
        pass
    coro.close()


def sized(size):
    data = bytes(range(256)) * (size // 256) + b"z" * (size % 256)
    return lambda: Response(200, None, Content(b"application/octet-stream", data))


def streamed(*items, length=-1):
    return lambda: Response(200, None, ta.streamed(*items, length=length))


def never():
    raise AssertionError("not called")


class WriteData(ServerSentEvent):
    def write_data(self):
        return "custom"


class BrokenData(ServerSentEvent):
    def write_data(self):
        raise ValueError("no data")


def sse_order():
    event = ServerSentEvent(None)
    event.retry = 5
    event.data = "d"
    event.event = "e"
    event.comment = "c"
    event.id = "i"
    return scribe.write_sse(event)


class MyResponse(Response):
    pass


def operations():
    ops = [
        ("extract_rsgi_headers: known names share objects", lambda: scribe.extract_rsgi_headers([("accept-encoding", "gzip, deflate")])),
        ("extract_rsgi_headers: short pair", raises(IndexError, scribe.extract_rsgi_headers, [("only",)])),
        ("extract_rsgi_headers: list shrunk while read", shrinking_list),
        ("instantiate_rsgi_request: body read through protocol", instantiate(lambda: Scope("POST"), lambda: ScriptedProtocol([b"ab", b"cd"]), True)),
        ("instantiate_rsgi_request: RSGI headers object", instantiate(
            lambda: Scope("GET", "/caf\xe9", "a=1&b=\xe9", ServerHeaders([("host", "example.org"), ("X-A", "1")])), object)),
        ("instantiate_rsgi_request: empty query", instantiate(lambda: Scope(query_string=""), lambda: None)),
        ("instantiate_rsgi_request: query None", instantiate(lambda: Scope(query_string=None), lambda: None)),
        ("instantiate_rsgi_request: callable protocol", instantiate(lambda: Scope("POST", "/b"), Callable)),
        ("instantiate_rsgi_request: POST, protocol None", raises(TypeError, lambda: scribe.instantiate_rsgi_request(Scope("POST"), None))),
        ("instantiate_rsgi_request: scope without headers", raises(AttributeError, lambda: scribe.instantiate_rsgi_request(scope_without_headers(), None))),
        ("instantiate_rsgi_request(1 arg)", raises(TypeError, lambda: scribe.instantiate_rsgi_request(Scope()))),
        ("send_rsgi_response_sync: no headers, no content", send_sync(lambda: Response(204))),
        ("send_rsgi_response_sync: other content type", send_sync(lambda: Response(200, None, Content(b"image/caf\xe9", b"x")))),
        ("send_rsgi_response_sync: no content type", send_sync(lambda: Response(200, None, Content(None, b"x")))),
        ("send_rsgi_response_sync: header list changed", header_list_changed),
        ("send_rsgi_response_sync: RSGIContent without body", send_sync(lambda: Response(200, [(b"x", b"1")], RSGIContent(ScriptedProtocol([]))))),
        ("send_rsgi_response_sync: whole file, range protocol", send_sync(lambda: Response(200, None, tr.FileContent("/f")), tr.RangeProtocol)),
        ("send_rsgi_response_sync: file, no file calls", send_sync(lambda: Response(200, None, tr.FileContent("/f")), tr.NoFileProtocol)),
        ("send_rsgi_response_sync: protocol raises", raises(RuntimeError, send_sync(lambda: Response(200, None, JSONContent(1)), ClosedProtocol))),
        ("send_rsgi_response: bytes without suspending", bytes_without_suspending),
        ("send_rsgi_response: stream", lambda: drive(scribe.send_rsgi_response(
            Response(200, None, StreamedContent(b"a/b", lambda: pieces(b"x"))), Protocol(awaitable_stream=False)))),
        ("send_rsgi_response: transport fails", drive_raises(ConnectionResetError, failing_stream)),
        ("send_rsgi_response: stream not async iterable", drive_raises(TypeError, lambda: scribe.send_rsgi_response(
            Response(200, None, ListStream(b"a/b", lambda: pieces())), Protocol()))),
        ("_send_rsgi_stream(2 args)", raises(TypeError, lambda: scribe._send_rsgi_stream(Response(200), Protocol()))),
        ("_send_rsgi_stream(headers tuple)", raises(TypeError, lambda: scribe._send_rsgi_stream(Response(200), Protocol(), (), None))),
        ("send_rsgi_response_sync(None)", raises(TypeError, lambda: scribe.send_rsgi_response_sync(None, Protocol()))),
        ("send_asgi_response: JSON", send_asgi(lambda: Response(201, [(b"x-a", b"1")], JSONContent({"a": 1})))),
        ("send_asgi_response: no content", send_asgi(lambda: Response(204))),
        ("send_asgi_response: fixed-length stream", send_asgi(streamed(b"ab", b"cd", length=4))),
        ("send_asgi_response: get_chunks looked up per call", patched_get_chunks(
            lambda data: iter([b"ab", b"", b"cd", None]), sized(MAX + 5))),
        ("send_asgi_response: chunk of the wrong type", patched_get_chunks(
            lambda data: iter([b"ok", "text"]), sized(MAX + 1), TypeError)),
        ("send_asgi_response: get_parts not async iterable", send_asgi_raises(TypeError, lambda: Response(200, None, ta.ListParts(b"a/b", never)))),
        ("send_asgi_response: send fails midway", send_asgi_raises(ConnectionResetError, streamed(b"a", b"b", b"c"), fail_at=2)),
        ("send_asgi_response: source fails", send_asgi_raises(ValueError, lambda: Response(200, None, StreamedContent(b"a/b", broken_provider)))),
        ("send_asgi_response({})", raises(TypeError, lambda: scribe.send_asgi_response({}, ta.RecordingSend()))),
        ("send_asgi_response(1 arg)", raises(TypeError, lambda: scribe.send_asgi_response(Response(200)))),
        ("send_asgi_response: keywords, bad first send", keyword_arguments),
        ("get_chunks(None)", raises(TypeError, lambda: list(scribe.get_chunks(None)))),
        ("write_chunks: piece of the wrong type", drive_raises(TypeError, lambda: collect(scribe.write_chunks(ta.streamed(b"a", "b"))))),
        ("write_chunks(bytes)", raises(TypeError, scribe.write_chunks, b"abc")),
        ("write_chunks: get_parts not async iterable", drive_raises(TypeError, lambda: collect(scribe.write_chunks(ta.ListParts(b"a/b", never))))),
        ("write_sse: field order", sse_order),
        ("write_sse: text event", lambda: (scribe.write_sse(TextServerSentEvent("hi")), scribe.write_sse(TextServerSentEvent("a\nb")))),
        ("write_sse: write_data override", lambda: scribe.write_sse(WriteData({"ignored": True}, id="1"))),
        ("write_sse: write_data raises", raises(ValueError, lambda: scribe.write_sse(BrokenData("x")))),
        ("write_sse: data not JSON", raises(TypeError, lambda: scribe.write_sse(ServerSentEvent(object())))),
        ("write_sse: surrogate", raises(UnicodeEncodeError, lambda: scribe.write_sse(ServerSentEvent(None, id="\ud800")))),
        ("set_headers_for_response_content, repeated", lambda: repeat_headers()),
        ("set_headers_for_response_content(subclass, keyword)", lambda: scribe.set_headers_for_response_content(message=MyResponse(200))),
        ("write_response_cookie", lambda: scribe.write_response_cookie(Cookie("sid", "a b"))),
        ("write_response_cookie(str)", raises(TypeError, scribe.write_response_cookie, "sid=1")),
    ]
    ops += error_paths()
    for i, case in enumerate(cases("test_scribe_rsgi", "test_extract_rsgi_headers")):
        source = case["source"]
        if type(source).__name__ == "list_iterator":
            source = [("it", "v")]
            ops.append((f"extract_rsgi_headers {i}: iterator", lambda s=source: scribe.extract_rsgi_headers(iter(s))))
            continue
        ops.append((f"extract_rsgi_headers {i}: {type(source).__name__}", lambda s=source: scribe.extract_rsgi_headers(s)))
    for case in cases("test_scribe_rsgi", "test_extract_rsgi_headers_outside_latin1"):
        ops.append((f"extract_rsgi_headers {case['bad']!r}", raises(UnicodeEncodeError, scribe.extract_rsgi_headers, case["bad"])))
    for case in cases("test_scribe_rsgi", "test_request_without_body_keeps_the_protocol"):
        ops.append((f"instantiate_rsgi_request: {case['method']}", instantiate(
            lambda m=case["method"]: Scope(m, "/caf\xe9", "a=1", [("host", "example.org")]), object)))
    for case in cases("test_scribe_rsgi", "test_other_methods_read_the_body_through_the_protocol"):
        ops.append((f"instantiate_rsgi_request: {case['method']!r} reads the body", instantiate(
            lambda m=case["method"]: Scope(m), lambda: ScriptedProtocol([b"ab", b"cd"]), True)))
    for case in cases("test_scribe_rsgi", "test_scope_text_of_the_wrong_type"):
        ops.append((f"instantiate_rsgi_request: bytes {case['attribute']}", raises(TypeError, lambda a=case["attribute"]:
                    scribe.instantiate_rsgi_request(wrong_scope_text(a)(), None))))
    for case in cases("test_scribe_rsgi", "test_common_content_types_reuse_a_prebuilt_list"):
        ops.append((f"send_rsgi_response_sync: {case['prebuilt']}", send_sync(lambda c=case["content"]: Response(200, None, c))))
    for i, case in enumerate(cases("test_scribe_rsgi", "test_application_headers_are_translated")):
        raw = [(b"content-length", b"0"), (b"x-id", b"caf\xe9"), (b"Content-Type", b"text/html")] + case["odd"]
        ops.append((f"send_rsgi_response_sync: application headers {i}", send_sync(lambda r=raw: Response(200, list(r), JSONContent([1])))))
    for case in cases("test_scribe_rsgi", "test_an_application_content_type_is_kept_alone"):
        ops.append((f"send_rsgi_response_sync: own content type {case['name']!r}",
                    send_sync(lambda n=case["name"]: Response(200, [(n, b"text/x")], JSONContent([1])))))
    for case in cases("test_scribe_rsgi", "test_file_ranges_use_the_range_call_the_server_has"):
        ops.append((f"send_rsgi_response_sync: file range, {case['protocol_type'].__name__}",
                    send_sync(lambda: Response(206, None, tr.FileContent("/f", (2, 9))), case["protocol_type"])))
    for case in cases("test_scribe_rsgi", "test_streamed_body_through_both_kinds_of_response_stream"):
        ops.append((f"send_rsgi_response_sync: stream, awaitable={case['awaitable_stream']}",
                    send_sync(streamed_mixed, lambda a=case["awaitable_stream"]: Protocol(a))))
    for case in cases("test_scribe_asgi", "test_large_bodies_go_in_pieces"):
        ops.append((f"send_asgi_response: {case['size']} bytes", send_asgi(sized(case["size"]))))
    for i, case in enumerate(cases("test_scribe_asgi", "test_streamed_content")):
        ops.append((f"send_asgi_response: stream {i}", send_asgi(streamed(*case["pieces"]))))
    for case in cases("test_scribe_asgi", "test_streamed_piece_of_the_wrong_type"):
        ops.append((f"send_asgi_response: {case['name']} piece", send_asgi_raises(TypeError, streamed(b"a", case["piece"], b"b"))))
    for case in cases("test_scribe_asgi", "test_get_chunks"):
        ops.append((f"get_chunks({len(case['data'])} bytes)", lambda d=case["data"]: list(scribe.get_chunks(d))))
    for i, case in enumerate(cases("test_scribe_asgi", "test_write_chunks")):
        ops.append((f"write_chunks {i}", lambda p=case["pieces"]: drive(collect(scribe.write_chunks(ta.streamed(*p))))))
    for i, case in enumerate(cases("test_scribe_sse", "test_event_form")):
        ops.append((f"write_sse {i}", lambda k=case["kwargs"]: scribe.write_sse(ServerSentEvent(**k))))
    for i, case in enumerate(cases("test_scribe_sse", "test_lone_carriage_returns_are_line_breaks")):
        ops.append((f"write_sse lone CR {i}", lambda k=case["kwargs"]: scribe.write_sse(ServerSentEvent(None, **k))))
    for case in cases("test_scribe_sse", "test_wants_an_event"):
        ops.append((f"write_sse({type(case['bad']).__name__})", raises(TypeError, scribe.write_sse, case["bad"])))
    for i, case in enumerate(cases("test_scribe_heads", "test_content_headers_come_after_the_application_headers")):
        ops.append((f"set_headers_for_response_content {i}", lambda c=case["content"]: th.headers_after(c)))
    for case in cases("test_scribe_heads", "test_set_headers_wants_a_response"):
        ops.append((f"set_headers_for_response_content({type(case['bad']).__name__})",
                    raises(TypeError, scribe.set_headers_for_response_content, case["bad"])))
    return ops


# ---- error paths beyond the suite's tables ----------------------------------------------


class RaisingItems:
    def items(self):
        raise LookupError("no items")


def failing_iterator():
    yield ("a", "1")
    raise LookupError("iterator failed")


class BadStr:
    def __str__(self):
        raise LookupError("no text")


def scope_with(**values):
    scope = Scope()
    scope.__dict__.update(values)
    return scope


def with_corrupted_pool():
    from brindlewick import messages

    saved = messages._TLS.requests
    messages._TLS.requests = ()
    try:
        scribe.instantiate_rsgi_request(Scope(), None)
    finally:
        messages._TLS.requests = saved


def sync_send(message):
    return None


async def failing_send(message):
    raise ConnectionAbortedError("send refused")


class RaisingBool(Content):
    def __bool__(self):
        raise LookupError("no truth")


class RaisingParts(StreamedContent):
    def get_parts(self):
        raise LookupError("no parts")


class RaisingStream(StreamedContent):
    def stream(self):
        raise LookupError("no stream")


class StreamRaises(Protocol):
    def response_stream(self, status, headers):
        raise ConnectionResetError("no stream")


class StreamAwaitRaises(Protocol):
    def response_stream(self, status, headers):
        async def ready():
            raise ConnectionResetError("no transport")

        return ready()


class SyncTransport:
    def __init__(self, log):
        self.log = log

    def send_bytes(self, chunk):
        self.log.append(chunk)

    def send_str(self, chunk):
        raise ConnectionResetError("str refused")


class SyncStream(Protocol):
    def response_stream(self, status, headers):
        return SyncTransport(self.calls)


class AttributeFails(Protocol):
    def __getattr__(self, name):
        raise LookupError(name)


def noncontiguous():
    return memoryview(bytes(range(16)))[::2]


def streamed_response(*items, content_type=StreamedContent):
    return lambda: Response(200, None, content_type(b"a/b", lambda: pieces(*items)))


def error_paths():
    return [
        ("extract_rsgi_headers: items() raises", raises(LookupError, scribe.extract_rsgi_headers, RaisingItems())),
        ("extract_rsgi_headers: iterator raises", raises(LookupError, lambda: scribe.extract_rsgi_headers(failing_iterator()))),
        ("extract_rsgi_headers: pair not a sequence", raises(TypeError, scribe.extract_rsgi_headers, [5])),
        ("extract_rsgi_headers: str() raises", raises(LookupError, scribe.extract_rsgi_headers, [("a", BadStr())])),
        ("extract_rsgi_headers(5)", raises(TypeError, scribe.extract_rsgi_headers, 5)),
        ("instantiate_rsgi_request: surrogate in the path", raises(UnicodeEncodeError, lambda:
            scribe.instantiate_rsgi_request(scope_with(path="/\udc80"), None))),
        ("instantiate_rsgi_request: query outside Latin-1", raises(UnicodeEncodeError, lambda:
            scribe.instantiate_rsgi_request(scope_with(query_string="a=\u20ac"), None))),
        ("instantiate_rsgi_request: header outside Latin-1", raises(UnicodeEncodeError, lambda:
            scribe.instantiate_rsgi_request(scope_with(headers=[("x", "\u20ac")]), None))),
        ("instantiate_rsgi_request: corrupted pool", raises(TypeError, with_corrupted_pool)),
        ("instantiate_rsgi_request: path None", instantiate(lambda: scope_with(path=None), lambda: None)),
        ("send_asgi_response: send not awaitable", send_asgi_raises_with(TypeError, lambda: Response(200), sync_send)),
        ("send_asgi_response: send raises", send_asgi_raises_with(ConnectionAbortedError, lambda: Response(200), failing_send)),
        ("send_asgi_response: content truth raises", send_asgi_raises(LookupError, lambda: Response(200, None, RaisingBool(b"a/b", b"x")))),
        ("send_asgi_response: get_parts raises", send_asgi_raises(LookupError, streamed_response(b"x", content_type=RaisingParts))),
        ("write_chunks: get_parts raises", drive_raises(LookupError, lambda: collect(scribe.write_chunks(RaisingParts(b"a/b", never))))),
        ("write_chunks: non-contiguous memoryview", drive_raises(BufferError, lambda: collect(scribe.write_chunks(
            StreamedContent(b"a/b", lambda: pieces(noncontiguous())))))),
        ("send_rsgi_response: response_stream raises", drive_raises(ConnectionResetError, lambda: scribe.send_rsgi_response(
            streamed_response(b"x")(), StreamRaises()))),
        ("send_rsgi_response: awaited transport raises", drive_raises(ConnectionResetError, lambda: scribe.send_rsgi_response(
            streamed_response(b"x")(), StreamAwaitRaises()))),
        ("send_rsgi_response: stream() raises", drive_raises(LookupError, lambda: scribe.send_rsgi_response(
            streamed_response(b"x", content_type=RaisingStream)(), Protocol()))),
        ("send_rsgi_response: synchronous transport", lambda: drive(scribe.send_rsgi_response(
            streamed_response(b"a", b"b")(), SyncStream()))),
        ("send_rsgi_response: synchronous transport raises", drive_raises(ConnectionResetError, lambda: scribe.send_rsgi_response(
            streamed_response(b"a", "text")(), SyncStream()))),
        ("send_rsgi_response_sync: file range not a pair", raises(TypeError, send_sync(
            lambda: Response(206, None, tr.FileContent("/f", 5)), tr.RangeProtocol))),
        ("send_rsgi_response_sync: protocol attribute raises", raises(LookupError, send_sync(
            lambda: Response(206, None, tr.FileContent("/f", (1, 2))), AttributeFails))),
    ]


def send_asgi_raises_with(error, make_response, send):
    return drive_raises(error, lambda: scribe.send_asgi_response(make_response(), send))


def repeat_headers():
    r = Response(200, [(b"content-type", b"text/x")], JSONContent([1]))
    scribe.set_headers_for_response_content(r)
    scribe.set_headers_for_response_content(r)
    return r.headers.values
