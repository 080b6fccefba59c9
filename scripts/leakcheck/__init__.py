"""Reference-leak checks for the native modules, run on a debug interpreter.

`python -m leakcheck [MODULE...] [PYTEST_ARGS...]` (from scripts/leaks.sh)
runs the suite's in-process test modules under pytest with the plugin of
`leakcheck.plugin`: each test is called as the suite calls it, then N and
2N more times after a warm-up, and fails when `sys.gettotalrefcount()` or
`sys.getallocatedblocks()` grows with the run length.  See docs/hardening.md.
"""
