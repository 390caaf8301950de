"""Turn-budget properties of ComplexityResult: worked values, steps, caps and hand-built records."""

import pytest

from agents.transmute import complexity as cx
from reference.complexity_reference import analysis_turns, conversion_turns


def record(lines=0, complex_count=0, procs=0, level="simple", **other):
    fields = dict(complexity=cx.SQLComplexity(level), effective_lines=lines, stored_proc_count=procs,
                  complex_construct_count=complex_count, moderate_construct_count=0,
                  temp_table_count=0, cte_count=0)
    fields.update(other)
    return cx.ComplexityResult(**fields)


def budgets(r):
    return (r.recommended_analysis_turns, r.recommended_conversion_turns, r.recommended_audit_turns)


@pytest.mark.parametrize("lines, constructs, procs, expected", [
    (0, 0, 0, (3, 9, 3)), (120, 0, 0, (3, 11, 3)), (299, 1, 0, (4, 15, 3)),
    (650, 3, 1, (7, 30, 3)), (1000, 5, 2, (8, 40, 3))])
def test_worked_values(lines, constructs, procs, expected):
    assert budgets(record(lines, constructs, procs)) == expected


def test_steps_and_caps_agree_with_formula():
    for lines in (0, 99, 100, 199, 200, 299, 300, 899, 900, 5000):
        for constructs in (0, 1, 2, 3, 15):
            for procs in (0, 1, 7):
                r = record(lines, constructs, procs)
                assert r.recommended_analysis_turns == analysis_turns(lines, constructs)
                assert r.recommended_conversion_turns == conversion_turns(lines, constructs, procs)


def test_level_is_not_read():
    assert {budgets(record(650, 3, 1, level)) for level in ("simple", "moderate", "complex")} == {(7, 30, 3)}
    assert record(complexity=None).recommended_audit_turns == 3


def test_properties_are_read_only_and_not_fields():
    r = record(100)
    with pytest.raises(AttributeError):
        r.recommended_analysis_turns = 1
    assert "recommended_analysis_turns" not in repr(r)
    assert isinstance(cx.ComplexityResult.recommended_conversion_turns, property)


def test_hand_built_records():
    assert record(-1).recommended_analysis_turns == 2          # floor division
    assert record(-1).recommended_conversion_turns == 7
    assert record(450.0).recommended_analysis_turns == 4       # float truncated to int
    assert type(record(450.0).recommended_analysis_turns) is int
    assert record(True, True, True).recommended_conversion_turns == 14
    with pytest.raises(TypeError):
        record(None).recommended_analysis_turns
    with pytest.raises(TypeError):
        record(0, "x").recommended_conversion_turns
