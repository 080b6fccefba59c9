"""Native coroutines and async generators (bw::coro) against Python's own.

Most tests run the same scenario on a native body from brindlewick._corotest
and on its plain `async def` twin below, and expect the same observable
behaviour."""

import asyncio
import collections.abc
import gc
import re
import sys
import traceback
import types
import warnings
import weakref

import pytest

nc = pytest.importorskip("brindlewick._corotest")

# The interpreter's own wording, which native awaits follow.
NOT_AWAITABLE = (
    "'%s' object can't be awaited" if sys.version_info >= (3, 14) else "object %s can't be used in 'await' expression"
)


class Py:
    """The Python twins of the native test bodies."""

    @staticmethod
    async def echo_after(aw):
        return await aw

    @staticmethod
    async def await_all(aws):
        return [await a for a in aws]

    @staticmethod
    async def raise_after(aw, exc):
        await aw
        raise exc

    @staticmethod
    async def catch_after(aw, exc_type, value):
        try:
            return await aw
        except exc_type:
            return value

    @staticmethod
    async def raise_in_handler(aw, new_type, message, cause, then):
        try:
            return await aw
        except BaseException as e:
            if then is not None:
                await then
            if cause:
                raise new_type(message) from e
            raise new_type(message)

    @staticmethod
    async def handled_across_await(first, second, probe):
        try:
            await first
        except BaseException:
            await second
            return probe()

    @staticmethod
    async def hold(obj, aw):
        return await aw

    @staticmethod
    async def raise_stop(aw, value):
        await aw
        raise StopIteration(value)

    @staticmethod
    async def ignore_exit(aw, again):
        try:
            return await aw
        except BaseException:
            return await again

    @staticmethod
    async def drain(iterable):
        return [x async for x in iterable]

    @staticmethod
    async def relay(aws, sent=None):
        for a in aws:
            got = yield await a
            if sent is not None:
                sent.append(got)

    @staticmethod
    async def hold_gen(obj, n, aw=None):
        for i in range(n):
            if aw is not None:
                await aw
            yield i

    @staticmethod
    async def catching(n, exc_type):
        for i in range(n):
            try:
                yield i
            except exc_type:
                yield "caught"
                return

    @staticmethod
    async def ignoring_exit():
        try:
            yield 1
        except BaseException:
            yield 2

    @staticmethod
    async def raising_gen(exc):
        yield 1
        raise exc

    @staticmethod
    async def range_gen(n):
        for i in range(n):
            yield i

    @staticmethod
    async def call_on_exit(aw, on_exit):
        try:
            return await aw
        finally:
            on_exit()

    @staticmethod
    async def noop(value=None):
        return value


@pytest.fixture(params=["native", "python"])
def impl(request):
    return nc if request.param == "native" else Py


class Probe:
    """Awaitable that hands out ('tick', i) `yields` times, then returns
    `value`; records what it is sent, thrown and whether it was closed."""

    def __init__(self, value=None, yields=1, on_throw="raise", close_error=None):
        self.value, self.yields, self.on_throw, self.close_error = value, yields, on_throw, close_error
        self.n, self.sent, self.thrown, self.closed = 0, [], [], False

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.sent.append(value)
        if self.n < self.yields:
            self.n += 1
            return ("tick", self.n)
        raise StopIteration(self.value)

    def throw(self, exc):
        self.thrown.append(exc)
        if self.on_throw == "raise":
            raise exc
        raise StopIteration(self.on_throw)

    def close(self):
        self.closed = True
        if self.close_error is not None:
            raise self.close_error


class Bare:
    """Awaitable iterator without throw() or close(): suspends once."""

    def __init__(self):
        self.done = False

    def __await__(self):
        return self

    def __next__(self):
        if self.done:
            raise StopIteration("bare")
        self.done = True
        return "bare-tick"


class Holder:
    pass


def finish(coro, value=None):
    """Sends `value`; returns the coroutine's result, failing if it yields."""
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


def fail_here():
    raise ValueError("inner failure")


async def failing():
    fail_here()


# ---- driving and results ---------------------------------------------------


@pytest.mark.parametrize("value", [None, 0, "text", (1, 2), ValueError("as value"), StopIteration("as value")])
def test_yields_pass_through_and_result_returns(impl, value):
    probe = Probe(value, yields=2)
    coro = impl.echo_after(probe)
    assert coro.send(None) == ("tick", 1)
    assert coro.send("a") == ("tick", 2)
    assert finish(coro, "b") is value
    assert probe.sent == [None, "a", "b"]


def test_next_and_await_protocol(impl):
    coro = impl.echo_after(Probe(7))
    it = coro.__await__()
    assert next(it) == ("tick", 1)
    with pytest.raises(StopIteration) as info:
        next(it)
    assert info.value.value == 7


