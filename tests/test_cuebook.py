"""The marker table as the scanner's real Marker builds it: rows, fields and what each pattern matches."""

import re
import re._constants as sre_constants
import re._parser as sre_parser
import sys

import pytest

import agents.transmute.cuebook as cuebook
import agents.transmute.originscan as originscan
from agents.transmute.originscan import Platform

ROWS = cuebook.PLATFORM_MARKERS
P = Platform

# (first row, last row, id prefix, platform)
GROUPS = [
    (1, 14, "databricks", P.DATABRICKS),
    (15, 28, "snowflake", P.SNOWFLAKE),
    (29, 40, "postgresql", P.POSTGRESQL),
    (41, 55, "mysql", P.MYSQL),
    (56, 69, "sqlserver", P.SQLSERVER),
    (70, 84, "oracle", P.ORACLE),
    (85, 95, "redshift", P.REDSHIFT),
    (96, 105, "bigquery", P.BIGQUERY),
    (106, 120, "teradata", P.TERADATA),
    (121, 123, "hive", P.HIVE),
]
SHARED_PLATFORMS = {
    124: [P.TERADATA, P.SNOWFLAKE, P.DATABRICKS, P.BIGQUERY],
    125: [P.SNOWFLAKE, P.DATABRICKS, P.BIGQUERY],
    126: [P.SQLSERVER, P.TERADATA],
    127: [P.POSTGRESQL, P.REDSHIFT, P.SNOWFLAKE, P.DATABRICKS],
    128: [P.POSTGRESQL, P.REDSHIFT, P.SNOWFLAKE],
    129: [P.ORACLE, P.TERADATA],
    130: [P.POSTGRESQL, P.SNOWFLAKE, P.DATABRICKS, P.REDSHIFT, P.BIGQUERY, P.ORACLE, P.SQLSERVER],
    131: [P.BIGQUERY, P.DATABRICKS, P.SNOWFLAKE],
    132: [P.MYSQL, P.BIGQUERY, P.DATABRICKS, P.HIVE],
    133: [P.BIGQUERY, P.DATABRICKS],
}
MEDIUM_ROWS = {13, 14, 105, 122, 123, *range(124, 134)}
SCOPE_ROWS = {1, 13, 53}
CORROBORATING = {122: False, 123: False, **{n: True for n in range(124, 133)}, 133: False}
GAP_ROWS = {2, 3, 8, 10, 17, 23, 25, 30, 31, 68, 89, 102, 104, 110}
ANCHORED_ROWS = {40, 58, 84, 96, 107, 115, 129, 131}


def row(number):
    return ROWS[number - 1]


class TestTableShape:
    def test_length_and_ends(self):
        assert type(ROWS) is list and len(ROWS) == 133
        assert row(1).id == "databricks.notebook_header"
        assert row(133).id == "shared.select_star_except"
        assert all(type(m) is originscan.Marker for m in ROWS)

    def test_groups_are_contiguous_and_in_order(self):
        prefixes = [m.id.split(".", 1)[0] for m in ROWS]
        expected = []
        for first, last, prefix, _ in GROUPS:
            expected += [prefix] * (last - first + 1)
        expected += ["shared"] * 10
        assert prefixes == expected
        assert all(re.fullmatch(r"[a-z]+\.[a-z0-9]+(_[a-z0-9]+)*", m.id) for m in ROWS)

    def test_platform_lists(self):
        for first, last, _, platform in GROUPS:
            for number in range(first, last + 1):
                assert row(number).platforms == [platform], number
        for number, platforms in SHARED_PLATFORMS.items():
            assert row(number).platforms == platforms, number
        assert all(type(m.platforms) is list for m in ROWS)
        assert len({id(m.platforms) for m in ROWS}) == 133

    def test_names_are_the_scanner_objects(self):
        assert cuebook.Marker is originscan.Marker
        for platform in Platform:
            name = f"PLATFORM_{platform.name}"
            assert getattr(cuebook, name) is getattr(originscan, name)
        own = {name for name in vars(cuebook) if not name.startswith("__")}
        assert own == {"Marker", "PLATFORM_MARKERS"} | {f"PLATFORM_{p.name}" for p in Platform}

    def test_row_values_are_owned_by_their_record_alone(self):
        # Counted outside `assert`, whose rewriting holds its own references. A count above 2
        # (the record plus getrefcount's argument; the id is also a key of `counts`) means a leak.
        counts = {m.id: [sys.getrefcount(m.platforms), sys.getrefcount(m.pattern), sys.getrefcount(m.id)] for m in ROWS}
        assert {key: value for key, value in counts.items() if value != [2, 2, 3]} == {}

    def test_ids_and_patterns_distinct(self):
        assert len({m.id for m in ROWS}) == 133
        assert len({m.pattern for m in ROWS}) == 133
        assert all(type(m.pattern) is str and type(m.id) is str for m in ROWS)


