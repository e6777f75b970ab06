#!/usr/bin/env bash
# Builds the Debian package from an existing build folder and checks it: its file list and
# fields, the installed tree (DESTDIR) run against the simulator with a temporary home, the
# desktop entry and the AppStream file, and what an unusable data folder gets.
#   scripts/check-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
tmp=$(mktemp -d)
sim_pid=
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    chmod -R u+w "$tmp" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb="$tmp/out/brtx_${version}_${arch}.deb"

step "cpack -G DEB"
cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
[ -f "$deb" ] || { ls "$tmp/out"; fail "no $deb"; }
ls -l "$tmp/out"/*.deb

step "file list (dpkg-deb -c)"
dpkg-deb -c "$deb" >"$tmp/deb.contents"
awk '{print $6}' "$tmp/deb.contents" | sed 's#^\./#/#; s#/$##' | grep -vx '' | sort >"$tmp/deb.list"
for f in /usr/bin/brtx /usr/bin/brtx-cli /usr/bin/brtx-sim \
    /usr/share/brtx/Language.ini /usr/share/brtx/failer.jpg /usr/share/brtx/report.css \
    /usr/share/brtx/logo.png /usr/share/brtx/bootstrap.min.css \
    /usr/share/applications/io.github.brtx.Brtx.desktop \
    /usr/share/metainfo/io.github.brtx.Brtx.metainfo.xml \
    /usr/share/icons/hicolor/48x48/apps/io.github.brtx.Brtx.png \
    /usr/share/icons/hicolor/128x128/apps/io.github.brtx.Brtx.png \
    /usr/share/icons/hicolor/256x256/apps/io.github.brtx.Brtx.png \
    /usr/share/icons/hicolor/scalable/apps/io.github.brtx.Brtx.svg \
    /usr/share/man/man1/brtx.1.gz /usr/share/man/man1/brtx-cli.1.gz /usr/share/man/man1/brtx-sim.1.gz \
    /usr/share/bash-completion/completions/brtx-cli /usr/lib/systemd/user/brtx-watch.service; do
    grep -qx "$f" "$tmp/deb.list" || fail "$f missing from the package"
done
# Test tools, benchmarks and anything outside /usr stay out.
! grep -E 'fake-adb|brtx-bench|/test_|^/(etc|opt|home|root|tmp)' "$tmp/deb.list" ||
    fail "files that do not belong in the package"
grep -q 'bootstrap.min.css -> /usr/share/javascript/bootstrap4/css/bootstrap.min.css' \
    "$tmp/deb.contents" ||
    fail "bootstrap.min.css is not a link to libjs-bootstrap4's file"
fields=$(dpkg-deb -f "$deb" Package Depends Recommends)
echo "$fields"
grep -q '^Depends:.*libjs-bootstrap4' <<<"$fields" || fail "Depends lacks libjs-bootstrap4"
grep -q '^Depends:.*libqt6widgets6' <<<"$fields" || fail "Depends lacks the Qt libraries"
grep -q '^Recommends:.*wkhtmltopdf' <<<"$fields" || fail "wkhtmltopdf not recommended"
! grep -q '^Depends:.*\(wkhtmltopdf\|adb\)' <<<"$fields" || fail "wkhtmltopdf or adb in Depends"

# The PDF converter on Qt WebEngine has a package of its own when it is built.
pdfdeb="$tmp/out/brtx-pdf_${version}_${arch}.deb"
if [ -f "$pdfdeb" ]; then
    dpkg-deb -c "$pdfdeb" | grep -q '\./usr/bin/brtx-pdf$' || fail "brtx-pdf lacks its program"
    dpkg-deb -f "$pdfdeb" Depends | grep -q "brtx (= $version)" || fail "brtx-pdf does not need brtx"
    ! grep -q 'brtx-pdf' "$tmp/deb.list" || fail "brtx-pdf is in the main package"
fi

step "install into DESTDIR"
root="$tmp/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr --component brtx >/dev/null
(cd "$root" && find . -mindepth 1 | sed 's#^\.##' | sort) >"$tmp/tree.list"
diff "$tmp/deb.list" "$tmp/tree.list" || fail "installed tree and package differ"

step "desktop entry and AppStream data"
desktop-file-validate "$root/usr/share/applications/io.github.brtx.Brtx.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.brtx.Brtx.metainfo.xml"
grep -qx 'Exec=brtx' "$root/usr/share/applications/io.github.brtx.Brtx.desktop"
grep -qx 'ExecStart=/usr/bin/brtx-cli watch --sync' "$root/usr/lib/systemd/user/brtx-watch.service"

step "installed brtx-cli downloads from brtx-sim into XDG_DATA_HOME/brtx"
snapshot() { (cd "$root" && find . -printf '%p %s %T@ %m\n' | sort); }
snapshot >"$tmp/before"
chmod 755 "$tmp"
mkdir -p "$tmp/home"
export HOME="$tmp/home" XDG_DATA_HOME="$tmp/xdg" QT_QPA_PLATFORM=offscreen BRTX_NO_OPEN=1
unset BRTX_HOME
cli="$root/usr/bin/brtx-cli"
addr=127.0.17.1
"$root/usr/bin/brtx-sim" --address $addr --records 6 --photo-bytes 3000 --quiet &
sim_pid=$!
for _ in $(seq 50); do
    "$cli" info --wifi $addr >/dev/null 2>&1 && break
    sleep 0.2
done
"$cli" download --wifi $addr --all >"$tmp/download.log" 2>&1 ||
    { cat "$tmp/download.log"; fail "download failed"; }
tail -n 1 "$tmp/download.log"
data="$XDG_DATA_HOME/brtx"
[ -s "$data/brtx.db" ] || fail "no database in $data"
pics=$(find "$data/pic" -name '*.jpg' | wc -l)
[ "$pics" -eq 6 ] || fail "$pics pictures in $data/pic, not 6"
cmp "$data/Language.ini" "$root/usr/share/brtx/Language.ini" || fail "Language.ini not copied"
device=$(basename "$(find "$data/pic" -mindepth 1 -maxdepth 1 -type d)")
"$cli" export-pdf --device "$device" --record 3 >"$tmp/pdf.log" 2>&1 ||
    { cat "$tmp/pdf.log"; fail "export-pdf failed"; }
pdftotext "$(tail -n 1 "$tmp/pdf.log")" - | grep -q "Alcohol Test Report" || fail "PDF lacks the report"
snapshot >"$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "something was written into the installed tree"
[ -z "$(find "$HOME" -mindepth 1 -print -quit)" ] || fail "files written into HOME"

step "default folder, BRTX_HOME and --help"
unset XDG_DATA_HOME
"$cli" --help | grep -qx "Data folder in use: $HOME/.local/share/brtx (.*)" ||
    fail "--help does not name ~/.local/share/brtx"
"$cli" history --device "$device" >/dev/null 2>&1 || true
[ -f "$HOME/.local/share/brtx/Language.ini" ] || fail "~/.local/share/brtx not made"
BRTX_HOME="$tmp/alt" "$cli" --help | grep -q "in use: $tmp/alt (BRTX_HOME" || fail "BRTX_HOME ignored"
"$cli" --home "$tmp/alt2" history --device x >/dev/null 2>&1 || true
[ -f "$tmp/alt2/Language.ini" ] || fail "--home folder not prepared"

step "unusable data folders: a clear message and exit status 1"
expect_refusal() { # WHAT PATTERN [runner...]
    local what=$1 pattern=$2
    shift 2
    local out rc=0
    out=$("$@" "$cli" history --device "$device" 2>&1) || rc=$?
    [ "$rc" -eq 1 ] || fail "$what: exit status $rc"
    grep -q "$pattern" <<<"$out" || fail "$what: no clear message: $out"
    echo "$what: $out"
}
touch "$tmp/plainfile"
XDG_DATA_HOME="$tmp/plainfile/sub" expect_refusal "folder cannot be made" "Cannot create the data folder"
printf '\x00\x01garbage\xff' >"$HOME/.local/share/brtx/Language.ini"
expect_refusal "damaged Language.ini" "is damaged"
# Read-only folders: root writes anywhere, so that part runs as an ordinary user.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi
mkdir -p "$tmp/rohome" "$tmp/rodata/brtx"
chmod 555 "$tmp/rohome" "$tmp/rodata/brtx"
HOME="$tmp/rohome" expect_refusal "read-only home" "Cannot create the data folder" "${as_user[@]}"
XDG_DATA_HOME="$tmp/rodata" expect_refusal "read-only data folder" "Cannot write in the data folder" "${as_user[@]}"
snapshot >"$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "something was written into the installed tree"
echo "package checks passed"
