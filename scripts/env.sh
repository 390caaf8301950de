# Sourced by the other scripts: finds Python 3.13 and builds the package into .venv.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python() {
    local candidate
    for candidate in "${PYTHON:-}" python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 \
                     /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [ -n "$candidate" ] || continue
        if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            command -v "$candidate" || echo "$candidate"
            return 0
        fi
    done
    echo "Python 3.13 not found (set PYTHON=/path/to/python3.13)" >&2
    return 1
}

# CMAKE_DEFINES: CMake options for the build, NAME=VALUE separated by spaces.
build_package() {
    local extras="${1:-}"
    local defines=() define
    for define in ${CMAKE_DEFINES:-}; do
        defines+=("-Ccmake.define.$define")
    done
    if [ ! -x "$VENV/bin/python" ]; then
        "$(find_python)" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core structlog $extras
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        -Cbuild-dir="$ROOT/build/{wheel_tag}" "${defines[@]}" "$ROOT"
}