class TestRowFields:
    def test_confidence(self):
        assert {n for n in range(1, 134) if row(n).confidence == "medium"} == MEDIUM_ROWS
        assert sum(m.confidence == "high" for m in ROWS) == 118

    def test_scope(self):
        assert {n: row(n).scope for n in range(1, 134) if row(n).scope is not None} == dict.fromkeys(
            SCOPE_ROWS, "comment"
        )

    def test_corroborating_only(self):
        # Rows that do not pass it get the record's default, False.
        assert {n for n in range(1, 134) if row(n).corroborating_only} == set(range(124, 133))
        assert all(type(m.corroborating_only) is bool for m in ROWS)


def parsed_items(items):
    """Every node of a parsed pattern, depth first."""
    for op, av in items:
        yield op, av
        if op in (sre_constants.MAX_REPEAT, sre_constants.MIN_REPEAT):
            yield from parsed_items(av[2])
        elif op is sre_constants.SUBPATTERN:
            yield from parsed_items(av[3])
        elif op is sre_constants.BRANCH:
            for branch in av[1]:
                yield from parsed_items(branch)
        elif op in (sre_constants.ASSERT, sre_constants.ASSERT_NOT):
            yield from parsed_items(av[1])


class TestPatternForm:
    def test_every_pattern_compiles(self):
        for number, marker in enumerate(ROWS, 1):
            for flags in (0, re.IGNORECASE | re.MULTILINE):
                re.compile(marker.pattern, flags)

    def test_no_wildcards_and_no_repeated_groups(self):
        # Keeps every pattern free of backtracking blow-ups on large scripts.
        for number, marker in enumerate(ROWS, 1):
            for op, av in parsed_items(sre_parser.parse(marker.pattern)):
                assert op is not sre_constants.ANY, number
                if op in (sre_constants.MAX_REPEAT, sre_constants.MIN_REPEAT):
                    low, high, body = av
                    single = len(body) == 1 and body[0][0] not in (sre_constants.SUBPATTERN, sre_constants.BRANCH)
                    assert single or (low, high) == (0, 1), (number, marker.pattern)

    def test_bounded_gaps(self):
        gaps = {n: re.findall(r"\[\\s\\S\]\{0,(\d+)\}\?", row(n).pattern) for n in range(1, 134)}
        gaps = {n: found for n, found in gaps.items() if found}
        assert set(gaps) == GAP_ROWS
        assert sum(map(len, gaps.values())) == 15
        assert {int(b) for found in gaps.values() for b in found} == {50, 60, 80, 200, 300, 500, 2000, 3000}

    def test_line_anchors(self):
        anchors = (sre_constants.AT_BEGINNING, sre_constants.AT_END)
        anchored = {
            n
            for n in range(1, 134)
            if any(op is sre_constants.AT and av in anchors for op, av in parsed_items(sre_parser.parse(row(n).pattern)))
        }
        assert anchored == ANCHORED_ROWS

    @pytest.mark.parametrize(
        ("number", "first", "last", "bound"),
        [(2, "OPTIMIZE", "ZORDER BY (id)", 200), (31, "CREATE TABLE", "SERIAL)", 2000)],
    )
    def test_gap_limit(self, number, first, last, bound):
        pattern = row(number).pattern
        assert re.search(pattern, f"{first}{" " * bound}{last}")
        assert not re.search(pattern, f"{first}{" " * (bound + 1)}{last}")
        assert re.search(pattern, f"{first}\n{"x" * (bound - 2)}\n{last}")  # across lines, no flag


