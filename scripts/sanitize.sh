#!/usr/bin/env bash
# Sanitizer runs of the test suite (headless):
#   1. AddressSanitizer + UndefinedBehaviorSanitizer: every test, build folder build-asan;
#   2. ThreadSanitizer: the link tests, build folder build-tsan. The device work runs on a
#      QThread and reports through Qt's queued calls; Qt itself is not built with the
#      sanitizer, so the tool cannot see the ordering Qt's event queue gives and reports every
#      queued call's data as a race. Those tests run under AddressSanitizer above.
# Any sanitizer report fails the test that caused it, and with it this script (exit 1).
#
#   scripts/sanitize.sh [asan|tsan]     default: both
# Environment: BRTX_JOBS (parallel builds and tests, default: number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS="${BRTX_JOBS:-$(nproc)}"
which="${1:-all}"

export QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
# Reports end the process with an error; the suppression files name only system libraries
# that are not built with the sanitizer (fontconfig and the like hold caches to exit).
# intercept_tls_get_addr=0: this compiler's leak checker misreads a dynamic thread-local block
# that glibc hands out on the main thread and crashes while scanning it at exit ("Tracer caught
# signal 11"), whether a test passed or not, depending only on how the test program is laid out.
export ASAN_OPTIONS="abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:detect_leaks=1:intercept_tls_get_addr=0"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/scripts/tsan.supp"

# The test programs whose names match, and the tools they start.
targets_of() {
    local dir=$1 pattern=$2
    ninja -C "$dir" -t targets all | sed -n 's/^\(test_[a-z0-9]*\): .*/\1/p' | sort -u |
        grep -E "$pattern" || true
}

build() {
    local dir=$1 sanitize=$2 pattern=$3
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBRTX_SANITIZE="$sanitize" >/dev/null
    if [ -z "$pattern" ]; then
        cmake --build "$dir" -j"$JOBS" # everything, benchmarks and their tests included
        return
    fi
    local targets
    targets=$(targets_of "$dir" "$pattern")
    cmake --build "$dir" -j"$JOBS" --target brtx-cli brtx-sim $targets
}

status=0
if [ "$which" = all ] || [ "$which" = asan ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
    build build-asan address,undefined ''
    ctest --test-dir build-asan --output-on-failure -j"$JOBS" --timeout 900 || status=1
fi
if [ "$which" = all ] || [ "$which" = tsan ]; then
    echo "== ThreadSanitizer: link tests"
    build build-tsan thread '^test_link$'
    ctest --test-dir build-tsan --output-on-failure -j"$JOBS" --timeout 900 \
        -R '^link\.' || status=1
fi
exit $status
