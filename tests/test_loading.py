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


@pytest.mark.parametrize("name", MODULES + ["_engine", "_detect"])
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


def test_engine_initialises_once():
    out = run("""
        import importlib, sys
        importlib.import_module("agents.transmute._engine")
        del sys.modules["agents.transmute._engine"]
        try:
            importlib.import_module("agents.transmute._engine")
        except RuntimeError as exc:
            print(exc)
        """)
    assert out == "Module '_engine' has already been imported. Re-initialisation is not supported."


def test_engine_is_refused_in_a_subinterpreter():
    out = run("""
        import _interpreters
        interp = _interpreters.create()
        failure = _interpreters.run_string(interp, "import agents.transmute._engine")
        print(failure.type.__name__)
        """)
    assert out == "ImportError"


@pytest.mark.parametrize("name", MODULES)
def test_first_load_in_a_destroyed_subinterpreter_refuses_the_main_one(name):
    # The subinterpreter that loaded the module is gone; the main interpreter is still a second one.
    out = run(f"""
        import _interpreters
        interp = _interpreters.create()
        assert _interpreters.run_string(interp, "import agents.transmute.{name}") is None
        _interpreters.destroy(interp)
        try:
            import agents.transmute.{name}
        except ImportError as exc:
            print(exc)
        """)
    assert out == ("Interpreter change detected - this module can only be loaded into one interpreter "
                   "per process.")


# The module state holds objects that nothing in the namespace refers to directly (the function
# type is reached only through the functions); the collector must see them through the module.
STATE_OBJECTS = {
    "complexity": "[type(m.classify_sql), m.re, m._COMPLEX_PATTERNS]",
    "lorepick": "[type(m.select_knowledge), m.re, m._CATEGORY_PATTERNS]",
    "_engine": "[m.Program]",
    "_detect": "[m.Scanner]",
}


@pytest.mark.parametrize("name", sorted(STATE_OBJECTS))
def test_module_state_is_visited_by_the_collector(name):
    out = run(f"""
        import gc, importlib
        m = importlib.import_module("agents.transmute.{name}")
        referents = gc.get_referents(m)
        print(all(any(obj is r for r in referents) for obj in {STATE_OBJECTS[name]}))
        """)
    assert out == "True"


@pytest.mark.parametrize("name, binds", [("complexity", True), ("lorepick", True), ("cuebook", True),
                                         ("_engine", False), ("_detect", False)])
def test_builtins_are_bound_in_the_public_modules_only(name, binds):
    out = run(f"""
        import builtins, importlib
        m = importlib.import_module("agents.transmute.{name}")
        print(vars(m).get("__builtins__") is (vars(builtins) if {binds} else None))
        """)
    assert out == "True"
