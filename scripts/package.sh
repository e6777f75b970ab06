#!/usr/bin/env bash
# Builds the program (same set-up as scripts/run.sh) and its Debian package
# brtx_<version>_<arch>.deb (and brtx-pdf_... when the PDF converter is built) into
# build/package/ (or $BRTX_BUILD_DIR/package/). Install it with: apt install ./<file>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build="${BRTX_BUILD_DIR:-build}"
cpack --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
ls -1 "$PWD/$build/package"/*.deb
