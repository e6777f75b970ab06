#!/usr/bin/env bash
# Sets up, builds and runs every test (headless).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --test-dir "${BRTX_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" --timeout 300 |
    tee "$log"
# Reliability (docs/testing.md): the suite under AddressSanitizer + UBSan and the link and
# download tests under ThreadSanitizer, then every parser fuzz target for 20 s on its corpus.
# BRTX_SKIP_RELIABILITY=1 leaves them out (a quick local run).
if [ "${BRTX_SKIP_RELIABILITY:-0}" != 1 ]; then
    bash scripts/sanitize.sh
    bash fuzz/run.sh all "${BRTX_FUZZ_SECONDS:-20}"
fi
# The suite's own closing line once more, so it stands last.
grep -E '^[0-9]+% tests passed' "$log" | tail -n 1
