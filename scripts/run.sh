#!/usr/bin/env bash
# Sets up, builds and starts the program from its program folder build/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec build/bin/brtx "$@"
