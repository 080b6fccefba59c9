"""bench/load.py's own logic: the process-tree memory reading and the pass or
fail decision over a run's figures (the load itself is run by hand and in CI)."""

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import load  # noqa: E402

pytestmark = pytest.mark.timeout(30)

CLEAN = {"requests": 1000, "duration_us": 10_000_000, "p50_us": 1000, "p99_us": 5000, "non2xx": 0, "connect": 0,
         "read": 0, "write": 0, "timeout": 0, "get": 600, "echo": 300, "upload": 100}


def flat(duration=15, rss=100_000, slope=0.0):
    return [(float(t), int(rss * (1 + slope * t))) for t in range(duration + 1)]


def test_memory_of_a_process_tree_counts_its_children():
    child = subprocess.Popen([sys.executable, "-c", "import time; b = bytearray(64 << 20); time.sleep(30)"])
    try:
        me = os.getpid()
        deadline = time.monotonic() + 10
        while load.rss_kib(child.pid) < 60 << 10 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert child.pid in load.descendants(me)
        assert load.rss_kib(me) >= load.rss_kib(child.pid) + 1
        assert load.rss_kib(child.pid) >= 60 << 10
    finally:
        child.kill()
        child.wait()
    assert load.rss_kib(child.pid) == 0  # gone: nothing to read, no error


def test_median_at_ignores_one_odd_sample():
    samples = flat()
    samples[5] = (5.0, 900_000)
    assert load.median_at(samples, 5) == 100_000


@pytest.mark.parametrize(
    "change, samples, pools, failure",
    [
        ({}, flat(), {"requests": 40, "responses": 2}, None),
        ({"non2xx": 3}, flat(), {"requests": 1, "responses": 1}, "3 non-2xx responses"),
        ({"read": 1, "timeout": 2}, flat(), {"requests": 1, "responses": 1}, "3 socket errors"),
        ({"requests": 0}, flat(), {"requests": 0, "responses": 0}, "no request completed"),
        ({}, flat(slope=0.01), {"requests": 1, "responses": 1}, "memory grew"),
        ({}, flat(slope=0.002), {"requests": 1, "responses": 1}, None),  # about +2% over the last two thirds
        ({}, flat(), {"requests": 513, "responses": 1}, "pools above their bound"),
    ],
)
def test_evaluate(change, samples, pools, failure):
    row = load.evaluate("granian-rsgi", dict(CLEAN, **change), samples, pools, 15)
    if failure is None:
        assert row["failures"] == []
    else:
        assert len(row["failures"]) == 1 and row["failures"][0].startswith(failure)


def test_growth_is_measured_from_a_third_of_the_run():
    # Warm-up growth in the first third does not count; a rise after it does.
    warming = [(float(t), 50_000 if t < 5 else 100_000) for t in range(16)]
    assert load.evaluate("uvicorn", CLEAN, warming, {"requests": 1, "responses": 1}, 15)["failures"] == []
    late = [(float(t), 100_000 if t < 10 else 110_000) for t in range(16)]
    row = load.evaluate("uvicorn", CLEAN, late, {"requests": 1, "responses": 1}, 15)
    assert round(row["growth"]) == 10 and row["failures"]
