#!/usr/bin/env bash
# Runs the test suite against a fresh install of the package (all set-up included).
# Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh" test
cd "$ROOT"
# The console script (not `python -m pytest`) keeps the source tree off sys.path, so the tests
# import the installed package with its compiled modules.
exec "$VENV/bin/pytest" -q "$@"
