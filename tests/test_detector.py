"""The platform detector: the lexer's contexts in all string widths, where rows and rules are
matched, the misfires the lexer prevents, line numbers, the unknown verdict and bad input."""

import json
import math
import random
from pathlib import Path

import pytest

from agents.transmute.detector import (
    NO_EVIDENCE,
    PROBE_CHARS,
    RULES,
    Detector,
    Verdict,
    default_detector,
    detect_platform,
    load_model,
)
from agents.transmute.originscan import Platform

# A model that knows nothing: verdicts then depend on the rows and rules alone, through the
# matches, and these tests do not move when the shipped model is retrained.
EMPTY = {"classes": [p.value for p in Platform], "bias": [0.0] * 10, "threshold": 0.5, "features": [],
         "weights": []}  # fmt: skip


@pytest.fixture(scope="module")
def detector():
    return Detector(model=EMPTY)


def fired(detector, text):
    return {marker for marker, _ in detector.matches(text)}


WIDTHS = ["", "\u00e9", "\u0100", "\U0001f600"]  # ASCII, Latin-1, two-byte and four-byte strings


@pytest.mark.parametrize("extra", WIDTHS, ids=["ascii", "latin1", "ucs2", "ucs4"])
class TestLexerViews:
    """The code view blanks comments, templates and literal contents, keeping quotes, prefixes
    and line breaks; the comment view keeps only comments."""

    CASES = [
        ("SELECT 'a''b -- x' FROM t", "SELECT '         ' FROM t"),
        ("SELECT 'it\\'s # x', 'C:\\dir\\' FROM t", "SELECT '         ', '       ' FROM t"),
        ('SELECT "col -- 1" FROM t', 'SELECT "col -- 1" FROM t'),
        ('SELECT "a long, string-like value: yes" x', 'SELECT "                              " x'),
        ("SELECT $$ SELECT ' $$;", "SELECT $$          $$;"),
        ("IS $fn$ x $$ y $fn$;", "IS $fn$        $fn$;"),
        # A routine's body in SQL or PL/pgSQL is code, read up to its closer and no further.
        ("AS $fn$ x $$ y $fn$;", "AS $fn$ x $$   $fn$;"),
        ("AS $$ SELECT ' $$; SELECT 'a'", "AS $$ SELECT ' $$; SELECT ' '"),
        ("DO $$ BEGIN -- $x\nEND $$", "DO $$ BEGIN      \nEND $$"),
        ("EXECUTE IMMEDIATE $$ SELECT 1 $$", "EXECUTE IMMEDIATE $$ SELECT 1 $$"),
        ("LANGUAGE plpgsql AS $$ SELECT 1 $$", "LANGUAGE plpgsql AS $$ SELECT 1 $$"),
        ("LANGUAGE 'sql' AS $$ SELECT 1 $$", "LANGUAGE '   ' AS $$ SELECT 1 $$"),
        ("LANGUAGE JAVASCRIPT AS $$ a = 1 $$", "LANGUAGE JAVASCRIPT AS $$       $$"),
        ("AS $$ import x $$ LANGUAGE plpythonu;", "AS $$          $$ LANGUAGE plpythonu;"),
        # Three bodies deep at most: a fourth stays a literal.
        ("AS $a$ AS $b$ AS $c$ AS $d$ x $d$ $c$ $b$ $a$", "AS $a$ AS $b$ AS $c$ AS $d$   $d$ $c$ $b$ $a$"),
        ("q'[it's]' || nq'{x}'", "q'[    ]' || nq'{ }'"),
        ("r'\\d+' b'ab' '''\nx\n''' \"\"\"y\"\"\"", "r'   ' b'  ' '''\n \n''' \"\"\" \"\"\""),
        ("SELECT `proj.ds.t` # hash\n", "SELECT `proj.ds.t`       \n"),
        ("SELECT 1 // note\nSELECT a//b", "SELECT 1        \nSELECT a//b"),
        ("x /* a\n b */ y -- c\nz", "x     \n      y     \nz"),
        ("{{ ref('x') }} {% if a %}{# n #}", "                                "),
        ("config { type: \"table\" }\nSELECT 1", "                        \nSELECT 1"),
        ("%sql\nSELECT #t, a #> '{x}'", "    \nSELECT #t, a #> '   '"),
        ("#standardSQL\nSELECT 1", "            \nSELECT 1"),
        ("${hiveconf:d} #{p}", "${hiveconf:d}     "),
    ]

    def test_code_view(self, detector, extra):
        for text, code in self.CASES:
            got, _ = detector.views(text + extra)
            assert got.replace("\x01", " ") == code + extra, text

    def test_views_do_not_depend_on_where_sixteen_character_blocks_fall(self, detector, extra):
        # The lexer finds openers and closers sixteen characters at a time: every construct, at
        # every offset from a block's start, and several of them in one long text.
        cases = [(text, code) for text, code in self.CASES if not text.startswith("config")]
        body, view = "\n".join(t for t, _ in cases), "\n".join(c for _, c in cases)
        for pad in range(17):
            head = "w" * pad + "\n"
            got, _ = detector.views(head + body + extra)
            assert got.replace("\x01", " ") == head + view + extra, pad

    def test_string_prefixes_are_words_of_their_own(self, detector, extra):
        def quotes(text):
            return {f for f in detector.features(text + extra)[1] if f.startswith("q:")}

        assert quotes("SELECT N'x'") == {"q:n'", "q:sq"}
        assert quotes("x;U&'y'") == {"q:u'", "q:sq"}
        assert quotes("SELECT rb'x'") == {"q:rb'"}
        for text in ("SELECT abcd'x'", "SELECT _b'x'", "SELECT 1b'x'", "SELECT b1'x'", "SELECT xU&'x'",
                     "SELECT \u00e9b'x'"):
            assert quotes(text) == {"q:sq"}, text

    def test_scoring_finds_the_words_that_training_reads(self, extra):
        # Scoring hashes each word straight from the text, eight bytes at a time; training reads
        # the same words as strings. Words of every length around those eight bytes, in mixed
        # case, also where a word ends the text.
        words = ["a", "Ab", "selecT", "ABCDEFG", "abcdefgh", "AbCdEfGhI", "abcdefghijklmno", "ABCDEFGHIJKLMNOP",
                 "abcdefghijklmnopq", "a_b_c_d_e_f_g_h_i_j_k_l_m_n_o"]
        vocabulary = [f"w:{w.lower()}" for w in words] + [f"l:{w.lower()}" for w in words]
        model = dict(EMPTY, features=vocabulary, weights=[[0.0] * 10] * len(vocabulary))
        scorer = Detector(model=model)
        for k in range(len(words)):
            for text in (" ".join(words[k:]), " ".join(words[k:]) + " ;" + extra, "\n".join(words[:k + 1])):
                read = set(scorer.features(text)[1]) & set(vocabulary)
                assert scorer._scanner.scan(text)[3] == len(read), text

    def test_scoring_finds_the_sigil_features_that_training_reads(self, extra):
        # A sigil's feature and the line features of a word behind a sigil at a line start are
        # hashed without being spelled out; training spells them. Sigils single and doubled,
        # words of every length around eight bytes, alone on their line or not.
        words = ["a", "Tmp", "abcdefg", "ABCDEFGH", "abcdefghi", "a_b_c_d_e_f_g_h_i_j_k_l_m_n_o"]
        sigils = ["@", "@@", "#", "##", "$", "&", ":"]
        vocabulary = [f"s:{s}" for s in sigils] + [f"{tag}:{s[0]}{w.lower()}" for tag in "le" for s in sigils
                                                     for w in words]
        model = dict(EMPTY, features=vocabulary, weights=[[0.0] * 10] * len(vocabulary))
        scorer = Detector(model=model)
        for sigil in sigils:
            for word in words:
                for text in (f"{sigil}{word}", f"  {sigil}{word} x\n", f"x\n{sigil}{word};", f"{sigil}{word} = 1" + extra):
                    read = set(scorer.features(text)[1]) & set(vocabulary)
                    assert scorer._scanner.scan(text)[3] == len(read), text

    def test_comment_view_keeps_only_comments(self, detector, extra):
        code, comments = detector.views("SELECT 1 -- one\n/* two */ x # three" + extra)
        assert comments.replace("\x01", ".") == ".........-- one\n/* two */...# three" + extra
        assert detector.views("SELECT 'no -- comment'" + extra)[1] is None

    def test_a_byte_order_mark_reads_as_a_space(self, detector, extra):
        text = "\ufeffconfig { type: \"view\" }\nSELECT 1" + extra
        assert detector.views(text)[0].replace("\x01", " ") == " " * 24 + "\nSELECT 1" + extra
        plain = "CREATE TABLE t (a INT) DISTSTYLE ALL;\nSELECT 1 -- \u00e9t\u00e9" + extra
        assert detector.matches("\ufeff" + plain) == detector.matches(plain)

    def test_unclosed_openers_run_to_the_end_or_stay_code(self, detector, extra):
        assert detector.views("SELECT 'abc" + extra)[0] == "SELECT '" + "\x01" * (3 + len(extra))
        assert detector.views("x /* open" + extra)[0] == "x " + "\x01" * (7 + len(extra))
        # A template opener without its closer is ordinary text.
        assert detector.views("a {{ b" + extra)[0] == "a {{ b" + extra


