"""Python-visible surfaces driven with odd objects (run by atheris through
run_atheris.py, replayed by the test suite from fuzz/corpus/py_*/).

py_headers: header lists of arbitrary entries (tuples, tuple subclasses,
lists, iterables, junk) whose names, keys and statuses are user objects;
their lower(), __eq__, __iter__, __index__ and __bool__ may edit, clear,
replace or unset the list being walked.  Plain lists must agree with a
case-insensitive model; hostile ones may only end in a clear exception.

py_server: ASGI receive streams with messages of wrong types, RSGI scopes
and protocols with odd attributes, and responses with odd content, written
through the ASGI and RSGI writers.  Well-formed input must round-trip:
the body read equals the bodies sent, the ASGI writer's body messages and
the RSGI writer's body add up to the content, write_chunks output decodes
(chunked transfer coding) back to the pieces, and write_sse output parses
back (event-stream rules) to the event's fields.
"""

import asyncio
import json
import pickle

from brindlewick.contents import (
    ASGIContent,
    Content,
    ServerSentEvent,
    StreamedContent,
    TextServerSentEvent,
)
from brindlewick.messages import Message, Response
from brindlewick import exceptions, scribe

from fuzzinput import Input


class Boom(Exception):
    """Raised by hostile hooks on purpose."""


# Exceptions a hostile object may legitimately end an operation with.
# SystemError is never among them: it means a C API call returned an error
# without setting one, or was misused.
CLEAR = (RuntimeError, TypeError, ValueError, AttributeError, IndexError, KeyError, UnicodeError,
         OverflowError, LookupError, StopIteration, StopAsyncIteration, ConnectionError, Boom,
         exceptions.HTTPException, exceptions.MessageAborted, exceptions.InvalidArgument,
         exceptions.InvalidOperation)


def assert_clear(exc: BaseException) -> None:
    if isinstance(exc, SystemError) or not isinstance(exc, CLEAR):
        raise AssertionError(f"unclear failure: {type(exc).__name__}: {exc}") from exc


# ---- attacks -------------------------------------------------------------------

class Target:
    """What an attack acts on: the message and the list handed to it."""

    def __init__(self):
        self.message = None
        self.source = None


def _clear_view(t):
    if t.message is not None:
        t.message.headers.values.clear()


def _replace(t):
    if t.message is not None:
        t.message._headers = None
        t.message.__init__([(b"other", b"1")])


def _unset(t):
    if t.message is not None:
        t.message.__setstate__((None, None, None, None, None, None))


def _add(t):
    if t.message is not None:
        t.message.add_header(b"x", b"added")


def _remove(t):
    if t.message is not None:
        t.message.remove_header(b"x")


def _clear_source(t):
    if t.source is not None:
        t.source.clear()


def _grow_source(t):
    if t.source is not None and len(t.source) < 64:
        t.source.append((b"x", b"grown"))


def _raise(t):
    raise Boom("hook failed")


ATTACKS = [None, _clear_view, _replace, _unset, _add, _remove, _clear_source, _grow_source, _raise]


class Hook:
    def __init__(self, target, attack, times):
        self.target, self.attack, self.times = target, attack, times

    def __call__(self):
        if self.attack is not None and self.times > 0:
            self.times -= 1
            self.attack(self.target)


class LoweringName(str):
    def lower(self):
        self.hook()
        return str.lower(self)


class ComparingBytes(bytes):
    def __eq__(self, other):
        self.hook()
        return bytes.__eq__(self, other)

    __hash__ = bytes.__hash__


class NameWithComparingLower(str):
    def lower(self):
        lowered = ComparingBytes(str.lower(self).encode("latin-1", "replace"))
        lowered.hook = self.hook
        return lowered


class EqualityName(str):
    def __eq__(self, other):
        self.hook()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class IterablePair:
    def __init__(self, hook, name, value):
        self.hook, self.name, self.value = hook, name, value

    def __iter__(self):
        self.hook()
        return iter((self.name, self.value))


