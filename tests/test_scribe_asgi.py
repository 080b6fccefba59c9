"""brindlewick.scribe: the ASGI writer, get_chunks and write_chunks."""

import asyncio

import pytest

import brindlewick.scribe as scribe
from brindlewick.contents import Content, JSONContent, StreamedContent
from brindlewick.messages import Response

MAX = 61440


class RecordingSend:
    def __init__(self, fail_at=None):
        self.messages = []
        self.fail_at = fail_at

    async def __call__(self, message):
        if self.fail_at is not None and len(self.messages) == self.fail_at:
            raise ConnectionResetError("send failed")
        await asyncio.sleep(0)
        self.messages.append(message)


def streamed(*pieces, length=-1):
    async def provider():
        for piece in pieces:
            await asyncio.sleep(0)
            yield piece

    return StreamedContent(b"text/plain", provider, length)


def send_all(response, send=None):
    send = send or RecordingSend()
    assert asyncio.run(scribe.send_asgi_response(response, send)) is None
    return send.messages


def body(data, more):
    return {"type": "http.response.body", "body": data, "more_body": more}


def test_start_message_carries_the_head_and_leaves_the_response_alone():
    raw = [(b"x-a", b"1")]
    r = Response(201, raw, JSONContent({"a": 1}))
    start, whole = send_all(r)
    assert start == {"type": "http.response.start", "status": 201,
                     "headers": [(b"x-a", b"1"), (b"content-type", b"application/json"), (b"content-length", b"7")]}
    # A list shared by several responses (a module constant) never grows.
    assert raw == [(b"x-a", b"1")] and r.headers.values is raw
    assert send_all(r)[0] == start
    assert whole == body(b'{"a":1}', False)
    assert list(start) == ["type", "status", "headers"]


@pytest.mark.parametrize("status, length", [(200, b"0"), (204, None)])
def test_no_content_sends_the_empty_body_without_more_body(status, length):
    start, end = send_all(Response(status))
    assert dict(start["headers"]).get(b"content-length") == length
    assert end == {"type": "http.response.body", "body": b""}


