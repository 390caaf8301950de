"""select_knowledge and the module's import: tables, wanted titles, word counts and rounding,
the "knowledge_selected" event, argument errors and replaced module attributes."""

import inspect
import subprocess
import sys
from pathlib import Path

import pytest
import structlog

from agents.transmute import lorepick as lp
from reference import lorepick_reference as ref

select = lp.select_knowledge
KNOWLEDGE = Path(__file__).resolve().parent.parent / "examples" / "knowledge"

MAPPING = """# Reference

## Data Type Mapping with Gotchas
types here

## NULL Semantics (CRITICAL)
nulls here

## Type Casting
casts here

## Joins
joins here
"""
GOTCHAS = "## 1. DATEDIFF Argument Order Reversed\ndates\n## 5. Decimal Arithmetic Precision Loss\ndec\n"


def event_of(logger):
    assert len(logger.calls) == 1
    args, fields = logger.calls[0]
    assert args == ("knowledge_selected",)
    return dict(fields)


class TestImport:
    def test_namespace_order(self):
        # In a fresh interpreter: other tests delete and restore attributes, which reorders them.
        code = ("import agents.transmute.lorepick as m\n"
                "print(*[n for n in vars(m) if not n.startswith('__') or n == '__builtins__'])")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.split() == ["__builtins__", "re", "structlog", "logger",
                         "CONSTRUCT_TO_MAPPING_SECTIONS", "CONSTRUCT_TO_GOTCHA_SECTIONS",
                         "ALWAYS_INCLUDE_MAPPING", "ALWAYS_INCLUDE_GOTCHAS", "_CATEGORY_PATTERNS",
                         "detect_construct_categories", "select_knowledge", "extract_sections"]

    def test_tables(self):
        assert lp.CONSTRUCT_TO_MAPPING_SECTIONS == ref.MAPPING_SECTIONS
        assert list(lp.CONSTRUCT_TO_MAPPING_SECTIONS) == list(ref.MAPPING_SECTIONS)
        assert lp.CONSTRUCT_TO_GOTCHA_SECTIONS == ref.GOTCHA_SECTIONS
        assert list(lp.CONSTRUCT_TO_GOTCHA_SECTIONS) == list(ref.GOTCHA_SECTIONS)
        assert lp.ALWAYS_INCLUDE_MAPPING == ref.ALWAYS_MAPPING and lp.ALWAYS_INCLUDE_GOTCHAS == []
        assert {k: p.pattern for k, p in lp._CATEGORY_PATTERNS.items()} == ref.CATEGORY_PATTERNS

    def test_logger_is_structlog_logger(self):
        assert type(lp.logger) is type(structlog.get_logger())
        assert lp.structlog is structlog

    def test_reinitialisation_refused(self):
        code = ("import sys, agents.transmute.lorepick as m\n"
                "del sys.modules['agents.transmute.lorepick']\n"
                "try:\n    import agents.transmute.lorepick\n"
                "except RuntimeError as e:\n    print(e)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == ("Module 'lorepick' has already been imported. "
                                      "Re-initialisation is not supported.")