class HookedTuple(tuple):
    def __iter__(self):
        self.hook()
        return tuple.__iter__(self)

    def __getitem__(self, i):
        self.hook()
        return tuple.__getitem__(self, i)


class HookedIndex:
    def __init__(self, hook, value):
        self.hook, self.value = hook, value

    def __index__(self):
        self.hook()
        return self.value


class LowerKey:
    """A lookup key that is not bytes: its lower() is used."""

    def __init__(self, hook, result):
        self.hook, self.result = hook, result

    def lower(self):
        self.hook()
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


NAMES = [b"x", b"X", b"content-type", b"Content-Type", b"host", b"a" * 65, b"", b"\xff"]
JUNK = [None, 1, 2.5, "text", b"bytes", (b"x",), (b"x", b"1", b"2"), [b"x"], (None, b"v"), (1, 2), object()]


def _entry(inp, hook):
    kind = inp.int(11)
    name = inp.choice(NAMES)
    value = inp.bytes(12)
    if kind <= 2:
        return (name, value), True
    if kind == 3:
        e = HookedTuple((name, value))
        e.hook = hook
        return e, False
    if kind == 4:
        return [name, value], False
    if kind == 5:
        return IterablePair(hook, name, value), False
    if kind == 6:
        n = LoweringName(name.decode("latin-1"))
        n.hook = hook
        return (n, value), False
    if kind == 7:
        n = NameWithComparingLower(name.decode("latin-1"))
        n.hook = hook
        return (n, value), False
    if kind == 8:
        n = EqualityName(name.decode("latin-1"))
        n.hook = hook
        return (n, value), False
    if kind == 9:
        n = ComparingBytes(name)
        n.hook = hook
        return (n, value), False
    return inp.choice(JUNK), False


def _key(inp, hook):
    kind = inp.int(8)
    if kind <= 3:
        name = bytearray(inp.choice(NAMES))
        if inp.bool():
            name = name.swapcase()
        return bytes(name), True
    if kind == 4:
        return LowerKey(hook, inp.choice([b"x", b"host", "str", None, Boom("lower failed")])), False
    if kind == 5:
        k = ComparingBytes(inp.choice(NAMES))
        k.hook = hook
        return k, False
    return inp.choice([None, 1, "x", bytearray(b"x")]), False


def _lower(b):
    return bytes(c | 0x20 if 65 <= c <= 90 else c for c in b)


