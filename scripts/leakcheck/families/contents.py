"""brindlewick.contents: construction, reads, dispose, payloads, FormPart and
FileBuffer, server-sent events, form parsing, and their bad inputs."""

import io
import pickle

from brindlewick.contents import (
    charset_codec,
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
    _restore_content,
    parse_www_form_urlencoded,
    simplify_multipart_data,
)
from brindlewick.exceptions import BadRequest, InvalidOperation, MessageAborted

from leakcheck.support import Protocol, Receive, cases, collect, drive, drive_raises, raises, tick

ITERATIONS = 4_000


def provider_of(*chunks):
    async def gen():
        for chunk in chunks:
            await tick()
            yield chunk

    return gen


def reads(make):
    def op():
        c = make()
        drive(c.read())
        drive(c.read())
        drive(collect(c.stream()))
        drive(collect(c.get_parts()))

    return op


def spooled(data):
    f = io.BytesIO()
    f.write(data)
    f.seek(0)
    return f


def simplify():
    upload = FormPart(b"f", spooled(b"..."), file_name=b"x.txt")
    data = {
        "one": [FormPart(b"one", spooled(b"1"))],
        "two": [FormPart(b"two", b"a"), FormPart(b"two", spooled(b"b"))],
        "file": [upload],
        "latin": [FormPart(b"latin", spooled(b"caf\xe9"), charset=b"latin1")],
    }
    return simplify_multipart_data(data)


def file_buffer():
    with FileBuffer(io.BytesIO(b"abcdef"), name=b"n", file_name=b"f.bin", content_type=b"a/b") as fb:
        fb.read(2)
        fb.tell()
        fb.seek(0)
        fb.read()
        fb.readable()
    fb.close()


def closed_file_buffer():
    fb = FileBuffer(io.BytesIO(b"x"))
    fb.close()
    fb.read()


def asgi_stream_then_read():
    c = ASGIContent(Receive([b"only"]))
    drive(collect(c.stream()))
    drive(c.read())


def asgi_dispose(read_first):
    def op():
        c = ASGIContent(Receive([b"data"]))
        if read_first:
            drive(c.read())
        c.dispose()
        c.dispose()
        drive(c.read())

    return op


def rsgi_reads():
    c = RSGIContent(Protocol([b"ab", b"cd"]))
    drive(c.read())
    drive(c.read_buffer())
    drive(collect(c.stream()))
    c.dispose()


def rsgi_stream_then_read(chunks):
    c = RSGIContent(Protocol(chunks))
    drive(collect(c.stream()))
    drive(c.read())


def dispose_between_chunks(make):
    def op():
        c = make()
        stream = c.stream()
        drive(stream.__anext__())
        c.dispose()
        drive(stream.__anext__())

    return op


def returning(value):
    async def protocol():
        return value

    return protocol


class Channel:
    """receive() over scripted messages, one per call."""

    def __init__(self, *messages):
        self.messages = messages
        self.i = 0

    async def __call__(self):
        i = self.i
        self.i += 1
        await tick()
        return self.messages[i]


class Mine(Content):
    def dispose(self):
        return super().dispose()


class Custom(ServerSentEvent):
    def write_data(self):
        return "custom:" + super().write_data()