@pytest.mark.parametrize(
    "make",
    [
        lambda: asyncio.sleep(0, "sleep"),
        lambda: Py.echo_after(asyncio.sleep(0, "py")),
        lambda: nc.echo_after(asyncio.sleep(0, "native")),
        lambda: nc.noop("immediate"),
        lambda: types.coroutine(lambda: (yield from ()) or "gen")(),
    ],
    ids=["sleep", "python", "native", "immediate", "generator-coroutine"],
)
def test_awaits_every_kind_of_awaitable_under_asyncio(impl, make):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(fut.set_result, "future")
        return await impl.await_all([make(), fut, make()])

    first = asyncio.run(main())
    assert first[1] == "future" and first[0] == first[2]


class NonIterator:
    def __await__(self):
        return 5


class ReturnsCoroutine:
    def __await__(self):
        return Py.echo_after(None)


@pytest.mark.parametrize(
    "awaitable, message",
    [
        (1, NOT_AWAITABLE % "int"),
        (NonIterator(), "__await__() returned non-iterator of type 'int'"),
        (ReturnsCoroutine(), "__await__() returned a coroutine"),
    ],
)
def test_bad_awaitable_raises_type_error(impl, awaitable, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(TypeError) as info:
            impl.echo_after(awaitable).send(None)
    assert str(info.value) == message


def test_reuse_of_finished_coroutine(impl):
    coro = impl.echo_after(Probe(1, yields=0))
    assert finish(coro) == 1
    for attempt in (lambda: coro.send(None), lambda: coro.throw(KeyError("k"))):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            attempt()
    assert coro.close() is None


def test_double_await_under_asyncio(impl):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        coro = impl.echo_after(fut)
        first = asyncio.ensure_future(coro)
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            await coro
        fut.set_result("once")
        assert await first == "once"
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await coro

    asyncio.run(main())


def test_non_none_to_just_started(impl):
    coro = impl.echo_after(Probe())
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()


def test_reentrant_send_is_refused(impl):
    class Reenter:
        def __await__(self):
            yield from ()
            return coro.send(None)

    coro = impl.echo_after(Reenter())
    with pytest.raises(ValueError, match="coroutine already executing"):
        coro.send(None)


def test_deep_chain_of_awaits_raises_recursion_error(impl):
    if impl is Py and sys.version_info < (3, 14):
        pytest.skip("the interpreter itself overflows its C stack on such chains before 3.14")
    coro = Probe("bottom", yields=0)
    for _ in range(200_000):
        coro = impl.echo_after(coro)
    with pytest.raises(RecursionError), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the unreached ones
        coro.send(None)
        del coro


# ---- cancellation and throw -------------------------------------------------


@pytest.mark.parametrize("handled", [False, True])
def test_cancellation_reaches_the_body(impl, handled):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        coro = impl.catch_after(fut, asyncio.CancelledError, "handled") if handled else impl.echo_after(fut)
        task = asyncio.create_task(coro)
        await asyncio.sleep(0)
        task.cancel("stop it")
        try:
            result = await task
        except asyncio.CancelledError as e:
            result = ("cancelled", e.args)
        return result, fut.cancelled()

    result, inner_cancelled = asyncio.run(main())
    assert inner_cancelled
    assert result == ("handled" if handled else ("cancelled", ("stop it",)))


def test_wait_for_and_gather(impl):
    async def main():
        never = asyncio.get_running_loop().create_future()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(impl.echo_after(never), 0.001)
        assert never.cancelled()
        return await asyncio.gather(impl.echo_after(asyncio.sleep(0, 1)), nc.noop(2))

    assert asyncio.run(main()) == [1, 2]


@pytest.mark.parametrize("on_throw, outcome", [("raise", "error"), ("swallowed", "swallowed")])
def test_throw_goes_to_the_awaited_iterator_first(impl, on_throw, outcome):
    probe = Probe("value", yields=1, on_throw=on_throw)
    coro = impl.echo_after(probe)
    coro.send(None)
    exc = KeyError("thrown")
    if outcome == "error":
        with pytest.raises(KeyError) as info:
            coro.throw(exc)
        assert info.value is exc
    else:
        with pytest.raises(StopIteration) as info:
            coro.throw(exc)
        assert info.value.value == "swallowed"
    assert probe.thrown == [exc]


def test_thrown_generator_exit_closes_the_awaited_iterator(impl):
    probe = Probe()
    coro = impl.echo_after(probe)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit())
    assert probe.closed and probe.thrown == []


