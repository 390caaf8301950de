"""The fast paths stand for particular attributes as import bound them: the module's `re` and
pattern tables, and the functions and flags of `re` itself that the host path would call. Each
of them, replaced or edited, must send the call down the host path, which then uses the
replacement. Every case's text gives a different answer once the replacement takes effect, so a
fast path that missed the change would show."""

import re
import types

import pytest

from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp


def never():
    return re.compile("(?!)")


class Edits(list):
    """Edits in place, undone (last first) when the test ends."""

    def put(self, table, index, value):
        old = table[index]
        table[index] = value
        self.append(lambda: table.__setitem__(index, old))


@pytest.fixture
def edits():
    done = Edits()
    yield done
    for undo in reversed(done):
        undo()


# name: (set up the replacement, SQL text, field of the result, value with the replacement)
CLASSIFY = {
    "re": (lambda mp, ed: mp.setattr(cx, "re", types.SimpleNamespace(findall=lambda *a: [], IGNORECASE=re.I)),
           "SELECT * FROM #t", "temp_table_count", 0),
    "re.findall": (lambda mp, ed: mp.setattr(re, "findall", lambda *a: []), "SELECT * FROM #t", "temp_table_count", 0),
    "re.IGNORECASE": (lambda mp, ed: mp.setattr(re, "IGNORECASE", 0), "with a as (select 1) select 1", "cte_count", 0),
    "_COMMENT_PATTERNS": (lambda mp, ed: ed.put(cx._COMMENT_PATTERNS, 0, never()), "SELECT 1 -- MERGE",
                          "complex_construct_count", 1),
    "_COMPLEX_PATTERNS": (lambda mp, ed: ed.put(cx._COMPLEX_PATTERNS, 7, never()), "MERGE t",
                          "complex_construct_count", 0),
    "_MODERATE_PATTERNS": (lambda mp, ed: mp.setattr(cx, "_MODERATE_PATTERNS", [*cx._MODERATE_PATTERNS, re.compile("z")]),
                           "z", "moderate_construct_count", 1),
    "_STORED_PROC_PATTERN": (lambda mp, ed: mp.setattr(cx, "_STORED_PROC_PATTERN", never()), "CREATE PROCEDURE p AS",
                             "stored_proc_count", 0),
}


@pytest.mark.parametrize("name", sorted(CLASSIFY))
def test_classify_sql_follows_a_replaced_attribute(monkeypatch, edits, name):
    replace, text, field, expected = CLASSIFY[name]
    assert getattr(cx.classify_sql(text), field) != expected
    replace(monkeypatch, edits)
    assert getattr(cx.classify_sql(text), field) == expected


# name: (set up the replacement, SQL text, categories with the replacement)
DETECT = {
    "re": (lambda mp, ed: mp.setattr(lp, "re", types.SimpleNamespace(sub=lambda p, r, t, flags: t, MULTILINE=re.M,
                                                                  DOTALL=re.S)),
           "-- MERGE", {"merge"}),
    "re.sub": (lambda mp, ed: mp.setattr(re, "sub", lambda p, r, t, flags: t), "-- MERGE", {"merge"}),
    "re.MULTILINE": (lambda mp, ed: mp.setattr(re, "MULTILINE", 0), "-- MERGE\nx", {"merge"}),
    "re.DOTALL": (lambda mp, ed: mp.setattr(re, "DOTALL", 0), "/* MERGE\n*/", {"merge"}),
    "_CATEGORY_PATTERNS": (lambda mp, ed: ed.put(lp._CATEGORY_PATTERNS, "merge", never()), "MERGE t", set()),
}


@pytest.mark.parametrize("name", sorted(DETECT))
def test_detect_construct_categories_follows_a_replaced_attribute(monkeypatch, edits, name):
    replace, text, expected = DETECT[name]
    assert lp.detect_construct_categories(text) != expected
    replace(monkeypatch, edits)
    assert lp.detect_construct_categories(text) == expected


def test_extract_sections_follows_a_replaced_split(monkeypatch):
    text = "## A\na\n## B\nb"
    assert lp.extract_sections(text, {"b"}) == "## B\nb"
    monkeypatch.setattr(re, "split", lambda pattern, text, flags: [text])
    assert lp.extract_sections(text, {"a"}) == text
