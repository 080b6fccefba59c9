"""Streaming multipart/form-data parsing: brindlewick.multipart."""

import asyncio
import gc
import io
import tracemalloc

import httpx
import pytest
import urllib3
from hypothesis import given, settings, strategies as st

from brindlewick._multipart import Parser
from brindlewick.contents import StreamedFormPart
from brindlewick.exceptions import BadRequest
from brindlewick.multipart import get_boundary_from_header, parse_multipart_async

B = b"Xy9-boundary"
DELIM_LEN = len(b"\r\n--" + B)


def run(coro):
    return asyncio.run(coro)


async def _source(chunks):
    for c in chunks:
        yield c


def split_every(body, size):
    return [body[i : i + size] for i in range(0, len(body), size)]


async def _collect(chunks, boundary=B, **limits):
    parts = []
    async for part in parse_multipart_async(_source(chunks), boundary, **limits):
        data = b"".join([bytes(c) async for c in part.stream()])
        parts.append((part.name, part.file_name, part.content_type, part.charset, data))
    return parts


def parse(chunks, boundary=B, **limits):
    return run(_collect(chunks, boundary, **limits))


def build(*parts, boundary=B, preamble=b"", epilogue=b""):
    """parts: (header lines as bytes, data)."""
    out = [preamble]
    for i, (headers, data) in enumerate(parts):
        # Only the very first boundary line may go without a line break before it.
        out.append(b"--" + boundary + b"\r\n" if i == 0 and not preamble else b"\r\n--" + boundary + b"\r\n")
        out.append(b"".join(h + b"\r\n" for h in headers) + b"\r\n" + data)
    out.append(b"\r\n--" + boundary + b"--" + epilogue)
    return b"".join(out)


def field(name, data):
    return ([b'Content-Disposition: form-data; name="' + name + b'"'], data)


SAMPLE = build(
    field(b"title", b"hello world"),
    ([b'Content-Disposition: form-data; name="upload"; filename="notes.txt"',
      b"Content-Type: text/plain; charset=iso-8859-1"], b"line 1\r\nline 2\r\n--Xy9-boundar\r\n\r"),
    field(b"empty", b""),
    field(b"title", b"\r\n--Xy9-boun\r-"),
    preamble=b"This is the preamble.\r\n",
    epilogue=b"\r\nepilogue --Xy9-boundary--\r\n",
)
SAMPLE_PARTS = [
    ("title", None, None, None, b"hello world"),
    ("upload", "notes.txt", "text/plain", "iso-8859-1", b"line 1\r\nline 2\r\n--Xy9-boundar\r\n\r"),
    ("empty", None, None, None, b""),
    ("title", None, None, None, b"\r\n--Xy9-boun\r-"),
]


# ---- chunkings -----------------------------------------------------------------

@pytest.mark.parametrize("size", [1, 2, 3, 5, DELIM_LEN - 1, DELIM_LEN, DELIM_LEN + 1, 64 * 1024])
def test_sample_in_fixed_chunk_sizes(size):
    assert parse(split_every(SAMPLE, size)) == SAMPLE_PARTS


def test_sample_split_in_two_at_every_offset():
    for cut in range(1, len(SAMPLE)):
        assert parse([SAMPLE[:cut], SAMPLE[cut:]]) == SAMPLE_PARTS, cut


def test_sample_with_empty_and_non_bytes_chunks():
    chunks = [b"", bytearray(SAMPLE[:40]), b"", memoryview(SAMPLE)[40:100], SAMPLE[100:], b""]
    assert parse(chunks) == SAMPLE_PARTS


part_data = st.lists(
    st.sampled_from([b"a", b"\r", b"\n", b"-", b"--", b"\r\n", b"\r\n--", b"\r\n--Xy9", b"Xy9-boundary", b"z" * 40]),
    max_size=12,
).map(b"".join).filter(lambda d: (d + b"\r\n--" + B).find(b"\r\n--" + B) == len(d))  # a valid part never holds it


@settings(max_examples=300, deadline=None)
@given(st.lists(part_data, min_size=1, max_size=4), st.data())
def test_any_data_any_chunking(datas, draw):
    # Data that looks like pieces of the delimiter, cut at arbitrary points,
    # always comes back byte for byte.
    body = build(*(field(b"f%d" % i, d) for i, d in enumerate(datas)))
    cuts = sorted(draw.draw(st.sets(st.integers(1, len(body) - 1), max_size=8)))
    chunks = [body[a:b] for a, b in zip([0, *cuts], [*cuts, len(body)])]
    assert parse(chunks) == [(f"f{i}", None, None, None, d) for i, d in enumerate(datas)]