def test_throw_without_throw_method_raises_in_body(impl):
    coro = impl.catch_after(Bare(), KeyError, "caught")
    assert coro.send(None) == "bare-tick"
    with pytest.raises(StopIteration) as info:
        coro.throw(KeyError)
    assert info.value.value == "caught"


def test_throw_before_start_never_runs_body(impl):
    probe = Probe()
    coro = impl.echo_after(probe)
    with pytest.raises(KeyError):
        coro.throw(KeyError("early"))
    assert probe.sent == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


@pytest.mark.parametrize(
    "args, error",
    [
        ((), "throw expected at least 1 argument, got 0"),
        ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
        ((KeyError("x"), "value"), "instance exception may not have a separate value"),
        ((KeyError, None, 5), "throw() third argument must be a traceback object"),
    ],
)
def test_throw_argument_errors(impl, args, error):
    coro = impl.echo_after(Bare())
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as info:
            coro.throw(*args)
    assert str(info.value) == error
    coro.close()


def test_three_argument_throw_is_deprecated_but_works(impl):
    coro = impl.catch_after(Bare(), KeyError, "caught")
    coro.send(None)
    with pytest.warns(DeprecationWarning):
        with pytest.raises(StopIteration) as info:
            coro.throw(KeyError, KeyError("k"), None)
    assert info.value.value == "caught"


# ---- close and release -----------------------------------------------------


@pytest.mark.parametrize("body", ["hold", "hold_plain"])
def test_close_destroys_frame_and_releases_held_objects(body):
    obj, probe = Holder(), Probe()
    ref = weakref.ref(obj)
    coro = getattr(nc, body)(obj, probe)
    del obj
    coro.send(None)
    assert ref() is not None
    assert coro.close() is None
    assert ref() is None and probe.closed
    assert coro.close() is None


def test_unstarted_coroutine_close_releases_arguments_without_warning():
    obj = Holder()
    ref = weakref.ref(obj)
    coro = nc.hold(obj, Probe())
    del obj
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro.close()
    assert ref() is None


def test_never_awaited_coroutine_warns_and_releases():
    obj = Holder()
    ref = weakref.ref(obj)
    coro = nc.hold(obj, Probe())
    del obj
    with pytest.warns(RuntimeWarning, match="coroutine 'hold' was never awaited"):
        del coro
        gc.collect()
    assert ref() is None


def test_collecting_suspended_coroutine_closes_it():
    obj, probe = Holder(), Probe()
    ref = weakref.ref(obj)
    coro = nc.hold(obj, probe)
    coro.send(None)
    del obj, coro
    assert ref() is None and probe.closed


def test_close_ignoring_generator_exit(impl):
    coro = impl.ignore_exit(Probe(), Probe())
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()
    with pytest.raises(StopIteration):  # still usable, like a Python coroutine
        coro.send(None)


def test_close_error_of_inner_replaces_generator_exit(impl):
    coro = impl.echo_after(Probe(close_error=OSError("close failed")))
    coro.send(None)
    with pytest.raises(OSError, match="close failed"):
        coro.close()


# ---- exceptions -------------------------------------------------------------


@pytest.mark.parametrize("cause", [False, True])
@pytest.mark.parametrize("suspend_in_handler", [False, True])
def test_exception_chaining(impl, cause, suspend_in_handler):
    coro = impl.raise_in_handler(failing(), LookupError, "outer", cause, Probe() if suspend_in_handler else None)
    if suspend_in_handler:
        assert coro.send(None) == ("tick", 1)
        assert sys.exception() is None  # the handled error stays inside the coroutine
    with pytest.raises(LookupError) as info:
        coro.send(None)
    outer = info.value
    assert outer.args == ("outer",)
    assert isinstance(outer.__context__, ValueError)
    assert outer.__cause__ is (outer.__context__ if cause else None)
    assert outer.__suppress_context__ is cause
    names = [frame.name for frame in traceback.extract_tb(outer.__context__.__traceback__)]
    assert names[-2:] == ["failing", "fail_here"]


def test_close_inside_handler_leaves_caller_state_alone(impl):
    coro = impl.raise_in_handler(failing(), LookupError, "outer", False, Probe())
    coro.send(None)
    try:
        raise KeyError("caller's own")
    except KeyError as mine:
        assert coro.close() is None
        assert sys.exception() is mine
    assert sys.exception() is None


def test_handled_exception_survives_suspension(impl):
    coro = impl.handled_across_await(failing(), Probe(), sys.exception)
    assert coro.send(None) == ("tick", 1)
    assert sys.exception() is None
    try:
        raise KeyError("caller's own")
    except KeyError as mine:
        seen = finish(coro)
        assert sys.exception() is mine
    assert isinstance(seen, ValueError) and str(seen) == "inner failure"


