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


def _fragments(t, note):
    """Statement groups a procedure body is made of; each procedure uses a few of them."""
    return {
        "update_join": [
            "    UPDATE d SET d.Amount = s.Amount  -- refresh from the source table",
            f"    FROM #{t}Delta AS d INNER JOIN dbo.{t} AS s ON s.Id = d.Id WHERE d.Amount <> s.Amount;",
        ],
        "dates": [
            f"    DELETE FROM dbo.{t}History WHERE ChangedAt < DATEADD(MONTH, -6, GETDATE());",
            f"    SELECT DATEDIFF(DAY, MIN(ChangedAt), MAX(ChangedAt)) AS SpanDays FROM dbo.{t}History;",
        ],
        "nulls": [
            f"    UPDATE #{t}Delta SET Amount = COALESCE(Amount, 0), Label = ISNULL(Label, N'{note}');",
        ],
        "cursor": [
            "    DECLARE @Id INT;",
            f"    DECLARE delta_cursor CURSOR FOR SELECT Id FROM #{t}Delta;",
            "    OPEN delta_cursor;",
            "    FETCH NEXT FROM delta_cursor INTO @Id;",
            "    WHILE @@FETCH_STATUS = 0",
            "    BEGIN",
            f"        UPDATE dbo.{t} SET Touched = 1 WHERE Id = @Id;",
            "        FETCH NEXT FROM delta_cursor INTO @Id;",
            "    END",
            "    CLOSE delta_cursor; DEALLOCATE delta_cursor;",
        ],
        "dynamic": [
            "    DECLARE @Sql NVARCHAR(MAX);",
            f"    SET @Sql = N'UPDATE dbo.{t} SET Touched = 0 WHERE Id > @p';",
            "    EXEC sp_executesql @Sql, N'@p INT', @p = 0;",
        ],
        "cte_merge": [
            "    WITH Latest AS (",
            "        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY Amount DESC) AS rn",
            f"        FROM #{t}Delta",
            "    )",
            f"    MERGE dbo.{t} AS target USING (SELECT Id, Amount FROM Latest WHERE rn = 1) AS source",
            "    ON target.Id = source.Id",
            "    WHEN MATCHED THEN UPDATE SET target.Amount = source.Amount",
            "    WHEN NOT MATCHED THEN INSERT (Id, Amount) VALUES (source.Id, source.Amount);",
        ],
        "try_catch": [
            "    BEGIN TRY",
            f"        INSERT INTO dbo.{t} (Id, Amount) SELECT Id, Amount FROM #{t}Delta;",
            "    END TRY",
            "    BEGIN CATCH",
            "        THROW;",
            "    END CATCH",
        ],
        "report": [
            "    SELECT CASE WHEN COUNT(*) > 0 THEN 'loaded' ELSE 'empty' END AS Status, SUM(Amount) AS Total",
            f"    FROM #{t}Delta GROUP BY Label HAVING SUM(Amount) > 0;",
        ],
        "strings": [
            f"    UPDATE #{t}Delta SET Label = LTRIM(RTRIM(REPLACE(Label, N'  ', N' '))) WHERE Label LIKE N'%{note}%';",
        ],
        "casts": [
            f"    SELECT Id, CAST(Amount AS DECIMAL(18, 2)) AS Amount, CONVERT(VARCHAR(10), GETDATE(), 120) AS Day FROM #{t}Delta;",
        ],
        "json": [
            f"    SELECT Id, JSON_VALUE(Payload, '$.status') AS Status FROM dbo.{t}Events FOR JSON PATH;",
        ],
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
        f"    CREATE TABLE #{t}Delta (Id INT NOT NULL, Amount MONEY, Label NVARCHAR(100));",
        f"    INSERT INTO #{t}Delta (Id, Amount, Label)",
        f"    SELECT s.Id, s.Amount, N'{note}' FROM staging.{t} AS s",
        "    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < @ToDate;",
    ]
    fragments = _fragments(t, note)
    # Real procedures use a handful of constructs each, rarer ones less often.
    weights = {"update_join": 5, "dates": 3, "nulls": 3, "cursor": 1, "dynamic": 1, "cte_merge": 1,
               "try_catch": 2, "report": 4, "strings": 2, "casts": 2, "json": 0.2}
    names = list(weights)
    for name in set(rng.choices(names, [weights[n] for n in names], k=rng.randrange(1, 4))):
        lines += fragments[name]
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
