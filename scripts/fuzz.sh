#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one: first over its regression
# inputs (fuzz/regress/<harness>/, inputs that once failed), then for a bounded
# time from its seed corpus (fuzz/corpus/<harness>/). New units go to a scratch
# directory, so the corpora in the repository stay small.
#   scripts/fuzz.sh [seconds per harness] [harness ...]
# FUZZ_RUNS=<n> also stops each harness after n executions (whichever comes
# first); FUZZ_CORPUS_OUT=<dir> keeps the new units in <dir>/<harness>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-8}
shift || true
build=build/fuzz
py=${KOLVANE_PY:-.venv/bin/python}
# The virtual environment brings a recent enough CMake (requirements-dev.txt).
cmake=$(dirname "$py")/cmake
[ -x "$cmake" ] || cmake=cmake
all=(fuzz_keywords fuzz_sigmf fuzz_blue fuzz_csv fuzz_frame fuzz_reasm fuzz_state fuzz_frame_check fuzz_cadu fuzz_args)
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all[@]}")

# Configured on every run (a second or so): a harness added since the last
# run is then known to the build.
"$cmake" -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVANE_FUZZ=ON -DKOLVANE_SANITIZE=address,undefined \
    -DKOLVANE_MODULES=none -DPython_EXECUTABLE="$py" >/dev/null
"$cmake" --build "$build" -j2 --target "${harnesses[@]}" >/dev/null

# The reader harnesses write every input to a file: keep that in memory.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The harnesses' own scratch files go inside it too, even when one aborts.
export TMPDIR="$scratch"
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for h in "${harnesses[@]}"; do
    bin="$build/fuzz/$h"
    opts=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
    [ -f "fuzz/dict/$h.dict" ] && opts+=(-dict="fuzz/dict/$h.dict")
    if compgen -G "fuzz/regress/$h/*" >/dev/null; then
        "$bin" "${opts[@]}" fuzz/regress/"$h"/* >"$scratch/$h.regress.log" 2>&1 ||
            { cat "$scratch/$h.regress.log"; echo "fuzz: $h fails a regression input"; exit 1; }
    fi
    out="${FUZZ_CORPUS_OUT:-$scratch}/$h"
    mkdir -p "$out"
    [ -n "${FUZZ_RUNS:-}" ] && opts+=(-runs="$FUZZ_RUNS")
    if ! "$bin" "${opts[@]}" -max_total_time="$seconds" -artifact_prefix="$scratch/$h-" \
        "$out" "fuzz/corpus/$h" >"$scratch/$h.log" 2>&1; then
        tail -n 60 "$scratch/$h.log"
        mkdir -p build/fuzz-artifacts
        cp "$scratch/$h"-* build/fuzz-artifacts/ 2>/dev/null || true
        echo "fuzz: $h failed; its input is in build/fuzz-artifacts/"
        exit 1
    fi
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$scratch/$h.log")
    rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$scratch/$h.log")
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$scratch/$h.log" | tail -n 1)
    echo "fuzz: $h ok ($runs executions, $rate/s, $cov)"
done