def test_error_from_awaited_propagates_with_traceback(impl):
    coro = impl.echo_after(failing())
    with pytest.raises(ValueError) as info:
        coro.send(None)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "fail_here"


def test_stop_iteration_escaping_body_becomes_runtime_error(impl):
    coro = impl.raise_stop(Probe(yields=0), "v")
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        coro.send(None)
    assert isinstance(info.value.__cause__, StopIteration) and info.value.__cause__.args == ("v",)


@pytest.mark.parametrize(
    "make, error, message",
    [
        (nc.return_null, SystemError, "returned NULL without setting an exception"),
        (nc.return_with_error, SystemError, "returned a result with an exception set"),
        (lambda: nc.throw_cxx(Probe(yields=0)), SystemError, "C\\+\\+ exception in native coroutine: boom"),
    ],
)
def test_inconsistent_native_bodies_raise_system_error(make, error, message):
    with pytest.raises(error, match=message) as info:
        make().send(None)
    if make is nc.return_with_error:
        assert isinstance(info.value.__cause__, ValueError)


class Service:
    async def fetch(self):
        await asyncio.sleep(0)
        return "fetched"


def test_await_call_and_method():
    async def main():
        loop = asyncio.get_running_loop()
        assert await nc.call_fn(Py.echo_after, nc.noop(5)) == 5
        assert await nc.call_method(Service(), "fetch") == "fetched"
        with pytest.raises(TypeError, match="can't be (awaited|used in 'await' expression)"):
            await nc.call_fn(len, "abc")
        with pytest.raises(ZeroDivisionError):
            await nc.call_fn(lambda x: 1 / x, 0)
        with pytest.raises(AttributeError):
            await nc.call_method(loop, "no_such_method")

    asyncio.run(main())


# ---- garbage collection -----------------------------------------------------


@pytest.mark.parametrize("started", [False, True])
def test_cycle_through_native_coroutine_is_collectable(started):
    obj = Holder()
    ref = weakref.ref(obj)
    probe = Probe()
    obj.coro = nc.hold(obj, probe)
    assert obj in gc.get_referents(obj.coro)
    if started:
        obj.coro.send(None)
        assert probe in gc.get_referents(obj.coro)
    del obj
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()
    assert ref() is None
    assert probe.closed is started


def test_cycle_through_native_async_generator_is_collectable():
    obj = Holder()
    ref = weakref.ref(obj)
    obj.gen = nc.hold_gen(obj, 3)
    step = obj.gen.__anext__()
    with pytest.raises(StopIteration):
        step.send(None)
    del obj, step
    gc.collect()
    assert ref() is None


# ---- async generators -------------------------------------------------------


def run(coro):
    return asyncio.run(coro)


def test_async_generator_values_and_asend(impl):
    sent = []

    async def main():
        gen = impl.relay([Probe("a", yields=0), asyncio.sleep(0, "b")], sent)
        assert await gen.__anext__() == "a"
        assert await gen.asend("to-a") == "b"
        with pytest.raises(StopAsyncIteration):
            await gen.asend("to-b")
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    run(main())
    assert sent == ["to-a", "to-b"]


def test_async_generator_passes_awaited_yields_out(impl):
    gen = impl.relay([Probe("v", yields=2)])
    step = gen.__anext__()
    assert step.send(None) == ("tick", 1)
    assert step.send("x") == ("tick", 2)
    with pytest.raises(StopIteration) as info:
        step.send("y")
    assert info.value.value == "v"
    with pytest.raises(RuntimeError, match=r"cannot reuse already awaited __anext__\(\)/asend\(\)"):
        step.send(None)


@pytest.mark.parametrize("exc_type, expect", [(KeyError, "caught"), (ValueError, ValueError)])
def test_athrow(impl, exc_type, expect):
    async def main():
        gen = impl.catching(3, KeyError)
        assert await gen.__anext__() == 0
        if expect == "caught":
            assert await gen.athrow(exc_type("x")) == "caught"
        else:
            with pytest.raises(expect):
                await gen.athrow(exc_type("x"))
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()
        assert await gen.athrow(KeyError("after end")) is None

    run(main())


@pytest.mark.parametrize("advance", [0, 1])
def test_aclose_releases_and_ends(impl, advance):
    async def main():
        obj = Holder()
        ref = weakref.ref(obj)
        gen = impl.hold_gen(obj, 5)
        del obj
        for _ in range(advance):
            await gen.__anext__()
        assert await gen.aclose() is None
        assert ref() is None
        assert await gen.aclose() is None
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    run(main())


def test_aclose_ignoring_generator_exit(impl):
    async def main():
        gen = impl.ignoring_exit()
        assert await gen.__anext__() == 1
        with pytest.raises(RuntimeError, match="async generator ignored GeneratorExit"):
            await gen.aclose()

    run(main())


