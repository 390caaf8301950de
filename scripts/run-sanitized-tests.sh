#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into .venv-asan and runs
# the whole test suite under them. Extra arguments go to pytest.
#
# The sanitizer runtime is preloaded into the (uninstrumented) interpreter, and PYTHONMALLOC=malloc
# sends every object allocation through malloc, so ASan sees object memory the extension touches.
# Leak detection is off: the interpreter keeps allocations alive until exit by design, and those
# would drown real findings; reference leaks are tested by tests/test_leaks.py instead.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
VENV="$ROOT/.venv-asan"
build_dir_suffix=asan

if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core structlog \
    pytest hypothesis mypy rich jsonschema
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$ROOT/build/$build_dir_suffix-{wheel_tag}" -Ccmake.define.TRANSMUTE_SANITIZE=ON \
    -Ccmake.define.TRANSMUTE_WERROR=ON "$ROOT"

CXX="${CXX:-g++}"
ASAN_LIB="$("$CXX" -print-file-name=libasan.so)"
UBSAN_LIB="$("$CXX" -print-file-name=libubsan.so)"
cd "$ROOT"
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_init_order=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
