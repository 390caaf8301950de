"""The record API (assess_bytes, Knowledge), the published record schema against real output,
and sql-assess at scale: the streaming search, --files-from, --shard, summarize, and the main
process's memory as the number of files grows."""

import codecs
import json
import os
import pickle
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from agents.transmute import assess
from agents.transmute.assess import Knowledge, KnowledgeError, assess_bytes, record_schema

KNOWLEDGE = Path(__file__).resolve().parents[1] / "examples" / "knowledge"
COMMAND = [sys.executable, "-m", "agents.transmute.assess"]
TSQL = "CREATE PROCEDURE dbo.p AS\nBEGIN\n  SELECT TOP 5 * INTO #t FROM dbo.Orders;\nEND\nGO\n"
LONG = "".join(f"SELECT {i} AS n FROM dbo.T{i % 7} WHERE x > {i};\n" for i in range(620))
MAX_BYTES = 30_000


def run(cwd, *args, stdin=None):
    return subprocess.run([*COMMAND, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=300,
                          input=stdin)  # fmt: skip


def jsonl(done):
    assert done.returncode in (0, 1), done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert lines[-1]["record"] == "summary"
    return lines[:-1], lines[-1]


def bare(record):
    return {k: v for k, v in record.items() if k not in ("schema_version", "record")}


@pytest.fixture(scope="module")
def estate(tmp_path_factory):
    """Scripts of every kind the records tell apart: encodings, undecodable, empty, too large,
    long (a reading plan), and a file that is not SQL."""
    root = tmp_path_factory.mktemp("scale") / "tree"
    files = {
        "plain.sql": TSQL.encode(),
        "bom.sql": codecs.BOM_UTF8 + b"SELECT NVL(a, 0) FROM dual;\n",
        "sub/utf16.sql": codecs.BOM_UTF16_LE + TSQL.replace("\n", "\r\n").encode("utf-16-le"),
        "sub/utf16be.sql": codecs.BOM_UTF16_BE + "SELECT 'Straße' AS s;\n".encode("utf-16-be"),
        "sub/bad.sql": b"SELECT '\xff\xfe\xfa' AS x;\n",
        "sub/nul.sql": b"SELECT 1;\x00\x00\x01\n",
        "empty.sql": b"",
        "long.sql": LONG.encode(),
        "big.sql": b"-- " + b"x" * MAX_BYTES + b"\n",
        "deep/a/b/merge.sql": b"WITH c AS (SELECT 1 AS id) MERGE INTO t USING c ON t.id = c.id "
                              b"WHEN MATCHED THEN UPDATE SET t.v = 1;\n",
        "notes.txt": b"not a script\n",
    }  # fmt: skip
    for relative, data in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


# ---------------------------------------------------------------------------------------------
# The record API


def test_assess_bytes_gives_the_commands_records(estate):
    """Every record of a run, decoding and failures included, equals assess_bytes on the file's
    bytes with the same knowledge and limit."""
    records, _ = jsonl(run(estate.parent, "tree", "--format", "jsonl", "--knowledge", KNOWLEDGE,
                           "--max-bytes", MAX_BYTES))  # fmt: skip
    knowledge = Knowledge.load(KNOWLEDGE)
    assert len(records) == 10
    by_reason = {}
    for record in records:
        data = (estate.parent / record["path"]).read_bytes()
        assert assess_bytes(data, record["path"], knowledge=knowledge, max_bytes=MAX_BYTES) == bare(record)
        by_reason.setdefault(record["reason"], []).append(record["path"])
    assert set(by_reason) == {None, "undecodable", "too_large"}
    assert sorted(by_reason["undecodable"]) == ["tree/sub/bad.sql", "tree/sub/nul.sql"]


def test_assess_bytes_options_and_errors():
    record = assess_bytes("SELECT 'café';\n".encode("cp1252"), "x.sql", fallback_encoding="cp1252")
    assert (record["status"], record["encoding"]) == ("assessed", "cp1252")
    assert assess_bytes(b"SELECT 1;\n")["path"] == ""
    assert assess_bytes(b"SELECT 1;\n", "a", max_bytes=4) == {
        "path": "a", "status": "not_assessed", "reason": "too_large", "detail": "10 bytes, over the limit of 4",
        "encoding": None, "bom": None, "size_bytes": None}  # fmt: skip
    assert assess_bytes(bytearray(b"SELECT 1;\n")) == assess_bytes(memoryview(b"SELECT 1;\n"))
    with pytest.raises(TypeError, match="^data must be bytes, not str$"):
        assess_bytes("SELECT 1;")


def test_knowledge_is_passed_not_held_by_the_module(tmp_path):
    """Two knowledge sets used in turn in one process give each its own selection: no state is
    left behind by the last call, and a Knowledge survives pickling (workers, executors)."""
    small = Knowledge(mapping="## Joins\njoin words here\n", gotchas="## Nulls\nnull words\n")
    full = Knowledge.load(KNOWLEDGE)
    data = TSQL.encode()
    first = assess_bytes(data, knowledge=small)["knowledge"]
    second = assess_bytes(data, knowledge=full)["knowledge"]
    assert first["full_tokens"] == small.full_tokens == 9
    assert second["full_tokens"] == full.full_tokens == 933
    assert assess_bytes(data, knowledge=small)["knowledge"] == first
    assert assess_bytes(data)["knowledge"] is None
    assert pickle.loads(pickle.dumps(full)) == full
    # Scripts of the same constructs share one selection, but each record owns its lists.
    mine, theirs = (assess_bytes(data, knowledge=full)["knowledge"] for _ in range(2))
    mine["mapping_sections"].append("edited")
    assert theirs == second and "edited" not in assess_bytes(data, knowledge=full)["knowledge"]["mapping_sections"]


def test_knowledge_folders_that_cannot_be_used(tmp_path):
    with pytest.raises(KnowledgeError, match="^mapping.md: no such file$"):
        Knowledge.load(tmp_path)
    (tmp_path / "mapping.md").write_text("## A\na\n")
    (tmp_path / "gotchas.md").write_text("## B\nb\n")
    assert Knowledge.load(tmp_path) == Knowledge("## A\na\n", "## B\nb\n", "")
    (tmp_path / "limitations.md").mkdir()
    with pytest.raises(KnowledgeError, match="^limitations.md: not a regular file$"):
        Knowledge.load(tmp_path)


# ---------------------------------------------------------------------------------------------
# The published schema


@pytest.fixture(scope="module")
def validator():
    jsonschema = pytest.importorskip("jsonschema")
    schema = record_schema()
    jsonschema.Draft202012Validator.check_schema(schema)
    assert schema["schema_version"] == assess.SCHEMA_VERSION
    return jsonschema.Draft202012Validator(schema)


def test_every_output_matches_the_schema(estate, validator, tmp_path):
    cwd = estate.parent
    options = ["--knowledge", KNOWLEDGE, "--max-bytes", MAX_BYTES]
    report = json.loads(run(cwd, "tree", "--format", "json", *options).stdout)
    lines = run(cwd, "tree", "--format", "jsonl", *options, "--shard", "1/2").stdout.splitlines()
    (tmp_path / "run.jsonl").write_text("\n".join(lines) + "\n")
    merged = json.loads(run(cwd, "summarize", tmp_path / "run.jsonl").stdout)
    plain = json.loads(run(cwd, "tree", "--format", "json").stdout)  # without knowledge
    documents = [report, plain, merged, *map(json.loads, lines)]
    documents += [assess_bytes(p.read_bytes(), str(p)) for p in sorted(estate.rglob("*.sql"))]
    for document in documents:
        errors = [error.message for error in validator.iter_errors(document)]
        assert not errors, (document.get("path"), errors[:3])
    assert {r["status"] for r in report["files"]} == {"assessed", "not_assessed"}
    assert any(r["reading_plan"] for r in report["files"] if r["status"] == "assessed")


def test_the_schema_rejects_broken_records(validator):
    record = assess_bytes(TSQL.encode(), "x.sql")
    assert validator.is_valid(record)
    broken = [
        {k: v for k, v in record.items() if k != "platform"},  # assessed, a field missing
        {**record, "status": "not_assessed", "reason": "error", "detail": "x"},  # not assessed with results
        {**record, "complexity": {**record["complexity"], "level": "hard"}},
        {**record, "extra": 1},
        {**record, "reading_plan": {"total_lines": 9, "first_read_lines": 9, "sections": [[1, 9]]}},
        {**assess_bytes(b"\xff", "y.sql"), "reason": "unknown_code"},
    ]
    assert [validator.is_valid(b) for b in broken] == [False] * len(broken)


# ---------------------------------------------------------------------------------------------
# Streaming, --files-from, --shard, summarize


def test_records_start_before_the_search_ends(tmp_path):
    """run() takes paths as workers free up: records come while the paths are still produced,
    and no worker is handed more than two batches ahead."""
    paths = []
    for i in range(120):
        (tmp_path / f"{i}.sql").write_text(f"SELECT {i};\n")
        paths.append(str(tmp_path / f"{i}.sql"))
    for jobs in (1, 2):
        events = []

        def produce():
            for path in paths:
                events.append("path")
                yield path

        assess.run(produce(), max_bytes=1000, jobs=jobs, on_record=lambda r: events.append("record"))
        assert events.count("record") == 120
        ahead = 1 if jobs == 1 else jobs * (2 * assess.WORKER_BATCH + 1)
        assert events.index("record") <= ahead, events
        held = 0
        for event in events:  # paths drawn and not yet answered
            held += 1 if event == "path" else -1
            assert held <= ahead, events


def test_paths_that_come_slowly_are_not_held_for_a_batch(tmp_path):
    """Two workers and a list that pauses: a batch of paths is cut at the pause, so the records
    already done are given before the paths after it are drawn."""
    paths = []
    for i in range(8):
        (tmp_path / f"{i}.sql").write_text(f"SELECT {i};\n")
        paths.append(str(tmp_path / f"{i}.sql"))
    events = []

    def produce():
        for i, path in enumerate(paths):
            if i == 4:
                time.sleep(2 * assess.WORKER_SEND_EVERY)
            events.append("path")
            yield path

    assess.run(produce(), max_bytes=1000, jobs=2, on_record=lambda r: events.append("record"))
    assert events.count("record") == 8
    drawn = [i for i, e in enumerate(events) if e == "path"]
    second_record = events.index("record", events.index("record") + 1)
    assert second_record < drawn[5], events


def test_each_file_is_searched_once_whatever_leads_to_it(tmp_path):
    (tmp_path / "a.sql").write_text("SELECT 1;\n")
    os.link(tmp_path / "a.sql", tmp_path / "hard.sql")
    (tmp_path / "z_link.sql").symlink_to(tmp_path / "a.sql")  # met after its target
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "b.sql").write_text("SELECT 2;\n")
    (tmp_path / "b_link.sql").symlink_to(tmp_path / "sub" / "b.sql")  # met before its target
    (tmp_path / "c.sql").write_text("SELECT 3;\n")
    (tmp_path / "sub" / "to_c.sql").symlink_to(tmp_path / "c.sql")  # target folder done earlier
    files, _ = assess.discover([str(tmp_path)], ["*.sql"], [])
    assert sorted(os.path.relpath(f, tmp_path) for f in files) == ["a.sql", "b_link.sql", "c.sql"]