def test_error_and_stop_async_iteration_from_generator_body(impl):
    async def main():
        gen = impl.raising_gen(KeyError("from body"))
        assert await gen.__anext__() == 1
        with pytest.raises(KeyError):
            await gen.__anext__()
        gen = impl.raising_gen(StopAsyncIteration())
        await gen.__anext__()
        with pytest.raises(RuntimeError, match="async generator raised StopAsyncIteration"):
            await gen.__anext__()

    run(main())


def test_second_anext_while_running_is_refused(impl):
    gen = impl.hold_gen(None, 2, Probe())
    first = gen.__anext__()
    assert first.send(None) == ("tick", 1)
    with pytest.raises(RuntimeError, match=r"anext\(\): asynchronous generator is already running"):
        gen.__anext__().send(None)
    with pytest.raises(StopIteration):
        first.send(None)


def test_non_none_asend_to_just_started(impl):
    with pytest.raises(TypeError, match="can't send non-None value to a just-started async generator"):
        impl.range_gen(1).asend(1).send(None)


@pytest.mark.parametrize("make_step", [lambda g: g.asend(None), lambda g: g.athrow(KeyError("k"))])
def test_closing_a_step_closes_the_generator(impl, make_step):
    async def main():
        obj = Holder()
        ref = weakref.ref(obj)
        gen = impl.hold_gen(obj, 3)
        del obj
        assert await gen.__anext__() == 0
        assert make_step(gen).close() is None
        assert ref() is None
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    run(main())


def test_abandoned_step_frees_generator():
    gen = nc.hold_gen(None, 2, Probe())
    step = gen.__anext__()
    step.send(None)
    del step
    assert gen.ag_running is False
    with pytest.raises(StopIteration) as info:  # resumes the abandoned await
        gen.__anext__().send(None)
    assert info.value.value == 0


def test_cancelled_while_generator_awaits(impl):
    async def main():
        fut = asyncio.get_running_loop().create_future()
        gen = impl.relay([fut])
        task = asyncio.ensure_future(gen.__anext__())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    run(main())


@pytest.mark.parametrize("source", ["native", "python"])
def test_native_async_for_over_generators(impl, source):
    producer = nc if source == "native" else Py
    assert run(impl.drain(producer.range_gen(4))) == [0, 1, 2, 3]
    with pytest.raises(KeyError):
        run(impl.drain(producer.raising_gen(KeyError())))
    with pytest.raises(TypeError, match="not an async iterable"):
        run(nc.drain(5))


def test_event_loop_finalizes_unfinished_generators():
    obj = Holder()
    ref = weakref.ref(obj)
    kept = []

    async def main():
        gen = nc.hold_gen(obj, 5)
        kept.append(gen)
        await gen.__anext__()

    run(main())  # asyncio.run ends with loop.shutdown_asyncgens()
    del obj
    assert ref() is None and kept[0].ag_suspended is False


# ---- introspection ----------------------------------------------------------


def test_introspection():
    coro, gen = nc.echo_after(Probe()), nc.range_gen(1)
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    assert isinstance(gen, collections.abc.AsyncGenerator)
    assert coro.__name__ == coro.__qualname__ == "echo_after"
    assert repr(coro).startswith("<native coroutine object echo_after at ")
    assert (coro.cr_await, coro.cr_running, coro.cr_suspended) == (None, False, False)
    coro.send(None)
    assert isinstance(coro.cr_await, Probe) and coro.cr_suspended
    assert weakref.ref(coro)() is coro
    coro.close()
    assert gen.ag_await is None and gen.__aiter__() is gen
    with pytest.raises(TypeError):
        type(coro)()


# ---- what debugging tools read --------------------------------------------------

import inspect
import io


def test_coroutine_states_follow_inspect(impl):
    coro = impl.echo_after(Probe())
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    coro.send(None)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    assert coro.cr_code.co_qualname.endswith("echo_after") and coro.cr_frame.f_code is not None
    finish(coro)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None


def test_async_generator_states_follow_inspect(impl):
    gen = impl.range_gen(2)
    assert inspect.getasyncgenstate(gen) == inspect.AGEN_CREATED
    assert run(gen.__anext__()) == 0
    assert inspect.getasyncgenstate(gen) == inspect.AGEN_SUSPENDED
    assert gen.ag_code.co_name == "range_gen" and gen.ag_frame is not None
    run(gen.aclose())
    assert inspect.getasyncgenstate(gen) == inspect.AGEN_CLOSED and gen.ag_frame is None


