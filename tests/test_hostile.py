"""Hostile and odd input for every public function: huge texts and files, lone surrogates, NUL
characters, boundary code points of every string width, deep nesting, unclosed comments, str
subclasses, misbehaving path objects and loggers. Each answer is the plain reading's answer or
the documented exception; nothing crashes, hangs or returns part of a result."""

import itertools
import pathlib
import types

import pytest

from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp
from reference import complexity_reference as ref
from reference import lorepick_reference as lref

MAPPING = ("# Mapping\nintro\n## Date Functions\nDATEADD\n## Joins\nj\n## NULL Semantics (CRITICAL)\nn\n"
           "## Type Casting\nc\n")
GOTCHAS = "## 1. DATEDIFF Argument Order Reversed\nd\n## 3. NULL Ordering in ORDER BY\no\n"


class QuietLogger:
    def debug(self, *args, **kwargs):
        pass


class TextPath:
    def __init__(self, value):
        self.value = value

    def read_text(self, *, encoding):
        assert encoding == "utf-8"
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Sub(str):
    pass


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr(cx, "logger", QuietLogger())
    monkeypatch.setattr(lp, "logger", QuietLogger())


def fields(result):
    return (str(result.complexity), result.effective_lines, result.stored_proc_count,
            result.complex_construct_count, result.moderate_construct_count, result.temp_table_count,
            result.cte_count)


def assert_all_functions_agree(text, path_text="p.sql", comment_free_equivalent=None):
    """Every function on `text` against the plain reading. The plain reading's comment removal
    takes quadratic time on some texts; for those, classification and detection are compared
    with the plain reading of a smaller text that gives the same answers."""
    small = text if comment_free_equivalent is None else comment_free_equivalent
    assert fields(cx.classify_sql(text)) == tuple(vars(ref.classify(small)).values()), repr(text[:100])
    plan = cx.plan_reading_strategy(TextPath(text))
    want_plan = ref.plan(text)
    assert (plan.should_chunk, plan.total_lines, plan.first_read_lines, plan.section_boundaries) == want_plan
    assert plan.format_reading_instructions(path_text) == ref.instructions(want_plan, path_text)
    assert lp.detect_construct_categories(text) == lref.detect(small), repr(text[:100])
    titles = {line.lstrip("#").strip() for line in text.split("\n")[:5]} | {"Joins"}
    assert lp.extract_sections(text, titles) == lref.extract(text, titles), repr(text)
    categories = lref.detect(small) | {text[:4]}
    got = lp.select_knowledge(categories, full_mapping=MAPPING + text, full_gotchas=text + GOTCHAS,
                              full_limitations=text)
    assert got == lref.select(categories, MAPPING + text, text + GOTCHAS, text)[0]


# -- Huge inputs: the native paths only; structure is checked against the plain reading of a
# small equivalent built from the same unit.

UNIT = ("SELECT a, COUNT(*) FROM #t LEFT JOIN u ON 1=1 -- MERGE here\n"
        "WITH c AS (SELECT ISNULL(x, 0) FROM /* CURSOR */ v)\n"
        "CREATE PROCEDURE p AS SELECT 1\n"
        "GO\n")
UNIT_LINES = 4


@pytest.fixture(scope="module")
def hundred_megabytes():
    repeats = 100_000_000 // len(UNIT) + 1
    return UNIT * repeats, repeats


