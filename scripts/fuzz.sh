#!/usr/bin/env bash
# Runs the parser fuzz targets: scripts/fuzz.sh [TARGET|all] [SECONDS] (see fuzz/run.sh).
exec "$(dirname "$0")/../fuzz/run.sh" "$@"
