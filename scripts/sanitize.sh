#!/usr/bin/env bash
# Builds every extension module with AddressSanitizer and UndefinedBehaviorSanitizer into a tree of
# its own (the in-place modules of the source tree are left alone) and runs the test suite against
# it with the sanitizer runtimes preloaded.
#
# Usage: scripts/sanitize.sh [pytest arguments...]   (default: the whole of tests/)
# Environment: PYTHON (default .venv/bin/python), SANITIZE_BUILD_DIR (default build/sanitize).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
caller_dir="$PWD"
python="${PYTHON:-$root/.venv/bin/python}"
build="${SANITIZE_BUILD_DIR:-$root/build/sanitize}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
prefix="$build/prefix"
tree="$build/tree"
start=$SECONDS

# RelWithDebInfo: optimised like the release build, with line numbers in the sanitizer reports.
# float-cast-overflow (a float converted to an integer it does not fit) is not part of
# -fsanitize=undefined with GCC; like the rest, it ends the process at the first report.
extra="-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow"
cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVANE_SANITIZE=ON -DSORVANE_INPLACE=OFF -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_MODULE_LINKER_FLAGS="$extra" -DCMAKE_SHARED_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$build/cmake"
rm -rf "$prefix"
cmake --install "$build/cmake" --prefix "$prefix" >/dev/null

# A copy of the package with the sanitized modules in place of the in-place ones.
rm -rf "$tree"
mkdir -p "$tree"
cp -r "$root/sorvane" "$tree/"
find "$tree" \( -name '*.so' -o -name '__pycache__' -o -name source \) -prune -exec rm -rf {} +
cp -r "$prefix/sorvane/." "$tree/sorvane/"
echo "sanitize: build and install took $((SECONDS - start)) s"

# The runtimes must be loaded before anything else; the interpreter itself is not instrumented.
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
# detect_leaks=0: the interpreter keeps much of its memory until exit (reference leaks are checked
# by tests/test_leaks.py instead). allocator_may_return_null=1: an impossible allocation becomes a
# MemoryError as in a normal run instead of ending the process.
# A report ends the process (exit status 1), and pytest then fails.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python objects come from malloc, so that a read or write past one is seen too.
export PYTHONMALLOC=malloc
export PYTHONPATH="$tree"
export SORVANE_SANITIZED=1

# Run from the copy so that `import sorvane` finds it rather than the source tree.
cd "$tree"
"$python" - <<'PY'
import importlib, pathlib, sys
for family, names in {"velmar": ["nearmesh", "velmar_bfs", "velmar_connect", "velmar_lp"],
                      "treleck": ["treleck_mst", "treleck_core"],
                      "quorim": ["quorim_core", "quorim_postprocess"]}.items():
    for name in names:
        module = importlib.import_module(f"sorvane.algorithms.src.{family}.binaries.{name}")
        if not pathlib.Path(module.__file__).is_relative_to(pathlib.Path.cwd()):
            sys.exit(f"sanitize: {name} was imported from {module.__file__}, not from the sanitized tree")
PY
tests_start=$SECONDS
status=0
if [ $# -eq 0 ]; then set -- "$root/tests"; fi
# Test paths given relative to where the script was started (pytest runs from the copy).
args=()
for arg in "$@"; do
  path="${arg%%::*}"
  if [ "${arg#/}" = "$arg" ] && [ -e "$caller_dir/$path" ]; then arg="$caller_dir/$arg"; fi
  args+=("$arg")
done
set -- "${args[@]}"
# --capture=sys: the reports are written straight to file descriptor 2, so they reach the terminal
# even when the test that caused one ends the run (fd capture would swallow them).
"$python" -m pytest -p no:cacheprovider -q --capture=sys "$@" || status=$?
echo "sanitize: tests took $((SECONDS - tests_start)) s, total $((SECONDS - start)) s, exit status $status"
exit $status
