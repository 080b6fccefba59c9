"""brindlewick.serve: whole exchanges through rsgi_app (the native
scribe.RSGIExchange) and asgi_app over in-process RSGI protocols and ASGI
channels: normal exchanges, handlers that raise or return junk, clients that
go away while the body is read or the response is sent, failing streams,
the failure hooks, websocket and lifespan scopes, bad scopes, cancellation.

The fake protocols and channels do not suspend, so the exchanges are driven
without an event loop; the cancellation needs one and runs on the run's loop.
The serving layer's logger gets a handler that drops its records, so that the
failure paths log (and format their tracebacks into records) without writing
ten thousand tracebacks to the terminal."""

import asyncio
import logging

from brindlewick import messages
from brindlewick.contents import Content, JSONContent, StreamedContent
from brindlewick.exceptions import BadRequest, MessageAborted, NotFound
from brindlewick.messages import Response, acquire_response
from brindlewick.scribe import RSGIExchange
from brindlewick.serve import asgi_app, client_address, request_scheme, rsgi_app

from leakcheck.support import drive, drive_raises, loop, raises, run, test_module

ITERATIONS = 10_000

ts = test_module("test_serve")
Scope, Protocol = ts.Scope, ts.Protocol

_logger = logging.getLogger("brindlewick.serve")
_logger.addHandler(logging.NullHandler())
_logger.propagate = False

HEADERS = [("host", "example.org"), ("content-type", "application/json"), ("cookie", "a=1")]


# ---- handlers -----------------------------------------------------------------------


async def echo(request):
    body = await request.read()
    seen = (request.method, request.path, request.query, request.get_first_header(b"host"), request.cookies,
            client_address(request), request_scheme(request), request.host)
    return acquire_response(201, [(b"x-a", b"1")], JSONContent({"body": body.decode(), "seen": repr(seen)}))


async def plain(request):
    return Response(200, None, Content(b"text/plain", b"x"))


async def read_then_ok(request):
    await request.read()
    return Response(200)


def raising(error, *args):
    # A new exception each time: raising one instance again would chain each
    # raise's traceback onto the one before.
    async def handler(request):
        raise error(*args)

    return handler


async def not_a_response(request):
    return {"not": "a response"}


async def _three_pieces():
    for piece in (b"a", b"b", b"c"):
        yield piece


async def _failing_pieces():
    yield b"first"
    raise RuntimeError("producer failed")


async def streaming(request):
    return Response(200, None, StreamedContent(b"a/b", _three_pieces))


async def failing_stream(request):
    return Response(200, None, StreamedContent(b"text/plain", _failing_pieces))


async def slow(request):
    await asyncio.sleep(3600)


def on_failure(exc, method, path):
    return Response(503, None, Content(b"text/plain", b"later"))


def on_send_failure(exc, method, path):
    return None


def hook_returning(value):
    def hook(exc, method, path):
        return value

    return hook


def hook_raising(exc, method, path):
    raise RuntimeError("hook failed")


class App(RSGIExchange):
    pass


class MyResponse(Response):
    pass


def sync_handler(request):
    return Response(200)  # not awaitable


def synchronously_raising(request):
    raise LookupError("raised before any await")


class Awaitable:
    """An awaitable that is not a coroutine: __await__ over a generator."""

    def __init__(self, request):
        self.request = request

    def __await__(self):
        yield from ()
        return Response(204)


def on_failure_subclass(exc, method, path):
    return MyResponse(500, None, Content(b"text/plain", b"subclass"))


class VanishingScope(Scope):
    """Loses its method once read: the failure hook's look-up fails."""

    def __getattribute__(self, name):
        if name == "method" and object.__getattribute__(self, "read_method"):
            raise AttributeError("method")
        if name == "method":
            object.__setattr__(self, "read_method", True)
        return object.__getattribute__(self, name)


def vanishing_scope():
    scope = VanishingScope("GET", "/p", "", HEADERS)
    object.__setattr__(scope, "read_method", False)
    return scope


