"""Builds a corpus from a throwaway mirror and checks what lands in it."""

import codecs
import csv
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import build_corpus  # noqa: E402

SCRIPT = b"SELECT customer_id, SUM(amount) FROM sales GROUP BY customer_id;\n"


def make_mirror(root):
    """A bare mirror laid out the way fetch leaves one: owner+name/repo."""
    work = root / "work"
    files = {
        "etl/load.sql": SCRIPT,
        "etl/copy_of_load.sql": SCRIPT,  # same bytes as load.sql; the smaller path is kept
        "etl/wide.sql": codecs.BOM_UTF16_LE + SCRIPT.replace(b"sales", b"wide").decode().encode("utf-16-le"),
        "etl/tiny.sql": b"SELECT 1;\n",
        "etl/big.bin.sql": b"\0" * 100,
        "etl/lfs.sql": build_corpus.LFS_MAGIC + b"v1\noid sha256:abc\nsize 123456\n",
        "etl/job.q": SCRIPT.replace(b"sales", b"hive_only"),
        "docs/readme.sql": SCRIPT.replace(b"sales", b"docs"),
        "etl/notes.md": SCRIPT,
    }
    for path, data in files.items():
        (work / path).parent.mkdir(parents=True, exist_ok=True)
        (work / path).write_bytes(data)
    git = ["git", "-C", str(work), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(["git", "init", "-q", str(work)], check=True)
    subprocess.run([*git, "add", "."], check=True)
    subprocess.run([*git, "commit", "-qm", "fixture"], check=True)
    commit = subprocess.run([*git, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    bare = root / "mirrors" / "acme+warehouse" / "repo"
    subprocess.run(["git", "clone", "-q", "--bare", str(work), str(bare)], check=True)
    return commit


def test_build_keeps_only_usable_scripts(tmp_path):
    commit = make_mirror(tmp_path)
    (tmp_path / "sources.tsv").write_text(f"# header\nhive\tacme/warehouse\t{commit}\n")
    (tmp_path / "paths.tsv").write_text("hive\tacme/warehouse\texclude\tdocs/\nhive\tacme/warehouse\text\t.q\n")
    args = ["--mirrors", str(tmp_path / "mirrors"), "--out", str(tmp_path / "out"),
            "--sources", str(tmp_path / "sources.tsv"), "--paths", str(tmp_path / "paths.tsv")]
    for _ in range(2):  # a second run must replace, not add to, the first
        subprocess.run([sys.executable, build_corpus.__file__, *args], check=True, capture_output=True)

    out = tmp_path / "out"
    with open(out / "manifest.tsv", encoding="utf-8") as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    assert sorted(r["path"] for r in rows) == ["etl/copy_of_load.sql", "etl/job.q", "etl/wide.sql"]
    folder = out / "hive" / "acme+warehouse"
    assert sorted(p.name for p in folder.iterdir()) == [
        "etl__copy_of_load.sql", "etl__job.q", "etl__wide.sql"]
    # UTF-16 scripts come out as UTF-8 and the manifest hashes what was written
    assert (folder / "etl__wide.sql").read_bytes() == SCRIPT.replace(b"sales", b"wide")
    for row in rows:
        data = (folder / row["path"].replace("/", "__")).read_bytes()
        assert row["sha1"] == build_corpus.hashlib.sha1(data).hexdigest()
        assert int(row["bytes"]) == len(data)


def test_long_paths_get_short_unique_names():
    a = build_corpus.out_name("x/" * 150 + "a.sql")
    b = build_corpus.out_name("x/" * 150 + "b.sql")
    assert a != b and a.endswith(".sql")
    assert len(a.encode()) <= build_corpus.MAX_NAME_BYTES
