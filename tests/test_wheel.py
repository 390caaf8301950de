"""The wheel scripts/build-wheel.sh makes: a cp313-cp313 manylinux wheel holding the native
modules, the Python pieces and the record schema, with its licence, classifiers and URLs, that
installs into a clean virtual environment and runs there."""

import email
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="builds with the toolchain, not under the sanitizer runtime")  # fmt: skip


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    dist = tmp_path_factory.mktemp("dist")
    done = subprocess.run(["bash", str(ROOT / "scripts" / "build-wheel.sh")], capture_output=True, text=True,
                          env={**os.environ, "DIST": str(dist)}, timeout=1800)  # fmt: skip
    assert done.returncode == 0, done.stderr[-3000:]
    return Path(done.stdout.strip().splitlines()[-1])


def test_tag_contents_and_metadata(wheel):
    assert re.fullmatch(r"agents_transmute-[\w.]+-cp313-cp313-manylinux_\d+_\d+_x86_64\.whl", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [line.split(": ", 1)[1] for line in archive.read(info).decode().splitlines() if line.startswith("Tag:")]
        metadata = email.message_from_bytes(archive.read(info.replace("WHEEL", "METADATA")))
    assert tags and all(re.fullmatch(r"cp313-cp313-manylinux_\d+_\d+_x86_64", tag) for tag in tags), tags
    package = "agents/transmute/"
    for module in ("complexity", "lorepick", "cuebook", "_engine", "_detect"):
        assert f"{package}{module}.cpython-313-x86_64-linux-gnu.so" in names, module
    for piece in ("assess.py", "assess_output.py", "spark.py", "detector.py", "originscan.py",
                  "record_schema.json", "platform_model.json", "py.typed", "complexity.pyi"):
        assert package + piece in names, piece
    # Namespace packages: the host's agents.transmute must stay open to its other modules.
    assert not {"agents/__init__.py", "agents/transmute/__init__.py"} & names
    assert not any(n.startswith(("tests/", "bench/", "src/")) for n in names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    assert metadata["License-Expression"] == "MIT"
    classifiers = metadata.get_all("Classifier")
    assert "Programming Language :: Python :: 3.13" in classifiers
    assert any(url.startswith("Source, https://") for url in metadata.get_all("Project-URL"))
    assert {"spark", "report"} <= set(metadata.get_all("Provides-Extra"))
    assert set(metadata.get_all("Requires-Dist")) >= {"structlog", "pathspec>=0.12"}


def test_installs_and_runs_in_a_clean_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    done = subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)],
                          capture_output=True, text=True, timeout=600)  # fmt: skip
    assert done.returncode == 0, done.stderr[-3000:]
    check = ("from agents.transmute.assess import assess_bytes, record_schema; "
             "r = assess_bytes(b'SELECT 1;\\n', 'x.sql'); print(r['complexity']['level'], record_schema()['schema_version'])")  # fmt: skip
    done = subprocess.run([python, "-c", check], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.split()[-2:] == ["simple", "2"], done.stderr
    done = subprocess.run([venv / "bin" / "sql-assess", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("sql-assess 0."), done.stderr
