#!/usr/bin/env bash
# One mirror, and a mirror that dies midway, driven by clicks under Xvfb:
#   1 GiB from one mirror limiting each data connection to 50 MB/s: the run
#   as the list allows by default (two sessions, so the entry comes in
#   segments), beside curl (one connection), aria2c -x2 (two, when
#   installed) and the limit size / (sessions x rate);
#   64 MiB from two mirrors at 20 MB/s per connection, the first ending
#   every connection at half the entry: the bytes both mirrors sent (from
#   their logs) beside the bytes the run installed (target <= 1.05).
#   SKIFF_BUILD=DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bench_script=$0
. bench/updater_runs.sh

ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }
mkdir -p "$w/big" "$w/mid" "$w/pub"
head -c $((1 << 30)) /dev/urandom > "$w/big/big.bin"
head -c $((64 << 20)) /dev/urandom > "$w/mid/mid.bin"
"$build"/src/skiff-publish "$w/big" "$w/pub/big" --release-version 1 --plain '*.bin' >/dev/null
"$build"/src/skiff-publish "$w/mid" "$w/pub/mid" --release-version 1 --plain '*.bin' >/dev/null
cp -al "$w/pub/mid" "$w/pub/mid2"
sync

rate=50000000
serve big $rate --threaded
size=$((1 << 30))
skiff=$(run_updater big)
remote=$(awk 'NR == 2 {print $2}' "$w/pub/big/update3.dat")
url="ftp://update:x@127.0.0.1:$(cut -d' ' -f2 "$w/port-big")/$remote"
t0=$(ms); curl -s "$url" -o /dev/null; curl_ms=$(( $(ms) - t0 ))
aria=""
if command -v aria2c >/dev/null; then
  t0=$(ms); aria2c -q -x2 -s2 --allow-overwrite=true -d "$w" -o aria.bin "$url"; aria_ms=$(( $(ms) - t0 ))
  rm -f "$w/aria.bin"
  aria=", aria2c -x2 ${aria_ms} ms (ratio $(ratio "$skiff" "$aria_ms"))"
fi
limit=$(( size * 1000 / (2 * rate) ))
echo "1 GiB, one mirror at 50 MB/s per connection: skiff ${skiff} ms (2 sessions), curl ${curl_ms} ms${aria};" \
     "limit ${limit} ms (ratio $(ratio "$skiff" "$limit"), target <= 1.15)"

half=$((32 << 20))
serve mid $((20000000)) --threaded --drop-at "$half,$half,$half,$half,$half,$half,$half,$half" --log "$w/log-mid"
serve mid2 $((20000000)) --threaded --log "$w/log-mid2"
mirrors="mid2" run_updater mid >/dev/null
mremote=$(awk 'NR == 2 {print $2}' "$w/pub/mid/update3.dat")
sent=$(cat "$w/log-mid" "$w/log-mid2" | awk -v r="$mremote" '$1 == "SENT" && $2 == r {s += $3} END {print s + 0}')
echo "64 MiB from two mirrors, the first cutting every connection at half the file: the mirrors sent ${sent} bytes" \
     "for $((64 << 20)) installed (ratio $(ratio "$sent" $((64 << 20))), target <= 1.05)"
