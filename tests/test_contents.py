"""brindlewick.contents: body sources and payloads, through the public API."""

import asyncio
import ctypes
import gc
import io
import pickle
import re
import weakref

import msgspec
import pytest

from brindlewick.contents import (
    ASGIContent,
    Content,
    FileBuffer,
    FormContent,
    FormPart,
    HTMLContent,
    JSONContent,
    MultiPartFormData,
    RSGIContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
    parse_www_form_urlencoded,
    simplify_multipart_data,
)
from brindlewick.exceptions import BadRequest, InvalidOperation, MessageAborted


def run(coro):
    return asyncio.run(coro)


async def collect(aiterable):
    return [chunk async for chunk in aiterable]


def provider_of(*chunks):
    async def gen():
        for chunk in chunks:
            await asyncio.sleep(0)
            yield chunk

    return gen


# ---- in-memory contents --------------------------------------------------------------


@pytest.mark.parametrize(
    "content, ctype, body",
    [
        (Content(b"application/x-thing", b"\x00\x01"), b"application/x-thing", b"\x00\x01"),
        (TextContent("h\u00e9 \u2603"), b"text/plain; charset=utf-8", "h\u00e9 \u2603".encode()),
        (HTMLContent("<p>x</p>"), b"text/html; charset=utf-8", b"<p>x</p>"),
        (JSONContent({"a": [1, None, "\u00e9"]}), b"application/json", b'{"a":[1,null,"\xc3\xa9"]}'),
        (FormContent({"a": "1"}), b"application/x-www-form-urlencoded", b"a=1"),
    ],
)
def test_in_memory_contents_expose_type_body_length_and_read_it(content, ctype, body):
    assert content.type == ctype and content.body == body and content.length == len(body)
    assert bool(content)

    async def main():
        assert await content.read() == body
        assert await content.read() == body  # reading again gives the same body
        assert await collect(content.stream()) == [body]
        assert await collect(content.get_parts()) == [body]

    run(main())
    # Message readers treat body_buffer as optional: plain contents leave it out.
    assert not hasattr(content, "body_buffer")


@pytest.mark.parametrize(
    "content", [Content(b"a/b", b"x"), StreamedContent(b"a/b", provider_of()), ASGIContent(lambda: None)]
)
def test_only_rsgi_content_offers_read_buffer(content):
    # Message readers take read_buffer() when present and otherwise view what
    # read() gives, so a subclass overriding read() is honoured.
    assert not hasattr(content, "read_buffer")
    assert hasattr(RSGIContent(lambda: None), "read_buffer")


def test_empty_content_is_still_true_and_has_zero_length():
    c = Content(b"text/plain", b"")
    assert bool(c) and c.length == 0


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda: Content("text/plain", b"x"), "content_type"),
        (lambda: Content(b"text/plain", "x"), "data"),
        (lambda: Content(b"text/plain", None), "data"),
        (lambda: TextContent(b"x"), "text"),
        (lambda: HTMLContent(1), "html"),
        (lambda: JSONContent(1, dumps=3), "dumps"),
        (lambda: StreamedContent(b"x", "not callable"), "data_provider"),
        (lambda: StreamedContent(b"x", lambda: None, "7"), "data_length"),
        (lambda: ASGIContent(None), "receive"),
        (lambda: RSGIContent(42), "protocol"),
        (lambda: FormContent(3), "data"),
        (lambda: FormContent("a=1"), "data"),
        (lambda: MultiPartFormData(b"x"), "parts"),
    ],
)
def test_bad_argument_types_name_the_argument(call, arg):
    with pytest.raises(TypeError, match=f"Argument '{arg}' has incorrect type"):
        call()


def test_text_that_cannot_be_encoded_raises():
    with pytest.raises(UnicodeEncodeError):
        TextContent("\ud800")


def test_content_fields_are_checked_on_assignment():
    c = Content(b"a/b", b"x")
    with pytest.raises(TypeError, match="Expected bytes, got str"):
        c.type = "a/b"
    with pytest.raises(TypeError, match="Expected int, got str"):
        c.length = "1"
    c.type = None
    c.length = -1
    assert c.type is None and c.length == -1


@pytest.mark.parametrize(
    "dumps, body",
    [
        (lambda obj: "[1]", b"[1]"),
        (lambda obj: b"[2]", b"[2]"),
        (lambda obj: bytearray(b"[3]"), b"[3]"),
        (lambda obj: '"\u00e9"', '"\u00e9"'.encode()),
    ],
)
def test_json_content_with_custom_dumps(dumps, body):
    c = JSONContent({"x": 1}, dumps=dumps)
    assert c.body == body and type(c.body) is bytes and c.length == len(body)


