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
import dataclasses
import functools
import gc
import importlib.util
import itertools
import json
import logging
import os
import re
import signal
import stat
import sys
import threading
import time
import types
import unicodedata
from collections.abc import Iterable, Iterator

SCHEMA_VERSION = 2
# Extensions SQL scripts carry in real estates: generic SQL and DDL/DML, BigQuery/Dataform
# (.sqlx), Hive (.hql, .q), Teradata BTEQ (.bteq, .btq), Oracle PL/SQL package, body, type,
# procedure, function, trigger, table and view files, PostgreSQL, MySQL and T-SQL variants.
SQL_EXTENSIONS = (
    "sql", "sqlx", "hql", "hive", "q", "bteq", "btq", "ddl", "dml", "pks", "pkb", "pck", "spc", "bdy",
    "prc", "fnc", "trg", "tps", "tpb", "tab", "tbl", "vw", "viw", "pls", "plsql", "sqlplus", "psql",
    "pgsql", "mysql", "tsql", "db2", "udf", "sp",
)  # fmt: skip
DEFAULT_INCLUDE = [f"*.{ext}" for ext in SQL_EXTENSIONS]
DEFAULT_MAX_BYTES = 32 * 1024 * 1024
KNOWLEDGE_MAX_BYTES = 16 * 1024 * 1024
LEVELS = ("simple", "moderate", "complex")
KNOWLEDGE_FILES = {"mapping": "mapping.md", "gotchas": "gotchas.md", "limitations": "limitations.md"}
# A progress bar is worth drawing only for runs that take a while.
PROGRESS_MIN_FILES = 50
PROGRESS_MIN_BYTES = 20 * 1024 * 1024
TOP_CATEGORIES = 10

EXIT_OK, EXIT_NOT_ASSESSED, EXIT_USAGE, EXIT_FAIL_ON, EXIT_NO_FILES = 0, 1, 2, 3, 4
# A closed output pipe: the status a shell reports for a command ended by SIGPIPE (128 + 13).
EXIT_BROKEN_PIPE = 141

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


def decode(data: bytes, fallback: str | None = None) -> tuple[str, str, bool]:
    """The text of a script, its encoding and whether it carried a byte-order mark.

    A byte-order mark decides first (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE); without one, strict
    UTF-8. A UTF-8 mark stays in the text as U+FEFF, as `Path.read_text(encoding="utf-8")` keeps
    it, so a UTF-8 file's results equal `classify_sql_file`'s; the other marks are not text. Text holding NUL characters is BOM-less UTF-16 when its
    zero bytes say so, and undecodable otherwise. Line endings are translated as
    `Path.read_text` translates them: "\\r\\n" and "\\r" become "\\n". Bytes that are not UTF-8
    are decoded with `fallback` (a codec name such as "cp1252") when one is given, and the
    encoding returned is then the fallback's. Raises UnicodeDecodeError or NotAssessed.
    """
    for mark, encoding in _BOMS:
        if data.startswith(mark):
            text = (data if encoding == "utf-8" else data[len(mark) :]).decode(encoding)
            bom = True
            break
    else:
        encoding, bom = "utf-8", False
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            if fallback is None:
                raise
            text, encoding = data.decode(fallback), codecs.lookup(fallback).name
        if "\x00" in text:
            guessed = _utf16_without_bom(data)
            if guessed is None:
                raise NotAssessed("undecodable", "NUL characters in the text (binary file?)")
            text, encoding = data.decode(guessed), guessed
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text, encoding, bom


# Opening never waits: a FIFO or device put in a file's place after it was checked opens at once
# (and is then refused by fstat), and a terminal does not become the controlling one.
_OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
               | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))  # fmt: skip
_READ_STEP = 1 << 20


def _read_at_most(fd: int, size: int, limit: int) -> bytes:
    """Up to `limit` + 1 bytes of an open file of `size` bytes: enough to tell that it is over
    the limit, however large the limit or the file grows while it is read. The first read asks
    for the size found (no buffer of `limit` bytes), later ones for a step each."""
    parts, total = [], 0
    want = min(size, limit) + 1
    while total <= limit:
        part = os.read(fd, min(want, limit + 1 - total))
        if not part:
            break
        parts.append(part)
        total += len(part)
        want = _READ_STEP
    return b"".join(parts)


def read_regular_file(path: str, max_bytes: int) -> bytes:
    """The bytes of a regular file of at most `max_bytes`. Raises NotAssessed.

    The path is checked with stat before opening (a device is never opened), and the open
    descriptor again with fstat, so a file replaced by a FIFO or device in between is refused
    instead of blocking the run."""
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
        raise NotAssessed("too_large", _too_large_detail(info.st_size, max_bytes))
    try:
        fd = os.open(path, _OPEN_FLAGS)
    except OSError as error:
        raise NotAssessed("unreadable", error.strerror or str(error)) from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise NotAssessed("not_a_file", "not a regular file")
        data = _read_at_most(fd, info.st_size, max_bytes)
    except OSError as error:
        raise NotAssessed("unreadable", error.strerror or str(error)) from None
    finally:
        os.close(fd)
    if len(data) > max_bytes:
        raise NotAssessed("too_large", f"over the limit of {max_bytes} bytes")
    return data


def decode_script(data: bytes, fallback: str | None = None) -> tuple[str, str, bool]:
    """`decode`, with a decoding failure raised as NotAssessed."""
    try:
        return decode(data, fallback)
    except UnicodeDecodeError as error:
        raise NotAssessed(
            "undecodable", f"not valid {error.encoding}: {error.reason} at byte {error.start}"
        ) from None


def read_script(path: str, max_bytes: int, fallback: str | None = None) -> tuple[str, str, bool, int]:
    """Text, encoding, byte-order mark and size of one file. Raises NotAssessed."""
    data = read_regular_file(path, max_bytes)
    text, encoding, bom = decode_script(data, fallback)
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


def record_schema() -> dict:
    """The JSON Schema (draft 2020-12) of the records, shipped as `record_schema.json`: `$defs`
    `file_record` (what `assess_bytes` returns), `summary`, `report` (--format json),
    `jsonl_file` and `jsonl_summary` (--format jsonl lines). Its `schema_version` is the
    records'."""
    from importlib.resources import files

    return json.loads(files("agents.transmute").joinpath("record_schema.json").read_text(encoding="utf-8"))


class KnowledgeError(ValueError):
    """A knowledge folder that cannot be used; the message names the file and the reason
    (`limitations.md: not a regular file`)."""


@dataclasses.dataclass(frozen=True)
class Knowledge:
    """The agent's knowledge documents that `assess_bytes` selects sections from: the text of
    `mapping.md`, `gotchas.md` and `limitations.md` (empty when the folder has none). Plain
    strings, so a Knowledge pickles to worker processes and Spark executors as it is."""

    mapping: str
    gotchas: str
    limitations: str = ""

    @classmethod
    def load(cls, folder: str | os.PathLike) -> Knowledge:
        """The documents of a folder; limitations.md may be missing. Each must be a regular file
        of at most KNOWLEDGE_MAX_BYTES, decoded as scripts are. Raises KnowledgeError."""
        documents = {}
        for key, name in KNOWLEDGE_FILES.items():
            path = os.path.join(os.fspath(folder), name)
            if key == "limitations" and not os.path.exists(path):
                documents[key] = ""
                continue
            try:
                documents[key] = decode_script(read_regular_file(path, KNOWLEDGE_MAX_BYTES))[0]
            except NotAssessed as error:
                raise KnowledgeError(f"{name}: {error.detail}") from None
        return cls(**documents)

    @functools.cached_property
    def full_tokens(self) -> int:
        """Words of the whole mapping and gotchas documents, counted as `select_knowledge` counts."""
        return len(self.mapping.split()) + len(self.gotchas.split())


def load_knowledge(folder: str) -> Knowledge:
    """`Knowledge.load`, kept for callers of the earlier name."""
    return Knowledge.load(folder)


def _detector():
    """The platform detector of the records, compiled once per process."""
    from agents.transmute.detector import default_detector

    return default_detector()


def platform_record(text: str) -> dict:
    """The record's `platform` dict."""
    return _detector().record(text)


def _section_titles(selected: str) -> list[str]:
    return [line.lstrip("#").strip() for line in selected.split("\n") if line.startswith("## ")]


def assess_text(text: str, knowledge: Knowledge | None = None) -> dict:
    """Everything the report says about one script's text (the fields after `size_bytes`)."""
    from agents.transmute.complexity import classify_sql, plan_reading_strategy
    from agents.transmute.lorepick import detect_construct_categories, select_knowledge
    result = classify_sql(text)
    categories = detect_construct_categories(text)
    # The platform markers read line starts; a byte-order mark is not part of line 1's text.
    platform = platform_record(text.removeprefix("\ufeff"))
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
        "platform": platform,
        "reading_plan": None,
        "knowledge": None,
    }
    if plan.should_chunk:
        record["reading_plan"] = {
            "total_lines": plan.total_lines,
            "first_read_lines": plan.first_read_lines,
            "sections": [list(section) for section in plan.section_boundaries],
        }
    if knowledge is not None:
        shared = _knowledge_record(knowledge, frozenset(categories), select_knowledge)
        # Each record gets lists of its own: a caller may change one record's without the others'.
        record["knowledge"] = dict(shared, mapping_sections=list(shared["mapping_sections"]),
                                   gotcha_sections=list(shared["gotcha_sections"]))
    return record


