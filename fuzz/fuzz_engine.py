"""Fuzz target: the native engine against the host's re, for every pattern the modules compile.

    python fuzz/fuzz_engine.py fuzz/corpus/engine -max_total_time=60

Input: byte 0 picks the pattern, byte 1 a search position; the rest is the text (see _common).
Patterns the engine declines (ValueError) are skipped: their callers fall back to re.
"""

import sys

import atheris

with atheris.instrument_imports():
    import _common

import re

from agents.transmute import _engine

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


features = _feature_function(len(PATTERNS))
def width(text):
    top = max(map(ord, text), default=0)
    return 0 if top < 0x80 else 1 if top < 0x100 else 2 if top < 0x10000 else 4


def check(data: bytes) -> None:
    if len(data) < 2:
        return
    name, pattern, engine = PATTERNS[data[0] % len(PATTERNS)]
    text = _common.decode(data, 2)
    pos = data[1] % (len(text) + 1)
    m = pattern.search(text)
    got = (engine.search(text), engine.match(text), engine.span(text), engine.count(text),
           engine.spans(text), engine.sub_empty(text), engine.span(text, pos), engine.match(text, pos))
    mp = pattern.search(text, pos)
    want = (m is not None, pattern.match(text) is not None, m.span() if m else None,
            len(pattern.findall(text)), [x.span() for x in pattern.finditer(text)],
            pattern.sub("", text), mp.span() if mp else None, pattern.match(text, pos) is not None)
    features(data[0] % len(PATTERNS), got[3], [0, 4, 8, 0, 12][width(text)])
    if got != want:
        raise AssertionError(f"{name} {pattern.pattern!r} flags={pattern.flags} text={text!r} pos={pos}\n"
                             f" engine: {got}\n re:     {want}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
