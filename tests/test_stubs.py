"""The .pyi stubs agree with the installed modules (mypy's stubtest), and py.typed ships."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["agents.transmute.complexity", "agents.transmute.lorepick", "agents.transmute.cuebook",
           "agents.transmute.originscan"]  # fmt: skip


def test_stubtest(tmp_path):
    pytest.importorskip("mypy.stubtest")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_and_marker_are_installed():
    folder = Path(importlib.util.find_spec("agents.transmute.complexity").origin).parent
    for name in ("complexity.pyi", "lorepick.pyi", "cuebook.pyi", "originscan.pyi", "py.typed"):
        assert (folder / name).exists(), name
