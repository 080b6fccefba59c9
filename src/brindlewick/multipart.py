"""Streaming multipart/form-data parsing.

The byte-level work is done by the native incremental parser of
``brindlewick._multipart``; this module drives it from an async iterable of
body chunks.  Parts come out of one sequential stream: the data of a part
must be read (or is skipped) before the next part is produced.
"""

from __future__ import annotations

from typing import AsyncIterable, AsyncIterator

from brindlewick._multipart import Parser
from brindlewick.contents import StreamedFormPart

__all__ = ["get_boundary_from_header", "parse_multipart_async", "MAX_HEADER_SIZE", "MAX_HEADER_LINES"]

# Limits of one part's header block.
MAX_HEADER_SIZE = 16384
MAX_HEADER_LINES = 32

_MAX_BOUNDARY = 70  # RFC 2046


def _params(value: bytes):
    """(lower-case name, raw value) of each parameter of a header value,
    honouring quoted strings, so that a ';' or a "boundary=" inside another
    parameter's quotes is not taken for a parameter of its own."""
    i, n = value.find(b";"), len(value)
    if i < 0:
        return
    i += 1
    while i < n:
        end = i
        while end < n and value[end] not in b";=":
            end += 1
        key = value[i:end].strip(b" \t").lower()
        if end >= n or value[end] == 0x3B:  # no value
            i = end + 1
            continue
        j = end + 1
        while j < n and value[j] in b" \t":
            j += 1
        if j < n and value[j] == 0x22:  # quoted
            k = j + 1
            while k < n and value[k] != 0x22:
                k += 2 if value[k] == 0x5C else 1
            if k >= n:
                raise ValueError("unterminated quoted string in the Content-Type")
            yield key, value[j : k + 1]
            i = value.find(b";", k + 1)
            i = n if i < 0 else i + 1
        else:
            k = value.find(b";", j)
            k = n if k < 0 else k
            yield key, value[j:k].strip(b" \t")
            i = k + 1


def get_boundary_from_header(value: bytes) -> bytes:
    """Returns the boundary parameter of a multipart Content-Type value.

    The parameter may be quoted or bare; its name is matched without regard
    to case.  Raises ValueError when there is no usable boundary.
    """
    if isinstance(value, str):
        value = value.encode("latin-1")
    elif not isinstance(value, bytes):
        value = bytes(value)
    for key, raw in _params(value):
        if key != b"boundary":
            continue
        boundary = raw[1:-1] if raw[:1] == b'"' else raw
        if not boundary:
            raise ValueError("empty multipart boundary")
        if len(boundary) > _MAX_BOUNDARY:
            raise ValueError(f"multipart boundary longer than {_MAX_BOUNDARY} bytes")
        if any(c < 0x20 or c > 0x7E for c in boundary) or b"\\" in boundary:
            raise ValueError("multipart boundary with characters that a boundary cannot hold")
        return boundary
    raise ValueError("no boundary parameter in the multipart Content-Type")


class _Reader:
    """Shared state of one body: the parser, the chunk source, and the part
    whose data may currently be read."""

    __slots__ = ("parser", "source", "exhausted")

    def __init__(self, parser: Parser, chunks: AsyncIterable[bytes]):
        self.parser = parser
        self.source = aiter(chunks)
        self.exhausted = False

    async def pull(self) -> None:
        """Feeds the parser the next chunk; at the end of the source, checks
        that the body was complete (BadRequest otherwise)."""
        if self.exhausted:
            self.parser.finish()
            return
        try:
            chunk = await anext(self.source)
        except StopAsyncIteration:
            self.exhausted = True
            self.parser.finish()
            return
        self.parser.feed(chunk)

    async def part_data(self, index: int) -> AsyncIterator[bytes]:
        parser = self.parser
        read = parser.read_data
        while parser.part_index == index:
            data = read()
            if data is None:
                return
            if data:
                yield data
            else:
                await self.pull()


class _PartData:
    """Callable handed to StreamedFormPart: a fresh async iterator over the
    part's data on each call, empty once the part is no longer current."""

    __slots__ = ("reader", "index")

    def __init__(self, reader: _Reader, index: int):
        self.reader = reader
        self.index = index

    def __call__(self) -> AsyncIterator[bytes]:
        return self.reader.part_data(self.index)


async def parse_multipart_async(
    chunks: AsyncIterable[bytes],
    boundary: bytes,
    *,
    max_header_size: int = MAX_HEADER_SIZE,
    max_header_lines: int = MAX_HEADER_LINES,
) -> AsyncIterator[StreamedFormPart]:
    """Yields the parts of a multipart/form-data body as they are parsed.

    `chunks` is an async iterable of bytes-like body pieces, of any sizes.
    Each part's ``stream()`` yields its data as it arrives; data left unread
    when the next part is requested is skipped.  A malformed or truncated
    body raises BadRequest.
    """
    if isinstance(boundary, str):
        boundary = boundary.encode("latin-1")
    parser = Parser(boundary, max_header_size, max_header_lines)
    reader = _Reader(parser, chunks)
    next_part = parser.next_part
    try:
        while True:
            head = next_part()
            while head == b"":
                await reader.pull()
                head = next_part()
            if head is None:
                return
            name, file_name, content_type, charset = head
            yield StreamedFormPart(name, file_name, content_type, charset, _PartData(reader, parser.part_index))
    finally:
        # The epilogue is never read: release the source at once rather than
        # leaving a suspended async generator to the garbage collector.
        if not reader.exhausted:
            close = getattr(reader.source, "aclose", None)
            if close is not None:
                await close()
