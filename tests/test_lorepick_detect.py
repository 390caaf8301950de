"""detect_construct_categories: pattern edges, comment removal and its order, Unicode case
folding, argument errors and replaced module attributes."""

import inspect
import re

import pytest

from agents.transmute import lorepick as lp

detect = lp.detect_construct_categories


@pytest.mark.parametrize("text, expected", [
    ("", set()),
    ("a LEFT JOIN b", {"join", "string_ops"}),
    ("SELECT * FROM a JOIN b ON a.id = b.id", {"query"}),
    ("SELECT region FROM t GROUP BY region", {"query"}),
    ("COUNT (*)", {"aggregation"}),
    ("SELECT rank FROM t", {"query"}),
    ("ROW_NUMBER() OVER (ORDER BY a)", {"window_function"}),
    ("WITH cte (a, b) AS (", {"cte"}),
    ("SELECT * FROM t WITH (NOLOCK)", {"query"}),
    ("SELECT 'Item #5'", {"query", "temp_table"}),
    ("DECLARE @t TABLE (a int)", {"temp_table"}),
    ("CREATE OR ALTER PROCEDURE p", {"stored_proc"}),
    ("DECIMAL(10,2)", {"type_cast"}),
    ("IS\nNULL", {"null_handling"}),
    ("my_cursor CURSOR_STATUS", set()),
    # Case folding and word rules of the host's re.
    ("ſelect 1", {"query"}),
    ("datedıff(", {"date_function"}),
    ("İSNULL(a)", {"null_handling"}),
    ("ran\u212a(", {"window_function"}),
    ("éMERGE MERGEé", set()),
    ("@t\u3000TABLE", {"temp_table"}),
])
def test_categories(text, expected):
    assert detect(text) == expected


def test_all_fourteen():
    script = """WITH t AS (SELECT SUM(a) AS s FROM #o) SELECT ROW_NUMBER() OVER (ORDER BY s),
        ISNULL(n, ''), CAST(s AS INT), GETDATE(), JSON_VALUE(d, '$.a') FROM t LEFT JOIN c ON 1=1;
        DECLARE cur CURSOR FOR SELECT 1; MERGE x USING y ON 1 = 1; EXEC dbo.audit;"""
    assert detect(script) == set(lp._CATEGORY_PATTERNS)


@pytest.mark.parametrize("text, expected", [
    ("-- SELECT\n/* MERGE */", set()),
    ("SELECT '--', CAST(x AS INT)", {"query"}),
    # Line comments go first: the "--" eats the "*/", so the block runs to the next "*/" ...
    ("/* -- */ SELECT 1\nMERGE */ CURSOR", {"cursor"}),
    # ... and without one the opened block stays and is searched.
    ("/* -- */\nMERGE t", {"merge"}),
    ("-- x\rSELECT 1", set()),               # only a line feed ends a line comment
    ("-- x\r\nSELECT 1", {"query"}),
    ("/* a */ SELECT /* b */", {"query"}),   # block comments are not greedy
])
def test_comments(text, expected):
    assert detect(text) == expected


class TestInterface:
    def test_result_is_a_new_set(self):
        first = detect("SELECT 1")
        assert type(first) is set and first is not detect("SELECT 1")

    @pytest.mark.parametrize("value, got", [(None, "NoneType"), (b"x", "bytes")])
    def test_exact_type(self, value, got):
        with pytest.raises(TypeError) as info:
            detect(value)
        assert str(info.value) == f"Argument 'sql_content' has incorrect type (expected str, got {got})"
        with pytest.raises(TypeError, match=r"expected str, got Text\)"):
            detect(type("Text", (str,), {})("SELECT"))

    def test_calls_and_introspection(self):
        assert detect(sql_content="select") == {"query"}
        with pytest.raises(TypeError):
            detect("a", "b")
        with pytest.raises(TypeError):
            detect(sql="a")
        assert detect.__annotations__ == {"sql_content": "str", "return": "set[str]"}
        assert str(inspect.signature(detect)) == "(sql_content: 'str') -> 'set[str]'"

    def test_pattern_flags(self):
        assert all(p.flags == re.IGNORECASE | re.UNICODE for p in lp._CATEGORY_PATTERNS.values())


class OwnIterError:
    def __iter__(self):
        raise TypeError("item refuses iteration")


class NonIterator:
    def __iter__(self):
        return 5


class NotIterable:
    __iter__ = None


class TestReplacedAttributes:
    def test_patterns(self, monkeypatch):
        monkeypatch.setitem(lp._CATEGORY_PATTERNS, "query", re.compile("never"))
        assert detect("SELECT 1") == set()
        monkeypatch.setattr(lp, "_CATEGORY_PATTERNS", {"x": re.compile("zz"), 5: re.compile("a")})
        assert detect("zz a") == {"x", 5}
        monkeypatch.undo()
        assert detect("zz a SELECT") == {"query"}

    def test_re(self, monkeypatch):
        calls = []

        class Re:
            MULTILINE, DOTALL = re.MULTILINE, re.DOTALL

            @staticmethod
            def sub(pattern, repl, text, flags=0):
                calls.append((pattern, flags))
                return re.sub(pattern, repl, text, flags=flags)

        monkeypatch.setattr(lp, "re", Re)
        assert detect("SELECT 1 -- MERGE") == {"query"}
        assert calls == [(r"--.*$", re.MULTILINE), (r"/\*.*?\*/", re.DOTALL)]

    @pytest.mark.parametrize("item", [OwnIterError(), NonIterator(), NotIterable(), 5, "abc"],
                             ids=lambda item: type(item).__name__)
    def test_item_unpacking_fails_as_the_interpreter_does(self, monkeypatch, item):
        try:
            key, value = item
        except (TypeError, ValueError) as error:
            expected = (type(error), str(error))
        monkeypatch.setattr(lp, "_CATEGORY_PATTERNS", type("T", (dict,), {"items": lambda self: [item]})())
        with pytest.raises((TypeError, ValueError)) as info:
            detect("a")
        assert (type(info.value), str(info.value)) == expected

    def test_bad_table(self, monkeypatch):
        monkeypatch.setattr(lp, "_CATEGORY_PATTERNS", type("T", (dict,), {
            "items": lambda self: [("q", re.compile("a"), 3)]})())
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            detect("a")
        monkeypatch.delattr(lp, "_CATEGORY_PATTERNS")
        with pytest.raises(NameError, match="name '_CATEGORY_PATTERNS' is not defined"):
            detect("x")
