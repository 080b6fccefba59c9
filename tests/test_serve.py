"""The application adapters of brindlewick.serve driven by in-process RSGI
protocol objects and ASGI channels: normal exchanges, handler failures,
clients that go away, lifespan and websocket scopes, pool hand-back."""

import asyncio
import gc
import json
import logging
import weakref

import pytest

from brindlewick import messages
from brindlewick.contents import Content, StreamedContent
from brindlewick.exceptions import BadRequest, HTTPException, MessageAborted, NotFound
from brindlewick.messages import Response
from brindlewick.serve import asgi_app, client_address, request_scheme, rsgi_app

pytestmark = pytest.mark.timeout(30)


class Scope:
    def __init__(self, method="GET", path="/", query="", headers=(), proto="http"):
        self.proto = proto
        self.method = method
        self.path = path
        self.query_string = query
        self.headers = list(headers)
        self.client = "10.0.0.7:4242"
        self.scheme = "https"


class Transport:
    def __init__(self, sink, fail_after=None):
        self.sink = sink
        self.fail_after = fail_after

    async def send_bytes(self, data):
        if self.fail_after is not None and len(self.sink) >= self.fail_after:
            raise ConnectionResetError("peer gone")
        self.sink.append(bytes(data))

    async def send_str(self, data):
        await self.send_bytes(data.encode())


class Protocol:
    """Records the response calls; serves a fixed body."""

    def __init__(self, body=b"", fail_body=None, fail_stream_after=None):
        self.body = body
        self.fail_body = fail_body
        self.fail_stream_after = fail_stream_after
        self.calls = []
        self.chunks = []

    def _failure(self):
        # A fresh exception each time: a raised instance keeps its traceback,
        # and with it the handler's frame and the request.
        return type(self.fail_body)(*self.fail_body.args)

    async def __call__(self):
        if self.fail_body is not None:
            raise self._failure()
        return self.body

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        if self.fail_body is not None:
            raise self._failure()
        yield self.body

    def response_empty(self, status, headers):
        self.calls.append(("empty", status, list(headers), b""))

    def response_bytes(self, status, headers, body):
        self.calls.append(("bytes", status, list(headers), bytes(body)))

    def response_str(self, status, headers, body):
        self.calls.append(("str", status, list(headers), body.encode()))

    async def response_stream(self, status, headers):
        self.calls.append(("stream", status, list(headers), None))
        return Transport(self.chunks, self.fail_stream_after)


def run_rsgi(handler, body=b"", method="GET", fail_body=None, **protocol_args):
    protocol = Protocol(body, fail_body, **protocol_args)
    headers = [("host", "example.org"), ("content-type", "application/json")]
    asyncio.run(rsgi_app(handler).__rsgi__(Scope(method, "/p", "a=1", headers), protocol))
    return [(status, dict(heads), data) for _, status, heads, data in protocol.calls], protocol


def asgi_scope(method="GET", kind="http"):
    return {
        "type": kind, "method": method, "path": "/p", "raw_path": b"/p", "query_string": b"a=1",
        "headers": [(b"host", b"example.org"), (b"content-type", b"application/json")],
        "client": ("10.0.0.7", 4242), "scheme": "https",
    }


def run_asgi(handler, body=b"", method="GET", fail_body=None, fail_send_after=None, messages_in=None):
    sent = []
    incoming = list(messages_in or [])
    scope = asgi_scope(method) if not incoming else incoming.pop(0)

    async def receive():
        if incoming:
            return incoming.pop(0)
        if fail_body is not None:
            return {"type": "http.disconnect"}
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        if fail_send_after is not None and len(sent) >= fail_send_after:
            raise ConnectionResetError("peer gone")
        sent.append(message)

    asyncio.run(asgi_app(handler)(scope, receive, send))
    return sent


def asgi_result(sent):
    """(status, headers, body) of an ASGI message sequence."""
    start = sent[0]
    assert start["type"] == "http.response.start"
    headers = {k.decode(): v.decode() for k, v in start["headers"]}
    return [(start["status"], headers, b"".join(m.get("body") or b"" for m in sent[1:]))]


def exchange(interface, handler, **kwargs):
    if interface == "rsgi":
        calls, _ = run_rsgi(handler, **kwargs)
        return calls
    sent = run_asgi(handler, **kwargs)
    return asgi_result(sent) if sent else []


