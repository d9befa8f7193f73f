#!/usr/bin/env bash
# Runs the whole test suite against extensions built with AddressSanitizer,
# then against extensions built with UndefinedBehaviorSanitizer.
#
#   tests/run_sanitized.sh [PYTEST ARGS...]
#   VOCARIX_SANITIZERS=undefined tests/run_sanitized.sh tests/test_weights.py
#
# Each sanitizer gets its own build (build/sanitize-address and
# build/sanitize-undefined; VOCARIX_SANITIZE_BUILD sets the prefix) made with
# CMake directly, not pip, and pytest imports it through PYTHONPATH. Two
# passes rather than one combined build: with both in one process, gcc's
# runtime writes UndefinedBehaviorSanitizer reports nowhere once
# AddressSanitizer logs to a file, and a report printed to standard error
# would be lost with the process, since pytest captures it.
#
# The interpreter itself is not instrumented, so for the AddressSanitizer
# pass its runtime is preloaded (it must come before every other library),
# together with the C++ runtime, which the interpreter does not load itself
# and whose exception throwing the sanitizer must find at startup. Leak
# detection is off because the interpreter leaks by design at exit. Any
# report stops the process with an error (undefined behaviour is built not
# to recover). Reports go to files (<build>/reports/); the run fails when any
# report file exists, including reports from subprocesses.
#
# Needs the build tools of the normal development build: cmake, a C++20
# compiler (gcc, whose sanitizer runtimes are used), pybind11, and the test
# dependencies (pip install ".[test]").
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PREFIX="${VOCARIX_SANITIZE_BUILD:-$ROOT/build/sanitize}"
PYTHON="${PYTHON:-python3}"
CXX_COMPILER="${CXX:-g++}"
SANITIZERS="${VOCARIX_SANITIZERS:-address undefined}"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

runtime_path() {
    local path
    path="$("$CXX_COMPILER" -print-file-name="$1")"
    [ -e "$path" ] || { echo "runtime library $1 not found" >&2; exit 1; }
    realpath "$path"
}

overall=0
for sanitizer in $SANITIZERS; do
    build="$PREFIX-$sanitizer"
    cmake -S "$ROOT" -B "$build" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="$CXX_COMPILER" \
        -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
        -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" \
        -DVOCARIX_SANITIZE=ON -DVOCARIX_SANITIZERS="$sanitizer" >/dev/null
    cmake --build "$build"

    reports="$build/reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    preload=""
    if [ "$sanitizer" = address ]; then
        preload="$(runtime_path libasan.so) $(runtime_path libstdc++.so)"
    fi
    echo "==== tests under the $sanitizer sanitizer" >&2
    status=0
    (
        cd "$ROOT"
        export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
        [ -n "$preload" ] && export LD_PRELOAD="$preload"
        export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
        exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@"
    ) || status=$?

    if compgen -G "$reports/*" >/dev/null; then
        for report in "$reports"/*; do
            echo "==== $report" >&2
            cat "$report" >&2
        done
        echo "sanitizer reports found in $reports" >&2
        status=1
    fi
    [ "$status" -ne 0 ] && overall="$status"
done
exit "$overall"