@functools.lru_cache(maxsize=1024)
def _knowledge_record(knowledge: Knowledge, categories: frozenset, select_knowledge) -> dict:
    """The record's `knowledge` dict for scripts of these categories: the same for every script
    of an estate that uses the same constructs, so it is worked out once (an estate of small
    scripts otherwise spends more on it than on the scripts)."""
    selected = select_knowledge(
        set(categories),
        full_mapping=knowledge.mapping,
        full_gotchas=knowledge.gotchas,
        full_limitations=knowledge.limitations,
    )
    tokens = len(selected["mapping"].split()) + len(selected["gotchas"].split())
    full = knowledge.full_tokens
    return {
        "mapping_sections": _section_titles(selected["mapping"]),
        "gotcha_sections": _section_titles(selected["gotchas"]),
        "limitations_included": bool(selected["limitations"]),
        "token_estimate": tokens,
        "full_tokens": full,
        "reduction_pct": round((1 - tokens / max(full, 1)) * 100),
    }


def _too_large_detail(size: int, max_bytes: int) -> str:
    return f"{size} bytes, over the limit of {max_bytes}"


def not_assessed_record(path: str, reason: str, detail: str) -> dict:
    """The record of a file that was not assessed: `reason` is a code (unreadable, not_a_file,
    undecodable, too_large, worker_died, error), `detail` says more."""
    return {"path": path, "status": "not_assessed", "reason": reason, "detail": detail,
            "encoding": None, "bom": None, "size_bytes": None}  # fmt: skip


def too_large_record(path: str, size: int, max_bytes: int) -> dict:
    """The record of a file of `size` bytes over `max_bytes`, without reading it."""
    return not_assessed_record(path, "too_large", _too_large_detail(size, max_bytes))


def assess_bytes(data: bytes, name: str = "", *, knowledge: Knowledge | None = None,
                 max_bytes: int | None = None, fallback_encoding: str | None = None) -> dict:
    """The file record of one script given as bytes, as `sql-assess` reports it (see the
    package's `record_schema.json`): decoded as the command decodes (byte-order marks, strict
    UTF-8, BOM-less UTF-16, `fallback_encoding` for bytes that are not UTF-8), then assessed.
    `name` becomes the record's `path`; nothing is read from the file system. With `knowledge`
    the record says which sections of its documents go into the prompt. Data longer than
    `max_bytes` is reported as `too_large`. Never raises for the data: a script that cannot be
    assessed gets a record with `status` "not_assessed" and a reason."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data must be bytes, not {type(data).__name__}")
    if max_bytes is not None and len(data) > max_bytes:
        return too_large_record(name, len(data), max_bytes)
    record: dict = {"path": name, "status": "assessed", "reason": None, "detail": None}
    try:
        text, encoding, bom = decode_script(bytes(data), fallback_encoding)
        record.update(encoding=encoding, bom=bom, size_bytes=len(data))
        # Looked up on the module at each call, so a replacement (a test's) reaches forked workers.
        record.update(assess_text(text) if knowledge is None else assess_text(text, knowledge))
    except NotAssessed as error:
        record.update(status="not_assessed", reason=error.reason, detail=error.detail)
    except Exception as error:  # noqa: BLE001 - one bad file must not end the run
        record.update(status="not_assessed", reason="error", detail=f"{type(error).__name__}: {error}")
    if record["status"] != "assessed":
        for key in ("encoding", "bom", "size_bytes"):
            record.setdefault(key, None)
    return record


def assess_path(path: str, max_bytes: int, fallback: str | None = None, knowledge: Knowledge | None = None) -> dict:
    """The record of one file on disk; a file that cannot be read or assessed says why. `fallback`
    decodes files that are not UTF-8 (see `decode`)."""
    try:
        data = read_regular_file(path, max_bytes)
    except NotAssessed as error:
        return not_assessed_record(path, error.reason, error.detail)
    except Exception as error:  # noqa: BLE001
        return not_assessed_record(path, "error", f"{type(error).__name__}: {error}")
    return assess_bytes(data, path, knowledge=knowledge, fallback_encoding=fallback)


# ---------------------------------------------------------------------------------------------
# Finding the files


_BRACES = re.compile(r"\{([^{}]*,[^{}]*)\}")


def _expand_braces(pattern: str) -> list[str]:
    """`*.{sql,sqlx}` as `*.sql` and `*.sqlx`: git's patterns have no braces, shells' do."""
    found = _BRACES.search(pattern)
    if found is None:
        return [pattern]
    return [expanded for alternative in found.group(1).split(",")
            for expanded in _expand_braces(pattern[: found.start()] + alternative + pattern[found.end():])]  # fmt: skip


# A gitignore pattern that only names an ending (`*.sql`): no folder, wildcard, class, escape,
# negation or trailing space.
_ENDING_PATTERN = re.compile(r"\*([^/*?\[\]\\!\s]+)")


class _PathPatterns:
    """Gitignore-style patterns over lower-cased paths. A list of ending patterns alone (the
    default `--include`) is answered without pathspec: as gitignore reads `*.sql`, a path matches
    when one of its names ends so (a file, or a folder holding it). A search of thousands of files
    otherwise spends more on the patterns than on reading."""

    def __init__(self, lines: list[str]):
        self._lines = lines
        endings = [m.group(1) for line in lines if (m := _ENDING_PATTERN.fullmatch(line))]
        self._endings = tuple(endings) if len(endings) == len(lines) else None
        # Ending patterns are always valid; others are read now, so that a bad one is an error
        # before the search starts.
        self._gitignore = None if self._endings is not None else self._spec()

    def _spec(self):
        import pathspec

        return pathspec.GitIgnoreSpec.from_lines(self._lines)

    def match_file(self, path: str) -> bool:
        # Paths with empty names (a leading or doubled "/"), which a search never gives, are left
        # to pathspec, which normalises them in its own way.
        if self._endings is None or path.startswith("/") or "//" in path:
            if self._gitignore is None:
                self._gitignore = self._spec()
            return self._gitignore.match_file(path)
        return bool(self._endings) and any(name.endswith(self._endings) for name in path.split("/"))


def compile_patterns(patterns: list[str]) -> _PathPatterns:
    """Gitignore-style patterns (`**`, a trailing `/` for folders, `!` to take back, braces
    expanded) over lower-cased paths: letter case is ignored."""
    return _PathPatterns([line for pattern in patterns for line in _expand_braces(pattern.lower())])


def _git_root(folder: str) -> str | None:
    """The top of the git work tree holding `folder`, or None."""
    current = os.path.abspath(folder)
    while True:
        if os.path.exists(os.path.join(current, ".git")):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


class _GitIgnore:
    """The `.gitignore` files of one git work tree (and its `.git/info/exclude`), read once each.
    A path is ignored as git decides: the deepest file with a matching pattern has the last word,
    and a `!` pattern takes a path back."""

    def __init__(self, root: str):
        import pathspec

        self._pathspec = pathspec
        self.root = root
        self._specs: dict[str, object] = {}
        self._info = self._read(os.path.join(root, ".git", "info", "exclude"))

    def _read(self, path: str):
        try:
            with open(path, encoding="utf-8", errors="surrogateescape") as handle:
                return self._pathspec.GitIgnoreSpec.from_lines(handle.read().splitlines())
        except OSError:
            return None

    def _spec(self, folder: str):
        if folder not in self._specs:
            self._specs[folder] = self._read(os.path.join(folder, ".gitignore"))
        return self._specs[folder]

    def ignored(self, path: str, is_dir: bool) -> bool:
        path = os.path.abspath(path)
        relative = os.path.relpath(path, self.root)
        if relative.startswith(".."):
            return False
        parts = relative.replace(os.sep, "/").split("/")
        suffix = "/" if is_dir else ""
        verdict = None
        chain = [(self.root, self._info)] + [
            (os.path.join(self.root, *parts[:depth]), None) for depth in range(len(parts))
        ]
        for depth, (folder, spec) in enumerate(chain):
            spec = spec if depth == 0 else self._spec(folder)
            if spec is None:
                continue
            below = "/".join(parts[max(depth - 1, 0):]) + suffix
            result = spec.check_file(below)
            if result.include is not None:
                verdict = result.include
        return bool(verdict)


def new_left_out() -> dict:
    """Counts of what the search left out: files not matching --include, files and folders
    matching --exclude, files and folders ignored by git."""
    return {"not_included": 0, "excluded": 0, "gitignored": 0, "excluded_folders": 0, "gitignored_folders": 0}


def _file_identity(path: str) -> tuple:
    """What makes two paths the same file: the device and inode the path leads to, so that
    `link/../x.sql` (resolved by the kernel through the link) is not taken for `x.sql`, while a
    file reached again through a linked folder is. A path that cannot be followed (a broken
    link, a file gone) is keyed by its resolved text."""
    try:
        info = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return (info.st_dev, info.st_ino)


def iter_files(inputs: list[str], includes: list[str], excludes: list[str], *, gitignore: bool = True,
               left_out: dict | None = None, on_problem=None, share=None, listed: Iterable[str] = ()) -> Iterator[str]:
    """The files to assess, yielded as the search finds them, in a stable order.

    A file named in `inputs`, or in `listed` (read as it is searched: --files-from), is always
    assessed; a folder there is searched. In a folder, a file is taken when its path
    below the folder matches the gitignore-style `includes` and not the `excludes`; a folder
    matching `excludes` is not entered. Patterns ignore letter case. Inside a git work tree,
    files and folders that git ignores are left out too (unless `gitignore` is false), and `.git`
    folders are never entered. What was left out is counted in `left_out` (see `new_left_out`):
    with `share` (a predicate on paths) only what it accepts is counted, so the counts of the
    shares of one search add up to the search's. Inputs that cannot be searched are passed to
    `on_problem` as records. Linked folders are followed once each.

    A file reached by several paths is yielded once. The memory this takes grows with the
    folders searched and with the files that can be reached again (hard-linked files, files
    behind a link, files named in `inputs`), not with every file found: a plain file found in a
    folder can only be met again through one of those, and those are remembered.
    """
    include_spec = compile_patterns(includes)
    exclude_spec = compile_patterns(excludes)
    counts = left_out if left_out is not None else new_left_out()
    # Identities of the named inputs that are files (the paths of `listed` are not held in
    # memory; each of its files is remembered as it is met).
    named = {_file_identity(p) for p in inputs if not os.path.isdir(p)}
    seen: set[tuple] = set()
    # Folders entered: identity -> (relative folder, git) as the search saw it, to tell whether a
    # linked file's target was already taken from its folder.
    visited: dict[tuple[int, int], tuple[str, object]] = {}
    ignores: dict[str, _GitIgnore] = {}

    def count(key: str, path: str) -> None:
        if share is None or share(path):
            counts[key] += 1

    def problem(path: str, detail: str) -> None:
        if on_problem is not None:
            on_problem(not_assessed_record(path, "unreadable", detail))

    def left_out_as(relative: str, path: str, git) -> str | None:
        """Why a file found at `relative` below its search folder is left out; None: taken."""
        relative = relative.lower()
        if not include_spec.match_file(relative):
            return "not_included"
        if exclude_spec.match_file(relative):
            return "excluded"
        if git is not None and git.ignored(path, False):
            return "gitignored"
        return None

    def target_taken_already(link: str, current: tuple[int, int], name: str) -> bool:
        """Whether the plain file a link found in a folder leads to was already taken from its
        own folder, which the search entered before (or is in, at a name sorted earlier)."""
        real = os.path.realpath(link)
        try:
            folder_info = os.stat(os.path.dirname(real))
        except OSError:
            return False
        folder_key = (folder_info.st_dev, folder_info.st_ino)
        if folder_key not in visited:
            return False
        target_name = os.path.basename(real)
        if folder_key == current and target_name >= name:
            return False  # met later in this folder: remembered now, skipped then
        relative_folder, git = visited[folder_key]
        return left_out_as(relative_folder + target_name, real, git) is None

    for number, given in enumerate(itertools.chain(inputs, listed)):
        if not os.path.isdir(given):
            if os.path.lexists(given):
                key = _file_identity(given)
                if key in seen:
                    continue
                # A listed file is remembered as a found one is: a list's plain files are its
                # own (a list repeating a path has it assessed twice), and memory stays flat.
                if number < len(inputs) or key[0] == "path" or os.path.islink(given) or _links(given) > 1:
                    seen.add(key)
                yield given
            else:
                problem(given, "no such file or folder")
            continue
        git = None
        if gitignore:
            root = _git_root(given)
            if root is not None:
                git = ignores.get(root) or ignores.setdefault(root, _GitIgnore(root))

        def walk_error(error: OSError) -> None:
            problem(error.filename or given, f"folder: {error.strerror}")

        for folder, dirnames, filenames in os.walk(given, onerror=walk_error, followlinks=True):
            try:
                info = os.stat(folder)
            except OSError as error:  # the folder went away after it was listed
                walk_error(error)
                dirnames[:] = []
                continue
            here = (info.st_dev, info.st_ino)
            if here in visited:
                dirnames[:] = []
                continue
            relative_folder = os.path.relpath(folder, given)
            relative_folder = "" if relative_folder == "." else relative_folder.replace(os.sep, "/") + "/"
            visited[here] = (relative_folder, git)
            kept = []
            for d in sorted(dirnames):
                if d == ".git":
                    continue
                if exclude_spec.match_file((relative_folder + d).lower() + "/"):
                    count("excluded_folders", os.path.join(folder, d))
                elif git is not None and git.ignored(os.path.join(folder, d), True):
                    count("gitignored_folders", os.path.join(folder, d))
                else:
                    kept.append(d)
            dirnames[:] = kept
            for name in sorted(filenames):
                path = os.path.join(folder, name)
                why = left_out_as(relative_folder + name, path, git)
                if why is not None:
                    count(why, path)
                    continue
                try:
                    found = os.lstat(path)
                except OSError:  # gone since the listing: its record says so
                    key, remember = ("path", os.path.realpath(path)), True
                else:
                    if stat.S_ISLNK(found.st_mode):
                        key, remember = _file_identity(path), True
                        if key not in seen and key[0] != "path" and target_taken_already(path, here, name):
                            continue
                    else:
                        key = (found.st_dev, found.st_ino)
                        remember = found.st_nlink > 1 or key in named
                if key in seen:
                    continue
                if remember:
                    seen.add(key)
                yield path


def _links(path: str) -> int:
    try:
        return os.stat(path).st_nlink
    except OSError:
        return 1


def discover(inputs: list[str], includes: list[str], excludes: list[str], *, gitignore: bool = True,
             left_out: dict | None = None) -> tuple[list[str], list[dict]]:
    """`iter_files` collected: the files to assess, in order, and the records of the inputs that
    could not be searched."""
    problems: list[dict] = []
    files = list(iter_files(inputs, includes, excludes, gitignore=gitignore, left_out=left_out,
                            on_problem=problems.append))  # fmt: skip
    return files, problems


# ---------------------------------------------------------------------------------------------
# Running


def run(files: Iterable[str], *, max_bytes: int, jobs: int, knowledge_dir: str | None = None, on_record,
        knowledge: Knowledge | None = None, fallback: str | None = None) -> None:
    """Assesses `files` (any iterable: a list, or the search as it goes), calling `on_record`
    with each record as it is finished. Paths are taken from `files` only as workers free up,
    so the first records come before a long search ends and nothing waits in a queue.
    `knowledge`, when given, holds the documents already loaded from `knowledge_dir`."""
    if knowledge is None and knowledge_dir:
        knowledge = Knowledge.load(knowledge_dir)
    quiet_module_logs()
    paths = iter(files)
    if jobs > 1:
        head = list(itertools.islice(paths, 2))  # no pool for a single file
        paths = itertools.chain(head, paths)
        if len(head) < 2:
            jobs = 1
    if jobs <= 1:
        for path in paths:
            on_record(assess_path(path, max_bytes, fallback, knowledge))
        return
    import multiprocessing  # a run with one worker starts without it

    # Forked workers start in milliseconds with the modules imported and the detector compiled
    # here; a fresh interpreter per worker costs most of a second. Fork only while this process
    # runs a single thread (the progress bar draws from this thread, so it stays that way).
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        _detector()
        method = "fork"
    else:
        method = "forkserver" if "forkserver" in methods else "spawn"
    pool = _Pool(multiprocessing.get_context(method), jobs, knowledge, max_bytes, fallback)
    pool.run(paths, on_record)


# How often a file may end its worker process before it is reported instead of retried.
WORKER_DEATHS_PER_FILE = 2


def _die_with_parent() -> None:
    """Asks Linux to kill this process when the process that started it ends."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


