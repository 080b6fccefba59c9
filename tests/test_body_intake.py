"""Reading message bodies: whole, as views and copies, streamed, as text and JSON."""

import asyncio
import json as stdjson

import pytest
from conftest import ScriptedProtocol, ScriptedReceive

from brindlewick.contents import ASGIContent, Content, RSGIContent
from brindlewick.exceptions import BadRequest, BadRequestFormat, MessageAborted
from brindlewick.messages import Message, _call_soon, _read_stream
from brindlewick.settings.encodings import encodings_settings
from brindlewick.settings.json import json_settings

JSON_CT = (b"content-type", b"application/json")


def message(content=None, headers=(), protocol=None):
    m = Message(list(headers))
    m.content = content
    m.scope_protocol = protocol
    return m


def sources(body, content_type=b"application/octet-stream"):
    """The same body from the three kinds of body source."""
    chunks = [body[i : i + 3] for i in range(0, len(body), 3)] or [b""]
    return {
        "content": lambda: message(Content(content_type, body), [(b"content-type", content_type)]),
        "asgi": lambda: message(ASGIContent(ScriptedReceive(chunks)), [(b"content-type", content_type)]),
        "rsgi": lambda: message(None, [(b"content-type", content_type)], ScriptedProtocol(chunks)),
    }


async def collect(agen):
    return [chunk async for chunk in agen]


@pytest.mark.parametrize("kind", ["content", "asgi", "rsgi"])
def test_whole_body_reads(kind, run):
    body = b'{"a": [1, 2, 3], "text": "caf\xc3\xa9"}'
    m = sources(body, b"application/json; charset=utf-8")[kind]()

    async def go():
        assert bytes(await m.read()) == body
        assert bytes(await m.read_raw()) == body
        view = await m.read_buffer()
        assert isinstance(view, memoryview) and bytes(view) == body
        copy = await m.read_detached()
        assert type(copy) is bytes and copy == body
        assert m.detach_raw() == body
        assert await m.text() == body.decode()
        assert await m.json() == stdjson.loads(body)

    run(go())
    if kind == "rsgi":
        assert isinstance(m.content, RSGIContent)


@pytest.mark.parametrize("kind", ["content", "asgi", "rsgi"])
def test_stream_yields_every_chunk_in_order(kind, run):
    body = b"0123456789abcdef"
    m = sources(body)[kind]()
    chunks = run(collect(m.stream()))
    assert b"".join(bytes(c) for c in chunks) == body


def test_no_body_at_all(run):
    m = message()

    async def go():
        assert await m.read() is None
        assert await m.read_raw() == b""
        assert await m.read_detached() == b""
        view = await m.read_buffer()
        assert isinstance(view, memoryview) and len(view) == 0
        assert await m.text() == ""
        assert await collect(m.stream()) == [None]
        assert m.detach_raw() == b""

    run(go())
    assert m.has_body() is False and bytes(m.body_buffer) == b"" and m.content is None


def test_lazy_rsgi_content(run):
    protocol = ScriptedProtocol([b"abc", b"def"])
    m = message(None, [], protocol)
    assert m.has_body() is False and m.content is None
    assert run(m.read()) == b"abcdef"
    assert isinstance(m.content, RSGIContent)
    run(m.read())  # reuses the content made by the first read


class FalseContent(Content):
    def __bool__(self):
        return False


def test_false_content_is_replaced_by_readers_but_not_by_stream(run):
    protocol = ScriptedProtocol([b"xy"])
    m = message(FalseContent(b"text/plain", b"ignored"), [], protocol)
    assert run(collect(m.stream())) == [None]
    assert isinstance(m.content, FalseContent)
    assert run(m.read()) == b"xy"
    assert isinstance(m.content, RSGIContent)


def test_read_buffer_shares_a_bytearray(run):
    class ArrayContent(Content):
        async def read(self):
            return self.array

    c = ArrayContent(b"text/plain", b"")
    c.array = bytearray(b"abc")
    view = run(message(c).read_buffer())
    view[0] = ord("z")
    assert c.array == bytearray(b"zbc")


def test_read_buffer_copies_objects_that_are_not_bytes_like(run):
    class Odd:
        def __bytes__(self):
            return b"odd"

    class OddContent(Content):
        async def read(self):
            return Odd()

    view = run(message(OddContent(b"text/plain", b"")).read_buffer())
    assert bytes(view) == b"odd"


def test_read_detached_is_independent(run):
    class ArrayContent(Content):
        async def read(self):
            return self.array

    c = ArrayContent(b"text/plain", b"")
    c.array = bytearray(b"abc")
    copy = run(message(c).read_detached())
    c.array[0] = 0
    assert copy == b"abc"


def test_readers_reach_overrides(run):
    class Sub(Message):
        async def read(self):
            return b'{"over": true}'

        async def read_raw(self):
            return b'{"raw": true}'

    m = Sub([JSON_CT])
    assert run(m.text()) == '{"over": true}'
    assert run(m.json()) == {"raw": True}
    assert run(m.read_detached()) == b'{"raw": true}'


@pytest.mark.parametrize("method", ["read", "read_raw", "read_buffer", "read_detached", "text", "stream"])
def test_readers_take_no_arguments(method):
    with pytest.raises(TypeError):
        getattr(message(), method)(1)


# ---- text ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "charset, text",
    [(b"iso-8859-1", "café"), (b"Windows-1252", "€uro"), (b"shift_jis", "日本"), (b"utf-16be", "ü"), (b"KOI8-R", "Ж")],
)
def test_text_uses_the_charset(run, charset, text):
    m = message(Content(b"text/plain; charset=" + charset, text.encode(charset.decode())))
    assert run(m.text()) == text