def test_json_content_errors_propagate():
    with pytest.raises(TypeError, match="dumps\\(\\) must return str or bytes, got int"):
        JSONContent(1, dumps=lambda obj: 5)
    with pytest.raises((TypeError, msgspec.EncodeError)):
        JSONContent(object())


@pytest.mark.parametrize(
    "data, body",
    [
        ({"a b": "c&d=e"}, b"a+b=c%26d%3De"),
        ([("k", "\u00e9"), ("k", "2")], b"k=%C3%A9&k=2"),
        ((("x", b"\xff"),), b"x=%FF"),
        ({"n": 5, "f": 1.5}, b"n=5&f=1.5"),
        ({"multi": ["1", "2"]}, b"multi=1&multi=2"),
        ({"safe": "-._~"}, b"safe=-._~"),
        ({}, b""),
    ],
)
def test_form_content_encoding(data, body):
    assert FormContent(data).body == body


@pytest.mark.parametrize(
    "fields",
    [
        {"a": "1", "b": ["x y", "+&=%"], "\u00e9": "\u2603"},
        {"empty": "", "spaces": "   "},
    ],
)
def test_form_content_round_trips_through_the_parser(fields):
    assert parse_www_form_urlencoded(FormContent(fields).body.decode()) == fields


@pytest.mark.parametrize(
    "data, error",
    [
        ({"a": None}, TypeError),
        ([("a",)], ValueError),
        ([("a", "b", "c")], ValueError),
        (["ab"], TypeError),
    ],
)
def test_form_content_bad_fields(data, error):
    with pytest.raises(error):
        FormContent(data)


def test_dispose_of_in_memory_content_is_idempotent_and_keeps_the_body():
    # A content object may be shared by many responses; each reset disposes it.
    c = TextContent("keep")
    assert c.dispose() is None
    assert c.dispose() is None
    assert c.body == b"keep"


def test_python_subclass_can_override_and_chain_dispose():
    calls = []

    class Mine(Content):
        def dispose(self):
            calls.append("mine")
            return super().dispose()

    m = Mine(b"a/b", b"x")
    m.dispose()
    assert calls == ["mine"]


@pytest.mark.parametrize(
    "content",
    [
        Content(b"a/b", b"xyz"),
        TextContent("t"),
        JSONContent([1, 2]),
    ],
)
def test_in_memory_contents_pickle(content):
    copy = pickle.loads(pickle.dumps(content))
    assert type(copy) is type(content)
    assert (copy.type, copy.body, copy.length) == (content.type, content.body, content.length)


class Tagged(Content):
    pass


def test_pickle_keeps_the_instance_dict_of_subclasses():
    c = Tagged(b"a/b", b"x")
    c.file_path = "/tmp/x"
    copy = pickle.loads(pickle.dumps(c))
    assert type(copy) is Tagged and copy.file_path == "/tmp/x" and copy.body == b"x"


@pytest.mark.parametrize("content", [ASGIContent(lambda: None), RSGIContent(lambda: None)])
def test_server_contents_refuse_pickling(content):
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(content)


def test_file_attributes_can_be_added_by_subclasses():
    class FileContent(Content):
        def __init__(self, path):
            super().__init__(b"application/octet-stream", b"")
            self.length = -1
            self.file_path = path
            self.file_range = (0, 10)

    c = FileContent("/x")
    assert c.file_path == "/x" and c.file_range == (0, 10) and c.length == -1


# ---- streamed content -----------------------------------------------------------------


def test_streamed_content_fields():
    s = StreamedContent(b"text/csv", provider_of(b"a"), 10)
    assert s.type == b"text/csv" and s.body is None and s.length == 10
    assert StreamedContent(b"text/csv", provider_of()).length == -1


def test_streamed_content_iterates_a_fresh_provider_each_time():
    s = StreamedContent(b"text/csv", provider_of(b"a,", b"b\n"))

    async def main():
        assert await collect(s.get_parts()) == [b"a,", b"b\n"]
        assert await collect(s.stream()) == [b"a,", b"b\n"]

    run(main())


def test_streamed_content_provider_must_give_an_async_iterable():
    s = StreamedContent(b"x/y", lambda: [b"sync"])
    with pytest.raises(TypeError, match="must return an async iterable, got list"):
        s.stream()


# ---- FormPart, FileBuffer -------------------------------------------------------------------