# Paths go to a worker, and records come back, in batches of up to this many: a message per
# file costs the main process about as much as a small file costs a worker.
WORKER_BATCH = 16
# A batch of paths is cut at this many characters, so that two of them unread in a pipe never
# fill it (the main process would wait to write while the worker waits to write back).
WORKER_BATCH_CHARS = 16_384
# A worker sends what it has once its oldest record has waited this long (seconds), checked
# after each file, so records of slow files stream.
WORKER_SEND_EVERY = 0.1


def _worker_main(conn, knowledge: Knowledge | None, max_bytes: int, parent: int | None,
                 fallback: str | None = None, started=None) -> None:
    """A worker process: assesses the paths it is sent, in order, and sends their records back
    in batches, until it is sent None or its parent (`parent`, or the one it has now) is gone.
    Before each file it writes the file's number (counting from 1 over all paths it was sent)
    into `started`, so that the main process knows which file a dead worker was working on."""
    # Ctrl-C reaches the whole process group; the main process stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, set())
    parent = parent or os.getppid()
    _die_with_parent()
    if os.getppid() != parent:
        return
    quiet_module_logs()
    pending: collections.deque[str] = collections.deque()
    done: list[dict] = []
    begun = 0
    oldest = 0.0
    while True:
        if not pending:
            if done:
                conn.send(done)
                done = []
            # Without PR_SET_PDEATHSIG, a worker notices within a second that it was left behind.
            while not conn.poll(1.0):
                if os.getppid() != parent:
                    return
        # Paths that have come are taken at once, so the main process never waits to send.
        while conn.poll():
            try:
                paths = conn.recv()
            except EOFError:
                return
            if paths is None:
                return
            pending.extend(paths)
        if not pending:
            continue
        begun += 1
        if started is not None:
            started.value = begun
        if not done:
            oldest = time.monotonic()
        done.append(assess_path(pending.popleft(), max_bytes, fallback, knowledge))
        if len(done) >= WORKER_BATCH or time.monotonic() - oldest >= WORKER_SEND_EVERY:
            conn.send(done)
            done = []


