"""Reference-leak checks for the native modules, run on a debug interpreter.

`python -m leakcheck [FAMILY...]` (from scripts/leaks.sh) repeats every
operation of every family in `leakcheck.families` N and 2N times after a
warm-up and fails when `sys.gettotalrefcount()` or `sys.getallocatedblocks()`
grows with the run length.  See docs/hardening.md.
"""
