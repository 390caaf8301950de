"""sql-assess as a CI tool, run as a real subprocess: file selection (patterns, .gitignore, the
default extensions, left-out counts), fallback encoding, sizes, exit statuses, settings from
pyproject.toml, the table's layouts and the SARIF, GitHub, JUnit and HTML formats."""

import fcntl
import json
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import termios
import textwrap
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

COMMAND = [sys.executable, "-m", "agents.transmute.assess"]
SCHEMA = Path(__file__).resolve().parent / "schemas" / "sarif-schema-2.1.0.json"
TSQL = "CREATE PROCEDURE dbo.p AS\nBEGIN\n  SELECT TOP 5 * INTO #t FROM dbo.Orders;\nEND\nGO\n"
SIMPLE = "SELECT 1 AS one;\n"
# Complex: cursors and dynamic SQL in a procedure.
COMPLEX = ("CREATE PROCEDURE dbo.c AS\nBEGIN\n DECLARE cur CURSOR FOR SELECT id FROM t;\n OPEN cur;\n"
           " FETCH NEXT FROM cur INTO @id;\n EXEC sp_executesql @sql;\n CLOSE cur; DEALLOCATE cur;\nEND\nGO\n")


def run(cwd, *args, env=None):
    return subprocess.run([*COMMAND, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120,
                          env=env)  # fmt: skip


def paths_of(done) -> set[str]:
    assert done.returncode in (0, 1, 3), done.stderr
    return {r["path"] for r in json.loads(done.stdout)["files"]}


def make(root: Path, files: dict[str, str | bytes]) -> Path:
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return root


@pytest.fixture
def estate(tmp_path):
    """A tree of top-level and nested scripts of several extensions, a Deprecated folder and
    files that are not SQL."""
    make(tmp_path / "e", {
        "top.sql": SIMPLE, "model.sqlx": SIMPLE, "etl.hql": SIMPLE, "load.bteq": SIMPLE, "run.btq": SIMPLE,
        "pkg.pks": SIMPLE, "pkg.pkb": SIMPLE, "UPPER.SQL": SIMPLE, "readme.md": "# notes", "job.py": "x = 1",
        "a/nested.sql": TSQL, "a/b/deep.sql": COMPLEX, "a/b/view.vw": SIMPLE,
        "Deprecated/old.sql": SIMPLE, "a/Deprecated/older.sql": SIMPLE,
    })  # fmt: skip
    return tmp_path


class TestSelection:
    def test_default_extensions_and_left_out_count(self, estate):
        done = run(estate, "e", "--format", "json")
        paths = paths_of(done)
        for name in ("e/model.sqlx", "e/etl.hql", "e/load.bteq", "e/run.btq", "e/pkg.pks", "e/pkg.pkb",
                     "e/UPPER.SQL", "e/a/b/view.vw", "e/top.sql"):  # fmt: skip
            assert name in paths
        assert "e/readme.md" not in paths and "e/job.py" not in paths
        assert json.loads(done.stdout)["summary"]["left_out"]["not_included"] == 2

    @pytest.mark.parametrize("args, expected", [
        # `**/` matches at the top level too
        (["--include", "**/*.sql"], {"top.sql", "UPPER.SQL", "a/nested.sql", "a/b/deep.sql", "Deprecated/old.sql",
                                     "a/Deprecated/older.sql"}),
        (["--include", "*.{sqlx,hql}"], {"model.sqlx", "etl.hql"}),
        (["--include", "*.sql", "--include", "!a/**"], {"top.sql", "UPPER.SQL", "Deprecated/old.sql"}),
        (["--include", "a/*.sql"], {"a/nested.sql"}),
        (["--include", "*.sql", "--exclude", "Deprecated/"], {"top.sql", "UPPER.SQL", "a/nested.sql", "a/b/deep.sql"}),
        (["--include", "*.sql", "--exclude", "**/Deprecated/**"], {"top.sql", "UPPER.SQL", "a/nested.sql",
                                                                   "a/b/deep.sql"}),
        (["--include", "*.sql", "--exclude", "/Deprecated/"], {"top.sql", "UPPER.SQL", "a/nested.sql", "a/b/deep.sql",
                                                               "a/Deprecated/older.sql"}),
        (["--include", "*.sql", "--exclude", "a/", "--exclude", "!a/"], {"top.sql", "UPPER.SQL", "a/nested.sql",
                                                                        "a/b/deep.sql", "Deprecated/old.sql",
                                                                        "a/Deprecated/older.sql"}),
    ])  # fmt: skip
    def test_gitignore_style_patterns(self, estate, args, expected):
        assert paths_of(run(estate, "e", *args, "--format", "json")) == {f"e/{p}" for p in expected}

    @settings(max_examples=300, deadline=None)
    @given(endings=st.lists(st.sampled_from(["*.sql", "*.pk?", "*.tar.gz", "*sql", "*.", "*.sql ", "*.sql/",
                                             "*.hql"]), max_size=4),  # fmt: skip
           path=st.lists(st.sampled_from(["a", "x.sql", ".sql", "mysql", "b.tar.gz", "c.pkb", "d.", "e.hql", ""]),
                         min_size=1, max_size=4).map("/".join))  # fmt: skip
    def test_ending_patterns_read_as_gitignore_reads_them(self, endings, path):
        # The default patterns are answered by names' endings alone; pathspec's gitignore reading
        # is the judge.
        import pathspec

        from agents.transmute.assess import compile_patterns

        gitignore = pathspec.GitIgnoreSpec.from_lines(endings)
        for candidate in (path, path + "/"):
            assert compile_patterns(endings).match_file(candidate) == gitignore.match_file(candidate), candidate

    def test_excluded_files_and_folders_are_counted(self, estate):
        done = run(estate, "e", "--exclude", "Deprecated/", "--exclude", "*.pk?", "--format", "json")
        left = json.loads(done.stdout)["summary"]["left_out"]
        assert left["excluded"] == 2 and left["excluded_folders"] == 2

    def test_gitignore_inside_a_work_tree(self, estate):
        if shutil.which("git") is None:
            pytest.skip("git is not installed")
        root = estate / "e"
        subprocess.run(["git", "init", "-q", str(root)], check=True)
        (root / ".gitignore").write_text("Deprecated/\n*.hql\n")
        (root / "a" / ".gitignore").write_text("!*.hql\nnested.sql\n")
        (root / "a" / "kept.hql").write_text(SIMPLE)
        done = run(estate, "e", "--format", "json")
        paths = paths_of(done)
        assert "e/etl.hql" not in paths and "e/a/nested.sql" not in paths
        assert "e/a/kept.hql" in paths  # a deeper file takes a pattern back
        assert not any("Deprecated" in p for p in paths)
        left = json.loads(done.stdout)["summary"]["left_out"]
        assert (left["gitignored"], left["gitignored_folders"]) == (2, 2)
        assert not any("/.git/" in p for p in paths)
        everything = paths_of(run(estate, "e", "--no-gitignore", "--format", "json"))
        assert {"e/etl.hql", "e/a/nested.sql", "e/Deprecated/old.sql"} <= everything
        # A file named on the command line is assessed even when git ignores it.
        assert paths_of(run(estate, "e/etl.hql", "--format", "json")) == {"e/etl.hql"}


class TestExitStatuses:
    def test_nothing_selected(self, estate):
        done = run(estate, "e", "--include", "*.nothing", "--format", "json")
        assert done.returncode == 4
        assert done.stderr.startswith("sql-assess: no file selected (15 file(s) not matching --include")
        assert json.loads(done.stdout)["files"] == []

    def test_fail_on_lists_the_files_that_tripped(self, estate):
        done = run(estate, "e", "--fail-on", "complex", "--format", "json")
        assert done.returncode == 3
        assert done.stderr == "sql-assess: 1 file(s) at or above --fail-on complex:\n  e/a/b/deep.sql: complex\n"
        assert run(estate, "e/top.sql", "--fail-on", "moderate").returncode == 0

    def test_not_assessed_wins_over_the_gate(self, estate):
        done = run(estate, "e/a/b/deep.sql", "e/missing.sql", "--fail-on", "complex", "--format", "json")
        assert done.returncode == 1 and "e/a/b/deep.sql: complex" in done.stderr

    def test_help_documents_every_status(self):
        done = run(".", "--help")
        epilog = done.stdout.split("exit status:")[1]
        for status in ("0", "1", "2", "3", "4", "130", "141"):
            assert f"\n  {status} " in epilog
        assert "examples:" in done.stdout

    @pytest.mark.parametrize("args, message", [
        (["--max-bytes", "12XB"], "argument --max-bytes: not a size: '12XB' (examples: 1048576, 1MB, 512KiB)"),
        (["--fallback-encoding", "nope-8"], "argument --fallback-encoding: unknown encoding: 'nope-8'"),
        (["-o", "no/such/folder/out.json"], "--output no/such/folder/out.json: No such file or directory"),
    ])  # fmt: skip
    def test_usage_errors(self, estate, args, message):
        done = run(estate, "e", *args)
        assert done.returncode == 2 and done.stderr.rstrip().endswith(message)


class TestReading:
    @pytest.mark.parametrize("size, limit, reason", [
        (1000, "1KB", None), (1001, "1KB", "too_large"), (1024, "1KiB", None), (1025, "1K", "too_large"),
        (512 * 1024, "512KiB", None), (10**6 + 1, "1MB", "too_large"),
    ])  # fmt: skip
    def test_sizes(self, tmp_path, size, limit, reason):
        (tmp_path / "s.sql").write_bytes(b"-" * (size - 1) + b"\n")
        record = json.loads(run(tmp_path, "s.sql", "--max-bytes", limit, "--format", "json").stdout)["files"][0]
        assert record["reason"] == reason

    def test_fallback_encoding_is_named_in_the_record(self, tmp_path):
        (tmp_path / "legacy.sql").write_bytes("SELECT 'café €';\n".encode("cp1252"))
        (tmp_path / "modern.sql").write_text("SELECT 'café';\n", encoding="utf-8")
        plain = json.loads(run(tmp_path, ".", "--format", "json").stdout)["files"]
        assert [r["reason"] for r in plain] == ["undecodable", None]
        done = run(tmp_path, ".", "--fallback-encoding", "CP1252", "--format", "json")
        by_name = {Path(r["path"]).name: r for r in json.loads(done.stdout)["files"]}
        assert by_name["legacy.sql"]["encoding"] == "cp1252" and by_name["legacy.sql"]["status"] == "assessed"
        assert by_name["modern.sql"]["encoding"] == "utf-8"


class TestSettings:
    def test_pyproject_settings_and_command_line_override(self, estate):
        (estate / "pyproject.toml").write_text(
            '[tool.sql-assess]\ninclude = ["*.sql"]\nexclude = "Deprecated/"\nformat = "json"\n'
            'fail-on = "complex"\nmax-bytes = "1KB"\njobs = "auto"\n')
        done = run(estate / "e" / "a", ".")  # found by walking up from the first path
        assert done.returncode == 3
        assert paths_of(done) == {"./nested.sql", "./b/deep.sql"}
        override = run(estate / "e", ".", "--include", "*.hql", "--format", "csv")
        assert override.returncode == 0 and override.stdout.count("\n") == 2 and "etl.hql" in override.stdout

    @pytest.mark.parametrize("table, message", [
        ('colour = "red"', "unknown setting 'colour'"),
        ('format = "xml"', "format must be one of table, json"),
        ("max-bytes = \"huge\"", "max-bytes: not a size: 'huge'"),
    ])  # fmt: skip
    def test_bad_settings_are_usage_errors(self, tmp_path, table, message):
        (tmp_path / "pyproject.toml").write_text(f"[tool.sql-assess]\n{table}\n")
        (tmp_path / "x.sql").write_text(SIMPLE)
        done = run(tmp_path, "x.sql")
        assert done.returncode == 2 and message in done.stderr


class TestTable:
    def test_sort_and_summary_only(self, estate):
        records = json.loads(run(estate, "e/a", "--sort", "level", "--format", "json").stdout)["files"]
        assert [r["complexity"]["level"] for r in records] == ["complex", "moderate", "simple", "simple"]
        by_lines = json.loads(run(estate, "e/a", "--sort", "lines", "--format", "json").stdout)["files"]
        assert [r["lines"] for r in by_lines] == sorted((r["lines"] for r in by_lines), reverse=True)
        summary = run(estate, "e", "--summary-only").stdout
        assert "e/top.sql" not in summary and summary.startswith("Files: 13 (13 assessed")

    def test_rich_draws_the_table_although_structlog_starts_without_it(self, estate):
        # The command imports structlog with rich hidden; a jsonl run never imports rich, and a
        # table is still drawn by rich (box lines), not by the plain fallback.
        probe = ("import sys; from agents.transmute import assess; status = assess.main(sys.argv[1:]); "
                 "print('rich' in sys.modules, 'structlog' in sys.modules, file=sys.stderr)")  # fmt: skip
        done = subprocess.run([sys.executable, "-c", probe, "e/a", "--format", "jsonl"], cwd=estate,
                              capture_output=True, text=True, timeout=120)  # fmt: skip
        assert done.stderr.split()[-2:] == ["False", "True"], done.stderr
        # Nor asyncio, which structlog binds at import: it is imported when first used, and then
        # structlog's async logging works.
        probe = textwrap.dedent("""
            import logging, sys, types
            from agents.transmute import assess
            assess.main(sys.argv[1:])
            print(type(sys.modules["asyncio"]) is types.ModuleType, file=sys.stderr)
            import asyncio, structlog
            logging.basicConfig(level=logging.INFO, format="%(taskName)s %(message)s")
            structlog.configure(logger_factory=structlog.stdlib.LoggerFactory(),
                                wrapper_class=structlog.stdlib.BoundLogger)
            async def main():
                await structlog.get_logger().ainfo("seen")
            asyncio.run(main())
            print(type(sys.modules["asyncio"]) is types.ModuleType, file=sys.stderr)
        """)
        done = subprocess.run([sys.executable, "-c", probe, "e/a", "--format", "jsonl"], cwd=estate,
                              capture_output=True, text=True, timeout=120)  # fmt: skip
        lines = done.stderr.splitlines()
        assert lines[0] == "False" and lines[-1] == "True" and any("seen" in x for x in lines), lines
        table = run(estate, "e/a").stdout
        assert "SQL assessment" in table and "\u2501" in table, table

    def test_unknown_platform_says_why(self, tmp_path):
        (tmp_path / "plain.sql").write_text(SIMPLE)
        done = run(tmp_path, ".", "--format", "json")
        record = json.loads(done.stdout)["files"][0]
        assert record["platform"]["unknown_reason"] == "no_evidence"
        assert json.loads(done.stdout)["summary"]["unknown_platforms"] == {"no_evidence": 1, "too_close": 0}
        assert "unknown (no evidence)" in run(tmp_path, ".").stdout
        assert "Unknown platform: no evidence 1, too close 0" in run(tmp_path, ".").stdout

    def test_readable_at_80_columns(self, estate):
        """On an 80-column terminal, the narrow layout: whole level words and a platform column."""
        leader, follower = pty.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 80, 0, 0))
        process = subprocess.Popen([*COMMAND, "e", "-q"], cwd=estate, stdout=follower, stderr=subprocess.DEVNULL)
        os.close(follower)
        chunks = []
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        process.wait(timeout=60)
        os.close(leader)
        out = re.sub(r"\x1b\[[0-9;]*m", "", b"".join(chunks).decode())  # colours are not width
        lines = out.splitlines()
        assert max(len(line) for line in lines) <= 80
        assert "complex" in out and "moderate" in out and "Platform" in out and "Encoding" not in out


