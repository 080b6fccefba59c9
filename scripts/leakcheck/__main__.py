"""Driver: `python -m leakcheck [FAMILY...]` on a debug interpreter.

For each operation: a warm-up (first-use caches, interned names, free lists
fill up), then N calls and 2N calls, each between two gc.collect()s, reading
sys.gettotalrefcount() and sys.getallocatedblocks() around them.  A one-time
cache or a constant offset shows up equally in both runs; a leak of k
references per call makes the 2N delta exceed the N delta by k*N.  The
operation grows when that excess is above TOLERANCE for either counter in
two measurements in a row (the second is made only when the first grew).
"""

from __future__ import annotations

import gc
import importlib
import os
import pkgutil
import sys
import time
import traceback
import warnings
from itertools import repeat

from leakcheck import families, support

DEFAULT_ITERATIONS = 10_000
# Excess of the 2N delta over the N delta that still counts as no growth.  A
# per-call leak of even one reference or block gives an excess of N (>= 500
# at the smallest N used here); what stays below 64 is a structure of the
# interpreter that happened to resize between the two runs (a dict, a free
# list, a type cache line), not something that scales with the calls.
TOLERANCE = 64


def measure(fn, n):
    gc.collect()
    refs0 = sys.gettotalrefcount()
    blocks0 = sys.getallocatedblocks()
    for _ in repeat(None, n):
        fn()
    gc.collect()
    return sys.gettotalrefcount() - refs0, sys.getallocatedblocks() - blocks0


def check(fn, n, baseline=None):
    """(refs at N, blocks at N, refs at 2N, blocks at 2N) of one operation."""
    for _ in repeat(None, max(50, n // 10)):
        fn()
    r1, b1 = measure(fn, n)
    r2, b2 = measure(fn, 2 * n)
    if baseline is not None:
        # Outside code whose counts drift by itself: take its own growth off.
        for _ in repeat(None, max(50, n // 10)):
            baseline()
        br1, bb1 = measure(baseline, n)
        br2, bb2 = measure(baseline, 2 * n)
        r2 -= br2 - br1
        b2 -= bb2 - bb1
    return r1, b1, r2, b2


def discover(selected):
    allow_missing = os.environ.get("LEAKS_ALLOW_MISSING") == "1"
    found = []
    for info in sorted(pkgutil.iter_modules(families.__path__), key=lambda i: i.name):
        if selected and info.name not in selected:
            continue
        try:
            module = importlib.import_module(f"{families.__name__}.{info.name}")
        except ImportError as error:
            if allow_missing:
                print(f"leaks: skipping family {info.name}: {error}")
                continue
            raise
        found.append(module)
    unknown = set(selected) - {m.__name__.rsplit(".", 1)[1] for m in found}
    if unknown and not allow_missing:
        raise SystemExit(f"leaks: no such family: {', '.join(sorted(unknown))}")
    return found


def checked(label, fn, n, baseline):
    """check() of one operation, or None (its traceback printed) when it raised."""
    try:
        return check(fn, n, baseline)
    except Exception:
        print(f"{label:<58} failed:")
        traceback.print_exc(file=sys.stdout)
        return None


def grew(counts):
    r1, b1, r2, b2 = counts
    return r2 - r1 > TOLERANCE or b2 - b1 > TOLERANCE


def per_op(delta, n):
    return f"{delta / n:+.4f}"


def run_family(module, scale):
    name = module.__name__.rsplit(".", 1)[1]
    n = max(100, int(getattr(module, "ITERATIONS", DEFAULT_ITERATIONS) * scale))
    ops = module.operations()
    # What exists now (modules, the test tables, the operations' inputs) is
    # moved out of the collector's view: each gc.collect() then walks only
    # what the operations made, which keeps it in milliseconds.
    gc.collect()
    gc.freeze()
    print(f"\n== {name}: {len(ops)} operations, N={n} and 2N={2 * n}")
    header = f"{'operation':<58} {'refs/op N':>10} {'refs/op 2N':>10} {'blocks/op N':>11} {'blocks/op 2N':>12}  "
    print(header)
    print("-" * len(header))
    growing = []
    # The largest excess of the 2N delta over the N delta, per counter: the
    # family's figure in the closing summary.
    excess = {"refs": 0, "blocks": 0}
    rechecked = 0
    started = time.monotonic()
    for entry in ops:
        label, fn = entry[0], entry[1]
        baseline = entry[2] if len(entry) > 2 else None
        counts = checked(label, fn, n, baseline)
        if counts is not None and grew(counts):
            # An interpreter structure that resizes once (the event loop's
            # queues, a dictionary reaching its next size) can land in the 2N
            # run; a leak grows again when measured again.
            r1, b1, r2, b2 = counts
            print(
                f"{label[:58]:<58} {per_op(r1, n):>10} {per_op(r2, 2 * n):>10} "
                f"{per_op(b1, n):>11} {per_op(b2, 2 * n):>12}  grew: measuring again"
            )
            rechecked += 1
            counts = checked(label, fn, n, baseline)
        if counts is None:
            growing.append(f"{name}: {label} (raised)")
            continue
        r1, b1, r2, b2 = counts
        grows = grew(counts)
        excess["refs"] = max(excess["refs"], r2 - r1)
        excess["blocks"] = max(excess["blocks"], b2 - b1)
        verdict = "GROWS" if grows else "ok"
        print(
            f"{label[:58]:<58} {per_op(r1, n):>10} {per_op(r2, 2 * n):>10} "
            f"{per_op(b1, n):>11} {per_op(b2, 2 * n):>12}  {verdict}"
        )
        if grows:
            growing.append(f"{name}: {label} (refs {r1} -> {r2}, blocks {b1} -> {b2})")
    elapsed = time.monotonic() - started
    print(f"({elapsed:.1f} s)")
    return growing, (name, len(ops), n, excess["refs"], excess["blocks"], rechecked, elapsed)


def print_summary(summary):
    """One line per family: the largest excess of the 2N run over the N run
    among its operations (a leak of one per call would show N)."""
    print(f"\nsummary (largest excess of the 2N delta over the N delta per family; growth above {TOLERANCE}):")
    header = (f"| {'family':<22} | {'operations':>10} | {'N':>6} | {'refs excess':>11} | {'blocks excess':>13} "
              f"| {'measured again':>14} | {'seconds':>7} |")
    print(header)
    print("|" + "|".join("-" * len(c) for c in header.split("|")[1:-1]) + "|")
    for name, count, n, refs, blocks, rechecked, elapsed in summary:
        print(f"| {name:<22} | {count:>10} | {n:>6} | {refs:>+11d} | {blocks:>+13d} | {rechecked:>14d} "
              f"| {elapsed:>7.1f} |")


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("leaks: needs a debug build of CPython (sys.gettotalrefcount)")
    # The checks raise and drop many exceptions on purpose; warnings that
    # some of them trigger are not what is measured.
    warnings.simplefilter("ignore")
    scale = float(os.environ.get("LEAKS_SCALE", "1"))
    mods = discover(argv)
    started = time.monotonic()
    growing = []
    summary = []
    for module in mods:
        found, line = run_family(module, scale)
        growing += found
        summary.append(line)
    support.close_loop()
    print_summary(summary)
    print(f"\n({time.monotonic() - started:.0f} s for the checks)")
    if growing:
        families_growing = len({line.split(":", 1)[0] for line in growing})
        print(f"leaks: {len(mods)} families checked, {families_growing} growing:")
        for line in growing:
            print(f"  {line}")
        return 1
    print(f"leaks: {len(mods)} families checked, 0 growing")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
