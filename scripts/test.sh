#!/usr/bin/env bash
# Sets up, builds and runs every test (headless).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
