#!/usr/bin/env bash
# Builds the package into .venv and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
build_package "pytest hypothesis mypy rich jinja2 jsonschema pathspec"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -q "$@"
