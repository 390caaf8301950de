"""Prints engine-vs-re throughput on a few MB of synthetic T-SQL.

Usage: python bench/bench_engine.py [megabytes]
"""

import random
import re
import sys
import time

from agents.transmute import _engine

STATEMENTS = [
    "SELECT o.OrderID, c.CustomerName, SUM(d.Quantity * d.UnitPrice) AS Total\n"
    "FROM dbo.Orders o\nINNER JOIN dbo.Customers c ON c.CustomerID = o.CustomerID\n"
    "LEFT JOIN dbo.OrderDetails d ON d.OrderID = o.OrderID\nWHERE o.OrderDate >= @start\n"
    "GROUP BY o.OrderID, c.CustomerName\nHAVING SUM(d.Quantity) > 10;\n",
    "-- refresh the staging table\nINSERT INTO #staging (id, name, amount)\n"
    "SELECT id, ISNULL(name, 'n/a'), CAST(amount AS DECIMAL(18, 2)) FROM dbo.Source WHERE active = 1;\n",
    "UPDATE t SET t.Status = 'Closed', t.ModifiedAt = GETDATE()\nFROM dbo.Tickets t\n"
    "WHERE t.LastActivity < DATEADD(day, -30, GETDATE());\n",
    "/* nightly rollup\n   owner: data team */\nDECLARE @rows INT = 0;\nSET @rows = @@ROWCOUNT;\n",
    "IF OBJECT_ID('tempdb..#work') IS NOT NULL DROP TABLE #work;\nGO\n",
    "SELECT ROW_NUMBER() OVER (PARTITION BY region ORDER BY sales DESC) AS rn, region, sales\n"
    "FROM dbo.RegionalSales WHERE year = 2023;\n",
    "CREATE INDEX IX_Orders_Date ON dbo.Orders (OrderDate) INCLUDE (CustomerID);\n",
]
RARE = "MERGE INTO dbo.Target AS t USING dbo.Source AS s ON t.id = s.id\nWHEN MATCHED THEN UPDATE SET t.v = s.v;\n"
CTE = "WITH recent (id, total) AS (\n  SELECT id, SUM(amount) FROM dbo.Payments GROUP BY id\n)\nSELECT * FROM recent;\n"


def make_text(megabytes, with_rare):
    rng = random.Random(7)
    parts, size = [], 0
    while size < megabytes * 1_000_000:
        s = rng.choice(STATEMENTS)
        if rng.random() < 0.01:
            s = CTE
        parts.append(s)
        size += len(s)
    if with_rare:
        parts.insert(len(parts) - 3, RARE)
    return "".join(parts)


def best(f, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - t0)
    return min(times), result


def row(label, text, re_fn, engine_fn):
    t_re, r_re = best(re_fn, 3)
    t_en, r_en = best(engine_fn)
    assert r_re == r_en, (label, r_re, r_en)
    n = len(text)
    print(f"{label:<48} re {n / t_re / 1e6:9.1f} Mchar/s   engine {n / t_en / 1e6:9.1f} Mchar/s"
          f"   x{t_re / t_en:7.1f}")


def main():
    mb = float(sys.argv[1]) if len(sys.argv) > 1 else 4
    absent = make_text(mb, False)
    present = make_text(mb, True)
    wide = absent + "\u0100"
    print(f"text: {len(absent) / 1e6:.1f} M chars of synthetic T-SQL")
    keyword_patterns = [r"\bMERGE\b", r"\bOPENXML\b", r"\bsp_executesql\b", r"\bCURSOR\b", r"\bPIVOT\b",
                        r"\bBEGIN\s+TRY\b", r"\bFOR\s+XML\b"]
    for src in keyword_patterns:
        p, e = re.compile(src, re.I), _engine.compile(src, re.I)
        row(f"search {src} (absent)", absent, lambda: p.search(absent) is not None, lambda: e.search(absent))
    p, e = re.compile(r"\bMERGE\b", re.I), _engine.compile(r"\bMERGE\b", re.I)
    row(r"search \bMERGE\b (near the end)", present, lambda: p.search(present) is not None,
        lambda: e.search(present))
    row(r"search \bMERGE\b (absent, UCS-2 text)", wide, lambda: p.search(wide) is not None, lambda: e.search(wide))
    cte = r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\("
    p, e = re.compile(cte, re.I), _engine.compile(cte, re.I)
    row("count CTE pattern", absent, lambda: len(p.findall(absent)), lambda: e.count(absent))
    for src, flags in [(r"#\w+", re.I), (r"--.*$", re.M), (r"/\*.*?\*/", re.S),
                       (r"\b(?:DATEDIFF|DATEADD|GETDATE|GETUTCDATE|EOMONTH|DATEPART)\b", re.I),
                       (r"\b(?:GROUP\s+BY|HAVING|SUM|COUNT|AVG|MIN|MAX)\s*\(", re.I)]:
        p, e = re.compile(src, flags), _engine.compile(src, flags)
        row(f"count {src[:40]}", absent, lambda: len(p.findall(absent)), lambda: e.count(absent))
    p, e = re.compile(r"--.*$", re.M), _engine.compile(r"--.*$", re.M)
    row("sub_empty --.*$", absent, lambda: p.sub("", absent), lambda: e.sub_empty(absent))


if __name__ == "__main__":
    main()
