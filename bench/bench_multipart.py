"""Multipart parsing throughput: brindlewick.multipart against python-multipart.

A 10 MiB upload (two small fields and one file) is fed in 64 KiB chunks to
  * parse_multipart_async, the async driver that applications use, draining
    every part's stream();
  * the native Parser alone, pulled from a plain loop (the floor of the
    async driver's overhead);
  * python-multipart's streaming MultipartParser with data callbacks.
Two payloads: random binary data, and text with a line break every 64 bytes
(many CR bytes that look like the start of a boundary).

Run: PYTHONPATH=build/<dir>/pkg .venv/bin/python bench/bench_multipart.py
"""

from __future__ import annotations

import asyncio
import random
import sys
import time

from brindlewick._multipart import Parser
from brindlewick.multipart import parse_multipart_async

try:
    from python_multipart import MultipartParser as PeerParser
except ImportError:  # older releases ship the package as `multipart`
    try:
        from multipart.multipart import MultipartParser as PeerParser
    except ImportError:
        PeerParser = None

MiB = 1024 * 1024
CHUNK = 64 * 1024
BOUNDARY = b"----brindlewickBenchBoundary7MA4YWxkTrZu0gW"
REPEATS = 15


def build_body(payload: bytes) -> bytes:
    out = []
    for name, value in (("title", b"a title"), ("tags", b"x,y,z")):
        out.append(b"--" + BOUNDARY + b"\r\n")
        out.append(f'Content-Disposition: form-data; name="{name}"\r\n\r\n'.encode())
        out.append(value + b"\r\n")
    out.append(b"--" + BOUNDARY + b"\r\n")
    out.append(b'Content-Disposition: form-data; name="upload"; filename="data.bin"\r\n')
    out.append(b"Content-Type: application/octet-stream\r\n\r\n")
    out.append(payload + b"\r\n")
    out.append(b"--" + BOUNDARY + b"--\r\n")
    return b"".join(out)


def payloads() -> dict[str, bytes]:
    rng = random.Random(1234)
    binary = rng.randbytes(10 * MiB)
    line = b"".join(bytes([rng.randrange(32, 127)]) for _ in range(62)) + b"\r\n"
    text = (line * (10 * MiB // len(line) + 1))[: 10 * MiB]
    return {"random binary": binary, "text, CRLF every 64 B": text}


def chunked(body: bytes) -> list[bytes]:
    return [body[i : i + CHUNK] for i in range(0, len(body), CHUNK)]


async def run_async_driver(chunks: list[bytes]) -> int:
    async def source():
        for c in chunks:
            yield c

    total = 0
    async for part in parse_multipart_async(source(), BOUNDARY):
        async for data in part.stream():
            total += len(data)
    return total


def run_native(chunks: list[bytes]) -> int:
    parser = Parser(BOUNDARY)
    it = iter(chunks)
    total = 0

    def pull():
        c = next(it, None)
        if c is None:
            parser.finish()
        else:
            parser.feed(c)

    while True:
        head = parser.next_part()
        while head == b"":
            pull()
            head = parser.next_part()
        if head is None:
            return total
        while (data := parser.read_data()) is not None:
            if data:
                total += len(data)
            else:
                pull()


def run_peer(chunks: list[bytes]) -> int:
    total = 0

    def on_part_data(data, start, end):
        nonlocal total
        total += end - start

    parser = PeerParser(BOUNDARY, callbacks={"on_part_data": on_part_data})
    for c in chunks:
        parser.write(c)
    parser.finalize()
    return total


def best_rate(fn, body_len: int) -> tuple[float, int]:
    best = float("inf")
    result = 0
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return body_len / MiB / best, result


def main() -> int:
    loop = asyncio.new_event_loop()
    rows = []
    expected_data = 10 * MiB + len(b"a title") + len(b"x,y,z")
    for label, payload in payloads().items():
        body = build_body(payload)
        chunks = chunked(body)
        runners = [
            ("brindlewick parse_multipart_async", lambda: loop.run_until_complete(run_async_driver(chunks))),
            ("brindlewick native Parser loop", lambda: run_native(chunks)),
        ]
        if PeerParser is not None:
            runners.append(("python-multipart MultipartParser", lambda: run_peer(chunks)))
        for name, fn in runners:
            rate, got = best_rate(fn, len(body))
            if got != expected_data:
                print(f"{name}: parsed {got} data bytes, expected {expected_data}", file=sys.stderr)
                return 1
            rows.append((label, name, rate))
    loop.close()

    print(f"10 MiB multipart upload in {CHUNK // 1024} KiB chunks, best of {REPEATS}")
    print(f"{'payload':<24} {'parser':<36} {'MiB/s':>10} {'vs peer':>8}")
    peer = {label: rate for label, name, rate in rows if name.startswith("python-multipart")}
    for label, name, rate in rows:
        ratio = f"{rate / peer[label]:.1f}x" if label in peer else "-"
        print(f"{label:<24} {name:<36} {rate:>10.0f} {ratio:>8}")
    if PeerParser is None:
        print("python-multipart is not installed: pip install python-multipart")
    return 0


if __name__ == "__main__":
    sys.exit(main())