def test_form_part_keyword_construction_and_attributes():
    f = io.BytesIO(b"file data")
    p = FormPart(name=b"up", data=f, file_name=b"a.txt", content_type=b"text/plain", size=9, charset=b"utf-8")
    assert (p.name, p.data, p.file, p.file_name, p.content_type, p.charset, p.size) == (
        b"up",
        f,
        f,
        b"a.txt",
        b"text/plain",
        b"utf-8",
        9,
    )
    field = FormPart(b"f", b"value")
    assert field.file is None and field.size == 5 and field.file_name is None


@pytest.mark.parametrize(
    "other, equal",
    [
        (FormPart(b"a", b"1", b"f", b"t/p", b"c"), True),
        (FormPart(b"b", b"1", b"f", b"t/p", b"c"), False),
        (FormPart(b"a", b"2", b"f", b"t/p", b"c"), False),
        (FormPart(b"a", b"1", None, b"t/p", b"c"), False),
        (FormPart(b"a", b"1", b"f", b"t/p", None), False),
        (FormPart(b"a", b"1", b"f", b"t/p", b"c", size=7), False),
        ("not a part", False),
    ],
)
def test_form_part_equality(other, equal):
    p = FormPart(b"a", b"1", b"f", b"t/p", b"c")
    assert (p == other) is equal and (p != other) is not equal


def test_form_part_repr_names_the_fields_but_not_the_data():
    r = repr(FormPart(b"n", b"secret", file_name=b"x.bin"))
    assert "b'n'" in r and "b'x.bin'" in r and "size=6" in r and "secret" not in r


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"name": "n", "data": b""}, TypeError, "'name'"),
        ({"name": b"n", "data": "text"}, TypeError, "'data'"),
        ({"name": b"n", "data": None}, TypeError, "'data'"),
        ({"name": b"n", "data": b"", "file_name": "f"}, TypeError, "'file_name'"),
        ({"name": b"n", "data": b"", "content_type": 1}, TypeError, "'content_type'"),
        ({"name": b"n", "data": b"", "charset": "utf-8"}, TypeError, "'charset'"),
        ({"name": b"n", "data": b"", "size": "1"}, TypeError, "'size'"),
        ({"name": b"n", "data": b"", "size": -1}, ValueError, "negative"),
    ],
)
def test_form_part_bad_arguments(kwargs, error, text):
    with pytest.raises(error, match=text):
        FormPart(**kwargs)


def test_form_part_pickles_with_bytes_data():
    p = FormPart(b"a", b"1", b"f", b"t/p", b"c", 1)
    assert pickle.loads(pickle.dumps(p)) == p


def test_file_buffer_reads_seeks_and_closes_once():
    raw = io.BytesIO(b"abcdef")
    with FileBuffer(raw, name=b"n", file_name=b"f.bin", content_type=b"application/octet-stream") as fb:
        assert fb.read(2) == b"ab" and fb.tell() == 2
        fb.seek(0)
        assert fb.read() == b"abcdef"
        assert fb.readable() and not fb.closed
        assert (fb.name, fb.file_name, fb.content_type, fb.charset) == (
            b"n",
            b"f.bin",
            b"application/octet-stream",
            None,
        )
    assert fb.closed and raw.closed and fb.file is None
    fb.close()  # idempotent
    with pytest.raises(ValueError, match="closed FileBuffer"):
        fb.read()


def test_file_buffer_refuses_text_files_and_non_files():
    with pytest.raises(TypeError, match="'file'"):
        FileBuffer(b"bytes")
    with pytest.raises(TypeError, match="must be binary"):
        FileBuffer(io.StringIO("text")).read()


# ---- MultiPartFormData -------------------------------------------------------------------------


def split_multipart(content):
    boundary = content.boundary
    assert content.type == b"multipart/form-data; boundary=" + boundary
    body = content.body
    assert body.endswith(b"--" + boundary + b"--\r\n")
    pieces = body.split(b"--" + boundary)
    assert pieces[0] == b"" and pieces[-1] == b"--\r\n"
    parts = []
    for piece in pieces[1:-1]:
        assert piece.startswith(b"\r\n") and piece.endswith(b"\r\n")
        head, _, data = piece[2:-2].partition(b"\r\n\r\n")
        parts.append((head.split(b"\r\n"), data))
    return parts


def test_multipart_form_data_encodes_fields_and_files():
    upload = io.BytesIO(b"\x00binary\r\n--")
    c = MultiPartFormData(
        [
            FormPart(b"title", b"hello"),
            FormPart(b"doc", upload, file_name=b"a.bin"),
            FormPart(b"note", "caf\u00e9".encode("latin-1"), content_type=b"text/plain", charset=b"latin-1"),
        ]
    )
    assert c.length == len(c.body)
    assert split_multipart(c) == [
        ([b'Content-Disposition: form-data; name="title"'], b"hello"),
        (
            [b'Content-Disposition: form-data; name="doc"; filename="a.bin"', b"Content-Type: application/octet-stream"],
            b"\x00binary\r\n--",
        ),
        (
            [b'Content-Disposition: form-data; name="note"', b"Content-Type: text/plain; charset=latin-1"],
            b"caf\xe9",
        ),
    ]


