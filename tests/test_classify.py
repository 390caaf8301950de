"""classify_sql and classify_sql_file: decision rules, comment removal, line counting, Unicode
case folding, the debug event, argument errors, attribute replacement and a differential run
against the plain-Python reading."""

import dataclasses
import enum
import re

import pytest

from agents.transmute import complexity as cx
from reference import complexity_reference as ref
from reference.textgen import KINDS, sql_text


def counts(result):
    return (result.complexity, result.effective_lines, result.stored_proc_count,
            result.complex_construct_count, result.moderate_construct_count,
            result.temp_table_count, result.cte_count)


def plain_lines(n):
    return "\n".join(f"SELECT col{i} FROM t{i};" for i in range(n))


class TestDecision:
    @pytest.mark.parametrize("n, level", [(0, "simple"), (50, "simple"), (51, "moderate"),
                                          (300, "moderate"), (301, "complex")])
    def test_effective_line_thresholds(self, n, level):
        assert cx.classify_sql(plain_lines(n)).complexity == level

    def test_one_complex_construct_is_enough(self):
        r = cx.classify_sql("begin try")
        assert r.complexity is cx.SQLComplexity.COMPLEX and r.complex_construct_count == 1

    def test_cursor_declaration_counts_two_patterns(self):
        assert cx.classify_sql("DECLARE c CURSOR FOR SELECT 1").complex_construct_count == 2

    @pytest.mark.parametrize("text, expected", [
        ("EXEC ('SELECT 1')", 1), ("EXECUTE(N'SELECT 1')", 1), ("EXEC dbo.p", 0)])
    def test_dynamic_exec(self, text, expected):
        assert cx.classify_sql(text).complex_construct_count == expected

    def test_moderate_needs_three_distinct(self):
        two = "WHILE 1=1 SELECT CASE WHEN a THEN 1 END WHILE 2=2"
        assert cx.classify_sql(two).complexity == "simple"
        assert cx.classify_sql(two).moderate_construct_count == 2
        assert cx.classify_sql(two + " IF EXISTS (SELECT 1)").complexity == "moderate"
        assert cx.classify_sql("IF NOT EXISTS (SELECT 1) SELECT CASE x WHEN 1 THEN 2 END"
                               ).moderate_construct_count == 0

    def test_unpivot_is_not_pivot(self):
        assert cx.classify_sql("SELECT * FROM t UNPIVOT (v FOR k IN (a))").moderate_construct_count == 1

    def test_stored_procedures(self):
        assert counts(cx.classify_sql("CREATE PROCEDURE p AS SELECT 1"))[0:3] == ("moderate", 1, 1)
        both = cx.classify_sql("CREATE PROC a AS SELECT 1\ncreate or alter procedure b AS SELECT 2")
        assert (both.complexity, both.stored_proc_count) == ("complex", 2)
        assert cx.classify_sql("ALTER PROCEDURE p AS SELECT 1").stored_proc_count == 0

    def test_temp_tables_and_ctes(self):
        r = cx.classify_sql("SELECT * INTO #t FROM a; SELECT * FROM #t JOIN ##g ON 1=1; SELECT '#t'")
        assert (r.temp_table_count, r.moderate_construct_count) == (4, 1)
        assert cx.classify_sql("WITH a AS (SELECT 1), b AS (SELECT 2) SELECT 1").cte_count == 1
        assert cx.classify_sql("WITH a (x, y) AS (SELECT 1, 2);with b as (select 1)").cte_count == 2
        assert cx.classify_sql("SELECT * FROM t WITH (NOLOCK)").cte_count == 0

    def test_empty_text(self):
        assert counts(cx.classify_sql("")) == ("simple", 0, 0, 0, 0, 0, 0)