@pytest.mark.large
def test_hundred_megabyte_text(hundred_megabytes):
    text, repeats = hundred_megabytes
    assert len(text) >= 100_000_000
    one = ref.classify(UNIT)
    two = ref.classify(UNIT * 2)
    got = cx.classify_sql(text)
    # Counts grow with the repeats; presence counts are those of two units.
    assert (got.effective_lines, got.stored_proc_count, got.temp_table_count, got.cte_count) == (
        one.effective_lines * repeats, one.stored_proc_count * repeats, one.temp_table_count * repeats,
        one.cte_count * repeats)
    assert (got.complex_construct_count, got.moderate_construct_count) == (
        two.complex_construct_count, two.moderate_construct_count)
    assert got.complexity == cx.SQLComplexity.COMPLEX
    assert got.recommended_analysis_turns == 6 and got.recommended_conversion_turns == 40

    assert lp.detect_construct_categories(text) == lref.detect(UNIT * 2)
    assert lp.extract_sections(text, {"nothing"}) == ""
    selected = lp.select_knowledge({"join"}, full_mapping=MAPPING, full_gotchas=GOTCHAS, full_limitations=text)
    assert selected["limitations"] is text

    plan = cx.plan_reading_strategy(TextPath(text))
    # Lines 3 and 4 of each unit (CREATE PROCEDURE, GO) are the boundary lines.
    assert_plan_structure(plan, repeats * UNIT_LINES, lambda line: line % UNIT_LINES in (0, 3))


def assert_plan_structure(plan, total, is_boundary):
    """A chunked plan of a long file: five sections in order, cut at boundary lines, ending at
    the end."""
    assert (plan.should_chunk, plan.total_lines, plan.first_read_lines) == (True, total, 150)
    sections = plan.section_boundaries
    assert len(sections) == 5
    assert sections[0][0] == 151 and sections[-1][1] == total
    for (start, end, hint), following in zip(sections, sections[1:] + ((total, None, None),)):
        assert start < end and end == following[0]
        assert is_boundary(end) or end == total
        assert isinstance(hint, str) and len(hint) <= 50


@pytest.mark.large
def test_ten_million_line_file(tmp_path):
    # Two lines in a thousand hold text, the rest are blank or whitespace; every 1000th line is GO.
    block = "SELECT 1\n" + " \n\t\n\n" * 330 + "  \n" * 8 + "GO\n"
    block_lines = block.count("\n")
    assert block_lines == 1000
    path = tmp_path / "ten_million.sql"
    path.write_text(block * 10_000, encoding="utf-8")
    plan = cx.plan_reading_strategy(path)
    assert_plan_structure(plan, 10_000_000, lambda line: line % block_lines == 0)
    result = cx.classify_sql_file(path)
    assert (result.effective_lines, result.complexity) == (20_000, cx.SQLComplexity.COMPLEX)
    # The same plan and counts, at a size the plain reading handles, for the same block.
    small = block * 20
    small_plan = cx.plan_reading_strategy(TextPath(small))
    assert (True, small_plan.total_lines, 150, small_plan.section_boundaries) == ref.plan(small)
    assert fields(cx.classify_sql(small)) == tuple(vars(ref.classify(small)).values())


# -- Odd characters

ODD_TEXTS = [
    "SELECT \ud800 MERGE \udfff FROM #t\ud83d",
    "\udc00\n\ud800GO\n\udbff\udfff",
    "\x00",
    "SELECT\x00MERGE\x00#t\x00-- x\x00\n/*\x00*/ CURSOR",
    "## A\x00\nx\n## \x00B\ny",
    "WITH c\x00 AS (", "\x00\n" * 600,
]


@pytest.mark.parametrize("text", ODD_TEXTS, ids=range(len(ODD_TEXTS)))
def test_surrogates_and_nul(text):
    assert_all_functions_agree(text, path_text=text[:20])


BOUNDARY = {
    1: ["\x00", "\x7f", "\x80", "\xff"],
    2: ["\x00", "\x7f", "\x80", "\xff", "\u0100", "\ud7ff", "\ue000", "\uffff"],
    4: ["\x00", "\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff"],
}


@pytest.mark.parametrize("width", [1, 2, 4])
def test_boundary_code_points_of_each_width(width):
    points = BOUNDARY[width]
    texts = ["".join(p) for p in itertools.product(points, repeat=2)]
    texts += ["".join(points) * 50, "\n".join(points) * 200]
    # Each text is made only of boundary code points; the widest one sets the string's width.
    for text in texts:
        assert_all_functions_agree(text)
        assert_all_functions_agree(points[-1] + " MERGE #t " + text)