def test_multipart_boundaries_are_random():
    parts = [FormPart(b"a", b"1")]
    assert MultiPartFormData(parts).boundary != MultiPartFormData(parts).boundary


def test_multipart_names_cannot_inject_headers_or_parts():
    c = MultiPartFormData([FormPart(b'x"\r\nX-Evil: 1', b"v", file_name=b'f"\n.txt')])
    [(head, data)] = split_multipart(c)
    assert head == [
        b'Content-Disposition: form-data; name="x%22%0D%0AX-Evil: 1"; filename="f%22%0A.txt"',
        b"Content-Type: application/octet-stream",
    ]


@pytest.mark.parametrize(
    "part, error",
    [
        (FormPart(b"a", b"1", content_type=b"text/plain\r\nX: y"), ValueError),
        (FormPart(b"a", b"1", charset=b"utf-8\n"), ValueError),
        (FormPart(b"a", io.StringIO("text")), TypeError),
    ],
)
def test_multipart_refuses_unsafe_or_textual_parts(part, error):
    with pytest.raises(error):
        MultiPartFormData([part])


def test_multipart_items_must_be_form_parts():
    with pytest.raises(TypeError, match="Expected FormPart, got tuple"):
        MultiPartFormData([(b"a", b"1")])


# ---- simplify_multipart_data ---------------------------------------------------------------


def spooled(data):
    # A part's data as form parsing leaves it: a file positioned at its start.
    f = io.BytesIO()
    f.write(data)
    f.seek(0)
    return f


def test_simplify_multipart_data_shapes():
    upload = FormPart(b"f", spooled(b"..."), file_name=b"x.txt")
    data = {
        "one": [FormPart(b"one", spooled(b"1"))],
        "two": [FormPart(b"two", b"a"), FormPart(b"two", spooled(b"b"))],
        "file": [upload],
        "latin": [FormPart(b"latin", spooled(b"caf\xe9"), charset=b"latin1")],
    }
    assert simplify_multipart_data(data) == {"one": "1", "two": ["a", "b"], "file": upload, "latin": "caf\u00e9"}


def test_simplify_multipart_data_can_be_repeated():
    # The cached form is simplified on every form() call: the file must read the same again.
    data = {"a": [FormPart(b"a", spooled(b"value"))]}
    assert simplify_multipart_data(data) == {"a": "value"}
    assert simplify_multipart_data(data) == {"a": "value"}


@pytest.mark.parametrize(
    "charset, raw, message",
    [
        (None, b"\xff\xfe", "Cannot decode form field b'a'"),
        (b"no-such-charset", b"x", "Unsupported charset b'no-such-charset'"),
        (b"utf-7", b"+ADw-", "Unsupported charset b'utf-7'"),
        (b"rot13", b"x", "Unsupported charset"),
    ],
)
def test_simplify_undecodable_field_is_a_bad_request(charset, raw, message):
    with pytest.raises(BadRequest, match=re.escape(message)):
        simplify_multipart_data({"a": [FormPart(b"a", raw, charset=charset)]})


def test_simplify_requires_a_dict():
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        simplify_multipart_data([("a", [])])


# ---- parse_www_form_urlencoded -----------------------------------------------------------


@pytest.mark.parametrize(
    "text, fields",
    [
        ("a=1&b=2", {"a": "1", "b": "2"}),
        ("a=1&a=2&a=3", {"a": ["1", "2", "3"]}),
        ("blank=&flag", {"blank": "", "flag": ""}),
        ("x=a+b%20c%2B", {"x": "a b c+"}),
        ("k=%E2%98%83", {"k": "\u2603"}),
        ("bad=%zz%4", {"bad": "%zz%4"}),
        ("a=1;b=2&&c=3", {"a": "1;b=2", "c": "3"}),
        ("", {}),
        ("=v", {"": "v"}),
        (b"a=%C3%A9", {"a": "\u00e9"}),
        (None, {}),
    ],
)
def test_parse_www_form_urlencoded(text, fields):
    assert parse_www_form_urlencoded(text) == fields


def test_parse_www_form_urlencoded_rejects_other_types():
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        parse_www_form_urlencoded(3)


