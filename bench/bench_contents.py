"""Content objects: construction and body reads, beside equivalent `async def` code.

The coroutines are driven with send(None) over receive callables that complete
at once, so the numbers are the cost of the content objects themselves.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from _harness import per_call_ns, table  # noqa: E402

from brindlewick.contents import ASGIContent, Content, RSGIContent, TextContent  # noqa: E402
from brindlewick.exceptions import MessageAborted  # noqa: E402


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("suspended")


class PyASGIContent:
    """The same reading rules written as Python code: the floor."""

    def __init__(self, receive):
        self.receive = receive
        self.body = None

    async def read(self):
        if self.body is not None:
            return self.body
        parts = []
        while True:
            message = await self.receive()
            if message["type"] == "http.disconnect":
                raise MessageAborted()
            parts.append(message.get("body", b""))
            if not message.get("more_body", False):
                break
        self.body = b"".join(parts)
        return self.body

    async def stream(self):
        while True:
            message = await self.receive()
            if message["type"] == "http.disconnect":
                raise MessageAborted()
            chunk = message.get("body", b"")
            if chunk:
                yield chunk
            if not message.get("more_body", False):
                return


class PyRSGIContent:
    def __init__(self, protocol):
        self.protocol = protocol
        self.body = None

    async def read(self):
        if self.body is None:
            self.body = await self.protocol()
        return self.body


def receiver(messages):
    it = iter(messages)

    async def receive():
        return next(it)

    return receive


ONE = [{"type": "http.request", "body": b"x" * 512, "more_body": False}]
FOUR = [{"type": "http.request", "body": b"x" * 128, "more_body": True}] * 3 + [
    {"type": "http.request", "body": b"x" * 128, "more_body": False}
]


async def protocol():
    return b"x" * 512


async def drain(stream):
    async for _ in stream:
        pass


def main():
    g = {
        "drive": drive,
        "receiver": receiver,
        "ONE": ONE,
        "FOUR": FOUR,
        "protocol": protocol,
        "drain": drain,
        "ASGIContent": ASGIContent,
        "RSGIContent": RSGIContent,
        "PyASGIContent": PyASGIContent,
        "PyRSGIContent": PyRSGIContent,
        "Content": Content,
        "TextContent": TextContent,
        "kept": None,
    }
    kept = ASGIContent(receiver(ONE))
    drive(kept.read())
    py_kept = PyASGIContent(receiver(ONE))
    drive(py_kept.read())
    g.update(kept=kept, py_kept=py_kept)

    class PyContent:
        def __init__(self, content_type, data):
            self.type = content_type
            self.body = data
            self.length = len(data)

    g["PyContent"] = PyContent
    rows = [
        ("Content(type, body)", per_call_ns("Content(b'text/plain', b'hello')", globals=g),
         "Python class, 3 attributes", per_call_ns("PyContent(b'text/plain', b'hello')", globals=g)),
        ("TextContent(str)", per_call_ns("TextContent('hello')", globals=g),
         "Python class + str.encode", per_call_ns("PyContent(b'text/plain', 'hello'.encode())", globals=g)),
        ("ASGIContent read, 1 message", per_call_ns("drive(ASGIContent(receiver(ONE)).read())", globals=g),
         "async def read", per_call_ns("drive(PyASGIContent(receiver(ONE)).read())", globals=g)),
        ("ASGIContent read, 4 messages", per_call_ns("drive(ASGIContent(receiver(FOUR)).read())", globals=g),
         "async def read", per_call_ns("drive(PyASGIContent(receiver(FOUR)).read())", globals=g)),
        ("ASGIContent read, kept body", per_call_ns("drive(kept.read())", globals=g),
         "async def read", per_call_ns("drive(py_kept.read())", globals=g)),
        ("ASGIContent stream, 4 messages",
         per_call_ns("drive(drain(ASGIContent(receiver(FOUR)).stream()))", globals=g),
         "async generator", per_call_ns("drive(drain(PyASGIContent(receiver(FOUR)).stream()))", globals=g)),
        ("RSGIContent read", per_call_ns("drive(RSGIContent(protocol).read())", globals=g),
         "async def read", per_call_ns("drive(PyRSGIContent(protocol).read())", globals=g)),
    ]
    table("brindlewick.contents", rows)


if __name__ == "__main__":
    main()
