"""Reference and memory leaks: every public function, on its success paths and on every error
path, is called thousands of times after a warm-up. Neither the reference counts of its
arguments, of the objects it hands out again (enumeration members, cached strings) and of the
module tables, nor the process's traced memory may grow."""

import gc
import pathlib
import re
import sys
import tracemalloc

import pytest

from agents.transmute import _engine
from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp

WARMUP = 100
ROUNDS = 1000
# Interpreter caches settle during the warm-up; a leak of even one small object per call adds
# at least 16 bytes * ROUNDS.
MEMORY_NOISE = 12 * 1024
IMMORTAL = 1 << 30  # reference counts of immortal objects start far above this


class QuietLogger:
    def debug(self, *args, **kwargs):
        pass


class FailingLogger:
    def debug(self, *args, **kwargs):
        raise RuntimeError("logger down")


class TextPath:
    """A path whose read_text hands back a fixed value, or raises a new copy of an exception
    (re-raising one instance would chain its tracebacks and keep every frame alive)."""

    def __init__(self, value):
        self.value = value

    def read_text(self, *, encoding):
        if isinstance(self.value, BaseException):
            raise type(self.value)(*self.value.args)
        return self.value


class Sub(str):
    pass


def fresh(text):
    """A new, mortal copy: literals may be interned, and interned strings are immortal, so
    their reference counts would never show a leak."""
    return "".join(list(text))


SMALL_SQL = ("CREATE PROCEDURE p AS\n-- MERGE\nWITH c AS (SELECT 1) SELECT * FROM #t /* x */\n"
             "DECLARE k CURSOR FOR SELECT ISNULL(a, 0) FROM t LEFT JOIN u ON 1=1\nGO\n")
SMALL_SQL = fresh(SMALL_SQL)
TEXTS = {
    "ascii": SMALL_SQL,
    "latin1": SMALL_SQL + "é\xa0",
    "bmp": SMALL_SQL + "ſelect İF \u2028",
    "astral": SMALL_SQL + "\U0001d518",
}
LONG_SQL = "\n".join(f"SELECT {i} FROM #t{i}" if i % 97 else "GO" for i in range(700))
MAPPING = fresh("# Intro\nx\n## Date Functions\nDATEADD y\n## Joins\nj k\n## NULL Semantics (CRITICAL)\nn\n")
GOTCHAS = fresh("## 1. DATEDIFF Argument Order Reversed\nd\n## 3. NULL Ordering in ORDER BY\no\n")
CHUNKED = cx.FileReadingStrategy(True, 900, 150, ((151, 400, "GO"), (400, 900, "SQL block (501 lines)")))
WHOLE = cx.FileReadingStrategy(False, 10, 10, ())
RECORD = cx.classify_sql(SMALL_SQL)


def outcome(call):
    try:
        return call(), None
    except Exception as exc:  # the error paths are what is measured
        return None, type(exc)


def run_case(call, expected_error, watched, rounds=ROUNDS):
    watched = [obj for obj in watched if sys.getrefcount(obj) < IMMORTAL]
    result, error = outcome(call)
    assert error is expected_error
    for _ in range(min(WARMUP, rounds)):
        outcome(call)
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in watched]
    result_refs_before = sys.getrefcount(result)
    memory_before = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        outcome(call)
    last, _ = outcome(call)
    result_refs_after = sys.getrefcount(result)
    del last
    gc.collect()
    memory_growth = tracemalloc.get_traced_memory()[0] - memory_before
    counts_after = [sys.getrefcount(obj) for obj in watched]
    assert counts_after == counts_before, [
        (type(obj).__name__, b, a) for obj, b, a in zip(watched, counts_before, counts_after) if a != b]
    assert result_refs_after == result_refs_before
    assert memory_growth < MEMORY_NOISE, f"traced memory grew by {memory_growth} bytes"


@pytest.fixture(autouse=True)
def traced(monkeypatch):
    monkeypatch.setattr(cx, "logger", QuietLogger())
    monkeypatch.setattr(lp, "logger", QuietLogger())
    tracemalloc.start()
    yield
    tracemalloc.stop()


def module_objects():
    """Objects the modules hand out or read on every call."""
    return [cx.SQLComplexity.SIMPLE, cx.SQLComplexity.MODERATE, cx.SQLComplexity.COMPLEX,
            cx.ComplexityResult, cx.FileReadingStrategy, cx._COMMENT_PATTERNS, cx._COMPLEX_PATTERNS,
            cx._MODERATE_PATTERNS, cx._STORED_PROC_PATTERN, cx.logger, lp.logger, lp._CATEGORY_PATTERNS,
            lp.CONSTRUCT_TO_MAPPING_SECTIONS, lp.CONSTRUCT_TO_GOTCHA_SECTIONS, lp.ALWAYS_INCLUDE_MAPPING,
            lp.extract_sections, re, cx.re, lp.re]


