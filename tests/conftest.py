import asyncio

import pytest


class ScriptedReceive:
    """An ASGI receive channel that hands out the given body chunks."""

    def __init__(self, chunks, disconnect_after=None, fail_after=None):
        self.chunks = list(chunks)
        self.disconnect_after = disconnect_after
        self.fail_after = fail_after
        self.calls = 0

    async def __call__(self):
        index = self.calls
        self.calls += 1
        if self.disconnect_after is not None and index >= self.disconnect_after:
            return {"type": "http.disconnect"}  # a queued message: no suspension
        await asyncio.sleep(0)
        if self.fail_after is not None and index >= self.fail_after:
            raise ConnectionResetError("receive failed")
        if index >= len(self.chunks):
            return {"type": "http.disconnect"}
        return {"type": "http.request", "body": self.chunks[index], "more_body": index < len(self.chunks) - 1}


class ScriptedProtocol:
    """An RSGI HTTP protocol object over the given body chunks."""

    def __init__(self, chunks, fail_after=None):
        self.chunks = list(chunks)
        self.fail_after = fail_after
        self.whole_reads = 0

    async def __call__(self):
        await asyncio.sleep(0)
        self.whole_reads += 1
        if self.fail_after is not None:
            raise ConnectionResetError("protocol failed")
        return b"".join(self.chunks)

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        for index, chunk in enumerate(self.chunks):
            if self.fail_after is not None and index >= self.fail_after:
                raise ConnectionResetError("protocol failed")
            await asyncio.sleep(0)
            yield chunk


@pytest.fixture
def run():
    return asyncio.run
