"""The pytest plugin of the leak check: every test runs as the suite runs it,
once, and then again and again to see whether the interpreter's counts grow.

In the call phase of each test, after the suite's own call has passed: a
warm-up (first-use caches, interned names, free lists fill up), then N calls
and 2N calls, each between two gc.collect()s, reading sys.gettotalrefcount()
and sys.getallocatedblocks() around them.  A one-time cache or a constant
offset shows up equally in both runs; a leak of k references per call makes
the 2N delta exceed the N delta by k*N.  A test grows when that excess is
above the limit (TOLERANCE, or N/2 where that is more) for either counter in
two measurements in a row (the second is made only when the first grew); it
then fails, with its counts.

N is chosen per test from the time one call takes (see N_MIN and CAP).
Every call gets the parametrize arguments and fixture values pytest resolved
for the test, with what one call would use up made afresh: fixtures that keep
state between calls (the pools' autouse reset, monkeypatch, an unraisable
hook) are torn down and set up again around every call, as between two tests
(the ones in REUSED are resolved once); iterators and exceptions among the
arguments are copied; pytest's log capture is emptied; the thread's pools of
requests and responses start empty.  Property tests run a few fixed examples.
"""

from __future__ import annotations

import copy
import gc
import os
import sys
import time
from collections import defaultdict
from collections.abc import Iterator
from fnmatch import fnmatch
from itertools import repeat

import pytest

# Excess of the 2N delta over the N delta that still counts as no growth:
# TOLERANCE, or N/2 where that is more.  A per-call leak of even one reference
# or block gives an excess of N; what stays below the limit is a structure of
# the interpreter that happened to resize between the two runs (a dict, a
# free list, a type cache line; up to about 35 in runs of tests that make a
# class per call), not something that scales with the calls.
TOLERANCE = 32
# N for one test: the repeated calls take about BUDGET seconds, within
# [N_MIN, N_MAX]; where N_MIN calls would take more than CAP seconds, N is
# what fits in CAP, but at least N_FLOOR.  Below N_MIN a test's leak shows only
# from TOLERANCE / N per call on; the tests that slow do thousands of
# operations per call (every chunking of a body, chains of hundreds of awaits).
N_MIN = 50
N_MAX = 500
N_FLOOR = 4
BUDGET = 0.03
CAP = 1.0

# Examples per run of a property test; the examples are the same in every run
# (derandomized, no example database), so each call does the same work.
HYPOTHESIS_EXAMPLES = 5

# Function-scoped fixtures whose value serves every call of a test: `run` is
# asyncio.run; caplog and capsys are emptied before each call; tmp_path and
# the demo's file tree hold files that the tests only read or overwrite; impl
# and call_soon pick an implementation module.  Any other function-scoped
# fixture is set up afresh for each call.
REUSED = {"run", "request", "caplog", "capsys", "tmp_path", "tree", "impl", "call_soon"}

# Tests that cannot be repeated in one process, with the reason; fnmatch
# patterns over node ids relative to the repository root.
SKIP = {
    "tests/test_loading.py::test_[!s]*": "each call loads the modules in a new subprocess or subinterpreter",
    "tests/test_load_bench.py::test_memory_of_a_process_tree_counts_its_children": "starts a subprocess",
    "tests/test_message_forms.py::test_messages_loads_whichever_module_comes_first*": "imports in a new subprocess",
    "tests/test_scribe_heads.py::test_second_initialisation_is_refused": "initialises the module in a new subprocess",
    "tests/test_scribe_heads.py::test_missing_messages_entry_point_stops_the_import": "imports in a new subprocess",
    "tests/test_demo_files.py::test_the_tag_follows_size_and_time": "sets a file's time once: a second call finds it set",
    "tests/test_serve.py::test_asgi_exchange_reads_scopes_as_servers_give_them[changes4-*":
        "the scope's headers are a generator, used up by the first call",
    "tests/test_cookies.py::test_failing_tzinfo_propagates":
        "defines a tzinfo class whose utcoffset raises on every call, and CPython's own counts drift with that "
        "(the same body with datetime's methods in place of the package's grows alike, 0.3 to 0.5 per call)",
    "tests/test_coro.py::test_deep_chain_of_awaits_raises_recursion_error*":
        "one call runs a chain of awaits to the recursion limit (seconds on the debug build); "
        "the shallower deep-chain tests cover the same paths",
}


def per_call(delta, n):
    return f"{delta / n:+.4f}"


