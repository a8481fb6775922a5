#!/usr/bin/env bash
# Builds and tests everything: the Windows kernel driver, then the host build's tests in debug,
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
}

host_debug() {
    cmake --preset host-debug
    local build=0
    cmake --build --preset host-debug -j"$jobs" -- -k 0 || build=$?
    KVSBDA_SYS="$root/build/windows-kernel/kvsbda.sys" ctest --preset host-debug -j"$jobs"
    return $build
}

host_asan() {
    cmake --preset host-asan
    local build=0
    cmake --build --preset host-asan -j"$jobs" -- -k 0 || build=$?
    ctest --preset host-asan -j"$jobs"
    return $build
}

host_tsan() {
    cmake --preset host-tsan
    local build=0
    cmake --build --preset host-tsan -j"$jobs" -- -k 0 || build=$?
    ctest --preset host-tsan -j"$jobs" -R "$tsan_tests"
    return $build
}

total_start=$(date +%s)
stage setup bash scripts/setup.sh
stage windows-kernel windows_kernel
stage host-debug host_debug
stage host-asan host_asan
stage host-tsan host_tsan

printf '\n==================== summary ====================\n'
printf '%s\n' "${results[@]}"
printf '%-24s %-7s %5ss\n' total "" "$(($(date +%s) - total_start))"
if [ $failed -ne 0 ]; then
    echo "FAILED"
    exit 1
fi
echo "all stages passed"
