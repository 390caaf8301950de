"""Rebuilds the labelled platform corpus from local git mirrors.

Every source in sources.tsv is a (platform, owner/name, commit) triple; paths.tsv
narrows a source to some folders or files. Files are read straight from the
pinned commit of the mirror with git, so no work tree is needed.

Usage: python bench/platform_corpus/build_corpus.py [--mirrors DIR] [--out DIR]

Output: OUT/<platform>/<owner+name>/<path with / as __> and OUT/manifest.tsv.
Only the ten platform folders and manifest.tsv under OUT are rewritten.
"""

import argparse
import codecs
import collections
import fnmatch
import hashlib
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

PLATFORMS = (
    "databricks", "snowflake", "postgresql", "mysql", "sqlserver",
    "oracle", "redshift", "bigquery", "teradata", "hive",
)

SQL_EXTENSIONS = frozenset(
    ".sql .sqlx .hql .bteq .btq .ddl .dml .pks .pkb .prc .fnc .vw .pls .plsql "
    ".pck .trg .spc .bdy .tps .tpb .psql .pgsql .tsql .mysql .tdsql".split()
)
# Extensions that mean SQL only in some repositories (.q is a Hive test query
# but also many other things, .tab/.tbl are often data files); a source opts
# in to them with an "ext" line in paths.tsv.

MIN_BYTES = 40
MAX_BYTES = 2 * 1024 * 1024
DEFAULT_CAP = 400
LFS_MAGIC = b"version https://git-lfs.github.com/"
MAX_NAME_BYTES = 200
READ_BATCH = 256


class Source:
    def __init__(self, platform, repo, commit):
        self.platform = platform
        self.repo = repo
        self.commit = commit
        self.include = []
        self.exclude = []
        self.match = []
        self.nomatch = []
        self.cap = DEFAULT_CAP
        self.extensions = set(SQL_EXTENSIONS)

    @property
    def key(self):
        return (self.platform, self.repo)

    def wants(self, path):
        if self.include and not any(_hit(p, path) for p in self.include):
            return False
        return not any(_hit(p, path) for p in self.exclude)

    def accepts(self, text):
        if self.match and not any(r.search(text) for r in self.match):
            return False
        return not any(r.search(text) for r in self.nomatch)


def _hit(pattern, path):
    # "dir/" is a folder prefix; anything else is a glob over the whole path,
    # where * also crosses folder boundaries.
    if pattern.endswith("/"):
        return path.startswith(pattern)
    return fnmatch.fnmatchcase(path, pattern)


def _rows(path):
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            yield number, line.split("\t")


def read_sources(sources_tsv, paths_tsv):
    sources = []
    by_key = {}
    for number, cells in _rows(sources_tsv):
        if len(cells) != 3:
            sys.exit(f"{sources_tsv}:{number}: want platform, repo, commit")
        platform, repo, commit = cells
        if platform not in PLATFORMS:
            sys.exit(f"{sources_tsv}:{number}: unknown platform {platform!r}")
        if not re.fullmatch(r"[0-9a-f]{40}", commit):
            sys.exit(f"{sources_tsv}:{number}: commit is not 40 hex digits")
        if (platform, repo) in by_key:
            sys.exit(f"{sources_tsv}:{number}: {platform} {repo} listed twice")
        source = Source(platform, repo, commit)
        sources.append(source)
        by_key[source.key] = source
    for number, cells in _rows(paths_tsv):
        if len(cells) != 4:
            sys.exit(f"{paths_tsv}:{number}: want platform, repo, kind, value")
        platform, repo, kind, value = cells
        source = by_key.get((platform, repo))
        if source is None:
            sys.exit(f"{paths_tsv}:{number}: {platform} {repo} is not in sources")
        if kind in ("include", "exclude"):
            getattr(source, kind).append(value)
        elif kind in ("match", "nomatch"):
            getattr(source, kind).append(re.compile(value, re.MULTILINE))
        elif kind == "ext":
            source.extensions.add(value.lower())
        elif kind == "cap":
            source.cap = int(value)
        else:
            sys.exit(f"{paths_tsv}:{number}: unknown kind {kind!r}")
    return sources


def git_dir(mirrors, repo):
    """The bare git directory of a mirror: snapshots land either as
    owner+name/repo or as owner+name/repo/.git, depending on how they were
    taken."""
    root = Path(mirrors) / repo.replace("/", "+")
    for candidate in (root / "repo" / ".git", root / "repo", root / ".git", root):
        if (candidate / "HEAD").is_file() and (candidate / "objects").is_dir():
            return candidate
    return None


def git(gdir, *args, data=None):
    return subprocess.run(
        ["git", f"--git-dir={gdir}", *args],
        input=data, capture_output=True, check=True,
    ).stdout


def list_blobs(gdir, commit):
    """(path, blob id, size) of every regular file at the commit."""
    out = git(gdir, "ls-tree", "-r", "-l", "-z", "--full-tree", commit)
    for entry in out.split(b"\0"):
        if not entry:
            continue
        meta, path = entry.split(b"\t", 1)
        mode, kind, oid, size = meta.split()
        # Snapshots leave out big files; ls-tree then cannot size the blob.
        if kind != b"blob" or mode == b"120000" or not size.isdigit():
            continue
        yield path.decode("utf-8", "surrogateescape"), oid.decode(), int(size)


def read_blobs(gdir, oids):
    """Contents of the blobs, read through one cat-file process."""
    if not oids:
        return {}
    out = git(gdir, "cat-file", "--batch", data="".join(o + "\n" for o in oids).encode())
    contents = {}
    pos = 0
    for oid in oids:
        header_end = out.index(b"\n", pos)
        size = int(out[pos:header_end].split()[2])
        start = header_end + 1
        contents[oid] = out[start:start + size]
        pos = start + size + 1
    return contents