class _Worker:
    """One worker process and the files sent to it that it has not yet sent records of, in
    order. `started` is the number of the file it last began (shared memory it writes)."""

    def __init__(self, context, knowledge: Knowledge | None, max_bytes: int, fallback: str | None = None):
        self.conn, child = context.Pipe()
        self.started = context.RawValue("q", 0)
        # A forked worker knows its parent's pid in advance: it notices one that died before
        # it could ask to die with it.
        parent = os.getpid() if context.get_start_method() == "fork" else None
        self.process = context.Process(target=_worker_main, daemon=True,
                                       args=(child, knowledge, max_bytes, parent, fallback, self.started))
        self.paths: collections.deque[str] = collections.deque()
        self.answered = 0  # records received
        try:
            self.process.start()
        finally:
            child.close()

    def give(self, paths: list[str]) -> None:
        self.paths.extend(paths)
        try:
            self.conn.send(paths)
        except OSError:
            pass  # it died; its sentinel says so

    def take(self) -> list[dict] | None:
        """The records it sent next (of its first files), or None when the process died."""
        try:
            if self.conn.poll():
                records = self.conn.recv()
                self.answered += len(records)
                return records
        except (EOFError, OSError):
            pass
        return None

    def end_description(self) -> str:
        """How the process ended; it is stopped first if it has not."""
        self.stop(kill=True)
        code = self.process.exitcode
        if code is not None and code < 0:
            try:
                return f"killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit status {code}"

    def stop(self, kill: bool) -> None:
        if not kill:
            try:
                self.conn.send(None)
            except OSError:
                pass
            self.process.join(5)
        if self.process.is_alive():
            self.process.kill()
        self.process.join(1)
        if not self.conn.closed:
            self.conn.close()


class _Pool:
    """Worker processes that each work on one file at a time, so that a worker that dies
    (killed for memory, a native crash) costs only the file it was working on: that file is
    retried once in a fresh worker and reported as `worker_died` when it ends a worker again.
    The other files it held (done but not yet sent back, or not begun) are retried as they
    are, not held against them."""

    def __init__(self, context, size: int, knowledge: Knowledge | None, max_bytes: int,
                 fallback: str | None = None):
        self.context, self.size, self.knowledge, self.max_bytes = context, size, knowledge, max_bytes
        self.fallback = fallback
        self.workers: list[_Worker] = []

    def _start(self) -> _Worker:
        # Signals wait until the worker has set its own handlers and is recorded here, so that
        # an interrupted run stops every worker it started.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, set(_STOP_SIGNALS))
        try:
            worker = _Worker(self.context, self.knowledge, self.max_bytes, self.fallback)
            self.workers.append(worker)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        return worker

    def run(self, paths: Iterator[str], on_record) -> None:
        import multiprocessing.connection

        retries: collections.deque = collections.deque()
        deaths: collections.Counter = collections.Counter()
        finished = False

        def next_path() -> str | None:
            return retries.popleft() if retries else next(paths, None)

        def batch(size: int) -> list[str]:
            # Paths that come slowly (a search of a slow disk, a list written as it goes) go out
            # as they come: a batch is cut once drawing it has taken as long as a worker waits
            # before sending.
            taken, chars, began = [], 0, time.monotonic()
            while len(taken) < size and chars < WORKER_BATCH_CHARS:
                path = next_path()
                if path is None:
                    break
                taken.append(path)
                chars += len(path)
                if time.monotonic() - began >= WORKER_SEND_EVERY:
                    break
            return taken

        def fill(worker: _Worker) -> None:
            # A worker holds at most two batches, and gets the next while it works on the last.
            if len(worker.paths) <= WORKER_BATCH:
                taken = batch(WORKER_BATCH)
                if taken:
                    worker.give(taken)

        try:
            # Each worker starts with one file, and gets a batch once it answers: a run of two
            # files uses two workers, and a slow list of paths never holds back the first records.
            for _ in range(self.size):
                taken = batch(1)
                if not taken:
                    break
                self._start().give(taken)
            while any(w.paths for w in self.workers):
                busy = [w for w in self.workers if w.paths]
                waited = [w.conn for w in busy] + [w.process.sentinel for w in busy]
                ready = set(multiprocessing.connection.wait(waited))
                for worker in busy:
                    if worker.conn not in ready and worker.process.sentinel not in ready:
                        continue
                    records = worker.take()
                    if records is None:
                        self._bury(worker, retries, deaths, on_record)
                        taken = batch(1)
                        if taken:
                            replacement = self._start()
                            replacement.give(taken)
                            fill(replacement)
                        continue
                    for record in records:
                        deaths.pop(worker.paths.popleft(), None)
                        on_record(record)
                    fill(worker)
            finished = True
        finally:
            # A run stopped by a signal or a closed pipe kills its workers at once.
            for worker in self.workers:
                worker.stop(kill=not finished)
            self.workers.clear()

    def _bury(self, worker: _Worker, retries: collections.deque, deaths: collections.Counter, on_record) -> None:
        """A worker died: the file it was working on (if it had begun one it has not answered)
        counts a death, and its other files go back to be assessed first."""
        self.workers.remove(worker)
        how = worker.end_description()
        held = list(worker.paths)
        current = worker.started.value - worker.answered - 1  # index in `held`, or out of it
        culprit = held.pop(current) if 0 <= current < len(held) else None
        retries.extendleft(reversed(held))
        if culprit is None:
            return
        deaths[culprit] += 1
        if deaths[culprit] < WORKER_DEATHS_PER_FILE:
            retries.append(culprit)
        else:
            del deaths[culprit]
            on_record(not_assessed_record(culprit, "worker_died", f"the worker process ended ({how}) "
                                          "while assessing this file, twice"))  # fmt: skip


# ---------------------------------------------------------------------------------------------
# Summary and output


# Characters a terminal or a spreadsheet would act on rather than show: controls (escape
# sequences, bell, newlines, C1 controls), format characters (bidi overrides, zero-width ones),
# line and paragraph separators, and lone surrogates (the bytes of a name that is not UTF-8).
_HIDDEN_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Zl", "Zp"})
_NAMED_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}
# A spreadsheet reads a cell starting with one of these as a formula.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def _escape(char: str) -> str:
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that os.fsdecode could not decode
        return f"\\x{code - 0xDC00:02x}"
    if char in _NAMED_ESCAPES:
        return _NAMED_ESCAPES[char]
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def shown(text: str) -> str:
    """`text` (a file name, a detail) safe to print as it is: characters that would act on a
    terminal are written as escapes (`\\x1b`, `\\n`, `\\u202e`), undecodable bytes as `\\xff`."""
    if text.isprintable():
        return text
    return "".join(_escape(c) if unicodedata.category(c) in _HIDDEN_CATEGORIES else c for c in text)


def _csv_cell(value):
    """A CSV cell: text shown safely, and text that a spreadsheet would run as a formula
    prefixed with an apostrophe."""
    if not isinstance(value, str):
        return value
    value = shown(value)
    return "'" + value if value.startswith(_FORMULA_STARTS) else value


def _by_count(counter: collections.Counter) -> dict:
    return dict(sorted(counter.items(), key=lambda item: (-item[1], item[0])))


class Summary:
    """The summary of a run kept as running totals: `add` each record as it is finished, and
    the memory held stays the same however many files are assessed (only the files not
    assessed are listed). Summaries of several runs or shards are merged by adding all their
    file records to one Summary (`sql-assess summarize`) and their `left_out` counts with
    `add_left_out`."""

    def __init__(self) -> None:
        self.files = self.assessed = self.chunked_files = 0
        self.levels = {level: 0 for level in LEVELS}
        self.turns = {"analysis": 0, "conversion": 0, "audit": 0}
        self.platforms: collections.Counter = collections.Counter()
        self.platform_bytes: collections.Counter = collections.Counter()
        self.unknown = {"no_evidence": 0, "too_close": 0}
        self.categories: collections.Counter = collections.Counter()
        self.not_assessed_files: list[dict] = []
        self.knowledge_files = self.knowledge_kept = self.knowledge_full = 0
        self.left_out = new_left_out()

    def add(self, r: dict) -> None:
        self.files += 1
        if r["status"] != "assessed":
            self.not_assessed_files.append({"path": r["path"], "reason": r["reason"], "detail": r["detail"]})
            return
        self.assessed += 1
        self.levels[r["complexity"]["level"]] += 1
        platform = r["platform"]["platform"] or "unknown"
        self.platforms[platform] += 1
        self.platform_bytes[platform] += r["size_bytes"]
        if r["platform"]["platform"] is None:
            self.unknown[r["platform"]["unknown_reason"]] += 1
        for phase in self.turns:
            self.turns[phase] += r["turns"][phase]
        self.categories.update(r["categories"])
        if r["reading_plan"]:
            self.chunked_files += 1
        if r.get("knowledge"):
            self.knowledge_files += 1
            self.knowledge_kept += r["knowledge"]["token_estimate"]
            self.knowledge_full += r["knowledge"]["full_tokens"]

    def add_left_out(self, counts: dict) -> None:
        for key in self.left_out:
            self.left_out[key] += counts.get(key, 0)

    def to_dict(self) -> dict:
        summary = {
            "files": self.files,
            "assessed": self.assessed,
            "not_assessed": self.files - self.assessed,
            "levels": dict(self.levels),
            "turns": dict(self.turns),
            "platforms": _by_count(self.platforms),
            "platform_bytes": _by_count(self.platform_bytes),
            "unknown_platforms": dict(self.unknown),
            "top_categories": [[name, count] for name, count in _by_count(self.categories).items()][:TOP_CATEGORIES],
            "categories": _by_count(self.categories),
            "chunked_files": self.chunked_files,
            # By path: the same list whatever order parallel workers finished in.
            "not_assessed_files": sorted(self.not_assessed_files, key=lambda f: (f["path"], f["reason"])),
        }  # fmt: skip
        if self.knowledge_files:
            summary["knowledge"] = {
                "token_estimate": self.knowledge_kept,
                "full_tokens": self.knowledge_full,
                "reduction_pct": round((1 - self.knowledge_kept / max(self.knowledge_full, 1)) * 100),
            }
        return summary


