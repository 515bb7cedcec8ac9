#!/usr/bin/env bash
# Start-up time of the updater (process start to main window mapped, skins
# decoded). Starts its own Xvfb when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24" "$0" "$@"; fi
app=$(mktemp -d /tmp/skiff-bench-XXXXXX)
trap 'rm -rf "$app"' EXIT
cp build/src/skiff "$app/" && cp -r assets/upimg "$app/"
printf 'end\r\n' > "$app/isp0.dat"
build/bench/bench_startup "$app"
