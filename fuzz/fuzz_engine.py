"""Fuzz target: the native engine against the host's re, for every pattern the modules compile.

    python fuzz/fuzz_engine.py fuzz/corpus/engine -max_total_time=60

Input: byte 0 picks the pattern, byte 1 a search position; the rest is the text (see _common).
From 0xE0 on, byte 0 asks for a generated pattern instead (tests/reference/patterngen.py: groups,
alternation and every kind of repeat, repeats of items that can match the empty string among
them): its low bits pick the flags, byte 2 how many of the following bytes spell the pattern.
Patterns the engine declines (ValueError) are skipped: their callers fall back to re.
"""

import sys

import atheris

with atheris.instrument_imports():
    import _common

import re

from agents.transmute import _engine
from reference import patterngen

PATTERNS = []
for name, pattern in _common.project_patterns():
    try:
        PATTERNS.append((name, pattern, _engine.compile_from(pattern)))
    except ValueError:
        pass


def _feature_function(n):
    """A function with one branch per (pattern, match count bucket, string width): the engine is
    native and uninstrumented, so these branches give the fuzzer its coverage signal."""
    lines = ["def features(index, count, kind):"]
    for i in range(n):
        lines += [f"    if index == {i}:",
                  "        if count == 0: return kind", "        if count == 1: return kind + 1",
                  "        if count < 4: return kind + 2", "        return kind + 3"]
    namespace = {}
    exec("\n".join(lines), namespace)
    return atheris.instrument_func(namespace["features"])


features = _feature_function(len(PATTERNS) + 2)

GENERATED = 0xE0
FLAG_BITS = [(1, re.IGNORECASE), (2, re.MULTILINE), (4, re.DOTALL)]
_generated = {}  # (source, flags) -> (pattern, engine), or None when re or the engine declines


def generated(data):
    """(name, pattern, engine, text start) for a generated-pattern input, or None."""
    if len(data) < 3:
        return None
    count = data[2] % 24 + 1
    source = patterngen.pattern_from_bytes(data[3:3 + count])
    flags = sum(flag for bit, flag in FLAG_BITS if data[0] & bit)
    key = (source, flags)
    if key not in _generated:
        try:
            pattern = re.compile(source, flags)
            _generated[key] = (pattern, _engine.compile_from(pattern))
        except (re.error, ValueError):
            _generated[key] = None
    found = _generated[key]
    if found is None:
        features(len(PATTERNS) + 1, 0, 0)
        return None
    return "generated", found[0], found[1], 3 + count
def width(text):
    top = max(map(ord, text), default=0)
    return 0 if top < 0x80 else 1 if top < 0x100 else 2 if top < 0x10000 else 4


def check(data: bytes) -> None:
    if len(data) < 2:
        return
    if data[0] >= GENERATED:
        picked = generated(data)
        if picked is None:
            return
        name, pattern, engine, skip = picked
        index = len(PATTERNS)
    else:
        index = data[0] % len(PATTERNS)
        name, pattern, engine = PATTERNS[index]
        skip = 2
    text = _common.decode(data, skip)
    pos = data[1] % (len(text) + 1)
    m = pattern.search(text)
    got = (engine.search(text), engine.match(text), engine.span(text), engine.count(text),
           engine.spans(text), engine.sub_empty(text), engine.span(text, pos), engine.match(text, pos))
    mp = pattern.search(text, pos)
    want = (m is not None, pattern.match(text) is not None, m.span() if m else None,
            len(pattern.findall(text)), [x.span() for x in pattern.finditer(text)],
            pattern.sub("", text), mp.span() if mp else None, pattern.match(text, pos) is not None)
    features(index, got[3], [0, 4, 8, 0, 12][width(text)])
    if got != want:
        raise AssertionError(f"{name} {pattern.pattern!r} flags={pattern.flags} text={text!r} pos={pos}\n"
                             f" engine: {got}\n re:     {want}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
