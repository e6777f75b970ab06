#!/usr/bin/env bash
# Builds the program (same set-up as the tests) and runs the speed benchmarks, printing one
# table. Options go to brtx-bench (see: build/bin/brtx-bench --help), e.g. --quick.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BRTX_BUILD_DIR:-build}"
export QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
exec "$BUILD_DIR/bin/brtx-bench" "$@"