# ---- server-sent events ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, text",
    [
        ({"a": 1}, '{"a":1}'),
        ("line\nbreak", '"line\\nbreak"'),
        ([1, 2.5, None, True], "[1,2.5,null,true]"),
    ],
)
def test_server_sent_event_writes_json(data, text):
    assert ServerSentEvent(data).write_data() == text


@pytest.mark.parametrize(
    "data, text",
    [
        ("plain", "plain"),
        ("a\nb", "a\ndata: b"),
        ("a\r\nb", "a\ndata: b"),
        ("a\rb", "a\ndata: b"),
        ("\n\n\u00e9\r", "\ndata: \ndata: \u00e9\ndata: "),
        ("", ""),
    ],
)
def test_text_server_sent_event_writes_a_data_line_per_line(data, text):
    # The writer puts "data: " before the value and LF after it.
    assert TextServerSentEvent(data).write_data() == text


@pytest.mark.parametrize("make", [lambda i: ServerSentEvent(1, id=i), lambda i: setattr(ServerSentEvent(1), "id", i)])
def test_server_sent_event_refuses_an_id_with_nul(make):
    # Event-stream readers ignore such an id altogether.
    with pytest.raises(ValueError, match="cannot contain NUL"):
        make("1\x002")


def test_server_sent_event_fields():
    e = ServerSentEvent("d", event="tick", id="7", retry=1500, comment="c")
    assert (e.data, e.event, e.id, e.retry, e.comment) == ("d", "tick", "7", 1500, "c")
    assert ServerSentEvent("d").retry == -1
    e.retry = -20
    assert e.retry == -1
    e.event = None
    assert e.event is None


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"event": 1}, TypeError),
        ({"id": b"7"}, TypeError),
        ({"comment": 0}, TypeError),
        ({"retry": "5"}, TypeError),
        ({"retry": True}, TypeError),
        ({"retry": 2**31}, OverflowError),
    ],
)
def test_server_sent_event_bad_fields(kwargs, error):
    with pytest.raises(error):
        ServerSentEvent("d", **kwargs)


def test_text_server_sent_event_requires_text():
    with pytest.raises(TypeError, match="'data'"):
        TextServerSentEvent(1)
    e = TextServerSentEvent("x")
    with pytest.raises(TypeError, match="Expected str, got int"):
        e.data = 1


def test_write_data_override_is_used_from_python():
    class Custom(ServerSentEvent):
        def write_data(self):
            return "custom:" + super().write_data()

    assert Custom([1]).write_data() == "custom:[1]"


# ---- garbage collection ------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda box: StreamedContent(b"x/y", lambda: box),
        lambda box: ASGIContent(lambda: box),
        lambda box: FormPart(b"n", box),
        lambda box: ServerSentEvent(box),
    ],
)
def test_reference_cycles_are_collected(make):
    class Box(io.BytesIO):
        pass

    box = Box()
    obj = make(box)
    box.cycle = obj
    ref = weakref.ref(box)
    del obj, box
    gc.collect()
    assert ref() is None


# ---- ASGIContent ----------------------------------------------------------------------------


class Channel:
    """An ASGI receive channel fed with messages; counts the calls."""

    def __init__(self, *messages):
        self.queue = asyncio.Queue()
        self.calls = 0
        for m in messages:
            self.queue.put_nowait(m)

    async def receive(self):
        self.calls += 1
        return await self.queue.get()


def request(body, more=False):
    return {"type": "http.request", "body": body, "more_body": more}


DISCONNECT = {"type": "http.disconnect"}


@pytest.mark.parametrize(
    "messages, body",
    [
        ([request(b"whole")], b"whole"),
        ([request(b"a", True), request(b"", True), request(b"bc", True), request(b"")], b"abc"),
        ([{"type": "http.request"}], b""),
        ([request(bytearray(b"ba"), True), request(memoryview(b"ck"))], b"back"),
    ],
)
def test_asgi_read_joins_the_messages_and_keeps_the_body(messages, body):
    async def main():
        ch = Channel(*messages)
        c = ASGIContent(ch.receive)
        assert c.type is None and c.length == -1 and c.body is None
        first = await c.read()
        assert first == body and type(first) is bytes
        calls = ch.calls
        assert await c.read() is first  # kept: the channel is not asked again
        assert ch.calls == calls == len(messages)
        assert c._data is first and c.body is first and c.length == len(body) and c.complete
        assert bytes(c.body_buffer) == body
        assert await collect(c.stream()) == ([body] if body else [])

    run(main())


def test_asgi_single_message_body_is_not_copied():
    payload = b"x" * 100

    async def main():
        c = ASGIContent(Channel(request(payload)).receive)
        assert await c.read() is payload

    run(main())