interfaces = pytest.mark.parametrize("interface", ["rsgi", "asgi"])


def recycled(ref, pool):
    """Whether the object behind the weak reference `ref` is the top of `pool`."""
    obj = ref()
    return obj is not None and bool(pool) and pool[-1] is obj


class Recorder:
    """A handler that remembers what it saw (weakly: a strong reference would
    keep the exchange from recycling the objects) and returns a given
    response."""

    def __init__(self, result=None, error=None, read=False):
        self.result = result
        self.error = error
        self.read = read
        self.requests = []
        self.responses = []
        self.body = None

    async def __call__(self, request):
        self.requests.append(weakref.ref(request))
        if self.read:
            self.body = await request.read()
        if self.error is not None:
            # An exception class makes a fresh instance per call; an instance
            # keeps the traceback of its last raise (and the request with it).
            raise self.error
        response = self.result() if callable(self.result) else self.result
        self.responses.append(weakref.ref(response))
        return response


@interfaces
def test_exchange_reads_the_request_and_sends_the_response(interface):
    seen = {}

    async def handler(request):
        seen.update(method=request.method, path=request.path, query=request.query,
                    host=request.get_first_header(b"host"), body=await request.read(),
                    client=client_address(request), scheme=request_scheme(request))
        return Response(201, [(b"x-a", b"1")], Content(b"application/json", b'{"ok":true}'))

    [(status, headers, body)] = exchange(interface, handler, method="POST", body=b'{"in":1}')
    assert (status, body) == (201, b'{"ok":true}')
    assert headers["x-a"] == "1" and headers["content-type"] == "application/json"
    assert seen == {"method": "POST", "path": "/p", "query": {"a": ["1"]}, "host": b"example.org",
                    "body": b'{"in":1}', "client": ("10.0.0.7", 4242), "scheme": "https"}


@interfaces
def test_objects_go_back_to_the_pools_reset(interface):
    handler = Recorder(lambda: Response(200, None, Content(b"text/plain", b"x")))
    exchange(interface, handler, method="POST", body=b"data")
    [request], [response] = (ref() for ref in handler.requests), (ref() for ref in handler.responses)
    assert messages._TLS.requests[-1] is request
    assert messages._TLS.responses[-1] is response
    assert request.method == "" and request.content is None and request.scope is None
    assert response.content is None and response.status == 200


@interfaces
@pytest.mark.parametrize(
    ("error", "status", "message", "level"),
    [(RuntimeError("secret detail"), 500, "Internal Server Error", logging.ERROR),
     (BadRequest("the field x is missing"), 400, "the field x is missing", logging.INFO),
     (NotFound(), 404, "Not Found", logging.INFO),
     # a server fault raised as HTTPException keeps its status, not its text
     (HTTPException(500, "db password is hunter2"), 500, "Internal Server Error", logging.ERROR),
     (HTTPException(503, "replica 3 is down"), 503, "Server Error", logging.ERROR)],
)
def test_handler_errors_become_json_responses(interface, error, status, message, level, caplog):
    handler = Recorder(error=error)
    with caplog.at_level(logging.DEBUG, logger="brindlewick.serve"):
        [(got_status, headers, body)] = exchange(interface, handler)
    assert got_status == status
    assert headers["content-type"] == "application/json"
    assert json.loads(body) == {"error": message}
    records = [r for r in caplog.records if r.name == "brindlewick.serve"]
    assert [r.levelno for r in records] == [level]
    assert (records[0].exc_info is not None) == (status >= 500)


@interfaces
def test_a_result_that_is_not_a_response_is_a_500(interface, caplog):
    async def handler(request):
        return {"not": "a response"}

    with caplog.at_level(logging.ERROR, logger="brindlewick.serve"):
        [(status, _, _)] = exchange(interface, handler)
    assert status == 500
    assert "expected Response" in caplog.text


