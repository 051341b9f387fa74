#!/usr/bin/env bash
# Installs what is missing, builds the intercom and every test, and runs them:
# first a plain build (build/), then the same tests under AddressSanitizer with
# UndefinedBehaviorSanitizer (build-asan/) and under ThreadSanitizer
# (build-tsan/). INTERCOM_SANITIZERS=0 runs the plain build only.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
scripts/deps.sh test

jobs=$(nproc)
suppressions=$top/tests/sanitizers

run_suite() {
    local dir=$1 sanitize=$2
    shift 2
    echo "=== ${dir}: build${sanitize:+ with $sanitize sanitizer}"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DSANITIZE="$sanitize"
    cmake --build "$dir" -j"$jobs"
    echo "=== ${dir}: tests"
    (cd "$dir" && ctest --output-on-failure --timeout 600 "$@")
}

run_suite build ""

if [ "${INTERCOM_SANITIZERS:-1}" != 0 ]; then
    # The package tests install a release binary; they have nothing to add here.
    skip='^(desktop_entry|appstream_metadata|desktop_package)$'
    ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1 \
    LSAN_OPTIONS=suppressions=$suppressions/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-asan address -E "$skip"
    TSAN_OPTIONS=suppressions=$suppressions/tsan.supp:second_deadlock_stack=1 \
        run_suite build-tsan thread -E "$skip"
fi