def summarize(records: Iterable[dict]) -> dict:
    """The summary of `records` (without `left_out` and `seconds`, which only a run knows)."""
    totals = Summary()
    for record in records:
        totals.add(record)
    return totals.to_dict()


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
    return {key: ("" if row.get(key) is None else _csv_cell(row[key])) for key in CSV_COLUMNS}


def _platform_text(p: dict) -> str:
    """The platform with its probability, or "unknown" with the detector's reason."""
    if p["platform"] is None:
        return f"unknown ({p['reason']})"
    return f"{p['platform']} ({p['confidence']:.2f})"


def _turns_text(t: dict) -> str:
    return f"{t['analysis']}/{t['conversion']}/{t['audit']}"


def _table_rows(records: list[dict], narrow: bool = False) -> list[list[str]]:
    rows = []
    for r in records:
        if r["status"] != "assessed":
            continue
        if narrow:
            rows.append([shown(r["path"]), r["complexity"]["level"], str(r["lines"]),
                         _turns_text(r["turns"]), _platform_text(r["platform"])])  # fmt: skip
            continue
        plan = r["reading_plan"]
        knowledge = r["knowledge"]
        rows.append([
            shown(r["path"]), r["complexity"]["level"], str(r["lines"]), _turns_text(r["turns"]),
            _platform_text(r["platform"]), r["encoding"] + (" BOM" if r["bom"] else ""),
            str(len(r["categories"])),
            f"{len(plan['sections'])} sections" if plan else "whole",
            f"{knowledge['token_estimate']}/{knowledge['full_tokens']} (-{knowledge['reduction_pct']}%)"
            if knowledge else "",
        ])  # fmt: skip
    return rows


TABLE_HEADERS = ["File", "Level", "Lines", "Turns a/c/au", "Platform", "Encoding", "Categ.", "Reading",
                 "Knowledge"]  # fmt: skip
# Below this width the table keeps the columns a reader scans for (file, level, size, turns,
# platform) and lets long cells wrap, instead of squeezing nine columns to a few letters each.
NARROW_TABLE_HEADERS = ["File", "Level", "Lines", "Turns", "Platform"]
NARROW_WIDTH = 120
SORT_KEYS = ("path", "level", "lines", "platform")


def sort_records(records: list[dict], key: str) -> list[dict]:
    """Records in the order of --sort: `path` keeps the search order; `level` most complex first,
    `lines` longest first, `platform` by name with unknown last; files not assessed last."""
    if key == "path":
        return list(records)

    def order(r: dict):
        if r["status"] != "assessed":
            return (1, 0, "")
        if key == "level":
            return (0, -LEVELS.index(r["complexity"]["level"]), "")
        if key == "lines":
            return (0, -r["lines"], "")
        name = r["platform"]["platform"]
        return (0, name is None, name or "")

    return sorted(records, key=order)  # stable: ties keep the search order


def _summary_lines(s: dict) -> list[str]:
    lines = [
        f"Files: {s['files']} ({s['assessed']} assessed, {s['not_assessed']} not assessed)",
        "Levels: " + ", ".join(f"{level} {n}" for level, n in s["levels"].items()),
        "Turns: " + ", ".join(f"{phase} {n}" for phase, n in s["turns"].items()),
        "Platforms: " + (", ".join(f"{name} {n}" for name, n in s["platforms"].items()) or "-"),
        "Unknown platform: " + ", ".join(f"{reason.replace('_', ' ')} {n}"
                                         for reason, n in s["unknown_platforms"].items()),
        "Top categories: " + (", ".join(f"{name} {n}" for name, n in s["top_categories"]) or "-"),
        f"Files read in sections: {s['chunked_files']}",
    ]
    if "left_out" in s:
        left = s["left_out"]
        lines.append(f"Left out: {left['not_included']} not included, {left['excluded']} excluded, "
                     f"{left['gitignored']} ignored by git; folders: {left['excluded_folders']} excluded, "
                     f"{left['gitignored_folders']} ignored by git")  # fmt: skip
    if "knowledge" in s:
        k = s["knowledge"]
        lines.append(f"Knowledge: {k['token_estimate']} of {k['full_tokens']} words kept (-{k['reduction_pct']}%)")
    return lines


def _raise_broken_pipe() -> None:
    raise BrokenPipeError


def _terminal_width(out) -> int | None:
    """The width of the terminal `out` writes to, or None when it is not one."""
    try:
        if out.isatty():
            return os.get_terminal_size(out.fileno()).columns
    except (OSError, ValueError, AttributeError):
        pass
    return None


def _drawn_table(title: str, headers: list[str], rows: list[list[str]], width: int) -> str | None:
    """The wide table as rich draws it on a console of `width` columns without colour, drawn
    directly: rich lays out each cell on its own, which costs about half a millisecond a row
    on an estate's report. Cells are measured in terminal cells and wrapped at rich's break
    points. Text whose width is not the sum of its characters' (combining marks, joined emoji)
    returns None and goes to rich."""
    from rich.cells import cell_len as rich_cell_len
    from rich.cells import set_cell_size
    from rich.table import Table

    def cell_len(text: str) -> int:  # ASCII text, the common case, is one cell a character
        return len(text) if text.isascii() else rich_cell_len(text)

    def padded(text: str, size: int) -> str:
        return text.ljust(size) if text.isascii() else set_cell_size(text, size)

    try:
        collapse = Table._collapse_widths
        from rich._ratio import ratio_reduce
        from rich._wrap import divide_line
    except (AttributeError, ImportError):  # a rich without these lays out differently
        return None
    table = [headers, *rows]
    for row in table:
        for cell in row:
            if not cell.isprintable():
                return None
            if not cell.isascii() and (rich_cell_len(cell) != sum(map(rich_cell_len, cell))
                                       or min(map(rich_cell_len, cell)) < 1):
                return None
    padding = 2
    room = width - (len(headers) + 1)
    widths = [min(max(cell_len(row[i]) for row in table) + padding, room) for i in range(len(headers))]
    if sum(widths) > room:
        widths = collapse(widths, [True] * len(widths), room)
        if sum(widths) > room:
            widths = ratio_reduce(sum(widths) - room, [1] * len(widths), widths, widths)
    inner = [w - padding for w in widths]
    if min(inner) < 1:
        return None
    lines = []

    def wrapped(cell: str, size: int) -> list[str]:
        if cell_len(cell) <= size:
            return [cell]
        breaks = divide_line(cell, size, fold=True)
        pieces = []
        for start, end in zip([0, *breaks], [*breaks, len(cell)]):
            piece = cell[start:end]
            if len(piece) > size:  # trailing spaces past the edge go first (counted as rich counts)
                piece = piece[:len(piece) - min(len(piece) - len(piece.rstrip(" ")), len(piece) - size)]
            pieces.append(set_cell_size(piece, size) if cell_len(piece) > size else piece)
        return pieces

    def draw(row: list[str], edge: str, header: bool = False) -> None:
        pieces = [wrapped(cell, size) for cell, size in zip(row, inner)]
        height = max(map(len, pieces))
        if header:  # headers sit on the header row's last line
            pieces = [[""] * (height - len(piece)) + piece for piece in pieces]
        for line in range(height):
            cells = (piece[line] if line < len(piece) else "" for piece in pieces)
            lines.append(edge + edge.join(f" {padded(text, size)} " for text, size in zip(cells, inner)) + edge)

    total = sum(widths) + len(widths) + 1
    left = (total - cell_len(title)) // 2
    if left < 0:
        return None
    lines.append(" " * left + title + " " * (total - cell_len(title) - left))
    lines.append("┏" + "┳".join("━" * w for w in widths) + "┓")
    draw(headers, "┃", header=True)
    lines.append("┡" + "╇".join("━" * w for w in widths) + "┩")
    for row in rows:
        draw(row, "│")
    lines.append("└" + "┴".join("─" * w for w in widths) + "┘")
    return "\n".join(lines) + "\n"


def write_table(records: list[dict], summary: dict, out, summary_only: bool = False) -> None:
    try:
        from rich.console import Console
        from rich.table import Table
        from rich.text import Text
    except ImportError:
        write_plain_table(records, summary, out, summary_only)
        return
    # Cells are Text objects: rich reads markup and emoji codes only from plain strings, and a
    # file name like "[blink]x.sql" must not become styling.
    # Piped output has no terminal width to fit; a wide table keeps paths on one line.
    width = _terminal_width(out) or 200
    narrow = width < NARROW_WIDTH
    console = Console(file=out, width=width)
    console.on_broken_pipe = _raise_broken_pipe  # the command, not rich, decides how to end
    drawn = None
    if not summary_only and not narrow and console.color_system is None:
        drawn = _drawn_table("SQL assessment", TABLE_HEADERS, _table_rows(records), width)
        if drawn is not None:
            console.file.write(drawn)
    if not summary_only and drawn is None:
        table = Table(title="SQL assessment", show_lines=False)
        for header in NARROW_TABLE_HEADERS if narrow else TABLE_HEADERS:
            if narrow and header in ("Level", "Lines", "Turns"):
                table.add_column(header, no_wrap=True)
            else:
                table.add_column(header, overflow="fold", ratio=1 if narrow else None)
        for row in _table_rows(records, narrow):
            table.add_row(*map(Text, row))
        console.print(table)
    failed = [r for r in records if r["status"] != "assessed"]
    if failed:
        problems = Table(title="Not assessed")
        for header in ("File", "Reason", "Detail"):
            problems.add_column(header, overflow="fold")
        for r in failed:
            problems.add_row(Text(shown(r["path"])), Text(r["reason"]), Text(shown(r["detail"])))
        console.print(problems)
    for line in _summary_lines(summary):
        console.print(line, highlight=False, markup=False)