# ---- real client encoders --------------------------------------------------------

def _httpx_body():
    files = {"upload": ("report.bin", bytes(range(256)) * 300, "application/octet-stream")}
    request = httpx.Request("POST", "http://test/", data={"name": "Zoë", "n": "1"}, files=files)
    return request.read(), request.headers["content-type"].encode(), [
        ("name", None, None, None, "Zoë".encode()),
        ("n", None, None, None, b"1"),
        ("upload", "report.bin", "application/octet-stream", None, bytes(range(256)) * 300),
    ]


def _urllib3_body():
    fields = {"comment": "a\r\nb", "doc": ("résumé.txt", b"\r\n--\r\n" * 5000, "text/plain")}
    body, content_type = urllib3.encode_multipart_formdata(fields)
    return body, content_type.encode(), [
        ("comment", None, None, None, b"a\r\nb"),
        ("doc", "résumé.txt", "text/plain", None, b"\r\n--\r\n" * 5000),
    ]


def _own_encoder_body():
    from brindlewick.contents import FormPart, MultiPartFormData

    content = MultiPartFormData([
        FormPart(b"title", b"hello"),
        FormPart(b"doc", io.BytesIO(b"\x00binary\r\n--" * 999), file_name=b"a.bin"),
        FormPart(b"note", "caf\u00e9".encode("latin-1"), content_type=b"text/plain", charset=b"latin-1"),
    ])
    return content.body, content.type, [
        ("title", None, None, None, b"hello"),
        ("doc", "a.bin", "application/octet-stream", None, b"\x00binary\r\n--" * 999),
        ("note", None, "text/plain", "latin-1", b"caf\xe9"),
    ]


@pytest.mark.parametrize("encoder", [_httpx_body, _urllib3_body, _own_encoder_body])
@pytest.mark.parametrize("size", [1, 7, 100, 4096, 64 * 1024])
def test_client_encoders(encoder, size):
    body, content_type, expected = encoder()
    assert parse(split_every(body, size), get_boundary_from_header(content_type)) == expected


# ---- boundary from the header -----------------------------------------------------

@pytest.mark.parametrize(
    "value, boundary",
    [
        (b"multipart/form-data; boundary=abc123", b"abc123"),
        (b'multipart/form-data; boundary="a b:c"', b"a b:c"),
        (b"multipart/form-data;charset=utf-8;BOUNDARY=x", b"x"),
        (b'multipart/form-data; boundary="q"; other=1', b"q"),
        (b"multipart/form-data; boundary = spaced ", b"spaced"),
        ("multipart/form-data; boundary=text", b"text"),
        (b'multipart/form-data; note="a;boundary=evil"; boundary=real', b"real"),
        (b'multipart/form-data; note="q\\"; boundary=evil"; boundary="real"', b"real"),
        (b"multipart/form-data; flag; boundary=a=b", b"a=b"),
    ],
)
def test_get_boundary(value, boundary):
    assert get_boundary_from_header(value) == boundary


@pytest.mark.parametrize(
    "value",
    [
        b"multipart/form-data",
        b"multipart/form-data; charset=utf-8",
        b"multipart/form-data; boundary=",
        b'multipart/form-data; boundary=""',
        b'multipart/form-data; boundary="open',
        b"multipart/form-data; boundary=" + b"x" * 71,
        b"multipart/form-data; xboundary=abc",
        b'multipart/form-data; note="boundary=x',
        b"multipart/form-data; boundary=a\x00b",
    ],
)
def test_get_boundary_absent_or_unusable(value):
    with pytest.raises((ValueError, IndexError)):
        get_boundary_from_header(value)


# ---- part headers ------------------------------------------------------------------