def test_call_graph_and_stack_name_the_native_coroutine():
    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(nc.echo_after(fut))
        await asyncio.sleep(0)
        out = io.StringIO()
        asyncio.print_call_graph(task, file=out)
        graph = asyncio.capture_call_graph(task)
        stack = task.get_stack()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return out.getvalue(), graph, stack

    if not hasattr(asyncio, "print_call_graph"):
        pytest.skip("asyncio has no call graphs before 3.14")
    text, graph, stack = asyncio.run(main())
    assert "in echo_after()" in text
    assert [entry.frame.f_code.co_qualname for entry in graph.call_stack] == ["echo_after"]
    assert [f.f_code.co_name for f in stack] == ["echo_after"]


def test_message_read_shows_in_call_graph():
    messages = pytest.importorskip("brindlewick.messages")
    contents = pytest.importorskip("brindlewick.contents")
    if not hasattr(asyncio, "print_call_graph"):
        pytest.skip("asyncio has no call graphs before 3.14")

    async def main():
        gate = asyncio.get_running_loop().create_future()

        async def receive():
            await gate
            return {"type": "http.request", "body": b"x", "more_body": False}

        message = messages.Message([])
        message.content = contents.ASGIContent(receive)

        async def handler():
            return await message.read()

        task = asyncio.ensure_future(handler())
        await asyncio.sleep(0)
        out = io.StringIO()
        asyncio.print_call_graph(task, file=out)
        gate.set_result(None)
        assert await task == b"x"
        return out.getvalue()

    lines = asyncio.run(main()).splitlines()
    named = [line.rsplit(" in ", 1)[1] for line in lines if " in " in line]
    assert named[-3:] == ["ASGIContent.read()", "Message.read()", "async test_message_read_shows_in_call_graph.<locals>.main.<locals>.handler()"]


def last_name(code):
    return code.co_qualname.rpartition(".")[2]


def test_call_graph_and_stack_twins(impl):
    """A task awaiting through a native or a Python echo_after shows the
    same call graph and stack, up to the file and line of the frames."""

    async def handler(fut):
        return await impl.echo_after(fut)

    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(handler(fut))
        await asyncio.sleep(0)
        graph = asyncio.capture_call_graph(task)
        text = asyncio.format_call_graph(task)
        stack = task.get_stack()
        fut.set_result(None)
        await task
        return [last_name(e.frame.f_code) for e in graph.call_stack], text, [f.f_code.co_name for f in stack]

    if not hasattr(asyncio, "capture_call_graph"):
        pytest.skip("asyncio has no call graphs before 3.14")
    names, text, stack = asyncio.run(main())
    assert names == ["echo_after", "handler"] and stack == ["handler"]
    assert "echo_after()" in text and "handler()" in text


def test_traceback_passes_through_the_body(impl):
    async def fail_here():
        raise KeyError("x")

    with pytest.raises(KeyError) as info:
        run(impl.echo_after(fail_here()))
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["echo_after", "fail_here"]


def test_never_awaited_warning_in_debug_mode_names_the_creation_point(impl):
    async def creator():
        coro = impl.echo_after(None)
        del coro
        gc.collect()

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with asyncio.Runner(debug=True) as runner:
            runner.run(creator())
    texts = [str(w.message) for w in caught if "was never awaited" in str(w.message)]
    assert len(texts) == 1 and "echo_after' was never awaited" in texts[0]
    assert "Coroutine created at" in texts[0] and "in creator" in texts[0]


@pytest.mark.parametrize("make", [lambda impl: impl.echo_after(Probe()), lambda impl: impl.noop(1)])
def test_origin_is_recorded_when_tracking_is_on(impl, make):
    def creator():
        return make(impl)

    old = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        coro = creator()
    finally:
        sys.set_coroutine_origin_tracking_depth(old)
    assert [entry[2] for entry in coro.cr_origin[:2]] == ["<lambda>", "creator"] and len(coro.cr_origin) == 3
    spare = make(impl)
    assert spare.cr_origin is None
    spare.close()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    text = str(caught[0].message)
    assert "was never awaited" in text and "Coroutine created at" in text and "creator" in text


# ---- cancellation of the caller while _call_soon awaits ------------------------


async def sleep_forever():
    await asyncio.sleep(3600)


async def py_call_soon(coro):
    task = asyncio.create_task(coro)
    asyncio.get_event_loop().call_soon(task.cancel)
    cancelling = asyncio.current_task().cancelling()
    try:
        return await task
    except asyncio.CancelledError:
        if asyncio.current_task().cancelling() > cancelling:
            raise
        return None


@pytest.fixture(params=["native", "python"])
def call_soon(request):
    if request.param == "python":
        return py_call_soon
    return pytest.importorskip("brindlewick.messages")._call_soon