@pytest.mark.parametrize("reader", ["read", "stream"])
def test_asgi_disconnect_mid_body_raises_message_aborted_and_stays_aborted(reader):
    async def consume(c):
        if reader == "stream":
            return await collect(c.stream())
        return await getattr(c, reader)()

    async def main():
        ch = Channel(request(b"part", True), DISCONNECT)
        c = ASGIContent(ch.receive)
        with pytest.raises(MessageAborted):
            await consume(c)
        calls = ch.calls
        for again in (c.read(), collect(c.stream())):
            with pytest.raises(MessageAborted):
                await again
        assert ch.calls == calls  # a gone client is not asked again

    run(main())


def test_asgi_stream_yields_chunks_as_they_arrive():
    async def main():
        ch = Channel(request(b"a", True), request(b"", True), request(b"b", True))
        c = ASGIContent(ch.receive)
        seen = []
        async for chunk in c.stream():
            seen.append(chunk)
            if chunk == b"b":
                ch.queue.put_nowait(request(b"c"))
        assert seen == [b"a", b"b", b"c"]
        # Nothing was kept: a whole-body read now refuses instead of lying.
        with pytest.raises(InvalidOperation, match="consumed by stream"):
            await c.read()
        with pytest.raises(InvalidOperation, match="already streamed"):
            await collect(c.stream())

    run(main())


def test_asgi_body_in_one_message_stays_readable_after_stream():
    async def main():
        c = ASGIContent(Channel(request(b"only")).receive)
        assert await collect(c.stream()) == [b"only"]
        assert await c.read() == b"only"

    run(main())


def test_asgi_disconnection_probe_before_the_body_loses_nothing():
    # The shape of a disconnection check: drain stream() for one loop turn, then cancel.
    async def drain(c):
        async for _ in c.stream():
            pass

    async def main():
        ch = Channel()
        c = ASGIContent(ch.receive)
        task = asyncio.get_running_loop().create_task(drain(c))
        asyncio.get_running_loop().call_soon(task.cancel)
        with pytest.raises(asyncio.CancelledError):
            await task
        ch.queue.put_nowait(request(b"ab", True))
        ch.queue.put_nowait(request(b"c"))
        assert await c.read() == b"abc"

    run(main())


def test_asgi_interrupted_read_goes_on_where_it_stopped():
    async def main():
        ch = Channel(request(b"one,", True))
        c = ASGIContent(ch.receive)
        task = asyncio.ensure_future(c.read())
        while ch.calls < 2:  # the first chunk is in, the read waits for the next
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        ch.queue.put_nowait(request(b"two"))
        assert await c.read() == b"one,two"

    run(main())


def test_asgi_concurrent_reads_are_refused():
    async def main():
        ch = Channel()
        c = ASGIContent(ch.receive)
        first = asyncio.ensure_future(c.read())
        await asyncio.sleep(0)
        with pytest.raises(InvalidOperation, match="already being read"):
            await c.read()
        ch.queue.put_nowait(request(b"ok"))
        assert await first == b"ok"

    run(main())


@pytest.mark.parametrize(
    "message, error, text",
    [
        ([("type", "http.request")], TypeError, "message dict"),
        ({"type": "http.request", "body": "text"}, TypeError, "must be bytes, got str"),
        ({"type": "websocket.receive"}, ValueError, "unexpected ASGI message type 'websocket.receive'"),
        ({"body": b"x"}, ValueError, "unexpected ASGI message type None"),
    ],
)
def test_asgi_bad_messages_raise(message, error, text):
    async def main():
        with pytest.raises(error, match=text):
            await ASGIContent(Channel(message).receive).read()

    run(main())


def test_asgi_receive_errors_propagate():
    async def receive():
        raise ConnectionResetError("peer reset")

    async def main():
        with pytest.raises(ConnectionResetError, match="peer reset"):
            await ASGIContent(receive).read()

    run(main())


@pytest.mark.parametrize("read_first", [False, True])
def test_asgi_dispose_is_idempotent_and_releases_channel_and_body(read_first):
    async def main():
        ch = Channel(request(b"data"))
        c = ASGIContent(ch.receive)
        if read_first:
            await c.read()
        assert c.dispose() is None
        c.dispose()
        assert c.receive is None and c.body is None and c._data is None
        with pytest.raises(InvalidOperation, match="disposed"):
            await c.read()
        with pytest.raises(InvalidOperation, match="disposed"):
            await collect(c.stream())

    run(main())