class TestFormats:
    def test_sarif_is_valid_and_names_the_gate_and_unread_files(self, estate):
        jsonschema = pytest.importorskip("jsonschema")
        (estate / "e" / "binary.sql").write_bytes(b"SELECT \xc3\x28 bad;\n")
        done = run(estate, "e", "--fail-on", "moderate", "--format", "sarif", "-o", "out.sarif")
        assert done.returncode == 1 and done.stdout == ""
        document = json.loads((estate / "out.sarif").read_text())
        jsonschema.validate(document, json.loads(SCHEMA.read_text()))
        results = {r["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]: (r["ruleId"], r["level"])
                   for r in document["runs"][0]["results"]}  # fmt: skip
        assert results == {"e/a/nested.sql": ("complexity/moderate", "error"),
                           "e/a/b/deep.sql": ("complexity/complex", "error"),
                           "e/binary.sql": ("not-assessed/undecodable", "error")}  # fmt: skip

    def test_github_annotations_escape_names(self, tmp_path):
        (tmp_path / "a,b%\n::x.sql").write_text(COMPLEX)
        done = run(tmp_path, ".", "--format", "github")
        lines = done.stdout.splitlines()
        assert lines[0].startswith("::notice file=./a%2Cb%25\\n%3A%3Ax.sql,line=1,title=complexity/complex::complex")
        assert lines[-1] == "::notice title=sql-assess::1 files: simple 0, moderate 0, complex 1, 0 not assessed"
        gated = run(tmp_path, ".", "--format", "github", "--fail-on", "complex")
        assert gated.returncode == 3 and gated.stdout.startswith("::error file=")

    def test_junit_is_xml_with_failures_and_errors(self, estate):
        (estate / "e" / "binary.sql").write_bytes(b"SELECT \xc3\x28 bad;\n")
        done = run(estate, "e", "--fail-on", "complex", "--format", "junit")
        suites = ET.fromstring(done.stdout)
        suite = suites.find("testsuite")
        assert (suite.get("tests"), suite.get("failures"), suite.get("errors")) == ("14", "1", "1")
        failed = [case.get("name") for case in suite if case.find("failure") is not None]
        assert failed == ["e/a/b/deep.sql"]
        assert suite.find("testcase[@name='e/binary.sql']/error").get("type") == "undecodable"


def _chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


class TestHtmlReport:
    def test_offline_page_renders_the_json_numbers(self, estate, tmp_path):
        pytest.importorskip("jinja2")
        browser = _chromium()
        if browser is None and os.environ.get("CI"):
            pytest.fail("chromium is not installed")
        if browser is None:
            pytest.skip("chromium is not installed")
        (estate / "e" / "<img src=x onerror=alert(1)>.sql").write_text(SIMPLE)
        assert run(estate, "e", "--format", "html", "-o", "report.html").returncode == 0
        page = (estate / "report.html").read_text()
        assert "http://" not in page and "https://" not in page and "<img src=x" not in page
        summary = json.loads(run(estate, "e", "--format", "json").stdout)["summary"]
        profile = tmp_path / "profile"
        done = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", f"--user-data-dir={profile}",
             "--enable-logging=stderr", "--v=0", "--virtual-time-budget=5000", "--dump-dom",
             (estate / "report.html").as_uri()],
            capture_output=True, text=True, timeout=120,
        )  # fmt: skip
        dom = done.stdout
        assert 'data-ready="1"' in dom, done.stderr[-2000:]
        assert "Uncaught" not in done.stderr and "CONSOLE" not in done.stderr.upper().replace("CONSOLE(", "")
        assert f'data-total="files">{summary["files"]}<' in dom
        for level, n in summary["levels"].items():
            assert f'data-level="{level}">{n}<' in dom
        for name, n in summary["platforms"].items():
            assert f'data-chart="Platforms by files" data-label="{name}" data-value="{n}"' in dom
        assert f"{summary['files']} of {summary['files']} files" in dom
        assert dom.count("<tr class=") == summary["files"]  # the table was built by the page's script
        assert "&lt;img src=x onerror=alert(1)&gt;.sql" in dom
