#!/usr/bin/env bash
# Builds the program (same set-up as the tests) and runs the speed benchmarks, printing one
# table. Options go to brtx-bench (see: build/bin/brtx-bench --help), e.g. --quick.
# The central-store rows run against a throw-away PostgreSQL cluster with default settings
# (BRTX_BENCH_CENTRAL=0 leaves them out; --central CONNINFO names another server).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BRTX_BUILD_DIR:-build}"
export QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
central=()
if [ "${BRTX_BENCH_CENTRAL:-1}" = 1 ] && [[ " $* " != *" --central "* ]]; then
    info=$(mktemp)
    trap 'sh tests/central/pg_cluster.sh stop "$info"; rm -f "$info"' EXIT
    sh tests/central/pg_cluster.sh start "$info"
    central=(--central "$(cat "$info")")
    [ -s "$info" ] || central=(--central "")
fi
"$BUILD_DIR/bin/brtx-bench" "${central[@]}" "$@"