@interfaces
def test_a_client_gone_mid_body_ends_only_its_exchange(interface, caplog):
    handler = Recorder(lambda: Response(200), read=True)
    with caplog.at_level(logging.INFO, logger="brindlewick.serve"):
        calls = exchange(interface, handler, method="POST", fail_body=MessageAborted())
    assert calls == []
    assert caplog.records == []
    assert recycled(handler.requests[0], messages._TLS.requests)
    # the next exchange is served normally
    [(status, _, body)] = exchange(interface, Recorder(lambda: Response(200, None, Content(b"a/b", b"ok"))))
    assert (status, body) == (200, b"ok")


def failing_stream_response():
    async def pieces():
        yield b"first"
        raise RuntimeError("producer failed")

    return Response(200, None, StreamedContent(b"text/plain", pieces))


def test_rsgi_started_stream_is_not_restarted(caplog):
    handler = Recorder(failing_stream_response)
    with caplog.at_level(logging.ERROR, logger="brindlewick.serve"):
        calls, protocol = run_rsgi(handler)
    assert [c[0] for c in calls] == [200]  # one response_stream call, nothing after it
    assert protocol.chunks == [b"first"]
    assert "sending the response failed" in caplog.text
    assert recycled(handler.responses[0], messages._TLS.responses)


def test_asgi_started_stream_is_not_restarted(caplog):
    handler = Recorder(failing_stream_response)
    with caplog.at_level(logging.ERROR, logger="brindlewick.serve"):
        sent = run_asgi(handler)
    assert [m["type"] for m in sent] == ["http.response.start", "http.response.body"]
    assert sent[1]["body"] == b"first" and sent[1]["more_body"] is True
    assert "producer failed" in caplog.text
    assert recycled(handler.responses[0], messages._TLS.responses)


@interfaces
def test_a_peer_gone_while_sending_is_not_an_error(interface, caplog):
    handler = Recorder(lambda: Response(200, None, StreamedContent(b"a/b", _three_pieces)))
    with caplog.at_level(logging.INFO, logger="brindlewick.serve"):
        if interface == "rsgi":
            run_rsgi(handler, fail_stream_after=1)
        else:
            run_asgi(handler, fail_send_after=2)
    assert caplog.records == []
    assert recycled(handler.requests[0], messages._TLS.requests)


async def _three_pieces():
    for piece in (b"a", b"b", b"c"):
        yield piece


async def unused_handler(request):
    raise AssertionError("no request expected")


def test_asgi_lifespan_completes_startup_and_shutdown():
    sent = run_asgi(unused_handler, messages_in=[{"type": "lifespan"}, {"type": "lifespan.startup"},
                                       {"type": "lifespan.shutdown"}])
    assert sent == [{"type": "lifespan.startup.complete"}, {"type": "lifespan.shutdown.complete"}]


def test_websockets_are_refused():
    sent = run_asgi(unused_handler, messages_in=[{"type": "websocket", "path": "/ws"}, {"type": "websocket.connect"}])
    assert sent == [{"type": "websocket.close", "code": 1008}]
    protocol = Protocol()
    asyncio.run(rsgi_app(unused_handler).__rsgi__(Scope(proto="ws"), protocol))
    assert protocol.calls == []


@pytest.mark.parametrize("make", [rsgi_app, asgi_app])
def test_handler_must_be_callable(make):
    with pytest.raises(TypeError, match="handler must be callable"):
        make(42)


# ---- the native RSGI exchange ------------------------------------------------------


def rsgi_exchange_run(app, method="GET"):
    protocol = Protocol()
    headers = [("host", "example.org")]
    asyncio.run(app.__rsgi__(Scope(method, "/p", "", headers), protocol))
    return protocol


@pytest.mark.parametrize("error", [asyncio.CancelledError, KeyboardInterrupt])
def test_rsgi_base_exceptions_propagate_leaving_a_held_request_untouched(error):
    handler = Recorder(error=error)
    app = rsgi_app(handler)
    with pytest.raises(error) as raised:
        asyncio.run(app.__rsgi__(Scope(), Protocol()))
    # The traceback holds the handler's frame, and with it the request.
    request = handler.requests[0]()
    assert request.scope is not None and request not in messages._TLS.requests
    del request, raised
    gc.collect()
    assert handler.requests[0]() is None  # freed by its last holder, never pooled


