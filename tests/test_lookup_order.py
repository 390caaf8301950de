"""Module attributes are looked up where the plain reading of each function uses them, so a
replaced attribute fails (or is consulted) at the same step as in the host's own code. The plain
readings in tests/reference run with the same stand-ins as globals, and every attribute read on
the stand-ins is recorded on both sides."""

import re
import types

import pytest

from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp
from reference import complexity_reference as cref
from reference import lorepick_reference as lref


class Recorder:
    """Stands for a module: records each attribute read, then answers it from `target`."""

    def __init__(self, target, log):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_log", log)

    def __getattribute__(self, name):
        object.__getattribute__(self, "_log").append(name)
        return getattr(object.__getattribute__(self, "_target"), name)


def with_globals(func, **names):
    """The plain reading `func` with some of its globals replaced."""
    copy = types.FunctionType(func.__code__, {**func.__globals__, **names}, func.__name__, func.__defaults__)
    copy.__kwdefaults__ = func.__kwdefaults__
    return copy


def outcome(call):
    try:
        return "returned", call()
    except Exception as error:  # the failure itself is what is compared
        return type(error).__name__, str(error)


class FakePath:
    def __init__(self, text):
        self.text = text

    def read_text(self, *, encoding):
        return self.text


def plan_fields(plan):
    return (plan.should_chunk, plan.total_lines, plan.first_read_lines, plan.section_boundaries)


LINES = ["SELECT 1", "GO", "  create procedure p", "", "CREATE VIEW v"]


def sql_lines(n):
    return "\n".join(LINES[i % len(LINES)] for i in range(n))


# Stand-ins for `re`: the real module, one without `match` or `IGNORECASE`, and nothing at all.
RE_STANDINS = {
    "re": lambda: re,
    "no_flag": lambda: types.SimpleNamespace(match=re.match, sub=re.sub, split=re.split),
    "no_functions": lambda: types.SimpleNamespace(IGNORECASE=re.I, MULTILINE=re.M, DOTALL=re.S),
    "none": lambda: None,
}


@pytest.mark.parametrize("standin", sorted(RE_STANDINS))
@pytest.mark.parametrize("n", [0, 10, 500, 501, 620])
def test_plan_reading_strategy_reads_re_per_line_after_the_count(monkeypatch, standin, n):
    native_log, plain_log = [], []
    plain = with_globals(cref.plan, re=Recorder(RE_STANDINS[standin](), plain_log))
    want = outcome(lambda: plain(sql_lines(n)))
    monkeypatch.setattr(cx, "re", Recorder(RE_STANDINS[standin](), native_log))
    got = outcome(lambda: plan_fields(cx.plan_reading_strategy(FakePath(sql_lines(n)))))
    assert got == want
    assert native_log == plain_log
    if n <= 500:
        assert native_log == []


def test_short_file_needs_no_re(monkeypatch):
    monkeypatch.setattr(cx, "re", None)
    assert cx.plan_reading_strategy(FakePath(sql_lines(10))) == cx.FileReadingStrategy(False, 10, 10, ())
    with pytest.raises(AttributeError) as info:
        cx.plan_reading_strategy(FakePath(sql_lines(501)))
    assert str(info.value) == "'NoneType' object has no attribute 'match'"


TEXT = "## A\nSELECT 1 -- x\n/* y */\n## B\nz"


@pytest.mark.parametrize("standin", sorted(RE_STANDINS))
@pytest.mark.parametrize("plain, native, args", [
    (lref.detect, "detect_construct_categories", (TEXT,)),
    (lref.extract, "extract_sections", (TEXT, {"b"})),
    (lref.extract, "extract_sections", (TEXT, set())),
    (lref.extract, "extract_sections", ("", {"b"})),
])
def test_lorepick_reads_re_as_its_steps_do(monkeypatch, standin, plain, native, args):
    native_log, plain_log = [], []
    want = outcome(lambda: with_globals(plain, re=Recorder(RE_STANDINS[standin](), plain_log))(*args))
    monkeypatch.setattr(lp, "re", Recorder(RE_STANDINS[standin](), native_log))
    assert outcome(lambda: getattr(lp, native)(*args)) == want
    assert native_log == plain_log


def test_lorepick_without_re_fails_on_the_function_first(monkeypatch):
    monkeypatch.setattr(lp, "re", None)
    for call, name in [(lambda: lp.detect_construct_categories("x"), "sub"),
                       (lambda: lp.extract_sections("x", {"a"}), "split")]:
        with pytest.raises(AttributeError) as info:
            call()
        assert str(info.value) == f"'NoneType' object has no attribute '{name}'"


def plain_select(categories, *, full_mapping, full_gotchas, full_limitations=""):
    """select_knowledge read step by step, with the module's logger as a global."""
    result, event = lref.select(set(), full_mapping, full_gotchas, full_limitations)
    logger.debug("knowledge_selected", categories=sorted(categories), **dict(event[1:]))  # noqa: F821
    return result


@pytest.mark.parametrize("logger, categories", [
    (object(), {1, "a"}), (object(), {"cte"}), (types.SimpleNamespace(debug=lambda *a, **k: None), {1, "a"}),
])
def test_select_knowledge_looks_up_debug_before_sorting(monkeypatch, logger, categories):
    plain = with_globals(plain_select, logger=logger)
    want = outcome(lambda: plain(categories, full_mapping="", full_gotchas=""))
    monkeypatch.setattr(lp, "logger", logger)
    got = outcome(lambda: lp.select_knowledge(categories, full_mapping="", full_gotchas=""))
    assert got[0] == want[0] and (got[0] == "returned" or got == want)


def classified_fields(result):
    return (str(result.complexity), result.effective_lines, result.stored_proc_count,
            result.complex_construct_count, result.moderate_construct_count, result.temp_table_count,
            result.cte_count)


@pytest.mark.parametrize("standin", sorted(RE_STANDINS))
def test_classify_sql_reads_re_as_its_steps_do(monkeypatch, standin):
    text = "WITH a AS (SELECT 1) SELECT * FROM #t -- x"
    native_log, plain_log = [], []
    plain = with_globals(cref.classify, re=Recorder(RE_STANDINS[standin](), plain_log))
    want = outcome(lambda: classified_fields(plain(text)))
    monkeypatch.setattr(cx, "re", Recorder(RE_STANDINS[standin](), native_log))
    assert outcome(lambda: classified_fields(cx.classify_sql(text))) == want
    assert native_log == plain_log
