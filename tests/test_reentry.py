"""Re-entry through host objects whose attributes are the modules' own functions: a property
that calls the function reading it recurses without a host frame in between, and must end in
RecursionError as a host function would, not by exhausting the C stack. Each case runs in a
child interpreter so that a crash fails the case instead of ending the test run."""

import subprocess
import sys
import textwrap

import pytest

CASES = {
    "classify_sql_file": """
        class O:
            read_text = property(cx.classify_sql_file)
        call = lambda: cx.classify_sql_file(O())
    """,
    "plan_reading_strategy": """
        class O:
            read_text = property(cx.plan_reading_strategy)
        call = lambda: cx.plan_reading_strategy(O())
    """,
    "analysis_turns": """
        turns = cx.ComplexityResult.recommended_analysis_turns.fget
        class O:
            effective_lines = property(turns)
        call = lambda: turns(O())
    """,
}

RUNNER = """
import sys, threading
from agents.transmute import complexity as cx
{setup}
def attempt():
    try:
        call()
    except RecursionError as error:
        print(type(error).__name__, error)
    else:
        print("returned")
attempt()
# Again in a thread with a small stack, where the interpreter's depth limit alone is far too deep.
threading.stack_size(512 * 1024)
worker = threading.Thread(target=attempt)
worker.start()
worker.join()
attempt()  # the depth count is balanced again after the error
"""


@pytest.mark.parametrize("case", sorted(CASES))
def test_self_reentry_raises_recursion_error(case):
    code = RUNNER.format(setup=textwrap.dedent(CASES[case]))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "RecursionError maximum recursion depth exceeded\n" * 3


def test_host_function_in_the_same_place_raises_the_same():
    # The reference: a host function read through a property in the same way.
    def classify_sql_file(sql_path):
        return sql_path.read_text(encoding="utf-8")

    class SelfReading:
        read_text = property(classify_sql_file)

    with pytest.raises(RecursionError) as info:
        classify_sql_file(SelfReading())
    assert str(info.value) == "maximum recursion depth exceeded"
