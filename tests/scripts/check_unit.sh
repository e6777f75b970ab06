#!/bin/bash
# The station's systemd user unit, as the package installs it, passes `systemd-analyze verify`
# (with ExecStart pointed at the brtx-cli just built, since the package's /usr/bin copy is not
# installed here). Exit 77 (skipped) where systemd-analyze is missing.
#   check_unit.sh UNIT BRTX_CLI
set -euo pipefail
unit=$1
cli=$2
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze is not installed: skipped"
    exit 77
fi
grep -q '^ExecStart=/usr/bin/brtx-cli watch --sync$' "$unit"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/brtx-cli|ExecStart=$cli|" "$unit" > "$dir/brtx-watch.service"
out=$(systemd-analyze verify --man=no "$dir/brtx-watch.service" 2>&1) || {
    echo "$out"
    exit 1
}
# verify prints its complaints without failing on some of them: none is acceptable.
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "brtx-watch.service verified"