def test_asgi_dispose_during_a_read_stops_it():
    async def main():
        ch = Channel()
        c = ASGIContent(ch.receive)
        task = asyncio.ensure_future(c.read())
        await asyncio.sleep(0)
        c.dispose()
        ch.queue.put_nowait(request(b"late"))
        with pytest.raises(InvalidOperation, match="disposed"):
            await task
        assert c.body is None

    run(main())


# ---- RSGIContent ----------------------------------------------------------------------------


class Protocol:
    """An RSGI HTTP protocol: await protocol() for the body, async for to stream it."""

    def __init__(self, *chunks, error=None):
        self.chunks = chunks
        self.error = error
        self.calls = 0
        self.iterations = 0

    async def __call__(self):
        self.calls += 1
        await asyncio.sleep(0)
        if self.error:
            raise self.error
        return b"".join(self.chunks)

    def __aiter__(self):
        self.iterations += 1
        return self._gen()

    async def _gen(self):
        for chunk in self.chunks:
            await asyncio.sleep(0)
            yield chunk
        if self.error:
            raise self.error


def test_rsgi_read_is_kept_and_replayed():
    async def main():
        p = Protocol(b"ab", b"cd")
        c = RSGIContent(p)
        assert await c.read() == b"abcd"
        assert await c.read() == b"abcd"
        view = await c.read_buffer()
        assert isinstance(view, memoryview) and view.tobytes() == b"abcd"
        assert await collect(c.stream()) == [b"abcd"]
        assert p.calls == 1 and p.iterations == 0
        assert c.length == 4 and c._data == b"abcd" and c.complete

    run(main())


def test_rsgi_read_buffer_first_reads_the_body():
    async def main():
        c = RSGIContent(Protocol(b"xyz"))
        assert (await c.read_buffer()).tobytes() == b"xyz"
        assert await c.read() == b"xyz"

    run(main())


def test_rsgi_stream_iterates_the_protocol():
    async def main():
        p = Protocol(b"a", b"", b"b")
        c = RSGIContent(p)
        assert await collect(c.stream()) == [b"a", b"b"]
        assert p.iterations == 1 and p.calls == 0
        with pytest.raises(InvalidOperation, match="consumed by stream"):
            await c.read()

    run(main())


@pytest.mark.parametrize("chunks, body", [((b"one",), b"one"), ((), b"")])
def test_rsgi_body_in_one_piece_stays_readable_after_stream(chunks, body):
    async def main():
        p = Protocol(*chunks)
        c = RSGIContent(p)
        await collect(c.stream())
        assert await c.read() == body and p.calls == 0

    run(main())


@pytest.mark.parametrize("how", ["read", "stream"])
def test_rsgi_protocol_errors_propagate(how):
    async def main():
        c = RSGIContent(Protocol(b"x", error=RuntimeError("transport closed")))
        with pytest.raises(RuntimeError, match="transport closed"):
            if how == "read":
                await c.read()
            else:
                await collect(c.stream())

    run(main())


@pytest.mark.parametrize("body", ["text", None, 5])
def test_rsgi_protocol_must_give_bytes(body):
    async def protocol():
        return body

    async def main():
        with pytest.raises(TypeError, match="must give the body as bytes"):
            await RSGIContent(protocol).read()

    run(main())


def test_rsgi_stream_of_a_protocol_without_aiter_raises():
    async def protocol():
        return b""

    async def main():
        with pytest.raises(TypeError):
            await collect(RSGIContent(protocol).stream())

    run(main())


def test_rsgi_dispose_is_idempotent():
    async def main():
        c = RSGIContent(Protocol(b"x"))
        await c.read()
        c.dispose()
        c.dispose()
        assert c.protocol is None and c.body is None
        with pytest.raises(InvalidOperation, match="disposed"):
            await c.read_buffer()

    run(main())


# ---- StreamedContent reads ------------------------------------------------------------------


@pytest.mark.parametrize(
    "chunks, body",
    [((b"a", b"b", b"c"), b"abc"), ((b"one",), b"one"), ((), b""), ((bytearray(b"x"), memoryview(b"y")), b"xy")],
)
def test_streamed_content_read_joins_the_pieces(chunks, body):
    async def main():
        s = StreamedContent(b"x/y", provider_of(*chunks))
        assert await s.read() == body
        assert await s.read() == body  # a fresh iteration each time

    run(main())


def test_streamed_content_read_refuses_non_bytes_pieces():
    async def main():
        with pytest.raises(TypeError, match="Expected bytes, got int"):
            await StreamedContent(b"x/y", provider_of(b"a", 5)).read()

    run(main())


# ---- native method tables ---------------------------------------------------------------------
# Other native modules call the first entry of an object's method table
# directly; these tests reach it the same way.