class RaisingReset(Response):
    def reset(self):
        raise LookupError("reset failed")


async def raising_reset(request):
    return RaisingReset(200)


# ---- RSGI -------------------------------------------------------------------------------


def rsgi(app, method="GET", body=b"", proto="http", fail_body=None, **protocol_args):
    def op():
        protocol = Protocol(body, fail_body() if fail_body else None, **protocol_args)
        drive(app.__rsgi__(Scope(method, "/p", "a=1", HEADERS, proto), protocol))
        return protocol.calls

    return op


def rsgi_raises(error, app, method="GET", **protocol_args):
    return drive_raises(error, lambda: app.__rsgi__(Scope(method, "/p", "a=1", HEADERS), Protocol(**protocol_args)))


class NoProto:
    method, path, query_string, headers = "GET", "/", "", []


async def cancelled():
    task = asyncio.ensure_future(SLOW.__rsgi__(Scope(), Protocol()))
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        return
    raise AssertionError("the exchange was not cancelled")


# ---- ASGI -------------------------------------------------------------------------------


def asgi_scope(method="GET", kind="http", raw_path=b"/p", headers=None):
    scope = {
        "type": kind, "method": method, "path": "/p", "query_string": b"a=1",
        "headers": headers if headers is not None else [(b"host", b"example.org"), (b"content-type", b"application/json")],
        "client": ("10.0.0.7", 4242), "scheme": "https",
    }
    if raw_path is not None:
        scope["raw_path"] = raw_path
    return scope


def asgi(app, method="GET", body=b"", disconnect=False, fail_send_after=None, messages=None, scope=None):
    async def exchange():
        sent = []
        incoming = list(messages or [])
        this_scope = scope() if scope else (incoming.pop(0) if incoming else asgi_scope(method))

        async def receive():
            if incoming:
                return incoming.pop(0)
            if disconnect:
                return {"type": "http.disconnect"}
            return {"type": "http.request", "body": body, "more_body": False}

        async def send(message):
            if fail_send_after is not None and len(sent) >= fail_send_after:
                raise ConnectionResetError("peer gone")
            sent.append(message)

        await app(this_scope, receive, send)
        return sent

    return exchange


def asgi_op(app, **kwargs):
    make = asgi(app, **kwargs)
    return lambda: drive(make())


def asgi_raises(error, app, **kwargs):
    return drive_raises(error, asgi(app, **kwargs))


RSGI = {name: rsgi_app(h) for name, h in [
    ("echo", echo), ("plain", plain), ("read", read_then_ok), ("runtime", raising(RuntimeError, "secret detail")),
    ("bad request", raising(BadRequest, "the field x is missing")), ("not found", raising(NotFound)),
    ("junk", not_a_response), ("streaming", streaming), ("failing stream", failing_stream),
    ("cancelled", raising(asyncio.CancelledError)), ("interrupt", raising(KeyboardInterrupt)),
]}
ASGI = {name: asgi_app(h) for name, h in [
    ("echo", echo), ("plain", plain), ("read", read_then_ok), ("runtime", raising(RuntimeError, "secret detail")),
    ("bad request", raising(BadRequest, "the field x is missing")), ("not found", raising(NotFound)),
    ("junk", not_a_response), ("streaming", streaming), ("failing stream", failing_stream),
    ("cancelled", raising(asyncio.CancelledError)),
]}
SLOW = rsgi_app(slow)
SYNC = rsgi_app(sync_handler)
SYNC_RAISES = rsgi_app(synchronously_raising)
AWAITABLE = rsgi_app(Awaitable)
SUBCLASS_HOOK = RSGIExchange(raising(ValueError, "x"), on_failure_subclass, on_send_failure)
RESET_RAISES = rsgi_app(raising_reset)
ASGI_SYNC = asgi_app(sync_handler)
ASGI_RESET_RAISES = asgi_app(raising_reset)
HOOKED = App(raising(ValueError, "x"), on_failure, on_send_failure)
HOOK_NONE = RSGIExchange(raising(ValueError, "x"), hook_returning(None), on_send_failure)
HOOK_JUNK = RSGIExchange(raising(ValueError, "x"), hook_returning("not a response"), on_send_failure)
HOOK_RAISES = RSGIExchange(raising(ValueError, "x"), hook_raising, on_send_failure)
SEND_HOOK_RAISES = RSGIExchange(failing_stream, on_failure, hook_raising)