def operations():
    multipart_parts = [
        FormPart(b"title", b"hello"),
        FormPart(b"note", "caf\u00e9".encode("latin-1"), content_type=b"text/plain", charset=b"latin-1"),
    ]
    ops = [
        ("Content reads", reads(lambda: Content(b"a/b", b"\x00\x01"))),
        ("TextContent reads", reads(lambda: TextContent("h\u00e9 \u2603"))),
        ("HTMLContent", lambda: HTMLContent("<p>x</p>")),
        ("JSONContent", lambda: JSONContent({"a": [1, None, "\u00e9"]})),
        ("JSONContent custom dumps", lambda: JSONContent({"x": 1}, dumps=lambda obj: bytearray(b"[3]"))),
        ("FormContent reads", reads(lambda: FormContent({"a b": "c&d=e", "multi": ["1", "2"], "n": 5}))),
        ("FormContent pairs", lambda: FormContent([("k", "\u00e9"), ("k", "2"), ("x", b"\xff")])),
        ("field assignment", lambda: setattr(Content(b"a/b", b"x"), "type", None)),
        ("dispose in memory", lambda: TextContent("keep").dispose()),
        ("dispose override chain", lambda: Mine(b"a/b", b"x").dispose()),
        ("pickle Content", lambda: pickle.loads(pickle.dumps(Content(b"a/b", b"xyz")))),
        ("pickle JSONContent", lambda: pickle.loads(pickle.dumps(JSONContent([1, 2])))),
        ("_restore_content", lambda: _restore_content(Content, b"a/b", b"x", 1, None, None)),
        ("StreamedContent read", lambda: drive(StreamedContent(b"x/y", provider_of(b"a", bytearray(b"b"), memoryview(b"c"))).read())),
        ("StreamedContent stream", lambda: drive(collect(StreamedContent(b"x/y", provider_of(b"a,", b"b\n"), 4).stream()))),
        ("ASGIContent read", lambda: drive(ASGIContent(Receive([b"a", b"", b"bc"])).read())),
        ("ASGIContent single message read", lambda: drive(ASGIContent(Channel({"type": "http.request", "body": b"x"})).read())),
        ("ASGIContent stream then read", asgi_stream_then_read),
        ("ASGIContent body_buffer", lambda: ASGIContent(Receive([b"a"])).body_buffer),
        ("ASGIContent dispose, read", drive_raises(InvalidOperation, lambda: _disposed_asgi())),
        ("ASGIContent dispose after read, read", raises(InvalidOperation, asgi_dispose(True))),
        ("ASGIContent dispose before read, read", raises(InvalidOperation, asgi_dispose(False))),
        ("ASGIContent read after stream", drive_raises(InvalidOperation, lambda: _streamed_asgi().read())),
        ("ASGIContent disconnect mid-body", drive_raises(MessageAborted, lambda: ASGIContent(Receive([b"a", b"b"], disconnect_after=1)).read())),
        ("ASGIContent receive raises", drive_raises(ConnectionResetError, lambda: ASGIContent(_reset).read())),
        ("RSGIContent reads", rsgi_reads),
        ("RSGIContent stream then read", lambda: rsgi_stream_then_read([b"one"])),
        ("RSGIContent read after streamed chunks", raises(InvalidOperation, rsgi_stream_then_read, [b"a", b"", b"b"])),
        ("RSGIContent protocol raises", drive_raises(RuntimeError, lambda: RSGIContent(Protocol([b"x"], RuntimeError("closed"))).read())),
        ("RSGIContent stream raises", drive_raises(RuntimeError, lambda: collect(RSGIContent(Protocol([b"x"], RuntimeError("closed"))).stream()))),
        ("RSGIContent stream without __aiter__", drive_raises(TypeError, lambda: collect(RSGIContent(returning(b"")).stream()))),
        ("ASGIContent dispose between chunks", raises(InvalidOperation, dispose_between_chunks(lambda: ASGIContent(Receive([b"a", b"b"]))))),
        ("RSGIContent dispose between chunks", raises(InvalidOperation, dispose_between_chunks(lambda: RSGIContent(Protocol([b"a", b"b"]))))),
        ("FormPart", lambda: FormPart(name=b"up", data=io.BytesIO(b"d"), file_name=b"a.txt", content_type=b"t/p", size=1, charset=b"c")),
        ("FormPart equality and repr", lambda: (FormPart(b"a", b"1", b"f") == FormPart(b"a", b"1", b"f"), repr(FormPart(b"n", b"s")))),
        ("pickle FormPart", lambda: pickle.loads(pickle.dumps(FormPart(b"a", b"1", b"f", b"t/p", b"c", 1)))),
        ("FileBuffer", file_buffer),
        ("FileBuffer closed read", raises(ValueError, closed_file_buffer)),
        ("FileBuffer(bytes)", raises(TypeError, FileBuffer, b"bytes")),
        ("FileBuffer text file read", raises(TypeError, lambda: FileBuffer(io.StringIO("t")).read())),
        ("MultiPartFormData", lambda: MultiPartFormData(multipart_parts + [FormPart(b"doc", io.BytesIO(b"\x00bin"), file_name=b"a.bin")])),
        ("MultiPartFormData escapes names", lambda: MultiPartFormData([FormPart(b'x"\r\nX-Evil: 1', b"v", file_name=b'f"\n.txt')])),
        ("MultiPartFormData(tuple item)", raises(TypeError, MultiPartFormData, [(b"a", b"1")])),
        ("simplify_multipart_data", simplify),
        ("simplify_multipart_data(list)", raises(TypeError, simplify_multipart_data, [("a", [])])),
        ("parse_www_form_urlencoded(3)", raises(TypeError, parse_www_form_urlencoded, 3)),
        ("ServerSentEvent fields", lambda: ServerSentEvent("d", event="tick", id="7", retry=1500, comment="c")),
        ("ServerSentEvent write_data override", lambda: Custom([1]).write_data()),
        ("TextServerSentEvent(1)", raises(TypeError, TextServerSentEvent, 1)),
        ("TextServerSentEvent.data = 1", raises(TypeError, setattr, TextServerSentEvent("x"), "data", 1)),
        ("TextContent lone surrogate", raises(UnicodeEncodeError, TextContent, "\ud800")),
        ("JSONContent dumps gives int", raises(TypeError, JSONContent, 1, dumps=lambda obj: 5)),
        ("JSONContent(object())", raises(Exception, JSONContent, object())),
        ("StreamedContent sync provider", raises(TypeError, lambda: StreamedContent(b"x/y", lambda: [b"s"]).stream())),
        ("StreamedContent non-bytes piece", drive_raises(TypeError, lambda: StreamedContent(b"x/y", provider_of(b"a", 5)).read())),
        ("pickle ASGIContent", raises(TypeError, pickle.dumps, ASGIContent(lambda: None))),
        ("Content.type = str", raises(TypeError, setattr, Content(b"a/b", b"x"), "type", "a/b")),
        ("Content.length = str", raises(TypeError, setattr, Content(b"a/b", b"x"), "length", "1")),
    ]
    for i, case in enumerate(cases("test_contents", "test_bad_argument_types_name_the_argument")):
        ops.append((f"bad argument {i}: {case['arg']}", raises(TypeError, case["call"])))
    for i, case in enumerate(cases("test_contents", "test_form_content_bad_fields")):
        ops.append((f"FormContent bad fields {i}", raises(case["error"], FormContent, case["data"])))
    for i, case in enumerate(cases("test_contents", "test_form_part_bad_arguments")):
        ops.append((f"FormPart bad arguments {i}", raises(case["error"], lambda k=case["kwargs"]: FormPart(**k))))
    for i, case in enumerate(cases("test_contents", "test_multipart_refuses_unsafe_or_textual_parts")):
        ops.append((f"MultiPartFormData unsafe part {i}", raises(case["error"], MultiPartFormData, [case["part"]])))
    for i, case in enumerate(cases("test_contents", "test_simplify_undecodable_field_is_a_bad_request")):
        data = {"a": [FormPart(b"a", case["raw"], charset=case["charset"])]}
        ops.append((f"simplify undecodable {i}", raises(BadRequest, simplify_multipart_data, data)))
    for case in cases("test_contents", "test_parse_www_form_urlencoded"):
        ops.append((f"parse_www_form_urlencoded({case['text']!r})", lambda t=case["text"]: parse_www_form_urlencoded(t)))
    for i, case in enumerate(cases("test_contents", "test_server_sent_event_writes_json")):
        ops.append((f"ServerSentEvent write_data {i}", lambda d=case["data"]: ServerSentEvent(d).write_data()))
    for i, case in enumerate(cases("test_contents", "test_text_server_sent_event_writes_a_data_line_per_line")):
        ops.append((f"TextServerSentEvent write_data {i}", lambda d=case["data"]: TextServerSentEvent(d).write_data()))
    ops.append(("ServerSentEvent id with NUL", raises(ValueError, lambda: ServerSentEvent(1, id="a\x00"))))
    for label in ("utf-8", " Shift_JIS ", b"iso-8859-1", "utf8"):
        ops.append((f"charset_codec({label!r})", lambda lb=label: charset_codec(lb)))
    for label in ("utf-7", b"rot13", "no-such-charset", "x" * 100, "caf\u00e9"):
        ops.append((f"charset_codec({label!r}) refused"[:58], raises(BadRequest, charset_codec, label)))
    for i, case in enumerate(cases("test_contents", "test_server_sent_event_bad_fields")):
        ops.append((f"ServerSentEvent bad field {i}", raises(case["error"], lambda k=case["kwargs"]: ServerSentEvent("d", **k))))
    for i, case in enumerate(cases("test_contents", "test_asgi_bad_messages_raise")):
        ops.append((f"ASGIContent bad message {i}", drive_raises(case["error"], lambda m=case["message"]: ASGIContent(Channel(m)).read())))
    for i, case in enumerate(cases("test_contents", "test_rsgi_protocol_must_give_bytes")):
        ops.append((f"RSGIContent non-bytes body {i}", drive_raises(TypeError, lambda b=case["body"]: RSGIContent(returning(b)).read())))
    for i, case in enumerate(cases("test_contents", "test_restore_content_checks_its_input")):
        ops.append((f"_restore_content bad input {i}", raises(case["error"], _restore_content, *case["args"])))
    return ops


def _disposed_asgi():
    c = ASGIContent(Receive([b"x"]))
    c.dispose()
    return c.read()


def _streamed_asgi():
    c = ASGIContent(Receive([b"a", b"b"]))
    drive(collect(c.stream()))
    return c


async def _reset():
    raise ConnectionResetError("peer reset")