# row: (texts it matches, texts it does not), searched without flags
MATCH_CASES = {
    1: (["-- Databricks notebook source", "-- MAGIC %python", "-- COMMAND ----------"], []),
    2: (["OPTIMIZE events ZORDER BY (id)"], []),
    6: (
        ["SELECT * FROM t@v12", "SELECT * FROM t VERSION AS OF 3", "SELECT * FROM t TIMESTAMP AS OF '2024-01-01'"],
        ["SELECT * FROM t AS OF TIMESTAMP (SYSTIMESTAMP - 1)"],
    ),
    9: (["SELECT * FROM delta.`/mnt/x`"], ["SELECT * FROM delta.events"]),
    11: (["SELECT col?::INT"], ["SELECT col::INT"]),
    14: (["STRUCT<a: INT>"], ["STRUCT<a INT64>"]),
    16: (["SELECT * EXCLUDE (a)"], ["SELECT * EXCEPT (a)"]),
    17: (["v::VARIANT"], []),
    19: (["AT(OFFSET => -60)", "BEFORE (STATEMENT =>"], []),
    21: (["LIST @~", "LIST @%orders"], []),
    26: (["TABLE(GENERATOR(ROWCOUNT => 10))", "SEQ4()"], []),
    29: (["AS $$ BEGIN END $$", "AS $body$ BEGIN END $body$"], []),
    31: (["CREATE TABLE t (id SERIAL PRIMARY KEY)", "CREATE TABLE t (id BIGSERIAL)"], []),
    33: (["payload @> '{}'"], []),
    40: (["\\copy t FROM x"], []),
    43: (["ENGINE=InnoDB", "ENGINE = MyISAM"], []),
    47: (["id INT(11) NOT NULL", "id INTEGER(11)"], ["id INT NOT NULL"]),
    49: (["status ENUM('a','b')"], ["CREATE TYPE mood AS ENUM ('a')"]),
    52: (["# a comment"], ["SELECT * FROM #tmp", "#standardSQL", "# standardSQL"]),
    53: (["/*!40101 SET NAMES utf8 */"], []),
    54: (["DELIMITER $$", "DELIMITER //"], ["DELIMITER abc"]),
    56: (["SELECT * FROM [Order Details]", "SELECT * FROM dbo.[Orders]"], ["SELECT * FROM [Orders]"]),
    58: (["GO"], []),
    59: (["SELECT * INTO #tmp FROM t", "DROP TABLE ##global"], []),
    62: (["THROW 50000, 'Failed', 1;", "THROW;", "RAISERROR("], []),
    69: (["CONVERT(VARCHAR(10), d, 120)", "TRY_CONVERT("], ["CONVERT(VARCHAR, d)"]),
    70: (["WHERE a.id = b.id(+)"], []),
    71: (["q'[It's]'", "nq'{x}'"], []),
    72: (["VARCHAR2(10)", "NVARCHAR2(10)"], ["VARCHAR(10)"]),
    74: (["DBMS_OUTPUT.PUT_LINE(", "UTL_FILE . FOPEN"], []),
    78: ([":NEW.id", ":OLD.id"], []),
    83: (["SELECT * FROM t AS OF TIMESTAMP (SYSTIMESTAMP - 1)"], ["SELECT * FROM t TIMESTAMP AS OF '2024-01-01'"]),
    84: (["/", "BEGIN NULL; END;\nSET SERVEROUTPUT ON"], []),
    85: (["SELECT * FROM STL_QUERY"], []),
    86: (["DISTSTYLE KEY", "DISTKEY(id)"], []),
    91: (["payload SUPER,", "payload SUPER)"], []),
    95: (["APPROXIMATE COUNT(DISTINCT id)"], []),
    96: (["#standardSQL", "  # legacySQL"], ["SELECT 1 #standardSQL"]),
    97: (["SELECT * FROM [proj:dataset.table]"], []),
    98: (["SAFE_CAST(x AS INT64)", "SAFE.PARSE_DATE("], []),
    99: (["r'\\d+'", "b'abc'", '"""text"""'], []),
    100: (["UNNEST(arr) WITH OFFSET", "UNNEST(arr) AS x WITH OFFSET"], []),
    101: (["SELECT * FROM `proj.ds.events_*`"], []),
    105: (["STRUCT<a INT64>"], []),
    107: (["SEL * FROM t", "x; SEL a FROM t"], ["SELECT a FROM t"]),
    108: (["UNIQUE PRIMARY INDEX (id)", "NOPI"], []),
    109: (["CREATE MULTISET TABLE t", ") NO FALLBACK"], []),
    115: (["DATABASE sales;"], ["USE DATABASE sales;"]),
    119: (["MSUM(x, 3, d)"], []),
    123: (["STRUCT<a: INT>", "ARRAY<STRUCT<a:INT>>"], ["MAP<STRING, INT>"]),
    124: (["QUALIFY ROW_NUMBER() OVER (PARTITION BY a ORDER BY b) = 1"], []),
    125: (["GROUP BY ALL", "ORDER BY ALL"], []),
    126: (["SELECT TOP 10 *", "SELECT TOP (10) *"], ["TOP N"]),
    127: (["x::int", "v::VARIANT"], ["x::"]),
    129: (["SELECT a FROM t\nMINUS\nSELECT a FROM u", "SELECT a FROM t MINUS SELECT a FROM u"],
          ["x - MINUS 1"]),
    130: (["MERGE INTO t USING s", "MERGE t USING s"], []),
    131: (["|> WHERE x > 1"], []),
    132: (["SELECT `my col` FROM t"], ["SELECT `` FROM t", "SELECT `my\ncol` FROM t"]),
    133: (["SELECT * EXCEPT (a)"], ["SELECT * EXCLUDE (a)"]),
}
# (row, text): matched only under the flag
FLAG_ONLY_CASES = [
    (40, "SELECT 1;\n\\copy t FROM x", re.MULTILINE),
    (43, "ENGINE=INNODB", re.IGNORECASE),
    (58, "SELECT 1\nGO", re.MULTILINE),
    (84, "END;\n/", re.MULTILINE),
    (85, "SELECT * FROM stl_query", re.IGNORECASE),
    (131, "FROM t\n|> WHERE x > 1", re.MULTILINE),
]


@pytest.mark.parametrize("number", sorted(MATCH_CASES))
def test_pattern_matches(number):
    matches, misses = MATCH_CASES[number]
    pattern = row(number).pattern
    assert [text for text in matches if not re.search(pattern, text)] == []
    assert [text for text in misses if re.search(pattern, text)] == []


@pytest.mark.parametrize(("number", "text", "flag"), FLAG_ONLY_CASES)
def test_pattern_matches_only_under_flag(number, text, flag):
    assert not re.search(row(number).pattern, text)
    assert re.search(row(number).pattern, text, flag)
