"""sql-assess run as a real subprocess over a temporary tree: every format against the modules'
own results, exit statuses, and no file missing from the report."""

import codecs
import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

from agents.transmute.complexity import classify_sql, classify_sql_file, plan_reading_strategy
from agents.transmute.lorepick import detect_construct_categories, select_knowledge
from agents.transmute.originscan import detect_platform as detect_by_rows


def detect_platform(text):
    """The verdict the records carry: the model detector's, or the marker rows' where the
    model file is not installed."""
    try:
        from agents.transmute.detector import detect_platform as detect_by_model

        return detect_by_model(text)
    except OSError:
        return detect_by_rows(text)

KNOWLEDGE = Path(__file__).resolve().parents[1] / "examples" / "knowledge"
MAX_BYTES = 40_000

TSQL = (
    "-- refresh orders\nCREATE PROCEDURE dbo.usp_Load AS\nBEGIN\n    SET NOCOUNT ON;\n"
    "    SELECT TOP 10 * INTO #work FROM dbo.Orders WITH (NOLOCK);\n"
    "    SELECT DATEADD(DAY, 1, GETDATE()), COALESCE(a, b) FROM #work;\nEND\nGO\n"
)
ORACLE = "DECLARE\n  v VARCHAR2(10);\nBEGIN\n  DBMS_OUTPUT.PUT_LINE(v);\nEND;\n/\n"
LONG = "".join(f"SELECT {i} AS n FROM dbo.T{i % 7} WHERE x > {i};\n" + ("GO\n" if i % 40 == 0 else "")
               for i in range(620))  # fmt: skip


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """The tree, and for every file the text the modules should see (None: not assessed)."""
    root = tmp_path_factory.mktemp("assess") / "tree"
    (root / "sub" / "deeper").mkdir(parents=True)
    expected = {}

    def put(relative, data, text):
        path = root / relative
        path.write_bytes(data)
        expected[f"tree/{relative}"] = text

    put("plain.sql", TSQL.encode(), TSQL)
    put("crlf.sql", TSQL.replace("\n", "\r\n").encode(), TSQL)
    put("bom.sql", codecs.BOM_UTF8 + ORACLE.encode(), ORACLE)
    put("sub/utf16le.sql", codecs.BOM_UTF16_LE + TSQL.replace("\n", "\r\n").encode("utf-16-le"), TSQL)
    put("sub/utf16be.sql", codecs.BOM_UTF16_BE + "SELECT 'Straße 東京' AS s;\n".encode("utf-16-be"),
        "SELECT 'Straße 東京' AS s;\n")  # fmt: skip
    put("sub/deeper/utf32.SQL", codecs.BOM_UTF32_LE + ORACLE.encode("utf-32-le"), ORACLE)
    put("sub/deeper/long.sql", LONG.encode(), LONG)
    put("empty.sql", b"", "")
    put("latin1.sql", "SELECT 'café';\n".encode("latin-1"), None)
    put("big.sql", b"SELECT 1;\n" * (MAX_BYTES // 10 + 1), None)
    (root / "broken.sql").symlink_to(root / "nowhere.sql")
    expected["tree/broken.sql"] = None
    (root / "folder.sql").mkdir()
    put("folder.sql/inside.sql", b"SELECT 2;\n", "SELECT 2;\n")
    (root / "notes.txt").write_text("not SQL")
    return root.parent, expected


def run(cwd, *args):
    return subprocess.run([sys.executable, "-m", "agents.transmute.assess", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300)  # fmt: skip


def expected_record(text):
    result = classify_sql(text)
    plan = plan_reading_strategy(_Source(text))
    selected = select_knowledge(
        detect_construct_categories(text),
        full_mapping=(KNOWLEDGE / "mapping.md").read_text(encoding="utf-8"),
        full_gotchas=(KNOWLEDGE / "gotchas.md").read_text(encoding="utf-8"),
        full_limitations=(KNOWLEDGE / "limitations.md").read_text(encoding="utf-8"),
    )
    return result, plan, selected


class _Source:
    def __init__(self, text):
        self.text = text

    def read_text(self, encoding):
        return self.text


@pytest.fixture(scope="module")
def json_report(tree):
    cwd, _ = tree
    done = run(cwd, "tree", "--format", "json", "--max-bytes", str(MAX_BYTES), "--knowledge", str(KNOWLEDGE))
    assert done.returncode == 1, done.stderr
    report = json.loads(done.stdout)
    # The document is written record by record, and reads as the standard library's indented dump.
    assert done.stdout == json.dumps(report, indent=2) + "\n"
    return report


def test_every_file_reported_once_and_nothing_else(tree, json_report):
    _, expected = tree
    paths = [r["path"] for r in json_report["files"]]
    assert sorted(paths) == sorted(expected)
    assert json_report["schema_version"] == 2


def test_records_equal_the_modules_results(tree, json_report):
    _, expected = tree
    full = len((KNOWLEDGE / "mapping.md").read_text().split()) + len((KNOWLEDGE / "gotchas.md").read_text().split())
    for record in json_report["files"]:
        text = expected[record["path"]]
        if text is None:
            assert record["status"] == "not_assessed"
            continue
        assert record["status"] == "assessed", record
        result, plan, selected = expected_record(text)
        c = record["complexity"]
        assert c["level"] == result.complexity
        assert [c[k] for k in ("effective_lines", "stored_proc_count", "complex_construct_count",
                               "moderate_construct_count", "temp_table_count", "cte_count")] == [
            result.effective_lines, result.stored_proc_count, result.complex_construct_count,
            result.moderate_construct_count, result.temp_table_count, result.cte_count]  # fmt: skip
        assert record["turns"] == {"analysis": result.recommended_analysis_turns,
                                   "conversion": result.recommended_conversion_turns,
                                   "audit": result.recommended_audit_turns}  # fmt: skip
        assert record["categories"] == sorted(detect_construct_categories(text))
        verdict = detect_platform(text).to_dict()
        p = record["platform"]
        assert {k: p[k] for k in verdict if k != "evidence"} == {k: v for k, v in verdict.items() if k != "evidence"}
        assert [{k: e[k] for k in v} for e, v in zip(p["evidence"], verdict["evidence"])] == verdict["evidence"]
        assert all(e["kind"] in ("row", "rule", "token") for e in p["evidence"])
        assert p["unknown_reason"] in (None, "no_evidence", "too_close")
        assert (p["platform"] is None) == (p["unknown_reason"] is not None)
        assert list(p["probabilities"]) == sorted(p["probabilities"], key=lambda k: -p["probabilities"][k])
        assert record["lines"] == plan.total_lines
        if plan.should_chunk:
            assert record["reading_plan"]["sections"] == [list(s) for s in plan.section_boundaries]
        else:
            assert record["reading_plan"] is None
        tokens = len(selected["mapping"].split()) + len(selected["gotchas"].split())
        k = record["knowledge"]
        assert (k["token_estimate"], k["full_tokens"]) == (tokens, full)
        assert k["reduction_pct"] == round((1 - tokens / max(full, 1)) * 100)


def test_utf8_results_equal_classify_sql_file(tree, json_report):
    cwd, _ = tree
    by_path = {r["path"]: r for r in json_report["files"]}
    for name in ("plain.sql", "crlf.sql", "sub/deeper/long.sql"):
        result = classify_sql_file(cwd / "tree" / name)
        assert by_path[f"tree/{name}"]["complexity"]["effective_lines"] == result.effective_lines
        assert by_path[f"tree/{name}"]["complexity"]["level"] == result.complexity


def test_encodings_and_reasons(json_report):
    by_path = {r["path"]: r for r in json_report["files"]}
    assert (by_path["tree/bom.sql"]["encoding"], by_path["tree/bom.sql"]["bom"]) == ("utf-8", True)
    assert by_path["tree/sub/utf16le.sql"]["encoding"] == "utf-16-le"
    assert by_path["tree/sub/utf16be.sql"]["encoding"] == "utf-16-be"
    assert by_path["tree/sub/deeper/utf32.SQL"]["encoding"] == "utf-32-le"
    assert by_path["tree/plain.sql"]["bom"] is False
    assert by_path["tree/sub/utf16le.sql"]["platform"]["platform"] == "sqlserver"
    assert by_path["tree/bom.sql"]["platform"]["platform"] == "oracle"
    reasons = {r["path"]: r["reason"] for r in json_report["files"] if r["status"] != "assessed"}
    assert reasons == {"tree/latin1.sql": "undecodable", "tree/big.sql": "too_large", "tree/broken.sql": "unreadable"}
    summary = json_report["summary"]
    assert summary["not_assessed"] == 3 and summary["assessed"] == len(json_report["files"]) - 3
    assert sum(summary["levels"].values()) == summary["assessed"]
    assert summary["chunked_files"] == 1
    assert {f["path"] for f in summary["not_assessed_files"]} == set(reasons)


def test_jsonl_and_parallel_workers_agree_with_json(tree, json_report):
    cwd, _ = tree
    done = run(cwd, "tree", "--format", "jsonl", "--jobs", "2", "--max-bytes", str(MAX_BYTES),
               "--knowledge", str(KNOWLEDGE))  # fmt: skip
    assert done.returncode == 1
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert lines[-1]["record"] == "summary"
    files = {r["path"]: r for r in lines[:-1]}
    assert all(r.pop("record") == "file" and r.pop("schema_version") == 2 for r in files.values())
    assert files == {r["path"]: r for r in json_report["files"]}


def test_csv_rows_match_json(tree, json_report):
    cwd, _ = tree
    done = run(cwd, "tree", "--format", "csv", "--max-bytes", str(MAX_BYTES))
    rows = {row["path"]: row for row in csv.DictReader(io.StringIO(done.stdout))}
    assert set(rows) == {r["path"] for r in json_report["files"]}
    for record in json_report["files"]:
        row = rows[record["path"]]
        assert row["status"] == record["status"]
        if record["status"] == "assessed":
            assert row["level"] == record["complexity"]["level"]
            assert int(row["effective_lines"]) == record["complexity"]["effective_lines"]
            assert int(row["conversion_turns"]) == record["turns"]["conversion"]
            assert row["categories"].split(";") == (record["categories"] or [""])
            assert row["platform"] == (record["platform"]["platform"] or "")
        else:
            assert row["reason"] == record["reason"]


def test_table_names_every_file(tree, json_report):
    cwd, _ = tree
    done = run(cwd, "tree", "--max-bytes", str(MAX_BYTES))
    assert done.returncode == 1
    for record in json_report["files"]:
        assert record["path"] in done.stdout
    assert "Levels:" in done.stdout and "not assessed" in done.stdout


def test_exit_statuses(tree):
    cwd, _ = tree
    clean = ["tree/plain.sql", "tree/bom.sql"]
    assert run(cwd, *clean, "--format", "json").returncode == 0
    assert run(cwd, "tree/bom.sql", "--fail-on", "complex", "--format", "csv").returncode == 0
    assert run(cwd, "tree/plain.sql", "--fail-on", "complex", "--format", "csv").returncode == 0
    assert run(cwd, "tree/plain.sql", "--fail-on", "moderate", "--format", "csv").returncode == 3
    assert run(cwd, "tree/sub/deeper/long.sql", "--fail-on", "complex", "--format", "csv").returncode == 3
    assert run(cwd, "tree/empty.sql", "--fail-on", "moderate", "--format", "csv").returncode == 0
    assert run(cwd, "tree", "--format", "xml").returncode == 2
    assert run(cwd, "tree", "--jobs", "0").returncode == 2
    assert run(cwd, "tree", "--knowledge", "no/such/dir").returncode == 2
    missing = run(cwd, "tree/plain.sql", "tree/missing.sql", "--format", "json")
    assert missing.returncode == 1
    assert [r["reason"] for r in json.loads(missing.stdout)["files"]] == ["unreadable", None]


def test_include_and_exclude_globs(tree):
    cwd, _ = tree
    done = run(cwd, "tree", "--include", "*.sql", "--include", "*.txt", "--exclude", "sub",
               "--exclude", "b*.sql", "--format", "json")  # fmt: skip
    paths = {r["path"] for r in json.loads(done.stdout)["files"]}
    assert "tree/notes.txt" in paths and "tree/empty.sql" in paths
    assert not any(p.startswith("tree/sub/") for p in paths)
    assert not {"tree/bom.sql", "tree/big.sql", "tree/broken.sql"} & paths


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("sql-assess")
    if not script.exists():
        pytest.skip("package not installed with its console script")
    done = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert done.returncode == 0 and "--knowledge" in done.stdout


def test_quiet_progress_and_logs_stay_off_stdout(tree):
    cwd, _ = tree
    done = run(cwd, "tree/sub/deeper/long.sql", "--format", "json")
    json.loads(done.stdout)  # no debug events mixed in
    assert "sql_classified" not in done.stdout + done.stderr


@pytest.mark.parametrize("records", [[], [{"path": "a\u2028b\nc.sql", "list": [], "map": {}, "nested": [1, [2, {"x": None}]]}]])
def test_json_report_text_is_the_indented_dump(records):
    from agents.transmute.assess import SCHEMA_VERSION, write_json_report

    summary = {"files": len(records), "levels": {}, "top": []}
    out = io.StringIO()
    write_json_report(records, summary, out)
    assert out.getvalue() == json.dumps({"schema_version": SCHEMA_VERSION, "files": records, "summary": summary}, indent=2) + "\n"
