#!/usr/bin/env bash
# Sets up, builds and starts the program from its program folder build/bin.
#
#   bash scripts/run.sh [brtx options]   the window
#   bash scripts/run.sh --demo           the window beside a simulated instrument (brtx-sim) with
#                                        a few dozen records, its address typed in; the simulator
#                                        stops when the window closes
#
# Without a display (no DISPLAY and no WAYLAND_DISPLAY: a server over SSH, a container, a CI
# runner; or one that cannot be reached) the window cannot open; the script says so and shows
# the same work through brtx-cli against a simulated instrument in a throw-away folder instead:
# download, history, verify.
#
# BRTX_SKIP_SETUP=1 leaves out scripts/setup.sh (the build must be there already);
# BRTX_BUILD_DIR names the build folder (default build), as for setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${BRTX_SKIP_SETUP:-}" != 1 ]; then
    bash scripts/setup.sh
fi
bin="${BRTX_BUILD_DIR:-build}/bin"

demo=0
if [ "${1:-}" = --demo ]; then
    demo=1
    shift
fi

# Whether the window can open here: the same test as brtx makes before it starts.
has_display() {
    case "${QT_QPA_PLATFORM:-}" in
    "") [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] ;;
    xcb*) [ -n "${DISPLAY:-}" ] ;;
    wayland*) [ -n "${WAYLAND_DISPLAY:-}" ] ;;
    *) true ;;
    esac
}

sim_pid=""
work=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts brtx-sim with $1 records on port 7575 of a loopback address of its own (127.x.y.z, so
# that an instrument forwarded over USB on 127.0.0.1:7575 is left alone); sets sim_address.
start_sim() {
    local records=$1 log attempt
    log=$(mktemp)
    for attempt in 1 2 3 4 5 6 7 8; do
        sim_address="127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))"
        "$bin/brtx-sim" --address "$sim_address" --records "$records" --photo-bytes 20000 \
            --device-number 000123456789 >"$log" 2>&1 &
        sim_pid=$!
        for _ in $(seq 50); do
            if grep -q "listening on" "$log"; then
                rm -f "$log"
                return 0
            fi
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    done
    echo "run.sh: brtx-sim did not start: $(cat "$log")" >&2
    rm -f "$log"
    return 1
}

# The work of the program shown through brtx-cli, for a machine where the window cannot open.
headless_demo() {
    work=$(mktemp -d)
    cp "$bin/Language.ini" "$work/"
    cli() {
        echo
        echo "\$ brtx-cli $*"
        "$bin/brtx-cli" --home "$work" "$@"
    }
    start_sim 12
    echo "A simulated instrument (brtx-sim) with 12 records listens on $sim_address; the data folder is $work (removed at the end)."
    cli info --wifi "$sim_address"
    cli download --wifi "$sim_address" --all
    cli history --all-devices | cut -f1-7
    echo "(the first seven of its columns)"
    cli verify
    echo
    echo "Where there is a display (a desktop session, or ssh -X): bash scripts/run.sh opens the window;"
    echo "bash scripts/run.sh --demo opens it beside a simulated instrument whose address is typed in."
}

if ! has_display; then
    echo "No display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so no window: this is brtx-cli doing the same work against a simulated instrument."
    headless_demo
    exit 0
fi

args=("$@")
if [ "$demo" = 1 ]; then
    start_sim 36
    echo "A simulated instrument (brtx-sim) with 36 records listens on $sim_address: press Connect beside the address; it stops when the window closes."
    args=(--address "$sim_address" "$@")
fi
# A display that is set but cannot be reached: brtx says so and ends with 1; then the work is
# shown without the window as above.
errors=$(mktemp)
# (pipefail: the status is brtx's, tee copies its standard error to the terminal)
status=0
{ "$bin/brtx" "${args[@]}" 2>&1 1>&3 3>&- | tee "$errors" >&2; } 3>&1 || status=$?
if [ "$status" = 1 ] && grep -q '^brtx: the window cannot be shown here' "$errors"; then
    rm -f "$errors"
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
    echo "The display ${DISPLAY:-$WAYLAND_DISPLAY} cannot be reached, so no window: this is brtx-cli doing the same work against a simulated instrument."
    headless_demo
    exit 0
fi
rm -f "$errors"
exit "$status"
