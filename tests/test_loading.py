"""Module loading rules, checked in fresh interpreters: one initialisation per process, one
interpreter per process, and the host-visible function objects of every module."""

import subprocess
import sys
import textwrap

import pytest

MODULES = ["complexity", "lorepick", "cuebook"]


def run(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.mark.parametrize("name", MODULES)
def test_second_initialisation_is_refused(name):
    out = run(f"""
        import importlib, sys
        first = importlib.import_module("agents.transmute.{name}")
        del sys.modules["agents.transmute.{name}"]
        try:
            importlib.import_module("agents.transmute.{name}")
        except RuntimeError as exc:
            print(exc)
        """)
    assert out == f"Module '{name}' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    out = run(f"""
        import _interpreters
        import agents.transmute.{name}
        interp = _interpreters.create()
        failure = _interpreters.run_string(interp, "import agents.transmute.{name}")
        print(failure.type.__name__, failure.msg, sep="|")
        """)
    assert out == ("ImportError|Interpreter change detected - this module can only be loaded into "
                   "one interpreter per process.")


def test_import_again_in_same_process_returns_cached_module():
    out = run("""
        import agents.transmute.complexity as a
        import importlib
        b = importlib.import_module("agents.transmute.complexity")
        print(a is b)
        """)
    assert out == "True"
