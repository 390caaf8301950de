"""sql-assess at scale: the main process's peak memory as the number of files grows, the time to
the first record on a large tree, and Spark (local[2]) against `sql-assess -j 2` in throughput.

    .venv/bin/python bench/bench_scale.py [--counts 5000,30000,60000] [--gigabytes 1.0] [--no-spark]

Trees are built from a few generated T-SQL scripts (bench/corpus.py). sql-assess assesses a file
reached by several paths once (it tells files apart by device and inode), so a tree of hard links
of a few scripts would be a handful of files to it: every file of these trees is a copy, its own
inode (60,000 small files are written in seconds). The command runs in a subprocess with
`--format jsonl` and `-j 2`; its peak resident memory is read from /proc (VmHWM of the main
process, not of its workers) while it runs. The Spark figure excludes the JVM start: the session is started and
warmed on a small tree before the timed run. Needs the `spark` extra and Java for that part.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from corpus import script  # noqa: E402

COMMAND = [sys.executable, "-m", "agents.transmute.assess"]


def sources(folder: Path, sizes: list[int]) -> list[Path]:
    rng = random.Random(7)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, size in enumerate(sizes):
        path = folder / f"source{i}.sql"
        path.write_text(script(rng, size))
        paths.append(path)
    return paths


def linked_tree(root: Path, originals: list[Path], count: int) -> Path:
    """`count` files in folders of 500, each a copy of one of `originals` (its own inode, so the
    command assesses every one), written from memory."""
    contents = [p.read_bytes() for p in originals]
    for i in range(count):
        folder = root / f"d{i // 500:04d}"
        if i % 500 == 0:
            folder.mkdir(parents=True)
        (folder / f"f{i:07d}.sql").write_bytes(contents[i % len(contents)])
    return root


def peak_memory(tree: Path, jobs: int = 2) -> tuple[float, float]:
    """(peak RSS of the main process in MiB, seconds) of a jsonl run over `tree`."""
    started = time.perf_counter()
    process = subprocess.Popen([*COMMAND, str(tree), "--format", "jsonl", "-j", str(jobs)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
    peak = 0
    status = Path(f"/proc/{process.pid}/status")
    while process.poll() is None:
        try:
            for line in status.read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.05)
    return peak / 1024, time.perf_counter() - started


def first_record(tree: Path, jobs: int = 2) -> float:
    started = time.perf_counter()
    process = subprocess.Popen([*COMMAND, str(tree), "--format", "jsonl", "-j", str(jobs)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)  # fmt: skip
    process.stdout.readline()
    elapsed = time.perf_counter() - started
    process.kill()
    process.wait()
    return elapsed


def throughput_cli(tree: Path, size: int, jobs: int = 2) -> float:
    started = time.perf_counter()
    subprocess.run([*COMMAND, str(tree), "--format", "jsonl", "-j", str(jobs), "-o", os.devnull], check=False)
    return size / (time.perf_counter() - started) / 1e6


def throughput_spark(tree: Path, warm: Path, size: int) -> float:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    from agents.transmute.spark import assess_files

    spark = (SparkSession.builder.master("local[2]").appName("bench-scale")
             .config("spark.ui.enabled", "false").getOrCreate())  # fmt: skip
    spark.sparkContext.setLogLevel("ERROR")
    try:
        assess_files(spark, str(warm)).write.format("noop").mode("overwrite").save()  # JVM and workers up
        started = time.perf_counter()
        assess_files(spark, str(tree)).write.format("noop").mode("overwrite").save()
        return size / (time.perf_counter() - started) / 1e6
    finally:
        spark.stop()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--counts", default="5000,30000,60000")
    parser.add_argument("--gigabytes", type=float, default=1.0, help="size of the throughput tree")
    parser.add_argument("--no-spark", action="store_true")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    work = Path(tempfile.mkdtemp(prefix="bench-scale-"))
    try:
        small = sources(work / "small", [300, 600, 1_200, 2_400])
        print(f"memory, --format jsonl -j 2 (sources {[p.stat().st_size for p in small]} bytes):")
        peaks = {}
        for count in counts:
            tree = linked_tree(work / f"tree{count}", small, count)
            peaks[count], seconds = peak_memory(tree)
            print(f"  {count:>7} files: main process peak {peaks[count]:6.1f} MiB, {seconds:6.1f} s "
                  f"({count / seconds:,.0f} files/s)")  # fmt: skip
        base = peaks[counts[0]]
        print(f"  growth from {counts[0]} to {counts[-1]} files: {(peaks[counts[-1]] / base - 1) * 100:+.1f}%")
        largest = work / f"tree{counts[-1]}"
        print(f"time to first record on {counts[-1]} files: {first_record(largest):.2f} s")
        for count in counts:
            shutil.rmtree(work / f"tree{count}")

        big = sources(work / "big", [20_000, 80_000, 250_000, 1_000_000])
        each = sum(p.stat().st_size for p in big) / len(big)
        count = int(args.gigabytes * 1e9 / each)
        tree = linked_tree(work / "gb", big, count)
        size = sum(big[i % len(big)].stat().st_size for i in range(count))
        print(f"throughput on {count} files, {size / 1e9:.2f} GB:")
        cli = throughput_cli(tree, size)
        print(f"  sql-assess -j 2:  {cli:6.2f} MB/s")
        if not args.no_spark:
            warm = linked_tree(work / "warm", big[:2], 8)
            spark = throughput_spark(tree, warm, size)
            print(f"  Spark local[2]:   {spark:6.2f} MB/s ({spark / cli * 100:.0f}% of sql-assess -j 2)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