class TestWhereRowsMatch:
    def test_code_rows_ignore_comments_and_literals(self, detector):
        text = "-- DISTKEY and SORTKEY\n/* VARCHAR2 */ SELECT 'BULK COLLECT INTO', \"x\" FROM t;"
        assert fired(detector, text) == set()

    def test_comment_rows_match_only_inside_one_comment(self, detector):
        assert fired(detector, "/*!40101 SET NAMES utf8 */;") == {"mysql.version_comment"}
        assert "databricks.optimizer_hint" in fired(detector, "SELECT /*+ BROADCAST(d) */ * FROM f")
        assert fired(detector, "--\nCOMMAND ----") == set()
        # The match after a straddling one still counts: `-- MAGIC` lies in one comment.
        assert fired(detector, "--\nCOMMAND -- MAGIC\nSELECT 1") == {"databricks.notebook_header"}

    def test_literal_rows_match_their_openers(self, detector):
        assert "postgresql.dollar_quoted_body" in fired(detector, "CREATE FUNCTION f() AS $$ SELECT 1 $$;")
        assert "oracle.q_quote" in fired(detector, "v := q'[it's]';")
        assert "bigquery.string_prefix_triple_quote" in fired(detector, 'SELECT r"\\d", """x"""')

    def test_hash_comments_come_from_the_lexer(self, detector):
        assert fired(detector, "# a comment\nSELECT 1;") == {"mysql.hash_comment"}
        for text in ("SELECT * INTO #t FROM x", "SELECT a #> '{b}'", "SELECT '# no'", "#standardSQL\nSELECT 1"):
            assert "mysql.hash_comment" not in fired(detector, text), text

    def test_hash_word_heading_a_statement_is_a_comment(self, detector):
        # No statement starts with a temporary table's name: `#word` that heads the script, a
        # line after a `;`, or a line under a DELIMITER is a comment, `bit` in it no BIT column.
        text = "#Update\nupdate emp set a = 1\nwhere id = 2;\n\n#little bit complex\nupdate emp set b = 2;"
        code, _ = detector.views(text)
        assert code.replace("\x01", ".") == ".......\nupdate emp set a = 1\nwhere id = 2;\n\n" + "." * 19 + "\nupdate emp set b = 2;"
        assert fired(detector, text) == {"mysql.hash_comment"}
        assert "mysql.hash_comment" in fired(detector, "DELIMITER //\nSELECT 1 //\n#note\nDELIMITER ;")
        # Inside a statement it is a temporary table, at the head of a line or not.
        for text in ("SELECT * INTO\n#temp\nFROM x", "SELECT a\nFROM t\n#t2 JOIN u ON 1 = 1"):
            code, _ = detector.views(text)
            assert "#t" in code and "mysql.hash_comment" not in fired(detector, text), text

    def test_rules_about_literal_contents_read_the_raw_text(self, detector):
        text = "CREATE TABLE t USING DELTA LOCATION 'dbfs:/mnt/x';"
        assert {"databricks.storage_paths", "databricks.using_delta"} <= fired(detector, text)

    def test_every_pattern_runs_natively(self, detector):
        assert detector.fallbacks == []
        assert len(detector.patterns) == 133 + len(RULES)
        assert len({p.id for p in detector.patterns}) == len(detector.patterns)


class TestMisfires:
    """Scripts that naive scoring got wrong on real code."""

    def test_hash_in_literals_templates_and_notebook_markdown(self, detector):
        for text in ("SELECT '#1 item' FROM t", "{# note #}\nSELECT 1", "-- MAGIC # Heading\nSELECT 1",
                     "# Databricks notebook source\nSELECT 1", "# COMMAND ----------\nSELECT 1",
                     "config { tags: [\"#x\"] }\nSELECT 1"):  # fmt: skip
            assert "mysql.hash_comment" not in fired(detector, text), text

    def test_escaped_quotes_are_no_triple_quote(self, detector):
        text = "SELECT 'a' || '''' || b, '''' FROM t WHERE x = 'It''s';"
        assert "bigquery.string_prefix_triple_quote" not in fired(detector, text)

    def test_in_list_values_are_no_byte_prefix(self, detector):
        assert "bigquery.string_prefix_triple_quote" not in fired(detector, "WHERE c IN ('a','b','r')")

    def test_code_inside_dollar_bodies_is_a_literal(self, detector):
        text = "CREATE PROCEDURE p() RETURNS STRING LANGUAGE JAVASCRIPT AS $$ var x = `a`; $$;"
        assert "shared.backtick_identifier" not in fired(detector, text)
        assert "snowflake.javascript" in fired(detector, text)


    def test_routine_bodies_are_code(self, detector):
        # A PL/pgSQL body is matched as code; a JavaScript one and a plain dollar string are not.
        body = "CREATE FUNCTION f() RETURNS int AS $$ BEGIN RETURN nextval('s'); END $$ LANGUAGE plpgsql;"
        assert "postgresql.functions" in fired(detector, body)
        assert "postgresql.functions" not in fired(detector, body.replace("plpgsql", "plv8"))
        assert "postgresql.functions" not in fired(detector, "SELECT $$ nextval('s') $$;")

    def test_mysql_delimiters_open_no_dollar_quote(self, detector):
        text = "DELIMITER $$\nCREATE PROCEDURE p()\nBEGIN\n  SELECT `a` FROM t;\nEND $$\nDELIMITER ;\n"
        code, _ = detector.views(text)
        assert "SELECT `a` FROM t;" in code and "$" not in code
        found = fired(detector, text)
        assert {"mysql.delimiter_command", "shared.backtick_identifier"} <= found
        assert "postgresql.dollar_quoted_body" not in found
        # After `DELIMITER ;` a `$$` is a dollar quote again.
        assert "postgresql.dollar_quoted_body" in fired(detector, text + "SELECT $$x$$;")

    def test_a_quoted_delimiter_is_a_copy_option(self, detector):
        # COPY's `DELIMITER '|'` on a line of its own sets no statement delimiter: the quote is a
        # literal, and later `'|'`s are literals too.
        text = "COPY t FROM 's3://b/k'\nIAM_ROLE 'arn'\nDELIMITER '|'\nIGNOREHEADER 1;\nSELECT '|' AS x;\n"
        code, _ = detector.views(text)
        assert "DELIMITER '\x01'" in code and "SELECT '\x01' AS x;" in code
        assert "mysql.delimiter_line" not in fired(detector, text)
        assert "mysql.delimiter_line" in fired(detector, "DELIMITER //\nSELECT 1//\n")


