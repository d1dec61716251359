#!/usr/bin/env bash
# The hardening checks, each in a build folder of its own:
#   ci-hardening.sh asan       unit tests and the native end-to-end suite
#                              (fault matrix included) under AddressSanitizer
#                              and UndefinedBehaviorSanitizer   (build-asan)
#   ci-hardening.sh fuzz [S]   every libFuzzer target for S seconds, 60 unless
#                              given, from the seed corpora      (build-fuzz)
#   ci-hardening.sh analyze    cppcheck and clang-tidy             (build-hard)
#   ci-hardening.sh valgrind   memcheck on a listing, a status, a disk copy
#                              and a firmware update              (build-hard)
#   ci-hardening.sh all        all four, in that order
# Each step prints its closing lines and the time it took; the script stops
# at the first step that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}

step_start() {
    echo
    echo "==== $1"
    step_began=$(date +%s)
}

step_end() {
    echo "==== $1: passed in $(($(date +%s) - step_began)) s"
}

# Runs a build command with its output in a log, shown only when it fails.
quietly() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 100 "$log"
        return 1
    fi
}

# ---- Sanitizers.

run_asan() {
    step_start "asan"
    scripts/install-deps.sh native
    cmake --preset asan >/dev/null
    quietly "$root/build-asan/build.log" cmake --build --preset asan -j "$jobs"
    local log="$root/build-asan/ctest-hardening.log"
    if ! ctest --preset asan >"$log" 2>&1; then
        tail -n 300 "$log"
        return 1
    fi
    tail -n 8 "$log"
    step_end "asan"
}

# ---- Fuzzing.

# Flags per target: the largest input each one takes.
fuzz_max_len() {
    case "$1" in
    fuzz_listing) echo 8192 ;;  # the directory task's buffer
    fuzz_packet) echo 325 ;;    # track byte and one packet
    fuzz_adapter) echo 16384 ;; # a whole listing in small chunks
    fuzz_copy) echo 2048 ;;     # a packet kind per byte: a whole disk and more
    fuzz_command_line) echo 4096 ;;
    *) echo 1024 ;;
    esac
}

run_fuzz() {
    local seconds=${1:-60}
    step_start "fuzz (${seconds} s per target)"
    scripts/install-deps.sh fuzz
    cmake --preset fuzz >/dev/null
    quietly "$root/build-fuzz/build.log" \
        cmake --build --preset fuzz -j "$jobs" --target fuzz_listing fuzz_packet fuzz_scan fuzz_adapter fuzz_copy fuzz_command_line
    local work="$root/build-fuzz/work" logs="$root/build-fuzz/logs"
    mkdir -p "$logs"
    for target in fuzz_listing fuzz_packet fuzz_scan fuzz_adapter fuzz_copy fuzz_command_line; do
        # New inputs go to a scratch corpus; the seeds in the repository stay
        # as they are.
        rm -rf "${work:?}/$target"
        mkdir -p "$work/$target"
        local log="$logs/$target-${seconds}s.log"
        echo "-- $target"
        if ! "build-fuzz/tests/fuzz/$target" -max_len="$(fuzz_max_len "$target")" -timeout=10 \
            -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$logs/$target-" \
            "$work/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
            tail -n 40 "$log"
            echo "$target: finding; the input is in $logs" >&2
            return 1
        fi
        grep -E '^(#[0-9]+[[:space:]]+DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log"
    done
    step_end "fuzz"
}

# ---- Static analysis.

run_analyze() {
    step_start "analyze"
    scripts/install-deps.sh analyze
    configure_hard
    scripts/analyze.sh build-hard
    step_end "analyze"
}

# ---- valgrind.

# A Release build with debug information, for readable reports.
configure_hard() {
    cmake -S "$root" -B build-hard -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g >/dev/null
}

sim_pid=""
sim_path=""

start_sim() {
    local out="$scratch/sim.out"
    : >"$out"
    build-hard/orvelan-sim "$@" >"$out" 2>"$scratch/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        sim_path=$(head -n 1 "$out")
        [ -n "$sim_path" ] && return 0
        sleep 0.05
    done
    echo "orvelan-sim did not start: $(cat "$scratch/sim.err")" >&2
    return 1
}

stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}

# memcheck on one run of the tool: no error, no leak, and the task succeeded.
memcheck() {
    local name=$1
    shift
    local log="$scratch/$name.valgrind"
    local status=0
    (cd "$scratch/run" && valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
        --error-exitcode=99 --log-file="$log" "$root/build-hard/orvelan" "$@" >"$scratch/$name.out" 2>&1) ||
        status=$?
    echo "-- $name: exit status $status, last line: $(grep -v '^[[:space:]]*$' "$scratch/$name.out" | tail -n 1)"
    grep -E 'ERROR SUMMARY|All heap blocks were freed|definitely lost|in use at exit' "$log" | sed 's/^==[0-9]*== //'
    if [ "$status" -ne 0 ] || ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
        cat "$log" "$scratch/$name.out"
        return 1
    fi
}

run_valgrind() {
    step_start "valgrind"
    scripts/install-deps.sh valgrind
    configure_hard
    quietly "$root/build-hard/build.log" cmake --build build-hard -j "$jobs" --target orvelan orvelan-sim
    scratch=$(mktemp -d)
    trap 'stop_sim; rm -rf "$scratch"' EXIT
    mkdir "$scratch/run"
    local disk="$root/samples/sample.d64"

    start_sim --disk "$disk"
    memcheck listing -e -l "$sim_path"
    memcheck status -s "$sim_path"
    memcheck copy -w copy.d64 "$sim_path"
    stop_sim
    cmp "$disk" "$scratch/run/copy.d64"

    # The firmware update with the real programmer into the stand-in's
    # bootloader where avrdude is installed, else with a programmer that only
    # succeeds: the tool's own work is the same.
    if command -v avrdude >/dev/null && [ -f /etc/avrdude.conf ]; then
        ln -s "$(command -v avrdude)" "$scratch/run/avrdude"
        ln -s /etc/avrdude.conf "$scratch/run/avrdude.conf"
    else
        echo "(no avrdude: a stand-in programmer)"
        printf '#!/bin/sh\nexit 0\n' >"$scratch/run/avrdude"
        chmod +x "$scratch/run/avrdude"
        : >"$scratch/run/avrdude.conf"
    fi
    start_sim --boot-link "$scratch/bootloader" --flash-out "$scratch/flash.bin"
    memcheck firmware -u "$scratch/bootloader" "$sim_path"
    stop_sim
    step_end "valgrind"
}

case "${1:-all}" in
asan) run_asan ;;
fuzz) run_fuzz "${2:-60}" ;;
analyze) run_analyze ;;
valgrind) run_valgrind ;;
all)
    began=$(date +%s)
    run_asan
    run_fuzz "${2:-60}"
    run_analyze
    run_valgrind
    echo
    echo "==== hardening: all passed in $(($(date +%s) - began)) s"
    ;;
*)
    echo "usage: $0 [asan|fuzz [seconds]|analyze|valgrind|all]" >&2
    exit 2
    ;;
esac
