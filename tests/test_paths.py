"""Which path a call takes: the native path while every attribute it stands for is the
import-time object, the host path (through the module's `re`) as soon as one is replaced or
edited, and the native path again once it is restored."""

import re
import sys

import pytest

from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp

TEXT = "WITH a AS (SELECT 1) MERGE t USING s ON 1=1; SELECT * FROM #x -- note\n"


def calls_into_re(fn, *args):
    """Python-level functions of the re package that one call reaches."""
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(re.__file__.rsplit("/", 1)[0]):
            seen.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        result = fn(*args)
    finally:
        sys.setprofile(None)
    return result, seen


def classify(text):
    r = cx.classify_sql(text)
    return (r.complexity, r.effective_lines, r.complex_construct_count, r.moderate_construct_count,
            r.stored_proc_count, r.temp_table_count, r.cte_count)


COMPLEXITY_EDITS = [
    ("_COMPLEX_PATTERNS", lambda m: list(m._COMPLEX_PATTERNS)),
    ("_MODERATE_PATTERNS", lambda m: list(m._MODERATE_PATTERNS)),
    ("_COMMENT_PATTERNS", lambda m: list(m._COMMENT_PATTERNS)),
    ("_STORED_PROC_PATTERN", lambda m: re.compile(m._STORED_PROC_PATTERN.pattern + "(?:)", re.I)),
]


@pytest.mark.parametrize("name, replacement", COMPLEXITY_EDITS)
def test_classify_switches_paths(monkeypatch, name, replacement):
    expected, seen = calls_into_re(classify, TEXT)
    assert seen == []
    monkeypatch.setattr(cx, name, replacement(cx))
    got, seen = calls_into_re(classify, TEXT)
    assert got == expected and "findall" in seen
    monkeypatch.undo()
    assert calls_into_re(classify, TEXT) == (expected, [])


def test_classify_edited_table_and_re_function(monkeypatch):
    expected = classify(TEXT)
    cx._COMPLEX_PATTERNS.append(cx._COMPLEX_PATTERNS[0])
    try:
        assert calls_into_re(classify, TEXT)[1] != []
    finally:
        cx._COMPLEX_PATTERNS.pop()
    original = re.findall
    monkeypatch.setattr(re, "findall", lambda *a, **k: original(*a, **k))
    got, seen = calls_into_re(classify, TEXT)
    assert got == expected and "findall" in seen
    monkeypatch.undo()
    assert calls_into_re(classify, TEXT) == (expected, [])


@pytest.mark.parametrize("edit", ["replace_table", "edit_table", "replace_re"])
def test_detection_switches_paths(monkeypatch, edit):
    expected, seen = calls_into_re(lp.detect_construct_categories, TEXT)
    assert seen == []
    if edit == "replace_table":
        monkeypatch.setattr(lp, "_CATEGORY_PATTERNS", dict(lp._CATEGORY_PATTERNS))
    elif edit == "edit_table":
        monkeypatch.setitem(lp._CATEGORY_PATTERNS, "query", re.compile(r"\bSELECT\b(?:)", re.I))
    else:
        monkeypatch.setattr(lp, "re", re)  # same module object: still native
        assert calls_into_re(lp.detect_construct_categories, TEXT) == (expected, [])
        original = re.sub
        monkeypatch.setattr(re, "sub", lambda *a, **k: original(*a, **k))
    got, seen = calls_into_re(lp.detect_construct_categories, TEXT)
    assert got == expected and seen
    monkeypatch.undo()
    assert calls_into_re(lp.detect_construct_categories, TEXT) == (expected, [])
