"""Assembly of PLATFORM_MARKERS at import, against stand-ins of the scanner module.

The module initialises once per process, so every case runs in a fresh interpreter.
"""

import json
import subprocess
import sys
import textwrap

PLATFORM_NAMES = [
    "PLATFORM_DATABRICKS", "PLATFORM_SNOWFLAKE", "PLATFORM_POSTGRESQL", "PLATFORM_MYSQL",
    "PLATFORM_SQLSERVER", "PLATFORM_ORACLE", "PLATFORM_REDSHIFT", "PLATFORM_BIGQUERY",
    "PLATFORM_TERADATA", "PLATFORM_HIVE",
]  # fmt: skip

# A scanner stand-in whose Marker records every call; put in sys.modules before the import.
RECORDING_SCANNER = """
import json, sys, types

class Constant:
    def __init__(self, name):
        self.name = name

class Made:
    pass

def recorder(calls):
    def Marker(*args, **kwargs):
        made = Made()
        calls.append((args, kwargs, made))
        return made
    return Marker

calls = []
scanner = types.ModuleType("agents.transmute.originscan")
scanner.Marker = recorder(calls)
for name in PLATFORM_NAMES:
    setattr(scanner, name, Constant(name))
sys.modules["agents.transmute.originscan"] = scanner
out = {}
"""


def run_isolated(tmp_path, body, *, scanner=True):
    """Runs `body` in a fresh interpreter; it stores results in `out`, returned decoded."""
    prelude = f"PLATFORM_NAMES = {PLATFORM_NAMES!r}\n"
    prelude += RECORDING_SCANNER if scanner else "import json, sys\nout = {}\n"
    script = prelude + textwrap.dedent(body) + "\nprint(json.dumps(out))\n"
    proc = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


SCOPE_ROWS = {1, 13, 53}
CORROBORATING_ROWS = set(range(122, 134))


def expected_keywords(number):
    base = ["id", "platforms", "confidence", "pattern"]
    if number in SCOPE_ROWS:
        return base + ["scope"]
    if number in CORROBORATING_ROWS:
        return base + ["corroborating_only"]
    return base


def test_calls_against_recording_scanner(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        import agents.transmute.cuebook as cuebook
        out["positional"] = [len(args) for args, _, _ in calls]
        out["keywords"] = [list(kwargs) for _, kwargs, _ in calls]
        out["platforms"] = [[c.name for c in kwargs["platforms"]] for _, kwargs, _ in calls]
        out["list_types"] = sorted({type(kwargs["platforms"]).__name__ for _, kwargs, _ in calls})
        out["distinct_lists"] = len({id(kwargs["platforms"]) for _, kwargs, _ in calls})
        out["fields"] = [
            [kwargs["id"], kwargs["confidence"], kwargs["pattern"], kwargs.get("scope"), kwargs.get("corroborating_only")]
            for _, kwargs, _ in calls
        ]
        out["stored_unchanged"] = [m is made for m, (_, _, made) in zip(cuebook.PLATFORM_MARKERS, calls, strict=True)]
        out["names_bound"] = cuebook.Marker is scanner.Marker and all(
            getattr(cuebook, n) is getattr(scanner, n) for n in PLATFORM_NAMES
        )
        """,
    )
    assert out["positional"] == [0] * 133
    assert out["keywords"] == [expected_keywords(n) for n in range(1, 134)]
    assert out["list_types"] == ["list"] and out["distinct_lists"] == 133
    assert out["stored_unchanged"] == [True] * 133
    assert out["names_bound"]

    # The values passed are the ones the real record ends up holding.
    import agents.transmute.cuebook as cuebook

    for number, (fields, names, marker) in enumerate(
        zip(out["fields"], out["platforms"], cuebook.PLATFORM_MARKERS, strict=True), 1
    ):
        identifier, confidence, pattern, scope, corroborating = fields
        assert [identifier, confidence, pattern, scope] == [marker.id, marker.confidence, marker.pattern, marker.scope]
        assert corroborating == (marker.corroborating_only if number in CORROBORATING_ROWS else None)
        assert names == [f"PLATFORM_{p.name}" for p in marker.platforms]


def test_names_are_read_from_namespace_per_row(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        later_calls = []
        later_hive = Constant("later hive")
        first = scanner.Marker

        def switching_marker(*args, **kwargs):
            made = first(*args, **kwargs)
            if len(calls) == 10:
                own = sys.modules["agents.transmute.cuebook"]
                own.Marker = recorder(later_calls)
                own.PLATFORM_HIVE = later_hive
            return made

        scanner.Marker = switching_marker
        import agents.transmute.cuebook as cuebook
        out["first"] = len(calls)
        out["later"] = len(later_calls)
        out["hive_rows"] = [
            kwargs["id"] for _, kwargs, _ in later_calls if any(c is later_hive for c in kwargs["platforms"])
        ]
        """,
    )
    assert (out["first"], out["later"]) == (10, 123)
    assert out["hive_rows"] == ["hive.uniontype", "hive.msck_repair", "hive.string_angle_bracket_colon",
                                "shared.backtick_identifier"]  # fmt: skip