# Rules read off the corpus, each with a line its platform writes and a near miss: the same idea in
# another dialect's spelling, or a neighbouring form the rule leaves out on purpose.
CORPUS_RULES = [
    ("redshift.catalog_tables", "SELECT * FROM stv_sessions s JOIN pg_class_info c ON 1 = 1",
     "SELECT * FROM pg_class c JOIN pg_namespace n ON 1 = 1"),
    ("redshift.session_settings", "SET enable_result_cache_for_session TO off;", "SET statement_timeout TO 0;"),
    ("redshift.sys_monitoring_views", "SELECT query_id FROM sys_query_history;", "SELECT * FROM sys_users;"),
    ("redshift.dateadd_unit", "WHERE d > DATEADD(day, -7, x)", "WHERE d > DATE_ADD(x, INTERVAL 7 DAY)"),
    ("redshift.dateadd_current_date", "WHERE d >= DATEADD(day, -7, CURRENT_DATE)", "WHERE d >= DATEADD(day, -7, GETDATE())"),
    ("redshift.getdate", "SELECT GETDATE();", "SELECT getdate_utc FROM t;"),
    ("postgresql.settings", "SET citus.next_shard_id TO 390000;\nRESET client_min_messages;", "SET search_path TO public;"),
    ("postgresql.pg_cast_types", "SELECT (extract(epoch from now()) * 1e9)::int8 AS ns", "SELECT x::int AS n"),
    ("postgresql.explain_vacuum_options", "EXPLAIN (COSTS OFF) SELECT 1;", "EXPLAIN SELECT 1;"),
    ("postgresql.returns_void", "CREATE FUNCTION f() RETURNS void LANGUAGE sql AS 'SELECT 1';", "CREATE FUNCTION f() RETURNS int;"),
    ("postgresql.quoting_privilege_functions", "SELECT quote_ident(nspname) FROM pg_namespace;", "SELECT QUOTENAME(name) FROM s;"),
    ("postgresql.regex_operators", "WHERE schemaname !~ '^pg_'", "WHERE a != b"),
    ("postgresql.dollar_body_language", "CREATE FUNCTION f() RETURNS int AS $$ SELECT 1 $$ LANGUAGE sql;",
     "CREATE FUNCTION f() RETURNS int LANGUAGE sql AS $$ SELECT 1 $$;"),
    ("mysql.call_user_variable", "CALL _get_array_element(@array_id, 1, @s);", "CALL my_proc(1, 'a');"),
    ("mysql.string_functions", "SELECT SUBSTRING_INDEX(host, ':', 1) FROM t;", "SELECT SUBSTRING(host, 1, 3) FROM t;"),
    ("mysql.index_clauses", "ALTER TABLE `m` ADD UNIQUE INDEX `by_name` (`name`) USING BTREE;",
     "CREATE INDEX i ON t USING btree (a);"),
    ("mysql.row_trigger_value", "CREATE TRIGGER t AFTER INSERT ON o FOR EACH ROW SELECT NEW.n INTO @n;",
     "CREATE TRIGGER t AFTER INSERT ON o FOR EACH ROW EXECUTE FUNCTION f();"),
    ("mysql.view_algorithm", "CREATE ALGORITHM = TEMPTABLE SQL SECURITY INVOKER VIEW v AS SELECT 1;",
     "CREATE VIEW v WITH SCHEMABINDING AS SELECT 1;"),
    ("mysql.system_schema", "SELECT body FROM mysql.proc WHERE db = 'x';", "SELECT * FROM information_schema.tables;"),
    ("snowflake.dateadd_quoted_unit", "WHERE t > DATEADD('day', -1, CURRENT_TIMESTAMP())",
     "WHERE t > DATEADD(day, -1, CURRENT_TIMESTAMP())"),
    ("snowflake.query_history_columns", "SELECT SUM(credits_used_compute) FROM m;", "SELECT SUM(credits) FROM m;"),
    ("snowflake.variant_quoted_key", 'SELECT r.value:"objectName" FROM t', "SELECT v:name::string FROM t"),
    ("snowflake.more_functions", "SELECT TIME_SLICE(ts, 60, 'MINUTE') FROM t;", "SELECT DATE_TRUNC('minute', ts) FROM t;"),
    ("postgresql.psql_variable_line", ":EXPLAIN\nSELECT 1;", "SELECT 1\n:new.id := 1;\nx := :y;"),
    ("snowflake.transient", "CREATE TRANSIENT SCHEMA db.copy CLONE db.public;", "CREATE SCHEMA transient_data;"),
    ("databricks.spark_views", "CREATE OR REPLACE GLOBAL TEMP VIEW v AS SELECT 1",
     "CREATE OR REPLACE TEMP VIEW v AS SELECT 1"),
    ("teradata.database_line", "DATABASE ua_dillards\nSELECT 1", "CREATE DATABASE ua_dillards;"),
    ("hive.insert_partition", "INSERT INTO dws.visits PARTITION (year, month) SELECT 1",
     "INSERT INTO visits SELECT * FROM t PARTITION BY x"),
    ("hive.stored_as", "CREATE TABLE t STORED AS ${FILE} AS SELECT 1", "CREATE TABLE t USING ${FORMAT}"),
    ("bigquery.backtick_project_path", "SELECT * FROM `moz-fx-data-shared-prod`.telemetry.main",
     "SELECT * FROM `my-db`.t"),
    ("postgresql.psql_meta", "\\c - - - :worker_1_port\n\\set ON_ERROR_STOP on", "\\copy t FROM 'f.csv'"),
    ("postgresql.materialized_cte", "WITH c AS MATERIALIZED (SELECT 1) SELECT * FROM c;", "CREATE MATERIALIZED VIEW mv AS SELECT 1;"),
    ("teradata.database_space", "CREATE DATABASE sales FROM dbc AS PERM = 0;", "CREATE DATABASE sales FROM SHARE acct.s;"),
    ("hive.java_udf", "CREATE TEMPORARY FUNCTION to_upper AS 'com.example.Upper';",
     "CREATE FUNCTION to_upper(s STRING) RETURNS STRING AS 'SELECT UPPER(s)';"),
    # Narrowed where they fired on every dialect's scripts.
    ("teradata.replace_procedure", "REPLACE VIEW db.v AS SEL * FROM t;", "CREATE OR REPLACE VIEW v AS SELECT 1;"),
    ("mysql.alter_column", "ALTER TABLE t ADD COLUMN c int NULL AFTER `b`;", "SELECT a FROM t ORDER BY a NULLS FIRST;\nl := v.first;"),
    ("snowflake.returns_variant", "CREATE FUNCTION f() RETURNS VARIANT LANGUAGE JAVASCRIPT AS 'x';",
     "CREATE FUNCTION f(q text) RETURNS TABLE (line text) LANGUAGE plpgsql AS $$ BEGIN END $$;"),
    ("snowflake.table_functions", "SELECT * FROM TABLE(RESULT_SCAN(LAST_QUERY_ID()));", "SELECT * FROM TABLE(pkg.pipelined_rows(1));"),
    ("mysql.show_statements", "SHOW GLOBAL STATUS LIKE 'Threads%';", "SHOW TABLES IN main.sales;"),
    ("mysql.functions", "SELECT GROUP_CONCAT(name) FROM t WHERE d = CURDATE();", "SELECT IFNULL(a, 0), NOW() FROM t;"),
    ("teradata.exec_macro", "EXEC logger.set_level(logger.g_debug);", "EXEC dbo.sp_BlitzLock;"),
    ("postgresql.row_security", "ALTER TABLE p ENABLE ROW LEVEL SECURITY;\nCREATE POLICY \"own\" ON p USING (auth.uid() = id);",
     "CREATE ROW ACCESS POLICY rap AS (r varchar) RETURNS BOOLEAN -> true;"),
    ("sqlserver.admin_views", "SELECT * FROM sys.dm_exec_sessions; DBCC SHRINKFILE (log, 1);",
     "SELECT * FROM sys_dm.exec_sessions; SELECT dbcc FROM t;"),
    ("snowflake.variant_path", "SELECT try_parse_json(info):bonusCode::string FROM t;", "SELECT a[1:2]::int FROM t;"),
    # PL/pgSQL declares and catches as PL/SQL does: only what is Oracle's or BigQuery's alone names them.
    ("oracle.exception_names", "EXCEPTION WHEN DUP_VAL_ON_INDEX THEN NULL;", "EXCEPTION WHEN unique_violation THEN NULL;"),
    ("bigquery.declare_typed", "DECLARE a, b INT64 DEFAULT 0;", "DECLARE v_date DATE;\nDECLARE s STRING;"),
    ("sqlserver.string_functions", "SELECT LEN(a), CHARINDEX('x', a) FROM t;", "SELECT LENGTH(a), STRPOS(a, 'x') FROM t;"),
    ("teradata.dml_forms", "UPDATE t a FROM s b SET c = b.c WHERE a.k = b.k;\nDELETE FROM t ALL;",
     "UPDATE t SET c = s.c FROM s WHERE t.k = s.k;\nDELETE FROM t WHERE all_done;"),
    ("teradata.utilities", "LOGON 10.0.0.1/arch,pw;\nARCHIVE DATA TABLES (DBC) ALL, RELEASE LOCK, FILE=B;",
     "SELECT logon FROM t;\nGRANT SELECT ON dbc TO r;"),
    ("snowflake.session_variable_name", "CREATE DATABASE IF NOT EXISTS IDENTIFIER($lab_db);\nSELECT * FROM TABLE($views);",
     "SELECT * FROM TABLE(flatten(input => v));\nSELECT $1 FROM t;"),
    ("snowflake.sample_and_usage_data", "SELECT * FROM snowflake_sample_data.tpch_sf1.orders;",
     "SELECT * FROM sample_data.orders;"),
    ("bigquery.array_subscript", "SELECT parts[SAFE_OFFSET(1)], APPROX_QUANTILES(d, 10)[OFFSET(5)] FROM t;",
     "SELECT * FROM t LIMIT 10 OFFSET 5;"),
    ("mysql.update_join", "UPDATE payments\njoin invoices on payments.id = invoices.id\nset payments.ref = invoices.ref;",
     "UPDATE p SET ref = i.ref FROM payments p JOIN invoices i ON p.id = i.id;"),
    ("teradata.load_jobs", "DEFINE JOB load_sales\nDESCRIPTION 'load'\n(\n DEFINE OPERATOR w_1 TYPE LOAD", "DEFINE x = 1"),
    ("databricks.sample_data", "CREATE OR REPLACE TABLE orders AS SELECT * FROM samples.tpch.orders;",
     "SELECT * FROM samples.orders;"),
    ("snowflake.from_values", "SELECT $1 FROM VALUES (1), (2);", "SELECT * FROM (VALUES (1), (2)) AS v(a);"),
    ("redshift.procedure_param_modes", "CREATE OR REPLACE PROCEDURE sp_load (tbl IN VARCHAR(200), n INOUT int)",
     "CREATE PROCEDURE p(IN tbl varchar(200))"),
    ("postgresql.explain_analyze", "EXPLAIN ANALYSE SELECT title FROM film;", "EXPLAIN ANALYZE TABLE t COMPUTE STATISTICS;"),
    # Snowflake and MySQL call SYSDATE(); Oracle and Redshift write it bare.
    ("snowflake.sysdate_call", "SET updated_at = SYSDATE();", "SELECT SYSDATE FROM dual;"),
    ("oracle.sysdate", "SELECT SYSDATE FROM dual;", "SET updated_at = SYSDATE ( );"),
    # PostgreSQL's own catalog and database options; Redshift shares pg_class and pg_locks.
    ("postgresql.catalog_views", "SELECT * FROM pg_stat_activity; SELECT * FROM pg_extension;",
     "SELECT * FROM pg_locks l JOIN pg_class c ON c.oid = l.relation;"),
    ("postgresql.database_options", "CREATE DATABASE d WITH OWNER = postgres LC_COLLATE = 'C' TABLESPACE = pg_default;",
     "CREATE DATABASE d;"),
    # Redshift's own columns of PostgreSQL's catalog.
    ("redshift.catalog_tables", "SELECT format_encoding(a.attencodingtype), a.attisdistkey FROM pg_attribute a;",
     "SELECT a.attname, a.atttypid FROM pg_catalog.pg_attribute a;"),
    # ISNULL takes two arguments in SQL Server, one in MySQL.
    ("sqlserver.functions", "SELECT ISNULL(CAST(a AS int), 0) FROM t;", "SELECT IF(NOT ISNULL(a.b), 1, 0) FROM t;"),
    ("bigquery.backtick_project_path", "SELECT * FROM `proj.ds.t`;\nSELECT * FROM `{project}.{dataset}.t`;",
     "SELECT a AS `3.03.2` FROM t;"),
    ("teradata.with_data", "CREATE TABLE t AS (SELECT 1 AS a) WITH DATA PRIMARY INDEX (a);",
     "CREATE MATERIALIZED VIEW mv AS SELECT 1 WITH NO DATA;"),
    ("snowflake.sql_variable", "SET cutoff = (SELECT MAX(d) FROM $src_table);",
     "CREATE FUNCTION f() RETURNS trigger SET search_path = pg_catalog AS $body$ SELECT 1 $body$;"),
    ("bigquery.types", "CREATE TABLE t (a INT64, b ARRAY<BYTES>);", "SELECT SUM(bytes) FROM v$datafile;"),
    ("bigquery.except_distinct", "SELECT a FROM x EXCEPT DISTINCT SELECT a FROM y;", "SELECT a FROM x UNION DISTINCT SELECT a FROM y;"),
    ("oracle.rownum", "SELECT * FROM t WHERE ROWNUM <= 10;", "SELECT ROW_NUMBER() OVER (ORDER BY a) AS rownum, * FROM t;"),
    ("oracle.storage_clauses", "CREATE TABLE t (a NUMBER) PCTFREE 10 NOLOGGING;", "CREATE TABLE t (a int) TABLESPACE fast_ssd;"),
    ("oracle.sqlplus_commands", "SELECT 1 FROM dual;\n@@show_plan\n", "RAISERROR (@msg,\n  @ErrorState\n);"),
    ("sqlserver.on_primary", "CREATE INDEX i ON t (a) WITH (PAD_INDEX = OFF);", "CREATE INDEX i ON t (a) WITH (FILLFACTOR = 70);"),
    ("redshift.copy_options", "COPY t FROM 's3://b/k' GZIP DELIMITER '|';", "CREATE FILE FORMAT f COMPRESSION = GZIP;"),
    ("hive.add_resource", "ADD JAR /opt/udfs/hivemall.jar;", "ALTER DATABASE db\nADD FILE (NAME = data2);"),
    ("postgresql.if_not_exists", "CREATE TABLE IF NOT EXISTS t (a int);", "IF NOT EXISTS (SELECT 1 FROM sys.tables) PRINT 'x';"),
    ("teradata.functions", "SELECT OREPLACE(name, 'a', 'b') FROM t;", "SELECT ZEROIFNULL(credits) FROM m;"),
    # Read off the corpus for the platforms named least often.
    ("hive.semi_join", "SELECT a.k FROM a LEFT SEMI JOIN b ON a.k = b.k;", "SELECT a.k FROM a LEFT JOIN b ON a.k = b.k;"),
    ("mysql.text_blob_types", "CREATE TABLE t (body LONGTEXT NOT NULL);", "CREATE TABLE t (body TEXT NOT NULL);"),
    ("mysql.server_maintenance", "SELECT * INTO OUTFILE '/tmp/t.csv' FROM t;\nOPTIMIZE TABLE t;", "MSCK REPAIR TABLE t;"),
    ("teradata.character_set", "name VARCHAR(30) CHARACTER SET LATIN NOT NULL,", "name VARCHAR(30) CHARACTER SET utf8mb4,"),
    ("teradata.journal_fallback", "CREATE MULTISET TABLE t, NO FALLBACK, NO BEFORE JOURNAL, NO AFTER JOURNAL (a INT);",
     "CREATE TABLE t (a INT) FALLBACK_POLICY = x;"),
    ("snowflake.warehouse_columns", "SELECT warehouse_size, query_tag FROM query_history;", "SELECT warehouse_name FROM w;"),
    ("snowflake.scripting", "BEGIN\n  LET total NUMBER := 0;\nEND;", "BEGIN\n  total := 0;\nEND;"),
    ("postgresql.server_settings", "SET client_min_messages TO WARNING;", "SET statement_timeout TO 0;"),
    ("teradata.admin_statements", "LOCKING TABLE sales FOR ACCESS SELECT * FROM sales;", "LOCK TABLE sales IN ACCESS SHARE MODE;"),
    ("snowflake.governance_policies", "ALTER TABLE t MODIFY COLUMN email SET MASKING POLICY email_mask;",
     "CREATE ROW ACCESS POLICY p ON t GRANT TO ('user:a@b.c') FILTER USING (TRUE);"),
    ("snowflake.more_objects", "CREATE OR REPLACE DYNAMIC TABLE d AS SELECT 1;", "CREATE SEQUENCE s START WITH 1;"),
    ("snowflake.admin_parameters", "ALTER TABLE a SWAP WITH b;", "UNDROP SCHEMA mydataset;"),
    ("redshift.system_functions", "SELECT pg_last_copy_id();", "SELECT pg_last_xact_replay_timestamp();"),
    ("redshift.security_objects", "CREATE RLS POLICY p WITH (r varchar(20)) USING (r = 'x');",
     "ALTER TABLE t ENABLE ROW LEVEL SECURITY;"),
    ("oracle.remark_line", "REM  Creates the HR schema\nCREATE TABLE t (a int);", "  remark varchar(500) DEFAULT NULL,"),
    ("oracle.xmltype", "CREATE TABLE t (doc XMLTYPE);", "CREATE TABLE t (doc XML);"),
    ("oracle.admin_ddl", "DROP TABLE t CASCADE CONSTRAINTS;", "DROP TABLE t CASCADE;"),
    ("mysql.backtick_column_types", "  `id` int(11) NOT NULL AUTO_INCREMENT,", "  `total_amount` decimal(16,2) COMMENT 'total',"),
    ("mysql.alter_column", "ALTER TABLE t MODIFY `c` varchar(10);", "ALTER TABLE t CHANGE COLUMN c d STRING;"),
    ("oracle.rownum", "SELECT * FROM t WHERE a = 1 AND ROWNUM = 1;", "SELECT * FROM w AS W1 JOIN w AS W2 ON W2.RowNum <= W1.RowNum;"),
    ("sqlserver.begin_tran", "BEGIN TRAN;\nUPDATE t SET a = 1;\nCOMMIT TRAN;", "BEGIN TRANSACTION;\nCOMMIT;"),
    ("sqlserver.types", "CREATE TABLE t (id UNIQUEIDENTIFIER, n NVARCHAR(20));", "CREATE TABLE t (flag TINYINT);"),
    ("mysql.prepared_statements", "PREPARE stmt FROM @sql;", "DEALLOCATE PREPARE stmt;"),
    ("redshift.python_udfs", "CREATE OR REPLACE LIBRARY f_lib LANGUAGE plpythonu FROM 's3://b/f.zip';",
     "CREATE OR REPLACE LIBRARY ext_lib AS '/opt/lib/ext.so';"),
    ("mysql.statement_options", "SELECT * FROM t FORCE INDEX FOR JOIN (i1) WHERE a = 1 LOCK IN SHARE MODE;",
     "SELECT * FROM t WITH (INDEX(i1));"),
    ("postgresql.admin_syntax", "LOCK TABLE t IN ACCESS EXCLUSIVE MODE;", "LOCK TABLE t IN EXCLUSIVE MODE;"),
    ("oracle.dynamic_views", "SELECT sid, status FROM v$session;", "SELECT session_id FROM sys.dm_exec_sessions;"),
    # Oracle's USER_ views are read from; a column of that name is nobody's evidence.
    ("oracle.dictionary_views", "SELECT table_name FROM user_tables;\nSELECT * FROM sys.dba_users;",
     "SELECT user_source, user_medium FROM sessions;"),
    ("oracle.database_objects", "CREATE DATABASE LINK remote CONNECT TO hr IDENTIFIED BY pw USING 'db';",
     "CREATE USER bob IDENTIFIED BY 'pw';"),
    ("bigquery.more_functions", "SELECT TIMESTAMP_SUB(CURRENT_TIMESTAMP(), INTERVAL 1 DAY);", "SELECT DATE_SUB(NOW(), INTERVAL 1 DAY);"),
    ("sqlserver.more_syntax", "SELECT o.name FROM o CROSS APPLY f(o.id) AS r;", "SELECT o.name FROM o CROSS JOIN LATERAL f(o.id) AS r;"),
    ("databricks.delta_syntax", "OPTIMIZE events ZORDER BY (event_id);", "OPTIMIZE TABLE events;"),
    # MySQL prepares from a user variable or a literal, Teradata's procedures from a local variable.
    ("teradata.prepare_from_variable", "PREPARE S1 FROM v_cnt_tbl_stmt;", "PREPARE stmt FROM @query;"),
    ("databricks.use_identifier_parameter", "USE IDENTIFIER(:database);", "USE IDENTIFIER($lab_db);"),
    ("hive.string_column_comment", "CREATE TABLE t (sku STRING COMMENT 'stock unit')",
     "CREATE TABLE t (sku VARCHAR(8) COMMENT 'stock unit')"),
    ("redshift.table_maintenance", "ANALYZE s.accounts;\nVACUUM s.accounts;", "ANALYZE TABLE t COMPUTE STATISTICS;"),
    ("redshift.user_groups", "CREATE GROUP admins;\nGRANT USAGE ON SCHEMA s TO GROUP admins;",
     "GRANT USAGE ON SCHEMA s TO admins;"),
    ("sqlserver.create_or_alter", "CREATE OR ALTER VIEW dayforce.employees AS SELECT 1 AS a;",
     "CREATE OR ALTER TABLE t (a INT);"),
    ("snowflake.create_or_alter", "CREATE OR ALTER TABLE t (a INT);", "CREATE OR ALTER PROCEDURE dbo.p AS SELECT 1;"),
    ("redshift.spectrum_ddl", "CREATE EXTERNAL TABLE spectrum.sales (id int)\nTABLE PROPERTIES ('numRows'='172000');",
     "CREATE EXTERNAL TABLE s.t (id int) TBLPROPERTIES ('numRows'='1');"),
    # A catalog query's n.oid is Redshift's as much as PostgreSQL's; a cast to oid is PostgreSQL's.
    ("postgresql.types", "SELECT d.objid::oid FROM pg_depend d;", "SELECT n.oid, c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace;"),
    ("teradata.select_top", "SELECT TOP 10 sku, SUM(amt) FROM trnsact GROUP BY sku;", "SELECT sku FROM t ORDER BY amt DESC LIMIT 10;"),
    ("bigquery.trailing_comma", "SELECT a,\n  b,\nFROM t", "SELECT a,\n  b\nFROM t"),
    ("bigquery.date_part_last", "SELECT DATE_DIFF(b.dt, a.first_event, WEEK) FROM t;",
     "SELECT DATE_TRUNC('week', a.first_event) FROM t;"),
    # Oracle has CREATE DOMAIN and CREATE OPERATOR, SQL Server CREATE STATISTICS: not PostgreSQL's alone.
    ("postgresql.server_objects", "CREATE PUBLICATION pub FOR ALL TABLES;\nNOTIFY jobs;\nDISCARD ALL;",
     "CREATE DOMAIN us_zip AS TEXT;\nCREATE OPERATOR ===;\nCREATE STATISTICS s ON t (a);\nSELECT notify FROM t;"),
    ("teradata.collect_stats", "Collect stat column (cre_ts) on db.t;", "SELECT collect_set(a), stat FROM t;"),
    ("teradata.sel_statement", "EXPLAIN sel a.* FROM t a;", "EXPLAIN SELECT a FROM t; SELECT sel FROM t;"),
    # T-SQL drops a statistics object by name: DROP STATISTICS t.s.
    ("teradata.admin_statements", "HELP STATISTICS web_clicks;\nDROP STATISTICS ON db.t COLUMN (a);",
     "DROP STATISTICS dbo.t.s_a;\nSELECT help FROM t;"),
    ("teradata.functions", "INSERT INTO j VALUES (1, NEW JSON('{}'));", "SELECT JSON_VALUE(j, '$.a') FROM t;"),
    ("oracle.from_dual", "SELECT SYSDATE FROM DUAL;", "SELECT dual_flag FROM duals;"),
]  # fmt: skip


