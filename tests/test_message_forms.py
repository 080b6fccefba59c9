"""Form data of messages: URL-encoded and multipart, whole and streamed."""

import gc
import tracemalloc

import pytest
from conftest import ScriptedReceive

from brindlewick.contents import ASGIContent, Content, FormPart
from brindlewick.exceptions import BadRequest
from brindlewick.messages import Message, _multipart_to_dict_streaming

BOUNDARY = b"----brindlewickBoundary7MA4YWxkTrZu0gW"


def multipart_body(parts, boundary=BOUNDARY):
    out = []
    for name, value, filename, content_type in parts:
        out.append(b"--" + boundary + b"\r\n")
        disposition = b'Content-Disposition: form-data; name="' + name + b'"'
        if filename is not None:
            disposition += b'; filename="' + filename + b'"'
        out.append(disposition + b"\r\n")
        if content_type:
            out.append(b"Content-Type: " + content_type + b"\r\n")
        out.append(b"\r\n" + value + b"\r\n")
    out.append(b"--" + boundary + b"--\r\n")
    return b"".join(out)


MULTIPART_CT = b"multipart/form-data; boundary=" + BOUNDARY


def form_message(body, content_type, chunk=7):
    chunks = [body[i : i + chunk] for i in range(0, len(body), chunk)]
    m = Message([(b"content-type", content_type)])
    m.content = ASGIContent(ScriptedReceive(chunks))
    return m


def test_urlencoded_form_is_not_cached(run):
    m = Message([(b"content-type", b"application/x-www-form-urlencoded")])
    m.content = Content(b"", b"a=1&b=hello+world&a=2&c=")
    assert run(m.form()) == {"a": ["1", "2"], "b": "hello world", "c": ""}
    assert m._form_data is None
    assert run(m.form()) == {"a": ["1", "2"], "b": "hello world", "c": ""}


@pytest.mark.parametrize(
    "content_type",
    [b"text/plain", b"", b"text/plain; x=multipart/form-data; boundary=x",
     b"text/plain; charset=application/x-www-form-urlencoded", b"multipart/form-datax; boundary=x"],
)
def test_unrecognised_form_types(content_type, run):
    # The form types are told by the media type alone.
    m = Message([(b"content-type", content_type)] if content_type else [])
    m.content = Content(b"", b"x")
    assert run(m.form()) is None
    assert run(m.multipart()) == []
    assert run(m.files()) == []

    async def parts():
        return [p async for p in m.multipart_stream()]

    assert run(parts()) == []


@pytest.mark.parametrize(
    "content_type",
    [b"application/x-www-form-urlencoded", b"application/x-www-form-urlencoded; multipart/form-data; boundary=x"],
)
def test_urlencoded_body_has_no_multipart_parts(content_type, run):
    m = Message([(b"content-type", content_type)])
    m.content = Content(b"", b"a=hello&b=1&b=2")
    assert run(m.multipart()) == []
    assert run(m.files()) == []
    assert run(m.files("a")) == []
    assert run(m.form()) == {"a": "hello", "b": ["1", "2"]}


def test_cached_form_data_is_walked_whatever_the_content_type(run):
    part = FormPart(name=b"f", data=b"x", file_name=b"f.txt", content_type=b"text/plain", size=1, charset=None)
    m = Message([(b"content-type", b"application/x-www-form-urlencoded")])
    m._form_data = {"f": [part]}
    assert run(m.multipart()) == [part]
    assert run(m.files(b"f")) == [part]


