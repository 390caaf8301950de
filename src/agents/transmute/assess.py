"""sql-assess: assesses a tree of SQL scripts in one run, without a database or a network.

For every script it reports the complexity level and counts, the turn budgets, the construct
categories, the source platform with its evidence, the reading plan of long files, the encoding
found and, with --knowledge, the knowledge kept for the prompt. Entry points: the `sql-assess`
console script and `python -m agents.transmute.assess`. Tested in tests/test_assess*.py.
"""

from __future__ import annotations

import argparse
import codecs
import collections
import csv
import fnmatch
import io
import json
import logging
import multiprocessing
import os
import stat
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from pathlib import Path

SCHEMA_VERSION = 1
DEFAULT_INCLUDE = "*.sql"
DEFAULT_MAX_BYTES = 32 * 1024 * 1024
LEVELS = ("simple", "moderate", "complex")
KNOWLEDGE_FILES = {"mapping": "mapping.md", "gotchas": "gotchas.md", "limitations": "limitations.md"}
# A progress bar is worth drawing only for runs that take a while.
PROGRESS_MIN_FILES = 50
PROGRESS_MIN_BYTES = 20 * 1024 * 1024
TOP_CATEGORIES = 10

EXIT_OK, EXIT_NOT_ASSESSED, EXIT_USAGE = 0, 1, 2

# Longest marks first: the UTF-32 LE mark begins with the UTF-16 LE one.
_BOMS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)

CSV_COLUMNS = [
    "path", "status", "reason", "detail", "encoding", "bom", "size_bytes", "lines", "level",
    "effective_lines", "stored_proc_count", "complex_construct_count", "moderate_construct_count",
    "temp_table_count", "cte_count", "analysis_turns", "conversion_turns", "audit_turns",
    "categories", "platform", "platform_confidence", "platform_reason", "platform_evidence",
    "reading_sections", "knowledge_tokens", "knowledge_full_tokens", "knowledge_reduction_pct",
]  # fmt: skip


class NotAssessed(Exception):
    """A file that the run reports instead of assessing: `reason` is a fixed code."""

    def __init__(self, reason: str, detail: str):
        super().__init__(f"{reason}: {detail}")
        self.reason, self.detail = reason, detail


# ---------------------------------------------------------------------------------------------
# Reading and decoding


def _utf16_without_bom(data: bytes) -> str | None:
    """"utf-16-le" or "utf-16-be" when the bytes look like BOM-less UTF-16 text: SQL is mostly
    ASCII, so in such a file every other byte is zero. None otherwise."""
    sample = data[:4096]
    if len(data) % 2 or len(sample) < 4:
        return None
    even_zero = sample[0::2].count(0)
    odd_zero = sample[1::2].count(0)
    pairs = len(sample) // 2
    if odd_zero >= 0.6 * pairs and even_zero == 0:
        return "utf-16-le"
    if even_zero >= 0.6 * pairs and odd_zero == 0:
        return "utf-16-be"
    return None


def decode(data: bytes) -> tuple[str, str, bool]:
    """The text of a script, its encoding and whether it carried a byte-order mark.

    A byte-order mark decides first (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE); without one, strict
    UTF-8. A UTF-8 mark stays in the text as U+FEFF, as `Path.read_text(encoding="utf-8")` keeps
    it, so a UTF-8 file's results equal `classify_sql_file`'s; the other marks are not text. Text holding NUL characters is BOM-less UTF-16 when its
    zero bytes say so, and undecodable otherwise. Line endings are translated as
    `Path.read_text` translates them: "\\r\\n" and "\\r" become "\\n".
    Raises UnicodeDecodeError or NotAssessed.
    """
    for mark, encoding in _BOMS:
        if data.startswith(mark):
            text = (data if encoding == "utf-8" else data[len(mark) :]).decode(encoding)
            bom = True
            break
    else:
        encoding, bom = "utf-8", False
        text = data.decode("utf-8")
        if "\x00" in text:
            guessed = _utf16_without_bom(data)
            if guessed is None:
                raise NotAssessed("undecodable", "NUL characters in the text (binary file?)")
            text, encoding = data.decode(guessed), guessed
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text, encoding, bom