# (id, factory of (call, expected error, watched arguments)). Factories run inside the test, so
# replaced loggers and module attributes are in place when the arguments are built.
def complexity_cases():
    bad_utf8 = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
    cases = []
    for kind, text in TEXTS.items():
        cases.append((f"classify_sql-{kind}", lambda t=text: (lambda: cx.classify_sql(t), None, [t])))
    cases += [
        ("classify_sql-empty", lambda: (lambda: cx.classify_sql(""), None, [])),
        ("classify_sql-keyword", lambda: (lambda: cx.classify_sql(sql_content=SMALL_SQL), None, [SMALL_SQL])),
        ("classify_sql-bytes", lambda: (lambda b=b"MERGE": cx.classify_sql(b), TypeError, [])),
        ("classify_sql-none", lambda: (lambda: cx.classify_sql(None), TypeError, [])),
        ("classify_sql-subclass", lambda s=Sub("MERGE"): (lambda: cx.classify_sql(s), TypeError, [s])),
        ("classify_sql-no-argument", lambda: (lambda: cx.classify_sql(), TypeError, [])),
        ("classify_sql-two-arguments", lambda: (lambda: cx.classify_sql("a", "b"), TypeError, [])),
        ("classify_sql-bad-keyword", lambda: (lambda: cx.classify_sql(text="a"), TypeError, [])),
        ("classify_sql-double-value", lambda: (lambda: cx.classify_sql("a", sql_content="b"), TypeError, [])),
        ("classify_sql-file", lambda p=TextPath(SMALL_SQL): (lambda: cx.classify_sql_file(p), None, [p, p.value])),
        ("classify_sql-file-keyword", lambda p=TextPath(SMALL_SQL): (
            lambda: cx.classify_sql_file(sql_path=p), None, [p, p.value])),
        ("classify_sql_file-oserror", lambda p=TextPath(FileNotFoundError(2, "gone")): (
            lambda: cx.classify_sql_file(p), FileNotFoundError, [p])),
        ("classify_sql_file-decode-error", lambda p=TextPath(bad_utf8): (
            lambda: cx.classify_sql_file(p), UnicodeDecodeError, [p])),
        ("classify_sql_file-bytes", lambda p=TextPath(b"MERGE"): (lambda: cx.classify_sql_file(p), TypeError, [p])),
        ("classify_sql_file-subclass", lambda p=TextPath(Sub("MERGE")): (
            lambda: cx.classify_sql_file(p), TypeError, [p, p.value])),
        ("classify_sql_file-str-path", lambda: (lambda: cx.classify_sql_file("x.sql"), AttributeError, [])),
        ("classify_sql_file-none", lambda: (lambda: cx.classify_sql_file(None), AttributeError, [])),
        ("plan-whole", lambda p=TextPath(SMALL_SQL): (lambda: cx.plan_reading_strategy(p), None, [p, p.value])),
        ("plan-chunked", lambda p=TextPath(LONG_SQL): (lambda: cx.plan_reading_strategy(p), None, [p, p.value])),
        ("plan-oserror", lambda p=TextPath(PermissionError(13, "denied")): (
            lambda: cx.plan_reading_strategy(p), PermissionError, [p])),
        ("plan-int-path", lambda: (lambda: cx.plan_reading_strategy(5), AttributeError, [])),
        ("plan-no-argument", lambda: (lambda: cx.plan_reading_strategy(), TypeError, [])),
        ("instructions-whole", lambda p=fresh("a.sql"): (
            lambda: WHOLE.format_reading_instructions(p), None, [WHOLE, p])),
        ("instructions-chunked", lambda p=fresh("a.sql"): (lambda: CHUNKED.format_reading_instructions(p), None,
                                                           [CHUNKED, CHUNKED.section_boundaries, p])),
        ("instructions-path-type", lambda p=pathlib.Path("a.sql"): (
            lambda: CHUNKED.format_reading_instructions(p), TypeError, [p, CHUNKED])),
        ("instructions-missing-attribute", lambda o=type("Plan", (), {"should_chunk": True})(): (
            lambda: cx.FileReadingStrategy.format_reading_instructions(o, "a"), AttributeError, [o])),
        ("turns", lambda: (lambda: (RECORD.recommended_analysis_turns, RECORD.recommended_conversion_turns,
                                    RECORD.recommended_audit_turns), None, [RECORD])),
        ("turns-bad-field", lambda r=cx.ComplexityResult(cx.SQLComplexity.SIMPLE, None, 0, 0, 0, 0, 0): (
            lambda: r.recommended_analysis_turns, TypeError, [r])),
        ("turns-float-field", lambda r=cx.ComplexityResult(cx.SQLComplexity.SIMPLE, 650.5, 1.5, 3.0, 0, 0, 0): (
            lambda: (r.recommended_analysis_turns, r.recommended_conversion_turns), None, [r])),
    ]
    for name, boundaries, error in [("not-iterable", 5, TypeError), ("entry-not-iterable", (5,), TypeError),
                                    ("too-few", ((1, 2),), ValueError), ("too-many", ((1, 2, "h", 4),), ValueError)]:
        plan = cx.FileReadingStrategy(True, 900, 150, boundaries)
        cases.append((f"instructions-{name}", lambda p=plan, e=error: (
            lambda: p.format_reading_instructions("a"), e, [p, p.section_boundaries])))
    return cases