def test_files_from_takes_a_list(estate):
    cwd = estate.parent
    listed = "tree/plain.sql\n\ntree/deep\ntree/missing.sql\r\ntree/plain.sql\n"
    for source in ("-", "list.txt"):
        (cwd / "list.txt").write_text(listed)
        records, summary = jsonl(run(cwd, "--files-from", source, "--format", "jsonl",
                                     stdin=listed if source == "-" else None))  # fmt: skip
        # In the order listed; a list is taken as it is (a path listed twice is assessed twice).
        assert [(r["path"], r["status"]) for r in records] == [
            ("tree/plain.sql", "assessed"), ("tree/deep/a/b/merge.sql", "assessed"),
            ("tree/missing.sql", "not_assessed"), ("tree/plain.sql", "assessed")]  # fmt: skip
        assert summary["files"] == 4
    done = run(cwd, "--files-from", "nowhere.txt")
    assert done.returncode == 2 and "--files-from nowhere.txt: not a readable file" in done.stderr
    done = run(cwd, "--format", "json")
    assert done.returncode == 2 and "give at least one PATH or --files-from" in done.stderr


def test_shards_merged_by_summarize_equal_one_run(estate, tmp_path):
    cwd = estate.parent
    options = ["--format", "jsonl", "--max-bytes", MAX_BYTES, "--knowledge", KNOWLEDGE]
    whole_records, whole = jsonl(run(cwd, "tree", *options))
    shard_paths, runs = [], []
    for k in (1, 2, 3):
        out = tmp_path / f"shard{k}.jsonl"
        done = run(cwd, "tree", *options, "--shard", f"{k}/3", "-o", out)
        assert done.returncode in (0, 1) and done.stdout == "", done.stderr
        records, summary = jsonl(subprocess.CompletedProcess([], 0, out.read_text(), ""))
        assert summary["shard"] == [k, 3]
        shard_paths.append({r["path"] for r in records})
        runs.append(out)
    # A partition: each file in exactly one shard, none lost.
    assert sum(map(len, shard_paths)) == len(whole_records) and set.union(*shard_paths) == {
        r["path"] for r in whole_records}
    done = run(cwd, "summarize", *runs)
    merged = json.loads(done.stdout)
    assert done.returncode == 1  # files not assessed, as in the single run
    for summary in (merged, whole):
        summary.pop("seconds")
    whole.pop("schema_version"), merged.pop("schema_version")
    assert merged == whole
    assert sum(whole["categories"].values()) >= sum(n for _, n in whole["top_categories"])

    missing = run(cwd, "summarize", runs[0], runs[2])
    assert missing.returncode == 1 and "sql-assess summarize: shard(s) 2/3 missing" in missing.stderr
    twice = run(cwd, "summarize", runs[0], runs[0])
    assert twice.returncode == 2 and f"sql-assess summarize: {runs[0]}: shard 1/3 given twice" in twice.stderr
    fullest = max(runs, key=lambda r: len(r.read_text().splitlines()))
    (tmp_path / "cut.jsonl").write_text(fullest.read_text().splitlines()[0] + "\n")
    cut = run(cwd, "summarize", tmp_path / "cut.jsonl")
    assert cut.returncode == 1 and "no summary line (the run did not finish)" in cut.stderr
    (tmp_path / "junk.jsonl").write_text("{}\n")
    junk = run(cwd, "summarize", tmp_path / "junk.jsonl")
    assert junk.returncode == 2 and f"{tmp_path / 'junk.jsonl'}:1: not a jsonl record of sql-assess" in junk.stderr


