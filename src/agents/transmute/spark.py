"""Assessment of SQL scripts on a Spark cluster: the records of `sql-assess`, one row per file.

Spark's `binaryFile` source lists the files; `mapInArrow` hands each batch of them to the
executors, which read files on a local or mounted file system themselves (`assess_path`, as the
command does) and get the content of others from `binaryFile` (`assess_bytes`), so the native
modules run where the data is. The row schema is derived from the
published record schema (`record_schema.json`), so a row is a record: `record_from_row` gives
back the dict `sql-assess --format jsonl` writes for the same file. Needs the `spark` extra
(pyspark, pyarrow) and the package installed on every executor (see the README).

    python -m agents.transmute.spark INPUT... --output DIR [--master local[2]]

writes `DIR/records` (Parquet) and `DIR/summary.json`.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Iterator, Sequence
from urllib.parse import unquote, urlparse

# isort: off
from agents.transmute.assess import (
    DEFAULT_INCLUDE, DEFAULT_MAX_BYTES, SCHEMA_VERSION, Knowledge, Summary, _expand_braces, assess_bytes,
    assess_path, quiet_module_logs, record_schema, too_large_record,
)  # fmt: skip
# isort: on

# How many of the scan's partitions at most are merged into one task.
_MERGED_PARTITIONS = 8
# Fields of the jsonl lines only; a row is the record itself.
_JSONL_ONLY = ("schema_version", "record")


def _file_record_schema() -> dict:
    return record_schema()["$defs"]["file_record"]


def _spark_type(node: dict):
    """The Spark type of a JSON Schema node, and whether it may be null. Objects with
    properties become structs, objects of free keys maps, arrays with `prefixItems` (the
    reading plan's [start, end, hint]) structs whose fields are named by each item's title."""
    from pyspark.sql import types as T

    kinds = node.get("type")
    kinds = kinds if isinstance(kinds, list) else [kinds]
    nullable = "null" in kinds
    kind = next(k for k in kinds if k != "null")
    if kind == "array" and "prefixItems" in node:
        fields = [T.StructField(item.get("title", f"_{i}"), *_spark_type(item)) for i, item in enumerate(node["prefixItems"])]
        return T.StructType(fields), nullable
    if kind == "array":
        element, element_nullable = _spark_type(node["items"])
        return T.ArrayType(element, element_nullable), nullable
    if kind == "object" and "properties" in node:
        fields = [T.StructField(name, *_spark_type(child)) for name, child in node["properties"].items()
                  if name not in _JSONL_ONLY]  # fmt: skip
        return T.StructType(fields), nullable
    if kind == "object":
        value, value_nullable = _spark_type(node["additionalProperties"])
        return T.MapType(T.StringType(), value, value_nullable), nullable
    scalar = {"string": T.StringType(), "integer": T.LongType(), "number": T.DoubleType(), "boolean": T.BooleanType()}
    return scalar[kind], nullable


def record_spark_schema():
    """The Spark schema of a row: the file record's fields as columns, derived from the
    published JSON Schema. Fields a file not assessed lacks are null in its row."""
    from pyspark.sql import types as T

    node = _file_record_schema()
    required = set(node["required"])
    fields = []
    for name, child in node["properties"].items():
        if name in _JSONL_ONLY:
            continue
        data_type, nullable = _spark_type(child)
        fields.append(T.StructField(name, data_type, nullable or name not in required))
    return T.StructType(fields)


def _to_row(value, node: dict):
    """A record value as Arrow takes it for the derived type: [start, end, hint] as a struct,
    free-key objects as key/value pairs."""
    if value is None:
        return None
    if "prefixItems" in node:
        return {item.get("title", f"_{i}"): v for i, (item, v) in enumerate(zip(node["prefixItems"], value))}
    if isinstance(value, list):
        return [_to_row(v, node["items"]) for v in value]
    if isinstance(value, dict):
        if "properties" in node:
            return {k: _to_row(value.get(k), child) for k, child in node["properties"].items() if k not in _JSONL_ONLY}
        return [(k, _to_row(v, node["additionalProperties"])) for k, v in value.items()]
    return value


def _from_row(value, node: dict):
    if value is None:
        return None
    if "prefixItems" in node:
        return [value[item.get("title", f"_{i}")] for i, item in enumerate(node["prefixItems"])]
    if isinstance(value, list):
        return [_from_row(v, node["items"]) for v in value]
    if isinstance(value, dict):
        if "properties" in node:
            return {k: _from_row(value[k], child) for k, child in node["properties"].items()
                    if k not in _JSONL_ONLY and k in value}  # fmt: skip
        return {k: _from_row(v, node["additionalProperties"]) for k, v in value.items()}
    return value


def record_from_row(row) -> dict:
    """The record (as `assess_bytes` returns it) of a row of `assess_files`: a file not assessed
    gets back its seven fields only."""
    node = _file_record_schema()
    data = row.asDict(recursive=True) if hasattr(row, "asDict") else dict(row)
    record = _from_row(data, node)
    if record["status"] != "assessed":
        record = {k: record[k] for k in node["required"]}
    return record


def local_path(uri: str) -> str:
    """The path Spark gives a file (`file:/a/b%20c.sql`) as the local path (`/a/b c.sql`);
    other file systems keep their URI."""
    parsed = urlparse(uri)
    return unquote(parsed.path) if parsed.scheme == "file" else uri


def _as_path_column(uri: str) -> str:
    """A listed file's URI (`file:/a/b%20c.sql`, as `inputFiles` gives it) written as binaryFile's
    `path` column writes it (Hadoop's Path text, not escaped: `file:/a/b c.sql`)."""
    parsed = urlparse(uri)
    path = unquote(parsed.path)
    return f"{parsed.scheme}://{parsed.netloc}{path}" if parsed.netloc else f"{parsed.scheme}:{path}"


def hadoop_glob(include: Sequence[str]) -> str:
    """File-name patterns (`*.sql`, `*.{sql,sqlx}`) as one Hadoop glob for binaryFile's
    `pathGlobFilter`, with letters matched in either case as sql-assess matches them."""
    names = []
    for pattern in include:
        for expanded in _expand_braces(pattern):
            if "/" in expanded or expanded.startswith("!"):
                raise ValueError(f"include patterns name files, not folders or exceptions: {pattern!r}")
            names.append("".join(f"[{c.lower()}{c.upper()}]" if c.isalpha() else c for c in expanded))
    if not names:
        raise ValueError("include must name at least one pattern")
    return names[0] if len(names) == 1 else "{" + ",".join(names) + "}"


def _assess_batches(spark_schema, records_of):
    """The function each executor runs over its Arrow batches: `records_of(batch)` gives the
    batch's records, which go back as rows of the derived schema."""

    def assess_batches(batches: Iterator) -> Iterator:
        import pyarrow as pa
        from pyspark.sql.pandas.types import to_arrow_schema

        quiet_module_logs()
        node = _file_record_schema()
        arrow_schema = to_arrow_schema(spark_schema)
        for batch in batches:
            rows = [_to_row(record, node) for record in records_of(batch)]
            yield pa.RecordBatch.from_pylist(rows, schema=arrow_schema)

    return assess_batches


def _assess_partition(spark_schema, knowledge: Knowledge | None, max_bytes: int, fallback: str | None):
    """The executors' function over batches of (path, length, content) from binaryFile."""

    def records_of(batch) -> Iterator[dict]:
        lengths = batch.column("length").to_pylist()
        contents = batch.column("content")
        for i, uri in enumerate(batch.column("path").to_pylist()):
            path = local_path(uri)
            content = contents[i].as_py()
            if content is None:  # left unread: over the limit
                yield too_large_record(path, lengths[i], max_bytes)
            else:
                yield assess_bytes(content, path, knowledge=knowledge, max_bytes=max_bytes,
                                   fallback_encoding=fallback)  # fmt: skip

    return _assess_batches(spark_schema, records_of)


def _assess_local_partition(spark_schema, knowledge: Knowledge | None, max_bytes: int, fallback: str | None):
    """The executors' function over batches of local file URIs: each file is read here, as
    sql-assess reads it."""

    def records_of(batch) -> Iterator[dict]:
        for uri in batch.column("path").to_pylist():
            yield assess_path(local_path(uri), max_bytes, fallback, knowledge)

    return _assess_batches(spark_schema, records_of)


def assess_files(spark, paths: str | Sequence[str], *, include: Sequence[str] = DEFAULT_INCLUDE,
                 knowledge_dir: str | None = None, max_bytes: int = DEFAULT_MAX_BYTES,
                 fallback_encoding: str | None = None, read_local: bool = True):
    """A DataFrame with one row per file below `paths` (files or folders, searched
    recursively) whose name matches one of the `include` file-name patterns (letter case
    ignored; default: the SQL extensions of sql-assess). The columns are the file record's
    fields (`record_spark_schema`); files not assessed (undecodable, over `max_bytes`) are rows
    too, with their reason. Files over `max_bytes` are not read. The knowledge folder is read
    here, on the driver, and shipped with the job.

    Files on a local (or mounted) file system are read by the executors' Python, as the command
    reads them; with `read_local=False`, and for other file systems, Spark's `binaryFile` source
    reads them. Empty files are rows too, although Spark's scans skip them. As Spark lists files: names starting with `_` or `.` are skipped, links are followed,
    `.gitignore` files are not read, and a path that does not exist fails the job."""
    from pyspark.sql import functions as F

    knowledge = Knowledge.load(knowledge_dir) if knowledge_dir else None
    paths = [paths] if isinstance(paths, str) else list(paths)
    found = (spark.read.format("binaryFile").option("pathGlobFilter", hadoop_glob(include))
             .option("recursiveFileLookup", "true").load(paths))  # fmt: skip
    schema = record_spark_schema()
    listed = found.inputFiles()
    if read_local and listed and all(urlparse(uri).scheme == "file" for uri in listed):
        # The JVM's read of the content and its hand-off through Arrow cost more than the
        # assessment. The listing is Spark's, so the same files are taken, empty ones included.
        slices = min(len(listed), 4 * spark.sparkContext.defaultParallelism)
        uris = spark.createDataFrame(spark.sparkContext.parallelize([(uri,) for uri in listed], slices), "path string")
        return uris.mapInArrow(_assess_local_partition(schema, knowledge, max_bytes, fallback_encoding), schema)
    # binaryFile checks `length` before it reads a file: files over the limit stay unread.
    small = found.filter(F.col("length") <= max_bytes).select("path", "length", "content")
    large = found.filter(F.col("length") > max_bytes).select("path", "length", F.lit(None).cast("binary").alias("content"))
    read = small.unionByName(large)
    # Spark's file scans drop files of length 0, which its listing still holds. A count of the
    # scan's rows (which reads no content) tells whether any is missing; only then are they
    # found, as the listed paths that no scan row has.
    if listed and found.select("path").count() < len(listed):
        every = spark.createDataFrame([(_as_path_column(uri),) for uri in listed], "path string")
        empty = every.join(found.select("path"), "path", "left_anti").select(
            "path", F.lit(0).cast("long").alias("length"), F.lit("").cast("binary").alias("content"))
        read = read.unionByName(empty)
    # The scans pack small files into many partitions (each file weighs at least Spark's 4 MB
    # open cost), and each partition would be a task with its own hand-off to Python, which
    # costs more than assessing a few dozen scripts. Neighbouring partitions are merged, up to
    # _MERGED_PARTITIONS in a task, leaving at least two tasks per core.
    partitions = read.rdd.getNumPartitions()
    wanted = max(2 * spark.sparkContext.defaultParallelism, -(-partitions // _MERGED_PARTITIONS))
    if wanted < partitions:
        read = read.coalesce(wanted)
    return read.mapInArrow(_assess_partition(schema, knowledge, max_bytes, fallback_encoding), schema)


def summarize_rows(rows) -> dict:
    """The summary of `sql-assess` over rows of `assess_files` (an iterable: pass
    `df.toLocalIterator()` to keep the driver's memory flat). Spark selects files by name only,
    so `left_out` counts are zero."""
    totals = Summary()
    for row in rows:
        totals.add(record_from_row(row))
    summary = totals.to_dict()
    summary["left_out"] = totals.left_out
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m agents.transmute.spark",
        description="Assess SQL scripts on Spark: Parquet rows of the sql-assess file records, and the summary.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="files or folders (any path Spark reads)")
    parser.add_argument("--output", required=True, metavar="DIR", help="writes DIR/records (Parquet) and DIR/summary.json")
    parser.add_argument("--master", help="Spark master (default: as spark-submit or the environment sets it)")
    parser.add_argument("--include", action="append", metavar="PATTERN", help="file-name pattern (repeatable)")
    parser.add_argument("--knowledge", metavar="DIR", help="folder with mapping.md, gotchas.md, limitations.md")
    parser.add_argument("--max-bytes", type=int, default=DEFAULT_MAX_BYTES, metavar="N")
    args = parser.parse_args(argv)  # fmt: skip
    from pyspark.sql import SparkSession

    builder = SparkSession.builder.appName("sql-assess")
    if args.master:
        builder = builder.master(args.master)
        if args.master.startswith("local"):
            # Local executors run this interpreter (the one with the package), not `python3`.
            os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = builder.getOrCreate()
    try:
        started = time.perf_counter()
        frame = assess_files(spark, args.inputs, include=args.include or DEFAULT_INCLUDE,
                             knowledge_dir=args.knowledge, max_bytes=args.max_bytes)  # fmt: skip
        records = os.path.join(args.output, "records")
        frame.write.mode("overwrite").parquet(records)
        summary = summarize_rows(spark.read.parquet(records).toLocalIterator())
        summary["seconds"] = round(time.perf_counter() - started, 3)
        with open(os.path.join(args.output, "summary.json"), "w", encoding="utf-8") as handle:
            json.dump({"schema_version": SCHEMA_VERSION, "record": "summary", **summary}, handle, indent=2)
            handle.write("\n")
    finally:
        spark.stop()
    print(f"{summary['files']} files ({summary['assessed']} assessed, {summary['not_assessed']} not assessed): "
          f"{records}, {os.path.join(args.output, 'summary.json')}", file=sys.stderr)  # fmt: skip
    return 1 if summary["not_assessed"] else 0


if __name__ == "__main__":
    sys.exit(main())