class TestComments:
    def test_constructs_in_comments_do_not_count(self):
        r = cx.classify_sql("-- MERGE\n/* CURSOR */ SELECT 1")
        assert (r.complex_construct_count, r.effective_lines) == (0, 1)

    def test_line_comment_inside_string_literal(self):
        assert cx.classify_sql("SELECT 'a--b'; MERGE t").complex_construct_count == 0

    def test_line_comments_go_first(self):
        # The "--" eats the "*/", so the block comment runs on to the next "*/".
        text = "/* note -- old */ MERGE INTO t\nSELECT 1\n*/ SELECT 2"
        r = cx.classify_sql(text)
        assert r.complex_construct_count == 0 and r.effective_lines == 1

    def test_block_comments_do_not_nest_and_leave_nothing(self):
        assert cx.classify_sql("CREATE/**/TABLE t").moderate_construct_count == 0
        assert cx.classify_sql("SELECT /* a /* b */ c */").effective_lines == 1
        assert cx.classify_sql("SELECT 1 /* x\ny\nz */ FROM t").effective_lines == 1

    def test_only_line_feed_ends_a_line_comment(self, tmp_path):
        text = "SELECT 1 -- c\rMERGE t"
        assert cx.classify_sql(text).complex_construct_count == 0
        path = tmp_path / "cr.sql"
        path.write_bytes(text.encode())
        assert cx.classify_sql_file(path).complex_construct_count == 1

    def test_comment_only_script(self):
        assert counts(cx.classify_sql("-- a\n/* b\n c */\n \t\n")) == ("simple", 0, 0, 0, 0, 0, 0)


class TestLines:
    @pytest.mark.parametrize("sep", ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e",
                                     "\x85", "\u2028", "\u2029"])
    def test_every_splitlines_boundary(self, sep):
        assert cx.classify_sql(sep.join(["a"] * 51)).effective_lines == 51

    def test_whitespace_only_lines_are_blank(self):
        assert cx.classify_sql("a\n \u3000\u00a0\t\n\u2007b\n").effective_lines == 2

    def test_long_texts_of_white_space_and_breaks(self, seeded_random):
        # Lines that open, close and run on across long stretches of white space, one character
        # or one kind of character at a time, with wider characters here and there.
        alphabet = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x1e", "\x1f", "a", "\x00", "\x7f",
                    "\xe9", "\x85", "\u2028", "\u3000", "\U0001f600"]
        for _ in range(3000):
            chars = seeded_random.sample(alphabet, seeded_random.randint(1, 5))
            weights = [seeded_random.random() for _ in chars]
            text = "".join(seeded_random.choices(chars, weights, k=seeded_random.randint(0, 400)))
            expected = sum(1 for line in text.splitlines() if line.strip())
            assert cx.classify_sql(text).effective_lines == expected, repr(text)

    def test_bom_is_not_whitespace(self, tmp_path):
        path = tmp_path / "bom.sql"
        path.write_bytes(b"\xef\xbb\xbf\n")
        assert cx.classify_sql_file(path).effective_lines == 1


class TestUnicodeCase:
    @pytest.mark.parametrize("text, field, expected", [
        ("ſp_executeſql", "complex_construct_count", 1),      # long s folds to s
        ("BEGIN TRı", "complex_construct_count", 0),          # dotless i is not y
        ("LINKED SERVER", "complex_construct_count", 1),
        ("L\u0130NKED SERVER", "complex_construct_count", 1),  # dotted capital I
        ("LıNKED SERVER", "complex_construct_count", 1),
        ("LIN\u212aED SERVER", "complex_construct_count", 1),  # Kelvin sign
        ("ıf exıſtſ (select 1)", "moderate_construct_count", 1),
    ])
    def test_host_case_variants(self, text, field, expected):
        assert getattr(cx.classify_sql(text), field) == expected

    def test_word_boundary_is_unicode(self):
        assert cx.classify_sql("éMERGE").complex_construct_count == 0
        assert cx.classify_sql("MERGE٣").complex_construct_count == 0
        assert cx.classify_sql("\u00a0MERGE\u2028").complex_construct_count == 1


