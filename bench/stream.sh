#!/usr/bin/env bash
# Installing at the speed of the link, driven by clicks under Xvfb, beside
# curl downloading the same served file from the same server:
#   a 300 MiB text file published as "E" (gzip), served at 50 MB/s: the time
#   from the start click to update2.dat against curl's download of the .gz;
#   a 1 GiB "O" file from an unthrottled server: time and the updater's CPU
#   over its whole life (target: at most 1.5 s).
#   SKIFF_BUILD=DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bench_script=$0
. bench/updater_runs.sh

mkdir -p "$w/text" "$w/big" "$w/pub"
make_text "$w/text/text.log" 300
head -c $((1 << 30)) /dev/urandom > "$w/big/big.bin"
"$build"/src/skiff-publish "$w/text" "$w/pub/text" --release-version 1 >/dev/null
"$build"/src/skiff-publish "$w/big" "$w/pub/big" --release-version 1 --plain '*.bin' >/dev/null
sync

curl_ms() {  # release: the time curl takes to fetch its one served file
  local remote port t0
  remote=$(awk 'NR == 2 {print $2}' "$w/pub/$1/update3.dat")
  port=$(cut -d' ' -f2 "$w/port-$1")
  t0=$(ms)
  curl -s "ftp://update:x@127.0.0.1:$port/$remote" -o "$w/curl.out"
  echo $(( $(ms) - t0 ))
  rm -f "$w/curl.out"
}

serve text 52428800; serve big
for round in 1 2; do
  sync; text=$(run_updater text); text_cpu=$(cat "$w/cpu-text")
  sync; text_curl=$(curl_ms text)
  echo "300 MiB text as E at 50 MB/s: skiff ${text} ms (cpu ${text_cpu} ms), curl of the .gz ${text_curl} ms," \
       "ratio $(awk "BEGIN{printf \"%.3f\", $text/$text_curl}") (target <= 1.05)"
  sync; big=$(run_updater big); big_cpu=$(cat "$w/cpu-big")
  sync; big_curl=$(curl_ms big)
  echo "1 GiB as O, unthrottled: skiff ${big} ms, cpu ${big_cpu} ms over its whole life (target <= 1500)," \
       "curl ${big_curl} ms"
  rm -rf "$w/app-text" "$w/app-big"
done