def test_call_soon_gives_result_or_none(call_soon):
    async def main():
        async def quick():
            return 5

        return await call_soon(quick()), await call_soon(sleep_forever())

    assert asyncio.run(main()) == (5, None)


def test_timeout_around_call_soon_raises(call_soon):
    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                while True:
                    await call_soon(sleep_forever())
        return asyncio.current_task().cancelling()

    assert asyncio.run(main()) == 0


def test_cancelling_the_caller_of_call_soon_propagates(call_soon):
    async def main():
        started = asyncio.Event()

        async def probe():
            started.set()
            await asyncio.sleep(3600)

        async def caller():
            return await call_soon(probe())

        task = asyncio.ensure_future(caller())
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(main()) is True


def test_caller_cancelled_in_the_same_turn_as_call_soon_schedules_its_own(call_soon):
    async def main():
        async def caller():
            asyncio.get_running_loop().call_soon(asyncio.current_task().cancel)
            return await call_soon(sleep_forever())

        task = asyncio.ensure_future(caller())
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(main()) is True


def test_task_group_cancels_a_member_looping_on_call_soon(call_soon):
    async def main():
        async def boom():
            await asyncio.sleep(0.01)
            raise ValueError("sibling")

        async def looping():
            while True:
                await call_soon(sleep_forever())

        with pytest.raises(ExceptionGroup) as info:
            async with asyncio.TaskGroup() as group:
                group.create_task(boom())
                member = group.create_task(looping())
        return member.cancelled(), info.value.exceptions

    cancelled, errors = asyncio.run(main())
    assert cancelled is True and [type(e) for e in errors] == [ValueError]


def test_call_soon_in_a_task_without_cancelling():
    messages = pytest.importorskip("brindlewick.messages")

    class Plain(asyncio.Task):
        def __getattribute__(self, name):
            if name == "cancelling":
                raise AttributeError(name)
            return super().__getattribute__(name)

    async def main():
        asyncio.get_running_loop().set_task_factory(lambda loop, coro, **kw: Plain(coro, loop=loop, **kw))
        return await asyncio.create_task(messages._call_soon(sleep_forever()))

    assert asyncio.run(main()) is None


# ---- await-once -----------------------------------------------------------------


@pytest.mark.parametrize("holder", ["native", "python"])
@pytest.mark.parametrize("shared", ["python", "native", "python async generator", "native async generator"])
def test_awaiting_a_coroutine_that_a_task_awaits_is_refused(impl, holder, shared):
    """A second awaiter is refused at once; the first one keeps its result."""

    async def agen(aw):
        yield await aw

    async def main():
        fut = asyncio.get_running_loop().create_future()
        if shared.endswith("generator"):
            gen = agen(fut) if shared.startswith("python") else nc.relay([fut])
            first_aw, second_aw = gen.__anext__(), gen.__anext__()
            message = re.escape("anext(): asynchronous generator is already running")
        else:
            first_aw = second_aw = (Py if shared == "python" else nc).echo_after(fut)
            message = "coroutine is being awaited already"
        first = asyncio.ensure_future((Py if holder == "python" else nc).echo_after(first_aw))
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match=message):
            await impl.echo_after(second_aw)
        fut.set_result("mine")
        return await first

    assert asyncio.run(main()) == "mine"


# ---- the handled exception across a suspension ----------------------------------


class Witness(Probe):
    """Probe recording sys.exception() at each step; fails after two ticks."""

    def __init__(self):
        super().__init__(yields=2)
        self.seen = []

    def send(self, value):
        self.seen.append(sys.exception())
        if self.n == self.yields:
            raise ValueError("after resume")
        return super().send(value)

    def throw(self, exc):
        self.seen.append(sys.exception())
        raise exc


async def raise_key_error():
    raise KeyError("handled")


@pytest.mark.parametrize("ending", ["raise", "cancel"])
def test_awaited_object_sees_and_chains_to_handled_exception(impl, ending):
    witness = Witness()
    coro = impl.handled_across_await(raise_key_error(), witness, lambda: None)
    coro.send(None)
    expected = (ValueError, asyncio.CancelledError)[ending == "cancel"]
    with pytest.raises(expected) as info:
        if ending == "raise":
            coro.send(None)
            coro.send(None)
        else:
            coro.throw(asyncio.CancelledError())
    handled = info.value.__context__
    assert isinstance(handled, KeyError)
    sends = [seen for seen in witness.seen[: witness.n + (ending == "raise")]]
    assert all(seen is handled for seen in sends[: len(sends) if ending == "raise" else 1])


