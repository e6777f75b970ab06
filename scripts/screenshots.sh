#!/usr/bin/env bash
# Remakes the manual's screenshots from the simulator, under Xvfb (an X server without a
# screen): the main window after a download and on its history page, in English and Chinese
# (tests/window/FirstRunTest.cpp), and the history page's search and sort
# (tests/history/HistoryWorkbenchTest.cpp). The tests keep what they show when BRTX_SHOT_DIR
# names a folder.
#   bash scripts/screenshots.sh [FOLDER]     (default: docs)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath "${1:-docs}")
mkdir -p "$out"
bash scripts/setup.sh
build="${BRTX_BUILD_DIR:-build}"
shoot() {
    BRTX_SHOT_DIR="$out" BRTX_NO_OPEN=1 QT_QPA_PLATFORM=xcb \
        xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/$1" --gtest_filter="$2" --gtest_brief=1
}
shoot test_window 'Languages/FirstRunTest.*'
shoot test_history 'HistoryWorkbenchTest.SearchAndSortAsTheUserSeesThem'
ls -l "$out"/screenshot-home.png "$out"/screenshot-history.png "$out"/screenshot-chinese.png \
    "$out"/history-search.png "$out"/history-sorted.png