def test_missing_name_fails_then_fixed_import_succeeds(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        import builtins
        imports = []
        real_import = builtins.__import__

        def watching_import(name, globals=None, locals=None, fromlist=(), level=0):
            if name == "agents.transmute.originscan":
                imports.append([name, list(fromlist or ()), level])
            return real_import(name, globals, locals, fromlist, level)

        builtins.__import__ = watching_import
        scanner.__file__ = "/somewhere/originscan.py"
        hive = scanner.PLATFORM_HIVE
        del scanner.PLATFORM_HIVE

        def attempt():
            try:
                import agents.transmute.cuebook
            except ImportError as exc:
                return [type(exc).__name__, str(exc), exc.name, exc.path, exc.name_from]

        out["missing_hive"] = attempt()
        out["loaded_after_failure"] = "agents.transmute.cuebook" in sys.modules
        out["calls_after_failure"] = len(calls)
        out["imports_when_incomplete"] = imports[:]

        marker = scanner.Marker
        del scanner.Marker
        out["missing_two"] = attempt()

        # A loaded submodule under the missing name stands in for the attribute.
        scanner.Marker = marker
        submodule = type(sys)("agents.transmute.originscan.PLATFORM_HIVE")
        sys.modules[submodule.__name__] = submodule
        imports.clear()
        import agents.transmute.cuebook as cuebook
        out["submodule_bound"] = cuebook.PLATFORM_HIVE is submodule
        out["rows"] = len(cuebook.PLATFORM_MARKERS)
        """,
    )
    assert out["missing_hive"] == [
        "ImportError", "cannot import name PLATFORM_HIVE",
        "agents.transmute.originscan", "/somewhere/originscan.py", "PLATFORM_HIVE",
    ]  # fmt: skip
    assert not out["loaded_after_failure"]
    assert out["calls_after_failure"] == 0
    assert out["imports_when_incomplete"] == [["agents.transmute.originscan", ["Marker", *PLATFORM_NAMES], 0]]
    assert out["missing_two"][1] == "cannot import name Marker"
    assert out["submodule_bound"] and out["rows"] == 133


def test_complete_loaded_scanner_is_not_imported_again(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        import builtins
        seen = []
        real_import = builtins.__import__
        builtins.__import__ = lambda name, *rest, **kw: (seen.append(name), real_import(name, *rest, **kw))[1]
        import agents.transmute.cuebook as cuebook
        out["scanner_imported"] = "agents.transmute.originscan" in seen
        out["rows"] = len(cuebook.PLATFORM_MARKERS)
        """,
    )
    assert out == {"scanner_imported": False, "rows": 133}


def test_scanner_import_error_propagates_then_retry_and_reinit(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        import importlib.util

        class ScannerBroke(Exception):
            pass

        class BrokenScanner:
            def find_spec(self, name, path=None, target=None):
                if name == "agents.transmute.originscan":
                    return importlib.util.spec_from_loader(name, self)

            def create_module(self, spec):
                return None

            def exec_module(self, module):
                raise ScannerBroke("scanner failed")

        finder = BrokenScanner()
        sys.meta_path.insert(0, finder)
        try:
            import agents.transmute.cuebook
        except ScannerBroke as exc:
            out["error"] = str(exc)
        out["loaded_after_failure"] = "agents.transmute.cuebook" in sys.modules
        sys.meta_path.remove(finder)

        import agents.transmute.cuebook as cuebook
        out["rows"] = len(cuebook.PLATFORM_MARKERS)
        out["real_marker"] = type(cuebook.PLATFORM_MARKERS[0]).__module__

        del sys.modules["agents.transmute.cuebook"]
        try:
            import agents.transmute.cuebook
        except RuntimeError as exc:
            out["reinit"] = str(exc)
        """,
        scanner=False,
    )
    assert out == {
        "error": "scanner failed",
        "loaded_after_failure": False,
        "rows": 133,
        "real_marker": "agents.transmute.originscan",
        "reinit": "Module 'cuebook' has already been imported. Re-initialisation is not supported.",
    }


def test_refused_marker_fails_import_and_releases_rows(tmp_path):
    out = run_isolated(
        tmp_path,
        """
        import gc, weakref
        import agents.transmute.originscan as scanner

        made = []
        real_marker = scanner.Marker

        def keeping_marker(**kwargs):
            marker = real_marker(**kwargs)
            made.append(weakref.ref(marker))
            return marker

        scanner.Marker = keeping_marker
        scanner.PLATFORM_HIVE = "hive"  # not a Platform: the record refuses it on row 121
        try:
            import agents.transmute.cuebook
        except TypeError as exc:
            out["error"] = str(exc)
        out["loaded_after_failure"] = "agents.transmute.cuebook" in sys.modules
        gc.collect()
        out["made"] = len(made)
        out["alive"] = sum(ref() is not None for ref in made)
        """,
        scanner=False,
    )
    assert out == {
        "error": "Marker hive.uniontype: 'hive' is not a Platform",
        "loaded_after_failure": False,
        "made": 120,
        "alive": 0,
    }
