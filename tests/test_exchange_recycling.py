"""What the serving exchanges recycle, and streams whose client leaves.

An exchange hands a request or response back to its pool only when nothing
but the exchange still holds it: a background task that keeps its request,
or a module-level response returned for every miss, must never see another
client's data.  A streamed body stops when the server reports that its
client left."""

import asyncio
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brindlewick import messages
from brindlewick.contents import Content, StreamedContent
from brindlewick.messages import Response, acquire_request, acquire_response, release_request, release_response
from brindlewick.serve import asgi_app, rsgi_app

from test_serve import Protocol, Scope, asgi_scope

pytestmark = pytest.mark.timeout(30)

interfaces = pytest.mark.parametrize("interface", ["rsgi", "asgi"])


def client_request(n):
    """What client `n` sends: its path, cookie, authorization and body."""
    return {"path": f"/c{n}", "cookie": f"sid=s{n}", "auth": f"Bearer t{n}", "body": f"body-{n}".encode()}


async def serve_one(app, interface, n):
    """One exchange of client `n` through `app`; returns (status, body)."""
    sent = client_request(n)
    if interface == "rsgi":
        scope = Scope("POST", sent["path"], "", [("cookie", sent["cookie"]), ("authorization", sent["auth"])])
        protocol = Protocol(sent["body"])
        await app.__rsgi__(scope, protocol)
        [(_, status, _, body)] = protocol.calls
        return status, body
    scope = dict(asgi_scope("POST"), path=sent["path"], raw_path=sent["path"].encode(),
                 headers=[(b"cookie", sent["cookie"].encode()), (b"authorization", sent["auth"].encode())])
    body_sent = False
    out = []

    async def receive():
        nonlocal body_sent
        if not body_sent:
            body_sent = True
            return {"type": "http.request", "body": sent["body"], "more_body": False}
        await asyncio.sleep(3600)

    async def send(message):
        out.append(message)

    await app(scope, receive, send)
    return out[0]["status"], b"".join(m.get("body", b"") for m in out[1:])


def make_app(interface, handler):
    return rsgi_app(handler) if interface == "rsgi" else asgi_app(handler)


async def observe(request):
    return {"path": request.path, "cookie": request.cookies.get("sid"),
            "auth": request.get_first_header(b"authorization"), "body": await request.read()}


def expected(n):
    sent = client_request(n)
    return {"path": sent["path"], "cookie": f"s{n}", "auth": sent["auth"].encode(), "body": sent["body"]}


SHARED = Response(404, None, Content(b"text/plain", b"shared miss"))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    interface=st.sampled_from(["rsgi", "asgi"]),
    plans=st.lists(st.tuples(st.booleans(), st.booleans(), st.integers(0, 3)), min_size=1, max_size=12),
)
def test_no_exchange_observes_another_clients_data(interface, plans):
    # Each client's handler keeps its request in a background task (or not),
    # answers with the shared module-level response (or a fresh one), and
    # yields to the loop a few times; all run interleaved.
    seen_late = {}
    tasks = []
    gate = asyncio.Event()

    async def handler(request):
        n = int(request.path[2:])
        keep, shared, turns = plans[n]
        seen = await observe(request)
        for _ in range(turns):
            await asyncio.sleep(0)
        assert seen == await observe(request) == expected(n)
        if keep:
            async def audit():
                await gate.wait()
                seen_late[n] = await observe(request)
            tasks.append(asyncio.create_task(audit()))
        if shared:
            return SHARED
        return acquire_response(200, None, Content(b"text/plain", f"answer {n}".encode()))

    async def main():
        app = make_app(interface, handler)
        answers = await asyncio.gather(*(serve_one(app, interface, n) for n in range(len(plans))))
        # More exchanges reuse whatever went back to the pools meanwhile.
        await asyncio.gather(*(serve_one(app, interface, n) for n in range(len(plans))))
        gate.set()
        await asyncio.gather(*tasks)
        return answers

    answers = asyncio.run(main())
    for n, (keep, shared, _) in enumerate(plans):
        assert answers[n] == ((404, b"shared miss") if shared else (200, f"answer {n}".encode()))
        if keep:
            assert seen_late[n] == expected(n)
    assert SHARED.status == 404 and SHARED.content.body == b"shared miss"
    for pool in (messages._TLS.requests, messages._TLS.responses):
        assert len({id(o) for o in pool}) == len(pool)  # nothing twice in a pool
    assert SHARED not in messages._TLS.responses