class TestRecordAndEvent:
    def test_types_are_host_types(self):
        assert issubclass(cx.SQLComplexity, enum.StrEnum)
        assert [m.value for m in cx.SQLComplexity] == ["simple", "moderate", "complex"]
        assert dataclasses.is_dataclass(cx.ComplexityResult)
        assert [f.name for f in dataclasses.fields(cx.ComplexityResult)] == [
            "complexity", "effective_lines", "stored_proc_count", "complex_construct_count",
            "moderate_construct_count", "temp_table_count", "cte_count"]
        r = cx.classify_sql("SELECT 1")
        with pytest.raises(dataclasses.FrozenInstanceError):
            r.cte_count = 3
        assert r == cx.classify_sql("SELECT 1") and hash(r) == hash(cx.classify_sql("SELECT 1"))
        assert type(r.effective_lines) is int

    def test_event_fields_in_order(self, recording_logger):
        logger = recording_logger(cx)
        cx.classify_sql("CREATE PROC p AS MERGE t USING s ON 1=1; SELECT * FROM #a")
        assert logger.calls == [(("sql_classified",), [
            ("complexity", cx.SQLComplexity.COMPLEX), ("effective_lines", 1),
            ("complex_constructs", 1), ("moderate_constructs", 1), ("stored_procs", 1)])]
        assert logger.calls[0][1][0][1] is cx.SQLComplexity.COMPLEX

    def test_event_for_empty_text(self, recording_logger):
        logger = recording_logger(cx)
        cx.classify_sql("")
        assert len(logger.calls) == 1

    def test_logger_error_propagates(self, monkeypatch):
        class Broken:
            def debug(self, *a, **k):
                raise RuntimeError("sink down")
        monkeypatch.setattr(cx, "logger", Broken())
        with pytest.raises(RuntimeError, match="sink down"):
            cx.classify_sql("SELECT 1")


class TestLazyProxyLogger:
    """The module's logger as structlog gives it: a lazy proxy. A proxy that cached its logger is
    called through that logger; any change to the proxy, its `bind` or its class is seen at the
    next call."""

    @staticmethod
    def proxy(monkeypatch, cache=True):
        import logging

        import structlog

        events = []

        def keep(logger, method, event_dict):
            events.append((method, event_dict.pop("event"), event_dict))
            raise structlog.DropEvent

        proxy = structlog.wrap_logger(structlog.PrintLogger(), processors=[keep], cache_logger_on_first_use=cache,
                                      wrapper_class=structlog.make_filtering_bound_logger(logging.DEBUG))
        monkeypatch.setattr(cx, "logger", proxy)
        return proxy, events

    def test_cached_logger_gets_every_event(self, monkeypatch):
        proxy, events = self.proxy(monkeypatch)
        for text in ("SELECT 1", "CREATE PROC p AS MERGE t USING s ON 1=1", "SELECT 2"):
            cx.classify_sql(text)
        assert "bind" in vars(proxy)  # structlog cached it on first use
        assert [(m, e, f["complexity"]) for m, e, f in events] == [
            ("debug", "sql_classified", cx.SQLComplexity.SIMPLE),
            ("debug", "sql_classified", cx.SQLComplexity.COMPLEX),
            ("debug", "sql_classified", cx.SQLComplexity.SIMPLE)]

    def test_changes_to_the_proxy_take_effect(self, monkeypatch, recording_logger):
        proxy, events = self.proxy(monkeypatch)
        cx.classify_sql("SELECT 1")
        cx.classify_sql("SELECT 1")
        other = recording_logger(cx)  # a recorder, put back behind the proxy in three ways
        monkeypatch.setattr(cx, "logger", proxy)
        monkeypatch.setattr(proxy, "bind", lambda **kw: other, raising=False)
        cx.classify_sql("SELECT 1")
        assert len(events) == 2 and len(other.calls) == 1
        monkeypatch.undo()
        proxy, events = self.proxy(monkeypatch)
        cx.classify_sql("SELECT 1")
        proxy.debug = other.debug
        cx.classify_sql("SELECT 1")
        del proxy.debug
        cx.classify_sql("SELECT 1")
        assert len(events) == 2 and len(other.calls) == 2
        monkeypatch.setattr(type(proxy), "__getattr__", lambda self, name: getattr(other, name))
        cx.classify_sql("SELECT 1")
        assert len(events) == 2 and len(other.calls) == 3

    def test_filtered_out_debug_is_skipped_only_while_it_does_nothing(self, monkeypatch):
        import logging

        import structlog

        filtered = structlog.make_filtering_bound_logger(logging.WARNING)(structlog.PrintLogger(), [], {})
        monkeypatch.setattr(cx, "logger", filtered)
        assert cx.classify_sql("SELECT 1").complexity is cx.SQLComplexity.SIMPLE
        nop = filtered.debug.__func__

        def loud(self, event, *args, **kw):
            raise ValueError(event)

        monkeypatch.setattr(nop, "__code__", loud.__code__)
        with pytest.raises(ValueError, match="sql_classified"):
            cx.classify_sql("SELECT 1")

    def test_uncached_proxy_binds_at_each_call(self, monkeypatch):
        proxy, events = self.proxy(monkeypatch, cache=False)
        cx.classify_sql("SELECT 1")
        assert "bind" not in vars(proxy)
        bound = []
        real_bind = type(proxy).bind
        monkeypatch.setattr(type(proxy), "bind", lambda self, **kw: bound.append(1) or real_bind(self, **kw))
        cx.classify_sql("SELECT 1")
        cx.classify_sql("SELECT 1")
        assert len(bound) == 2 and len(events) == 3