_TOKEN = frozenset(b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")


def _sendable(name, value) -> bool:
    """Whether the setters take the pair: a token name, a value without
    CR, LF or NUL (anything else is refused with ValueError, unchanged)."""
    if isinstance(name, str):
        name = name.encode("utf-8", "surrogatepass")
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogatepass")
    if not isinstance(name, bytes) or not isinstance(value, bytes):
        return True  # other types: not modelled
    return bool(name) and all(c in _TOKEN for c in name) and not any(c in b"\r\n\0" for c in value)


def py_headers(data: bytes) -> None:
    inp = Input(data)
    target = Target()
    hook = Hook(target, inp.choice(ATTACKS), 1 + inp.int(3))
    entries, plain = [], True
    for _ in range(inp.int(6)):
        e, ok = _entry(inp, hook)
        entries.append(e)
        plain = plain and ok
    source = list(entries)
    target.source = source
    which = inp.int(3)
    try:
        if which == 0:
            m = Message(source)
        elif which == 1:
            m = Response(HookedIndex(hook, 200 + inp.int(400)), source)
        else:
            m = Response(200, source, Content(b"text/plain", inp.bytes(8)))
    except Exception as exc:
        assert not plain or which == 1, exc
        assert_clear(exc)
        return
    target.message = m
    # The model is kept while nothing hostile can have edited the list (and
    # without content, whose type also answers for content-type).
    model = [(n, v) for n, v in entries] if plain and hook.attack is None and which != 2 else None
    for _ in range(12):
        if inp.done:
            break
        op = inp.int(10)
        key, plain_key = _key(inp, hook)
        checked = model is not None and plain_key
        if not checked and op in (3, 4, 5):
            model = None
        want = [v for n, v in model if _lower(n) == _lower(key)] if checked else None
        try:
            if op == 0:
                got = m.get_headers(key)
                if checked:
                    assert got == want, (key, model, got)
            elif op == 1:
                got = m.get_first_header(key)
                if checked:
                    assert got == (want[0] if want else None)
            elif op == 2:
                got = m.has_header(key)
                if checked:
                    assert got is bool(want)
            elif op == 3:
                m.remove_header(key)
                if checked:
                    model = [(n, v) for n, v in model if _lower(n) != _lower(key)]
            elif op in (4, 5):
                value = inp.bytes(8)
                if not _sendable(key, value):
                    try:
                        (m.add_header if op == 4 else m.set_header)(key, value)
                    except ValueError:
                        continue  # refused, and nothing changed
                    raise AssertionError(f"a forged header was taken: {key!r}: {value!r}")
                if op == 4:
                    m.add_header(key, value)
                    if checked:
                        model.append((key, value))
                else:
                    m.set_header(key, value)
                    if checked:
                        model = [(n, v) for n, v in model if _lower(n) != _lower(key)] + [(key, value)]
            elif op == 6:
                m.get_single_header(key)
            elif op == 7:
                m.content_type()
                m.declares_json()
                m.charset
            elif op == 8:
                pickle.loads(pickle.dumps(m))
            else:
                if isinstance(m, Response):
                    sent = []

                    async def send(message):
                        sent.append(message)

                    asyncio.run(scribe.send_asgi_response(m, send))
        except AssertionError:
            raise
        except Exception as exc:
            if checked and op not in (6, 8, 9):
                raise AssertionError(f"plain headers failed: {exc!r}") from exc
            assert_clear(exc)
            model = None  # the list may be half edited
    # Whatever happened, the message still answers.
    try:
        m.get_headers(b"x")
        m.has_header(b"host")
    except Exception as exc:
        assert_clear(exc)


# ---- server surfaces -----------------------------------------------------------------

def parse_chunked(data: bytes) -> bytes:
    """Decodes the chunked transfer coding strictly; AssertionError when the
    framing is wrong or does not end with the last chunk."""
    body, pos = b"", 0
    while True:
        line_end = data.index(b"\r\n", pos)
        size = int(data[pos:line_end], 16)
        pos = line_end + 2
        if size == 0:
            assert data[pos:] == b"\r\n", "data after the last chunk"
            return body
        assert size > 0
        body += data[pos:pos + size]
        assert data[pos + size:pos + size + 2] == b"\r\n", "chunk not closed by CRLF"
        pos += size + 2


def parse_sse(data: bytes):
    """One event of a text/event-stream, by the reader's rules: lines end at
    CRLF, LF or CR; ':' starts a comment; "field: value" with one space
    dropped.  Returns the fields in order, comments as field ''."""
    assert data.endswith(b"\n\n") or data == b"\n", data
    text = data.decode("utf-8")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    fields = []
    for line in lines[:-2] if data != b"\n" else []:
        if line.startswith(":"):
            fields.append(("", line[2:] if line.startswith(": ") else line[1:]))
            continue
        name, _, value = line.partition(":")
        fields.append((name, value[1:] if value.startswith(" ") else value))
    return fields


def _one_line(text):
    return text.replace("\r", "").replace("\n", "")


def _comment_lines(text):
    return text.replace("\r\n", "\n").replace("\r", "\n").split("\n")


ODD_TEXT = ["", "plain", "caf\u00e9", "a\nb", "a\r\nb", "a\rb", "\r", "\n\n", "\u2603", "x" * 300, "\x00", "e: f"]


def _sse(inp):
    text_event = inp.bool()
    data = inp.choice([None, "", "hi", "a\nb\rc\r\nd", "\u00e9", 0, 1, [1, "x"], {"k": "v\n"}, True]) if not text_event \
        else inp.choice([None, "", "hi", "a\nb\rc\r\nd", "\u00e9\u20ac", "line\n"])
    kwargs = {}
    if inp.bool():
        kwargs["event"] = inp.choice(ODD_TEXT)
    if inp.bool():
        kwargs["id"] = inp.choice(ODD_TEXT)
    if inp.bool():
        kwargs["comment"] = inp.choice(ODD_TEXT)
    if inp.bool():
        kwargs["retry"] = inp.choice([-1, 0, 5, 2**31 - 1])
    kind = TextServerSentEvent if text_event else ServerSentEvent
    if "\x00" in (kwargs.get("id") or ""):
        # Readers ignore an id with NUL: the event refuses it.
        try:
            kind(data, **kwargs)
        except ValueError:
            return
        raise AssertionError("an id with NUL was accepted")
    event = kind(data, **kwargs)
    out = scribe.write_sse(event)
    fields = parse_sse(out)
    expected = []
    if kwargs.get("id"):
        expected.append(("id", _one_line(kwargs["id"])))
    if kwargs.get("comment"):
        expected.extend(("", line) for line in _comment_lines(kwargs["comment"]))
    if kwargs.get("event"):
        expected.append(("event", _one_line(kwargs["event"])))
    if data:
        if text_event:
            # One data line per line of the text; a reader joins them with LF.
            expected.extend(("data", line) for line in _comment_lines(data))
        else:
            expected.append(("data", json.dumps(data, separators=(",", ":"), ensure_ascii=False)))
            (name, value), = [f for f in fields if f[0] == "data"]
            assert json.loads(value) == data
    if kwargs.get("retry", -1) >= 0:
        expected.append(("retry", str(kwargs["retry"])))
    assert fields == expected, (kwargs, data, out, fields, expected)


def _pieces(inp):
    return [inp.bytes(inp.choice([0, 3, 40, 300])) for _ in range(inp.int(6))]


async def _provider_of(pieces, odd):
    for p in pieces:
        yield p
    if odd is not None:
        yield odd


def _write_chunks(inp):
    pieces = _pieces(inp)
    odd = inp.choice([None, None, None, "str", 1, bytearray(b"ba"), memoryview(b"mv")])
    content = StreamedContent(b"application/octet-stream", lambda: _provider_of(pieces, odd))

    async def collect():
        return [c async for c in scribe.write_chunks(content)]

    try:
        chunks = asyncio.run(collect())
    except TypeError as exc:
        assert odd is not None, exc
        return
    assert odd is None or isinstance(odd, (bytearray, memoryview)), odd
    body = b"".join(pieces) + (bytes(odd) if odd is not None else b"")
    assert parse_chunked(b"".join(chunks)) == body, (pieces, chunks)


class Receive:
    """An ASGI receive callable playing a scripted stream of messages."""

    def __init__(self, messages):
        self.messages = list(messages)

    async def __call__(self):
        if not self.messages:
            return {"type": "http.disconnect"}
        m = self.messages.pop(0)
        if isinstance(m, Exception):
            raise m
        return m


def _asgi_message(inp):
    kind = inp.int(12)
    body = inp.bytes(20)
    if kind <= 5:
        return {"type": "http.request", "body": body, "more_body": True}, True
    odd = [
        {"type": "http.request", "body": body.decode("latin-1"), "more_body": True},
        {"type": "http.request", "body": None, "more_body": True},
        {"type": "http.request", "more_body": True},
        {"type": "http.request", "body": body, "more_body": "yes"},
        {"type": "http.disconnect"},
        {"type": 5, "body": body},
        None,
        [("type", "http.request")],
        Boom("receive failed"),
        {"type": "http.request", "body": bytearray(body), "more_body": True},
        {"type": "http.request", "body": memoryview(body), "more_body": 0},
    ]
    return inp.choice(odd), False


def _asgi_stream(inp):
    messages, plain = [], True
    for _ in range(inp.int(6)):
        m, ok = _asgi_message(inp)
        messages.append(m)
        plain = plain and ok
    messages.append({"type": "http.request", "body": inp.bytes(10), "more_body": False})
    request_body = b"".join(m["body"] for m in messages) if plain else None
    mode = inp.int(3)
    content = ASGIContent(Receive(messages))
    m = Message([(b"content-type", b"application/octet-stream")])
    m.content = content

    async def read():
        if mode == 0:
            return await m.read()
        if mode == 1:
            return b"".join([c async for c in m.stream()])
        return bytes(await m.read_buffer())

    try:
        got = asyncio.run(read())
    except Exception as exc:
        if plain:
            raise AssertionError(f"a well-formed stream failed: {exc!r}") from exc
        assert_clear(exc)
        return
    if plain:
        assert got == request_body, (messages, got)


class OddScope:
    pass


class Transport:
    def __init__(self, log, fail):
        self.log, self.fail = log, fail

    async def send_bytes(self, chunk):
        if self.fail:
            raise ConnectionResetError("gone")
        self.log.append(bytes(chunk))

    async def send_str(self, chunk):
        self.log.append(chunk.encode())


class Protocol:
    """A recording RSGI protocol; `odd` changes what its methods do."""

    def __init__(self, odd, body_chunks):
        self.calls, self.odd, self.body_chunks = [], odd, list(body_chunks)

    def __call__(self):
        if self.odd == "call_raises":
            raise Boom("protocol call failed")
        if self.odd == "call_returns_str":
            return "not awaitable"

        async def whole():
            return b"".join(self.body_chunks)

        return whole()

    def __aiter__(self):
        if self.odd == "aiter_none":
            return None
        return _provider_of(self.body_chunks, "odd" if self.odd == "aiter_str" else None)

    def response_empty(self, status, headers):
        self.calls.append(("empty", status, headers, b""))

    def response_bytes(self, status, headers, body):
        if self.odd == "bytes_raises":
            raise Boom("response_bytes failed")
        self.calls.append(("bytes", status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append(("str", status, headers, body.encode()))

    def response_stream(self, status, headers):
        log = []
        self.calls.append(("stream", status, headers, log))
        transport = Transport(log, self.odd == "stream_fails")
        if self.odd == "stream_returns_none":
            return None
        return transport


RSGI_ODD = [None, None, None, "call_raises", "call_returns_str", "aiter_none", "aiter_str", "bytes_raises",
            "stream_fails", "stream_returns_none"]


def _rsgi(inp):
    scope = OddScope()
    plain = True
    method = inp.choice(["GET", "POST", "PUT", None, 5, b"GET", "HEAD"])
    scope.method = method
    plain = plain and isinstance(method, str)
    path = inp.choice(["/a", "", "/caf\u00e9", "/\ud800", 1, None, b"/b"])
    scope.path = path
    plain = plain and isinstance(path, str) and "\ud800" not in path
    query = inp.choice(["", "a=1", "x=\u00e9", "\u20ac", None, b"q"])
    scope.query_string = query
    plain = plain and (query is None or isinstance(query, str) and "\u20ac" not in query)
    if inp.bool():
        scope.headers = inp.choice([[("content-type", "text/plain")], None, [("x", 1)], 5, [("\u20ac", "v")],
                                    {"host": "h"}, iter([("a", "b")])])
        plain = plain and isinstance(scope.headers, (list, dict, type(None), type(iter([])))) \
            and scope.headers != [("\u20ac", "v")]
    else:
        scope.headers = []
    odd = inp.choice(RSGI_ODD)
    chunks = _pieces(inp)
    protocol = Protocol(odd, chunks)
    try:
        request = scribe.instantiate_rsgi_request(scope, protocol)
    except Exception as exc:
        assert not plain, exc
        assert_clear(exc)
        return

    async def read():
        return await request.read()

    try:
        body = asyncio.run(read())
        if odd is None and method not in ("GET", "HEAD", "OPTIONS"):
            assert bytes(body or b"") == b"".join(chunks), (body, chunks)
    except AssertionError:
        raise
    except Exception as exc:
        assert_clear(exc)

    # The response side, through the same protocol.
    response = _response(inp)
    if response is None:
        return
    resp, expected_body = response
    calls_before = len(protocol.calls)
    try:
        result = scribe.send_rsgi_response(resp, protocol)
        if result is not None:
            asyncio.run(result)
    except Exception as exc:
        if expected_body is REFUSED:
            assert isinstance(exc, ValueError) and len(protocol.calls) == calls_before, (exc, protocol.calls)
        elif odd is None and expected_body is not None:
            raise AssertionError(f"a plain response failed: {exc!r}") from exc
        assert_clear(exc)
        return
    assert expected_body is not REFUSED, ("a status the wire cannot carry was sent", protocol.calls)
    if odd is None and expected_body is not None and protocol.calls:
        kind, status, headers, body = protocol.calls[-1]
        got = b"".join(body) if isinstance(body, list) else body
        assert got == expected_body, (kind, got, expected_body)


REFUSED = object()  # expected outcome: ValueError before anything is sent


def _response(inp):
    """(response, expected): the body the client must get (204 and 304
    carry none), None when it is not modelled, or REFUSED for a status the
    wire cannot carry."""
    kind = inp.int(6)
    status = inp.choice([200, 204, 304, 404, 500, 599, 100, 0, 1000])
    headers = inp.choice([[], [(b"x", b"1")], [(b"content-type", b"text/plain")], [(b"content-length", b"5")]])

    def expect(body):
        if not 200 <= status <= 599:
            return REFUSED
        return b"" if status in (204, 304) else body

    if kind == 0:
        return Response(status, list(headers)), expect(b"")
    if kind == 1:
        data = inp.bytes(100)
        return Response(status, list(headers), Content(inp.choice([b"text/plain", None, b""]), data)), expect(data)
    if kind == 2:
        pieces = _pieces(inp)
        content = StreamedContent(b"text/plain", lambda: _provider_of(pieces, None))
        return Response(status, list(headers), content), expect(b"".join(pieces))
    if kind == 3:
        odd = inp.choice(["str", 1, None])
        content = StreamedContent(b"text/plain", lambda: _provider_of([b"a"], odd))
        return Response(status, list(headers), content), expect(None)
    if kind == 4:
        def broken():
            raise Boom("provider failed")
        return Response(status, list(headers), StreamedContent(b"text/plain", broken)), expect(None)
    return None


def _asgi_response(inp):
    response = _response(inp)
    if response is None:
        return
    resp, expected_body = response
    sent = []
    fail_at = inp.choice([None, None, 0, 1, 2])

    async def send(message):
        if fail_at is not None and len(sent) == fail_at:
            raise ConnectionResetError("send failed")
        sent.append(message)

    try:
        asyncio.run(scribe.send_asgi_response(resp, send))
    except Exception as exc:
        if expected_body is REFUSED:
            assert isinstance(exc, ValueError) and not sent, (exc, sent)
        elif fail_at is None and expected_body is not None:
            raise AssertionError(f"a plain response failed: {exc!r}") from exc
        assert_clear(exc)
        return
    assert expected_body is not REFUSED, ("a status the wire cannot carry was sent", sent)
    assert sent and sent[0]["type"] == "http.response.start"
    bodies = [m for m in sent[1:]]
    assert all(m["type"] == "http.response.body" for m in bodies), sent
    if bodies:
        assert not bodies[-1].get("more_body", False), "the last body message asks for more"
        assert all(m.get("more_body", False) for m in bodies[:-1])
    if expected_body is not None:
        assert b"".join(bytes(m.get("body", b"")) for m in bodies) == expected_body, (sent, expected_body)


def py_server(data: bytes) -> None:
    inp = Input(data)
    [_sse, _write_chunks, _asgi_stream, _rsgi, _asgi_response][inp.int(5)](inp)


TARGETS = {"py_headers": py_headers, "py_server": py_server}
