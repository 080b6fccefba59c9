"""Body intake: JSON, text and forms, beside Starlette's Request and a plain async def floor."""

import asyncio
import json
import os
import sys
import time
from urllib.parse import parse_qs

import msgspec

sys.path.insert(0, os.path.dirname(__file__))

from _harness import table  # noqa: E402

from brindlewick.contents import ASGIContent  # noqa: E402
from brindlewick.messages import Message  # noqa: E402

try:
    from starlette.requests import Request as StarletteRequest
except ImportError:  # pragma: no cover - benchmark-only dependency
    StarletteRequest = None

BOUNDARY = b"benchboundary1234567890"


def json_body(size):
    item = {"id": 12345, "name": "a reasonably long name", "tags": ["x", "y", "z"], "ok": True}
    items = []
    while len(json.dumps(items)) < size:
        items.append(item)
    return json.dumps(items).encode()


def multipart(file_size):
    parts = [
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="title"\r\n\r\nhello\r\n',
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="count"\r\n\r\n42\r\n',
        b"--" + BOUNDARY
        + b'\r\nContent-Disposition: form-data; name="file"; filename="f.bin"\r\n'
        + b"Content-Type: application/octet-stream\r\n\r\n" + b"\xab" * file_size + b"\r\n",
        b"--" + BOUNDARY + b"--\r\n",
    ]
    return b"".join(parts)


CASES = {
    "json() 1 KiB": (b"application/json", json_body(1024), "json"),
    "json() 100 KiB": (b"application/json", json_body(100 * 1024), "json"),
    "text() 1 KiB": (b"text/plain; charset=utf-8", "caf\u00e9 ".encode() * 170, "text"),
    "form() urlencoded, 10 fields": (
        b"application/x-www-form-urlencoded",
        "&".join(f"field{i}=value+{i}%21" for i in range(10)).encode(),
        "form",
    ),
    "form() multipart, 2 fields + 1 MiB file": (
        b"multipart/form-data; boundary=" + BOUNDARY,
        multipart(1024 * 1024),
        "form",
    ),
}


def receive_for(body, chunk=65536):
    chunks = [body[i : i + chunk] for i in range(0, len(body), chunk)] or [b""]
    state = {"i": 0}

    async def receive():
        i = state["i"]
        state["i"] = i + 1
        return {"type": "http.request", "body": chunks[i], "more_body": i < len(chunks) - 1}

    return receive


async def ours(content_type, body, method):
    m = Message([(b"content-type", content_type)])
    m.content = ASGIContent(receive_for(body))
    result = await getattr(m, method)()
    if method == "form" and isinstance(result, dict):
        for value in result.values():
            if hasattr(value, "data"):
                value.data.close()
    return result


async def starlette(content_type, body, method):
    scope = {"type": "http", "method": "POST", "path": "/", "headers": [(b"content-type", content_type)]}
    request = StarletteRequest(scope, receive_for(body))
    if method == "text":
        return (await request.body()).decode("utf-8")
    if method == "form":
        async with request.form() as form:
            return dict(form)
    return await getattr(request, method)()


async def floor(content_type, body, method):
    """The same awaits in a plain async def, decoding with the fastest tool at
    hand (msgspec, bytes.decode, urllib's parse_qs; multipart bodies are only
    read, not parsed)."""
    receive = receive_for(body)
    chunks = []
    while True:
        message = await receive()
        chunks.append(message["body"])
        if not message["more_body"]:
            break
    data = b"".join(chunks)
    if method == "json":
        return msgspec.json.decode(data)
    if method == "text":
        return data.decode("utf-8")
    if content_type.startswith(b"application/x-www-form-urlencoded"):
        return parse_qs(data.decode("utf-8"), keep_blank_values=True)
    return data  # multipart: the floor only reads the body


def measure(fn, args, budget=0.4):
    async def loop(n):
        start = time.perf_counter()
        for _ in range(n):
            await fn(*args)
        return time.perf_counter() - start

    async def run():
        n = 1
        while await loop(n) < budget / 10:
            n *= 2
        return min([await loop(n) for _ in range(5)]) / n

    return asyncio.run(run()) * 1e6


def main():
    for ct, body, method in CASES.values():  # warm caches and the allocator first
        measure(ours, (ct, body, method), budget=0.05)
    print("microseconds per operation (best of 5)")
    rows = []
    for name, (ct, body, method) in CASES.items():
        mine = measure(ours, (ct, body, method))
        base = measure(floor, (ct, body, method))
        peer = measure(starlette, (ct, body, method)) if StarletteRequest else float("nan")
        rows.append((name, mine, peer, base))
    width = max(len(r[0]) for r in rows)
    print(f"| {'operation':<{width}} | {'brindlewick':>11} | {'starlette':>9} | {'vs starlette':>12} | {'async def floor':>15} | {'vs floor':>8} |")
    print(f"|{'-' * (width + 2)}|{'-' * 13}|{'-' * 11}|{'-' * 14}|{'-' * 17}|{'-' * 10}|")
    for name, mine, peer, base in rows:
        print(f"| {name:<{width}} | {mine:11.2f} | {peer:9.2f} | {mine / peer:12.2f} | {base:15.2f} | {mine / base:8.2f} |")
    print()


if __name__ == "__main__":
    main()
