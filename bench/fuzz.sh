#!/usr/bin/env bash
# Builds the fuzz targets with clang (build-fuzz) and runs each for SECONDS
# on a copy of its committed seed corpus, one after the other; prints each
# target's executions and coverage, and fails when a target crashes, hangs
# or breaks one of its checks.  New inputs go to a scratch directory, never
# into tests/fuzz/corpus.
#   bench/fuzz.sh [SECONDS [TARGET...]]      (default 60 seconds, all targets)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
quarn_need "command -v cmake" cmake
quarn_need "command -v ninja" ninja-build
quarn_need "command -v clang++-14" clang-14
quarn_need "compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a'" libclang-rt-14-dev

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_reader fuzz_logfile fuzz_logread fuzz_syslog)

build=build-fuzz
# The compilers count only when the build directory is configured first.
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DQUARN_FUZZ=ON >/dev/null
cmake --build "$build" --target "${targets[@]}"

# The targets' own files (log files, backups) go to memory where it can:
# every log write ends in fsync.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-fuzz-run-XXXXXX")

# Per target: reader inputs may hold records of any length.
declare -A extra=(
    [fuzz_reader]="-max_len=16384"
    [fuzz_logfile]=""
    [fuzz_logread]=""
    [fuzz_syslog]="-max_len=9000"
)

failed=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t"
    cp tests/fuzz/corpus/"$t"/* "$work/$t"/
    rc=0
    # shellcheck disable=SC2086
    "$build/tests/fuzz/$t" "$work/$t" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$work/$t-" ${extra[$t]} >"$work/$t.log" 2>&1 || rc=$?
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$t.log" | tail -1 || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log")
    if [ "$rc" = 0 ]; then
        echo "$t: ${execs:-?} executions in ${seconds}s; ${done_line:-no final line}"
        sed -n 's/^stat::/    /p' "$work/$t.log"
    else
        failed=1
        echo "$t: FAILED (exit $rc) after ${execs:-?} executions; log and input in $work" >&2
        grep -E 'ERROR|SUMMARY|fuzz_[a-z]+: |Test unit written' "$work/$t.log" | head -20 >&2 || true
    fi
done

if [ "$failed" = 0 ]; then
    rm -rf "$work"
    echo "fuzz: all targets ran clean"
fi
exit "$failed"
