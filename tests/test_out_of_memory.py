"""Running out of memory while a scan has released the GIL: the scan's C++ exception must not
cross the interpreter's frames (the process would abort) nor leave the thread without the GIL.
The call raises MemoryError and the interpreter carries on. Memory is made scarce with an
address-space limit, in a child process so that the suite's own process is never starved."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves far more address space than any limit allows, and reports "
           "a failed allocation instead of throwing")

# Each case builds `text` (long enough that the scan releases the GIL), then `call(text)` runs
# with only `headroom` bytes of address space to spare: far less than the call's working memory.
CASES = {
    "engine_spans": ('from agents.transmute import _engine\nprog = _engine.compile("a")',
                     '"a" * 4_000_000', "prog.spans", 48 << 20),
    "engine_sub_empty": ('from agents.transmute import _engine\nprog = _engine.compile("b")',
                         '"a" * 40_000_000 + "b"', "prog.sub_empty", 8 << 20),
    "classify_sql": ("from agents.transmute import complexity",
                     '"SELECT 1\\n" * 5_000_000', "complexity.classify_sql", 8 << 20),
    "detect_construct_categories": ("from agents.transmute import lorepick",
                                    '"SELECT 1\\n" * 5_000_000', "lorepick.detect_construct_categories",
                                    8 << 20),
}

CHILD = """
import resource, threading
{setup}
text = {text}
call = {call}

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + {headroom}, hard))
try:
    call(text)
    outcome = "returned"
except MemoryError:
    outcome = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# The thread holds the GIL again: other threads run, and the same call now succeeds.
worker = threading.Thread(target=call, args=(text[:1000],))
worker.start()
worker.join()
call(text)
print(outcome)
"""


@pytest.mark.parametrize("case", sorted(CASES))
def test_out_of_memory_without_the_gil_raises_memory_error(case):
    setup, text, call, headroom = CASES[case]
    child = CHILD.format(setup=setup, text=text, call=call, headroom=headroom)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(child)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "MemoryError"  # after the modules' debug events
