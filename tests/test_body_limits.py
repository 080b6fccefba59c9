"""Body size limits and bodies cut short: what every reader does with a
body past its limit (PayloadTooLarge, 413) and with fewer bytes than the
content-length declared (MessageAborted), on ASGI and RSGI bodies; where the
limits come from (settings, application, request)."""

import asyncio
import json
import logging

import pytest
from conftest import ScriptedProtocol, ScriptedReceive
from test_serve import Protocol, Scope

from brindlewick import messages
from brindlewick.contents import ASGIContent, Content, RSGIContent
from brindlewick.exceptions import BadRequest, MessageAborted, PayloadTooLarge
from brindlewick.messages import Message, Request, Response
from brindlewick.serve import asgi_app, rsgi_app
from brindlewick.settings.body import DEFAULT_MAX_BODY_SIZE, body_settings

pytestmark = pytest.mark.timeout(30)

BOUNDARY = b"limitboundary"


def multipart(*parts):
    out = b""
    for name, data, filename in parts:
        disposition = b'form-data; name="' + name + b'"' + (b'; filename="' + filename + b'"' if filename else b"")
        out += b"--" + BOUNDARY + b"\r\nContent-Disposition: " + disposition + b"\r\n\r\n" + data + b"\r\n"
    return out + b"--" + BOUNDARY + b"--\r\n"


def message(kind, chunks, content_type=b"application/json", length=None):
    headers = [(b"content-type", content_type)]
    if length is not None:
        headers.append((b"content-length", str(length).encode()))
    m = Message(headers)
    m.content = ASGIContent(ScriptedReceive(chunks)) if kind == "asgi" else RSGIContent(ScriptedProtocol(chunks))
    return m


async def drain(agen):
    return [x async for x in agen]


READERS = {
    "read": lambda m: m.read(),
    "read_raw": lambda m: m.read_raw(),
    "read_buffer": lambda m: m.read_buffer(),
    "read_detached": lambda m: m.read_detached(),
    "text": lambda m: m.text(),
    "json": lambda m: m.json(),
    "form": lambda m: m.form(),
}

kinds = pytest.mark.parametrize("kind", ["asgi", "rsgi"])


def test_defaults():
    assert DEFAULT_MAX_BODY_SIZE == 16 * 1024 * 1024
    for m in (Message([]), Request("POST", b"/", []), Response(200)):
        assert (m.max_body_size, m.max_stream_size) == (DEFAULT_MAX_BODY_SIZE, None)


@kinds
@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("declared", [True, False])
def test_whole_body_readers_refuse_a_body_past_the_limit(kind, reader, declared, run):
    chunks = [b"1" * 6, b"2" * 6]
    ct = b"application/x-www-form-urlencoded" if reader == "form" else b"application/json"
    m = message(kind, chunks, ct, length=12 if declared else None)
    m.max_body_size = 10
    with pytest.raises(PayloadTooLarge, match="larger than the limit of 10 bytes") as caught:
        run(READERS[reader](m))
    assert caught.value.status == 413 and isinstance(caught.value, BadRequest)
    if declared:  # refused on its content-length: nothing was read
        source = m.content.receive if kind == "asgi" else m.content.protocol
        assert getattr(source, "calls", 0) == 0 and getattr(source, "whole_reads", 0) == 0
    with pytest.raises(PayloadTooLarge):  # later reads say the same
        run(m.read())


@kinds
def test_a_body_at_the_limit_is_read(kind, run):
    m = message(kind, [b"[1,", b"2]"], length=5)
    m.max_body_size = 5
    assert run(m.json()) == [1, 2]


@kinds
def test_streams_are_not_limited_unless_asked(kind, run):
    m = message(kind, [b"x" * 8] * 4, length=32)
    m.max_body_size = 4
    assert b"".join(run(drain(m.stream()))) == b"x" * 32
    m = message(kind, [b"x" * 8] * 4)
    m.max_stream_size = 20
    with pytest.raises(PayloadTooLarge, match="limit of 20 bytes"):
        run(drain(m.stream()))
    m = message(kind, [b"x"], length=21)
    m.max_stream_size = 20
    with pytest.raises(PayloadTooLarge):
        run(drain(m.stream()))


def test_limits_are_set_per_request_and_reset_with_it():
    r = messages.acquire_request("POST", b"/", b"", [], None)
    r.max_body_size, r.max_stream_size = 1, None
    assert (r.max_body_size, r.max_stream_size) == (1, None)
    r.max_body_size = None
    assert r.max_body_size is None
    del r.max_body_size
    assert r.max_body_size == DEFAULT_MAX_BODY_SIZE
    r.max_body_size, r.max_stream_size = 1, 2
    messages.release_request(r)
    assert (r.max_body_size, r.max_stream_size) == (DEFAULT_MAX_BODY_SIZE, None)


@pytest.mark.parametrize("value, error", [(-1, ValueError), ("1", TypeError), (True, TypeError), (1.0, TypeError)])
def test_bad_limits_are_refused(value, error):
    with pytest.raises(error):
        Message([]).max_body_size = value
    with pytest.raises(error):
        body_settings.use(max_stream_size=value)
    with pytest.raises(error):
        rsgi_app(lambda r: None, max_body_size=value)


