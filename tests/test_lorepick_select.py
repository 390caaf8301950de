"""select_knowledge and the module's import: tables, wanted titles, word counts and rounding,
the "knowledge_selected" event, argument errors, replaced attributes and reference counts."""

import inspect
import subprocess
import sys
from pathlib import Path

import pytest

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
"""
GOTCHAS = "## 1. DATEDIFF Argument Order Reversed\ndates\n## 5. Decimal Arithmetic Precision Loss\ndec\n"


def event_of(logger):
    (args, fields), = logger.calls
    assert args == ("knowledge_selected",)
    return dict(fields)


def run_fresh(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.split("\n")[0]


class TestImport:
    def test_namespace_order(self):
        # In a fresh interpreter: other tests delete and restore attributes, which reorders them.
        names = run_fresh("import agents.transmute.lorepick as m\n"
                          "print(*[n for n in vars(m) if not n.startswith('__') or n == '__builtins__'])")
        assert names.split() == [
            "__builtins__", "re", "structlog", "logger", "CONSTRUCT_TO_MAPPING_SECTIONS",
            "CONSTRUCT_TO_GOTCHA_SECTIONS", "ALWAYS_INCLUDE_MAPPING", "ALWAYS_INCLUDE_GOTCHAS",
            "_CATEGORY_PATTERNS", "detect_construct_categories", "select_knowledge", "extract_sections"]

    def test_tables(self):
        for table, expected in [(lp.CONSTRUCT_TO_MAPPING_SECTIONS, ref.MAPPING_SECTIONS),
                                (lp.CONSTRUCT_TO_GOTCHA_SECTIONS, ref.GOTCHA_SECTIONS),
                                ({k: p.pattern for k, p in lp._CATEGORY_PATTERNS.items()},
                                 ref.CATEGORY_PATTERNS)]:
            assert list(table.items()) == list(expected.items())
        assert lp.ALWAYS_INCLUDE_MAPPING == ref.ALWAYS_MAPPING and lp.ALWAYS_INCLUDE_GOTCHAS == []

    def test_reinitialisation_refused(self):
        assert run_fresh("import sys, agents.transmute.lorepick\n"
                         "del sys.modules['agents.transmute.lorepick']\n"
                         "try:\n    import agents.transmute.lorepick\n"
                         "except RuntimeError as e:\n    print(e)\n") == (
            "Module 'lorepick' has already been imported. Re-initialisation is not supported.")


class TestSelection:
    def test_no_categories(self, recording_logger):
        log = recording_logger(lp)
        result = select(set(), full_mapping=MAPPING, full_gotchas=GOTCHAS)
        assert list(result.items()) == [
            ("mapping", "## Data Type Mapping with Gotchas\ntypes here\n\n"
                        "## NULL Semantics (CRITICAL)\nnulls here"),
            ("gotchas", ""), ("limitations", "")]
        assert log.calls[0][1] == [("categories", []), ("mapping_sections", 2), ("gotcha_sections", 0),
                                   ("token_estimate", 14), ("full_tokens", 35), ("reduction_pct", 60)]

    def test_type_cast_and_unknown_categories(self, recording_logger):
        log = recording_logger(lp)
        result = select({"type_cast", "nonsense"}, full_mapping=MAPPING, full_gotchas=GOTCHAS,
                        full_limitations="limits")
        assert result["mapping"].endswith("## Type Casting\ncasts here")
        assert result["gotchas"] == "## 5. Decimal Arithmetic Precision Loss\ndec"
        assert result["limitations"] == "limits"
        event = event_of(log)
        assert event["categories"] == ["nonsense", "type_cast"]
        assert (event["mapping_sections"], event["gotcha_sections"]) == (3, 1)

    def test_categories_without_gotchas(self):
        categories = {"cte", "json_ops", "stored_proc", "merge", "temp_table", "join", "aggregation", "query"}
        assert select(categories, full_mapping="", full_gotchas=GOTCHAS)["gotchas"] == ""
        assert len(categories) == 8

    def test_unsortable_categories(self, recording_logger):
        log = recording_logger(lp)
        with pytest.raises(TypeError, match="'<' not supported"):
            select({"join", 1}, full_mapping=MAPPING, full_gotchas="")
        assert log.calls == []

    def test_example_documents(self, recording_logger):
        docs = {name: (KNOWLEDGE / f"{name}.md").read_text(encoding="utf-8")
                for name in ("mapping", "gotchas", "limitations")}
        # Every wanted title finds its own section in the examples.
        for doc, table in [("mapping", lp.CONSTRUCT_TO_MAPPING_SECTIONS), ("gotchas", lp.CONSTRUCT_TO_GOTCHA_SECTIONS)]:
            for title in {t for titles in table.values() for t in titles}:
                assert f"\n## {title}\n" in docs[doc]
        categories = lp.detect_construct_categories(
            "SELECT ISNULL(a, 0), DATEDIFF(day, b, c) FROM #t LEFT JOIN u ON 1 = 1")
        log = recording_logger(lp)
        result = select(categories, full_mapping=docs["mapping"], full_gotchas=docs["gotchas"],
                        full_limitations=docs["limitations"])
        expected, fields = ref.select(categories, docs["mapping"], docs["gotchas"], docs["limitations"])
        assert result == expected and log.calls[0][1] == fields
        assert "## Joins" in result["mapping"] and "## Cursor Patterns" not in result["mapping"]


@pytest.mark.parametrize("mapping, gotchas, expected", [
    ("", "", (0, 0, 100)),
    ("## Joins\nb c d e f g h", "", (9, 9, 0)),
    ("Joins\n## X c d e f g", "", (1, 8, 88)),       # 87.5 rounds to even
    ("Joins a b\n## X d e f", "", (3, 8, 62)),       # 62.5 rounds to even
    ("Joins\n## X", "", (1, 3, 67)),
    ("## X", "## Y", (0, 4, 100)),
    ("Joins\u00a0a\x1cb\u2028c\u3000d\x85e\u200bf", "", (6, 6, 0)),  # str.split whitespace
])
def test_counts_and_rounding(recording_logger, mapping, gotchas, expected):
    log = recording_logger(lp)
    select({"join"}, full_mapping=mapping, full_gotchas=gotchas)
    event = event_of(log)
    assert (event["token_estimate"], event["full_tokens"], event["reduction_pct"]) == expected


def test_huge_counts_use_host_arithmetic(monkeypatch, recording_logger):
    log = recording_logger(lp)
    words = type("Words", (), {"split": lambda self: range(2**62 + 1)})()
    monkeypatch.setattr(lp, "extract_sections", lambda text, headers: words)
    select(set(), full_mapping="a b c", full_gotchas="")
    event = event_of(log)
    assert event["token_estimate"] == 2**63 + 2
    assert event["reduction_pct"] == round((1 - (2**63 + 2) / 3) * 100)


class TestInterface:
    def test_introspection(self):
        assert select.__kwdefaults__ == {"full_limitations": ""}
        assert str(inspect.signature(select)) == (
            "(categories: 'set[str]', *, full_mapping: 'str', full_gotchas: 'str', "
            "full_limitations: 'str' = '') -> 'dict[str, str]'")

    @pytest.mark.parametrize("args, kwargs, message", [
        ((set(),), {"full_gotchas": ""},
         "select_knowledge() missing 1 required keyword-only argument: 'full_mapping'"),
        ((set(), "", ""), {}, "select_knowledge() takes 1 positional argument but 3 were given"),
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


class TestReplacedAttributes:
    def test_tables_and_always_lists(self, monkeypatch, recording_logger):
        log = recording_logger(lp)
        monkeypatch.setattr(lp, "ALWAYS_INCLUDE_MAPPING", ["NULL Semantics"])
        monkeypatch.setattr(lp, "ALWAYS_INCLUDE_GOTCHAS", ("1. DATEDIFF",))
        monkeypatch.setitem(lp.CONSTRUCT_TO_MAPPING_SECTIONS, "query", ["Type Casting"])
        monkeypatch.setattr(lp, "CONSTRUCT_TO_GOTCHA_SECTIONS", {"query": {"5. decimal": 1}})
        result = select({"query"}, full_mapping=MAPPING, full_gotchas=GOTCHAS)
        assert result["mapping"] == "## NULL Semantics (CRITICAL)\nnulls here\n\n## Type Casting\ncasts here"
        assert result["gotchas"] == GOTCHAS.replace("\n## ", "\n\n## ").strip()
        assert (event_of(log)["mapping_sections"], event_of(log)["gotcha_sections"]) == (2, 2)

    def test_tables_not_read_without_categories(self, monkeypatch):
        monkeypatch.delattr(lp, "CONSTRUCT_TO_GOTCHA_SECTIONS")
        assert select(set(), full_mapping="", full_gotchas="")["gotchas"] == ""
        with pytest.raises(NameError, match="name 'CONSTRUCT_TO_GOTCHA_SECTIONS' is not defined"):
            select({"x"}, full_mapping="", full_gotchas="")

    def test_extract_sections_and_logger(self, monkeypatch):
        seen = []
        monkeypatch.setattr(lp, "extract_sections",
                            lambda text, headers: seen.append((text, set(headers))) or text.upper())
        result = select({"cursor"}, full_mapping="m", full_gotchas="g", full_limitations="l")
        assert result == {"mapping": "M", "gotchas": "G", "limitations": "l"}
        assert seen == [("m", {"Cursor Patterns", *ref.ALWAYS_MAPPING}),
                        ("g", {"8. Python UDF 50-100x Slower Than Native F.xxx"})]

        def fail(*args, **kwargs):
            raise RuntimeError("sink down")
        monkeypatch.setattr(lp, "logger", type("Failing", (), {"debug": staticmethod(fail)})())
        with pytest.raises(RuntimeError, match="sink down"):
            select(set(), full_mapping="", full_gotchas="")


def test_calls_keep_no_references(recording_logger):
    recording_logger(lp)
    sql = "SELECT ISNULL(a, 1) FROM #t LEFT JOIN u -- x\n/* y */"
    doc = (KNOWLEDGE / "mapping.md").read_text(encoding="utf-8")
    headers, categories = {"Joins", "date functions"}, {"join", "null_handling", "unknown"}
    watched = [sql, doc, headers, categories, *headers, *categories, lp._CATEGORY_PATTERNS]

    def run():
        lp.detect_construct_categories(sql)
        lp.extract_sections(doc, headers)
        lp.select_knowledge(categories, full_mapping=doc, full_gotchas=doc, full_limitations=sql)
    run()
    lp.logger.calls.clear()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        run()
    lp.logger.calls.clear()
    assert [sys.getrefcount(o) for o in watched] == before