_HEAD = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)


def native_entry(obj, restype):
    vtab = ctypes.c_void_p.from_address(id(obj) + _HEAD).value
    pointer = ctypes.c_void_p.from_address(vtab).value
    return ctypes.PYFUNCTYPE(restype, ctypes.py_object, ctypes.c_int)(pointer)


class RecordingContent(Content):
    def __init__(self):
        super().__init__(b"a/b", b"x")
        self.calls = 0

    def dispose(self):
        self.calls += 1
        super().dispose()


@pytest.mark.parametrize("skip_dispatch, calls", [(0, 1), (1, 0)])
def test_native_dispose_reaches_python_overrides(skip_dispatch, calls):
    c = RecordingContent()
    assert native_entry(c, ctypes.c_int)(c, skip_dispatch) == 0
    assert c.calls == calls


def test_native_dispose_of_asgi_content_releases_the_channel():
    c = ASGIContent(lambda: None)
    dispose = native_entry(c, ctypes.c_int)
    assert dispose(c, 0) == 0 and dispose(c, 0) == 0
    assert c.receive is None


def test_native_dispose_reports_an_override_error():
    class Failing(Content):
        def dispose(self):
            raise OSError("cannot release")

    c = Failing(b"a/b", b"x")
    with pytest.raises(OSError, match="cannot release"):
        native_entry(c, ctypes.c_int)(c, 0)


class Shouting(TextServerSentEvent):
    def write_data(self):
        return super().write_data().upper()


class Wrong(ServerSentEvent):
    def write_data(self):
        return 42


@pytest.mark.parametrize(
    "event, text",
    [
        (ServerSentEvent({"k": "v"}), '{"k":"v"}'),
        (TextServerSentEvent("a\nb"), "a\ndata: b"),
        (Shouting("a\nb"), "A\nDATA: B"),
    ],
)
def test_native_write_data(event, text):
    assert native_entry(event, ctypes.py_object)(event, 0) == text


def test_native_write_data_checks_the_override_result():
    e = Wrong(1)
    with pytest.raises(TypeError, match="Expected str, got int"):
        native_entry(e, ctypes.py_object)(e, 0)


# ---- round trips ---------------------------------------------------------------------------------

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

_values = st.one_of(st.text(max_size=12), st.lists(st.text(max_size=6), min_size=2, max_size=3))


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.text(max_size=8), _values, max_size=5))
def test_form_content_parses_back_to_its_fields(fields):
    assert parse_www_form_urlencoded(FormContent(fields).body.decode("ascii")) == fields


_names = st.text(st.characters(exclude_characters='"\\\r\n', exclude_categories=("Cs", "Cc")), max_size=10)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(_names, st.binary(max_size=200), st.one_of(st.none(), _names.filter(bool))), max_size=4))
def test_multipart_form_data_parses_back_to_its_parts(parts):
    multipart = pytest.importorskip("brindlewick.multipart")
    content = MultiPartFormData(
        [FormPart(name.encode(), data, file_name=f and f.encode()) for name, data, f in parts]
    )
    body = content.body

    async def chunks():
        for i in range(0, len(body), 37):
            yield body[i : i + 37]

    async def main():
        seen = []
        async for part in multipart.parse_multipart_async(chunks(), content.boundary):
            data = b"".join([bytes(c) async for c in part.stream()])
            seen.append((part.name, data, part.file_name))
        return seen

    assert run(main()) == [(name, data, f) for name, data, f in parts]


@pytest.mark.parametrize(
    "make",
    [
        lambda: ASGIContent(Channel(request(b"a", True), request(b"b")).receive),
        lambda: RSGIContent(Protocol(b"a", b"b")),
    ],
)
def test_dispose_between_two_chunks_ends_the_stream_with_a_clear_error(make):
    async def main():
        c = make()
        stream = c.stream()
        assert await stream.__anext__() == b"a"
        c.dispose()
        with pytest.raises(InvalidOperation, match="disposed"):
            await stream.__anext__()

    run(main())


@pytest.mark.parametrize(
    "args, error",
    [
        ((Content, b"a/b", b"x"), TypeError),
        ((int, b"a/b", b"x", 1, None, None), TypeError),
        ((ASGIContent, None, None, -1, None, None), TypeError),
        ((Content, b"a/b", b"x", "1", None, None), TypeError),
        ((Content, b"a/b", b"x", 1, None, [1]), TypeError),
    ],
)
def test_restore_content_checks_its_input(args, error):
    from brindlewick.contents import _restore_content

    with pytest.raises(error):
        _restore_content(*args)