# Each shape gives the same answers at every depth n.
NESTED = [
    lambda n: "(" * n + ")" * n,
    lambda n: "WITH a (" + "(" * n + ") AS (",
    lambda n: "WITH a " + "(x" * n + ")" * n + " AS (",
    lambda n: "/*" * n + "*/" * n + " MERGE",
    lambda n: "/* " * n + "MERGE",
    lambda n: "--" * n + "\nMERGE",
    lambda n: "-- /*\n" * n + "*/ CURSOR",
    lambda n: "/*" + "--\n" * n + "*/ WHILE",
]


@pytest.mark.parametrize("shape", NESTED, ids=range(len(NESTED)))
def test_deep_nesting(shape):
    assert_all_functions_agree(shape(1500))
    assert_all_functions_agree(shape(200_000), comment_free_equivalent=shape(1500))


@pytest.mark.parametrize("text", [
    "SELECT 1 /* MERGE", "/*", "/", "*/ MERGE", "/* a */ /* b", "x /*/ MERGE", "/*\n" * 700,
    "SELECT 1 -- /* \n MERGE */ CURSOR", "/*/", "/**", "a/*\U0010ffff",
])
def test_unclosed_block_comments(text):
    assert_all_functions_agree(text)


# -- Argument types

def type_error(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, message", [
    (lambda: cx.classify_sql(Sub("MERGE")), type_error("sql_content", "str", "Sub")),
    (lambda: lp.detect_construct_categories(Sub("x")), type_error("sql_content", "str", "Sub")),
    (lambda: lp.extract_sections(Sub("## x"), {"x"}), type_error("full_text", "str", "Sub")),
    (lambda: lp.extract_sections("## x", type("S", (set,), {})({"x"})), type_error("headers", "set", "S")),
    (lambda: lp.select_knowledge(set(), full_mapping=Sub(""), full_gotchas=""),
     type_error("full_mapping", "str", "Sub")),
    (lambda: lp.select_knowledge(set(), full_mapping="", full_gotchas="", full_limitations=Sub("")),
     type_error("full_limitations", "str", "Sub")),
    (lambda: cx.FileReadingStrategy(True, 600, 150, ()).format_reading_instructions(Sub("p")),
     type_error("sql_path", "str", "Sub")),
    (lambda: cx.classify_sql_file(TextPath(Sub("MERGE"))), type_error("sql_content", "str", "Sub")),
    (lambda: cx.classify_sql_file(TextPath(b"MERGE")), type_error("sql_content", "str", "bytes")),
])
def test_str_subclasses_are_refused(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_str_subclass_from_read_text_is_planned_like_its_text():
    class Odd(Sub):
        def splitlines(self, *args):
            return ["GO"] * 600

    # The plan splits the text it was given, through that text's own methods.
    for text in (Sub("a\nb\n" * 300), Odd("a\nb")):
        plan = cx.plan_reading_strategy(TextPath(text))
        assert (plan.should_chunk, plan.total_lines, plan.first_read_lines, plan.section_boundaries) == ref.plan(text)


def test_stripped_lines_that_are_not_str(monkeypatch):
    # A host's strip() may return any object; its hint is then taken through the object's own
    # slicing, truth and startswith, as the plain reading takes it.
    class Stripped:
        def __init__(self, text):
            self.text = text

        def __getitem__(self, key):
            return Stripped(self.text[key])

        def __bool__(self):
            return bool(self.text)

        def startswith(self, prefix):
            return self.text.startswith(prefix)

    class Line(str):
        def strip(self):
            return Stripped(str(self).strip())

    class Text(str):
        def splitlines(self, *args):
            return [Line(line) for line in str(self).splitlines()]

    monkeypatch.setattr(cx, "re", types.SimpleNamespace(match=lambda p, s, *f: s.text == "GO", IGNORECASE=2))
    text = Text(("SELECT 1 " + "x" * 60 + "\n" + "-- note\n" * 200 + "GO\n") * 4)
    plan = cx.plan_reading_strategy(TextPath(text))
    got = [(start, end, hint.text if isinstance(hint, Stripped) else hint) for start, end, hint in plan.section_boundaries]
    assert got == list(ref.plan(str(text))[3])
    assert any(isinstance(hint, Stripped) for _, _, hint in plan.section_boundaries)


def test_read_text_returning_bytes():
    # bytes split into lines like text, but no text pattern applies to them.
    plan = cx.plan_reading_strategy(TextPath(b"GO\n" * 3))
    assert plan == cx.FileReadingStrategy(False, 3, 3, ())
    with pytest.raises(TypeError):
        cx.plan_reading_strategy(TextPath(b"GO\n" * 600))


@pytest.mark.parametrize("error", [FileNotFoundError(2, "gone"), PermissionError(13, "denied"),
                                   UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), MemoryError(),
                                   KeyboardInterrupt()])
