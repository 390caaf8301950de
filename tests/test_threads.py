"""Every function from 8 threads at once, on texts below and above the length at which the native
code releases the GIL, compared with a single-threaded run: with the import-time attributes,
with equivalent replaced attributes (the host paths), and while another thread keeps swapping
attributes between equivalent objects."""

import random
import re
import sys
import threading
import types

import pytest

from agents.transmute import _engine
from agents.transmute import complexity as cx
from agents.transmute import lorepick as lp
from reference.textgen import KINDS, sql_text

THREADS = 8
GIL_THRESHOLD = _engine.NOGIL_THRESHOLD
SEED = 20240611
MAPPING = ("# Mapping\nintro\n## Date Functions\nDATEADD -> date_add\n## Joins and Set Operations\njoin\n"
           "## NULL Semantics (CRITICAL)\nnull\n## Type Casting\ncast\n## Queries & Filters\nselect\n")
GOTCHAS = ("## 1. DATEDIFF Argument Order Reversed\nswap\n## 3. NULL Ordering in ORDER BY\nnulls\n"
           "## 5. Decimal Arithmetic Precision Loss\ndecimal\n")


class LockedRecorder:
    """A logger that keeps events per thread; structlog's default would print them."""

    def __init__(self):
        self.local = threading.local()

    def debug(self, *args, **kwargs):
        self.local.__dict__.setdefault("calls", []).append((args, tuple(kwargs.items())))


class TextPath:
    def __init__(self, text):
        self.text = text

    def read_text(self, *, encoding):
        return self.text


def build_texts():
    rng = random.Random(SEED)
    texts = [sql_text(rng, kind) for kind in KINDS for _ in range(3)]
    for kind in KINDS:
        # Just below and just above the threshold, in every string width.
        long_text = ""
        while len(long_text) < GIL_THRESHOLD + 2000:
            long_text += sql_text(rng, kind) + "\nGO\n"
        texts.append(long_text[:GIL_THRESHOLD - 1])
        texts.append(long_text)
    return texts


TEXTS = build_texts()


