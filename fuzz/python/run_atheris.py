"""Runs one target of surfaces.py under atheris:
`run_atheris.py TARGET [libFuzzer options and corpus directories]`."""

import sys

import atheris

target = sys.argv.pop(1)
with atheris.instrument_imports(include=["surfaces", "fuzzinput"]):
    import surfaces

atheris.Setup(sys.argv, surfaces.TARGETS[target])
atheris.Fuzz()
