"""Fuzz target: every public function of agents.transmute.lorepick against the plain reading in
tests/reference/lorepick_reference.py.

    python fuzz/fuzz_lorepick.py fuzz/corpus/lorepick -max_total_time=60

Input: byte 0 picks categories (bit per table entry, plus an unknown key), byte 1 splits the
text into the mapping and gotchas documents; the rest is the text (see _common). Wanted titles
for extract_sections are taken from the text's own lines.
"""

import sys

import atheris

with atheris.instrument_imports():
    import _common
    from reference import lorepick_reference as ref

from agents.transmute import lorepick


class Recorder:
    def __init__(self):
        self.calls = []

    def debug(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))


recorder = Recorder()
lorepick.logger = recorder
KEYS = list(ref.MAPPING_SECTIONS)


def check(data: bytes) -> None:
    if len(data) < 2:
        return
    text = _common.decode(data, 2)
    assert lorepick.detect_construct_categories(text) == ref.detect(text), text

    lines = text.split("\n")
    headers = {line.lstrip("#").strip()[: 1 + data[1] % 12] for line in lines[:: 1 + data[0] % 3]}
    if data[1] & 0x80:
        headers.add("")
    got, want = lorepick.extract_sections(text, headers), ref.extract(text, headers)
    # Equal, and as narrow: a str wider than its characters compares equal but is malformed.
    assert got == want and got.isascii() == want.isascii(), (text, headers)

    categories = {k for i, k in enumerate(KEYS) if (data[0] * 131 + data[1]) >> (i % 16) & 1}
    if data[0] & 0x40:
        categories.add("unknown_key")
    cut = data[1] * len(text) // 255
    mapping, gotchas = text[:cut], text[cut:]
    recorder.calls.clear()
    got = lorepick.select_knowledge(categories, full_mapping=mapping, full_gotchas=gotchas,
                                    full_limitations=text[:7])
    want, event = ref.select(categories, mapping, gotchas, text[:7])
    assert got == want, (categories, mapping, gotchas)
    assert recorder.calls == [(("knowledge_selected",), event)], (recorder.calls, event)


if __name__ == "__main__":
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
