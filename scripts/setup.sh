#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then
# configures and builds into build/ (or $BRTX_BUILD_DIR). Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_PACKAGES="cmake ninja-build g++ pkg-config ccache qt6-base-dev libsqlite3-dev libgtest-dev libpq-dev libssl-dev"
# The parser fuzz targets (fuzz/run.sh) need clang with its libFuzzer runtime.
BUILD_PACKAGES="$BUILD_PACKAGES clang libclang-rt-14-dev"
# The .xlsx export, and the brtx-pdf converter (built when Qt WebEngine is there).
BUILD_PACKAGES="$BUILD_PACKAGES libxlsxwriter-dev qt6-webengine-dev"
# The discovery package (a zip).
BUILD_PACKAGES="$BUILD_PACKAGES libzip-dev"
# The statistics tab: its charts and their SVG export.
BUILD_PACKAGES="$BUILD_PACKAGES qt6-charts-dev qt6-svg-dev"
# Tools the tests and the program use at run time.
RUN_PACKAGES="wkhtmltopdf libjs-bootstrap4 poppler-utils python3-xlrd python3-openpyxl xvfb xauth"
# The independent seal checker (scripts/seal-check.py) verifies desk signatures with openssl.
RUN_PACKAGES="$RUN_PACKAGES openssl"
# The central-store tests and benchmark start a throw-away PostgreSQL cluster of their own.
RUN_PACKAGES="$RUN_PACKAGES postgresql"
# Window fonts: Latin texts, and Chinese texts (the about box's button is always Chinese).
RUN_PACKAGES="$RUN_PACKAGES fonts-dejavu-core fonts-droid-fallback"
# The Debian package and its check (scripts/check-package.sh): dpkg-shlibdeps, the desktop
# entry and AppStream validators.
RUN_PACKAGES="$RUN_PACKAGES dpkg-dev desktop-file-utils appstream"
# Installed without recommends (they would pull in a whole desktop).
NORECOMMEND_PACKAGES="gnumeric"

missing() {
    local out=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || out+=("$p")
    done
    echo "${out[@]:-}"
}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
need=$(missing $BUILD_PACKAGES $RUN_PACKAGES)
need_nr=$(missing $NORECOMMEND_PACKAGES)
if [ -n "$need$need_nr" ]; then
    $SUDO apt-get update -qq
    [ -z "$need" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need
    [ -z "$need_nr" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need_nr
fi

BUILD_DIR="${BRTX_BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${BRTX_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