@pytest.mark.parametrize(
    "first", ["brindlewick.messages", "brindlewick.multipart", "brindlewick.contents"]
)
def test_messages_loads_whichever_module_comes_first(first):
    import subprocess
    import sys

    code = (
        f"import {first}\n"
        "import brindlewick.messages as m, brindlewick.multipart as mp\n"
        "print(m.Message([]).has_header(b'x'), mp.get_boundary_from_header is not None)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout.strip()) == (0, "False True"), proc.stderr


def test_both_form_types_in_the_header_is_urlencoded(run):
    m = Message([(b"content-type", b"application/x-www-form-urlencoded; multipart/form-data; boundary=x")])
    m.content = Content(b"", b"k=v")
    assert run(m.form()) == {"k": "v"}


def test_multipart_form_caches_and_simplifies(run):
    body = multipart_body(
        [
            (b"a", b"first", None, None),
            (b"a", b"second", None, None),
            (b"file", b"\x00\x01binary", b"data.bin", b"application/octet-stream"),
        ]
    )
    m = form_message(body, MULTIPART_CT)
    raw = run(m.form(simplify_fields=False))
    assert raw is m._form_data and list(raw) == ["a", "file"]
    first, second = raw["a"]
    assert isinstance(first, FormPart) and first.name == b"a" and first.file_name is None
    assert first.data.read() == b"first" and first.size == 5
    assert second.data.read() == b"second"
    upload = raw["file"][0]
    assert upload.file_name == b"data.bin" and upload.content_type == b"application/octet-stream"
    assert upload.size == 8
    assert run(m.form(False)) is raw  # served from the cache
    simplified = run(m.form())
    assert simplified["a"] == ["first", "second"]
    assert isinstance(simplified["file"], FormPart)


def test_multipart_and_files(run):
    body = multipart_body(
        [
            (b"f", b"one", b"1.txt", b"text/plain"),
            (b"field", b"plain", None, None),
            (b"f", b"two", b"2.txt", b"text/plain"),
        ]
    )
    m = form_message(body, MULTIPART_CT)
    parts = run(m.multipart())
    assert [p.name for p in parts] == [b"f", b"f", b"field"]
    by_str = run(m.files("f"))
    by_bytes = run(m.files(b"f"))
    assert [p.file_name for p in by_str] == [b"1.txt", b"2.txt"] == [p.file_name for p in by_bytes]
    assert [p.file_name for p in run(m.files())] == [b"1.txt", b"2.txt"]


@pytest.mark.parametrize(
    "content_type, message",
    [
        (b"multipart/form-data", "no boundary parameter"),
        (b"multipart/form-data; charset=utf-8", "no boundary parameter"),
        (b'multipart/form-data; boundary=""', "empty multipart boundary"),
        (b'multipart/form-data; boundary="abc', "unterminated quoted string"),
        (b"multipart/form-data; boundary=" + b"b" * 210, "longer than 70 bytes"),
    ],
)
@pytest.mark.parametrize("reader", ["form", "multipart", "files", "multipart_stream"])
def test_unusable_boundary_is_a_bad_request(content_type, message, reader, run):
    # Not "no parts": an upload whose parts cannot be found did not succeed.
    m = form_message(b"--x\r\n", content_type)

    async def read():
        if reader == "multipart_stream":
            return [p async for p in m.multipart_stream()]
        return await getattr(m, reader)()

    with pytest.raises(BadRequest, match=message) as caught:
        run(read())
    assert caught.value.status == 400 and isinstance(caught.value.__cause__, ValueError)


def test_spooling_threshold(run):
    limit = 1024 * 1024
    body = multipart_body([(b"small", b"x" * limit, b"s.bin", None), (b"big", b"y" * (limit + 1), b"b.bin", None)])
    m = form_message(body, MULTIPART_CT, chunk=65536)
    data = run(m.form(False))
    small, big = data["small"][0], data["big"][0]
    assert small.size == limit and big.size == limit + 1
    assert not small.data._rolled and big.data._rolled
    assert small.data.read() == b"x" * limit and big.data.read(3) == b"yyy"


def test_failed_parse_leaves_no_cache(run):
    body = multipart_body([(b"a", b"value", None, None)])
    m = form_message(body[:-10], MULTIPART_CT)  # truncated
    with pytest.raises(Exception):
        run(m.form())
    assert m._form_data is None
    gc.collect()


def test_multipart_to_dict_streaming_custom_threshold(run):
    class Part:
        def __init__(self, name, chunks):
            self.name, self.file_name, self.content_type, self.charset = name, None, None, None
            self._chunks = chunks

        async def stream(self):
            for c in self._chunks:
                yield c

    async def parts():
        yield Part("a", [b"12", b"345"])
        yield Part("a", [])

    result = run(_multipart_to_dict_streaming(parts(), spool_max_size=4))
    first, empty = result["a"]
    assert first.size == 5 and first.data._rolled and first.data.read() == b"12345"
    assert empty.size == 0 and empty.name == b"a"


def test_large_upload_has_bounded_memory(run):
    size = 20 * 1024 * 1024
    payload = b"z" * 65536
    head = (
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="up"; filename="big.bin"\r\n\r\n'
    )
    tail = b"\r\n--" + BOUNDARY + b"--\r\n"

    class Receive:
        def __init__(self):
            self.sent = 0
            self.stage = 0

        async def __call__(self):
            if self.stage == 0:
                self.stage = 1
                return {"type": "http.request", "body": head, "more_body": True}
            if self.sent < size:
                self.sent += len(payload)
                return {"type": "http.request", "body": payload, "more_body": True}
            return {"type": "http.request", "body": tail, "more_body": False}

    m = Message([(b"content-type", MULTIPART_CT)])
    m.content = ASGIContent(Receive())
    tracemalloc.start()
    try:
        data = run(m.form(False))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    part = data["up"][0]
    assert part.size == size
    assert peak < 8 * 1024 * 1024, peak
    part.data.close()


def test_client_encoder_bodies_parse_like_hand_built_ones(run):
    httpx = pytest.importorskip("httpx")
    request = httpx.Request(
        "POST",
        "http://example.com/",
        data={"title": "caf\u00e9", "tags": ["a", "b"]},
        files={"upload": ("notes.txt", b"line one\r\nline two\r\n", "text/plain")},
    )
    body = request.read()
    content_type = request.headers["content-type"].encode()
    m = form_message(body, content_type, chunk=5)
    form = run(m.form())
    assert form["title"] == "caf\u00e9"
    assert form["tags"] == ["a", "b"]
    upload = form["upload"]
    assert upload.file_name == b"notes.txt" and upload.content_type == b"text/plain"
    assert upload.data.read() == b"line one\r\nline two\r\n"


@pytest.mark.parametrize("cut_in_second_part", [False, True])
def test_disconnect_mid_upload_closes_unreachable_files(cut_in_second_part, run, monkeypatch):
    import tempfile

    from brindlewick.exceptions import MessageAborted

    made = []
    original_init = tempfile.SpooledTemporaryFile.__init__

    def tracking_init(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        made.append(self)

    # The module binds the class when it loads: record the files it makes.
    monkeypatch.setattr(tempfile.SpooledTemporaryFile, "__init__", tracking_init)
    body = multipart_body([(b"a", b"x" * 50, None, None), (b"b", b"y" * 50, b"f.bin", None)])
    cut = body.index(b"y" * 10) if cut_in_second_part else body.index(b"x" * 10)
    chunks = [body[:cut], body[cut : cut + 5]]
    m = Message([(b"content-type", MULTIPART_CT)])
    m.content = ASGIContent(ScriptedReceive(chunks + [b"z"], disconnect_after=2))
    with pytest.raises(MessageAborted):
        run(m.form())
    assert m._form_data is None
    assert made and all(f.closed for f in made)