def read_script(path: str, max_bytes: int) -> tuple[str, str, bool, int]:
    """Text, encoding, byte-order mark and size of one file. Raises NotAssessed."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        reason = "a broken link" if os.path.islink(path) else "no such file"
        raise NotAssessed("unreadable", reason) from None
    except OSError as error:
        raise NotAssessed("unreadable", error.strerror or str(error)) from None
    if not stat.S_ISREG(info.st_mode):
        raise NotAssessed("not_a_file", "not a regular file")
    if info.st_size > max_bytes:
        raise NotAssessed("too_large", f"{info.st_size} bytes, over the limit of {max_bytes}")
    try:
        with open(path, "rb") as handle:
            data = handle.read(max_bytes + 1)
    except OSError as error:
        raise NotAssessed("unreadable", error.strerror or str(error)) from None
    if len(data) > max_bytes:
        raise NotAssessed("too_large", f"over the limit of {max_bytes} bytes")
    try:
        text, encoding, bom = decode(data)
    except UnicodeDecodeError as error:
        raise NotAssessed(
            "undecodable", f"not valid {error.encoding}: {error.reason} at byte {error.start}"
        ) from None
    return text, encoding, bom, len(data)


class _TextSource:
    """Hands already decoded text to the module functions that read a path."""

    __slots__ = ("text",)

    def __init__(self, text: str):
        self.text = text

    def read_text(self, encoding: str = "utf-8") -> str:
        return self.text


# ---------------------------------------------------------------------------------------------
# Assessing one file (runs in the worker processes)


def quiet_module_logs() -> None:
    """The modules log debug events through structlog; keep them out of the report."""
    import structlog

    structlog.configure(
        wrapper_class=structlog.make_filtering_bound_logger(logging.WARNING),
        logger_factory=structlog.PrintLoggerFactory(sys.stderr),
        cache_logger_on_first_use=True,
    )


def load_knowledge(folder: str) -> dict[str, str]:
    """The three knowledge documents of a folder; limitations.md may be missing."""
    documents = {}
    for key, name in KNOWLEDGE_FILES.items():
        path = Path(folder, name)
        if key == "limitations" and not path.exists():
            documents[key] = ""
            continue
        documents[key] = decode(path.read_bytes())[0]
    return documents


_knowledge: dict[str, str] | None = None
_knowledge_full_tokens = 0


def init_worker(knowledge_dir: str | None) -> None:
    global _knowledge, _knowledge_full_tokens
    quiet_module_logs()
    _knowledge = load_knowledge(knowledge_dir) if knowledge_dir else None
    if _knowledge is not None:
        _knowledge_full_tokens = len(_knowledge["mapping"].split()) + len(_knowledge["gotchas"].split())


def _section_titles(selected: str) -> list[str]:
    return [line.lstrip("#").strip() for line in selected.split("\n") if line.startswith("## ")]


def assess_text(text: str) -> dict:
    """Everything the report says about one script's text."""
    from agents.transmute.complexity import classify_sql, plan_reading_strategy
    from agents.transmute.lorepick import detect_construct_categories, select_knowledge
    from agents.transmute.originscan import detect_platform

    result = classify_sql(text)
    categories = detect_construct_categories(text)
    # The platform markers read line starts; a byte-order mark is not part of line 1's text.
    verdict = detect_platform(text.removeprefix("\ufeff"))
    plan = plan_reading_strategy(_TextSource(text))
    record = {
        "lines": plan.total_lines,
        "complexity": {
            "level": str(result.complexity),
            "effective_lines": result.effective_lines,
            "stored_proc_count": result.stored_proc_count,
            "complex_construct_count": result.complex_construct_count,
            "moderate_construct_count": result.moderate_construct_count,
            "temp_table_count": result.temp_table_count,
            "cte_count": result.cte_count,
        },
        "turns": {
            "analysis": result.recommended_analysis_turns,
            "conversion": result.recommended_conversion_turns,
            "audit": result.recommended_audit_turns,
        },
        "categories": sorted(categories),
        "platform": verdict.to_dict(),
        "reading_plan": None,
        "knowledge": None,
    }
    if plan.should_chunk:
        record["reading_plan"] = {
            "total_lines": plan.total_lines,
            "first_read_lines": plan.first_read_lines,
            "sections": [list(section) for section in plan.section_boundaries],
        }
    if _knowledge is not None:
        selected = select_knowledge(
            set(categories),
            full_mapping=_knowledge["mapping"],
            full_gotchas=_knowledge["gotchas"],
            full_limitations=_knowledge["limitations"],
        )
        tokens = len(selected["mapping"].split()) + len(selected["gotchas"].split())
        record["knowledge"] = {
            "mapping_sections": _section_titles(selected["mapping"]),
            "gotcha_sections": _section_titles(selected["gotchas"]),
            "limitations_included": bool(selected["limitations"]),
            "token_estimate": tokens,
            "full_tokens": _knowledge_full_tokens,
            "reduction_pct": round((1 - tokens / max(_knowledge_full_tokens, 1)) * 100),
        }
    return record