def write_plain_table(records: list[dict], summary: dict, out, summary_only: bool = False) -> None:
    width = _terminal_width(out)
    narrow = width is not None and width < NARROW_WIDTH
    headers = NARROW_TABLE_HEADERS if narrow else TABLE_HEADERS
    rows = [headers] + _table_rows(records, narrow)
    widths = [max(len(row[i]) for row in rows) for i in range(len(headers))]
    for row in [] if summary_only else rows:
        if narrow:  # one file a line, its figures indented below
            print(row[0], file=out)
            print("    " + "  ".join(row[1:]), file=out)
            continue
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip(), file=out)
    failed = [r for r in records if r["status"] != "assessed"]
    if failed:
        print("\nNot assessed:", file=out)
        for r in failed:
            print(f"  {shown(r['path'])}: {r['reason']} ({shown(r['detail'])})", file=out)
    print(file=out)
    for line in _summary_lines(summary):
        print(line, file=out)


class _Progress:
    """A progress line on stderr counting the files and bytes assessed so far (the search goes
    on while files are assessed, so there is no total to count down), drawn by rich when it is
    installed."""

    def __init__(self) -> None:
        self.done = self.done_bytes = 0
        self._drawn = 0.0
        try:
            from rich.console import Console
            from rich.progress import DownloadColumn, Progress, SpinnerColumn, TextColumn, TimeElapsedColumn
        except ImportError:
            self._bar = None
            return
        # Redrawn from this thread: a refresh thread would make forking replacement workers unsafe.
        self._bar = Progress(
            SpinnerColumn(), TextColumn("assessing"), DownloadColumn(binary_units=True),
            TextColumn("{task.fields[files]}"), TimeElapsedColumn(),
            console=Console(file=sys.stderr), transient=True, auto_refresh=False,
        )  # fmt: skip
        self._task = self._bar.add_task("assessing", total=None, files="0 files")
        self._bar.start()

    def advance(self, size: int) -> None:
        self.done += 1
        self.done_bytes += size
        now = time.monotonic()
        if now - self._drawn < 0.1:
            return
        self._drawn = now
        if self._bar is not None:
            self._bar.update(self._task, completed=self.done_bytes, files=f"{self.done} files")
            self._bar.refresh()
        else:
            print(f"\rassessed {self.done} files, {self.done_bytes / 2**20:.1f} MiB", end="", file=sys.stderr,
                  flush=True)  # fmt: skip

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
        # The CPUs this process may run on (its affinity mask), not every CPU of the machine.
        return os.process_cpu_count() or 1
    return _positive_int(text)


_SIZE = re.compile(r"\s*(\d+)\s*([kmgt]?)(i?)(b?)\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """Bytes from `1048576`, `1MB` (10**6), `512KiB` (2**19) or `1M` (2**20: a bare letter is
    binary, as `du` and `ls -h` mean it). Raises argparse.ArgumentTypeError."""
    found = _SIZE.fullmatch(str(text))
    if found is None or (found.group(3) and not found.group(2)):
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (examples: 1048576, 1MB, 512KiB)")
    number, prefix, binary, byte = found.groups()
    power = "kmgt".index(prefix.lower()) + 1 if prefix else 0
    base = 1024 if binary or (prefix and not byte) else 1000
    value = int(number) * base**power
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte: {text!r}")
    return value


def _shard(text: str) -> tuple[int, int]:
    found = re.fullmatch(r"\s*(\d+)\s*/\s*(\d+)\s*", text)
    if found is None:
        raise argparse.ArgumentTypeError(f"not a shard: {text!r} (K/N, e.g. 1/4)")
    k, n = int(found.group(1)), int(found.group(2))
    if not 1 <= k <= n:
        raise argparse.ArgumentTypeError(f"K must be from 1 to N: {text!r}")
    return k, n


def shard_of(path: str, count: int) -> int:
    """The share (1 to `count`) a path falls in: a hash of its bytes, the same in every run and
    on every machine (Python's own str hash changes from process to process)."""
    import hashlib

    digest = hashlib.blake2b(os.fsencode(path), digest_size=8).digest()
    return int.from_bytes(digest, "big") % count + 1


def package_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version

        return version("agents-transmute")
    except PackageNotFoundError:  # run from a source tree that was not installed
        return "unknown"


class _VersionAction(argparse.Action):
    """--version, the package's version looked up only when asked for: reading the installed
    metadata costs every run more than a small script's assessment."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):  # noqa: A002 - argparse's own keyword
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{parser.prog} {package_version()}")
        parser.exit()


def _listed_paths(source: str) -> Iterator[str]:
    """The paths of a --files-from list, one a line, read as they are needed. Names are taken as
    bytes and decoded as the file system's are (os.fsdecode), so any name can be listed; blank
    lines are skipped, a `\r` before the newline is dropped."""
    handle = sys.stdin.buffer if source == "-" else open(source, "rb")
    try:
        for line in handle:
            line = line.rstrip(b"\n").removesuffix(b"\r")
            if line:
                yield os.fsdecode(line)
    finally:
        if handle is not sys.stdin.buffer:
            handle.close()


def _encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


FORMATS = ("table", "json", "jsonl", "csv", "sarif", "github", "junit", "html")

EXIT_STATUS_HELP = f"""exit status:
  {EXIT_OK}    every file selected was assessed (and none reached --fail-on)
  {EXIT_NOT_ASSESSED}    some file could not be assessed (unreadable, too large, undecodable...)
  {EXIT_USAGE}    bad usage: unknown option or value, bad settings, unusable --knowledge folder or --output
  {EXIT_FAIL_ON}    the --fail-on gate: a file reached the level (the files are listed on stderr)
  {EXIT_NO_FILES}    no file was selected (said on stderr with what was left out)
  130  stopped by SIGINT; 143 stopped by SIGTERM (records already written are kept)
  141  the output pipe was closed (as `| head` does)
When files are both not assessed and over the gate, the status is {EXIT_NOT_ASSESSED}."""

EXAMPLES_HELP = """examples:
  sql-assess sql/                                  table of every SQL script below sql/
  sql-assess . --include 'etl/**/*.{sql,hql}' --exclude 'Deprecated/'
  sql-assess . --fail-on complex --format github   CI gate with workflow annotations
  sql-assess . --format sarif -o sql-assess.sarif  for code scanning
  sql-assess . --format html -o report.html        a self-contained page with charts
  sql-assess legacy/ --fallback-encoding cp1252 --max-bytes 8MiB --jobs auto
  sql-assess . --summary-only --sort level
  git ls-files '*.sql' | sql-assess --files-from - --format jsonl -o run.jsonl
  sql-assess . --shard 2/4 --format jsonl -o shard2.jsonl    one of four machines' share
  sql-assess summarize shard*.jsonl                one summary of all the shards (full counts)

settings: [tool.sql-assess] in the pyproject.toml found walking up from the first PATH takes
include, exclude, format, fail-on, knowledge, max-bytes, jobs, gitignore, fallback-encoding and
sort; the command line overrides them (include and exclude lists are replaced, not merged)."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sql-assess",
        description="Assess SQL scripts for conversion to PySpark: complexity, turn budgets, construct "
        "categories, source platform, reading plans and knowledge selection.",
        epilog=EXAMPLES_HELP + "\n\n" + EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("paths", nargs="*", metavar="PATH", help="SQL files and folders (searched recursively)")
    parser.add_argument("--files-from", metavar="FILE",
                        help="also take the paths listed in FILE, one a line ('-': standard input); read as the "
                        "run goes, so the list may be of any length")
    parser.add_argument("--shard", type=_shard, metavar="K/N",
                        help="assess only the K-th of N shares of the files (K from 1 to N), chosen by a stable "
                        "hash of each path; merge the runs' jsonl records with `sql-assess summarize`")
    parser.add_argument("--include", action="append", metavar="PATTERN",
                        help="gitignore-style pattern of files to take from folders (repeatable; `**`, "
                        "`!` and {a,b} work; default: the SQL extensions " + " ".join(f".{e}" for e in SQL_EXTENSIONS) + ")")
    parser.add_argument("--exclude", action="append", metavar="PATTERN",
                        help="gitignore-style pattern of files or folders (trailing /) to leave out (repeatable)")
    parser.add_argument("--no-gitignore", dest="gitignore", action="store_false", default=None,
                        help="inside a git work tree, take files that .gitignore files ignore too")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: table)")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of stdout")
    parser.add_argument("--knowledge", metavar="DIR",
                        help="folder with mapping.md, gotchas.md and (optionally) limitations.md")
    parser.add_argument("--max-bytes", type=parse_size, metavar="SIZE",
                        help=f"files larger than this are reported, not assessed: bytes, or 1MB, 512KiB, 8M "
                        f"(default {DEFAULT_MAX_BYTES // 2**20}MiB)")
    parser.add_argument("--fallback-encoding", type=_encoding, metavar="NAME",
                        help="decode files that are not UTF-8 with this codec (e.g. cp1252); the records name it")
    parser.add_argument("--jobs", "-j", type=_jobs, metavar="N",
                        help="parallel worker processes, or 'auto' for the CPUs this process may use (default 1)")
    parser.add_argument("--fail-on", choices=("moderate", "complex"),
                        help=f"exit {EXIT_FAIL_ON} when any file reaches this level, listing those files on stderr")
    parser.add_argument("--sort", choices=SORT_KEYS, help="order of the files (default: path)")
    parser.add_argument("--summary-only", action="store_true", help="table format: only the summary")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    parser.add_argument("--version", action=_VersionAction)
    return parser  # fmt: skip


