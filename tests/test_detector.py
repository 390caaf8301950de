"""The platform detector: flags, comment scope, corroboration, the unknown verdict, line numbers,
and the split searches against `re` on whole rows."""

import random
import re
import sys
from pathlib import Path

import pytest

from agents.transmute.cuebook import PLATFORM_MARKERS
from agents.transmute.originscan import (
    FLAGS, Detector, Marker, Platform, detect_platform, split_alternatives, weigh,
)  # fmt: skip
from detector_corpus.generate import scripts

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from corpus import corpus  # noqa: E402


def ids(verdict, counted=True):
    return {e.marker for e in verdict.evidence if e.counted == counted}


class TestFlags:
    def test_keywords_match_in_any_letter_case(self):
        assert detect_platform("create table t (x varchar2(10));").platform is Platform.ORACLE
        assert detect_platform("select * from stl_query").platform is Platform.REDSHIFT

    def test_anchors_mean_line_starts(self):
        verdict = detect_platform("SELECT 1;\n  go  \nSELECT 2;\n")
        assert verdict.platform is Platform.SQLSERVER
        assert [(e.marker, e.line) for e in verdict.evidence] == [("sqlserver.go_batch_separator", 2)]
        assert "teradata.sel_abbreviation" in ids(detect_platform("SELECT 1;\nsel a from t;"))

    def test_re_fallback_for_rows_the_engine_refuses(self):
        detector = Detector()
        assert "mysql.hash_comment" in detector.fallbacks
        assert ids(detector.detect("# note\nSELECT 1;")) == {"mysql.hash_comment"}


class TestCommentScope:
    def test_ordinary_rows_ignore_comments(self):
        text = "-- DISTKEY and SORTKEY come later\n/* VARCHAR2\n   BULK COLLECT INTO */\nSELECT 1;\n"
        assert detect_platform(text).evidence == ()

    def test_comment_rows_match_only_inside_comments(self):
        verdict = detect_platform("/*!40101 SET NAMES utf8 */;\nSELECT 1;")
        assert ids(verdict) == {"mysql.version_comment"}  # SET NAMES inside it is comment text
        hint = detect_platform("SELECT /*+ BROADCAST(d) */ * FROM f JOIN d ON f.k = d.k")
        assert ids(hint) == {"databricks.optimizer_hint"}
        # An unclosed "/*" opens no comment, so the hint row has nothing to match inside.
        assert ids(detect_platform("SELECT 1 /*+ BROADCAST(d)")) == set()

    def test_a_comment_row_must_not_reach_out_of_its_comment(self):
        assert ids(detect_platform("--\nCOMMAND ----")) == set()
        assert ids(detect_platform("-- COMMAND ----------\nSELECT 1")) == {"databricks.notebook_header"}

    def test_line_numbers_survive_blanked_comments(self):
        text = "/* line 1\nline 2\nline 3 */\n-- line 4\nSELECT * FROM t WITH (NOLOCK)\n"
        assert [(e.marker, e.line) for e in detect_platform(text).evidence] == [("sqlserver.table_hints", 5)]


class TestCorroboration:
    def test_corroborating_rows_alone_name_nothing(self):
        verdict = detect_platform("SELECT a FROM t QUALIFY ROW_NUMBER() OVER (ORDER BY a) = 1 AND b ILIKE 'x%';")
        assert verdict.platform is None and verdict.reason == "no evidence"
        assert ids(verdict, counted=False) == {"shared.qualify", "shared.ilike"}

    def test_corroborating_rows_add_only_to_platforms_with_evidence(self):
        verdict = detect_platform("COLLECT STATISTICS ON t COLUMN (a);\nSELECT a FROM t QUALIFY RANK() OVER (ORDER BY a) = 1;")
        assert verdict.platform is Platform.TERADATA
        assert verdict.scores == {Platform.TERADATA: 1.5}

    def test_medium_weighs_half_of_high(self):
        medium = Marker(id="x.m", platforms=[Platform.HIVE], confidence="medium", pattern="m")
        high = Marker(id="x.h", platforms=[Platform.ORACLE], confidence="high", pattern="h")
        assert weigh([(medium, 1), (high, 2)]).scores == {Platform.ORACLE: 1.0, Platform.HIVE: 0.5}


class TestUnknown:
    def test_empty_and_generic_scripts(self):
        for text in ("", "SELECT a, COUNT(*) FROM t GROUP BY a;"):
            verdict = detect_platform(text)
            assert (verdict.platform, verdict.confidence, verdict.scores) == (None, 0.0, {})

    def test_thin_evidence(self):
        verdict = detect_platform("MSCK REPAIR TABLE logs;")
        assert verdict.platform is None and verdict.reason.startswith("thin evidence")
        assert verdict.scores == {Platform.HIVE: 0.5}

    def test_too_close(self):
        verdict = detect_platform("SELECT DBMS_RANDOM.VALUE FROM dual;\nSET NOCOUNT ON;")
        assert verdict.platform is None and verdict.reason.startswith("too close")
        assert verdict.scores == {Platform.SQLSERVER: 1.0, Platform.ORACLE: 1.0}  # ties rank in table order

    def test_clear_lead_names_a_platform(self):
        verdict = detect_platform("SET NOCOUNT ON;\nSELECT @@ROWCOUNT;\nSELECT DBMS_RANDOM.VALUE FROM dual;")
        assert verdict.platform is Platform.SQLSERVER and 0 < verdict.confidence < 1

    def test_refuses_non_text(self):
        with pytest.raises(TypeError):
            detect_platform(b"SELECT 1")


def test_split_alternatives():
    assert split_alternatives(r"a|(b|c)|[|]|\||d") == ["a", "(b|c)", "[|]", r"\|", "d"]
    assert split_alternatives(r"[]|]x|y") == ["[]|]x", "y"]


def _texts():
    yield from (text for _, text in scripts(seed=3, per_platform=6, generic=6))
    yield from (text[:200_000] for _, _, text in corpus(sizes=(10_000, 200_000), kinds=("ascii", "bmp")))
    gap = " " * 195
    yield f"OPTIMIZE t{gap}ZORDER BY (a)\nOPTIMIZE t{gap}xxxxxx ZORDER BY (a)"
    yield "CONSTRAINT c EXPECT (x > 0) ON VIOLATION DROP ROW\nCREATE TABLE t (a INT) USING DELTA"
    yield "create table t (id int, v object)\ncopy t from 's3://x' iam_role 'r'"


def test_first_matches_equal_re_on_whole_rows():
    """The split searches start where re.search of the whole row starts, for every row."""
    detector = Detector()
    plain = [re.compile(m.pattern, FLAGS) for m in PLATFORM_MARKERS]
    for text in _texts():
        code = detector.code_text(text, detector.comment_spans(text))
        for row, pattern in zip(detector.rows, plain):
            found = pattern.search(code)
            got = row.first(code)
            assert (got and got[0]) == (found and found.start()), (row.marker.id, text[:80])


def test_engine_and_re_detectors_agree(seeded_random):
    native, baseline = Detector(), Detector(engine=False)
    labelled = list(scripts(seed=seeded_random.randrange(1000), per_platform=3, generic=3))
    for _, text in labelled:
        assert native.detect(text) == baseline.detect(text)


def test_comment_spans_equal_re():
    detector = Detector()
    pattern = re.compile(r"--[^\n]*|/\*[\s\S]*?\*/")
    rng = random.Random(5)
    for _ in range(300):
        text = "".join(rng.choice(["-", "/", "*", "\n", "a", " "]) for _ in range(rng.randrange(40)))
        assert detector.comment_spans(text) == [m.span() for m in pattern.finditer(text)]