def assess_path(path: str, max_bytes: int) -> dict:
    """The report record of one file; a file that cannot be assessed says why."""
    record: dict = {"path": path, "status": "assessed", "reason": None, "detail": None}
    try:
        text, encoding, bom, size = read_script(path, max_bytes)
        record.update(encoding=encoding, bom=bom, size_bytes=size)
        record.update(assess_text(text))
    except NotAssessed as error:
        record.update(status="not_assessed", reason=error.reason, detail=error.detail)
    except Exception as error:  # noqa: BLE001 - one bad file must not end the run
        record.update(status="not_assessed", reason="error", detail=f"{type(error).__name__}: {error}")
    if record["status"] != "assessed":
        for key in ("encoding", "bom", "size_bytes"):
            record.setdefault(key, None)
    return record


def _not_assessed(path: str, reason: str, detail: str) -> dict:
    return {"path": path, "status": "not_assessed", "reason": reason, "detail": detail,
            "encoding": None, "bom": None, "size_bytes": None}  # fmt: skip


# ---------------------------------------------------------------------------------------------
# Finding the files


def _matches(patterns: list[str], name: str, relative: str) -> bool:
    name, relative = name.lower(), relative.lower()
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p) for p in patterns)


def discover(inputs: list[str], includes: list[str], excludes: list[str]) -> tuple[list[str], list[dict]]:
    """Files to assess, in a stable order, and the inputs that could not be searched.

    A file named on the command line is always assessed. In a folder, a file is taken when its
    name or its path below the folder matches an include glob and none of the exclude globs;
    a folder matching an exclude glob is not entered. Globs ignore letter case. Linked folders
    are followed once each.
    """
    includes = [p.lower() for p in includes]
    excludes = [p.lower() for p in excludes]
    files: list[str] = []
    problems: list[dict] = []
    seen: set[str] = set()
    visited: set[tuple[int, int]] = set()

    def add(path: str) -> None:
        key = os.path.normpath(path)
        if key not in seen:
            seen.add(key)
            files.append(path)

    for given in inputs:
        if not os.path.isdir(given):
            if os.path.lexists(given):
                add(given)
            else:
                problems.append(_not_assessed(given, "unreadable", "no such file or folder"))
            continue

        def walk_error(error: OSError) -> None:
            problems.append(_not_assessed(error.filename or given, "unreadable", f"folder: {error.strerror}"))

        for folder, dirnames, filenames in os.walk(given, onerror=walk_error, followlinks=True):
            info = os.stat(folder)
            if (info.st_dev, info.st_ino) in visited:
                dirnames[:] = []
                continue
            visited.add((info.st_dev, info.st_ino))
            relative_folder = os.path.relpath(folder, given)
            relative_folder = "" if relative_folder == "." else relative_folder.replace(os.sep, "/") + "/"
            dirnames[:] = sorted(d for d in dirnames if not _matches(excludes, d, relative_folder + d))
            for name in sorted(filenames):
                relative = relative_folder + name
                if _matches(includes, name, relative) and not _matches(excludes, name, relative):
                    add(os.path.join(folder, name))
    return files, problems


# ---------------------------------------------------------------------------------------------
# Running