# Settings [tool.sql-assess] may hold, and how each value is read.
SETTINGS = {
    "include": "patterns", "exclude": "patterns", "format": FORMATS, "fail-on": ("moderate", "complex"),
    "knowledge": "path", "max-bytes": parse_size, "jobs": _jobs, "gitignore": "bool",
    "fallback-encoding": _encoding, "sort": SORT_KEYS,
}  # fmt: skip
DEFAULTS = {"include": DEFAULT_INCLUDE, "exclude": [], "format": "table", "fail-on": None, "knowledge": None,
            "max-bytes": DEFAULT_MAX_BYTES, "jobs": 1, "gitignore": True, "fallback-encoding": None,
            "sort": "path"}  # fmt: skip


class SettingsError(Exception):
    pass


def find_settings(first_path: str) -> tuple[str | None, dict]:
    """The `pyproject.toml` nearest above `first_path` that has a [tool.sql-assess] table, and
    the settings read from it. Raises SettingsError for a file or value that cannot be used."""
    current = os.path.abspath(first_path)
    if not os.path.isdir(current):
        current = os.path.dirname(current)
    while True:
        candidate = os.path.join(current, "pyproject.toml")
        if os.path.isfile(candidate):
            import tomllib  # only where a settings file is found

            try:
                with open(candidate, "rb") as handle:
                    table = tomllib.load(handle).get("tool", {}).get("sql-assess")
            except (OSError, tomllib.TOMLDecodeError) as error:
                raise SettingsError(f"{candidate}: {error}") from None
            if table is not None:
                return candidate, _read_settings(candidate, table)
        parent = os.path.dirname(current)
        if parent == current:
            return None, {}
        current = parent


def _read_settings(source: str, table) -> dict:
    where = f"{source} [tool.sql-assess]"
    if not isinstance(table, dict):
        raise SettingsError(f"{where}: not a table")
    settings = {}
    for key, value in table.items():
        kind = SETTINGS.get(key)
        if kind is None:
            raise SettingsError(f"{where}: unknown setting {key!r} (known: {', '.join(SETTINGS)})")
        if kind == "patterns":
            value = [value] if isinstance(value, str) else value
            if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
                raise SettingsError(f"{where}: {key} must be a pattern or a list of patterns")
        elif kind == "bool":
            if not isinstance(value, bool):
                raise SettingsError(f"{where}: {key} must be true or false")
        elif kind == "path":
            if not isinstance(value, str):
                raise SettingsError(f"{where}: {key} must be a folder path")
            value = os.path.join(os.path.dirname(source), value)
        elif isinstance(kind, tuple):
            if value not in kind:
                raise SettingsError(f"{where}: {key} must be one of {', '.join(kind)}, not {value!r}")
        else:
            try:
                value = kind(str(value))
            except argparse.ArgumentTypeError as error:
                raise SettingsError(f"{where}: {key}: {error}") from None
        settings[key] = value
    return settings


class _Stopped(BaseException):
    """Raised in the main process by SIGINT or SIGTERM: the run ends, its workers are killed."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def _stop(signum: int, frame) -> None:
    # Further signals are ignored while the run winds down, so they cannot interrupt the cleanup.
    for other in _STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    raise _Stopped(signum)


def _discard_stdout() -> None:
    """After a closed pipe: later writes (and the flush at exit) go to /dev/null, quietly."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _import_structlog_without_rich() -> None:
    """Imports structlog (which the modules log through) with rich hidden from it. structlog
    imports rich, where installed, only to draw exceptions in its development console, and that
    costs about 0.1 s at every start; the command's logs are quiet and draw no exception. rich
    is importable again afterwards, for the table and the progress bar. asyncio, which structlog
    needs only inside its async logging methods, is loaded when first used (about 50 ms)."""
    if "structlog" in sys.modules or "rich" in sys.modules:
        return
    _defer("asyncio")
    # A log record names its asyncio task where asyncio is imported; structlog makes one.
    tasks, logging.logAsyncioTasks = logging.logAsyncioTasks, False
    sys.modules["rich"] = None  # type: ignore[assignment]  # makes `import rich` fail
    try:
        import structlog  # noqa: F401
    except ImportError:
        pass  # the modules report a missing structlog themselves
    finally:
        del sys.modules["rich"]
        logging.logAsyncioTasks = tasks


class _Deferred(types.ModuleType):
    """Stands in sys.modules for a module that importers bind but use only later: the first
    attribute asked of it imports the module itself, which then replaces it in sys.modules, and
    every attribute is read from that module. (The standard library's LazyLoader does not hold:
    a second `import` of the module reads its __spec__ and so loads it at once.)"""

    def __getattr__(self, attr: str):
        name = self.__name__
        if sys.modules.get(name) is self:
            del sys.modules[name]
        return getattr(importlib.import_module(name), attr)


def _defer(name: str) -> None:
    """Defers the import of module `name` until one of its attributes is used (see _Deferred)."""
    if name not in sys.modules:
        sys.modules[name] = _Deferred(name)