class TestErrors:
    @pytest.mark.parametrize("value, got", [(b"x", "bytes"), (None, "NoneType"), (3, "int")])
    def test_exact_type_texts(self, value, got):
        with pytest.raises(TypeError) as info:
            cx.classify_sql(value)
        assert str(info.value) == f"Argument 'sql_content' has incorrect type (expected str, got {got})"

    def test_str_subclass_refused(self):
        class Sub(str):
            pass
        with pytest.raises(TypeError, match=r"expected str, got Sub\)"):
            cx.classify_sql(Sub("SELECT 1"))

    def test_bad_calls(self):
        for call in (lambda: cx.classify_sql(), lambda: cx.classify_sql("a", "b"),
                     lambda: cx.classify_sql(sql="a"), lambda: cx.classify_sql("a", sql_content="a")):
            with pytest.raises(TypeError):
                call()
        assert cx.classify_sql(sql_content="MERGE").complex_construct_count == 1

    def test_file_errors_pass_through(self, tmp_path):
        bad = tmp_path / "bad.sql"
        bad.write_bytes(b"SELECT \xff")
        with pytest.raises(UnicodeDecodeError):
            cx.classify_sql_file(bad)
        with pytest.raises(FileNotFoundError):
            cx.classify_sql_file(tmp_path / "missing.sql")
        with pytest.raises(AttributeError):
            cx.classify_sql_file(str(bad))


class TestReplacedAttributes:
    def test_replaced_tables_take_effect_and_restore(self, monkeypatch):
        text = "MERGE t USING s ON 1=1 -- CURSOR"
        assert cx.classify_sql(text).complex_construct_count == 1
        monkeypatch.setattr(cx, "_COMPLEX_PATTERNS", [re.compile("t"), re.compile("CURSOR")])
        assert cx.classify_sql(text).complex_construct_count == 1
        monkeypatch.setattr(cx, "_COMMENT_PATTERNS", [])
        assert cx.classify_sql(text).complex_construct_count == 2
        monkeypatch.undo()
        assert cx.classify_sql(text).complex_construct_count == 1

    def test_edited_table_takes_effect(self, monkeypatch):
        table = cx._MODERATE_PATTERNS
        table.append(re.compile("zzz"))
        try:
            assert cx.classify_sql("zzz").moderate_construct_count == 1
        finally:
            table.pop()
        assert cx.classify_sql("zzz").moderate_construct_count == 0

    def test_replaced_re_and_types(self, monkeypatch):
        calls = []

        class SpyRe:
            IGNORECASE = re.IGNORECASE

            def findall(self, pattern, text, *flags):
                calls.append(pattern)
                return re.findall(pattern, text, *flags)
        monkeypatch.setattr(cx, "re", SpyRe())
        assert cx.classify_sql("WITH a AS (SELECT 1) SELECT 1 FROM #x").cte_count == 1
        assert calls == [r"#\w+", ref.CTE]
        monkeypatch.setattr(cx, "ComplexityResult", lambda **kw: kw)
        assert cx.classify_sql("x")["effective_lines"] == 1

    def test_classify_sql_file_uses_module_classify(self, monkeypatch, tmp_path):
        path = tmp_path / "a.sql"
        path.write_text("SELECT 1")
        monkeypatch.setattr(cx, "classify_sql", lambda text: ("seen", text))
        assert cx.classify_sql_file(path) == ("seen", "SELECT 1")

    def test_missing_attribute_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(cx, "logger")
        with pytest.raises(NameError, match="name 'logger' is not defined"):
            cx.classify_sql("x")


@pytest.mark.parametrize("kind", KINDS)
def test_differential_against_plain_reading(kind, seeded_random):
    for _ in range(300):
        text = sql_text(seeded_random, kind)
        expected = ref.classify(text)
        got = cx.classify_sql(text)
        assert counts(got) == dataclasses.astuple(expected), repr(text)