@interfaces
def test_objects_only_the_exchange_held_are_recycled(interface):
    refs = []

    async def handler(request):
        response = acquire_response(200, None, Content(b"text/plain", b"ok"))
        refs.extend([weakref.ref(request), weakref.ref(response)])
        return response

    asyncio.run(serve_one(make_app(interface, handler), interface, 1))
    request, response = (ref() for ref in refs)
    assert messages._TLS.requests[-1] is request and request.scope is None
    assert messages._TLS.responses[-1] is response and response.content is None


@pytest.mark.parametrize("kind", ["request", "response"])
def test_releasing_twice_pools_once(kind):
    acquire, release = {
        "request": (lambda: acquire_request("GET", b"/", b"", None, None), release_request),
        "response": (acquire_response, release_response),
    }[kind]
    pool = getattr(messages._TLS, kind + "s")
    del pool[:]
    obj = acquire()
    release(obj)
    release(obj)
    assert pool == [obj]
    first, second = acquire(), acquire()
    assert first is obj and second is not obj
    release(first)  # taken out of the pool: it may go back again
    assert pool == [obj]


# ---- streams whose client leaves ----------------------------------------------------


class Producer:
    """An endless streamed body that records how far it got and whether its
    `finally` ran; `wait` makes it wait long for each piece after the first."""

    def __init__(self, wait=False):
        self.wait = wait
        self.produced = 0
        self.closed = False

    async def pieces(self):
        try:
            while True:
                if self.wait and self.produced:
                    await asyncio.sleep(3600)
                self.produced += 1
                yield b"x" * 100
        finally:
            self.closed = True


@pytest.mark.parametrize("wait", [False, True], ids=["fast producer", "waiting producer"])
def test_asgi_stream_stops_when_the_client_leaves(wait, caplog):
    producer = Producer(wait)
    sent = []
    left = asyncio.Event()
    told = []

    async def receive():
        if not told:
            told.append("body")
            return {"type": "http.request", "body": b"", "more_body": False}
        await left.wait()
        told.append("disconnect")
        return {"type": "http.disconnect"}

    async def send(message):
        assert "disconnect" not in told, "sent after the server reported the client gone"
        sent.append(message)
        if len(sent) == 2:
            left.set()  # the client leaves after the first piece

    async def handler(request):
        return acquire_response(200, None, StreamedContent(b"application/octet-stream", producer.pieces))

    with caplog.at_level("DEBUG", logger="brindlewick.serve"):
        asyncio.run(asyncio.wait_for(asgi_app(handler)(asgi_scope(), receive, send), 10))
    assert producer.closed
    assert sent[-1].get("more_body") is True  # the body was never ended as if complete
    assert [r.levelname for r in caplog.records] == ["DEBUG"]


class LeavingProtocol(Protocol):
    """An RSGI protocol whose client leaves after `after` pieces: its
    transport then fails, and client_disconnect() resolves."""

    def __init__(self, after):
        super().__init__()
        self.after = after
        self.left = asyncio.Event()

    async def client_disconnect(self):
        await self.left.wait()

    async def response_stream(self, status, headers):
        protocol = self

        class Transport:
            async def send_bytes(self, data):
                if protocol.left.is_set():
                    raise ConnectionResetError("transport closed")
                protocol.chunks.append(bytes(data))
                if len(protocol.chunks) == protocol.after:
                    protocol.left.set()

        self.calls.append(("stream", status, list(headers), None))
        return Transport()


@pytest.mark.parametrize("wait", [False, True], ids=["fast producer", "waiting producer"])
def test_rsgi_stream_stops_when_the_client_leaves(wait, caplog):
    producer = Producer(wait)
    protocol = LeavingProtocol(after=1)

    async def handler(request):
        return acquire_response(200, None, StreamedContent(b"application/octet-stream", producer.pieces))

    with caplog.at_level("DEBUG", logger="brindlewick.serve"):
        asyncio.run(asyncio.wait_for(rsgi_app(handler).__rsgi__(Scope(), protocol), 10))
    assert producer.closed and protocol.chunks == [b"x" * 100]
    assert all(r.levelname == "DEBUG" for r in caplog.records)


def test_a_cancellation_from_outside_still_cancels_a_watched_stream():
    producer = Producer(wait=True)
    started = asyncio.Event()

    async def receive():
        await asyncio.sleep(3600)

    async def send(message):
        started.set()

    async def handler(request):
        return acquire_response(200, None, StreamedContent(b"a/b", producer.pieces))

    async def main():
        task = asyncio.ensure_future(asgi_app(handler)(asgi_scope(), receive, send))
        await started.wait()
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert producer.closed