def main(argv: list[str] | None = None) -> int:
    """The command (`sql-assess summarize ...` merges runs instead). Exit status: 0, 1 (not assessed), 2 (usage), 3 (--fail-on reached), 4 (no file
    selected), 141 (output pipe closed, as for a command ended by SIGPIPE), 130 or 143 (stopped by
    SIGINT or SIGTERM)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["summarize"]:  # a folder of that name is `./summarize`
        try:
            return _summarize_main(argv[1:])
        except BrokenPipeError:
            _discard_stdout()
            return EXIT_BROKEN_PIPE
    parser = build_parser()
    args = parser.parse_args(argv)
    _import_structlog_without_rich()
    handlers = {}
    if threading.current_thread() is threading.main_thread():
        handlers = {signum: signal.signal(signum, _stop) for signum in _STOP_SIGNALS}
    try:
        return _assess(parser, args)
    except _Stopped as stopped:
        print(f"sql-assess: stopped by {signal.Signals(stopped.signum).name}", file=sys.stderr)
        try:
            sys.stdout.flush()  # the records already written stay, whole
        except BrokenPipeError:
            _discard_stdout()
        return 128 + stopped.signum
    except BrokenPipeError:
        _discard_stdout()
        return EXIT_BROKEN_PIPE
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


def _settings(parser: argparse.ArgumentParser, args: argparse.Namespace) -> dict:
    """Defaults, overridden by [tool.sql-assess], overridden by the command line."""
    try:
        _, found = find_settings(args.paths[0] if args.paths else ".")
    except SettingsError as error:
        parser.error(str(error))
    settings = {**DEFAULTS, **found}
    for key in SETTINGS:
        given = getattr(args, key.replace("-", "_"))
        if given is not None:
            settings[key] = given
    return settings


# Records are trees of new dicts and lists, never cyclic: the encoder skips its cycle checks,
# which cost about a fifth of a record's encoding.
_RECORD_JSON = json.JSONEncoder(check_circular=False)


def _write_record(out, record: dict) -> None:
    out.write(_RECORD_JSON.encode({"schema_version": SCHEMA_VERSION, "record": "file", **record}) + "\n")


def _assess(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if not args.paths and not args.files_from:
        parser.error("give at least one PATH or --files-from")
    settings = _settings(parser, args)
    fmt = settings["format"]
    knowledge = None
    if settings["knowledge"]:
        try:
            knowledge = Knowledge.load(settings["knowledge"])
        except KnowledgeError as error:
            parser.error(f"--knowledge {shown(settings['knowledge'])}: {shown(str(error))}")
    assess_output = None
    if fmt in ("sarif", "github", "junit", "html"):
        from agents.transmute import assess_output
    if fmt == "html":
        problem = assess_output.html_unavailable()
        if problem:
            parser.error(problem)
    # Imported only by the search that needs it; here it is only looked for.
    if importlib.util.find_spec("pathspec") is None:
        parser.error("the pathspec package is needed to select files: pip install pathspec")
    listed: Iterable[str] = ()
    if args.files_from:
        if args.files_from != "-" and not os.path.isfile(args.files_from):
            parser.error(f"--files-from {shown(args.files_from)}: not a readable file")
        listed = _listed_paths(args.files_from)
    quiet_module_logs()
    if args.output:
        try:
            out = open(args.output, "w", encoding="utf-8", newline="")
        except OSError as error:
            parser.error(f"--output {shown(args.output)}: {error.strerror or error}")
    else:
        out = sys.stdout
    try:
        return _run_and_report(args, settings, knowledge, listed, out, assess_output)
    finally:
        if out is not sys.stdout:
            out.close()


def _run_and_report(args, settings, knowledge, listed, out, assess_output) -> int:
    """Searches and assesses as one stream: each path found goes to a free worker, each record
    is added to the running summary and, in jsonl, written at once and dropped. The other
    formats sort their records by path order and so keep them until the end."""
    fmt = settings["format"]
    fail_on = settings["fail-on"]
    threshold = LEVELS.index(fail_on) if fail_on else None
    totals = Summary()
    streaming = fmt == "jsonl"
    kept: list[tuple[int, dict]] = []  # (place in the search, record): formats written at the end
    places: dict[str, int] = {}
    tripped: list[tuple[str, str]] = []
    progress = None
    show_progress = not args.quiet and sys.stderr.isatty()
    share = None
    if args.shard:
        k, n = args.shard
        share = lambda path: shard_of(path, n) == k  # noqa: E731

    def on_record(record: dict) -> None:
        nonlocal progress
        totals.add(record)
        if threshold is not None and record["status"] == "assessed":
            level = record["complexity"]["level"]
            if LEVELS.index(level) >= threshold:
                tripped.append((record["path"], level))
        if streaming:
            _write_record(out, record)
            out.flush()
        else:
            kept.append((places.get(record["path"], -1), record))
        if show_progress:
            size = record["size_bytes"] or 0
            # Drawn once the run has shown it takes a while: PROGRESS_MIN_FILES files or bytes.
            if progress is None and (totals.files >= PROGRESS_MIN_FILES
                                     or sum(totals.platform_bytes.values()) >= PROGRESS_MIN_BYTES):
                progress = _Progress()
                progress.done = totals.files - 1
                progress.done_bytes = sum(totals.platform_bytes.values()) - size
            if progress is not None:
                progress.advance(size)

    def on_problem(record: dict) -> None:
        if share is None or share(record["path"]):
            on_record(record)

    found = [0]  # files the search selected, in every shard

    def selected() -> Iterator[str]:
        for place, path in enumerate(iter_files(args.paths, settings["include"], settings["exclude"],
                                                gitignore=settings["gitignore"], left_out=totals.left_out,
                                                on_problem=on_problem, share=share, listed=listed)):  # fmt: skip
            found[0] += 1
            if share is not None and not share(path):
                continue
            if not streaming:
                places[path] = place
            yield path

    started = time.perf_counter()
    try:
        run(selected(), max_bytes=settings["max-bytes"], jobs=settings["jobs"], on_record=on_record,
            knowledge=knowledge, fallback=settings["fallback-encoding"])  # fmt: skip
    finally:
        if progress is not None:
            progress.close()
    elapsed = time.perf_counter() - started

    summary = totals.to_dict()
    summary["left_out"] = totals.left_out
    summary["seconds"] = round(elapsed, 3)
    if args.shard:
        summary["shard"] = list(args.shard)
    if streaming:
        out.write(json.dumps({"schema_version": SCHEMA_VERSION, "record": "summary", **summary}) + "\n")
    else:
        # Inputs that could not be searched first, then the files in the order they were found.
        kept.sort(key=lambda item: (item[0] >= 0, item[0]))
        records = sort_records([record for _, record in kept], settings["sort"])
        del kept[:]
        _write_report(fmt, records, summary, out, args, fail_on, assess_output)
    out.flush()

    if not totals.files and not found[0]:  # a shard may be empty; the search may not
        print(f"sql-assess: no file selected ({_left_out_text(totals.left_out)}); see --include, --exclude and "
              "--no-gitignore", file=sys.stderr)  # fmt: skip
        return EXIT_NO_FILES
    if tripped:
        print(f"sql-assess: {len(tripped)} file(s) at or above --fail-on {fail_on}:", file=sys.stderr)
        for path, level in tripped:
            print(f"  {shown(path)}: {level}", file=sys.stderr)
    if totals.files != totals.assessed:
        return EXIT_NOT_ASSESSED
    if tripped:
        return EXIT_FAIL_ON
    return EXIT_OK


def write_json_report(records: list[dict], summary: dict, out) -> None:
    """The `--format json` document, as `json.dump(..., indent=2)` writes it. The standard
    library's C encoder indents only when it encodes a whole value at once, so each record is
    encoded alone and indented to its place: streamed to a file, the document took longer to
    encode than its scripts took to assess, and this does not hold a second copy of it."""
    out.write(f'{{\n  "schema_version": {json.dumps(SCHEMA_VERSION)},\n  "files": ')
    if records:
        for i, record in enumerate(records):
            # A JSON text holds no raw line break: every one in it starts an indented line.
            out.write(("[\n    " if i == 0 else ",\n    ") + json.dumps(record, indent=2).replace("\n", "\n    "))
        out.write("\n  ]")
    else:
        out.write("[]")
    out.write(',\n  "summary": ' + json.dumps(summary, indent=2).replace("\n", "\n  ") + "\n}\n")


def _write_report(fmt: str, records: list[dict], summary: dict, out, args, fail_on, assess_output) -> None:
    if fmt == "json":
        write_json_report(records, summary, out)
    elif fmt == "csv":
        writer = csv.DictWriter(out, fieldnames=CSV_COLUMNS, lineterminator="\n")
        writer.writeheader()
        for record in records:
            writer.writerow(csv_row(record))
    elif fmt == "table":
        write_table(records, summary, out, args.summary_only)
    else:
        writer = {"sarif": assess_output.write_sarif, "github": assess_output.write_github,
                  "junit": assess_output.write_junit, "html": assess_output.write_html}[fmt]  # fmt: skip
        writer(records, summary, out, fail_on=fail_on)


def build_summarize_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sql-assess summarize",
        description="Merge the jsonl record streams of several runs (or of the shards of one run) into one "
        "summary with full counts, equal to the summary of a single run over all their files.",
        epilog="exit status: 0 every file was assessed; 1 some file was not, or a stream has no summary line "
        "(an unfinished run) or a shard is missing; 2 bad usage or a stream that cannot be read",
    )
    parser.add_argument("runs", nargs="+", metavar="RUN.jsonl", help="output of `sql-assess --format jsonl` ('-': stdin)")
    parser.add_argument("--format", choices=("json", "table"), default="json",
                        help="json: one summary record, as the last line of a jsonl run (default); table: text")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the summary to FILE instead of stdout")
    return parser  # fmt: skip


class _StreamError(Exception):
    pass


def merge_runs(streams: Iterable[tuple[str, Iterable[bytes]]]) -> tuple[dict, list[str]]:
    """One summary from the jsonl lines of several runs: every file record is added to running
    totals (so the counts are complete, not a top ten), the runs' `left_out` counts are added
    and their `seconds` summed. Returns the summary and the problems that make it partial (an
    unfinished run, a missing shard). Raises _StreamError for a line that is not a record of
    this schema version, or a shard given twice."""
    totals = Summary()
    seconds = 0.0
    problems: list[str] = []
    shards: dict[int, set[int]] = collections.defaultdict(set)
    for name, lines in streams:
        finished = False
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
                kind, version = record["record"], record["schema_version"]
            except (ValueError, TypeError, KeyError):
                raise _StreamError(f"{name}:{number}: not a jsonl record of sql-assess") from None
            if version != SCHEMA_VERSION:
                raise _StreamError(f"{name}:{number}: schema_version {version}; this sql-assess reads {SCHEMA_VERSION}")
            if kind == "file":
                totals.add(record)
            elif kind == "summary":
                finished = True
                totals.add_left_out(record.get("left_out", {}))
                seconds += record.get("seconds", 0)
                if record.get("shard"):
                    k, n = record["shard"]
                    if k in shards[n]:
                        raise _StreamError(f"{name}: shard {k}/{n} given twice")
                    shards[n].add(k)
        if not finished:
            problems.append(f"{name}: no summary line (the run did not finish): its left-out counts are missing")
    for n, taken in sorted(shards.items()):
        missing = sorted(set(range(1, n + 1)) - taken)
        if missing:
            problems.append("shard(s) " + ", ".join(f"{k}/{n}" for k in missing) + " missing")
    summary = totals.to_dict()
    summary["left_out"] = totals.left_out
    summary["seconds"] = round(seconds, 3)
    return summary, problems


def _summarize_main(argv: list[str]) -> int:
    parser = build_summarize_parser()
    args = parser.parse_args(argv)
    handles = []
    try:
        for run_path in args.runs:
            if run_path == "-":
                handles.append(("-", sys.stdin.buffer))
                continue
            try:
                handles.append((run_path, open(run_path, "rb")))
            except OSError as error:
                parser.error(f"{shown(run_path)}: {error.strerror or error}")
        try:
            summary, problems = merge_runs(handles)
        except _StreamError as error:
            print(f"sql-assess summarize: {shown(str(error))}", file=sys.stderr)
            return EXIT_USAGE
    finally:
        for name, handle in handles:
            if handle is not sys.stdin.buffer:
                handle.close()
    try:
        out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    except OSError as error:
        parser.error(f"--output {shown(args.output)}: {error.strerror or error}")
    try:
        if args.format == "json":
            out.write(json.dumps({"schema_version": SCHEMA_VERSION, "record": "summary", **summary}) + "\n")
        else:
            for line in _summary_lines(summary):
                print(line, file=out)
        out.flush()
    finally:
        if out is not sys.stdout:
            out.close()
    for problem in problems:
        print(f"sql-assess summarize: {shown(problem)}", file=sys.stderr)
    return EXIT_NOT_ASSESSED if problems or summary["not_assessed"] else EXIT_OK


def _left_out_text(left: dict) -> str:
    return (f"{left['not_included']} file(s) not matching --include, {left['excluded']} excluded, "
            f"{left['gitignored']} ignored by git, {left['excluded_folders'] + left['gitignored_folders']} "
            "folder(s) left out")  # fmt: skip


def command() -> int:
    """The `sql-assess` console script: `main()`, then an exit without the collector's passes
    over everything the run made. By then the command's files are closed and its streams
    flushed; the passes (about 40 ms, a tenth of a small run) would only free memory that the
    process gives back as it ends."""
    status = main()
    gc.freeze()
    return status


if __name__ == "__main__":
    sys.exit(command())