def test_rsgi_cancelled_while_the_handler_waits_lets_the_request_go():
    started = asyncio.Event()
    handler = Recorder()

    async def slow(request):
        handler.requests.append(weakref.ref(request))
        started.set()
        await asyncio.sleep(3600)

    async def main():
        task = asyncio.ensure_future(rsgi_app(slow).__rsgi__(Scope(), Protocol()))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    gc.collect()
    request = handler.requests[0]()
    # Recycled when the exchange held it last, else freed by its last holder.
    assert request is None or (request in messages._TLS.requests and request.scope is None)


def test_rsgi_exchange_hooks_and_subclassing(caplog):
    from brindlewick.scribe import RSGIExchange

    seen = []

    def on_failure(exc, method, path):
        seen.append(("failure", type(exc), method, path))
        return Response(503, None, Content(b"text/plain", b"later"))

    def on_send_failure(exc, method, path):
        seen.append(("send", type(exc), method, path))

    class App(RSGIExchange):
        pass

    app = App(Recorder(error=ValueError), on_failure, on_send_failure)
    protocol = rsgi_exchange_run(app, "PUT")
    assert [c[:2] for c in protocol.calls] == [("bytes", 503)]
    assert seen == [("failure", ValueError, "PUT", "/p")]
    assert isinstance(app.handler, Recorder)
    with pytest.raises(AttributeError):
        app.handler = None


@pytest.mark.parametrize(
    ("replacement", "error"),
    [(None, None), ("not a response", TypeError), (RuntimeError, RuntimeError)],
)
def test_rsgi_failure_hook_results(replacement, error):
    from brindlewick.scribe import RSGIExchange

    def on_failure(exc, method, path):
        if replacement is RuntimeError:
            raise RuntimeError("hook failed")
        return replacement

    handler = Recorder(error=ValueError)
    app = RSGIExchange(handler, on_failure, lambda *a: None)
    if error is None:
        protocol = rsgi_exchange_run(app)
        assert protocol.calls == []
        assert recycled(handler.requests[0], messages._TLS.requests)
    else:
        with pytest.raises(error) as raised:
            rsgi_exchange_run(app)
        assert isinstance(raised.value.__context__, ValueError)  # raised while handling the handler's error
        # whose traceback holds the handler's frame: the request is not recycled
        assert handler.requests[0]() not in messages._TLS.requests


def test_rsgi_exchange_refuses_bad_construction():
    from brindlewick.scribe import RSGIExchange

    with pytest.raises(TypeError):
        RSGIExchange(lambda r: r, 1, lambda *a: None)
    bare = RSGIExchange.__new__(RSGIExchange)
    with pytest.raises(RuntimeError, match="__init__"):
        bare.__rsgi__(Scope(), Protocol())


# ---- the native ASGI exchange ------------------------------------------------------


def asgi_exchange_run(app, scope=None, body=b""):
    sent = []

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope if scope is not None else asgi_scope(), receive, send))
    return sent


def test_asgi_exchange_hooks_and_subclassing():
    from brindlewick.scribe import ASGIExchange

    seen = []

    def on_failure(exc, method, path):
        seen.append(("failure", type(exc), method, path))
        return Response(503, None, Content(b"text/plain", b"later"))

    async def on_other_scope(scope, receive, send):
        seen.append(("other", scope["type"]))

    class App(ASGIExchange):
        pass

    app = App(Recorder(error=ValueError), on_failure, lambda *a: None, on_other_scope)
    sent = asgi_exchange_run(app, asgi_scope("PUT"))
    assert asgi_result(sent)[0][:1] == (503,)
    asgi_exchange_run(app, {"type": "lifespan"})
    assert seen == [("failure", ValueError, "PUT", "/p"), ("other", "lifespan")]
    with pytest.raises(AttributeError):
        app.handler = None


