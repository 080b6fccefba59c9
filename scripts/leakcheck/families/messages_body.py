"""Message body reads from the three kinds of source, text, JSON, failing
sources, and the module coroutines _read_stream and _call_soon.

Driven without an event loop (the sources suspend with bare yields), except
_call_soon, which needs tasks and runs on the run's one loop."""

import asyncio
import json as stdjson

import msgspec

from brindlewick.contents import ASGIContent, Content
from brindlewick.exceptions import BadRequest, BadRequestFormat, MessageAborted, PayloadTooLarge
from brindlewick.messages import Message, _call_soon, _read_stream
from brindlewick.settings.encodings import encodings_settings
from brindlewick.settings.json import json_settings

from leakcheck.support import Protocol, Receive, chunked, collect, drive, drive_raises, raises, run, run_raises

ITERATIONS = 2_500

BODY = b'{"a": [1, 2, 3], "text": "caf\xc3\xa9"}'
CHUNKS = chunked(BODY, 7)
JSON_CT = (b"content-type", b"application/json; charset=utf-8")


def message(content=None, headers=(JSON_CT,), protocol=None):
    m = Message(list(headers))
    m.content = content
    m.scope_protocol = protocol
    return m


SOURCES = {
    "content": lambda: message(Content(b"application/json", BODY)),
    "asgi": lambda: message(ASGIContent(Receive(CHUNKS))),
    "rsgi": lambda: message(None, protocol=Protocol(CHUNKS)),
}


def reader(kind, name):
    make = SOURCES[kind]
    if name == "stream":
        return lambda: drive(collect(make().stream()))
    if name == "detach_raw":

        def op():
            m = make()
            drive(m.read())
            return m.detach_raw()

        return op
    return lambda: drive(getattr(make(), name)())


class FalseContent(Content):
    def __bool__(self):
        return False


class ArrayContent(Content):
    async def read(self):
        return bytearray(b"abc")


class Odd:
    def __bytes__(self):
        return b"odd"


class OddContent(Content):
    async def read(self):
        return Odd()


class Overrides(Message):
    async def read(self):
        return b'{"over": true}'

    async def read_raw(self):
        return b'{"raw": true}'


class DeclaresJson(Message):
    def declares_json(self):
        return True


def false_content():
    m = message(FalseContent(b"text/plain", b"ignored"), (), Protocol([b"xy"]))
    drive(collect(m.stream()))
    return drive(m.read())


def fallback_text():
    encodings_settings.use(lambda body, error: "fallback")
    try:
        return drive(message(Content(b"text/plain; charset=utf-8", b"\xff\xfe"), ()).text())
    finally:
        encodings_settings.reset()


def settings_loads():
    json_settings.use(loads=lambda text: ("custom", text))
    try:
        return drive(message(Content(b"", b"[1]")).json())
    finally:
        json_settings.reset()


def limited(content, declared=False, stream=False, protocol=None):
    """A message whose limit its body passes (by its content-length, or while it arrives)."""
    headers = [JSON_CT] + ([(b"content-length", str(len(BODY)).encode())] if declared else [])
    m = message(content, headers, protocol)
    if stream:
        m.max_stream_size = 10
    else:
        m.max_body_size = 10
    return m


def short(content, protocol=None):
    """A message whose body ends before its content-length."""
    return message(content, [JSON_CT, (b"content-length", str(len(BODY) + 5).encode())], protocol)


def failing_loads(error):
    def loads(text):
        raise error

    return loads


async def immediate():
    return 42


async def slow():
    await asyncio.sleep(10)


async def failing():
    raise KeyError("boom")


def msgspec_alone():
    return msgspec.json.decode(BODY)