def test_account_names_read_their_literals(detector):
    # 'user'@'host' is two literals: the code view hides what is inside them.
    assert "mysql.account_name" in fired(detector, "GRANT SELECT ON db.* TO 'app'@'localhost';")
    assert "mysql.account_name" in fired(detector, "REVOKE ALL FROM 'admin_trend'@'%';")
    assert "mysql.account_name" not in fired(detector, "SELECT 'a' || '@' || 'b', '@x', 'x'@y")



def test_comments_that_name_their_platform(detector):
    """A comment naming the platform is evidence of it; the name in code, or in a copyright line
    of MySQL's owner, is not."""
    leetcode = "# Write your MySQL query statement below\nSELECT id FROM t;"
    assert "mysql.named_in_comment" in fired(detector, leetcode)
    assert "redshift.named_in_comment" in fired(detector, "/* Redshift has no MERGE */ DELETE FROM t;")
    assert "mysql.named_in_comment" not in fired(detector, "SELECT mysql FROM t;")
    copyright = "-- Copyright (c) 2014, 2015, Oracle and/or its affiliates. All rights reserved.\nSELECT 1;"
    assert "oracle.named_in_comment" not in fired(detector, copyright)
    assert "oracle.named_in_comment" in fired(detector, "-- runs on Oracle 19c\nSELECT 1 FROM dual;")