@pytest.mark.parametrize("func", [cx.classify_sql_file, cx.plan_reading_strategy])
def test_read_text_errors_pass_through_unchanged(func, error):
    with pytest.raises(type(error)) as info:
        func(TextPath(error))
    assert info.value is error


def test_invalid_utf8_and_surrogate_bytes_in_files(tmp_path):
    for raw in (b"SELECT \xff", b"\xed\xa0\x80", b"ok\n" * 600 + b"\xc0"):
        path = tmp_path / "bad.sql"
        path.write_bytes(raw)
        for func in (cx.classify_sql_file, cx.plan_reading_strategy):
            with pytest.raises(UnicodeDecodeError):
                func(path)


class NotCallable:
    read_text = 5


class NoEncoding:
    def read_text(self):
        return "x"


WRONG_PATHS = [
    (None, AttributeError), (5, AttributeError), (3.5, AttributeError), ("x.sql", AttributeError),
    (b"x.sql", AttributeError), (["x.sql"], AttributeError), ({"read_text": 1}, AttributeError),
    (object(), AttributeError), (pathlib.PurePath("x.sql"), AttributeError), (pathlib, AttributeError),
    (NotCallable(), TypeError), (NoEncoding(), TypeError), (TextPath(None), TypeError),
]


@pytest.mark.parametrize("func", [cx.classify_sql_file, cx.plan_reading_strategy])
@pytest.mark.parametrize("path, error", WRONG_PATHS, ids=[type(p).__name__ for p, _ in WRONG_PATHS])
def test_sql_path_of_every_wrong_type(func, path, error):
    if func is cx.plan_reading_strategy and isinstance(path, TextPath):
        error = AttributeError  # None has no splitlines
    with pytest.raises(error):
        func(path)


@pytest.mark.parametrize("path", [None, 5, b"p", pathlib.Path("p"), Sub("p"), ["p"]])
@pytest.mark.parametrize("chunked", [False, True])
def test_instruction_path_of_every_wrong_type(path, chunked):
    plan = cx.FileReadingStrategy(chunked, 600, 150, ((151, 600, "x"),))
    with pytest.raises(TypeError) as info:
        plan.format_reading_instructions(path)
    assert str(info.value) == type_error("sql_path", "str", type(path).__name__)


# -- Loggers that fail

class LoggerError(Exception):
    pass


class RaisingLogger:
    def debug(self, *args, **kwargs):
        raise LoggerError(args[0])


@pytest.mark.parametrize("logger, error", [
    (RaisingLogger(), LoggerError), (object(), AttributeError),
    (type("L", (), {"debug": 5})(), TypeError),
])
def test_logger_failures_reach_the_caller(monkeypatch, logger, error):
    monkeypatch.setattr(cx, "logger", logger)
    monkeypatch.setattr(lp, "logger", logger)
    long_text = "GO\n" * 600
    for call in (lambda: cx.classify_sql("MERGE"), lambda: cx.classify_sql_file(TextPath("x")),
                 lambda: cx.plan_reading_strategy(TextPath(long_text)),
                 lambda: lp.select_knowledge({"cte"}, full_mapping=MAPPING, full_gotchas=GOTCHAS)):
        with pytest.raises(error):
            call()
    # Functions that do not log are unaffected.
    assert cx.plan_reading_strategy(TextPath("x")).total_lines == 1
    assert lp.detect_construct_categories("SELECT 1") == {"query"}
    assert lp.extract_sections(MAPPING, {"joins"}) == "## Joins\nj"
