#!/usr/bin/env bash
# Builds the package into .venv and assesses the bundled example scripts.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
build_package
cd "$ROOT"
exec "$VENV/bin/python" scripts/classify_examples.py examples "$@"
