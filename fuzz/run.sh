#!/usr/bin/env bash
# Builds the libFuzzer targets and fuzzes each one for a while.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGET is fuzz_reader, fuzz_editing,
# fuzz_gguf and/or fuzz_reader_files (default all four, one after the other;
# set FUZZ_PARALLEL=1 to run them side by side). Needs clang with libFuzzer,
# the newest found first (Debian: apt-get install clang-16
# libclang-rt-16-dev). Build and working corpora go to build/fuzz/; crashes
# are written there as build/fuzz/artifacts/<target>-crash-*. Inputs kept in
# fuzz/regressions/<target>/ are replayed before fuzzing starts.
#
# Reader seeds: fuzz/corpus/reader/, plus, when present, the real fixtures
# (VOCARIX_REAL_FIXTURES, default ../shared/fixtures/real beside the repo)
# and benchmarks/.cache/bytelevel-2k.json. Those are read from a temporary
# directory outside the repository, never copied into it.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SECONDS_PER_TARGET="${1:-60}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_reader fuzz_editing fuzz_gguf fuzz_reader_files)
BUILD="$ROOT/build/fuzz"
CXX_FOR_FUZZ="${CXX_FOR_FUZZ:-$(command -v clang++-18 || command -v clang++-17 || command -v clang++-16 || command -v clang++ || true)}"
[ -n "$CXX_FOR_FUZZ" ] || { echo "clang++ not found (apt-get install clang-16 libclang-rt-16-dev)" >&2; exit 1; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT/fuzz" -B "$BUILD" "${generator[@]}" -DCMAKE_CXX_COMPILER="$CXX_FOR_FUZZ" >/dev/null
cmake --build "$BUILD" --target "${TARGETS[@]}"

SEEDS="$(mktemp -d)"
trap 'rm -rf "$SEEDS"' EXIT
REAL="${VOCARIX_REAL_FIXTURES:-$ROOT/../shared/fixtures/real}"
[ -d "$REAL" ] && cp "$REAL"/*.json "$SEEDS/" 2>/dev/null || true
[ -f "$ROOT/benchmarks/.cache/bytelevel-2k.json" ] && cp "$ROOT/benchmarks/.cache/bytelevel-2k.json" "$SEEDS/" || true

run_target() {
    local target="$1"
    local corpus="$BUILD/corpus-$target" artifacts="$BUILD/artifacts" log="$BUILD/$target.log"
    mkdir -p "$corpus" "$artifacts"
    local args=(-max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 -artifact_prefix="$artifacts/$target-"
                -timeout=10 -rss_limit_mb=4096)
    local dirs=("$corpus")
    case "$target" in
        fuzz_reader)
            # Room for whole small documents; larger seeds are cut to their first 32 KiB.
            args+=(-max_len=32768 -dict="$ROOT/fuzz/reader.dict")
            dirs+=("$ROOT/fuzz/corpus/reader" "$SEEDS") ;;
        fuzz_editing)
            # A document and two dozen operations fit in a few hundred bytes.
            args+=(-max_len=512 -len_control=0) ;;
        fuzz_gguf)
            # A header with a small tokenizer and a few tensors.
            args+=(-max_len=8192)
            dirs+=("$ROOT/fuzz/corpus/gguf") ;;
        fuzz_reader_files)
            # One byte picks the reader; the seeds are a small file of each kind.
            args+=(-max_len=65536)
            dirs+=("$ROOT/fuzz/corpus/reader_files") ;;
    esac
    local regressions=("$ROOT/fuzz/regressions/$target"/*)
    if [ -e "${regressions[0]}" ]; then
        echo "== $target: replaying ${#regressions[@]} regression inputs"
        "$BUILD/$target" "${regressions[@]}" >"$BUILD/$target.regressions.log" 2>&1 ||
            { cat "$BUILD/$target.regressions.log"; return 1; }
    fi
    echo "== $target: fuzzing for $SECONDS_PER_TARGET s (log: $log)"
    local status=0
    "$BUILD/$target" "${args[@]}" "${dirs[@]}" >"$log" 2>&1 || status=$?
    echo "== $target: exit status $status"
    grep -E "^#[0-9]+[[:space:]]+DONE|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$log" || true
    if [ "$status" -ne 0 ]; then
        grep -E -A30 "ERROR|runtime error|fuzz_(reader|editing|gguf):" "$log" | head -60
    fi
    return "$status"
}

status=0
if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
    pids=()
    for t in "${TARGETS[@]}"; do run_target "$t" >"$BUILD/$t.summary" 2>&1 & pids+=($!); done
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || status=1
        cat "$BUILD/${TARGETS[$i]}.summary"
    done
else
    for t in "${TARGETS[@]}"; do run_target "$t" || status=1; done
fi
exit "$status"
