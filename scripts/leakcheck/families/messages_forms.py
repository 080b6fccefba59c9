"""Message forms: URL-encoded, multipart with files, files(), multipart(),
multipart_stream(), _multipart_to_dict_streaming, and parses that fail
(truncated bodies, a client gone mid-upload)."""

from brindlewick.contents import ASGIContent, Content
from brindlewick.exceptions import BadRequest, MessageAborted, PayloadTooLarge
from brindlewick.messages import Message, _multipart_to_dict_streaming

from leakcheck.support import Receive, chunked, collect, drive, drive_raises, test_module

ITERATIONS = 400

forms = test_module("test_message_forms")
BOUNDARY = forms.BOUNDARY
CT = forms.MULTIPART_CT
URLENCODED = (b"content-type", b"application/x-www-form-urlencoded")
BODY = forms.multipart_body(
    [
        (b"a", b"first", None, None),
        (b"a", b"second", None, None),
        (b"file", b"\x00\x01binary", b"data.bin", b"application/octet-stream"),
        (b"f", b"two", b"2.txt", b"text/plain"),
    ]
)


def multipart_message(body=BODY, content_type=CT, disconnect_after=None):
    m = Message([(b"content-type", content_type)])
    m.content = ASGIContent(Receive(chunked(body, 7), disconnect_after))
    return m


def fields_past_the_limit():
    m = multipart_message()
    m.max_body_size = 3
    return m.form()


def urlencoded():
    m = Message([URLENCODED])
    m.content = Content(b"", b"a=1&b=hello+world&a=2&c=")
    return drive(m.form())


def close_all(data):
    for parts in data.values():
        for part in parts:
            part.data.close()


def form_raw():
    close_all(drive(multipart_message().form(simplify_fields=False)))


def form_cached():
    m = multipart_message()
    drive(m.form(False))
    drive(m.form(False))
    drive(m.form())
    close_all(m._form_data)


def multipart():
    for part in drive(multipart_message().multipart()):
        part.data.close()


def files():
    m = multipart_message()
    drive(m.files("f"))
    drive(m.files(b"f"))
    drive(m.files())
    close_all(m._form_data)


def stream_parts():
    async def go():
        m = multipart_message()
        async for part in m.multipart_stream():
            await collect(part.stream())

    drive(go())


class Part:
    def __init__(self, name, chunks):
        self.name, self.file_name, self.content_type, self.charset = name, None, None, None
        self._chunks = chunks

    async def stream(self):
        for c in self._chunks:
            yield c


def to_dict_streaming():
    async def parts():
        yield Part("a", [b"12", b"345"])
        yield Part("a", [])

    close_all(drive(_multipart_to_dict_streaming(parts(), spool_max_size=4)))


def unrecognised(content_type):
    def op():
        m = Message([(b"content-type", content_type)])
        m.content = Content(b"", b"x")
        drive(m.form())
        drive(m.multipart())
        drive(m.files())
        drive(collect(m.multipart_stream()))

    return op


def operations():
    cut = BODY.index(b"second")
    return [
        ("form() urlencoded", urlencoded),
        ("form() both types in the header", lambda: drive(Message([(b"content-type", b"application/x-www-form-urlencoded; multipart/form-data; boundary=x")]).with_content(Content(b"", b"k=v")).form())),
        ("form(simplify_fields=False) multipart", form_raw),
        ("form() cached and simplified", form_cached),
        ("multipart()", multipart),
        ("files()", files),
        ("multipart_stream()", stream_parts),
        ("multipart_stream() without boundary", drive_raises(BadRequest, lambda: collect(Message([(b"content-type", b"multipart/form-data; charset=utf-8")]).multipart_stream()))),
        ("_multipart_to_dict_streaming", to_dict_streaming),
        ("form() of text/plain", unrecognised(b"text/plain")),
        ("form() of multipart without boundary", drive_raises(BadRequest, lambda: multipart_message(BODY, b"multipart/form-data").form())),
        ("form() fields past the limit", drive_raises(PayloadTooLarge, fields_past_the_limit)),
        ("form() truncated body", drive_raises(Exception, lambda: multipart_message(BODY[:-10]).form())),
        ("form() client gone mid-upload", drive_raises(MessageAborted, lambda: multipart_message(BODY, CT, disconnect_after=cut // 7).form())),
        ("multipart_stream() client gone", drive_raises(MessageAborted, lambda: collect(multipart_message(BODY, CT, disconnect_after=cut // 7).multipart_stream()))),
    ]
