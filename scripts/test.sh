#!/usr/bin/env bash
# Builds and tests everything: the Windows kernel driver and its signed package (with the
# package checks), then the host build's tests in debug,
# under AddressSanitizer + UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# Every stage runs even when an earlier one failed, and a host build that fails in one target
# still builds the rest and runs their tests. The summary lists each stage's result and time;
# the exit status is non-zero if any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

jobs=${KVSBDA_JOBS:-2}
# ThreadSanitizer runs the tests whose names match this (all by default).
tsan_tests=${KVSBDA_TSAN_TESTS:-.}

results=()
failed=0
# Build directories whose ctest run failed; the summary ends with what their failed tests printed.
failed_test_dirs=()
stage() {
    local name=$1
    shift
    printf '\n==================== %s ====================\n' "$name"
    local start status rc
    start=$(date +%s)
    # Not in an `if`: there bash would ignore `set -e` inside the stage.
    set +e
    (
        set -euo pipefail
        "$@"
    )
    rc=$?
    set -e
    if [ $rc -eq 0 ]; then status=passed; else status=FAILED; failed=1; fi
    results+=("$(printf '%-24s %-7s %5ss' "$name" "$status" "$(($(date +%s) - start))")")
}

windows_kernel() {
    cmake --preset windows-kernel
    cmake --build --preset windows-kernel -j"$jobs"
    # Every name the host seam headers give the core must exist on the kernel side too.
    cmake --build --preset windows-kernel --target wdk_vocabulary
    # The package: signatures, catalog, INF.
    run_ctest windows-kernel
}

# Runs ctest for a preset; on failure remembers the build directory for the summary's digest.
run_ctest() {
    local preset=$1
    shift
    local dir="$root/build/$preset"
    rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
    local rc=0
    ctest --preset "$preset" -j"$jobs" "$@" || rc=$?
    [ $rc -eq 0 ] || echo "$dir" >>"$root/build/failed-test-dirs"
    return $rc
}

# What each failed test printed, taken from ctest's log of the run: the lines that say what went
# wrong (assertions, sanitizer reports, signals), then the tail of its output.
failure_digest() {
    local dir=$1 list="$1/Testing/Temporary/LastTestsFailed.log"
    [ -f "$list" ] || return 0
    local name output
    while IFS=: read -r _ name; do
        output=$(awk -v name="$name" '
            !on { line = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", line); if (line == name && $0 != line) on = 1 }
            on { print }
            on && index($0, "\"" name "\" end time:") == 1 { exit }
        ' "$dir/Testing/Temporary/LastTest.log")
        printf '\n---- %s: %s ----\n' "${dir##*/}" "$name"
        grep -E 'Failure|FAILED|ERROR|SUMMARY|Segmentation|Aborted|Timeout|WARNING: ThreadSanitizer' \
            <<<"$output" | head -n 20 || true
        printf -- '-- last lines:\n'
        tail -n 30 <<<"$output"
    done <"$list"
}

host_debug() {
    cmake --preset host-debug
    local build=0
    cmake --build --preset host-debug -j"$jobs" -- -k 0 || build=$?
    # The image checks read the signed image of the package, the one Windows loads.
    KVSBDA_SYS="$root/build/windows-kernel/package/kvsbda.sys" run_ctest host-debug
    return $build
}

host_asan() {
    cmake --preset host-asan
    local build=0
    cmake --build --preset host-asan -j"$jobs" -- -k 0 || build=$?
    run_ctest host-asan
    return $build
}

host_tsan() {
    cmake --preset host-tsan
    local build=0
    cmake --build --preset host-tsan -j"$jobs" -- -k 0 || build=$?
    run_ctest host-tsan -R "$tsan_tests"
    return $build
}

total_start=$(date +%s)
mkdir -p "$root/build"
rm -f "$root/build/failed-test-dirs"
stage setup bash scripts/setup.sh
stage windows-kernel windows_kernel
stage host-debug host_debug
stage host-asan host_asan
stage host-tsan host_tsan

printf '\n==================== summary ====================\n'
printf '%s\n' "${results[@]}"
printf '%-24s %-7s %5ss\n' total "" "$(($(date +%s) - total_start))"
if [ $failed -ne 0 ]; then
    if [ -f "$root/build/failed-test-dirs" ]; then
        while read -r dir; do failure_digest "$dir"; done <"$root/build/failed-test-dirs"
    fi
    echo "FAILED"
    exit 1
fi
echo "all stages passed"
