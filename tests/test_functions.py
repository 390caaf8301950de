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


# Host functions with the same names and signatures: the reference for bad-call messages.
def classify_sql(sql_content): ...
def classify_sql_file(sql_path): ...
def plan_reading_strategy(sql_path): ...
def detect_construct_categories(sql_content): ...
def extract_sections(full_text, headers): ...
def select_knowledge(categories, *, full_mapping, full_gotchas, full_limitations=""): ...


class FileReadingStrategy:
    def format_reading_instructions(self, sql_path): ...


class ComplexityResult:
    def recommended_analysis_turns(self): ...


def _pairs():
    from agents.transmute import lorepick as lp
    return [
        (cx.classify_sql, classify_sql), (cx.classify_sql_file, classify_sql_file),
        (cx.plan_reading_strategy, plan_reading_strategy),
        (lp.detect_construct_categories, detect_construct_categories),
        (lp.extract_sections, extract_sections), (lp.select_knowledge, select_knowledge),
        (cx.FileReadingStrategy.format_reading_instructions, FileReadingStrategy.format_reading_instructions),
        (cx.ComplexityResult.recommended_analysis_turns.fget, ComplexityResult.recommended_analysis_turns),
    ]


def bad_call_message(func, args, kwargs):
    try:
        func(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("classify_sql", ("a", "b"), {"x": 1}, "classify_sql() got an unexpected keyword argument 'x'"),
    ("extract_sections", ("a", {"x"}, 3), {"headers": {"y"}},
     "extract_sections() got multiple values for argument 'headers'"),
    ("select_knowledge", (set(), ""), {"full_mapping": "", "full_gotchas": ""},
     "select_knowledge() takes 1 positional argument but 2 positional arguments (and 2 keyword-only "
     "arguments) were given"),
    ("classify_sql", (), {"sql_contnt": "a"},
     "classify_sql() got an unexpected keyword argument 'sql_contnt'. Did you mean 'sql_content'?"),
    ("select_knowledge", (), {"full_mapping": ""},
     "select_knowledge() missing 1 required positional argument: 'categories'"),
    ("select_knowledge", (set(),), {}, "select_knowledge() missing 2 required keyword-only arguments: "
     "'full_mapping' and 'full_gotchas'"),
    ("extract_sections", (), {"full_text\udc80": 1}, "extract_sections() got an unexpected keyword "
     "argument 'full_text\udc80'"),
])
def test_bad_calls_read_as_the_interpreter_words_them(name, args, kwargs, message):
    native, host = next((n, h) for n, h in _pairs() if n.__name__ == name)
    assert bad_call_message(host, args, kwargs) == message
    assert bad_call_message(native, args, kwargs) == message


KEYWORDS = ["sql_content", "sql_path", "full_text", "headers", "categories", "full_mapping",
            "full_gotchas", "full_limitations", "self", "x", "SQL_CONTENT", "sql_contents", "header",
            "full_mappings", "categorie", "full_limitation", "slef", "full_", "path", "é", "headers\u00e9"]


def test_generated_bad_calls_match_host_functions(seeded_random):
    rng = seeded_random
    pairs = _pairs()
    checked = 0
    for _ in range(4000):
        native, host = rng.choice(pairs)
        args = tuple(object() for _ in range(rng.randrange(5)))
        kwargs = {rng.choice(KEYWORDS): object() for _ in range(rng.randrange(5))}
        expected = bad_call_message(host, args, kwargs)
        if expected is None:
            continue  # binds: the native function would do its work on junk arguments
        assert bad_call_message(native, args, kwargs) == expected, (native.__qualname__, len(args), list(kwargs))
        checked += 1
    assert checked > 2000


def test_keyword_only_default_outlives_an_edit_during_the_call(monkeypatch):
    from agents.transmute import lorepick as lp
    kwdefaults = lp.select_knowledge.__kwdefaults__
    monkeypatch.setitem(kwdefaults, "full_limitations", "".join(["limits ", "text"]))

    class ClearingLogger:
        def debug(self, *args, **kwargs):
            kwdefaults.clear()

    monkeypatch.setattr(lp, "logger", ClearingLogger())
    result = lp.select_knowledge(set(), full_mapping="", full_gotchas="")
    assert result["limitations"] == "limits text"