@pytest.mark.parametrize("rule, config", [
    ("snowflake.dbt_config", "{{ config({\"materialized\": \"table\", \"snowflake_warehouse\": \"transform_l\"}) }}"),
    ("bigquery.dbt_config", "{{ config(materialized='incremental', partition_by={'field': 'dt', 'data_type': 'date'}) }}"),
    ("redshift.dbt_config", "{{ config(materialized='table', dist='even', sort_type='interleaved') }}"),
    ("databricks.dbt_config", "{{ config(materialized='table', liquid_clustered_by=['id']) }}"),
    ("teradata.dbt_config", "{{ config(materialized='table', table_kind='MULTISET') }}"),
])
def test_dbt_configs_name_their_warehouse(detector, rule, config):
    """A dbt model's config is templating, blanked in the code view; its adapter's options still
    name the warehouse, the same words in plain SQL do not."""
    model = config + "\nSELECT id FROM {{ ref('orders') }}\n"
    assert rule in fired(detector, model)
    assert rule not in fired(detector, "{{ config(materialized='table') }}\nSELECT partition_by, dist FROM t\n")


def test_comments_that_compare_platforms_name_none():
    """One platform named in the comments is the script's own; several are a comparison."""
    assert detect_platform("-- Runs on Oracle 19c.\nSELECT a, b FROM t;").platform is Platform.ORACLE
    compared = detect_platform("-- For Oracle use NVL here; on SQL Server use ISNULL.\nSELECT a, b FROM t;")
    assert compared.platform is None and compared.unknown_reason == "no_evidence"