@pytest.mark.parametrize(
    ("changes", "path", "headers"),
    [
        ({}, b"/p", [("host", "example.org"), ("content-type", "application/json")]),
        ({"raw_path": None, "path": "/caf\u00e9"}, b"/caf%C3%A9", None),
        ({"raw_path": b""}, b"/p", None),
        ({"headers": ([b"x-a", b"1"], (b"x-b", b"2"))}, b"/p", [("x-a", "1"), ("x-b", "2")]),
        ({"headers": (pair for pair in [(b"x-g", b"3")])}, b"/p", [("x-g", "3")]),
    ],
)
def test_asgi_exchange_reads_scopes_as_servers_give_them(changes, path, headers):
    seen = []

    async def handler(request):
        seen.append((request._path, list(request.headers.items())))
        return Response(204)

    scope = {**asgi_scope(), **changes}
    if changes.get("raw_path", b"/p") is None:
        del scope["raw_path"]
    sent = asgi_exchange_run(asgi_app(handler), scope)
    assert sent[0]["status"] == 204
    [(seen_path, seen_headers)] = seen
    assert seen_path == path
    if headers is not None:
        assert [(k.decode() if isinstance(k, bytes) else k, v.decode() if isinstance(v, bytes) else v)
                for k, v in seen_headers] == headers


@pytest.mark.parametrize(
    ("scope", "error"),
    [
        ({}, KeyError),
        ({"type": "http"}, KeyError),
        ({**asgi_scope(), "raw_path": None, "path": b"/bytes"}, TypeError),
        ({**asgi_scope(), "method": b"GET"}, TypeError),
        ({**asgi_scope(), "headers": 5}, TypeError),
    ],
)
def test_asgi_exchange_refuses_bad_scopes(scope, error):
    handler = Recorder(result=Response(204))
    with pytest.raises(error):
        asgi_exchange_run(asgi_app(handler), scope)
    assert handler.requests == []


@pytest.mark.parametrize("error", [asyncio.CancelledError, KeyboardInterrupt])
def test_asgi_base_exceptions_propagate_leaving_a_held_request_untouched(error):
    handler = Recorder(error=error)
    with pytest.raises(error) as raised:
        asgi_exchange_run(asgi_app(handler))
    request = handler.requests[0]()
    assert request.scope is not None and request not in messages._TLS.requests
    del request, raised
    gc.collect()
    assert handler.requests[0]() is None


def test_asgi_app_looks_like_a_coroutine_function_to_servers():
    import inspect

    app = asgi_app(Recorder(result=lambda: Response(204)))
    assert inspect.iscoroutinefunction(app.__call__)
    assert asgi_exchange_run(app.__call__)[0]["status"] == 204  # the attribute serves too


def test_asgi_exchange_refuses_bad_construction_and_calls():
    from brindlewick.scribe import ASGIExchange

    async def other(scope, receive, send):
        pass

    with pytest.raises(TypeError):
        ASGIExchange(lambda r: r, lambda *a: None, lambda *a: None, 1)
    with pytest.raises(TypeError):
        ASGIExchange(lambda r: r, lambda *a: None, lambda *a: None)
    bare = ASGIExchange.__new__(ASGIExchange)
    with pytest.raises(RuntimeError, match="__init__"):
        bare(asgi_scope(), other, other)
    app = ASGIExchange(lambda r: r, lambda *a: None, lambda *a: None, other)
    with pytest.raises(TypeError):
        app(asgi_scope(), other)


# ---- heads the wire cannot carry, and HEAD ------------------------------------------


@interfaces
@pytest.mark.parametrize("make", [
    lambda: Response(99, None, Content(b"text/plain", b"x")),
    lambda: Response(65536),
    lambda: Response(302, [(b"location", b"/next\r\nset-cookie: sid=stolen")]),
    lambda: Response(200, None, Content(b"text/html\r\nx-forged: 1", b"x")),
])
def test_a_response_the_wire_cannot_carry_is_answered_with_a_logged_500(interface, make, caplog):
    handler = Recorder(make)
    with caplog.at_level(logging.ERROR, logger="brindlewick.serve"):
        [(status, headers, body)] = exchange(interface, handler)
    assert status == 500 and json.loads(body) == {"error": "Internal Server Error"}
    assert "location" not in headers and "x-forged" not in headers
    assert "the handler failed" in caplog.text and "Invalid" in caplog.text


@interfaces
def test_head_sends_the_get_head_and_never_starts_the_body(interface):
    started = []

    async def pieces():
        started.append(True)
        yield b"never"

    handler = Recorder(lambda: Response(200, None, StreamedContent(b"text/plain", pieces, 5)))
    [(status, headers, body)] = exchange(interface, handler, method="HEAD")
    assert (status, body, started) == (200, b"", [])
    assert headers["content-length"] == "5" and headers["content-type"] == "text/plain"