def lorepick_cases():
    cases = []
    for kind, text in TEXTS.items():
        cases.append((f"detect-{kind}", lambda t=text: (lambda: lp.detect_construct_categories(t), None, [t])))
    headers = {"Date Functions", "joins"}
    categories = {"date_function", "null_handling", "unknown"}
    cases += [
        ("detect-subclass", lambda s=Sub("SELECT"): (lambda: lp.detect_construct_categories(s), TypeError, [s])),
        ("detect-none", lambda: (lambda: lp.detect_construct_categories(None), TypeError, [])),
        ("detect-no-argument", lambda: (lambda: lp.detect_construct_categories(), TypeError, [])),
        ("extract", lambda: (lambda: lp.extract_sections(MAPPING, headers), None, [MAPPING, headers])),
        ("extract-empty-headers", lambda h=set(): (lambda: lp.extract_sections(MAPPING, h), None, [MAPPING, h])),
        ("extract-list-headers", lambda h=["x"]: (lambda: lp.extract_sections(MAPPING, h), TypeError, [h])),
        ("extract-bytes-text", lambda: (lambda: lp.extract_sections(b"## x", headers), TypeError, [headers])),
        ("extract-int-title", lambda h={1, "Joins"}: (lambda: lp.extract_sections(MAPPING, h), AttributeError, [h])),
        ("extract-subclass-title", lambda h={Sub("Joins")}: (lambda: lp.extract_sections(MAPPING, h), None, [h])),
        ("extract-bad-keyword", lambda: (lambda: lp.extract_sections(MAPPING, titles=headers), TypeError, [headers])),
        ("select", lambda: (lambda: lp.select_knowledge(categories, full_mapping=MAPPING, full_gotchas=GOTCHAS,
                                                        full_limitations="L"), None, [categories, MAPPING, GOTCHAS])),
        ("select-default-limitations", lambda: (lambda: lp.select_knowledge(
            categories, full_mapping=MAPPING, full_gotchas=GOTCHAS), None, [categories])),
        ("select-unsortable", lambda c={1, "a"}: (lambda: lp.select_knowledge(
            c, full_mapping=MAPPING, full_gotchas=GOTCHAS), TypeError, [c])),
        ("select-unhashable-lookup", lambda c={("a", 1)}: (lambda: lp.select_knowledge(
            c, full_mapping=MAPPING, full_gotchas=GOTCHAS), None, [c])),
        ("select-frozenset", lambda c=frozenset(categories): (lambda: lp.select_knowledge(
            c, full_mapping=MAPPING, full_gotchas=GOTCHAS), TypeError, [c])),
        ("select-bad-mapping", lambda: (lambda: lp.select_knowledge(
            categories, full_mapping=1, full_gotchas=GOTCHAS), TypeError, [categories])),
        ("select-bad-limitations", lambda s=Sub("L"): (lambda: lp.select_knowledge(
            categories, full_mapping=MAPPING, full_gotchas=GOTCHAS, full_limitations=s), TypeError, [s])),
        ("select-missing-gotchas", lambda: (lambda: lp.select_knowledge(
            categories, full_mapping=MAPPING), TypeError, [categories])),
        ("select-positional-document", lambda: (lambda: lp.select_knowledge(
            categories, MAPPING, full_gotchas=GOTCHAS), TypeError, [categories])),
        ("select-unknown-keyword", lambda: (lambda: lp.select_knowledge(
            categories, full_mapping=MAPPING, full_gotchas=GOTCHAS, extra=1), TypeError, [categories])),
    ]
    return cases