def test_text_falls_back_to_encodings_settings(run):
    seen = []

    def decode(body, error):
        seen.append((body, type(error)))
        return "fallback"

    encodings_settings.use(decode)
    try:
        m = message(Content(b"text/plain; charset=utf-8", b"\xff\xfe"))
        assert run(m.text()) == "fallback"
        assert seen == [(b"\xff\xfe", UnicodeDecodeError)]
    finally:
        encodings_settings.reset()


# A client names only a text encoding of the WHATWG list: unknown names,
# utf-7 and codecs that are not text encodings are its fault, not a 500.
@pytest.mark.parametrize(
    "charset", [b"no-such-codec", b"zlib_codec", b"base64", b"rot13", b"utf-7", b"unicode_escape", b"x-user-defined",
                b"iso-2022-kr", b"hex"],
)
@pytest.mark.parametrize("reader", ["text", "form", "json_loads"])
def test_text_refuses_a_charset_outside_the_list(run, charset, reader):
    kind = b"application/x-www-form-urlencoded" if reader == "form" else b"application/json"
    m = message(Content(kind + b"; charset=" + charset, b"+ADw-script+AD4-"))
    read = m.form() if reader == "form" else m.json(loads=lambda text: text) if reader == "json_loads" else m.text()
    with pytest.raises(BadRequest, match="Unsupported charset") as caught:
        run(read)
    assert caught.value.status == 400


# ---- json ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "headers, body, expected",
    [
        ([(b"content-type", b"text/plain")], b'{"a": 1}', None),
        ([JSON_CT], b"", None),
        ([JSON_CT], b"[1, 2]", [1, 2]),
        ([(b"content-type", b"application/problem+json")], b'{"x": null}', {"x": None}),
    ],
)
def test_json(headers, body, expected, run):
    assert run(message(Content(b"", body), headers).json()) == expected


def test_json_without_declared_type_does_not_read(run):
    class Exploding(Content):
        async def read(self):
            raise AssertionError("read")

    assert run(message(Exploding(b"text/plain", b"")).json()) is None


@pytest.mark.parametrize(
    "content_type, text",
    [
        (b"application/json", "Declared Content-Type is application/json but the content cannot be parsed as JSON."),
    ],
)
def test_json_malformed(content_type, text, run):
    m = message(Content(b"", b"{not json"), [(b"content-type", content_type)])
    with pytest.raises(BadRequestFormat) as info:
        run(m.json())
    assert str(info.value) == text
    assert info.value.__context__ is not None
    assert info.value.source_error is info.value.__context__


def test_json_custom_loads(run):
    seen = []

    def loads(text):
        seen.append(text)
        return stdjson.loads(text)

    m = message(Content(b"", b'{"k": "v"}'), [(b"content-type", b"application/json; charset=utf-8")])
    assert run(m.json(loads)) == {"k": "v"} and seen == ['{"k": "v"}']
    assert run(m.json(loads=loads)) == {"k": "v"}


def test_json_settings_loads(run):
    json_settings.use(loads=lambda text: ("custom", text))
    try:
        m = message(Content(b"", b"[1]"), [JSON_CT])
        assert run(m.json()) == ("custom", "[1]")
    finally:
        json_settings.reset()


@pytest.mark.parametrize("error", [ValueError("bad"), stdjson.JSONDecodeError("bad", "x", 0)])
def test_json_custom_loads_errors_become_bad_request(error, run):
    def loads(text):
        raise error

    m = message(Content(b"", b"[1]"), [JSON_CT])
    with pytest.raises(BadRequestFormat) as info:
        run(m.json(loads))
    assert info.value.__context__ is error


def test_json_other_errors_propagate(run):
    def loads(text):
        raise KeyError("x")

    with pytest.raises(KeyError):
        run(message(Content(b"", b"[1]"), [JSON_CT]).json(loads))


def test_json_error_message_without_json_in_the_header(run):
    class Sub(Message):
        def declares_json(self):
            return True

    m = Sub([(b"content-type", b"text/plain")])
    m.content = Content(b"", b"{oops")
    with pytest.raises(BadRequestFormat, match="^Cannot parse content as JSON$"):
        run(m.json())


# ---- sources that fail -------------------------------------------------------------


def test_asgi_disconnect_mid_body(run):
    m = message(ASGIContent(ScriptedReceive([b"a", b"b", b"c"], disconnect_after=1)))
    with pytest.raises(MessageAborted):
        run(m.read())


def test_rsgi_protocol_failure_propagates(run):
    m = message(None, [], ScriptedProtocol([b"a"], fail_after=0))
    with pytest.raises(ConnectionResetError):
        run(m.read())
    m = message(None, [], ScriptedProtocol([b"a", b"b"], fail_after=1))
    with pytest.raises(ConnectionResetError):
        run(collect(m.stream()))


# ---- disconnection probe -------------------------------------------------------------


def test_read_stream_drains(run):
    receive = ScriptedReceive([b"a", b"b"])
    m = message(ASGIContent(receive))
    assert run(_read_stream(m)) is None
    assert receive.calls == 2


def test_call_soon(run):
    async def immediate():
        return 42

    async def slow(flag):
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            flag.append("cancelled")
            raise

    async def go():
        assert await _call_soon(immediate()) == 42
        flag = []
        assert await _call_soon(slow(flag)) is None
        assert flag == ["cancelled"]

    run(go())


def test_call_soon_propagates_errors(run):
    async def failing():
        raise KeyError("boom")

    with pytest.raises(KeyError):
        run(_call_soon(failing()))


def test_call_soon_reports_disconnection(run):
    m = message(ASGIContent(ScriptedReceive([b"a"], disconnect_after=0)))
    with pytest.raises(MessageAborted):
        run(_call_soon(_read_stream(m)))
