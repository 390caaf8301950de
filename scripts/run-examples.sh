#!/usr/bin/env bash
# Builds the package into .venv and assesses the bundled example scripts.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
build_package rich
cd "$ROOT"
exec "$VENV/bin/sql-assess" examples/ --knowledge examples/knowledge "$@"
