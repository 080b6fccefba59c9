"""Helpers the families share: expected errors, coroutine driving, body
sources that need no event loop, and the bad-input tables of the test suite."""

from __future__ import annotations

import asyncio
import importlib
import itertools
import sys
import types
from pathlib import Path

TESTS = Path(__file__).resolve().parents[2] / "tests"


class CheckFailed(AssertionError):
    """An operation did not behave as its family expects (not a leak)."""


def raises(error, fn, *args, **kwargs):
    """An operation that calls fn and requires it to raise `error`.

    The exception is dropped inside the call, so its traceback (which holds
    the frames) is not what the counts see."""

    def op():
        try:
            fn(*args, **kwargs)
        except error:
            return
        raise CheckFailed(f"{fn!r} did not raise {error}")

    return op


def drive(coro, limit=100_000):
    """Runs an awaitable without an event loop: send(None) until it returns.

    Only for bodies whose suspensions are bare yields (`asyncio.sleep(0)`,
    `tick()`); a yielded future would never be resolved, hence the limit."""
    it = coro.__await__() if not hasattr(coro, "send") else coro
    for _ in range(limit):
        try:
            it.send(None)
        except StopIteration as stop:
            return stop.value
    it.close()
    raise CheckFailed(f"{coro!r} still suspended after {limit} sends")


def drive_raises(error, make):
    """An operation that drives make() without a loop and requires `error`."""

    def op():
        try:
            drive(make())
        except error:
            return
        raise CheckFailed(f"{make!r} did not raise {error}")

    return op


_loop: asyncio.AbstractEventLoop | None = None


def loop() -> asyncio.AbstractEventLoop:
    """The one event loop of the run, for operations that need tasks or futures."""
    global _loop
    if _loop is None:
        _loop = asyncio.new_event_loop()
        asyncio.set_event_loop(_loop)
    return _loop


def run(coro):
    return loop().run_until_complete(coro)


def run_raises(error, make):
    def op():
        try:
            run(make())
        except error:
            return
        raise CheckFailed(f"{make!r} did not raise {error}")

    return op


def close_loop():
    global _loop
    if _loop is not None:
        _loop.close()
        asyncio.set_event_loop(None)
        _loop = None


@types.coroutine
def tick():
    """One bare suspension, like asyncio.sleep(0) but without asyncio."""
    yield


class Receive:
    """ASGI receive over fixed chunks, suspending once per message.

    disconnect_after=k answers http.disconnect from the k-th call on, at once
    (a message the server already holds)."""

    __slots__ = ("chunks", "index", "disconnect_after")

    def __init__(self, chunks, disconnect_after=None):
        self.chunks = chunks
        self.index = 0
        self.disconnect_after = disconnect_after

    async def __call__(self):
        i = self.index
        self.index = i + 1
        if self.disconnect_after is not None and i >= self.disconnect_after:
            return {"type": "http.disconnect"}
        await tick()
        if i >= len(self.chunks):
            return {"type": "http.disconnect"}
        return {"type": "http.request", "body": self.chunks[i], "more_body": i < len(self.chunks) - 1}


class Protocol:
    """RSGI HTTP protocol over fixed chunks: await it, or iterate it."""

    __slots__ = ("chunks", "error")

    def __init__(self, chunks, error=None):
        self.chunks = chunks
        self.error = error

    async def __call__(self):
        await tick()
        if self.error is not None:
            raise self.error
        return b"".join(self.chunks)

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        for chunk in self.chunks:
            await tick()
            yield chunk
        if self.error is not None:
            raise self.error


async def collect(aiterable):
    return [chunk async for chunk in aiterable]


def chunked(body, size):
    return [body[i : i + size] for i in range(0, len(body), size)] or [b""]


# ---- the test suite's tables --------------------------------------------------------


def test_module(name):
    """A module of tests/, imported as the suite imports it."""
    if str(TESTS) not in sys.path:
        sys.path.insert(0, str(TESTS))
    return importlib.import_module(name)


def cases(module, test):
    """The rows of a test's parametrize marks as dicts of argument values.

    Stacked marks give their product, as pytest runs them.  A renamed test or
    argument fails here loudly, so the tables cannot silently go missing."""
    fn = getattr(test_module(module), test, None)
    if fn is None:
        raise CheckFailed(f"tests/{module}.py has no {test}")
    tables = []
    for mark in getattr(fn, "pytestmark", []):
        if mark.name != "parametrize":
            continue
        names, values = mark.args[0], mark.args[1]
        if isinstance(names, str):
            names = [n.strip() for n in names.split(",") if n.strip()]
        rows = []
        for value in values:
            if hasattr(value, "marks") and hasattr(value, "values"):  # pytest.param(...)
                value = value.values
            elif len(names) == 1:
                value = (value,)
            rows.append(dict(zip(names, value, strict=True)))
        tables.append(rows)
    if not tables:
        raise CheckFailed(f"tests/{module}.py:{test} has no parametrize table")
    out = []
    for combo in itertools.product(*tables):
        merged = {}
        for row in combo:
            merged.update(row)
        out.append(merged)
    return out
