"""The coroutine bridge (brindlewick._corotest): results, throw, close,
cancellation, error paths, async generators.  Driven with send() and no
event loop, except cancellation, which runs on the run's one loop."""

import asyncio

import brindlewick._corotest as nc

from leakcheck.support import drive, raises, run, test_module

ITERATIONS = 4_000

tc = test_module("test_coro")
Probe, Bare, Holder = tc.Probe, tc.Bare, tc.Holder


def echo():
    coro = nc.echo_after(Probe("v", yields=2))
    coro.send(None)
    coro.send("a")
    return drive_rest(coro, "b")


def drive_rest(coro, value=None):
    try:
        coro.send(value)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("still suspended")


def throw_swallowed():
    coro = nc.echo_after(Probe("value", on_throw="swallowed"))
    coro.send(None)
    try:
        coro.throw(KeyError("thrown"))
    except StopIteration:
        pass


def throw_raised():
    coro = nc.echo_after(Probe("value"))
    coro.send(None)
    coro.throw(KeyError("thrown"))


def throw_caught_in_body():
    coro = nc.catch_after(Bare(), KeyError, "caught")
    coro.send(None)
    try:
        coro.throw(KeyError)
    except StopIteration:
        pass


def throw_argument_error(args):
    def op():
        coro = nc.echo_after(Bare())
        coro.send(None)
        try:
            coro.throw(*args)
        finally:
            coro.close()

    return op


def close_suspended():
    coro = nc.hold(Holder(), Probe())
    coro.send(None)
    coro.close()
    coro.close()


def collect_suspended():
    coro = nc.hold(Holder(), Probe())
    coro.send(None)


def close_unstarted():
    nc.hold(Holder(), Probe()).close()


def ignore_exit():
    coro = nc.ignore_exit(Probe(), Probe())
    coro.send(None)
    try:
        coro.close()
    except RuntimeError:
        pass
    drive_rest(coro)


def cycle(started):
    def op():
        obj = Holder()
        obj.coro = nc.hold(obj, Probe())
        if started:
            obj.coro.send(None)
        else:
            obj.coro.close()

    return op


def gen_cycle():
    obj = Holder()
    obj.gen = nc.hold_gen(obj, 3)
    step = obj.gen.__anext__()
    try:
        step.send(None)
    except StopIteration:
        pass


def chaining(cause, suspend):
    def op():
        coro = nc.raise_in_handler(tc.failing(), LookupError, "outer", cause, Probe() if suspend else None)
        if suspend:
            coro.send(None)
        coro.send(None)

    return raises(LookupError, op)


def handled_across():
    import sys

    coro = nc.handled_across_await(tc.failing(), Probe(), sys.exception)
    coro.send(None)
    return drive_rest(coro)


async def agen_values():
    gen = nc.relay([Probe("a", yields=0), Probe("b", yields=0)], [])
    await gen.__anext__()
    await gen.asend("to-a")
    try:
        await gen.asend("to-b")
    except StopAsyncIteration:
        pass


async def athrow(exc_type):
    gen = nc.catching(3, KeyError)
    await gen.__anext__()
    try:
        await gen.athrow(exc_type("x"))
    except ValueError:
        pass
    await gen.aclose()


async def aclose(advance):
    gen = nc.hold_gen(Holder(), 5)
    for _ in range(advance):
        await gen.__anext__()
    await gen.aclose()
    await gen.aclose()


async def aclose_ignored():
    gen = nc.ignoring_exit()
    await gen.__anext__()
    await gen.aclose()


async def raising_gen(exc):
    gen = nc.raising_gen(exc)
    await gen.__anext__()
    await gen.__anext__()


def second_anext():
    gen = nc.hold_gen(None, 2, Probe())
    first = gen.__anext__()
    first.send(None)
    try:
        gen.__anext__().send(None)
    except RuntimeError:
        pass
    try:
        first.send(None)
    except StopIteration:
        pass


def close_step(make_step):
    async def go():
        gen = nc.hold_gen(Holder(), 3)
        await gen.__anext__()
        make_step(gen).close()

    return lambda: drive(go())


def abandoned_step():
    gen = nc.hold_gen(None, 2, Probe())
    step = gen.__anext__()
    step.send(None)
    del step
    try:
        gen.__anext__().send(None)
    except StopIteration:
        pass


async def cancelled(handled):
    fut = asyncio.get_running_loop().create_future()
    coro = nc.catch_after(fut, asyncio.CancelledError, "handled") if handled else nc.echo_after(fut)
    task = asyncio.ensure_future(coro)
    await asyncio.sleep(0)
    task.cancel("stop it")
    try:
        await task
    except asyncio.CancelledError:
        pass


async def cancelled_generator():
    fut = asyncio.get_running_loop().create_future()
    gen = nc.relay([fut])
    task = asyncio.ensure_future(gen.__anext__())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


async def gathered():
    return await asyncio.gather(nc.echo_after(asyncio.sleep(0, 1)), nc.noop(2))


async def awaited_calls():
    await nc.call_fn(tc.Py.echo_after, nc.noop(5))
    await nc.call_method(tc.Service(), "fetch")


