"""Native function objects look and behave like the host's own functions."""

import copy
import inspect
import pickle

import pytest

from agents.transmute import complexity as cx


def test_identity_attributes():
    f = cx.classify_sql
    assert (f.__name__, f.__qualname__, f.__module__) == (
        "classify_sql", "classify_sql", "agents.transmute.complexity")
    assert f.__doc__ and callable(f)
    m = cx.FileReadingStrategy.format_reading_instructions
    assert m.__qualname__ == "FileReadingStrategy.format_reading_instructions"


def test_signatures_carry_annotation_texts():
    assert str(inspect.signature(cx.classify_sql)) == "(sql_content: 'str') -> 'ComplexityResult'"
    assert str(inspect.signature(cx.plan_reading_strategy)) == "(sql_path: 'Path') -> 'FileReadingStrategy'"
    plan = cx.FileReadingStrategy(False, 1, 1, ())
    assert str(inspect.signature(plan.format_reading_instructions)) == "(sql_path: 'str') -> 'str'"
    assert cx.classify_sql_file.__annotations__ == {"sql_path": "Path", "return": "ComplexityResult"}
    assert cx.classify_sql.__kwdefaults__ is None


def test_binds_as_a_method():
    plan = cx.FileReadingStrategy(False, 1, 1, ())
    bound = plan.format_reading_instructions
    assert inspect.ismethod(bound) and bound.__self__ is plan
    assert bound("p") == cx.FileReadingStrategy.format_reading_instructions(plan, "p")
    assert cx.FileReadingStrategy.format_reading_instructions(plan, sql_path="p") == bound("p")


@pytest.mark.parametrize("func", [cx.classify_sql, cx.classify_sql_file, cx.plan_reading_strategy,
                                  cx.FileReadingStrategy.format_reading_instructions])
def test_pickle_and_copy_by_reference(func):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.deepcopy(func) is func


def test_records_pickle_and_repr():
    r = cx.classify_sql("MERGE t")
    assert pickle.loads(pickle.dumps(r)) == r
    assert repr(r).startswith("ComplexityResult(complexity=<SQLComplexity.COMPLEX: 'complex'>")
    plan = cx.FileReadingStrategy(True, 600, 150, ((151, 600, "x"),))
    assert pickle.loads(pickle.dumps(plan)) == plan


@pytest.mark.parametrize("call, message", [
    (lambda: cx.classify_sql(), "classify_sql() missing 1 required positional argument: 'sql_content'"),
    (lambda: cx.classify_sql("a", "b"), "classify_sql() takes 1 positional argument but 2 were given"),
    (lambda: cx.classify_sql(text="a"), "classify_sql() got an unexpected keyword argument 'text'"),
    (lambda: cx.classify_sql("a", sql_content="b"), "classify_sql() got multiple values for argument 'sql_content'"),
    (lambda: cx.FileReadingStrategy(False, 1, 1, ()).format_reading_instructions(),
     "FileReadingStrategy.format_reading_instructions() missing 1 required positional argument: 'sql_path'"),
])
def test_bad_call_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_module_attribute_order():
    # In a fresh interpreter: other tests replace and restore attributes, which reorders them.
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", "import agents.transmute.complexity as m; "
                          "print(*[n for n in vars(m) if not n.startswith('__')])"],
                         capture_output=True, text=True, check=True).stdout.split()
    assert out == ["re", "dataclass", "StrEnum", "Path", "structlog", "logger", "_COMPLEX_PATTERNS",
                     "_MODERATE_PATTERNS", "_STORED_PROC_PATTERN", "_COMMENT_PATTERNS", "SQLComplexity",
                     "ComplexityResult", "classify_sql", "classify_sql_file", "_SECTION_DELIMITERS",
                     "FileReadingStrategy", "plan_reading_strategy"]


def test_pattern_tables_are_host_patterns():
    import re
    assert all(type(p) is re.Pattern and p.flags == re.I | re.U for p in cx._COMPLEX_PATTERNS)
    assert len(cx._COMPLEX_PATTERNS) == 15 and len(cx._MODERATE_PATTERNS) == 9
    assert [p.flags & ~re.U for p in cx._COMMENT_PATTERNS] == [re.M, re.S]
    assert [p.flags & ~re.U for p in cx._SECTION_DELIMITERS] == [re.I | re.M, re.I | re.M, re.M, re.M, re.I | re.M]
