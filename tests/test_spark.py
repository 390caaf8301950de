"""agents.transmute.spark on a local Spark (local[2]): its rows are the records sql-assess writes
for the same tree, files not assessed included, and its command writes Parquet and the summary."""

import codecs
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pyspark = pytest.importorskip("pyspark")
pytest.importorskip("pyarrow")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java", allow_module_level=True)

from agents.transmute import spark as on_spark  # noqa: E402
from agents.transmute.assess import record_schema  # noqa: E402

KNOWLEDGE = Path(__file__).resolve().parents[1] / "examples" / "knowledge"
MAX_BYTES = 20_000
TSQL = "CREATE PROCEDURE dbo.p AS\nBEGIN\n  SELECT TOP 5 * INTO #t FROM dbo.Orders;\nEND\nGO\n"


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("spark") / "tree with space"
    files = {
        "plain.sql": TSQL.encode(),
        "UPPER.SQL": b"SELECT NVL(a, 0) FROM dual;\n",
        "sub/utf16.sql": codecs.BOM_UTF16_LE + TSQL.replace("\n", "\r\n").encode("utf-16-le"),
        "sub/utf16be.hql": codecs.BOM_UTF16_BE + "SELECT 'Straße' AS s;\n".encode("utf-16-be"),
        "sub/bad.sql": b"SELECT '\xff\xfe\xfa' AS x;\n",
        "empty.sql": b"",
        "big.sql": b"-- " + b"x" * MAX_BYTES + b"\n",
        "long.sql": "".join(f"SELECT {i} FROM dbo.T WHERE x > {i};\n" for i in range(700)).encode(),
        "notes.txt": b"not a script\n",
    }
    for relative, data in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


@pytest.fixture(scope="module")
def session():
    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").appName("test-spark")
             .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())  # fmt: skip
    spark.sparkContext.setLogLevel("ERROR")
    yield spark
    spark.stop()


def cli_run(tree):
    done = subprocess.run([sys.executable, "-m", "agents.transmute.assess", str(tree), "--format", "jsonl",
                           "--max-bytes", str(MAX_BYTES), "--knowledge", str(KNOWLEDGE)],
                          capture_output=True, text=True, timeout=300)  # fmt: skip
    assert done.returncode == 1, done.stderr  # bad.sql and big.sql are not assessed
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    records = {r["path"]: {k: v for k, v in r.items() if k not in ("schema_version", "record")} for r in lines[:-1]}
    return records, lines[-1]


@pytest.mark.parametrize("read_local", [True, False])
def test_rows_are_the_commands_records(tree, session, read_local):
    jsonschema = pytest.importorskip("jsonschema")

    expected, _ = cli_run(tree)
    frame = on_spark.assess_files(session, str(tree), knowledge_dir=str(KNOWLEDGE), max_bytes=MAX_BYTES,
                                  read_local=read_local)  # fmt: skip
    assert {"path", "status", "complexity", "platform", "reading_plan"} <= set(frame.columns)
    rows = frame.collect()
    assert len(rows) == len(expected)  # no file twice, none lost
    records = {r["path"]: r for r in map(on_spark.record_from_row, rows)}
    assert sorted(records) == sorted(expected)
    for path, record in expected.items():
        assert records[path] == record, path
    statuses = {Path(p).name: (r["status"], r["reason"]) for p, r in records.items()}
    assert statuses["big.sql"] == ("not_assessed", "too_large")
    assert statuses["bad.sql"] == ("not_assessed", "undecodable")
    assert statuses["empty.sql"] == statuses["utf16.sql"] == ("assessed", None)
    validator = jsonschema.Draft202012Validator(record_schema())
    assert all(validator.is_valid(record) for record in records.values())


@pytest.mark.parametrize("with_empty", [True, False])
def test_every_file_once_when_partitions_are_merged(tree, session, tmp_path, with_empty):
    # Read through binaryFile with one partition per file, so the scans' partitions are merged
    # into fewer tasks; without an empty file the search for them is skipped.
    root = tmp_path / "t"
    shutil.copytree(tree, root)
    if not with_empty:
        (root / "empty.sql").unlink()
    expected, _ = cli_run(root)
    session.conf.set("spark.sql.files.maxPartitionBytes", "1")
    session.conf.set("spark.sql.files.openCostInBytes", "1")
    try:
        frame = on_spark.assess_files(session, str(root), knowledge_dir=str(KNOWLEDGE), max_bytes=MAX_BYTES,
                                      read_local=False)  # fmt: skip
        rows = frame.collect()
    finally:
        session.conf.unset("spark.sql.files.maxPartitionBytes")
        session.conf.unset("spark.sql.files.openCostInBytes")
    records = [on_spark.record_from_row(row) for row in rows]
    assert sorted(r["path"] for r in records) == sorted(expected)
    assert {r["path"]: r for r in records} == expected


def test_the_spark_schema_follows_the_published_one():
    schema = on_spark.record_spark_schema()
    published = record_schema()["$defs"]["file_record"]["properties"]
    assert schema.fieldNames() == [name for name in published if name not in ("schema_version", "record")]
    sections = schema["reading_plan"].dataType["sections"].dataType.elementType
    assert sections.fieldNames() == ["start", "end", "hint"]
    assert schema["platform"].dataType["probabilities"].dataType.simpleString() == "map<string,double>"
    assert not schema["path"].nullable and schema["lines"].nullable


def test_include_patterns_as_a_hadoop_glob():
    assert on_spark.hadoop_glob(["*.sql"]) == "*.[sS][qQ][lL]"
    assert on_spark.hadoop_glob(["*.{sql,q}"]) == "{*.[sS][qQ][lL],*.[qQ]}"
    with pytest.raises(ValueError, match=r"^include patterns name files, not folders or exceptions: 'a/\*.sql'$"):
        on_spark.hadoop_glob(["a/*.sql"])


def test_command_writes_parquet_and_the_summary(tree, session, tmp_path):
    _, summary = cli_run(tree)
    status = on_spark.main([str(tree), "--output", str(tmp_path / "out"), "--max-bytes", str(MAX_BYTES),
                            "--knowledge", str(KNOWLEDGE)])  # fmt: skip
    assert status == 1
    import pyarrow.parquet as pq

    table = pq.read_table(tmp_path / "out" / "records")
    assert table.num_rows == summary["files"]
    assert {"path", "complexity"} <= set(table.column_names)
    assert "level" in table.schema.field("complexity").type.names
    written = json.loads((tmp_path / "out" / "summary.json").read_text())
    for document in (written, summary):
        document.pop("seconds"), document.pop("left_out")
    assert written == summary