def operations():
    ops = [
        ("echo_after: yields and result", echo),
        ("__await__ protocol", lambda: drain_next(nc.echo_after(Probe(7)).__await__())),
        ("noop", lambda: drive(nc.noop("immediate"))),
        ("await_all", lambda: drive(nc.await_all([Probe(1), nc.noop(2), Probe(3, yields=0)]))),
        ("reuse of a finished coroutine", raises(RuntimeError, lambda: _finished().send(None))),
        ("throw into a finished coroutine", raises(RuntimeError, lambda: _finished().throw(KeyError("k")))),
        ("non-None to a just-started coroutine", raises(TypeError, lambda: nc.echo_after(Probe()).send(1))),
        ("throw, awaited iterator raises", raises(KeyError, throw_raised)),
        ("throw, awaited iterator swallows", throw_swallowed),
        ("throw GeneratorExit", raises(GeneratorExit, lambda: _started().throw(GeneratorExit()))),
        ("throw without throw() on the awaited", throw_caught_in_body),
        ("throw before start", raises(KeyError, lambda: nc.echo_after(Probe()).throw(KeyError("early")))),
        ("close suspended", close_suspended),
        ("collect suspended", collect_suspended),
        ("close unstarted", close_unstarted),
        ("close ignoring GeneratorExit", ignore_exit),
        ("close error of the awaited", raises(OSError, lambda: _started(Probe(close_error=OSError("close failed"))).close())),
        ("cycle, unstarted", cycle(False)),
        ("cycle, started", cycle(True)),
        ("async generator cycle", gen_cycle),
        ("handled exception across await", handled_across),
        ("error from the awaited", raises(ValueError, lambda: nc.echo_after(tc.failing()).send(None))),
        ("StopIteration escaping the body", raises(RuntimeError, lambda: nc.raise_stop(Probe(yields=0), "v").send(None))),
        ("return_null", raises(SystemError, lambda: nc.return_null().send(None))),
        ("return_with_error", raises(SystemError, lambda: nc.return_with_error().send(None))),
        ("throw_cxx", raises(SystemError, lambda: nc.throw_cxx(Probe(yields=0)).send(None))),
        ("call_fn / call_method", lambda: drive(awaited_calls())),
        ("call_fn(len)", raises(TypeError, lambda: drive(nc.call_fn(len, "abc")))),
        ("call_fn raising", raises(ZeroDivisionError, lambda: drive(nc.call_fn(lambda x: 1 / x, 0)))),
        ("call_method missing", raises(AttributeError, lambda: drive(nc.call_method(Holder(), "no_such_method")))),
        ("async generator: asend", lambda: drive(agen_values())),
        ("async generator: awaited yields pass out", lambda: drain_next(nc.relay([Probe("v", yields=2)]).__anext__())),
        ("athrow caught", lambda: drive(athrow(KeyError))),
        ("athrow raised", lambda: drive(athrow(ValueError))),
        ("aclose unstarted", lambda: drive(aclose(0))),
        ("aclose started", lambda: drive(aclose(1))),
        ("aclose ignoring GeneratorExit", raises(RuntimeError, lambda: drive(aclose_ignored()))),
        ("generator body raises", raises(KeyError, lambda: drive(raising_gen(KeyError("from body"))))),
        ("generator body raises StopAsyncIteration", raises(RuntimeError, lambda: drive(raising_gen(StopAsyncIteration())))),
        ("second __anext__ while running", second_anext),
        ("non-None asend to a just-started generator", raises(TypeError, lambda: nc.range_gen(1).asend(1).send(None))),
        ("closing an asend step", close_step(lambda g: g.asend(None))),
        ("closing an athrow step", close_step(lambda g: g.athrow(KeyError("k")))),
        ("abandoned step", abandoned_step),
        ("native async for over a native generator", lambda: drive(nc.drain(nc.range_gen(4)))),
        ("native async for over a Python generator", lambda: drive(nc.drain(tc.Py.range_gen(4)))),
        ("native async for, raising", raises(KeyError, lambda: drive(nc.drain(nc.raising_gen(KeyError()))))),
        ("async for over 5", raises(TypeError, lambda: drive(nc.drain(5)))),
        ("cancellation reaches the body", lambda: run(cancelled(False))),
        ("cancellation handled in the body", lambda: run(cancelled(True))),
        ("cancelled while the generator awaits", lambda: run(cancelled_generator())),
        ("gather", lambda: run(gathered())),
    ]
    for cause in (False, True):
        for suspend in (False, True):
            ops.append((f"exception chaining cause={cause} suspend={suspend}", chaining(cause, suspend)))
    for i, case in enumerate(tc_cases("test_bad_awaitable_raises_type_error")):
        ops.append((f"bad awaitable {i}", raises(TypeError, lambda a=case["awaitable"]: nc.echo_after(a).send(None))))
    for i, case in enumerate(tc_cases("test_throw_argument_errors")):
        ops.append((f"throw argument error {i}", raises(TypeError, throw_argument_error(case["args"]))))
    return ops


def drain_next(it):
    try:
        while True:
            next(it)
    except StopIteration as stop:
        return stop.value


def tc_cases(test):
    from leakcheck.support import cases

    return cases("test_coro", test)


def _finished():
    coro = nc.echo_after(Probe(1, yields=0))
    drive_rest(coro)
    return coro


def _started(probe=None):
    coro = nc.echo_after(probe or Probe())
    coro.send(None)
    return coro
