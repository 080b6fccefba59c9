"""Every seed and finding of the fuzz corpora (fuzz/corpus/<target>/) holds
the property its target checks, through the Python-visible functions: an
input a fuzzer found becomes a regression test by being added there."""

import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
sys.path.insert(0, str(FUZZ / "python"))

import native_properties  # noqa: E402
import surfaces  # noqa: E402

PROPERTIES = {**native_properties.PROPERTIES, **surfaces.TARGETS}


def test_every_corpus_has_a_property():
    corpora = {p.name for p in (FUZZ / "corpus").iterdir() if p.is_dir()}
    assert corpora == set(PROPERTIES)


@pytest.mark.parametrize("target", sorted(PROPERTIES))
def test_corpus_holds_the_property(target):
    files = sorted((FUZZ / "corpus" / target).iterdir())
    assert files, f"no seeds for {target}"
    for path in files:
        try:
            PROPERTIES[target](path.read_bytes())
        except AssertionError as exc:
            raise AssertionError(f"{path.name}: {exc}") from exc
