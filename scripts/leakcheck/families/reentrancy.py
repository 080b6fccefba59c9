"""The re-entrancy tests of the suite (tests/test_reentrancy_messages.py and
tests/test_reentrancy_siblings.py), each parametrize row one operation: Python
code that runs inside a native operation (a name's __eq__ or lower(), a
content's __bool__, a repr, a hash, a codec look-up) and replaces, clears
or drops what the operation is working on.  These are the paths where a
reference held too briefly or too long would show.

Each test function is called as the suite calls it, with its row's arguments;
the few that need the `run` fixture get the run's one event loop.  A test
added to either module is checked here without further work."""

import inspect

from leakcheck.support import cases, run, test_module

ITERATIONS = 1_000

MODULES = ("test_reentrancy_messages", "test_reentrancy_siblings")


def call(fn, row):
    kwargs = dict(row)
    if "run" in inspect.signature(fn).parameters:
        kwargs["run"] = run
    return lambda: fn(**kwargs)


def label(row):
    parts = []
    for value in row.values():
        name = getattr(value, "__name__", None) or repr(value)
        parts.append(name[:18])
    return ", ".join(parts)


def operations():
    ops = []
    for module_name in MODULES:
        module = test_module(module_name)
        for name, fn in vars(module).items():
            if not name.startswith("test_") or not callable(fn):
                continue
            short = name[5:]
            if any(m.name == "parametrize" for m in getattr(fn, "pytestmark", [])):
                for row in cases(module_name, name):
                    ops.append((f"{short[:30]}({label(row)})"[:58], call(fn, row)))
            else:
                ops.append((short[:58], call(fn, {})))
    return ops
