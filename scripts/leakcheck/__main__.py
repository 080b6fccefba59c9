"""Driver: `python -m leakcheck [MODULE...] [PYTEST_ARGS...]` on a debug interpreter.

Runs the suite's in-process test modules under pytest, in this process, with
the plugin of leakcheck.plugin: each test is called as the suite calls it,
then N and 2N more times, and fails when sys.gettotalrefcount() or
sys.getallocatedblocks() grows with the run length.

A MODULE is a test module of tests/ (`url`, `test_url`, `tests/test_url.py`,
or a node id such as `tests/test_url.py::test_round_trip`); without one, all
the in-process modules run.  From the first argument that starts with `-` on,
the arguments go to pytest as they are (`-k cookie`, `-x`).
"""

from __future__ import annotations

import os
import sys
import warnings
from pathlib import Path

import pytest

from leakcheck.plugin import LeakCheck

ROOT = Path(__file__).resolve().parents[2]
TESTS = ROOT / "tests"

# Modules that start servers, clients or subprocesses for every test: the
# end-to-end ones.  Single tests of the in-process modules that cannot be
# repeated are listed in leakcheck.plugin.SKIP.
OUT = ("test_e2e_*.py",)


def in_process_modules():
    every = sorted(TESTS.glob("test_*.py"))
    return [p for p in every if not any(p.match(pattern) for pattern in OUT)]


def module_path(arg):
    """The test module (or node id under it) an argument names, or None."""
    node = ""
    if "::" in arg:
        arg, node = arg.split("::", 1)
        node = "::" + node
    name = Path(arg).name
    if not name.endswith(".py"):
        name += ".py"
    if not name.startswith("test_"):
        name = "test_" + name
    path = TESTS / name
    return f"{path.relative_to(ROOT)}{node}" if path.is_file() else None


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("leaks: needs a debug build of CPython (sys.gettotalrefcount)")
    selected, passed = [], []
    for i, arg in enumerate(argv):
        if arg.startswith("-"):
            passed = argv[i:]
            break
        path = module_path(arg)
        if path is None:
            raise SystemExit(f"leaks: no test module tests/{Path(arg).name} (from {arg!r})")
        selected.append(path)
    if not selected:
        selected = [str(p.relative_to(ROOT)) for p in in_process_modules()]
    # Warnings that the repeated calls trigger are not what is measured (and
    # pytest's own recording of them would grow with the calls); tests that
    # expect a warning catch it themselves.
    warnings.simplefilter("ignore")
    scale = float(os.environ.get("LEAKS_SCALE", "1"))
    report = os.environ.get("LEAKS_REPORT", "")
    args = [
        "-p", "no:cacheprovider", "-p", "no:warnings",
        "--rootdir", str(ROOT), "-c", str(ROOT / "pyproject.toml"),
        # One test's repeated calls take seconds; a test that hangs is still stopped.
        "-o", "timeout=600",
        *selected, *passed,
    ]
    os.chdir(ROOT)
    plugin = LeakCheck(scale, report)
    return pytest.main(args, plugins=[plugin])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
