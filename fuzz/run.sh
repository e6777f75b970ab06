#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# them on top of the corpus kept in fuzz/corpus/<target>/.
#
#   fuzz/run.sh [TARGET|all] [SECONDS]     default: all targets, 30 s each
#   fuzz/run.sh --list                     names of the targets
#   fuzz/run.sh --merge TARGET [SECONDS]   also fold new coverage into fuzz/corpus/TARGET
#                                          (minimised; keep the corpus small)
#
# New inputs go to <build>/work/<target>/, crashes to <build>/artifacts/<target>/. A crashing
# input is a finding: fix the parser, then keep the input in tests/faults/data/ or the corpus.
# Exit status: 0 when no target found anything, 1 otherwise.
# Environment: BRTX_FUZZ_BUILD (default build-fuzz), BRTX_FUZZ_JOBS (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="${BRTX_FUZZ_BUILD:-$ROOT/build-fuzz}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac

merge=0
if [ "${1:-}" = "--merge" ]; then
    merge=1
    shift
fi
targets=$(cd fuzz/targets && ls *.cpp | sed 's/\.cpp$//')
if [ "${1:-}" = "--list" ]; then
    echo "$targets"
    exit 0
fi
want="${1:-all}"
seconds="${2:-30}"
if [ "$want" != "all" ] && ! echo "$targets" | grep -qx "$want"; then
    echo "fuzz/run.sh: no target '$want' (have: $(echo $targets))" >&2
    exit 2
fi
[ "$want" = "all" ] || targets="$want"

if ! command -v clang++ >/dev/null; then
    echo "fuzz/run.sh: clang++ is missing (Debian packages clang libclang-rt-14-dev)" >&2
    exit 2
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$BUILD" -j"${BRTX_FUZZ_JOBS:-$(nproc)}" >/dev/null

# Qt's one-time allocations (codecs, locale data) live until exit; only real faults count.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for t in $targets; do
    work="$BUILD/work/$t"
    artifacts="$BUILD/artifacts/$t"
    mkdir -p "$work" "$artifacts" "fuzz/corpus/$t"
    log="$BUILD/$t.log"
    set +e
    "$BUILD/fuzz_$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
        -max_len=8192 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | sed 's/cov: //')
    found=$(find "$artifacts" -type f | wc -l)
    printf '%-14s %10s executions in %ss, coverage %s, findings %s\n' "$t" "${runs:-?}" \
        "$seconds" "${cov:-?}" "$found"
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        status=1
        echo "  see $log and $artifacts/" >&2
        grep -m5 -E 'ERROR|property failed|runtime error' "$log" >&2 || true
    fi
    if [ "$merge" = 1 ]; then
        "$BUILD/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$work" -max_len=8192 >/dev/null 2>&1 || true
    fi
done
exit $status