def _file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def run(files: list[str], *, max_bytes: int, jobs: int, knowledge_dir: str | None, on_record) -> None:
    """Assesses `files`, calling `on_record` with each record as it is finished."""
    if jobs <= 1 or len(files) <= 1:
        init_worker(knowledge_dir)
        for path in files:
            on_record(assess_path(path, max_bytes))
        return
    # Biggest files first, so that no worker is left with a large file at the end.
    ordered = sorted(files, key=_file_size, reverse=True)
    # Forked workers start in milliseconds with the modules imported and the detector compiled
    # here; a fresh interpreter per worker costs most of a second. Fork only while this process
    # runs a single thread (the progress bar starts with the first record, after the fork).
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        from agents.transmute.originscan import default_detector

        init_worker(knowledge_dir)
        default_detector()
        method = "fork"
    else:
        method = "forkserver" if "forkserver" in methods else "spawn"
    with ProcessPoolExecutor(
        max_workers=min(jobs, len(files)),
        mp_context=multiprocessing.get_context(method),
        initializer=init_worker,
        initargs=(knowledge_dir,),
    ) as pool:
        futures = {pool.submit(assess_path, path, max_bytes): path for path in ordered}
        for future in as_completed(futures):
            try:
                record = future.result()
            except Exception as error:  # noqa: BLE001 - a worker that died takes only its file
                record = _not_assessed(futures[future], "error", f"{type(error).__name__}: {error}")
            on_record(record)


# ---------------------------------------------------------------------------------------------
# Summary and output


def summarize(records: list[dict]) -> dict:
    assessed = [r for r in records if r["status"] == "assessed"]
    levels = {level: 0 for level in LEVELS}
    turns = {"analysis": 0, "conversion": 0, "audit": 0}
    platforms: collections.Counter = collections.Counter()
    categories: collections.Counter = collections.Counter()
    for r in assessed:
        levels[r["complexity"]["level"]] += 1
        for phase in turns:
            turns[phase] += r["turns"][phase]
        platforms[r["platform"]["platform"] or "unknown"] += 1
        categories.update(r["categories"])
    summary = {
        "files": len(records),
        "assessed": len(assessed),
        "not_assessed": len(records) - len(assessed),
        "levels": levels,
        "turns": turns,
        "platforms": dict(sorted(platforms.items(), key=lambda item: (-item[1], item[0]))),
        "top_categories": [[name, count] for name, count in
                           sorted(categories.items(), key=lambda item: (-item[1], item[0]))[:TOP_CATEGORIES]],
        "chunked_files": sum(1 for r in assessed if r["reading_plan"]),
        "not_assessed_files": [{"path": r["path"], "reason": r["reason"], "detail": r["detail"]}
                               for r in records if r["status"] != "assessed"],
    }  # fmt: skip
    with_knowledge = [r["knowledge"] for r in assessed if r.get("knowledge")]
    if with_knowledge:
        kept = sum(k["token_estimate"] for k in with_knowledge)
        full = sum(k["full_tokens"] for k in with_knowledge)
        summary["knowledge"] = {
            "token_estimate": kept,
            "full_tokens": full,
            "reduction_pct": round((1 - kept / max(full, 1)) * 100),
        }
    return summary


def csv_row(r: dict) -> dict:
    row = {key: r.get(key) for key in ("path", "status", "reason", "detail", "encoding", "bom", "size_bytes")}
    if r["status"] == "assessed":
        c, t, p = r["complexity"], r["turns"], r["platform"]
        row.update(lines=r["lines"], level=c["level"])
        row.update({k: v for k, v in c.items() if k != "level"})
        row.update(analysis_turns=t["analysis"], conversion_turns=t["conversion"], audit_turns=t["audit"])
        row.update(
            categories=";".join(r["categories"]),
            platform=p["platform"] or "",
            platform_confidence=p["confidence"],
            platform_reason=p["reason"],
            platform_evidence=";".join(f"{e['marker']}@{e['line']}" for e in p["evidence"] if e["counted"]),
            reading_sections=";".join(f"{s}-{e}" for s, e, _ in r["reading_plan"]["sections"])
            if r["reading_plan"] else "",
        )  # fmt: skip
        if r["knowledge"]:
            k = r["knowledge"]
            row.update(knowledge_tokens=k["token_estimate"], knowledge_full_tokens=k["full_tokens"],
                       knowledge_reduction_pct=k["reduction_pct"])  # fmt: skip
    return {key: ("" if row.get(key) is None else row[key]) for key in CSV_COLUMNS}