@pytest.mark.parametrize(
    "headers, expected",
    [
        ([b"content-disposition: FORM-DATA; NAME=plain; FileName=a.txt"], ("plain", "a.txt", None, None)),
        ([b'Content-Disposition: form-data; name="x"; filename="C:\\dir\\a.txt"'], ("x", "C:\\dir\\a.txt", None, None)),
        ([b'Content-Disposition: form-data; name="q\\"uote"; filename="b\\\\s"'], ('q"uote', "b\\s", None, None)),
        ([b"Content-Disposition: form-data; name=x; filename*=UTF-8''na%C3%AFve%20file.txt"],
         ("x", "naïve file.txt", None, None)),
        ([b"Content-Disposition: form-data; name=x; filename*=iso-8859-1'en'%E9t%E9"], ("x", "été", None, None)),
        # RFC 7578 4.2: filename is reported when both are present.
        ([b"Content-Disposition: form-data; name=x; filename=\"plain\"; filename*=UTF-8''%E2%82%AC"],
         ("x", "plain", None, None)),
        ([b"Content-Disposition: form-data; name=x; filename*=UTF-8''..%2F..%2Fetc; filename=\"plain\""],
         ("x", "plain", None, None)),
        ([b'Content-Disposition: form-data; name="caf\xc3\xa9"'], ("café", None, None, None)),
        ([b'Content-Disposition: form-data; name="caf\xe9"'], ("café", None, None, None)),
        ([b'Content-Disposition: form-data; name=""'], ("", None, None, None)),
        ([b"Content-Type: image/png", b"X-Other: 1", b'Content-Disposition: form-data; name="i"'],
         ("i", None, "image/png", None)),
        ([b'Content-Disposition: form-data; name="t"', b'Content-Type: text/plain; format=flowed; charset="UTF-8"'],
         ("t", None, "text/plain", "UTF-8")),
        ([b"Content-Disposition: form-data;", b'\tname="folded"'], ("folded", None, None, None)),
    ],
)
def test_part_headers(headers, expected):
    body = build((headers, b"data"))
    assert parse([body]) == [(*expected, b"data")]
    assert parse(split_every(body, 1)) == [(*expected, b"data")]


@pytest.mark.parametrize(
    "body",
    [
        # transport padding after the boundary, bare LF line ends in the headers
        b"--" + B + b" \t\r\nContent-Disposition: form-data; name=a\n\nv\r\n--" + B + b"--",
        # no preamble CRLF needed; the close delimiter may end the body
        b"--" + B + b"\r\nContent-Disposition: form-data; name=a\r\n\r\nv\r\n--" + B + b"--\r\n",
        # preamble that contains the boundary text not at a line start
        b"x--" + B + b"\r\n--" + B + b"\r\nContent-Disposition: form-data; name=a\r\n\r\nv\r\n--" + B + b"--",
    ],
)
def test_framing_variants(body):
    assert parse(split_every(body, 1)) == [("a", None, None, None, b"v")]
    assert parse([body]) == [("a", None, None, None, b"v")]


def test_body_with_no_parts():
    assert parse([b"--" + B + b"--\r\n"]) == []


# ---- malformed bodies ------------------------------------------------------------------

