"""Fuzz target: the platform detector's native pass. Every marker row and rule fires exactly
when `re.search` finds it in the view the lexer gives it, on the same line; the lexer's views
keep the text's length and line breaks; the verdict is well formed, and is the one the plain
reading of the verdict's rules gives (with the shipped probe, and with one of 64 characters so
that short inputs are probed too).

    python fuzz/fuzz_detect.py fuzz/corpus/detect -max_total_time=60

Input: byte 0 repeats the text (1 to 4 times); the rest is the text (see _common).
"""

import re
import sys

import atheris

with atheris.instrument_imports():
    import _common
    from reference.detector_reference import detect as reference_detect
    from reference.detector_reference import first_lines

from agents.transmute import detector as _detector_module
from agents.transmute.cuebook import PLATFORM_MARKERS
from agents.transmute.detector import FLAGS, HASH_COMMENT, RULES, Detector, _row_context
from agents.transmute.originscan import Platform

EMPTY = {"classes": [p.value for p in Platform], "bias": [0.0] * 10, "threshold": 0.5, "features": [], "weights": []}
DETECTOR = Detector(model=EMPTY)
SHIPPED = Detector()
_detector_module.PROBE_CHARS = 64
PROBED = Detector()
PATTERNS = [(re.compile(m.pattern, FLAGS), _row_context(m)) for m in PLATFORM_MARKERS]
PATTERNS += [(re.compile(r.pattern, FLAGS), r.context) for r in RULES]


def check(data: bytes) -> None:
    if len(data) < 1:
        return
    text = _common.decode(data, 1) * (1 + data[0] % 4)
    code, comments = DETECTOR.views(text)
    assert len(code) == len(text) and (comments is None or len(comments) == len(text))
    assert [i for i, c in enumerate(code) if c == "\n"] == [i for i, c in enumerate(text) if c == "\n"]
    hash_rows = {i for i, (_, context) in enumerate(PATTERNS) if context == HASH_COMMENT}
    fired, _ = DETECTOR._scanner.features(text)
    got = {i: line for i, line in fired if i not in hash_rows}
    assert got == first_lines(PATTERNS, text, code, comments), (text, got)
    for detector in (DETECTOR, SHIPPED, PROBED):
        verdict = detector.detect(text)
        assert verdict.platform is None or verdict.unknown_reason is None
        assert abs(sum(verdict.probabilities.values()) - 1.0) < 1e-2
        plain = reference_detect(detector, text)
        assert verdict == plain and verdict.to_dict() == plain.to_dict(), (text, verdict, plain)
        assert detector.record(text) == plain.to_dict(), (text, plain)


if __name__ == "__main__":
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
