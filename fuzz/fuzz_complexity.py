"""Fuzz target: every public function of agents.transmute.complexity against the plain reading
in tests/reference/complexity_reference.py.

    python fuzz/fuzz_complexity.py fuzz/corpus/complexity -max_total_time=60

Input: byte 0 repeats the text (1 to 8 times, then, for one value in four, padded past 500 lines
for a chunked reading plan), byte 1 is reserved; the rest is the text (see _common).
"""

import sys

import atheris

with atheris.instrument_imports():
    import _common
    from reference import complexity_reference as ref

from agents.transmute import complexity

complexity.logger = type("Quiet", (), {"debug": staticmethod(lambda *a, **k: None)})()


class TextPath:
    def __init__(self, text):
        self.text = text

    def read_text(self, *, encoding):
        assert encoding == "utf-8"
        return self.text


def expand(data: bytes) -> str:
    text = _common.decode(data, 2) * (1 + (data[0] >> 1) % 8)
    if data[0] % 4 == 1:
        text = text + "\n" * (501 - text.count("\n")) + text
    return text


def check(data: bytes) -> None:
    if len(data) < 2:
        return
    text = expand(data)
    got = complexity.classify_sql(text)
    want = ref.classify(text)
    fields = (got.complexity.value, got.effective_lines, got.stored_proc_count, got.complex_construct_count,
              got.moderate_construct_count, got.temp_table_count, got.cte_count)
    assert fields == tuple(vars(want).values()), (text, fields, want)
    assert got.recommended_analysis_turns == ref.analysis_turns(want.effective_lines, want.complex_construct_count)
    assert got.recommended_conversion_turns == ref.conversion_turns(
        want.effective_lines, want.complex_construct_count, want.stored_proc_count)
    assert got.recommended_audit_turns == 3

    plan = complexity.plan_reading_strategy(TextPath(text))
    want_plan = ref.plan(text)
    got_plan = (plan.should_chunk, plan.total_lines, plan.first_read_lines, plan.section_boundaries)
    assert got_plan == want_plan, (text, got_plan, want_plan)
    path = _common.decode(data[:2] + data[-8:], 2)
    assert plan.format_reading_instructions(path) == ref.instructions(want_plan, path)


if __name__ == "__main__":
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