def operations():
    ops = []
    for kind in SOURCES:
        for name in ("read", "read_raw", "read_buffer", "read_detached", "detach_raw", "text", "json", "stream"):
            baseline = msgspec_alone if name == "json" else None
            ops.append((f"{kind}: {name}()", reader(kind, name), baseline))
    ops += [
        ("msgspec.json.decode alone", msgspec_alone),
        ("no body: read()", lambda: drive(message().read())),
        ("no body: read_buffer()", lambda: drive(message().read_buffer())),
        ("no body: text()", lambda: drive(message().text())),
        ("no body: stream()", lambda: drive(collect(message().stream()))),
        ("false content replaced", false_content),
        ("read_buffer shares a bytearray", lambda: drive(message(ArrayContent(b"", b"")).read_buffer())),
        ("read_buffer copies __bytes__", lambda: drive(message(OddContent(b"", b"")).read_buffer())),
        ("text() reaches read override", lambda: drive(Overrides([JSON_CT]).text())),
        ("json() reaches read_raw override", lambda: drive(Overrides([JSON_CT]).json())),
        ("read_detached() reaches read_raw override", lambda: drive(Overrides([JSON_CT]).read_detached())),
        ("text() iso-8859-1", lambda: drive(message(Content(b"text/plain; charset=iso-8859-1", b"caf\xe9"), ()).text())),
        ("text() fallback decoder", fallback_text),
        ("text() unknown charset", drive_raises(BadRequest, lambda: message(Content(b"text/plain; charset=no-such", b"a"), ()).text())),
        ("text() utf-7 refused", drive_raises(BadRequest, lambda: message(Content(b"text/plain; charset=UTF-7", b"a"), ()).text())),
        ("json() custom loads", lambda: drive(message(Content(b"", BODY)).json(stdjson.loads))),
        ("json(loads=) custom loads", lambda: drive(message(Content(b"", BODY)).json(loads=stdjson.loads))),
        ("json() json_settings loads", settings_loads),
        ("json() not declared", lambda: drive(message(Content(b"", BODY), [(b"content-type", b"text/plain")]).json())),
        ("json() empty body", lambda: drive(message(Content(b"", b"")).json())),
        ("json() malformed", drive_raises(BadRequestFormat, lambda: message(Content(b"", b"{not json")).json()), msgspec_alone),
        ("json() malformed, custom loads", drive_raises(BadRequestFormat, lambda: message(Content(b"", b"{x")).json(stdjson.loads))),
        ("json() loads raises ValueError", drive_raises(BadRequestFormat, lambda: message(Content(b"", b"[1]")).json(failing_loads(ValueError("bad"))))),
        ("json() loads raises KeyError", drive_raises(KeyError, lambda: message(Content(b"", b"[1]")).json(failing_loads(KeyError("x"))))),
        ("json() declares_json override, malformed", drive_raises(BadRequestFormat, lambda: DeclaresJson([]).with_content(Content(b"", b"{oops")).json())),
        ("asgi disconnect mid-body: read()", drive_raises(MessageAborted, lambda: message(ASGIContent(Receive(CHUNKS, disconnect_after=1))).read())),
        ("asgi disconnect mid-body: stream()", drive_raises(MessageAborted, lambda: collect(message(ASGIContent(Receive(CHUNKS, disconnect_after=2))).stream()))),
        ("asgi disconnect mid-body: json()", drive_raises(MessageAborted, lambda: message(ASGIContent(Receive(CHUNKS, disconnect_after=1))).json())),
        ("rsgi failure: read()", drive_raises(ConnectionResetError, lambda: message(None, (), Protocol(CHUNKS, ConnectionResetError("x"))).read())),
        ("rsgi failure: stream()", drive_raises(ConnectionResetError, lambda: collect(message(None, (), Protocol(CHUNKS, ConnectionResetError("x"))).stream()))),
        ("json() nested too deep", drive_raises(BadRequestFormat, lambda: message(Content(b"", b"[" * 100_000)).json())),
        ("json() of text/plain; charset=json", lambda: drive(message(Content(b"", BODY), [(b"content-type", b"text/plain; charset=json")]).json())),
        ("asgi: declared length past the limit", drive_raises(PayloadTooLarge, lambda: limited(ASGIContent(Receive(CHUNKS)), declared=True).read())),
        ("asgi: body past the limit", drive_raises(PayloadTooLarge, lambda: limited(ASGIContent(Receive(CHUNKS))).read())),
        ("asgi: stream past its limit", drive_raises(PayloadTooLarge, lambda: collect(limited(ASGIContent(Receive(CHUNKS)), stream=True).stream()))),
        ("rsgi: body past the limit", drive_raises(PayloadTooLarge, lambda: limited(None, protocol=Protocol(CHUNKS)).read())),
        ("rsgi: declared length past the limit", drive_raises(PayloadTooLarge, lambda: limited(None, declared=True, protocol=Protocol(CHUNKS)).text())),
        ("asgi: body cut short", drive_raises(MessageAborted, lambda: short(ASGIContent(Receive(CHUNKS))).read())),
        ("rsgi: stream cut short", drive_raises(MessageAborted, lambda: collect(short(None, Protocol(CHUNKS)).stream()))),
        ("rsgi: failed read of a declared body", drive_raises(MessageAborted, lambda: short(None, Protocol(CHUNKS, ConnectionResetError("x"))).read())),
        ("_read_stream drains", lambda: drive(_read_stream(message(ASGIContent(Receive(CHUNKS)))))),
        ("_call_soon immediate", lambda: run(_call_soon(immediate()))),
        ("_call_soon slow (cancelled)", lambda: run(_call_soon(slow()))),
        ("_call_soon failing", run_raises(KeyError, lambda: _call_soon(failing()))),
        ("_call_soon disconnection", run_raises(MessageAborted, lambda: _call_soon(_read_stream(message(ASGIContent(Receive([b"a"], disconnect_after=0))))))),
    ]
    for name in ("read", "read_raw", "read_buffer", "read_detached", "text", "stream"):
        ops.append((f"{name}(1)", raises(TypeError, lambda n=name: getattr(message(), n)(1))))
    return ops
