"""Realistic T-SQL corpus for the benchmarks: procedures with comments, cursors, CTEs, temp
tables and dynamic SQL, from 1 KB to 2 MB, plus shares whose text needs each wider string kind."""

import random

TABLES = ["Orders", "Customers", "Invoices", "Payments", "Shipments", "Products", "Ledger", "Accounts"]
NON_ASCII = {
    "ascii": [""],
    "latin1": ["Café", "Müller", "Señor", "naïve", "Åre"],
    "bmp": ["東京", "Привет", "Ελλάδα", "客户", "Straße–Ω"],
    "astral": ["𝔘𝔫𝔦𝔠𝔬𝔡𝔢", "😀 ok", "𐐀𐐁", "𝟘𝟙𝟚"],
}


def _procedure(rng, i, kind):
    t = rng.choice(TABLES)
    note = rng.choice(NON_ASCII[kind])
    lines = [
        "-- ============================================================",
        f"-- Procedure {i}: refresh {t} {note}",
        "-- ============================================================",
        f"CREATE OR ALTER PROCEDURE dbo.usp_Refresh{t}_{i}",
        "    @FromDate DATE,",
        "    @ToDate   DATE",
        "AS",
        "BEGIN",
        "    SET NOCOUNT ON;",
        f"    /* Loads the {t} delta into a temporary table.",
        f"       Owner: {note or 'data team'} */",
        f"    IF OBJECT_ID('tempdb..#{t}Delta') IS NOT NULL DROP TABLE #{t}Delta;",
        f"    CREATE TABLE #{t}Delta (Id INT NOT NULL, Amount DECIMAL(18, 2), Label NVARCHAR(100));",
        f"    INSERT INTO #{t}Delta (Id, Amount, Label)",
        f"    SELECT s.Id, s.Amount, N'{note}' FROM staging.{t} AS s",
        "    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);",
    ]
    for k in range(rng.randrange(2, 6)):
        lines += [
            f"    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)  -- keep old amount {k}",
            f"    FROM #{t}Delta AS d LEFT JOIN dbo.{t} AS s ON s.Id = d.Id WHERE d.Id % {k + 2} = 0;",
        ]
    roll = rng.random()
    if roll < 0.3:
        lines += [
            "    DECLARE @Id INT, @Sql NVARCHAR(MAX);",
            f"    DECLARE delta_cursor CURSOR FOR SELECT Id FROM #{t}Delta;",
            "    OPEN delta_cursor;",
            "    FETCH NEXT FROM delta_cursor INTO @Id;",
            "    WHILE @@FETCH_STATUS = 0",
            "    BEGIN",
            f"        SET @Sql = N'UPDATE dbo.{t} SET Touched = 1 WHERE Id = @p';",
            "        EXEC sp_executesql @Sql, N'@p INT', @p = @Id;",
            "        FETCH NEXT FROM delta_cursor INTO @Id;",
            "    END",
            "    CLOSE delta_cursor; DEALLOCATE delta_cursor;",
        ]
    elif roll < 0.6:
        lines += [
            "    WITH Latest AS (",
            "        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY Amount DESC) AS rn",
            f"        FROM #{t}Delta",
            "    )",
            f"    MERGE dbo.{t} AS target USING (SELECT Id, Amount FROM Latest WHERE rn = 1) AS source",
            "    ON target.Id = source.Id",
            "    WHEN MATCHED THEN UPDATE SET target.Amount = source.Amount",
            "    WHEN NOT MATCHED THEN INSERT (Id, Amount) VALUES (source.Id, source.Amount);",
        ]
    else:
        lines += [
            "    BEGIN TRY",
            f"        SELECT CASE WHEN COUNT(*) > 0 THEN 'loaded' ELSE 'empty' END FROM #{t}Delta;",
            "    END TRY",
            "    BEGIN CATCH",
            "        THROW;",
            "    END CATCH",
        ]
    lines += ["END", "GO", ""]
    return "\n".join(lines) + "\n"


def script(rng, size, kind="ascii"):
    """A script of about `size` characters whose widest character belongs to `kind`."""
    parts, total, i = [], 0, 0
    while total < size:
        part = _procedure(rng, i, kind)
        parts.append(part)
        total += len(part)
        i += 1
    text = "".join(parts)[:size]
    if kind != "ascii" and text.isascii():
        text = NON_ASCII[kind][0] + text[1:]
    return text


def corpus(seed=1, sizes=(1_000, 10_000, 100_000, 1_000_000, 2_000_000), kinds=("ascii",)):
    rng = random.Random(seed)
    return [(kind, size, script(rng, size, kind)) for kind in kinds for size in sizes]