class TestSelection:
    def test_no_categories(self, recording_logger):
        log = recording_logger(lp)
        result = select(set(), full_mapping=MAPPING, full_gotchas=GOTCHAS)
        assert list(result) == ["mapping", "gotchas", "limitations"]
        assert result == {"mapping": "## Data Type Mapping with Gotchas\ntypes here\n\n"
                                     "## NULL Semantics (CRITICAL)\nnulls here",
                          "gotchas": "", "limitations": ""}
        assert list(event_of(log).items()) == [
            ("categories", []), ("mapping_sections", 2), ("gotcha_sections", 0),
            ("token_estimate", 14), ("full_tokens", 39), ("reduction_pct", 64)]

    def test_type_cast_adds_one_mapping_title(self, recording_logger):
        log = recording_logger(lp)
        result = select({"type_cast"}, full_mapping=MAPPING, full_gotchas=GOTCHAS,
                        full_limitations="limits")
        assert result["mapping"].endswith("## Type Casting\ncasts here")
        assert result["gotchas"] == "## 5. Decimal Arithmetic Precision Loss\ndec"
        assert result["limitations"] == "limits"
        event = event_of(log)
        assert (event["mapping_sections"], event["gotcha_sections"]) == (3, 1)

    @pytest.mark.parametrize("category", ["cte", "json_ops", "stored_proc", "merge", "temp_table",
                                          "join", "aggregation", "query"])
    def test_categories_without_gotchas(self, category):
        assert select({category}, full_mapping="", full_gotchas=GOTCHAS)["gotchas"] == ""

    def test_unknown_and_non_str_categories(self, recording_logger):
        log = recording_logger(lp)
        select({"nonsense", "join"}, full_mapping=MAPPING, full_gotchas="")
        assert event_of(log)["categories"] == ["join", "nonsense"]
        select({3, 1, 2}, full_mapping="", full_gotchas="")
        assert log.calls[1][1][0] == ("categories", [1, 2, 3])

    def test_unsortable_categories(self, recording_logger):
        log = recording_logger(lp)
        with pytest.raises(TypeError, match="'<' not supported"):
            select({"join", 1}, full_mapping=MAPPING, full_gotchas="")
        assert log.calls == []

    def test_arguments_unchanged(self):
        categories = {"join"}
        select(categories, full_mapping=MAPPING, full_gotchas=GOTCHAS)
        assert categories == {"join"}
        assert lp.ALWAYS_INCLUDE_MAPPING == ref.ALWAYS_MAPPING

    def test_example_documents(self, recording_logger):
        docs = {name: (KNOWLEDGE / f"{name}.md").read_text(encoding="utf-8")
                for name in ("mapping", "gotchas", "limitations")}
        sql = "SELECT ISNULL(a, 0), DATEDIFF(day, b, c) FROM #t LEFT JOIN u ON 1 = 1"
        categories = lp.detect_construct_categories(sql)
        log = recording_logger(lp)
        result = select(categories, full_mapping=docs["mapping"], full_gotchas=docs["gotchas"],
                        full_limitations=docs["limitations"])
        expected, fields = ref.select(categories, docs["mapping"], docs["gotchas"], docs["limitations"])
        assert result == expected and log.calls[0][1] == fields
        # Every wanted title of every category finds its section in the examples.
        for titles in [*lp.CONSTRUCT_TO_MAPPING_SECTIONS.values(), lp.ALWAYS_INCLUDE_MAPPING]:
            for title in titles:
                assert f"## {title}\n" in docs["mapping"]
        for titles in lp.CONSTRUCT_TO_GOTCHA_SECTIONS.values():
            for title in titles:
                assert f"## {title}\n" in docs["gotchas"]
        assert "## Joins" in result["mapping"] and "## Cursor Patterns" not in result["mapping"]


class TestReduction:
    @pytest.mark.parametrize("mapping, gotchas, expected", [
        ("", "", (0, 0, 100)),
        ("## Joins\nb c d e f g h", "", (9, 9, 0)),
        ("Joins\n## X c d e f g", "", (1, 8, 88)),          # 87.5 rounds to even
        ("Joins a b\n## X d e f", "", (3, 8, 62)),        # 62.5 rounds to even
        ("Joins\n## X", "", (1, 3, 67)),
        ("## X", "## Y", (0, 4, 100)),
        # No line feed: one piece whose title runs to the end, six words in all.
        ("\u3000## Joins\u00a0a\x1cb\u2028## X", "", (6, 6, 0)),
    ])
    def test_counts_and_rounding(self, recording_logger, mapping, gotchas, expected):
        log = recording_logger(lp)
        select({"join"}, full_mapping=mapping, full_gotchas=gotchas)
        event = event_of(log)
        assert (event["token_estimate"], event["full_tokens"], event["reduction_pct"]) == expected
        assert type(event["reduction_pct"]) is int

    def test_unicode_whitespace_splits_words(self, recording_logger):
        log = recording_logger(lp)
        text = "## Joins\u00a0a\x1cb\u2028c\u3000d\x85e\u200bf"
        select({"join"}, full_mapping=text, full_gotchas="")
        assert event_of(log)["full_tokens"] == len(text.split()) == 7

    def test_huge_counts_from_a_replaced_extractor(self, monkeypatch, recording_logger):
        class Words:
            def __init__(self, n):
                self.n = n

            def split(self):
                return range(self.n)

        log = recording_logger(lp)
        monkeypatch.setattr(lp, "extract_sections", lambda text, h: Words(2**62 + 1))
        select(set(), full_mapping="a " * 3, full_gotchas="")
        assert event_of(log)["token_estimate"] == 2**63 + 2
        assert event_of(log)["reduction_pct"] == round((1 - (2**63 + 2) / 3) * 100)


