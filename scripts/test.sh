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
    # intercept_tls_get_addr=0: the leak check at exit kept a record of
    # libasound's dynamic thread-local block (the toolkit's ALSA audio plugin
    # loads it) whose range was bogus, and now and then crashed scanning it
    # ("Tracer caught signal 11"), failing a clean exit with no report. Without
    # the record that block is not scanned as a root: that can only add leak
    # reports, never hide one.
    ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0 \
    LSAN_OPTIONS=suppressions=$suppressions/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-asan address -E "$skip"
    TSAN_OPTIONS=suppressions=$suppressions/tsan.supp:second_deadlock_stack=1 \
        run_suite build-tsan thread -E "$skip"
fi