def engine_cases():
    program = _engine.compile(r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", re.I)
    text = TEXTS["bmp"] * 3
    return [
        ("engine-compile", lambda: (lambda: _engine.compile(r"\bMERGE\b", re.I), None, [])),
        ("engine-compile-invalid", lambda: (lambda: _engine.compile("(", 0), ValueError, [])),
        ("engine-compile-unsupported", lambda: (lambda: _engine.compile(r"(a)\1", 0), ValueError, [])),
        ("engine-compile-bytes", lambda: (lambda: _engine.compile(b"x", 0), TypeError, [])),
        ("engine-operations", lambda: (lambda: (program.search(text), program.span(text, 3), program.count(text),
                                                program.spans(text), program.sub_empty(text), program.match(text)),
                                       None, [program, text])),
        ("engine-operations-bad-text", lambda: (lambda: program.spans(b"x"), TypeError, [program])),
        ("engine-search-bad-pos", lambda: (lambda: program.search(text, "1"), TypeError, [program, text])),
    ]


def detector_cases():
    from agents.transmute.detector import Evidence, Verdict, default_detector
    from agents.transmute.originscan import Platform

    detector = default_detector()
    # Objects every verdict holds or is built of: the scanner, the classes, the platforms, the
    # names of rows and of the model's tokens.
    watched = [detector._scanner, Evidence, Verdict, *Platform, *detector.feature_names,
               *(p.id for p in detector.patterns)]  # fmt: skip
    long = "SELECT TOP 5 * FROM t WITH (NOLOCK)\nGO\n" * 300  # probed, and settled by the probe
    cases = [(f"detector-{kind}", lambda t=text: (lambda: detector.detect(t), None, [t, *watched]))
             for kind, text in TEXTS.items()]
    cases += [(f"detector-record-{kind}", lambda t=text: (lambda: detector.record(t), None, [t, *watched]))
              for kind, text in TEXTS.items()]
    return cases + [
        ("detector-probed", lambda: (lambda: detector.detect(long), None, [long, *watched])),
        ("detector-record-probed", lambda: (lambda: detector.record(long), None, [long, *watched])),
        ("detector-bad-text", lambda: (lambda: detector._scanner.detect(b"x"), TypeError, watched)),
    ]


ALL_CASES = complexity_cases() + lorepick_cases() + engine_cases() + detector_cases()


@pytest.mark.parametrize("factory", [f for _, f in ALL_CASES], ids=[name for name, _ in ALL_CASES])
def test_no_growth(factory):
    call, error, watched = factory()
    run_case(call, error, watched + module_objects())


@pytest.mark.parametrize("logger_module", [cx, lp])
def test_no_growth_when_logger_raises(monkeypatch, logger_module):
    monkeypatch.setattr(logger_module, "logger", FailingLogger())
    if logger_module is cx:
        paths = [TextPath(LONG_SQL)]
        calls = [lambda: cx.classify_sql(SMALL_SQL), lambda: cx.plan_reading_strategy(paths[0])]
    else:
        paths = []
        calls = [lambda: lp.select_knowledge({"cte"}, full_mapping=MAPPING, full_gotchas=GOTCHAS)]
    for call in calls:
        run_case(call, RuntimeError, paths + module_objects())


def test_no_growth_on_the_host_paths(monkeypatch):
    # Replaced tables send every function through the module's own attributes and the host's re.
    monkeypatch.setattr(cx, "_COMMENT_PATTERNS", list(cx._COMMENT_PATTERNS))
    monkeypatch.setattr(cx, "_COMPLEX_PATTERNS", list(cx._COMPLEX_PATTERNS))
    monkeypatch.setattr(lp, "_CATEGORY_PATTERNS", dict(lp._CATEGORY_PATTERNS))
    proxy = type(sys)("re_proxy")
    proxy.__dict__.update({k: v for k, v in vars(re).items() if not k.startswith("__")})
    monkeypatch.setattr(lp, "re", proxy)
    monkeypatch.setattr(cx, "re", proxy)
    path = TextPath("GO\n" * 501)
    for call, expected in [
        (lambda: cx.classify_sql(TEXTS["astral"]), None),
        (lambda: cx.plan_reading_strategy(path), None),
        (lambda: lp.detect_construct_categories(TEXTS["bmp"]), None),
        (lambda: lp.extract_sections(MAPPING, {"joins"}), None),
        (lambda: lp.select_knowledge({"join"}, full_mapping=MAPPING, full_gotchas=GOTCHAS), None),
        (lambda: lp.select_knowledge({"join", 2}, full_mapping=MAPPING, full_gotchas=GOTCHAS), TypeError),
    ]:
        run_case(call, expected, [path, proxy] + module_objects(), rounds=300)
