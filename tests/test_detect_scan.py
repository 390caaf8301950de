"""The detector's native pattern scan against `re`: every row and rule, searched in the lexer's
views, fires exactly when `re.search` finds it there, on the line where `re` finds it first.
Seeded texts over all four string kinds; the seed is printed."""

import random
import re

import pytest

from agents.transmute.detector import CODE, COMMENT, FLAGS, HASH_COMMENT, TEXT, Detector, RULES, _row_context
from agents.transmute.cuebook import PLATFORM_MARKERS
from agents.transmute.originscan import Platform

EMPTY = {"classes": [p.value for p in Platform], "bias": [0.0] * 10, "threshold": 0.5, "features": [],
         "weights": []}  # fmt: skip

FRAGMENTS = [
    "SELECT ", "SEL ", "* ", "FROM ", "t", "dbo.", "[Orders]", "[my col]", "WITH (NOLOCK)", " TOP 5", "GO", "\n", "\n",
    "  ", ";", "(", ")", ",", "'", "''", "'''", '"', "`", "`p-1.d.t`", "$$", "$f$", "--", "/*", "*/", "/*+ ", "/*!4010",
    "#", "# ", "#t", "#standardSQL", "{{", "}}", "{%", "%}", "${hiveconf:", "::", "::VARIANT", "@@ROWCOUNT", "@~",
    "q'[", "]'", "b'", "r\"", "\\", "DELIMITER $$", "ENGINE=InnoDB", "AUTO_INCREMENT", "PRIMARY INDEX", "MULTISET",
    "CREATE TABLE ", "CREATE SET TABLE ", "USING DELTA", "ZORDER BY ", "OPTIMIZE ", "MINUS", " SELECT", "DATABASE d;",
    "PROMPT", "/", ".LOGON", ".QUIT", "STORED AS ORC", "ROW FORMAT DELIMITED", "LATERAL VIEW explode(", "INT64",
    "NVARCHAR2", "N?VARCHAR2", "VARCHAR2", "UNIQUE ", "NO ", "INTERLEAVED SORTKEY", "TINYINT(4)", " UNSIGNED", "|>",
    "-- MAGIC %sql", "-- COMMAND ----------", "dbfs:/mnt/x", "x?::INT", "t@v12", "ENUM(", "AS ENUM(", "SUPER,",
    "a%ROWTYPE", "c:a.b::string", "EXCEPT(", "EXCLUDE(", "\u00e9", "\u0131", "\u017f", "\u212a", "\u2028", "\u00a0",
]


def random_text(rng, size):
    return "".join(rng.choice(FRAGMENTS) for _ in range(size))


def expected(patterns, text, views):
    code, comments = views
    found = {}
    for index, (source, context) in enumerate(patterns):
        if context == HASH_COMMENT:
            continue
        view = {CODE: code, TEXT: text, COMMENT: comments}[context]
        if view is None:
            continue
        m = re.search(source, view, FLAGS)
        if m:
            start = m.start()
            while start < len(view) and view[start] in " \t\r\n\x01":
                start += 1
            found[index] = view.count("\n", 0, start) + 1
    return found


@pytest.fixture(scope="module")
def detector():
    return Detector(model=EMPTY)


@pytest.mark.parametrize("extra", ["", "\u00e9", "\u0100", "\U0001f600"], ids=["ascii", "latin1", "ucs2", "ucs4"])
def test_scan_agrees_with_re(detector, extra):
    patterns = [(m.pattern, _row_context(m)) for m in PLATFORM_MARKERS] + [(r.pattern, r.context) for r in RULES]
    hash_rows = {i for i, (_, context) in enumerate(patterns) if context == HASH_COMMENT}
    seed = random.randrange(2**32)
    print("seed", seed)
    rng = random.Random(seed)
    for round_ in range(250):
        text = random_text(rng, rng.randrange(1, 60)) + extra
        views = detector.views(text)
        got = {i: line for i, line in detector._scanner.features(text)[0] if i not in hash_rows}
        assert got == expected(patterns, text, views), (seed, round_, text)