def test_delimiter_line_is_not_a_template_call(detector):
    """A dbt macro's `Delimiter ({{ d }})` argument is no MySQL DELIMITER command."""
    assert "mysql.delimiter_line" in fired(detector, "DELIMITER //\nCREATE PROCEDURE p() BEGIN END //")
    assert "mysql.delimiter_line" not in fired(detector, "Pack (ON t USING\n  Delimiter ({{ model.config.delimiter }})\n)")

def test_title_format_reads_the_format_string(detector):
    """Teradata's FORMAT phrase is told from COPY's FORMAT option by the literal it names, so the
    rule reads the raw text."""
    assert "teradata.title_format" in fired(detector, "SELECT d (FORMAT 'YYYY-MM-DD'), n (FORMAT 'ZZ9') FROM t;")
    assert "teradata.title_format" in fired(detector, "SELECT a (TITLE 'Amount') FROM t;")
    assert "teradata.title_format" not in fired(detector, "COPY t FROM STDIN WITH (FORMAT 'csv');")


def test_date_format_is_told_by_its_pattern(detector):
    """Spark writes date_format's pattern in letters, MySQL in % codes: the rules read the literal."""
    spark, mysql = "SELECT date_format(to_date(d), 'yyyy-MM') FROM t;", "SELECT DATE_FORMAT(a.d, '%d.%m.%Y') FROM t;"
    assert {"databricks.date_format_pattern"} == fired(detector, spark) & {"databricks.date_format_pattern", "mysql.date_format_codes"}
    assert {"mysql.date_format_codes"} == fired(detector, mysql) & {"databricks.date_format_pattern", "mysql.date_format_codes"}


@pytest.mark.parametrize("rule, hit, near_miss", CORPUS_RULES, ids=[r for r, _, _ in CORPUS_RULES])
def test_corpus_rules(detector, rule, hit, near_miss):
    assert rule in fired(detector, hit)
    assert rule not in fired(detector, near_miss)
    # The same line commented out is no evidence.
    assert rule not in fired(detector, "\n".join("-- " + line for line in hit.splitlines()))


