#!/usr/bin/env bash
# Remakes the manual's screenshots from the simulator, under Xvfb (an X server without a
# screen): the main window after a download and on its history page, in English and Chinese
# (tests/window/FirstRunTest.cpp), the history page's search and sort
# and its statistics tab (tests/history/HistoryWorkbenchTest.cpp), and the PDF reports (below). The tests keep what
# they show when BRTX_SHOT_DIR names a folder. The exported sheets as Gnumeric shows them, the
# converters side by side and the seal column are not remade here.
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
shoot test_history 'HistoryWorkbenchTest.SearchAndSortAsTheUserSeesThem:HistoryWorkbenchTest.StatisticsTabAsTheUserSeesIt'
# The report pictures: a download from brtx-sim into a throw-away copy of the program folder,
# then the PDF reports as a reader sees them (pdftoppm): one record, a combined report of
# records 3 to 5 (its page 2), and a record whose stored result was edited after download.
work=$(mktemp -d)
sim_pid=""
trap '[ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
for f in Language.ini report.css logo.png bootstrap.min.css failer.jpg brtx-cli brtx-sim brtx-pdf; do
    [ -e "$build/bin/$f" ] && cp -L "$build/bin/$f" "$work/"
done
address="127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))"
"$work/brtx-sim" --address "$address" --records 6 >/dev/null 2>&1 &
sim_pid=$!
sleep 1
cli() { BRTX_NO_OPEN=1 QT_QPA_PLATFORM=offscreen "$work/brtx-cli" "$@"; }
cli download --wifi "$address" --all >/dev/null
kill "$sim_pid"
sim_pid=""
page() { # PDF, page, output name
    pdftoppm -png -r 72 -f "$2" -l "$2" -singlefile "$1" "$out/${3%.png}"
}
page "$(cli export-pdf --device 0123456789 --record 1 | tail -n 1)" 1 pdf-seal.png
cp "$out/pdf-seal.png" "$out/pdf-report.png"
page "$(cli export-pdf --device 0123456789 --record 3,4,5 --combined | tail -n 1)" 2 combined-report.png
python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute("UPDATE ValueInfo SET Test_Result=? WHERE Record_No=?", ("0.010", "2")); db.commit()' "$work/brtx.db"
page "$(cli export-pdf --device 0123456789 --record 2 | tail -n 1)" 1 pdf-seal-failed.png
ls -l "$out"/screenshot-home.png "$out"/screenshot-history.png "$out"/screenshot-chinese.png \
    "$out"/history-search.png "$out"/history-sorted.png "$out"/history-stats-*.png \
    "$out"/pdf-report.png "$out"/pdf-seal.png \
    "$out"/pdf-seal-failed.png "$out"/combined-report.png