def test_settings_change_the_defaults():
    pooled = messages.acquire_request("POST", b"/", b"", [], None)
    messages.release_request(pooled)
    try:
        body_settings.use(max_body_size=100, max_stream_size=200)
        assert (Message([]).max_body_size, Request("GET", b"/", []).max_stream_size) == (100, 200)
        # a request recycled before the change follows it too
        assert messages.acquire_request("POST", b"/", b"", [], None).max_body_size == 100
        body_settings.use(max_body_size=None)
        assert (Message([]).max_body_size, Message([]).max_stream_size) == (None, 200)
    finally:
        body_settings.reset()
    assert (Message([]).max_body_size, Message([]).max_stream_size) == (DEFAULT_MAX_BODY_SIZE, None)


def test_in_memory_contents_are_not_limited(run):
    # Only bodies read from the server are client input.
    m = Message([(b"content-type", b"application/json"), (b"content-length", b"999")])
    m.content = Content(b"application/json", b"[" + b"1," * 50 + b"1]")
    m.max_body_size = 10
    assert len(run(m.json())) == 51


@kinds
def test_multipart_fields_are_limited_files_are_not(kind, run):
    body = multipart((b"a", b"x" * 6, None), (b"f", b"y" * 5000, b"f.bin"), (b"b", b"z" * 5, None))
    chunks = [body[i:i + 64] for i in range(0, len(body), 64)]
    ct = b"multipart/form-data; boundary=" + BOUNDARY
    m = message(kind, chunks, ct, length=len(body))
    m.max_body_size = 11
    data = run(m.form())
    assert data["a"] == "x" * 6 and data["f"].size == 5000 and data["b"] == "z" * 5
    m = message(kind, chunks, ct, length=len(body))
    m.max_body_size = 10
    with pytest.raises(PayloadTooLarge, match="form fields of the request body are larger than the limit of 10"):
        run(m.form())
    assert m._form_data is None


# ---- bodies cut short ----------------------------------------------------------------------


class ShortProtocol(ScriptedProtocol):
    """granian's RSGI protocol when the client goes away mid-body: the whole
    read raises, the iterator ends without a word."""

    async def __call__(self):
        raise RuntimeError("RSGI transport is closed")


ALL_READERS = {**READERS, "stream": lambda m: drain(m.stream())}


@pytest.mark.parametrize("reader", sorted(ALL_READERS))
@pytest.mark.parametrize("kind", ["asgi", "asgi-disconnect", "rsgi"])
def test_every_reader_sees_a_body_cut_short(kind, reader, run):
    ct = b"application/x-www-form-urlencoded" if reader == "form" else b"application/json"
    m = Message([(b"content-type", ct), (b"content-length", b"100")])
    if kind == "rsgi":
        m.content = RSGIContent(ShortProtocol([b"a=1", b"&b=2"]))
    else:  # a server that ends the body early, or one that says the client left
        m.content = ASGIContent(ScriptedReceive([b"a=1", b"&b=2"], disconnect_after=2 if kind != "asgi" else None))
    with pytest.raises(MessageAborted):
        run(ALL_READERS[reader](m))
    with pytest.raises(MessageAborted):
        run(m.read())


def test_a_complete_body_reads_whole_whatever_the_interface(run):
    for content in (RSGIContent(ScriptedProtocol([b"ab", b"cd"])), ASGIContent(ScriptedReceive([b"ab", b"cd"]))):
        m = Message([(b"content-length", b"4")])
        m.content = content
        assert b"".join(run(drain(m.stream()))) == b"abcd"


def test_without_a_declared_length_or_a_limit_protocol_errors_propagate(run):
    m = Message([])
    m.max_body_size = None  # (with a limit, a body of no declared length is read through the iterator)
    m.content = RSGIContent(ShortProtocol([b"x"]))
    with pytest.raises(RuntimeError, match="transport is closed"):
        run(m.read())


# ---- the application's limit through the exchanges ------------------------------------------


def run_rsgi(app, body, headers):
    protocol = Protocol(body)
    asyncio.run(app.__rsgi__(Scope("POST", "/p", "", headers), protocol))
    return protocol.calls[0]


async def echo(request):
    data = await request.read()
    return Response(200, None, Content(b"text/plain", str(len(data)).encode()))


def served(interface, body, **limit):
    app = (rsgi_app if interface == "rsgi" else asgi_app)(echo, **limit)
    headers = [("content-type", "text/plain"), ("content-length", str(len(body)))]
    if interface == "rsgi":
        _, status, _, data = run_rsgi(app, body, headers)
        return status, data
    sent = []

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": "POST", "path": "/p", "raw_path": b"/p", "query_string": b"",
             "headers": [(k.encode(), v.encode()) for k, v in headers]}
    asyncio.run(app(scope, receive, send))
    return sent[0]["status"], b"".join(m.get("body", b"") for m in sent[1:])


@pytest.mark.parametrize("interface", ["rsgi", "asgi"])
def test_the_application_limit_is_each_requests(interface, caplog):
    with caplog.at_level(logging.DEBUG, logger="brindlewick.serve"):
        status, data = served(interface, b"x" * 11, max_body_size=10)
    assert status == 413
    assert json.loads(data) == {"error": "The request body is larger than the limit of 10 bytes."}
    [record] = [r for r in caplog.records if r.name == "brindlewick.serve"]
    assert record.levelno == logging.INFO and record.exc_info is None
    assert served(interface, b"x" * 10, max_body_size=10) == (200, b"10")
    # the default, and no limit at all
    assert served(interface, b"x" * 11) == (200, b"11")
    try:
        body_settings.use(max_body_size=5)
        assert served(interface, b"x" * 6)[0] == 413
        assert served(interface, b"x" * 6, max_body_size=None) == (200, b"6")
        assert served(interface, b"x" * 6, max_body_size=6) == (200, b"6")
    finally:
        body_settings.reset()
