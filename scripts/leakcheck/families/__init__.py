"""Operation families: one module each, with `operations() -> [(name, callable), ...]`.

A module may set `ITERATIONS` (N, default 10,000) for heavy operations.  An
operation may be `(name, callable, baseline)`: the growth of `baseline` run
alone is subtracted, for outside code whose own counts drift.
"""
