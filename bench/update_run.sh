#!/usr/bin/env bash
# A full update over loopback: one 200 MiB "E" file, 500 small "O" files and
# "C" packs of 1000 small files, driven by clicks under Xvfb, beside a shell
# script that fetches the same with one curl run and gunzips it. Then the 500
# small files alone, beside wget --no-passive-ftp in one session. With
# --signed, the full release is also published signed and installed by an
# updater with update.pub, beside the same release unsigned.
#   SKIFF_BUILD=DIR picks the build folder (default build; bench/against.sh uses it).
set -euo pipefail
cd "$(dirname "$0")/.."
signed=0; [ "${1:-}" = --signed ] && signed=1
bench_script=$0
. bench/updater_runs.sh

mkdir -p "$w/rel/small" "$w/rel/data" "$w/small/small" "$w/pub"
head -c $((200 << 20)) /dev/urandom > "$w/rel/big.bin"
for i in $(seq 500); do head -c 4096 /dev/urandom > "$w/rel/small/s$i.txt"; done
for i in $(seq 1000); do head -c 2048 /dev/urandom > "$w/rel/data/d$i.bin"; done
cp "$w/rel/small/"* "$w/small/small/"
# Earlier publishers (bench/against.sh) named the release version --version.
# (the help is read whole: grep -q may end first, and pipefail would then
# take the publisher's SIGPIPE for an old publisher)
vopt=--release-version; [[ $("$build"/src/skiff-publish --help 2>&1) == *release-version* ]] || vopt=--version
"$build"/src/skiff-publish "$w/rel" "$w/pub/full" $vopt 1 --pack data=data --plain '*.txt' >/dev/null
"$build"/src/skiff-publish "$w/small" "$w/pub/small" $vopt 1 --plain '*.txt' >/dev/null
if ((signed)); then
  minisign -G -W -p "$w/key.pub" -s "$w/key.sec" >/dev/null
  t0=$(ms)
  "$build"/src/skiff-publish "$w/rel" "$w/pub/signed" $vopt 1 --pack data=data --plain '*.txt' --sign "$w/key.sec" >/dev/null
  sign_ms=$(( $(ms) - t0 ))
fi
# What the preparation wrote goes to disk now, not into the measured runs.
sync

serve full; serve small
full=$(run_updater full); full_rss=$(cat "$w/rss-full"); full_cpu=$(cat "$w/cpu-full")
sync
port=$(cut -d' ' -f2 "$w/port-full")
t0=$(ms)
args=()
while read -r kind remote local version size rest; do
  [ "$kind" = E ] || [ "$kind" = O ] || [ "$kind" = C ] || continue
  args+=("ftp://update:x@127.0.0.1:$port/$remote" -o "$w/curl/$remote")
done < "$w/pub/full/update3.dat"
mkdir -p "$w/curl" && curl -s --ftp-port - "${args[@]}"
gunzip -f "$w/curl/"*.gz
t1=$(ms); curl_ms=$((t1 - t0))

sync
small=$(run_updater small)
port=$(cut -d' ' -f2 "$w/port-small")
sed -n 's/^O \([^ ]*\) .*/ftp:\/\/update:x@127.0.0.1:'"$port"'\/\1/p' "$w/pub/small/update3.dat" > "$w/urls"
t0=$(ms); (cd "$w" && mkdir -p wget && cd wget && wget -q --no-passive-ftp -i "$w/urls"); t1=$(ms); wget_ms=$((t1 - t0))

echo "full update (200 MiB E, 500 O, 1000 files in C packs): skiff ${full} ms, curl+gunzip ${curl_ms} ms," \
     "ratio $(awk "BEGIN{printf \"%.2f\", $full/$curl_ms}") (target <= 1.2); skiff cpu ${full_cpu} ms; skiff peak RSS $((full_rss / 1024)) MiB (target < 40)"
echo "500 small files: skiff $(awk "BEGIN{printf \"%.0f\", 500000/$small}") files/s (cpu $(cat "$w/cpu-small") ms), wget --no-passive-ftp $(awk "BEGIN{printf \"%.0f\", 500000/$wget_ms}") files/s"
if ((signed)); then
  # The same release as an older publisher wrote it: five fields, no hashes,
  # no signature; so the difference is all the hashing and checking.
  mkdir -p "$w/pub/plain"
  for f in "$w/pub/signed/"*; do ln "$f" "$w/pub/plain/"; done
  rm "$w/pub/plain/update3.dat" "$w/pub/plain/update3.dat.minisig"
  awk 'NR == 1 {print; next} {print $1, $2, $3, $4, $5}' ORS='\r\n' "$w/pub/signed/update3.dat" > "$w/pub/plain/update3.dat"
  serve signed; serve plain
  for round in 1 2; do
    sync; plain_run=$(run_updater plain)
    sync; signed_run=$(run_updater signed)
    echo "signed full update: skiff ${signed_run} ms (cpu $(cat "$w/cpu-signed") ms) against ${plain_run} ms" \
         "(cpu $(cat "$w/cpu-plain") ms) without hashes or signature, ratio $(awk "BEGIN{printf \"%.2f\", $signed_run/$plain_run}") (target <= 1.1)"
    rm -rf "$w/app-plain" "$w/app-signed"
  done
  echo "publishing and signing the 201 MiB release: ${sign_ms} ms"
fi
