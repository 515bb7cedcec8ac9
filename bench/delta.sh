#!/usr/bin/env bash
# The delta form on a 200 MiB file (shared libraries of this system), four
# releases of 64 overwrites of 16 KiB and a 1 MiB insertion each, then a
# 1-byte change: bytes fetched from the previous release and from three
# back, beside zstd --patch-from and the full file; assembly time; publish
# speed; then the updater's own run against a local mirror, by delta and
# whole. bench/delta.sh [MiB] (after scripts/build release bench_delta
# bench_delta_run).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v zstd >/dev/null || { echo "zstd is missing: scripts/setup installs it" >&2; exit 1; }
work=/tmp/skiff-bench/delta
mkdir -p "$work"
build/bench/bench_delta "$work/w" "${1:-200}"
echo
build/bench/bench_delta_run "$work/run" "${1:-200}"
rm -rf "$work"