OK_HEAD = b'Content-Disposition: form-data; name="a"'
MALFORMED = {
    "empty body": (b"", "boundary was not found"),
    "no boundary": (b"just some text\r\n", "boundary was not found"),
    "other boundary": (build(field(b"a", b"1"), boundary=b"other"), "boundary was not found"),
    "truncated part": (build(field(b"a", b"1234"))[:-len(B) - 8], "truncated part"),
    "missing final boundary": (b"--" + B + b"\r\n" + OK_HEAD + b"\r\n\r\nv\r\n--" + B, "missing final boundary"),
    "truncated headers": (b"--" + B + b"\r\n" + OK_HEAD + b"\r\n", "truncated part headers"),
    "no content-disposition": (build(([b"Content-Type: text/plain"], b"1")), "missing Content-Disposition"),
    "no name": (build(([b"Content-Disposition: form-data; filename=a"], b"1")), "has no name"),
    "line without colon": (build(([OK_HEAD, b"garbage"], b"1")), "without a field name"),
    "empty field name": (build(([OK_HEAD, b": value"], b"1")), "without a field name"),
    "space in field name": (build(([b"Content Disposition: form-data; name=a"], b"1")), "invalid header field"),
    "huge header line": (build(([OK_HEAD, b"X-Big: " + b"x" * 17000], b"1")), "larger than 16384 bytes"),
    "too many header lines": (build(([OK_HEAD] + [b"X-H: 1"] * 40, b"1")), "more than 32 header lines"),
    "continuation first": (build(([b" folded", OK_HEAD], b"1")), "continuation line"),
    "stray CR in header": (build(([OK_HEAD + b"\rX: 1"], b"1")), "control character"),
    "data after boundary": (b"--" + B + b"junk\r\n" + OK_HEAD + b"\r\n\r\nv\r\n--" + B + b"--", "unexpected data"),
    "single dash close": (build(field(b"a", b"1"))[:-1] + b"x", "unexpected data"),
    "unterminated quote": (build(([b'Content-Disposition: form-data; name="a'], b"1")), "unterminated quoted"),
    "junk after quote": (build(([b'Content-Disposition: form-data; name="a"b'], b"1")), "after a quoted"),
    "parameter without name": (build(([b"Content-Disposition: form-data; =a"], b"1")), "without a name"),
    "repeated name": (build(([b"Content-Disposition: form-data; name=a; name=b"], b"1")), "repeated name"),
    "two dispositions": (build(([OK_HEAD, OK_HEAD], b"1")), "more than one Content-Disposition"),
    "two content types": (build(([OK_HEAD, b"Content-Type: a/b", b"Content-Type: c/d"], b"1")),
                          "more than one Content-Type"),
    "filename* without quotes": (build(([OK_HEAD + b"; filename*=utf-8%41"], b"1")), "charset'language'value"),
    "filename* bad escape": (build(([OK_HEAD + b"; filename*=utf-8''%4"], b"1")), "percent-encoding"),
    "filename* bad utf-8": (build(([OK_HEAD + b"; filename*=utf-8''%FF"], b"1")), "not valid in its charset"),
    "filename* unknown charset": (build(([OK_HEAD + b"; filename*=koi8-r''%C1"], b"1")), "unsupported charset"),
    # The decoded name gets the checks of the literal form.
    "filename* with CR": (build(([OK_HEAD + b"; filename*=utf-8''a%0Db"], b"1")), "control character in filename"),
    "filename* with LF": (build(([OK_HEAD + b"; filename*=utf-8''a%0A.txt"], b"1")), "control character in filename"),
    "filename* with NUL": (build(([OK_HEAD + b"; filename*=utf-8''a.php%00.jpg"], b"1")),
                           "control character in filename"),
    "filename* with NUL beside filename": (
        build(([OK_HEAD + b'; filename="a.jpg"; filename*=utf-8\'\'a%00'], b"1")), "control character in filename"),
}


@pytest.mark.parametrize("size", [1, 5, 1 << 20])
@pytest.mark.parametrize("case", sorted(MALFORMED))
def test_malformed_bodies_raise_bad_request(case, size):
    body, message = MALFORMED[case]
    with pytest.raises(BadRequest, match=message) as info:
        parse(split_every(body, size) if body else [])
    assert info.value.status == 400


def test_header_limits_are_adjustable():
    body = build(([OK_HEAD] + [b"X-H: 1"] * 5, b"1"))
    assert parse([body], max_header_lines=6) == [("a", None, None, None, b"1")]
    with pytest.raises(BadRequest, match="more than 5 header lines"):
        parse([body], max_header_lines=5)
    with pytest.raises(BadRequest, match="larger than 64 bytes"):
        parse([body], max_header_size=64)


def test_truncation_inside_a_part_surfaces_in_its_stream():
    body = build(field(b"a", b"complete"), field(b"b", b"0123456789"))[: -len(b"789\r\n--" + B + b"--")]

    async def main():
        seen = []
        parts = parse_multipart_async(_source(split_every(body, 4)), B)
        first = await anext(parts)
        seen.append(b"".join([c async for c in first.stream()]))
        second = await anext(parts)
        with pytest.raises(BadRequest, match="truncated part"):
            async for chunk in second.stream():
                seen.append(chunk)
        with pytest.raises(BadRequest, match="truncated part"):  # the failure sticks
            await anext(parts)
        return seen

    seen = run(main())
    assert seen[0] == b"complete" and b"".join(seen[1:]) == b"0123456"


# ---- sequential consumption ---------------------------------------------------------

@pytest.mark.parametrize("read_first", [0, 1, 3])
@pytest.mark.parametrize("size", [1, 6, 4096])
def test_undrained_parts_are_skipped(read_first, size):
    body = build(field(b"big", b"x" * 1000), field(b"after", b"kept"))

    async def main():
        parts = parse_multipart_async(_source(split_every(body, size)), B)
        first = await anext(parts)
        stream = first.stream()
        got = [c for _ in range(read_first) if (c := await anext(stream, None)) is not None]
        second = await anext(parts)
        stale = [c async for c in first.stream()]  # no longer current: empty
        return got, stale, second.name, b"".join([c async for c in second.stream()])

    got, stale, name, data = run(main())
    assert all(set(c) == {ord("x")} for c in got) and stale == []
    assert (name, data) == ("after", b"kept")