@pytest.mark.parametrize(
    "size, expected",
    [
        (MAX, [(MAX, False)]),
        (MAX + 1, [(MAX, True), (1, True), (0, False)]),
        (2 * MAX, [(MAX, True), (MAX, True), (0, False)]),
    ],
)
def test_large_bodies_go_in_pieces(size, expected):
    data = bytes(range(256)) * (size // 256) + b"z" * (size % 256)
    messages = send_all(Response(200, None, Content(b"application/octet-stream", data)))[1:]
    assert [(len(m["body"]), m["more_body"]) for m in messages] == expected
    assert b"".join(m["body"] for m in messages) == data


def test_get_chunks_is_looked_up_at_call_time(monkeypatch):
    calls = []

    def fake(data):
        calls.append(len(data))
        return iter([b"ab", b"", b"cd", None])

    monkeypatch.setattr(scribe, "get_chunks", fake)
    messages = send_all(Response(200, None, Content(b"a/b", b"x" * (MAX + 5))))[1:]
    assert calls == [MAX + 5]
    # Empty pieces in the middle send nothing; the body ends once.
    assert messages == [body(b"ab", True), body(b"cd", True), body(b"", False)]


def test_chunk_iterator_of_the_wrong_type_fails_before_sending(monkeypatch):
    monkeypatch.setattr(scribe, "get_chunks", lambda data: iter([b"ok", 5]))
    send = RecordingSend()
    with pytest.raises(TypeError, match="^Expected bytes, got int$"):
        asyncio.run(scribe.send_asgi_response(Response(200, None, Content(b"a/b", b"x" * (MAX + 1))), send))
    assert [m.get("body") for m in send.messages[1:]] == [b"ok"]


@pytest.mark.parametrize(
    "pieces, expected",
    [
        ((), [body(b"", False)]),
        ((b"a", b"b"), [body(b"a", True), body(b"b", True), body(b"", False)]),
        # the only empty piece is the last one: exactly the messages of a plain stream end
        ((b"a", b""), [body(b"a", True), body(b"", False)]),
        # empty pieces in the middle are not sent; the body ends once, at the end
        ((b"a", b"", b"b"), [body(b"a", True), body(b"b", True), body(b"", False)]),
        ((None, b"a", None), [body(b"a", True), body(b"", False)]),
    ],
)
def test_streamed_content(pieces, expected):
    assert send_all(Response(200, None, streamed(*pieces)))[1:] == expected


def test_streamed_content_of_fixed_length_is_still_streamed():
    messages = send_all(Response(200, None, streamed(b"ab", b"cd", length=4)))
    assert messages[0]["headers"][-1] == (b"content-length", b"4")
    assert messages[1:] == [body(b"ab", True), body(b"cd", True), body(b"", False)]


@pytest.mark.parametrize("piece, name", [(5, "int"), (object(), "object"), ([b"x"], "list")])
def test_streamed_piece_of_the_wrong_type(piece, name):
    send = RecordingSend()
    with pytest.raises(TypeError, match=f"^Expected bytes, got {name}$"):
        asyncio.run(scribe.send_asgi_response(Response(200, None, streamed(b"a", piece, b"b")), send))
    assert [m.get("body") for m in send.messages] == [None, b"a"]


class ListParts(StreamedContent):
    def get_parts(self):
        return [b"a"]


def test_get_parts_that_is_not_async_iterable():
    send = RecordingSend()
    with pytest.raises(TypeError, match="^'async for' requires an object with __aiter__ method, got list$"):
        asyncio.run(scribe.send_asgi_response(Response(200, None, ListParts(b"a/b", _never)), send))
    assert len(send.messages) == 1
    with pytest.raises(TypeError, match="^'async for' requires an object with __aiter__ method, got list$"):
        asyncio.run(collect(scribe.write_chunks(ListParts(b"a/b", _never))))


def _never():
    raise AssertionError("not called")


def test_send_failing_midway_ends_the_coroutine_and_nothing_more_is_sent():
    send = RecordingSend(fail_at=2)
    with pytest.raises(ConnectionResetError):
        asyncio.run(scribe.send_asgi_response(Response(200, None, streamed(b"a", b"b", b"c")), send))
    assert len(send.messages) == 2


def test_iterator_failure_propagates_without_a_closing_message():
    async def provider():
        yield b"a"
        raise ValueError("source broke")

    send = RecordingSend()
    with pytest.raises(ValueError, match="source broke"):
        asyncio.run(scribe.send_asgi_response(Response(200, None, StreamedContent(b"a/b", provider)), send))
    assert send.messages[1:] == [body(b"a", True)]


def test_arguments_are_checked_when_called():
    with pytest.raises(TypeError, match=r"Argument 'response' has incorrect type \(expected Response, got dict\)"):
        scribe.send_asgi_response({}, RecordingSend())
    with pytest.raises(TypeError):
        scribe.send_asgi_response(Response(200))
    coro = scribe.send_asgi_response(send=RecordingSend(), response=Response(200))
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()


@pytest.mark.parametrize(
    "data, sizes",
    [(b"", [0]), (b"abc", [3, 0]), (b"x" * MAX, [MAX, 0]), (b"x" * (MAX + 1), [MAX, 1, 0]),
     (bytearray(b"x" * (MAX + 2)), [MAX, 2, 0])],
)
def test_get_chunks(data, sizes):
    chunks = list(scribe.get_chunks(data))
    assert [len(c) for c in chunks] == sizes
    assert b"".join(chunks) == data
    assert chunks[-1] == b"" and type(chunks[-1]) is bytes


def test_get_chunks_of_none():
    with pytest.raises(TypeError):
        list(scribe.get_chunks(None))


async def collect(agen):
    return [chunk async for chunk in agen]


@pytest.mark.parametrize(
    "pieces, expected",
    [
        ((b"hello", b"abcdefghijklmnopqrstuvwxyz"),
         b"5\r\nhello\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n"),
        ((), b"0\r\n\r\n"),
        # an empty piece in the middle does not end the framing early
        ((b"ab", b"", None, b"c"), b"2\r\nab\r\n1\r\nc\r\n0\r\n\r\n"),
        ((bytearray(b"ab"), memoryview(b"xyz")), b"2\r\nab\r\n3\r\nxyz\r\n0\r\n\r\n"),
        ((b"x" * 4096,), b"1000\r\n" + b"x" * 4096 + b"\r\n0\r\n\r\n"),
    ],
)
def test_write_chunks(pieces, expected):
    chunks = asyncio.run(collect(scribe.write_chunks(streamed(*pieces))))
    assert b"".join(chunks) == expected
    assert chunks[-1] == b"0\r\n\r\n"


def test_write_chunks_rejects_pieces_of_other_types():
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        asyncio.run(collect(scribe.write_chunks(streamed(b"a", "b"))))
    with pytest.raises(TypeError, match="Argument 'http_content' has incorrect type"):
        scribe.write_chunks(b"abc")
