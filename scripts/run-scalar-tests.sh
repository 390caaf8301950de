#!/usr/bin/env bash
# Builds the package with the plain byte lanes (what a build for a processor without SSE2 or AVX2
# gets) into .venv-scalar and runs the differential tests of the scans and the engine on it.
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
VENV="$ROOT/.venv-scalar"

if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core structlog pytest hypothesis
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$ROOT/build/scalar-{wheel_tag}" -Ccmake.define.TRANSMUTE_SIMD_SCALAR=ON \
    -Ccmake.define.TRANSMUTE_WERROR=ON "$ROOT"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/test_scan.py tests/test_classify.py tests/test_engine.py \
    tests/test_lorepick_differential.py tests/test_lorepick_detect.py tests/test_detect_scan.py "$@"
