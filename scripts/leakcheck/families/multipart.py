"""brindlewick._multipart and brindlewick.multipart: the native parser driven
directly, parse_multipart_async over good and malformed bodies, boundaries."""

from brindlewick._multipart import Parser
from brindlewick.contents import StreamedFormPart
from brindlewick.exceptions import BadRequest
from brindlewick.multipart import get_boundary_from_header, parse_multipart_async

from leakcheck.support import cases, chunked, collect, drive, drive_raises, raises, test_module

ITERATIONS = 300

mp = test_module("test_multipart")
B = mp.B


async def source(chunks):
    for c in chunks:
        yield c


async def parse(chunks, boundary=B, **limits):
    out = []
    async for part in parse_multipart_async(source(chunks), boundary, **limits):
        out.append((part.name, part.file_name, b"".join([bytes(c) async for c in part.stream()])))
    return out


def parser_direct():
    p = Parser(B)
    chunks = iter(chunked(mp.SAMPLE, 40))

    def pull():
        chunk = next(chunks, None)
        p.finish() if chunk is None else p.feed(chunk)

    while (head := p.next_part()) is not None:
        if head == b"":
            pull()
            continue
        index = p.part_index
        while p.part_index == index and (data := p.read_data()) is not None:
            if not data:
                pull()
    return p.done, p.needs_input


def parser_misuse():
    p = Parser(B)
    p.feed(b"--" + B)
    try:
        p.feed(b"more")
    except ValueError:
        pass
    try:
        p.finish()
    except ValueError:
        pass
    p.next_part()
    p.feed(b"--")
    p.next_part()
    p.finish()
    p.feed(b"")


async def undrained():
    parts = parse_multipart_async(source(chunked(mp.build(mp.field(b"big", b"x" * 1000), mp.field(b"after", b"kept")), 64)), B)
    first = await anext(parts)
    await anext(first.stream())
    second = await anext(parts)
    return await collect(second.stream())


async def stops_early():
    parts = parse_multipart_async(source([mp.SAMPLE]), B)
    await anext(parts)
    await parts.aclose()


class Gone(Exception):
    pass


async def gone_source():
    yield mp.build(mp.field(b"a", b"0123456789" * 3))[:60]
    raise Gone("client went away")


async def gone():
    async for part in parse_multipart_async(gone_source(), B):
        await collect(part.stream())


async def streamed_form_part():
    async def provider():
        yield b"a"
        yield b"b"

    part = StreamedFormPart("n", file_name="f.txt", content_type="text/plain", data_provider=provider)
    repr(part)
    return await collect(part.stream()), await collect(StreamedFormPart("e").stream())


def operations():
    ops = [
        ("Parser over the sample", parser_direct),
        ("Parser misuse", raises(ValueError, parser_misuse)),
        ("Parser.feed(str)", raises(TypeError, lambda: Parser(B).feed("text"))),
        ("parse sample, one chunk", lambda: drive(parse([mp.SAMPLE]))),
        ("parse sample, 5-byte chunks", lambda: drive(parse(chunked(mp.SAMPLE, 5)))),
        ("parse sample, mixed chunk types", lambda: drive(parse([b"", bytearray(mp.SAMPLE[:40]), memoryview(mp.SAMPLE)[40:100], mp.SAMPLE[100:]]))),
        ("parse with header limits", drive_raises(BadRequest, lambda: parse([mp.build(([mp.OK_HEAD] + [b"X-H: 1"] * 5, b"1"))], max_header_lines=5))),
        ("undrained parts skipped", lambda: drive(undrained())),
        ("consumer stops early", lambda: drive(stops_early())),
        ("source error propagates", drive_raises(Gone, gone)),
        ("StreamedFormPart", lambda: drive(streamed_form_part())),
        ("StreamedFormPart(bytes)", raises(TypeError, StreamedFormPart, b"bytes")),
        ("StreamedFormPart(data_provider=42)", raises(TypeError, lambda: StreamedFormPart("n", data_provider=42))),
    ]
    for case in cases("test_multipart", "test_get_boundary"):
        ops.append((f"boundary {case['value']!r}"[:58], lambda v=case["value"]: get_boundary_from_header(v)))
    for case in cases("test_multipart", "test_get_boundary_absent_or_unusable"):
        ops.append((f"no boundary {case['value']!r}"[:58], raises((ValueError, IndexError), get_boundary_from_header, case["value"])))
    for i, case in enumerate(cases("test_multipart", "test_part_headers")):
        ops.append((f"part headers {i}", lambda b=mp.build((case["headers"], b"data")): drive(parse([b]))))
    for i, case in enumerate(cases("test_multipart", "test_framing_variants")):
        ops.append((f"framing variant {i}", lambda b=case["body"]: drive(parse(chunked(b, 3)))))
    for case in cases("test_multipart", "test_malformed_bodies_raise_bad_request"):
        if case["size"] == 1:
            continue  # the 5-byte and whole-body cuts cover the same error paths at less cost
        body = mp.MALFORMED[case["case"]][0]
        chunks = chunked(body, case["size"]) if body else []
        ops.append((f"malformed: {case['case']} /{case['size']}", drive_raises(BadRequest, lambda c=chunks: parse(c))))
    for case in cases("test_multipart", "test_parser_rejects_unusable_boundaries"):
        ops.append((f"Parser({case['boundary'][:12]!r})", raises(ValueError, Parser, case["boundary"])))
    return ops