@pytest.mark.parametrize(("value", "message"), [("0/2", "K must be from 1 to N: '0/2'"),
                                                 ("3/2", "K must be from 1 to N: '3/2'"),
                                                 ("2", "not a shard: '2' (K/N, e.g. 1/4)")])  # fmt: skip
def test_bad_shards_are_usage_errors(estate, value, message):
    done = run(estate.parent, "tree", "--shard", value)
    assert done.returncode == 2 and message in done.stderr


def test_version():
    done = run(".", "--version")
    assert done.returncode == 0 and done.stdout.startswith("sql-assess ")


# ---------------------------------------------------------------------------------------------
# Memory


PEAK_RSS = textwrap.dedent("""
    import json, resource, subprocess, sys
    process = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE)
    for last in process.stdout:
        pass
    assert process.wait() == 0
    print(json.loads(last)["files"], resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
""")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine and shadow memory are not the command's")
def test_main_process_memory_stays_flat_as_files_grow(tmp_path):
    """Peak memory of a jsonl run over 1,000 and over 8,000 files (copies: hard links would be
    assessed once): records are written and dropped, so the larger run may not hold much more."""
    sources = []
    for i, text in enumerate([TSQL, "SELECT a, COUNT(*) FROM t GROUP BY a;\n", LONG[:3000]]):
        sources.append(tmp_path / f"source{i}.sql")
        sources[-1].write_text(text)
    contents = [p.read_bytes() for p in sources]
    peaks = {}
    for count in (1000, 8000):
        tree = tmp_path / f"tree{count}"
        for i in range(count):
            folder = tree / f"d{i // 500}"
            folder.mkdir(parents=True, exist_ok=True)
            (folder / f"f{i}.sql").write_bytes(contents[i % 3])
        done = subprocess.run([sys.executable, "-c", PEAK_RSS, *COMMAND, str(tree), "--format", "jsonl", "-j", "1"],
                              capture_output=True, text=True, timeout=600)  # fmt: skip
        assert done.returncode == 0, done.stderr
        files, peak = map(int, done.stdout.split())
        assert files == count
        peaks[count] = peak / 1024  # MiB
    # Holding every record would add about 7 KB a file, some 50 MB here.
    assert peaks[8000] - peaks[1000] < 15, peaks