class TestInterface:
    def test_introspection(self):
        assert select.__kwdefaults__ == {"full_limitations": ""}
        assert select.__annotations__ == {
            "categories": "set[str]", "full_mapping": "str", "full_gotchas": "str",
            "full_limitations": "str", "return": "dict[str, str]"}
        assert str(inspect.signature(select)) == (
            "(categories: 'set[str]', *, full_mapping: 'str', full_gotchas: 'str', "
            "full_limitations: 'str' = '') -> 'dict[str, str]'")

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {"full_mapping": "", "full_gotchas": ""},
         "select_knowledge() missing 1 required positional argument: 'categories'"),
        ((set(),), {}, "select_knowledge() missing 2 required keyword-only arguments: "
                       "'full_mapping' and 'full_gotchas'"),
        ((set(),), {"full_gotchas": ""},
         "select_knowledge() missing 1 required keyword-only argument: 'full_mapping'"),
        ((set(), "", ""), {}, "select_knowledge() takes 1 positional argument but 3 were given"),
        ((set(),), {"full_mapping": "", "full_gotchas": "", "limitations": ""},
         "select_knowledge() got an unexpected keyword argument 'limitations'"),
        ((frozenset(),), {"full_mapping": 1, "full_gotchas": ""},
         "Argument 'categories' has incorrect type (expected set, got frozenset)"),
        ((set(),), {"full_mapping": None, "full_gotchas": 1},
         "Argument 'full_mapping' has incorrect type (expected str, got NoneType)"),
        ((set(),), {"full_mapping": "", "full_gotchas": b"", "full_limitations": 1},
         "Argument 'full_gotchas' has incorrect type (expected str, got bytes)"),
        ((set(),), {"full_mapping": "", "full_gotchas": "", "full_limitations": None},
         "Argument 'full_limitations' has incorrect type (expected str, got NoneType)"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            select(*args, **kwargs)
        assert str(info.value) == message

    def test_categories_by_keyword(self):
        assert select(categories=set(), full_mapping="", full_gotchas="")["mapping"] == ""

    def test_replaced_kwdefaults(self, monkeypatch):
        monkeypatch.setattr(select, "__kwdefaults__", {"full_limitations": "default text"})
        assert select(set(), full_mapping="", full_gotchas="")["limitations"] == "default text"
        monkeypatch.setattr(select, "__kwdefaults__", None)
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'full_limitations'"):
            select(set(), full_mapping="", full_gotchas="")


class TestReplacedAttributes:
    def test_tables_and_always_lists(self, monkeypatch, recording_logger):
        log = recording_logger(lp)
        monkeypatch.setattr(lp, "ALWAYS_INCLUDE_MAPPING", ["Joins"])
        monkeypatch.setattr(lp, "ALWAYS_INCLUDE_GOTCHAS", ("1. DATEDIFF",))
        monkeypatch.setitem(lp.CONSTRUCT_TO_MAPPING_SECTIONS, "query", ["Type Casting"])
        monkeypatch.setattr(lp, "CONSTRUCT_TO_GOTCHA_SECTIONS", {"query": {"5. decimal": 1}})
        result = select({"query"}, full_mapping=MAPPING, full_gotchas=GOTCHAS)
        assert result["mapping"] == "## Type Casting\ncasts here\n\n## Joins\njoins here"
        assert result["gotchas"] == GOTCHAS.replace("\n## ", "\n\n## ").strip()
        assert (event_of(log)["mapping_sections"], event_of(log)["gotcha_sections"]) == (2, 2)

    def test_tables_not_read_without_categories(self, monkeypatch):
        monkeypatch.delattr(lp, "CONSTRUCT_TO_GOTCHA_SECTIONS")
        assert select(set(), full_mapping="", full_gotchas="")["gotchas"] == ""
        with pytest.raises(NameError, match="name 'CONSTRUCT_TO_GOTCHA_SECTIONS' is not defined"):
            select({"x"}, full_mapping="", full_gotchas="")

    def test_extract_sections_and_logger(self, monkeypatch):
        seen = []
        monkeypatch.setattr(lp, "extract_sections", lambda text, headers: seen.append(
            (text, set(headers))) or text.upper())
        result = select({"cursor"}, full_mapping="m", full_gotchas="g", full_limitations="l")
        assert result == {"mapping": "M", "gotchas": "G", "limitations": "l"}
        assert seen == [("m", {"Cursor Patterns", *ref.ALWAYS_MAPPING}),
                        ("g", {"8. Python UDF 50-100x Slower Than Native F.xxx"})]

        class Failing:
            def debug(self, *args, **kwargs):
                raise RuntimeError("sink down")
        monkeypatch.setattr(lp, "logger", Failing())
        with pytest.raises(RuntimeError, match="sink down"):
            select(set(), full_mapping="", full_gotchas="")


class TestReferences:
    def test_calls_keep_no_references(self, monkeypatch):
        sql = "SELECT ISNULL(a, 1) FROM #t LEFT JOIN u -- x\n/* y */"
        doc = (KNOWLEDGE / "mapping.md").read_text(encoding="utf-8")
        headers = {"Joins", "date functions"}
        categories = {"join", "null_handling", "unknown"}
        watched = [sql, doc, headers, categories, *headers, *categories, lp.logger,
                   lp._CATEGORY_PATTERNS, lp.CONSTRUCT_TO_MAPPING_SECTIONS]
        monkeypatch.setattr(lp, "logger", Silent())

        def run():
            lp.detect_construct_categories(sql)
            lp.extract_sections(doc, headers)
            lp.select_knowledge(categories, full_mapping=doc, full_gotchas=doc,
                                full_limitations=sql)
        run()
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(200):
            run()
        assert [sys.getrefcount(o) for o in watched] == before


class Silent:
    def debug(self, *args, **kwargs):
        pass