class Gone(Exception):
    pass


@pytest.mark.parametrize("cut", [5, 60, 75])  # in the boundary line, the headers, the data
def test_errors_of_the_source_propagate_unchanged(cut):
    body = build(field(b"a", b"0123456789" * 3))

    async def source():
        yield body[:cut]
        raise Gone("client went away")

    with pytest.raises(Gone, match="client went away"):
        parse_chunks_from(source())


def parse_chunks_from(source):
    async def main():
        async for part in parse_multipart_async(source, B):
            async for _ in part.stream():
                pass

    run(main())


def test_source_is_closed_when_parsing_stops_early():
    closed = []

    async def source():
        try:
            yield build(field(b"a", b"1"), field(b"b", b"2"))
            yield b"epilogue that is never read"
        finally:
            closed.append(True)

    async def main():
        parts = parse_multipart_async(source(), B)
        assert (await anext(parts)).name == "a"
        await parts.aclose()  # the consumer stops before the end
        assert closed == [True]
        closed.clear()
        assert [p.name async for p in parse_multipart_async(source(), B)] == ["a", "b"]
        assert closed == [True]

    run(main())


def test_memory_stays_bounded_on_a_large_upload():
    # 64 MiB through chunks whose edges fall at shifting offsets, so that the
    # parser builds new data objects rather than passing chunks through.
    block = bytes(range(256)) * 2048  # 512 KiB
    total = 64 * 1024 * 1024
    head = b"--" + B + b"\r\n" + OK_HEAD + b'; filename="big"\r\n\r\n'
    tail = b"\r\n--" + B + b"--\r\n"

    async def source():
        yield head
        sent, step = 0, 65521
        while sent < total:
            n = min(step, total - sent)
            off = sent % 200000
            yield block[off : off + n]
            sent += n
        yield tail

    async def main():
        count = 0
        async for part in parse_multipart_async(source(), B):
            async for chunk in part.stream():
                count += len(chunk)
        return count

    gc.collect()
    tracemalloc.start()
    try:
        count = run(main())
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert count == total
    assert peak < 1024 * 1024, peak


# ---- the native parser and StreamedFormPart -------------------------------------------

@pytest.mark.parametrize("boundary", [b"", b"a\r\nb", b"a\nb", b"x" * 257])
def test_parser_rejects_unusable_boundaries(boundary):
    with pytest.raises(ValueError):
        Parser(boundary)


def test_parser_misuse():
    parser = Parser(B)
    with pytest.raises(TypeError):
        parser.feed("text")
    parser.feed(b"--" + B)
    with pytest.raises(ValueError, match="previous chunk"):
        parser.feed(b"more")
    with pytest.raises(ValueError, match="last chunk"):
        parser.finish()
    assert parser.next_part() == b"" and parser.needs_input
    parser.feed(b"--")
    assert parser.next_part() is None and parser.done
    parser.finish()
    with pytest.raises(ValueError, match="after finish"):
        parser.feed(b"")


def test_streamed_form_part():
    async def provider():
        yield b"a"
        yield b"b"

    part = StreamedFormPart("n", file_name="f.txt", content_type="text/plain", charset=None, data_provider=provider)
    assert (part.name, part.file_name, part.content_type, part.charset) == ("n", "f.txt", "text/plain", None)
    assert "name='n'" in repr(part)

    async def main():
        empty = StreamedFormPart("e").stream()
        return [c async for c in part.stream()], [c async for c in empty], await anext(empty, "done")

    assert run(main()) == ([b"a", b"b"], [], "done")
    part.charset = "utf-8"
    assert part.charset == "utf-8"
    with pytest.raises(TypeError):
        part.name = b"bytes"
    with pytest.raises(TypeError):
        StreamedFormPart(b"bytes")
    with pytest.raises(TypeError):
        StreamedFormPart("n", data_provider=42)

    class Named(StreamedFormPart):
        def __init__(self, label):
            super().__init__(name=label.upper())

    assert Named("x").name == "X"