def _platform_text(p: dict) -> str:
    if p["platform"] is None:
        return "unknown"
    return f"{p['platform']} ({p['confidence']:.2f})"


def _turns_text(t: dict) -> str:
    return f"{t['analysis']}/{t['conversion']}/{t['audit']}"


def _table_rows(records: list[dict]) -> list[list[str]]:
    rows = []
    for r in records:
        if r["status"] != "assessed":
            continue
        plan = r["reading_plan"]
        knowledge = r["knowledge"]
        rows.append([
            r["path"], r["complexity"]["level"], str(r["lines"]), _turns_text(r["turns"]),
            _platform_text(r["platform"]), r["encoding"] + (" BOM" if r["bom"] else ""),
            str(len(r["categories"])),
            f"{len(plan['sections'])} sections" if plan else "whole",
            f"{knowledge['token_estimate']}/{knowledge['full_tokens']} (-{knowledge['reduction_pct']}%)"
            if knowledge else "",
        ])  # fmt: skip
    return rows


TABLE_HEADERS = ["File", "Level", "Lines", "Turns a/c/au", "Platform", "Encoding", "Categ.", "Reading",
                 "Knowledge"]  # fmt: skip


def _summary_lines(s: dict) -> list[str]:
    lines = [
        f"Files: {s['files']} ({s['assessed']} assessed, {s['not_assessed']} not assessed)",
        "Levels: " + ", ".join(f"{level} {n}" for level, n in s["levels"].items()),
        "Turns: " + ", ".join(f"{phase} {n}" for phase, n in s["turns"].items()),
        "Platforms: " + (", ".join(f"{name} {n}" for name, n in s["platforms"].items()) or "-"),
        "Top categories: " + (", ".join(f"{name} {n}" for name, n in s["top_categories"]) or "-"),
        f"Files read in sections: {s['chunked_files']}",
    ]
    if "knowledge" in s:
        k = s["knowledge"]
        lines.append(f"Knowledge: {k['token_estimate']} of {k['full_tokens']} words kept (-{k['reduction_pct']}%)")
    return lines


def write_table(records: list[dict], summary: dict, out) -> None:
    try:
        from rich.console import Console
        from rich.table import Table
    except ImportError:
        write_plain_table(records, summary, out)
        return
    # Piped output has no terminal width to fit; a wide table keeps paths on one line.
    console = Console(file=out, width=None if out.isatty() else 200)
    table = Table(title="SQL assessment", show_lines=False)
    for header in TABLE_HEADERS:
        table.add_column(header, overflow="fold")
    for row in _table_rows(records):
        table.add_row(*row)
    console.print(table)
    failed = [r for r in records if r["status"] != "assessed"]
    if failed:
        problems = Table(title="Not assessed")
        for header in ("File", "Reason", "Detail"):
            problems.add_column(header, overflow="fold")
        for r in failed:
            problems.add_row(r["path"], r["reason"], r["detail"])
        console.print(problems)
    for line in _summary_lines(summary):
        console.print(line, highlight=False, markup=False)


def write_plain_table(records: list[dict], summary: dict, out) -> None:
    rows = [TABLE_HEADERS] + _table_rows(records)
    widths = [max(len(row[i]) for row in rows) for i in range(len(TABLE_HEADERS))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip(), file=out)
    failed = [r for r in records if r["status"] != "assessed"]
    if failed:
        print("\nNot assessed:", file=out)
        for r in failed:
            print(f"  {r['path']}: {r['reason']} ({r['detail']})", file=out)
    print(file=out)
    for line in _summary_lines(summary):
        print(line, file=out)


