#!/usr/bin/env bash
# In-place development build: compiles the extension modules (all, or the targets given) into
# the source tree, so that `.venv/bin/python -m pytest` from the repository root uses them.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${SORVANE_BUILD_DIR:-$ROOT/build/dev}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DSORVANE_INPLACE=ON -DPython_EXECUTABLE="$ROOT/.venv/bin/python" >/dev/null
if [ "$#" -gt 0 ]; then
    for target in "$@"; do cmake --build "$BUILD" --target "$target"; done
else
    cmake --build "$BUILD"
fi
