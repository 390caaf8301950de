"""Precision and coverage of the platform detector on the labelled scripts (loose bounds; the
figures themselves are printed by bench/detector_accuracy.py)."""

import sys
from pathlib import Path

import pytest

from detector_corpus.generate import scripts

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from detector_accuracy import measure  # noqa: E402


@pytest.mark.parametrize("seed", [11, 5])
def test_precision_and_coverage(seed):
    m = measure(scripts(seed))
    assert m["precision"] >= 0.95, m["confusions"]
    assert m["coverage"] >= 0.80


def test_examples_are_named_by_their_folder():
    from agents.transmute.assess import decode
    from agents.transmute.originscan import detect_platform

    root = Path(__file__).resolve().parents[1] / "examples" / "platforms"
    files = sorted(root.rglob("*.sql"))
    assert len({f.parent.name for f in files}) == 10
    for path in files:
        text = decode(path.read_bytes())[0]
        assert str(detect_platform(text).platform) == path.parent.name, path