class Recorder:
    """Awaitable iterator recording sys.exception() at each send and throw;
    it fails on the third send."""

    def __init__(self):
        self.seen = []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.seen.append(("send", repr(sys.exception())))
        if len(self.seen) == 3:
            raise ValueError("after resume")
        return "tick"

    def throw(self, exc):
        self.seen.append(("throw", repr(sys.exception())))
        raise exc


async def py_awaiting(aw):
    seen = repr(sys.exception())
    await aw
    return seen


@types.coroutine
def gen_awaiting(aw):
    yield from aw


AWAITED = {
    "iterator": lambda rec: rec,
    "python coroutine": py_awaiting,
    "native coroutine": nc.echo_after,
    "generator coroutine": gen_awaiting,
}


def handled_scenario(impl, awaited, ending):
    """What the awaited object sees and what comes out, for a body that
    awaits `awaited` inside `except KeyError:`."""
    rec = Recorder()
    coro = impl.handled_across_await(raise_key_error(), AWAITED[awaited](rec), lambda: None)
    steps = [coro.send(None)]
    try:
        if ending == "raise":
            while True:
                steps.append(coro.send(None))
        coro.throw(asyncio.CancelledError())
    except BaseException as e:
        context = e.__context__
        steps.append((type(e).__name__, repr(context), context is not None and context.__context__ is None))
    return steps, rec.seen


@pytest.mark.parametrize("ending", ["raise", "cancel"])
@pytest.mark.parametrize("awaited", list(AWAITED))
def test_handled_exception_seen_by_every_kind_of_awaited_object(awaited, ending):
    native = handled_scenario(nc, awaited, ending)
    assert native == handled_scenario(Py, awaited, ending)
    steps, seen = native
    assert steps[-1][:2] == (("ValueError", "CancelledError")[ending == "cancel"], "KeyError('handled')")
    assert ("send", "KeyError('handled')") in seen


# ---- deep chains ---------------------------------------------------------------------


class Source:
    """Awaitable iterator at the bottom of a chain, with a `finally`."""

    def __init__(self, log):
        self.log = log

    def __await__(self):
        try:
            yield "tick"
            yield "tock"
        finally:
            self.log.append("source")


def at_c_depth(depth, fn):
    """Calls fn with `depth` C-level calls on the stack (through map)."""
    if depth == 0:
        return fn()
    return list(map(lambda _: at_c_depth(depth - 1, fn), [0]))[0]


def c_depth_limit():
    count = 0

    def dive(_):
        nonlocal count
        count += 1
        return list(map(dive, [0]))

    try:
        dive(0)
    except RecursionError:
        pass
    return count


# 3.13 bounds native chains at 2000 levels on any stack
DEEP = 4000 if sys.version_info >= (3, 14) else 1500


def deep_chain(impl, log):
    """DEEP levels of `try: return await ... finally: log`, over a Source."""
    coro = Source(log)
    for _ in range(DEEP):
        coro = impl.call_on_exit(coro, lambda: log.append("finally"))
    return coro


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    return seen


@pytest.mark.parametrize("margin", [5, 10, 40, 400])
@pytest.mark.parametrize("step", ["send", "throw"])
def test_deep_chain_resumed_from_deep_stack_closes_every_level(impl, margin, step, unraisable):
    if impl is Py and step == "throw":
        pytest.skip("the interpreter's own throw() recurses without a stack check and crashes here")
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200_000)
    try:
        log = []
        coro = deep_chain(impl, log)
        assert coro.send(None) == "tick"
        outcome = []

        def resume():
            try:
                if step == "send":
                    outcome.append(coro.send(None))
                else:
                    outcome.append(coro.throw(KeyError("in")))
            except RecursionError:
                outcome.append("RecursionError")
            except KeyError:
                outcome.append("KeyError")

        at_c_depth(c_depth_limit() - margin, resume)
        # Python's chains never run out of stack; a native one that does
        # raises RecursionError and is left as it was: nothing ran below.
        assert outcome in ([("tock", "KeyError")[step == "throw"]], ["RecursionError"])
        if outcome == ["RecursionError"]:
            assert log == [] and coro.cr_suspended
            resume()  # from a shallow stack now
            assert outcome[1] == ("tock", "KeyError")[step == "throw"]
        del coro
        gc.collect()
    finally:
        sys.setrecursionlimit(old)
    assert log.count("finally") == DEEP and log.count("source") == 1 and unraisable == []


def test_deep_chain_closed_from_deep_stack_in_python_order(impl, unraisable):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200_000)
    try:
        log = []
        coro = deep_chain(impl, log)
        assert coro.send(None) == "tick"
        at_c_depth(200, coro.close)
    finally:
        sys.setrecursionlimit(old)
    assert log == ["source"] + ["finally"] * DEEP and unraisable == []