class _Progress:
    """A progress bar on stderr, drawn by rich when it is installed."""

    def __init__(self, total: int):
        self.total, self.done = total, 0
        try:
            from rich.console import Console
            from rich.progress import Progress
        except ImportError:
            self._bar = None
            return
        self._bar = Progress(console=Console(file=sys.stderr), transient=True)
        self._task = self._bar.add_task("assessing", total=total)
        self._bar.start()

    def advance(self) -> None:
        self.done += 1
        if self._bar is not None:
            self._bar.advance(self._task)
        elif self.done % 10 == 0 or self.done == self.total:
            print(f"\rassessed {self.done}/{self.total}", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.stop()
        else:
            print("\r\033[K", end="", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Command line


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _jobs(text: str) -> int:
    if text == "auto":
        return os.cpu_count() or 1
    return _positive_int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sql-assess",
        description="Assess SQL scripts for conversion to PySpark: complexity, turn budgets, construct "
        "categories, source platform, reading plans and knowledge selection.",
    )
    parser.add_argument("paths", nargs="+", metavar="PATH", help="SQL files and folders (searched recursively)")
    parser.add_argument("--include", action="append", metavar="GLOB",
                        help=f"file glob to take from folders (repeatable; default {DEFAULT_INCLUDE})")
    parser.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                        help="file or folder glob to leave out (repeatable)")
    parser.add_argument("--format", choices=("table", "json", "jsonl", "csv"), default="table",
                        help="output format (default: table)")
    parser.add_argument("--knowledge", metavar="DIR",
                        help="folder with mapping.md, gotchas.md and (optionally) limitations.md")
    parser.add_argument("--max-bytes", type=_positive_int, default=DEFAULT_MAX_BYTES, metavar="N",
                        help=f"files larger than this are reported, not assessed (default {DEFAULT_MAX_BYTES})")
    parser.add_argument("--jobs", "-j", type=_jobs, default=1, metavar="N",
                        help="parallel worker processes, or 'auto' (default 1)")
    parser.add_argument("--fail-on", choices=("moderate", "complex"),
                        help="exit 1 when any file reaches this level")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    return parser  # fmt: skip


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.knowledge:
        for key in ("mapping", "gotchas"):
            if not Path(args.knowledge, KNOWLEDGE_FILES[key]).is_file():
                parser.error(f"--knowledge {args.knowledge}: {KNOWLEDGE_FILES[key]} not found")
        try:
            load_knowledge(args.knowledge)
        except (OSError, UnicodeDecodeError, NotAssessed) as error:
            parser.error(f"--knowledge {args.knowledge}: {error}")
    quiet_module_logs()

    files, problems = discover(args.paths, args.include or [DEFAULT_INCLUDE], args.exclude)
    out = sys.stdout
    records: list[dict] = list(problems)
    progress = None
    show_progress = not args.quiet and sys.stderr.isatty()
    if show_progress:
        show_progress = len(files) >= PROGRESS_MIN_FILES or sum(map(_file_size, files)) >= PROGRESS_MIN_BYTES

    def on_record(record: dict) -> None:
        nonlocal progress
        if show_progress and progress is None:
            progress = _Progress(len(files))
        records.append(record)
        if args.format == "jsonl":
            out.write(json.dumps({"schema_version": SCHEMA_VERSION, "record": "file", **record}) + "\n")
            out.flush()
        if progress is not None:
            progress.advance()

    if args.format == "jsonl":
        for record in problems:
            out.write(json.dumps({"schema_version": SCHEMA_VERSION, "record": "file", **record}) + "\n")
    started = time.perf_counter()
    try:
        run(files, max_bytes=args.max_bytes, jobs=args.jobs, knowledge_dir=args.knowledge, on_record=on_record)
    finally:
        if progress is not None:
            progress.close()
    elapsed = time.perf_counter() - started

    order = {path: i for i, path in enumerate(files)}
    records.sort(key=lambda r: (r["path"] in order, order.get(r["path"], 0)))
    summary = summarize(records)
    summary["seconds"] = round(elapsed, 3)
    if args.format == "json":
        json.dump({"schema_version": SCHEMA_VERSION, "files": records, "summary": summary}, out, indent=2)
        out.write("\n")
    elif args.format == "jsonl":
        out.write(json.dumps({"schema_version": SCHEMA_VERSION, "record": "summary", **summary}) + "\n")
    elif args.format == "csv":
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=CSV_COLUMNS, lineterminator="\n")
        writer.writeheader()
        for record in records:
            writer.writerow(csv_row(record))
        out.write(buffer.getvalue())
    else:
        write_table(records, summary, out)
    out.flush()

    if summary["not_assessed"]:
        return EXIT_NOT_ASSESSED
    if args.fail_on:
        threshold = LEVELS.index(args.fail_on)
        if any(LEVELS.index(level) >= threshold and n for level, n in summary["levels"].items()):
            return EXIT_NOT_ASSESSED
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