class TestVerdict:
    def test_lines_are_those_of_the_file(self, detector):
        text = "/* 1\n2 */\n'3\n4'\nSELECT * FROM t WITH (NOLOCK)\n\nGO\n"
        lines = dict(detector.matches(text))
        assert (lines["sqlserver.table_hints"], lines["sqlserver.go_batch_separator"]) == (5, 7)

    def test_unknown_says_why(self, detector):
        verdict = detector.detect("SELECT a FROM t;")
        assert verdict.platform is None and verdict.reason == NO_EVIDENCE
        assert verdict.unknown_reason == "no_evidence" and verdict.confidence == 0.0
        assert detector.detect("").reason == NO_EVIDENCE
        # Evidence that Hive and Databricks share, and a model with no word to choose between them.
        close = detector.detect("SELECT a FROM t LATERAL VIEW explode(b) x AS y")
        assert close.platform is None and close.reason.startswith("too close: ")
        assert close.to_dict()["unknown_reason"] == "too_close"

    def test_weak_words_dilute_strong_ones(self):
        # NVL alone says more than NVL among other words the model knows.
        model = dict(EMPTY, features=["w:nvl", "w:select"], weights=[[0.0] * 5 + [2.0] + [0.0] * 4, [0.0] * 10])
        detector = Detector(model=model)
        assert detector.detect("NVL(a, 0)").probabilities[Platform.ORACLE] == pytest.approx(0.45, abs=0.01)
        assert detector.detect("SELECT NVL(a, 0)").probabilities[Platform.ORACLE] == pytest.approx(0.31, abs=0.01)

    def test_each_platform_has_its_threshold(self):
        # sqlserver at about 0.69 by the model, 0.98 once its own row has fired.
        biased = dict(EMPTY, bias=[0.0] * 4 + [3.0] + [0.0] * 5)
        text = "SELECT TOP 5 * FROM t WITH (NOLOCK)"
        named = Detector(model=dict(biased, thresholds={"sqlserver": 0.9})).detect(text)
        assert named.platform is Platform.SQLSERVER and named.confidence == pytest.approx(0.98, abs=0.01)
        strict = Detector(model=dict(biased, thresholds={"sqlserver": 0.99})).detect(text)
        assert strict.platform is None and strict.reason.startswith("too close: sqlserver 0.98")

    def test_evidence_of_its_own_outweighs_the_model_s_words(self):
        # The model leans to Hive (0.44 against Redshift's 0.27), as a benchmark query's words do;
        # DATEADD is evidence of Redshift's (SQL Server's and Snowflake's) own and none of Hive's.
        model = dict(EMPTY, bias=[0.0] * 6 + [2.0] + [0.0] * 2 + [2.5])
        detector = Detector(model=model)
        plain = detector.detect("SELECT a FROM t")
        assert plain.platform is None and plain.probabilities[Platform.HIVE] == pytest.approx(0.44, abs=0.01)
        verdict = detector.detect("SELECT DATEADD(day, 30, CURRENT_DATE)")
        assert verdict.platform is Platform.REDSHIFT and verdict.confidence == pytest.approx(0.79, abs=0.01)
        assert verdict.reason == "redshift 0.79, runner-up snowflake 0.11"
        assert sum(verdict.probabilities.values()) == pytest.approx(1.0, abs=1e-3)

    def test_long_scripts_settle_on_their_first_part(self):
        # The first line names SQL Server beyond doubt: the verdict stands on the probe, and
        # Oracle's CONNECT BY far below is not read. Without that line, nothing is settled, the
        # whole script is read and the evidence far below is found.
        sure = Detector(model=dict(EMPTY, bias=[0.0] * 4 + [6.0] + [0.0] * 5, thresholds={"sqlserver": 0.5}))
        filler = "SELECT a FROM t;\n" * (PROBE_CHARS // 8)  # twice the probe
        head, tail = "SELECT TOP 5 * FROM t WITH (NOLOCK)\n", "SELECT x FROM dual CONNECT BY LEVEL < 5;\n"
        assert any(marker.startswith("oracle.") for marker, _ in sure.matches(head + filler + tail))
        settled = sure.detect(head + filler + tail)
        assert settled.platform is Platform.SQLSERVER
        assert all("oracle" not in e.marker and e.line < PROBE_CHARS // 17 + 2 for e in settled.evidence)
        far = sure.detect(filler + head)
        assert far.platform is Platform.SQLSERVER
        assert [e.line for e in far.evidence if e.kind == "row"] == [filler.count("\n") + 1] * 2
        # A probe that names no platform, or one not surely enough, leaves nothing out.
        unsure = Detector(model=dict(EMPTY, thresholds={"sqlserver": 0.5}))
        whole = unsure.detect(head + filler + tail)
        assert {e.marker for e in whole.evidence} >= {m for m, _ in unsure.matches(head + filler + tail)}
        # One long line has no line end to cut at: it is read whole.
        line = sure.detect("SELECT a FROM t; " * (PROBE_CHARS // 8) + head.strip())
        assert line.platform is Platform.SQLSERVER
        # The shorter first probe needs a surer verdict: at 0.989 the script is settled only on its
        # longer probe (its GO on line 62 is read), at 0.998 already on its first quarter.
        script = head + "SELECT a FROM t;\n" * 60 + "GO\n" + filler + tail
        fairly = Detector(model=dict(EMPTY, bias=[0.0] * 4 + [3.7] + [0.0] * 5, thresholds={"sqlserver": 0.5}))
        second = fairly.detect(script)
        assert second.platform is Platform.SQLSERVER
        assert 62 in {e.line for e in second.evidence} and all("oracle" not in e.marker for e in second.evidence)
        first = sure.detect(script)
        assert first.platform is Platform.SQLSERVER and first.confidence > 0.99
        assert all(e.line < PROBE_CHARS // 4 // 17 + 2 for e in first.evidence)
        # A script too short for the longer probe is probed on its first quarter only.
        short = head + "SELECT a FROM t;\n" * (PROBE_CHARS // 4 // 17 * 2) + tail
        assert len(short) < PROBE_CHARS * 3 // 2
        assert all("oracle" not in e.marker for e in sure.detect(short).evidence)
        assert any(e.marker.startswith("oracle.") for e in fairly.detect(short).evidence)

    def test_a_platform_needs_evidence_of_its_own(self):
        # ILIKE is corroborating evidence only: however sure the model, no platform is named.
        biased = dict(EMPTY, bias=[0.0] * 4 + [3.0] + [0.0] * 5, thresholds={"sqlserver": 0.6})
        verdict = Detector(model=biased).detect("SELECT * FROM t WHERE a ILIKE 'x%'")
        assert verdict.platform is None and verdict.reason == "no evidence for sqlserver 0.69"
        assert verdict.unknown_reason == "no_evidence"

    def test_evidence_many_dialects_share_is_not_a_platform_s_own(self):
        # NVL is Oracle's, Teradata's, Snowflake's and Redshift's: a model sure of Oracle from the
        # word alone names nothing until a row of Oracle's own (ROWNUM) fires.
        model = dict(EMPTY, features=["w:nvl"], weights=[[0.0] * 5 + [6.0] + [0.0] * 4])
        detector = Detector(model=model)
        shared = detector.detect("SELECT NVL(a, 0) FROM t")
        assert [e.marker for e in shared.evidence if e.kind == "rule"] == ["oracle.nvl"]
        assert shared.platform is None and shared.reason == "no evidence for oracle 0.98"
        own = detector.detect("SELECT NVL(a, 0) FROM t WHERE ROWNUM < 5")
        assert own.platform is Platform.ORACLE
        # A "#" comment is MySQL's in the marker table, but BigQuery writes them too.
        biased = Detector(model=dict(EMPTY, bias=[0.0] * 3 + [3.0] + [0.0] * 6))
        banner = biased.detect("#### suppliers\nSELECT a FROM t;")
        assert [e.marker for e in banner.evidence if e.kind == "row"] == ["mysql.hash_comment"]
        assert banner.platform is None and banner.reason == "no evidence for mysql 0.69"

    def test_rows_other_dialects_write_name_them_too(self):
        # Redshift takes Oracle's (+) joins: beside GETDATE() the script is Redshift's, however the
        # model leans to Oracle; alone, (+) leaves the choice between the two to the model.
        detector = Detector(model=dict(EMPTY, bias=[0.0] * 5 + [2.0] + [0.0] * 4))
        ported = detector.detect("SELECT a.k FROM a, b WHERE a.k = b.k(+) AND a.d < GETDATE();")
        assert ported.platform is Platform.REDSHIFT
        assert [e.platforms for e in ported.evidence if e.marker == "oracle.legacy_outer_join"] == [(Platform.ORACLE,)]
        alone = detector.detect("SELECT a.k FROM a, b WHERE a.k = b.k(+);")
        assert alone.platform is Platform.ORACLE and alone.reason == "oracle 0.84, runner-up redshift 0.11"

    def test_decisive_evidence_names_its_platform_where_the_model_is_unsure(self):
        # The flat model is "too close" on its own; a decisive row names its platform, and two
        # decisive rows of different platforms name nothing.
        model = dict(EMPTY, thresholds={"sqlserver": 0.9}, decisive=["m:sqlserver.table_hints", "m:sqlserver.go_batch_separator",
                                      "m:oracle.varchar2", "m:shared.ilike"])  # fmt: skip
        detector = Detector(model=model)
        named = detector.detect("SELECT *\nFROM t WITH (NOLOCK)\nGO\n")
        assert named.platform is Platform.SQLSERVER and named.unknown_reason is None
        assert named.reason == "sqlserver by sqlserver.table_hints, model 0.69" and named.confidence == 0.69
        mixed = detector.detect("SELECT * FROM t WITH (NOLOCK)\nCREATE TABLE u (a VARCHAR2(10))")
        assert mixed.platform is None and mixed.reason.startswith("too close: ")
        # A row of several platforms is never decisive, whatever the model says.
        assert detector.detect("SELECT * FROM t WHERE a ILIKE 'x'").platform is None

    def test_a_row_of_one_platform_explains_what_it_shares(self):
        # CONVERT_TIMEZONE is Redshift's and Snowflake's; the model leans to Redshift. Once a
        # rule of Snowflake's alone fires, Redshift has no evidence of its own left.
        model = dict(EMPTY, bias=[0.0] + [1.0] + [0.0] * 4 + [2.0] + [0.0] * 3, threshold=0.4)
        detector = Detector(model=model)
        shared = "SELECT CONVERT_TIMEZONE('UTC', t) FROM x"
        assert detector.detect(shared).platform is Platform.REDSHIFT
        verdict = detector.detect(shared + " WHERE IFF(a, 1, 0) = 1")
        assert verdict.platform is Platform.SNOWFLAKE
        assert verdict.probabilities[Platform.REDSHIFT] < verdict.probabilities[Platform.SNOWFLAKE]
        # A row of Redshift's own beside them keeps both in play, and the model decides.
        both = detector.detect(shared + " WHERE IFF(a, 1, 0) = 1;\nCREATE TABLE t (a int) DISTSTYLE ALL;")
        assert both.platform is Platform.REDSHIFT

    def test_the_platforms_most_evidence_names_have_it(self):
        # SYSDATE is Redshift's too, but beside CONNECT BY (Oracle's and Snowflake's) and FROM
        # DUAL (Oracle's and MySQL's) only Oracle has evidence of its own.
        model = dict(EMPTY, bias=[0.0] * 5 + [1.0, 2.0] + [0.0] * 3, threshold=0.4)
        detector = Detector(model=model)
        assert detector.detect("SELECT sysdate FROM t;").platform is Platform.REDSHIFT
        verdict = detector.detect("SELECT sysdate FROM dual CONNECT BY level < 5;")
        assert verdict.platform is Platform.ORACLE and verdict.reason.startswith("oracle 0.")

    def test_evidence_others_share_is_held_to_its_own_thresholds(self):
        # SYSDATE is Oracle's, Redshift's and MySQL's: the model's Oracle is named at the shared
        # threshold, not at Oracle's own; a row of Oracle's alone brings the plain one back.
        model = dict(EMPTY, bias=[0.0] * 5 + [3.0] + [0.0] * 4, thresholds={"oracle": 0.3},
                     shared_thresholds={"oracle": 0.99})  # fmt: skip
        detector = Detector(model=model)
        shared = detector.detect("INSERT INTO t VALUES ('a', sysdate);")
        assert shared.platform is None and shared.reason.startswith("too close: oracle 0.")
        own = detector.detect("INSERT INTO t VALUES ('a', sysdate);\nSELECT a FROM t WHERE ROWNUM < 5;")
        assert own.platform is Platform.ORACLE
        # Models without shared thresholds use the plain ones.
        assert Detector(model=dict(model, shared_thresholds={})).detect("SELECT sysdate;").platform is Platform.ORACLE

    def test_training_gates_as_the_detector_does(self):
        # Thresholds are chosen on training's reading of which platforms have evidence of their
        # own and which verdicts rest on shared evidence: it must be the detector's.
        import sys

        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
        import platform_model as pm

        texts = [
            "SELECT sysdate FROM dual CONNECT BY level < 5;", "SELECT sysdate FROM t;",
            "SELECT CONVERT_TIMEZONE('UTC', t) FROM x WHERE IFF(a, 1, 0) = 1",
            "SELECT DATEADD(day, 30, CURRENT_DATE)", "SELECT * FROM t WITH (NOLOCK)\nGO\n",
            "SELECT NVL(a, 0) FROM t", "SELECT a FROM t",
            "CREATE FUNCTION f() RETURNS int AS $$ BEGIN RETURN nextval('s'); END $$ LANGUAGE plpgsql;",
        ]  # fmt: skip
        for lead in range(10):
            bias = [0.0] * 10
            bias[lead] = 1.5
            plain = {c: 0.3 for c in pm.CLASSES}
            shared = {c: 0.6 for c in pm.CLASSES}
            detector = Detector(model=dict(EMPTY, bias=bias, thresholds=plain, shared_thresholds=shared))
            for text in texts:
                fired, tokens = detector.features(text)
                sample = pm.Sample("x", "r", "p", frozenset(tokens) | {name for name, _ in fired})
                _, logits, _, _ = detector._scanner.scan(text)
                exps = [math.exp(v - max(logits)) for v in logits]
                [p] = pm.gated([sample], [[e / sum(exps) for e in exps]])
                summary = pm.summarise([sample], [p], plain, None, pm.shared_only([sample], [p]), shared)
                [(_, guess)] = summary["confusion"]
                verdict = detector.detect(text)
                assert guess == (verdict.platform.value if verdict.platform else "unknown"), (lead, text)
                if any(p):
                    assert [round(v, 4) for v in p] == [verdict.probabilities[c] for c in Platform], (lead, text)

    def test_record_fields(self, detector):
        verdict = detector.detect("SELECT * FROM t WITH (NOLOCK)")
        assert isinstance(verdict, Verdict)
        assert list(verdict.to_dict()) == [
            "platform", "confidence", "reason", "unknown_reason", "scores", "probabilities", "evidence",
        ]  # fmt: skip
        assert sum(verdict.probabilities.values()) == pytest.approx(1.0, abs=1e-3)
        assert verdict.scores == {Platform.SQLSERVER: 1.0}

    def test_bad_input(self):
        for value in (None, b"SELECT 1", 3, type("S", (str,), {})("x")):
            with pytest.raises(TypeError, match=r"^text must be a str, got "):
                detect_platform(value)

    def test_features_are_the_same_in_every_width(self, detector):
        text = "SELECT TOP 10 @@ROWCOUNT, #t.x FROM [dbo].[T] -- c\nGO\n.LOGON x\n"
        _, ascii_features = detector.features(text)
        for extra in WIDTHS[1:]:
            _, wide = detector.features(text + " " + extra)
            assert set(wide) == set(ascii_features)
        assert {"w:top", "s:@@", "s:#", "s:[w]", "c:--", "e:go", "l:.logon", "b:select top"} <= set(ascii_features)


class TestShippedModel:
    def test_scoring_finds_the_features_training_sees(self):
        # Scoring looks features up by hash, training reads them as strings: both must agree on
        # which vocabulary features a script holds, in every string width.
        detector = default_detector()
        vocabulary = set(detector.feature_names)
        seed = random.randrange(2**32)
        print("seed", seed)
        rng = random.Random(seed)
        words = ["SELECT", "TOP", "10", "@@ROWCOUNT", "#t", "FROM", "[dbo].[T]", "GO", "\n", "  ", "-- c\n", ".LOGON",
                 "CREATE", "TABLE", "STORED", "AS", "ORC", "LIMIT", "5", "::", "$$", "`x`", "'s'", ";", "(", ")", ","]
        for _ in range(200):
            text = "".join(rng.choice(words) + rng.choice(" \n") for _ in range(rng.randrange(1, 40)))
            text += rng.choice(WIDTHS)
            _, tokens = detector._scanner.features(text)
            *_, seen = detector._scanner.scan(text)
            assert seen == len(vocabulary & set(tokens)), (seed, text)

    def test_probabilities_are_those_training_computes(self):
        # Training gives each script's features unit length (each known feature weighs
        # 1/sqrt(count)); scoring must weigh them alike, or the thresholds chosen on held-out
        # repositories mean nothing at run time.
        detector = default_detector()
        model = detector.model
        index = {name: k for k, name in enumerate(model["features"])}
        for text in ["SELECT TOP 5 * FROM t WITH (NOLOCK)\nGO\n", "SELECT NVL(a, 0) FROM dual WHERE ROWNUM < 5",
                     "CREATE TABLE t (a STRING) STORED AS ORC;\n" * 3, "SELECT 1", ""]:
            fired, tokens = detector.features(text)
            present = [index[f] for f in {name for name, _ in fired} | set(tokens) if f in index]
            scale = 1 / math.sqrt(len(present)) if present else 0.0
            expected = [b + scale * sum(model["weights"][k][c] for k in present) for c, b in enumerate(model["bias"])]
            _, logits, _, _ = detector._scanner.scan(text)
            assert logits == pytest.approx(expected, abs=1e-4), text

    def test_model_records_its_corpus(self):
        model = load_model()
        assert model["trained_on"]["manifest"] == "bench/platform_corpus/sources.tsv"
        assert len(model["features"]) == len(model["weights"]) > 100
        assert 0.2 <= model["threshold"] < 1.0
        assert set(model["thresholds"]) == {p.value for p in Platform}

    def test_packed_weights_read_back_exactly(self, tmp_path):
        from agents.transmute.detector import pack_rows, unpack_rows

        rows = [[0.757, -0.44, 1e-300, -0.0], [2.5, -1.25, 0.001, 3.0], [0.1, 0.2, 0.3, 0.4]]
        assert [list(row) for row in unpack_rows(pack_rows(rows), 4, 3)] == rows
        with pytest.raises(ValueError, match=r"model weights hold 96 bytes, expected 104 \(13 rows of 1\)"):
            unpack_rows(pack_rows(rows), 1, 13)
        with pytest.raises(ValueError, match="model weights are not base64"):
            unpack_rows("not base64!", 4, 3)
        # A model file with packed weights scores as one with the same weights written out.
        model = dict(load_model(), features=["w:nvl", "w:select"])
        written = dict(model, weights=[[0.0] * 5 + [2.0] + [0.0] * 4, [0.5] * 10])
        path = tmp_path / "model.json"
        path.write_text(json.dumps(dict(written, weights=pack_rows(written["weights"]))), encoding="utf-8")
        text = "SELECT NVL(a, 0) FROM t"
        assert Detector(model=load_model(path))._scanner.scan(text)[1] == Detector(model=written)._scanner.scan(text)[1]

    def test_real_samples_are_named_by_their_folder(self):
        # One real script per platform from a permissively licensed repository (see NOTICE.md).
        root = Path(__file__).resolve().parent / "platform_samples"
        files = sorted(p for p in root.rglob("sample.*"))
        assert {f.parent.name for f in files} == {p.value for p in Platform}
        for path in files:
            verdict = detect_platform(path.read_text(encoding="utf-8"))
            assert str(verdict.platform) == path.parent.name, (path, verdict.reason)
            assert any(e.kind in ("row", "rule") and path.parent.name in e.platforms for e in verdict.evidence)

    def test_examples_are_named_by_their_folder(self):
        from agents.transmute.assess import decode

        root = Path(__file__).resolve().parents[1] / "examples" / "platforms"
        files = sorted(root.rglob("*.sql"))
        assert len({f.parent.name for f in files}) == 10
        for path in files:
            text = decode(path.read_bytes())[0]
            assert str(detect_platform(text.removeprefix("\ufeff")).platform) == path.parent.name, path


class TestNativeVerdict:
    """The native verdict against the plain reading of the same rules (tests/reference), on real
    lines of every platform shuffled together, under the shipped model and under random ones."""

    SAMPLES = Path(__file__).resolve().parent / "platform_samples"
    EXTRA = ["-- for Oracle use NVL, for SQL Server ISNULL\n", "-- Write your MySQL query below\n",
             "SELECT * FROM t WHERE a ILIKE 'x%';\n", "SELECT SYSDATE FROM dual;\n", "# a hash comment\n",
             "SELECT a FROM t LATERAL VIEW explode(b) x AS y;\n", "SELECT 1;\n", "\n"]  # fmt: skip

    @pytest.fixture(scope="class")
    @classmethod
    def lines(cls):
        out = list(cls.EXTRA)
        for path in sorted(cls.SAMPLES.rglob("sample.*")):
            out.extend(path.read_text(encoding="utf-8").splitlines(keepends=True))
        return out

    def models(self, rng):
        shipped = load_model()
        yield shipped
        for _ in range(3):
            classes = shipped["classes"]
            yield dict(
                shipped,
                bias=[rng.gauss(0, 2) for _ in classes],
                thresholds={c: rng.uniform(0.1, 0.99) for c in classes},
                shared_thresholds={c: rng.uniform(0.1, 1.0) for c in classes},
                decisive=rng.sample(shipped["decisive"], len(shipped["decisive"]) // 2),
            )

    def test_native_verdicts_are_the_plain_reading_s(self, lines, monkeypatch):
        from agents.transmute import detector as module
        from reference.detector_reference import detect as reference_detect

        seed = random.randrange(2**32)
        print("seed", seed)
        rng = random.Random(seed)
        # A short probe, so that scripts of a few dozen lines are probed, settled or not.
        monkeypatch.setattr(module, "PROBE_CHARS", 600)
        for model in self.models(rng):
            detector = Detector(model=model)
            for _ in range(60):
                text = "".join(rng.choice(lines) for _ in range(rng.randrange(0, 60))) + rng.choice(WIDTHS)
                native, plain = detector.detect(text), reference_detect(detector, text)
                assert native == plain and repr(native) == repr(plain), (seed, text)
                assert native.to_dict() == plain.to_dict(), (seed, text)
                # The record built at once is to_dict()'s, in key order too (the report's JSON).
                record = detector.record(text)
                assert record == plain.to_dict(), (seed, text)
                assert json.dumps(record) == json.dumps(plain.to_dict()), (seed, text)

    def test_settings_are_checked(self):
        from agents.transmute import _detect

        args = (["SELECT"], [0], [], [], [0.0], [0.0], [False])
        with pytest.raises(TypeError, match="verdict settings must be a dict"):
            _detect.Scanner(*args, verdict=[])
        with pytest.raises(KeyError, match="verdict settings lack platforms"):
            _detect.Scanner(*args, verdict={})
        with pytest.raises(TypeError, match="this Scanner was built without verdict rules"):
            _detect.Scanner(*args).detect("SELECT 1")