def tasks():
    """(name, call) pairs covering every function; each call returns a comparable value."""
    out = []
    for i, text in enumerate(TEXTS):
        path = TextPath(text)
        out.append((f"classify_sql[{i}]", lambda t=text: cx.classify_sql(t)))
        out.append((f"classify_sql_file[{i}]", lambda p=path: cx.classify_sql_file(p)))
        out.append((f"plan[{i}]", lambda p=path: cx.plan_reading_strategy(p)))
        out.append((f"instructions[{i}]",
                    lambda p=path, n=f"f{i}.sql": cx.plan_reading_strategy(p).format_reading_instructions(n)))
        out.append((f"turns[{i}]", lambda t=text: (lambda r: (r.recommended_analysis_turns,
                                                              r.recommended_conversion_turns,
                                                              r.recommended_audit_turns))(cx.classify_sql(t))))
        out.append((f"detect[{i}]", lambda t=text: lp.detect_construct_categories(t)))
        out.append((f"extract[{i}]", lambda t=text: lp.extract_sections(
            MAPPING + t[:5000], {"joins", "date", t[:3]})))
        out.append((f"select[{i}]", lambda t=text: lp.select_knowledge(
            lp.detect_construct_categories(t), full_mapping=MAPPING + t[-3000:], full_gotchas=GOTCHAS,
            full_limitations=t[:10])))
    program = _engine.compile(r"\bWITH\s+\w+\s*(?:\([^)]*\))?\s*AS\s*\(", re.I)
    for i, text in enumerate(TEXTS):
        out.append((f"engine[{i}]", lambda t=text: (program.search(t), program.count(t), program.spans(t),
                                                    program.sub_empty(t), program.span(t, len(t) // 2))))
    out.append(("engine-compile", lambda: _engine.compile(r"#\w+|@\w+\s+TABLE", re.I).spans(TEXTS[-1])))
    from agents.transmute.detector import default_detector

    detector = default_detector()
    for i, text in enumerate(TEXTS):
        # Long texts are scanned with the GIL released, probed or whole.
        out.append((f"platform[{i}]", lambda t=text: detector.detect(t).to_dict()))
    return out


def run_threaded(task_list, rounds, swapper=None):
    """Runs every task `rounds` times from each of 8 threads, each thread in its own order;
    returns {name: list of results seen}; an exception is recorded as its repr."""
    seen = {}
    lock = threading.Lock()
    barrier = threading.Barrier(THREADS)

    def worker(index):
        rng = random.Random(SEED + index)
        order = list(task_list) * rounds
        rng.shuffle(order)
        local = []
        barrier.wait()
        for name, call in order:
            try:
                local.append((name, call()))
            except Exception as exc:  # reported below with the task name
                local.append((name, f"raised {exc!r}"))
        with lock:
            for name, value in local:
                seen.setdefault(name, []).append(value)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    stop = threading.Event()
    swap_thread = threading.Thread(target=swapper, args=(stop,)) if swapper else None
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        if swap_thread:
            swap_thread.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        stop.set()
        if swap_thread:
            swap_thread.join()
        sys.setswitchinterval(old_interval)
    return seen


def assert_matches_single_threaded(task_list, expected, rounds=2, swapper=None):
    seen = run_threaded(task_list, rounds, swapper)
    for name, want in expected.items():
        values = seen[name]
        assert len(values) == THREADS * rounds, name
        for value in values:
            assert value == want, name


@pytest.fixture
def quiet_loggers(monkeypatch):
    monkeypatch.setattr(cx, "logger", LockedRecorder())
    monkeypatch.setattr(lp, "logger", LockedRecorder())


def single_threaded(task_list):
    return {name: call() for name, call in task_list}


def re_proxy():
    proxy = types.ModuleType("re_proxy")
    proxy.__dict__.update({k: v for k, v in vars(re).items() if not k.startswith("__")})
    return proxy


REPLACEMENTS = [
    (cx, "_COMMENT_PATTERNS", lambda: list(cx._COMMENT_PATTERNS)),
    (cx, "_COMPLEX_PATTERNS", lambda: list(cx._COMPLEX_PATTERNS)),
    (cx, "_MODERATE_PATTERNS", lambda: list(cx._MODERATE_PATTERNS)),
    (cx, "re", re_proxy),
    (lp, "_CATEGORY_PATTERNS", lambda: dict(lp._CATEGORY_PATTERNS)),
    (lp, "re", re_proxy),
    (lp, "CONSTRUCT_TO_MAPPING_SECTIONS", lambda: dict(lp.CONSTRUCT_TO_MAPPING_SECTIONS)),
    (lp, "ALWAYS_INCLUDE_MAPPING", lambda: list(lp.ALWAYS_INCLUDE_MAPPING)),
]


def test_import_time_attributes(quiet_loggers):
    task_list = tasks()
    assert_matches_single_threaded(task_list, single_threaded(task_list))


def test_replaced_attributes(quiet_loggers, monkeypatch):
    task_list = tasks()
    expected = single_threaded(task_list)
    for module, name, make in REPLACEMENTS:
        monkeypatch.setattr(module, name, make())
    # The host paths give the same answers as the native ones, alone and in threads.
    assert single_threaded(task_list) == expected
    assert_matches_single_threaded(task_list, expected, rounds=1)


def test_attributes_swapped_while_threads_run(quiet_loggers, monkeypatch):
    task_list = [t for t in tasks() if not t[0].startswith("engine")]
    expected = single_threaded(task_list)
    originals = [(module, name, getattr(module, name)) for module, name, _ in REPLACEMENTS]
    for module, name, original in originals:
        monkeypatch.setattr(module, name, original)  # restored however the test ends
    replacements = [make() for _, _, make in REPLACEMENTS]

    def swapper(stop):
        rng = random.Random(SEED)
        while not stop.is_set():
            k = rng.randrange(len(originals))
            module, name, original = originals[k]
            setattr(module, name, replacements[k] if getattr(module, name) is original else original)

    assert_matches_single_threaded(task_list, expected, rounds=1, swapper=swapper)


def test_logger_sees_one_event_per_call_from_every_thread(monkeypatch):
    recorder = LockedRecorder()
    monkeypatch.setattr(cx, "logger", recorder)
    text = TEXTS[-1]
    counts = {}

    def worker():
        for _ in range(20):
            cx.classify_sql(text)
        counts[threading.get_ident()] = len(recorder.local.calls)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(counts.values()) == [20] * THREADS