class Holder:
    """A handler object that holds the application serving it: a cycle
    through the exchange's fields."""

    async def __call__(self, request):
        return Response(200)


def exchange_cycle():
    holder = Holder()
    holder.app = rsgi_app(holder)
    subclass = App(holder, on_failure, on_send_failure)
    holder.subclass = subclass
    subclass.extra = holder  # App has a __dict__


def with_empty_pools(op):
    """op() with empty pools (a full pool would drop the response unreset)."""

    def run_op():
        saved = messages._TLS.requests, messages._TLS.responses
        messages._TLS.requests, messages._TLS.responses = [], []
        try:
            op()
        finally:
            messages._TLS.requests, messages._TLS.responses = saved

    return run_op


def operations():
    ops = [
        ("rsgi: POST with a body, handler reads it", rsgi(RSGI["echo"], "POST", b'{"in":1}')),
        ("rsgi: GET", rsgi(RSGI["plain"])),
        ("rsgi: handler raises RuntimeError (500, logged)", rsgi(RSGI["runtime"])),
        ("rsgi: handler raises BadRequest", rsgi(RSGI["bad request"])),
        ("rsgi: handler raises NotFound", rsgi(RSGI["not found"])),
        ("rsgi: handler returns a dict", rsgi(RSGI["junk"])),
        ("rsgi: client gone mid-body", rsgi(RSGI["read"], "POST", fail_body=MessageAborted)),
        ("rsgi: client reset mid-body", rsgi(RSGI["read"], "POST", fail_body=lambda: ConnectionResetError("x"))),
        ("rsgi: streamed response", rsgi(RSGI["streaming"])),
        ("rsgi: stream fails after the head", rsgi(RSGI["failing stream"])),
        ("rsgi: peer gone while streaming", rsgi(RSGI["streaming"], fail_stream_after=1)),
        ("rsgi: websocket scope", rsgi(RSGI["plain"], proto="ws")),
        ("rsgi: CancelledError propagates", rsgi_raises(asyncio.CancelledError, RSGI["cancelled"])),
        ("rsgi: KeyboardInterrupt propagates", rsgi_raises(KeyboardInterrupt, RSGI["interrupt"])),
        ("rsgi: scope without proto", drive_raises(AttributeError, lambda: RSGI["plain"].__rsgi__(NoProto(), Protocol()))),
        ("rsgi: scope with bytes path", drive_raises(TypeError, lambda: RSGI["plain"].__rsgi__(Scope("GET", b"/p"), Protocol()))),
        ("rsgi: POST with protocol None", drive_raises(TypeError, lambda: RSGI["plain"].__rsgi__(Scope("POST"), None))),
        ("rsgi: __rsgi__(1 arg)", raises(TypeError, lambda: RSGI["plain"].__rsgi__(Scope()))),
        ("rsgi: cancelled while the handler waits", lambda: run(cancelled())),
        ("RSGIExchange subclass, failure hook answers", rsgi(HOOKED, "PUT")),
        ("failure hook returns None", rsgi(HOOK_NONE)),
        ("failure hook returns junk", rsgi_raises(TypeError, HOOK_JUNK)),
        ("failure hook raises", rsgi_raises(RuntimeError, HOOK_RAISES)),
        ("send-failure hook raises", rsgi_raises(RuntimeError, SEND_HOOK_RAISES)),
        ("RSGIExchange(handler, 1, hook)", raises(TypeError, lambda: RSGIExchange(plain, 1, on_send_failure))),
        ("RSGIExchange.__new__ then __rsgi__", raises(RuntimeError, lambda: RSGIExchange.__new__(RSGIExchange).__rsgi__(Scope(), Protocol()))),
        ("RSGIExchange: handler read-only", raises(AttributeError, lambda: setattr(HOOKED, "handler", None))),
        ("rsgi_app(42)", raises(TypeError, rsgi_app, 42)),
        ("RSGIExchange in a reference cycle", exchange_cycle),
        ("RSGIExchange.__init__ again", lambda: HOOKED.__init__(raising(ValueError, "x"), on_failure, on_send_failure)),
        ("asgi: POST with a body, handler reads it", asgi_op(ASGI["echo"], method="POST", body=b'{"in":1}')),
        ("asgi: GET", asgi_op(ASGI["plain"])),
        ("asgi: scope without raw_path", asgi_op(ASGI["plain"], scope=lambda: asgi_scope(raw_path=None))),
        ("asgi: headers as a tuple of lists", asgi_op(ASGI["plain"], scope=lambda: asgi_scope(headers=([b"host", b"h"],)))),
        ("asgi: handler raises RuntimeError (500, logged)", asgi_op(ASGI["runtime"])),
        ("asgi: handler raises BadRequest", asgi_op(ASGI["bad request"])),
        ("asgi: handler raises NotFound", asgi_op(ASGI["not found"])),
        ("asgi: handler returns a dict", asgi_op(ASGI["junk"])),
        ("asgi: client gone mid-body", asgi_op(ASGI["read"], method="POST", disconnect=True)),
        ("asgi: streamed response", asgi_op(ASGI["streaming"])),
        ("asgi: stream fails after the head", asgi_op(ASGI["failing stream"])),
        ("asgi: peer gone while streaming", asgi_op(ASGI["streaming"], fail_send_after=2)),
        ("asgi: CancelledError propagates", asgi_raises(asyncio.CancelledError, ASGI["cancelled"])),
        ("asgi: lifespan", asgi_op(ASGI["plain"], messages=[{"type": "lifespan"}, {"type": "lifespan.startup"},
                                                            {"type": "lifespan.shutdown"}])),
        ("asgi: websocket refused", asgi_op(ASGI["plain"], messages=[{"type": "websocket", "path": "/ws"},
                                                                     {"type": "websocket.connect"}])),
        ("asgi: unknown scope type", asgi_raises(ValueError, ASGI["plain"], scope=lambda: {"type": "other"})),
        ("asgi: scope without method", asgi_raises(KeyError, ASGI["plain"], scope=lambda: {"type": "http", "path": "/"})),
        ("asgi: bytes method", asgi_raises(TypeError, ASGI["plain"], scope=lambda: dict(asgi_scope(), method=b"GET"))),
        ("asgi_app(42)", raises(TypeError, asgi_app, 42)),
        ("rsgi: handler result not awaitable", rsgi(SYNC)),
        ("rsgi: handler raises before awaiting", rsgi(SYNC_RAISES)),
        ("rsgi: handler returns an __await__ object", rsgi(AWAITABLE)),
        ("rsgi: failure hook answers a Response subclass", rsgi(SUBCLASS_HOOK)),
        ("rsgi: scope changes under the failure hook", drive_raises(AttributeError, lambda: HOOKED.__rsgi__(vanishing_scope(), Protocol()))),
        ("rsgi: releasing the response fails", with_empty_pools(rsgi_raises(LookupError, RESET_RAISES))),
        ("asgi: handler result not awaitable", asgi_op(ASGI_SYNC)),
        ("asgi: releasing the response fails", with_empty_pools(asgi_raises(LookupError, ASGI_RESET_RAISES))),
    ]
    return ops


loop()  # made before the family is frozen, like the rest of its fixed state
