"""The detector's native pattern scan against `re`: every row and rule, searched in the lexer's
views, fires exactly when `re.search` finds it there, on the line where `re` finds it first.
Seeded texts over all four string kinds; the seed is printed."""

import random
import re

import pytest

from agents.transmute.cuebook import PLATFORM_MARKERS
from agents.transmute.detector import CODE, FLAGS, HASH_COMMENT, RULES, Detector, Rule, _row_context
from agents.transmute.originscan import Platform
from reference.detector_reference import first_lines

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
    # Trigger checks: words and punctuation that must follow a trigger, candidates that start
    # before it (a word character, the word before white space, a literal before white space),
    # look-behinds, and literals the match must contain further on.
    "SELECT * EXCEPT (", "xSELECT\t*  EXCLUDE(", " SUPER ", "SUPER)", "col ", "@v", "w@", "v1 ", "?", ":", "%TYPE",
    "AS OF ", "VERSION ", "TIMESTAMP ", "INTO ", "##t", "JOIN #x", "MEDIUMINT", " YEAR", "STRING", ", x STRING)",
    "FORMAT ", "TITLE '", "(FORMAT)", "@x :=", ":=", "#>>", "#>", "@>", "SET NOCOUNT ON", "SET ", "NOCOUNT",
    "EXEC sp_who", "EXECUTE xp_", "NVL2(", "NVL (", "TOP(", "TOP 10", "sys.objects", "sys .", "DBMS_x.y", "UTL_",
    "TIMESTAMP_NTZ", "TIMESTAMP_ NTZ", "STRUCT<a:b>", "STRUCT <a b>", "IFF(", "IFF\n(", "-- Databricks notebook source",
    "--  MAGIC", "\nMINUS\n", "MINUS SELECT", "ENUM (", "AS ENUM (", "GROUP_CONCAT (", "\u212aEY ", "\u017fET NOCOUNT ",
    "CREATE OR REPLACE TABLE ", "CREATE\tTABLE", "WITH NO DATA;", ") WITH DATA", "IF NOT EXISTS", "sp_executesql",
    # Chains: heads and tails of gapped alternatives, several in a row.
    "MONEY", "BIGSERIAL", "VARIANT,", "CONSTRAINT ", "EXPECT ", "ON VIOLATION", "TARGET_LAG",
    # Openers of the rules that read dialect settings, routines and literals.
    "METADATA$ACTION", "SYSTEM$W", " OBJECT)", "CREATE OR REPLACE TRANSIENT TABLE ", "'@stage/x'", "'@~", "FILE_FORMAT =",
    "GRANT ROLE r TO ROLE ", '"SNOWFLAKE"."ACCOUNT_USAGE"', "WITH NO SCHEMA BINDING", "SET query_group", "JSON_PARSE(",
    "LANGUAGE plpythonu", "FROM 's3://", "CREATE DATASHARE", "TO 75 PERCENT", "pg_catalog.", "CHARACTER VARYING",
    "@@SESSION.x", "SET GLOBAL x =", "PREPARE s FROM", "USE INDEX (", "LAST_INSERT_ID(", "SIGNAL SQLSTATE", "ELSEIF",
    "END REPEAT", "CREATE PROCEDURE p(IN x", "UPDATE `t` ", "INSERT INTO TABLE ",
]


def random_text(rng, size):
    return "".join(rng.choice(FRAGMENTS) for _ in range(size))


def expected(patterns, text, views):
    return first_lines(patterns, text, *views)


@pytest.fixture(scope="module")
def detector():
    return Detector(model=EMPTY)


