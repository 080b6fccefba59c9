"""Cost of the native coroutine bridge next to plain Python coroutines.

Each row does the same awaits from a native body (brindlewick._corotest) and
from an `async def` / async generator written in Python, and prints the best
time per run and the ratio native / Python (below 1.0: the native side is
faster).  Run: PYTHONPATH=build/<dir>/pkg .venv/bin/python bench/bench_coro.py
"""

import asyncio
import sys
import time
import types

from brindlewick import _corotest as nc

N = 1000


async def py_await_all(aws):
    results = []
    for a in aws:
        results.append(await a)
    return results


async def py_noop(value=None):
    return value


async def py_range_gen(n):
    for i in range(n):
        yield i


async def py_drain(iterable):
    return [x async for x in iterable]


@types.coroutine
def tick():
    yield


def drive(coro):
    """Runs a coroutine without an event loop, answering each yield with None."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def best(fn, repeat=7, min_time=0.2):
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_time / 5:
            break
        number *= 2
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def scenarios():
    loop = asyncio.new_event_loop()
    done = []
    for i in range(N):
        f = loop.create_future()
        f.set_result(i)
        done.append(f)

    def under_loop(make):
        return lambda: loop.run_until_complete(make())

    async def consume(gen):
        async for _ in gen:
            pass

    yield (
        f"await {N} done futures",
        lambda: drive(py_await_all(done)),
        lambda: drive(nc.await_all(done)),
    )
    yield (
        f"await {N} Python coroutines (no suspension)",
        lambda: drive(py_await_all([py_noop(i) for i in range(N)])),
        lambda: drive(nc.await_all([py_noop(i) for i in range(N)])),
    )
    yield (
        f"await {N} suspending awaitables",
        lambda: drive(py_await_all([tick() for _ in range(N)])),
        lambda: drive(nc.await_all([tick() for _ in range(N)])),
    )
    yield (
        f"create and finish {N} coroutines",
        lambda: [drive(py_noop(i)) for i in range(N)],
        lambda: [drive(nc.noop(i)) for i in range(N)],
    )
    yield (
        f"asyncio task: {N} x await sleep(0)",
        under_loop(lambda: py_await_all([asyncio.sleep(0) for _ in range(N)])),
        under_loop(lambda: nc.await_all([asyncio.sleep(0) for _ in range(N)])),
    )
    yield (
        f"async for over {N}-item generator",
        lambda: drive(consume(py_range_gen(N))),
        lambda: drive(consume(nc.range_gen(N))),
    )
    yield (
        f"drain {N}-item generator (consumer and producer)",
        lambda: drive(py_drain(py_range_gen(N))),
        lambda: drive(nc.drain(nc.range_gen(N))),
    )


def main():
    rows = []
    for name, python, native in scenarios():
        tp, tn = best(python), best(native)
        rows.append((name, tp * 1e6, tn * 1e6, tn / tp))
    width = max(len(r[0]) for r in rows)
    print(f"Python {sys.version.split()[0]}; times are best per run, microseconds")
    print(f"{'scenario':<{width}}  {'python':>10}  {'native':>10}  {'ratio':>6}")
    for name, tp, tn, ratio in rows:
        print(f"{name:<{width}}  {tp:>10.1f}  {tn:>10.1f}  {ratio:>6.2f}")


if __name__ == "__main__":
    main()