def as_text(raw):
    """UTF-8 bytes of a script, or None for binary content. SSMS and some
    Windows editors save scripts as UTF-16; those are re-encoded so that every
    corpus file reads the same way."""
    for bom, codec in ((codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be")):
        if raw.startswith(bom):
            try:
                return raw[len(bom):].decode(codec).encode("utf-8")
            except UnicodeDecodeError:
                return None
    if b"\0" in raw[:8192]:
        return None
    return raw


def out_name(path):
    name = path.replace("/", "__")
    if len(name.encode("utf-8", "surrogateescape")) > MAX_NAME_BYTES:
        stem, dot, ext = name.rpartition(".")
        digest = hashlib.sha1(path.encode("utf-8", "surrogateescape")).hexdigest()[:12]
        keep = name[:120] if not dot or len(ext) > 10 else stem[:120]
        name = f"{keep}~{digest}" + (f".{ext}" if dot and len(ext) <= 10 else "")
    return name


def path_order(path):
    return hashlib.sha1(path.encode("utf-8", "surrogateescape")).hexdigest()


def collect(source, gdir, seen):
    """Files the source contributes, deduplicated against the corpus so far.

    Identical files share a blob id, so duplicates inside the source are
    dropped before anything is read (the smallest path stands for them all).
    The rest are read in the stable path order until the cap is reached, which
    keeps big repositories cheap.
    """
    by_blob = {}
    for path, oid, size in list_blobs(gdir, source.commit):
        ext = Path(path).suffix.lower()
        if ext not in source.extensions or not source.wants(path):
            continue
        if size < MIN_BYTES or size > MAX_BYTES:
            continue
        if oid not in by_blob or path < by_blob[oid]:
            by_blob[oid] = path
    ordered = sorted(((path, oid) for oid, path in by_blob.items()),
                     key=lambda item: path_order(item[0]))
    chosen = []
    taken = set()
    for start in range(0, len(ordered), READ_BATCH):
        batch = ordered[start:start + READ_BATCH]
        contents = read_blobs(gdir, [oid for _, oid in batch])
        for path, oid in batch:
            text = usable_text(source, contents[oid])
            if text is None:
                continue
            digest = hashlib.sha1(text).hexdigest()
            if digest in seen or digest in taken:
                continue
            taken.add(digest)
            chosen.append((path, digest, text))
            if len(chosen) == source.cap:
                return chosen
    return chosen


def usable_text(source, raw):
    """The file as UTF-8 text if it is a script this source keeps, else None."""
    if raw.startswith(LFS_MAGIC):
        return None
    text = as_text(raw)
    if text is None or len(text.strip()) < MIN_BYTES:
        return None
    if (source.match or source.nomatch) and not source.accepts(
        text.decode("utf-8", "replace")
    ):
        return None
    return text


def reset_output(out):
    out.mkdir(parents=True, exist_ok=True)
    for platform in PLATFORMS:
        shutil.rmtree(out / platform, ignore_errors=True)
    (out / "manifest.tsv").unlink(missing_ok=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mirrors", default="/work/.mirror")
    parser.add_argument("--out", default="/work/corpus")
    parser.add_argument("--sources", default=str(HERE / "sources.tsv"))
    parser.add_argument("--paths", default=str(HERE / "paths.tsv"))
    args = parser.parse_args()

    started = time.monotonic()
    sources = read_sources(args.sources, args.paths)
    out = Path(args.out)
    missing = [s.repo for s in sources if git_dir(args.mirrors, s.repo) is None]
    if missing:
        sys.exit("no mirror for: " + ", ".join(sorted(set(missing))))
    reset_output(out)

    seen = set()
    manifest = []
    per_repo = collections.Counter()
    per_platform = collections.Counter()
    repos_of = collections.defaultdict(set)
    for source in sources:
        gdir = git_dir(args.mirrors, source.repo)
        try:
            git(gdir, "cat-file", "-e", f"{source.commit}^{{commit}}")
        except subprocess.CalledProcessError:
            sys.exit(f"{source.repo}: commit {source.commit} is not in {gdir}")
        folder = out / source.platform / source.repo.replace("/", "+")
        folder.mkdir(parents=True, exist_ok=True)
        names = set()
        for path, digest, text in collect(source, gdir, seen):
            seen.add(digest)
            name = out_name(path)
            if name in names:  # a/b__c and a__b/c would collide
                name = f"{digest[:8]}~{name}"
            names.add(name)
            (folder / name).write_bytes(text)
            manifest.append((source.platform, source.repo, path, digest, len(text)))
            per_repo[source.key] += 1
            per_platform[source.platform] += 1
        repos_of[source.platform].add(source.repo)

    with open(out / "manifest.tsv", "w", encoding="utf-8", newline="\n") as fh:
        fh.write("platform\trepo\tpath\tsha1\tbytes\n")
        for row in manifest:
            fh.write("\t".join(map(str, row)) + "\n")

    print("platform      repos  files")
    for platform in PLATFORMS:
        print(f"{platform:<12} {len(repos_of[platform]):>6} {per_platform[platform]:>6}")
    print(f"{'total':<12} {len({s.repo for s in sources}):>6} {sum(per_platform.values()):>6}")
    print()
    for source in sources:
        print(f"{source.platform:<12} {source.repo:<55} {per_repo[source.key]:>5}")
    print(f"\nbuilt in {time.monotonic() - started:.1f}s")


if __name__ == "__main__":
    main()