class LeakCheck:
    def __init__(self, scale, report):
        self.scale = scale
        self.report = report
        self.rows = []  # (nodeid, n, r1, b1, r2, b2, verdict, seconds, measured twice)
        self.skipped = []  # (nodeid, reason)

    # ---- set-up ---------------------------------------------------------------------

    @pytest.hookimpl(trylast=True)  # after -k and -m have deselected
    def pytest_collection_modifyitems(self, items):
        for item in items:
            for pattern, reason in SKIP.items():
                if fnmatch(item.nodeid, pattern):
                    item.add_marker(pytest.mark.skip(reason=f"leaks: {reason}"))
                    self.skipped.append((item.nodeid, reason))
                    break
            fn = getattr(item, "obj", None)
            if getattr(fn, "is_hypothesis_test", False):
                self.derandomize(fn)

    @staticmethod
    def derandomize(fn):
        from hypothesis import HealthCheck, Phase, settings

        current = getattr(fn, "_hypothesis_internal_use_settings", None)
        if getattr(current, "_leakcheck", False):
            return
        fixed = settings(current, max_examples=HYPOTHESIS_EXAMPLES, derandomize=True, database=None,
                         deadline=None, phases=[Phase.explicit, Phase.generate],
                         suppress_health_check=list(HealthCheck))
        fixed._leakcheck = True
        fn._hypothesis_internal_use_settings = fixed

    # ---- one test ---------------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_pyfunc_call(self, pyfuncitem):
        item = pyfuncitem
        call = self.caller(item)
        started = time.monotonic()
        call()  # the suite's own call: a failure here is the test's
        first = time.monotonic() - started

        # The first calls of the warm-up also time one call more precisely
        # than the first call did.
        warm = max(2, min(20, int(0.01 / max(first, 1e-6))))
        t0 = time.monotonic()
        for _ in repeat(None, warm):
            call()
        one = max((time.monotonic() - t0) / warm, 1e-6)
        n = min(N_MAX, max(N_MIN, BUDGET / (3 * one)))
        if 3.3 * n * one > CAP:
            n = max(N_FLOOR, CAP / (3.3 * one))
        n = max(N_FLOOR, int(n * self.scale))

        counts = self.check(call, n)
        again = False
        if self.grew(counts, n):
            # An interpreter structure that resizes once can land in the 2N
            # run; a leak grows again when measured again.
            again = True
            counts = self.check(call, n)
        grows = self.grew(counts, n)
        r1, b1, r2, b2 = counts
        verdict = "GROWS" if grows else "ok"
        self.rows.append((item.nodeid, n, r1, b1, r2, b2, verdict, time.monotonic() - started, again))
        if grows:
            pytest.fail(
                f"leaks: counts grow with the number of calls: N={n}: refs {r1:+d}, blocks {b1:+d}; "
                f"2N={2 * n}: refs {r2:+d}, blocks {b2:+d} (per call at 2N: refs {per_call(r2 - r1, n)}, "
                f"blocks {per_call(b2 - b1, n)} beyond the N run)",
                pytrace=False,
            )
        return True

    def caller(self, item):
        """A callable that runs the test function once, as pytest's own call
        does, with fresh state where a fixture keeps some."""
        fn = item.obj
        names = item._fixtureinfo.argnames
        defs = item._fixtureinfo.name2fixturedefs
        params = getattr(getattr(item, "callspec", None), "params", {})
        stateful = [
            name for name in item.fixturenames
            if name in defs and defs[name][-1].scope == "function" and name not in REUSED
            and not (name in params and defs[name][-1].func.__name__ == "get_direct_param_fixture_func")
        ]
        # pytest's log capture keeps every record of a test's call phase.
        logging = item.config.pluginmanager.get_plugin("logging-plugin")
        handlers = [logging.caplog_handler, logging.report_handler] if logging is not None else []
        capsys = item.funcargs.get("capsys")
        pools = sys.modules.get("brindlewick.messages")
        pools = getattr(pools, "_TLS", None)

        def clear():
            for handler in handlers:
                handler.clear()
            if capsys is not None:
                capsys.readouterr()
            if pools is not None:
                # Every exchange puts its objects back into the thread's
                # pools, which fill up to their bound over the calls and then
                # refuse what comes back (a test that checks the hand-back
                # sees a full pool): each call starts from empty ones, as
                # the first call of a test normally finds them.
                pools.requests = []
                pools.responses = []

        def fresh(args):
            # An iterator among the arguments is used up by the first call, and
            # a raised exception keeps the traceback of its last raise (raising
            # it again chains the new frames onto it): each call gets a copy of
            # the argument as pytest made it, which is what a single call sees.
            return {k: copy.copy(v) if isinstance(v, (BaseException, Iterator)) else v for k, v in args.items()}

        invoke = self.invoker(fn)
        if not stateful:
            args = {name: item.funcargs[name] for name in names}

            def call():
                clear()
                invoke(fresh(args))

            return call

        setupstate = item.session._setupstate
        first = [True]

        def call():
            clear()
            if first[0]:
                first[0] = False
            else:
                # Teardown of the test's own fixtures (its node only), then a
                # new request and set-up, as pytest does between tests.
                setupstate.teardown_exact(item.parent)
                item._initrequest()
                setupstate.setup(item)
            invoke(fresh({name: item.funcargs[name] for name in names}))

        return call

    @staticmethod
    def invoker(fn):
        """invoke(args) runs the test function with the fixture arguments.

        A property test runs through Hypothesis on its first call, which
        records the examples its body gets; later calls run the body over
        those examples (deep copies of them) without the engine, whose own
        caches grow for hundreds of runs.  A test that draws as it goes
        (st.data()) goes through the engine on every call."""
        handle = getattr(fn, "hypothesis", None) if getattr(fn, "is_hypothesis_test", False) else None
        if handle is None:
            return lambda args: fn(**args)
        inner = handle.inner_test
        examples = []
        state = {}

        def recording(*a, **k):
            result = inner(*a, **k)
            examples.append((a, k))
            return result

        def replay(args):
            for a, k in examples:
                inner(*copy.deepcopy(a), **{key: args[key] if key in args else copy.deepcopy(v) for key, v in k.items()})

        def first(args):
            handle.inner_test = recording
            try:
                fn(**args)
            finally:
                handle.inner_test = inner
            drawn = [v for a, k in examples for v in (*a, *(v for key, v in k.items() if key not in args))]
            replayable = bool(examples) and not any(type(v).__name__ == "DataObject" for v in drawn)
            try:
                copy.deepcopy(drawn)
            except Exception:
                replayable = False
            state["invoke"] = replay if replayable else (lambda args: fn(**args))
            state["replayed"] = replayable

        state["invoke"] = first
        return lambda args: state["invoke"](args)

    @staticmethod
    def measure(call, n):
        gc.collect()
        refs0 = sys.gettotalrefcount()
        blocks0 = sys.getallocatedblocks()
        for _ in repeat(None, n):
            call()
        gc.collect()
        return sys.gettotalrefcount() - refs0, sys.getallocatedblocks() - blocks0

    def check(self, call, n):
        for _ in repeat(None, max(2, n // 10)):
            call()
        # What exists now (the session, the modules, the test's inputs) is
        # moved out of the collector's view: each gc.collect() then walks
        # only what the calls made.
        gc.collect()
        gc.freeze()
        r1, b1 = self.measure(call, n)
        r2, b2 = self.measure(call, 2 * n)
        return r1, b1, r2, b2

    @staticmethod
    def grew(counts, n):
        r1, b1, r2, b2 = counts
        limit = max(TOLERANCE, n // 2)
        return r2 - r1 > limit or b2 - b1 > limit

    # ---- the report ---------------------------------------------------------------------

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        rows = self.rows
        header = (f"{'test':<90} {'N':>5} {'refs/call N':>11} {'refs/call 2N':>12} "
                  f"{'blocks/call N':>13} {'blocks/call 2N':>14} {'s':>6}  verdict")
        lines = [header, "-" * len(header)]
        for nodeid, n, r1, b1, r2, b2, verdict, seconds, again in rows:
            note = " (measured again)" if again else ""
            lines.append(f"{nodeid[:90]:<90} {n:>5} {per_call(r1, n):>11} {per_call(r2, 2 * n):>12} "
                         f"{per_call(b1, n):>13} {per_call(b2, 2 * n):>14} {seconds:>6.2f}  {verdict}{note}")
        if self.report:
            os.makedirs(os.path.dirname(self.report) or ".", exist_ok=True)
            with open(self.report, "w") as out:
                out.write("\n".join(lines) + "\n")
                for nodeid, reason in self.skipped:
                    out.write(f"skipped: {nodeid}: {reason}\n")

        modules = defaultdict(lambda: [0, 10**9, 0, 0, 0, 0, 0.0])
        for nodeid, n, r1, b1, r2, b2, verdict, seconds, again in rows:
            m = modules[nodeid.split("::", 1)[0]]
            m[0] += 1
            m[1] = min(m[1], n)
            m[2] = max(m[2], n)
            m[3] = max(m[3], r2 - r1)
            m[4] = max(m[4], b2 - b1)
            m[5] += again
            m[6] += seconds
        tr.write_sep("=", "leaks")
        tr.write_line(f"largest excess of the 2N delta over the N delta per module; "
                      f"growth above {TOLERANCE} or N/2, whichever is more:")
        head = (f"| {'module':<36} | {'tests':>5} | {'N':>9} | {'refs excess':>11} | {'blocks excess':>13} "
                f"| {'measured again':>14} | {'seconds':>7} |")
        tr.write_line(head)
        tr.write_line("|" + "|".join("-" * len(c) for c in head.split("|")[1:-1]) + "|")
        for name in sorted(modules):
            count, lo, hi, refs, blocks, again, seconds = modules[name]
            span = f"{lo}" if lo == hi else f"{lo}-{hi}"
            tr.write_line(f"| {name:<36} | {count:>5} | {span:>9} | {refs:>+11d} | {blocks:>+13d} | {again:>14d} "
                          f"| {seconds:>7.1f} |")
        for nodeid, n, r1, b1, r2, b2, verdict, seconds, again in rows:
            if again:
                tr.write_line(f"measured again: {nodeid}: N={n}, excess refs {r2 - r1:+d}, blocks {b2 - b1:+d} "
                              f"({verdict})")
        growing = [row for row in rows if row[6] == "GROWS"]
        tr.write_line(f"leaks: {len(rows)} tests checked, {len(self.skipped)} skipped by the leak check, "
                      f"{len(growing)} growing")
        for nodeid, n, r1, b1, r2, b2, *_ in growing:
            tr.write_line(f"  {nodeid}: N={n} refs {r1:+d} -> 2N {r2:+d}, blocks {b1:+d} -> 2N {b2:+d}")
