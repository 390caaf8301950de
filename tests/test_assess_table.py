"""The report's table drawn without rich's per-cell layout must be the table rich draws: the
same column widths, the same wrapping of long names, the same box lines."""

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from agents.transmute import assess

rich = pytest.importorskip("rich")
from rich.console import Console  # noqa: E402
from rich.table import Table  # noqa: E402
from rich.text import Text  # noqa: E402


def drawn_by_rich(headers, rows, width):
    console = Console(file=io.StringIO(), width=width)
    table = Table(title="SQL assessment", show_lines=False)
    for header in headers:
        table.add_column(header, overflow="fold")
    for row in rows:
        table.add_row(*map(Text, row))
    console.print(table)
    return console.file.getvalue()


# Names with runs of spaces, words longer than any column, punctuation next to spaces, wide
# characters, combining marks and joined emoji (the last two are left to rich).
plain = st.sampled_from("ab/_. -x")
name = st.text(plain, max_size=260) | st.text(plain | st.sampled_from("表数é"), max_size=260) | st.text(
    plain | st.sampled_from("表é\u0301\u200d👍🏽"), max_size=40)
rows = st.lists(st.lists(name, min_size=4, max_size=4), min_size=0, max_size=6)


@settings(max_examples=300, deadline=None)
@given(rows=rows, width=st.integers(min_value=20, max_value=260))
def test_same_as_rich(rows, width):
    headers = ["File", "Level", "Turns a/c/au", "Platform"]
    drawn = assess._drawn_table("SQL assessment", headers, rows, width)
    if drawn is not None:
        assert drawn == drawn_by_rich(headers, rows, width)
    else:  # only text rich alone can measure is left to it
        assert any(c in cell for row in rows for cell in row for c in "\u0301\u200d👍🏽")


def test_real_report_rows_and_what_is_left_to_rich():
    rows = [
        ["/estate/Stored Procedures/Configuration_ApplyRowLevelSecurity and more.sql", "complex",
         "1518", "7/32/3", "unknown (too close: sqlserver 0.78 vs redshift 0.19)", "utf-16-le BOM",
         "8", "3 sections", ""],
        ["x" * 300, "simple", "3", "1/1/1", "oracle (0.99)", "utf-8", "0", "whole", "10/20 (-50%)"],
        ["a.sql   trailing   spaces   " * 8, "moderate", "40", "2/6/1", "teradata (0.97)", "utf-8",
         "2", "whole", ""],
    ]
    for width in (120, 200, 333):
        drawn = assess._drawn_table("SQL assessment", assess.TABLE_HEADERS, rows, width)
        assert drawn == drawn_by_rich(assess.TABLE_HEADERS, rows, width)
    wide = [["检索数据 " * 40 + ".sql", "complex"], ["表" * 3, "simple"]]
    for width in (120, 201):
        drawn = assess._drawn_table("SQL assessment", ["File", "Level"], wide, width)
        assert drawn == drawn_by_rich(["File", "Level"], wide, width)
    # Combining marks and characters that do not print are rich's to lay out.
    assert assess._drawn_table("SQL assessment", ["File"], [["e\u0301.sql"]], 200) is None
    assert assess._drawn_table("SQL assessment", ["File"], [["a\x1b.sql"]], 200) is None


def test_write_table_matches_the_rich_only_table(monkeypatch):
    record = assess.assess_bytes(b"CREATE PROCEDURE dbo.p AS SELECT 1\nGO\n", "dir with spaces/" + "p" * 150 + ".sql")
    failed = assess.not_assessed_record("bad.sql", "undecodable", "not valid utf-8")
    records = [record, failed]
    summary = assess.summarize(records)
    fast = io.StringIO()
    assess.write_table(records, summary, fast)
    monkeypatch.setattr(assess, "_drawn_table", lambda *args: None)
    slow = io.StringIO()
    assess.write_table(records, summary, slow)
    assert fast.getvalue() == slow.getvalue()
    assert "Not assessed" in fast.getvalue()
