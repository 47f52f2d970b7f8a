#!/usr/bin/env bash
# The project's main job: the demo comparing the three methods (all set-up included).
# Extra arguments go to `sorvane demo`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh" plot
cd "$ROOT"
exec "$VENV/bin/sorvane" demo "$@"
