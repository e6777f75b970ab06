#!/usr/bin/env bash
# Remakes the manual's screenshots from the simulator, under Xvfb (an X server without a
# screen): the main window after a download and on its history page, in English and Chinese
# (tests/window/FirstRunTest.cpp), the history page's search and sort
# (tests/history/HistoryWorkbenchTest.cpp) and its statistics tab, its seal column
# (tests/integrity/SealColumnTest.cpp), the Instruments page with its log and drift chart
# (tests/instpage/InstrumentsShotTest.cpp), then from a simulator download (below) the PDF reports,
# the same report from both converters and the exported sheets as Gnumeric prints them. The
# tests keep what they show when BRTX_SHOT_DIR names a folder.
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
shoot test_integrity 'SealColumn.EachStateAsTheUserSeesIt'
shoot test_instpage 'InstrumentsShot.RegisterLogAndDriftChartAsTheUserSeesThem'
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
page() { # PDF, page, output name[, height in pixels to keep from the top]
    pdftoppm -png -r 72 -f "$2" -l "$2" ${4:+-x 0 -y 0 -W 595 -H "$4"} -singlefile "$1" "$out/${3%.png}"
}
page "$(cli export-pdf --device 0123456789 --record 1 | tail -n 1)" 1 pdf-seal.png
cp "$out/pdf-seal.png" "$out/pdf-report.png"
page "$(cli export-pdf --device 0123456789 --record 3,4,5 --combined | tail -n 1)" 2 combined-report.png
# The same report from each converter, and the sheets as Gnumeric prints them.
for converter in brtx-pdf wkhtmltopdf; do
    sed -i '/^PdfConverter=/d; s/^\[Global\]$/[Global]\nPdfConverter='"$converter"'/' "$work/Language.ini"
    pdf=$(cli export-pdf --device 0123456789 --record 1 | tail -n 1)
    page "$pdf" 1 "pdf-converter-$converter.png"
    rm -f "$pdf" # else the next export reuses the unchanged report
done
cli export-xls --device 0123456789 --start 2000-01-01 --end 2099-12-31 "$work/records.xls" >/dev/null
cli export --device 0123456789 --start 2000-01-01 --end 2099-12-31 "$work/records.xlsx" >/dev/null
for kind in xls xlsx; do
    ssconvert -O 'paper=A4' "$work/records.$kind" "$work/records-$kind.pdf" >/dev/null 2>&1
    page "$work/records-$kind.pdf" 1 "$kind-export.png" 180
done
python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute("UPDATE ValueInfo SET Test_Result=? WHERE Record_No=?", ("0.010", "2")); db.commit()' "$work/brtx.db"
page "$(cli export-pdf --device 0123456789 --record 2 | tail -n 1)" 1 pdf-seal-failed.png
ls -l "$out"/screenshot-home.png "$out"/screenshot-history.png "$out"/screenshot-chinese.png \
    "$out"/history-search.png "$out"/history-sorted.png "$out"/history-stats-*.png \
    "$out"/pdf-report.png "$out"/pdf-seal.png \
    "$out"/pdf-seal-failed.png "$out"/combined-report.png "$out"/history-seal.png \
    "$out"/pdf-converter-brtx-pdf.png "$out"/pdf-converter-wkhtmltopdf.png "$out"/xls-export.png \
    "$out"/xlsx-export.png "$out"/instruments-page.png "$out"/instruments-drift.png
