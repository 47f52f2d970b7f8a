#!/usr/bin/env bash
# Set-up shared by the project's commands: finds Python 3.13, makes the virtual environment
# .venv at the repository root and installs sorvane into it with the extras given as arguments.
# Sourced by main.sh and test.sh; afterwards $VENV_PYTHON is the environment's interpreter.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

is_python313() {
    [ -n "$1" ] && [ -x "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null
}

find_python313() {
    local candidate
    candidate="$(command -v python3.13 2>/dev/null || true)"
    if is_python313 "$candidate"; then echo "$candidate"; return 0; fi
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null 2>&1; then pyenv_root="$(pyenv root)"; fi
    for candidate in "$pyenv_root"/versions/3.13*/bin/python3.13; do
        if is_python313 "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}

PYTHON313="$(find_python313)" || {
    echo "error: Python 3.13 not found (looked for python3.13 on PATH and under pyenv's versions folder)" >&2
    exit 1
}

VENV="$ROOT/.venv"
VENV_PYTHON="$VENV/bin/python"
if ! is_python313 "$VENV_PYTHON"; then
    rm -rf "$VENV"
    "$PYTHON313" -m venv "$VENV"
fi

extras="$(IFS=,; echo "$*")"
target="$ROOT"
[ -n "$extras" ] && target="$ROOT[$extras]"
echo "Installing sorvane${extras:+ [$extras]} into $VENV ..." >&2
"$VENV_PYTHON" -m pip install --quiet --disable-pip-version-check "$target" >&2
