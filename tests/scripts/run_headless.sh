#!/usr/bin/env bash
# scripts/run.sh and brtx on a machine without a display:
#   run_headless.sh SOURCE_DIR BUILD_DIR
# run.sh (set-up skipped) shows the work through brtx-cli against a simulated instrument and
# ends with exit 0, leaving no folder behind, both without a display and with one that cannot
# be reached; brtx says why it cannot open and exits 1.
set -u
source_dir=$1
build_dir=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_RUNTIME_DIR BRTX_SKIP_SETUP=1 BRTX_BUILD_DIR="$build_dir" \
    bash "$source_dir/scripts/run.sh" >"$tmp/out" 2>"$tmp/err"
rc=$?
cat "$tmp/out" "$tmp/err"
[ "$rc" -eq 0 ] || fail "run.sh ended with $rc"
[ ! -s "$tmp/err" ] || fail "run.sh wrote to standard error"
for line in '^No display here' '^\$ brtx-cli download --wifi 127\.' '^downloaded: 12, skipped: 0, failed: 0$' \
    '^\$ brtx-cli history --all-devices' '^verified: 12, problems: 0, key: [0-9a-f]{64}$' \
    'bash scripts/run.sh --demo'; do
    grep -qE -- "$line" "$tmp/out" || fail "run.sh printed no line matching $line"
done
[ "$(grep -c "^0123456789$(printf '\t')" "$tmp/out")" -eq 12 ] || fail "history did not list 12 records"
folder=$(sed -n 's/.*the data folder is \(.*\) (removed at the end)\.$/\1/p' "$tmp/out")
[ -n "$folder" ] || fail "run.sh named no data folder"
[ -z "$folder" ] || [ ! -e "$folder" ] || fail "run.sh left $folder behind"

# A display that is named but cannot be reached: brtx says so, run.sh shows the work instead.
env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:7777 BRTX_SKIP_SETUP=1 BRTX_BUILD_DIR="$build_dir" \
    bash "$source_dir/scripts/run.sh" >"$tmp/out" 2>"$tmp/err"
rc=$?
[ "$rc" -eq 0 ] || fail "run.sh with an unreachable display ended with $rc"
grep -q '^The display :7777 cannot be reached' "$tmp/out" || fail "run.sh did not say the display cannot be reached"
grep -qE '^verified: 12, problems: 0, key: [0-9a-f]{64}$' "$tmp/out" || fail "run.sh with an unreachable display showed no verify"
grep -q '^brtx: the window cannot be shown here' "$tmp/err" || fail "brtx did not say why: $(cat "$tmp/err")"

for platform in "" xcb wayland; do
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ${platform:+QT_QPA_PLATFORM=$platform} \
        timeout 20 "$build_dir/bin/brtx" >"$tmp/out" 2>"$tmp/err"
    rc=$?
    [ "$rc" -eq 1 ] || fail "brtx without a display (QT_QPA_PLATFORM=$platform) ended with $rc"
    grep -q '^brtx: no display to show the window on' "$tmp/err" ||
        fail "brtx without a display said: $(cat "$tmp/err")"
done
env -u DISPLAY -u WAYLAND_DISPLAY "$build_dir/bin/brtx" --help | grep -q -- '--address ADDRESS' ||
    fail "brtx --help without a display does not show its options"
exit $failed
