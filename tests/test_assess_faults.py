"""sql-assess under faults and hostile input: killed workers, signals, closed pipes, hostile file
names and knowledge folders, files and folders changing under the run, huge limits and files
reached by more than one path. The worker and signal tests run the real command."""

import csv
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from agents.transmute import assess

KNOWLEDGE = Path(__file__).resolve().parents[1] / "examples" / "knowledge"
STATEMENTS = "".join(f"SELECT {i} AS n FROM dbo.T{i % 7} WHERE x > {i};\n" + ("GO\n" if i % 40 == 0 else "")
                     for i in range(620))  # fmt: skip
COMMAND = [sys.executable, "-m", "agents.transmute.assess"]


@pytest.fixture(scope="module")
def slow_tree(tmp_path_factory):
    """60 scripts of about 1 MB: a run of a few seconds, long enough to interrupt."""
    root = tmp_path_factory.mktemp("slow") / "tree"
    root.mkdir()
    text = STATEMENTS * 40
    for i in range(60):
        (root / f"f{i:03d}.sql").write_text(text)
    return root


def children(pid):
    try:
        return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


def start(tree, *args):
    return subprocess.Popen([*COMMAND, str(tree), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)  # fmt: skip


def read_records(process, count):
    """The first `count` jsonl lines of a running command."""
    return [json.loads(process.stdout.readline()) for _ in range(count)]


def finish(process, timeout):
    """The rest of the output of a command whose first lines were read with `read_records`.
    `communicate` would read the pipe's descriptor directly and lose what the text stream
    already buffered beyond those lines."""
    out = []
    reader = threading.Thread(target=lambda: out.append(process.stdout.read()))
    reader.start()
    err = process.stderr.read()
    reader.join(timeout)
    process.wait(timeout)
    return (out[0] if out else ""), err


def wait_for_workers(process, count):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        workers = children(process.pid)
        if len(workers) >= count:
            return workers
        time.sleep(0.02)
    raise AssertionError("workers did not start")


# ---------------------------------------------------------------------------------------------
# Workers that die


def test_a_killed_worker_costs_at_most_its_file(slow_tree):
    process = start(slow_tree, "--format", "jsonl", "--jobs", "2")
    try:
        first = read_records(process, 3)
        os.kill(wait_for_workers(process, 2)[0], signal.SIGKILL)
        out, err = finish(process, 120)
    finally:
        process.kill()
    lines = first + [json.loads(line) for line in out.splitlines()]
    files = [r for r in lines if r["record"] == "file"]
    assert sorted(r["path"] for r in files) == sorted(str(p) for p in slow_tree.iterdir())
    failed = [r for r in files if r["status"] != "assessed"]
    # The file it held is retried in a fresh worker; at most that one file is lost.
    assert len(failed) <= 1 and all(r["reason"] == "worker_died" for r in failed), failed
    assert lines[-1]["record"] == "summary" and "Traceback" not in err
    assert process.returncode == (1 if failed else 0)


@pytest.mark.skipif("fork" not in __import__("multiprocessing").get_all_start_methods(), reason="needs fork")
def test_a_file_that_kills_its_worker_twice_is_reported(tmp_path, monkeypatch):
    if threading.active_count() != 1:
        pytest.skip("workers are forked only from a single-threaded process")
    attempts = tmp_path / "attempts"
    real_assess_text = assess.assess_text

    def assess_text(text):
        if "poison" in text:
            with open(attempts, "a") as log:
                log.write("x")
            os.kill(os.getpid(), signal.SIGKILL)
        return real_assess_text(text)

    monkeypatch.setattr(assess, "assess_text", assess_text)  # forked workers inherit it
    paths = []
    for i in range(12):
        path = tmp_path / f"{i:02d}.sql"
        path.write_text("SELECT 'poison';\n" if i == 5 else f"SELECT {i};\n")
        paths.append(str(path))
    records = []
    assess.run(paths, max_bytes=1000, jobs=2, knowledge_dir=None, on_record=records.append)
    assert sorted(r["path"] for r in records) == paths
    failed = [r for r in records if r["status"] != "assessed"]
    assert [(r["path"], r["reason"], r["detail"]) for r in failed] == [
        (paths[5], "worker_died", "the worker process ended (killed by SIGKILL) while assessing this file, twice")]
    assert attempts.read_text() == "xx"


# ---------------------------------------------------------------------------------------------
# Signals


@pytest.mark.parametrize(("signum", "status", "group", "jobs"), [
    (signal.SIGINT, 130, False, 2), (signal.SIGTERM, 143, False, 2), (signal.SIGINT, 130, True, 2),
    (signal.SIGTERM, 143, False, 1),
])  # fmt: skip
def test_signals_stop_the_run_and_its_workers(slow_tree, signum, status, group, jobs):
    process = start(slow_tree, "--format", "jsonl", "--jobs", str(jobs))
    try:
        first = read_records(process, 2)
        workers = wait_for_workers(process, 2) if jobs > 1 else []
        sent = time.monotonic()
        # A terminal's Ctrl-C reaches the whole process group; `kill` reaches the main process.
        os.killpg(process.pid, signum) if group else os.kill(process.pid, signum)
        out, err = finish(process, 60)
        stopped = time.monotonic() - sent
    finally:
        process.kill()
    assert process.returncode == status, err
    assert stopped < 5, stopped
    assert "Traceback" not in err and "KeyboardInterrupt" not in err
    assert f"sql-assess: stopped by {signal.Signals(signum).name}" in err
    deadline = time.monotonic() + 3
    while any(map(alive, workers)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(map(alive, workers)), "workers outlived the run"
    # Records already written stay, whole; no summary claims a finished run.
    lines = first + [json.loads(line) for line in out.splitlines()]
    assert all(r["record"] == "file" and r["status"] == "assessed" for r in lines)
    assert 2 <= len(lines) < 60


# ---------------------------------------------------------------------------------------------
# A closed pipe


@pytest.mark.parametrize("fmt", ["json", "jsonl", "csv", "table"])
def test_closed_pipe_ends_quietly(slow_tree, fmt):
    scripts = sorted(slow_tree.iterdir())[:3]
    process = subprocess.Popen([*COMMAND, *map(str, scripts), "--format", fmt, "--jobs", "2"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
    process.stdout.close()  # as `| head -1` does once it has its line
    err = process.stderr.read().decode()
    assert process.wait(timeout=60) == 141
    assert err == ""


def test_head_of_a_stream_stops_the_run(slow_tree):
    started = time.monotonic()
    done = subprocess.run(["bash", "-c", 'set -o pipefail; "$@" | head -1', "-", *COMMAND, str(slow_tree),
                           "--format", "jsonl", "--jobs", "2"], capture_output=True, text=True, timeout=120)  # fmt: skip
    assert done.returncode == 141 and done.stderr == ""
    assert json.loads(done.stdout)["record"] == "file"
    assert time.monotonic() - started < 30  # the rest of the tree is not assessed for nobody


# ---------------------------------------------------------------------------------------------
# Hostile file names

HOSTILE = {
    "a[/]b.sql": "a[/]b.sql",  # folder "a[", file "]b.sql"
    "[blink][reverse]spoof.sql": "[blink][reverse]spoof.sql",
    "[link=https:example.com]x.sql": "[link=https:example.com]x.sql",
    "\x1b]0;owned\x07\x1b[2J.sql": "\\x1b]0;owned\\x07\\x1b[2J.sql",
    "new\nline.sql": "new\\nline.sql",
    "tab\tcr\r.sql": "tab\\tcr\\r.sql",
    "c1\x9b31m.sql": "c1\\x9b31m.sql",
    "\u202eloqs.sql": "\\u202eloqs.sql",
    os.fsdecode(b"bad\xff.sql"): "bad\\xff.sql",
}
FORMULAS = ["=1+2.sql", "+cmd.sql", "-cmd.sql", "@cmd.sql"]


@pytest.fixture(scope="module")
def hostile_tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("names")
    for name in [*HOSTILE, *FORMULAS]:
        path = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(b"SELECT 1;\n")
    return root


def run_in(cwd, *args, rich=True):
    prefix = [] if rich else ["-c", "import sys; sys.modules['rich'] = None; from agents.transmute.assess import "
                                    "main; sys.exit(main())"]  # fmt: skip
    command = [sys.executable, *prefix] if prefix else COMMAND
    return subprocess.run([*command, *args], cwd=cwd, capture_output=True, timeout=120)


@pytest.mark.parametrize("rich", [True, False], ids=["rich", "plain"])
def test_table_shows_hostile_names_literally(hostile_tree, rich):
    done = run_in(hostile_tree, ".", rich=rich)
    assert done.returncode == 0, done.stderr
    out = done.stdout.decode("utf-8")  # strict: every byte written is valid UTF-8
    for shown in HOSTILE.values():
        assert f"./{shown}" in out
    assert not {"\x1b", "\x07", "\x9b", "\u202e", "\r", "\t"} & set(out)
    rows = [line for line in out.splitlines() if ".sql" in line]
    assert len(rows) == len(HOSTILE) + len(FORMULAS)


def test_csv_and_json_keep_hostile_names_safe(hostile_tree):
    names = [*HOSTILE, *FORMULAS]
    done = run_in(hostile_tree, "--format", "csv", "--", *names)
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(io.StringIO(done.stdout.decode("utf-8"))))
    assert [row["path"] for row in rows] == [*HOSTILE.values(), *(f"'{name}" for name in FORMULAS)]
    assert all(row["status"] == "assessed" for row in rows)
    done = run_in(hostile_tree, "--format", "json", "--", *names)
    assert done.returncode == 0, done.stderr
    assert [r["path"] for r in json.loads(done.stdout)["files"]] == names  # JSON keeps names exact


# ---------------------------------------------------------------------------------------------
# Hostile knowledge folders


@pytest.fixture
def knowledge(tmp_path):
    folder = tmp_path / "k"
    folder.mkdir()
    for name in ("mapping.md", "gotchas.md", "limitations.md"):
        (folder / name).write_bytes((KNOWLEDGE / name).read_bytes())
    script = tmp_path / "x.sql"
    script.write_text("SELECT 1;\n")
    return folder, script


@pytest.mark.parametrize(("name", "make", "why"), [
    ("limitations.md", os.mkfifo, "not a regular file"),
    ("gotchas.md", lambda p: os.symlink("/dev/zero", p), "not a regular file"),
    ("mapping.md", lambda p: p.write_bytes(b"") or os.truncate(p, 16 * 1024 * 1024 + 1),
     f"{16 * 1024 * 1024 + 1} bytes, over the limit of {16 * 1024 * 1024}"),
    ("mapping.md", os.mkdir, "not a regular file"),
    ("gotchas.md", lambda p: None, "no such file"),
    ("limitations.md", lambda p: p.write_bytes(b"\xff"), "not valid utf-8: invalid start byte at byte 0"),
])  # fmt: skip
def test_hostile_knowledge_documents_are_refused(knowledge, name, make, why):
    folder, script = knowledge
    (folder / name).unlink()
    make(folder / name)
    done = subprocess.run([*COMMAND, str(script), "--knowledge", str(folder)], capture_output=True, text=True,
                          timeout=60)  # fmt: skip
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == f"sql-assess: error: --knowledge {folder}: {name}: {why}"


# ---------------------------------------------------------------------------------------------
# Files and folders changing under the run


def test_folder_vanishing_during_discovery_is_reported(tmp_path, monkeypatch):
    (tmp_path / "a.sql").write_text("SELECT 1;\n")
    (tmp_path / "gone").mkdir()
    (tmp_path / "gone" / "b.sql").write_text("SELECT 2;\n")
    real_walk = os.walk

    def walk(*args, **kwargs):
        for folder, dirnames, filenames in real_walk(*args, **kwargs):
            if folder.endswith("gone"):
                for name in filenames:
                    os.unlink(os.path.join(folder, name))
                os.rmdir(folder)
            yield folder, dirnames, filenames

    monkeypatch.setattr(os, "walk", walk)
    files, problems = assess.discover([str(tmp_path)], ["*.sql"], [])
    assert files == [str(tmp_path / "a.sql")]
    assert [(p["path"], p["reason"], p["detail"]) for p in problems] == [
        (str(tmp_path / "gone"), "unreadable", "folder: No such file or directory")]


def test_file_swapped_for_a_fifo_after_stat_does_not_hang(tmp_path, monkeypatch):
    regular = tmp_path / "regular.sql"
    regular.write_text("SELECT 1;\n")
    fifo = tmp_path / "swapped.sql"
    os.mkfifo(fifo)
    real_stat = os.stat
    monkeypatch.setattr(os, "stat", lambda p, *a, **k: real_stat(regular if str(p) == str(fifo) else p, *a, **k))
    outcome = []

    def read():
        try:
            assess.read_script(str(fifo), 1000)
        except assess.NotAssessed as error:
            outcome.append((error.reason, error.detail))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(10)
    if reader.is_alive():
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))  # let the blocked open go
        pytest.fail("opening a FIFO blocked")
    assert outcome == [("not_a_file", "not a regular file")]


@pytest.mark.parametrize("limit", [2**63 - 1, 10**30])
def test_huge_max_bytes(tmp_path, limit):
    path = tmp_path / "x.sql"
    path.write_text("SELECT 1;\r\n")
    assert assess.read_script(str(path), limit) == ("SELECT 1;\n", "utf-8", False, 11)
    record = assess.assess_path(str(path), limit)
    assert record["status"] == "assessed", record


# ---------------------------------------------------------------------------------------------
# Files reached by more than one path


def test_duplicates_are_the_same_file_not_the_same_text(tmp_path):
    (tmp_path / "x.sql").write_text("SELECT 1;\n")
    (tmp_path / "other" / "inner").mkdir(parents=True)
    (tmp_path / "other" / "x.sql").write_text("SELECT 2;\n")
    (tmp_path / "link").symlink_to(tmp_path / "other" / "inner")
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / "y.sql").write_text("SELECT 3;\n")
    (tmp_path / "tree" / "again").symlink_to(tmp_path / "tree")
    (tmp_path / "alias").symlink_to(tmp_path / "tree")
    x, via_link = str(tmp_path / "x.sql"), str(tmp_path / "link" / ".." / "x.sql")
    files, _ = assess.discover([x, via_link, str(tmp_path / "." / "x.sql"), str(tmp_path / "tree"),
                                str(tmp_path / "alias" / "y.sql")], ["*.sql"], [])  # fmt: skip
    # link/.. is other/, not tmp_path: a different file, kept; the rest are x.sql and y.sql again.
    assert files == [x, via_link, str(tmp_path / "tree" / "y.sql")]