@pytest.mark.parametrize(
    "prefix, extra",
    [("", ""), ("", "\u00e9"), ("", "\u0100"), ("", "\U0001f600"),
     # Wide texts whose code view is narrow (scanned at one byte a character) and wide again.
     ("\ufeff", ""), ("", "\n-- \u0100\n"), ("", " '\U0001f600' "), ("\ufeff", "\u0100")],
    ids=["ascii", "latin1", "ucs2", "ucs4", "bom", "ucs2-comment", "ucs4-literal", "bom-ucs2"],
)  # fmt: skip
def test_scan_agrees_with_re(detector, prefix, extra):
    patterns = [(m.pattern, _row_context(m)) for m in PLATFORM_MARKERS] + [(r.pattern, r.context) for r in RULES]
    hash_rows = {i for i, (_, context) in enumerate(patterns) if context == HASH_COMMENT}
    seed = random.randrange(2**32)
    print("seed", seed)
    rng = random.Random(seed)
    for round_ in range(250):
        text = prefix + random_text(rng, rng.randrange(1, 60)) + extra
        views = detector.views(text)
        got = {i: line for i, line in detector._scanner.features(text)[0] if i not in hash_rows}
        assert got == expected(patterns, text, views), (seed, round_, text)


def test_every_pattern_has_a_trigger(detector):
    """No row or rule is left to a search of its own over the whole text."""
    assert detector._scanner.untriggered() == []


@pytest.mark.parametrize(
    "pattern, hits, misses",
    [
        # A trigger on the punctuation, the candidate one word character before it.
        (r"\w@v\d+\b", ["t@v12", "x\nab@V3 "], ["@v12", " @v1", "t@w1"]),
        # A trigger on the word, the candidate the word before the white space in front of it.
        (r"\b\w+\s+SUPER\s*[,\)]", ["c SUPER,", "a\n\tsuper )"], ["SUPER,", ", SUPER,", "c SUPERB,", "c SUPER x"]),
        # A trigger on the punctuation, the candidate a literal before the white space (anywhere
        # in a word: the pattern has no word boundary).
        (r"SELECT\s+\*\s+EXCEPT\s*\(", ["xselect * except(", "SELECT\n*\tEXCEPT ("], ["SELECT *EXCEPT(", "SELECT* EXCEPT("]),
        # A leading look-behind.
        (r"(?<!AS )\bENUM\s*\(", ["x ENUM(", "ENUM (", "as  ENUM("], ["AS ENUM(", "ENUMS("]),
        # Words and punctuation that must follow: optional groups, classes, escapes made optional.
        (r"\bCREATE\s+(OR\s+REPLACE\s+)?TABLE\b", ["CREATE TABLE", "create or replace\ttable"], ["CREATE VIEW", "CREATETABLE"]),
        (r"\bTOP\s*\(?\s*\d+", ["TOP 5", "TOP(5)", "top ( 5"], ["TOP x", "TOPS 5"]),
        (r"\bEXEC(?:UTE)?\s+(sp_|xp_)\w+", ["EXEC sp_who", "execute XP_x"], ["EXEC dbo.sp_x", "EXECUTEsp_x"]),
        (r"(?:^|\n)\s*MINUS\s*(?:\n|$)", ["a\nMINUS\nb", "MINUS", "x\n  minus  "], ["x MINUS\n", "\nMINUSX"]),
        (r"[,(]\s*\w+\s+YEAR\b", ["(a YEAR", ", b  year)"], ["a YEAR", "(YEAR", ", b YEARS"]),
    ],
)
def test_trigger_kinds_agree_with_re(pattern, hits, misses):
    """Each kind of trigger finds what `re` finds, at the line where `re` finds it first."""
    rule = Rule(id="t.rule", platforms=(Platform.MYSQL,), confidence="high", pattern=pattern)
    detector = Detector(markers=[], rules=[rule], model=EMPTY)
    assert detector._scanner.untriggered() == []
    for text in hits + misses:
        for padded in (text, "x\n" + text + " y", "\u0100 " + text):
            found = [line for _, line in detector._scanner.features(padded)[0]]
            assert found == list(expected([(pattern, CODE)], padded, detector.views(padded)).values()), (pattern, padded)
        assert bool(re.search(pattern, detector.views(text)[0], FLAGS)) == (text in hits), (pattern, text)
