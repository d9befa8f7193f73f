#!/usr/bin/env bash
# Runs the whole test suite against an extension built with AddressSanitizer
# and UndefinedBehaviorSanitizer.
#
#   tests/run_sanitized.sh [PYTEST ARGS...]
#
# The module is built with CMake directly (not pip) in its own build
# directory, build/sanitize (VOCARIX_SANITIZE_BUILD overrides it), with
# -DVOCARIX_SANITIZE=ON and the test-only extension, and pytest imports them
# through PYTHONPATH. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded
# (it must come before every other library), together with the C++ runtime,
# which the interpreter does not load itself and whose exception throwing
# ASan must find at startup. Leak detection is off because the interpreter
# leaks by design at exit. Any sanitizer report stops the process with an
# error (undefined behaviour is built not to recover). Reports go to files
# (build/sanitize/reports/), since pytest captures the test process's stderr
# and a report printed there would be lost with the process; the run fails
# when any report file exists, including reports from subprocesses.
#
# Needs the build tools of the normal development build: cmake, a C++20
# compiler (gcc, whose ASan runtime is preloaded), pybind11, and the test
# dependencies (pip install ".[test]").
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VOCARIX_SANITIZE_BUILD:-$ROOT/build/sanitize}"
PYTHON="${PYTHON:-python3}"
CXX_COMPILER="${CXX:-g++}"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX_COMPILER" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
    -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" \
    -DVOCARIX_SANITIZE=ON >/dev/null
cmake --build "$BUILD"

PRELOAD=()
for runtime in libasan.so libstdc++.so; do
    path="$("$CXX_COMPILER" -print-file-name="$runtime")"
    [ -e "$path" ] || { echo "runtime library $runtime not found" >&2; exit 1; }
    PRELOAD+=("$(realpath "$path")")
done

REPORTS="$BUILD/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
status=0
(
    cd "$ROOT"
    export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
    export LD_PRELOAD="${PRELOAD[*]}"
    export ASAN_OPTIONS="detect_leaks=0:log_path=$REPORTS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@"
) || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    for report in "$REPORTS"/*; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    echo "sanitizer reports found in $REPORTS" >&2
    exit 1
fi
exit "$status"
