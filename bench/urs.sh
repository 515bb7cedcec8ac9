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
root=$PWD
build=${SKIFF_BUILD:-build}
signed=0; [ "${1:-}" = --signed ] && signed=1
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24" "$0" "$@"; fi
w=$(mktemp -d /tmp/skiff-bench-XXXXXX)
# Only the processes this script started are ended, by their ids.
cleanup() { set +e; [ -f "$w/pids" ] && while read -r p; do kill "$p" 2>/dev/null; done < "$w/pids"; rm -rf "$w"; true; }
trap cleanup EXIT
export LANG=en_US.UTF-8 XDG_RUNTIME_DIR=$w/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Waits for a condition, at most $2 seconds; the benchmark fails rather than hangs.
wait_until() {
  local end=$(( $(date +%s) + $2 ))
  until eval "$1"; do [ "$(date +%s)" -lt "$end" ] || { echo "timed out waiting for: $1" >&2; exit 1; }; sleep 0.01; done
}

mkdir -p "$w/rel/small" "$w/rel/data" "$w/small/small" "$w/pub"
head -c $((200 << 20)) /dev/urandom > "$w/rel/big.bin"
for i in $(seq 500); do head -c 4096 /dev/urandom > "$w/rel/small/s$i.txt"; done
for i in $(seq 1000); do head -c 2048 /dev/urandom > "$w/rel/data/d$i.bin"; done
cp "$w/rel/small/"* "$w/small/small/"
# Earlier publishers (bench/against.sh) named the release version --version.
vopt=--release-version; "$build"/src/skiff-publish --help 2>&1 | grep -q release-version || vopt=--version
"$build"/src/skiff-publish "$w/rel" "$w/pub/full" $vopt 1 --pack data=data --plain '*.txt' >/dev/null
"$build"/src/skiff-publish "$w/small" "$w/pub/small" $vopt 1 --plain '*.txt' >/dev/null
if [ -n "${STRIP_HASHES:-}" ]; then for l in "$w"/pub/*/update3.dat; do awk 'NR==1{print;next}{print $1" "$2" "$3" "$4" "$5"\r"}' "$l" > "$l.t" && mv "$l.t" "$l"; done; fi
if ((signed)); then
  minisign -G -W -p "$w/key.pub" -s "$w/key.sec" >/dev/null
  t0=$(ms)
  "$build"/src/skiff-publish "$w/rel" "$w/pub/signed" $vopt 1 --pack data=data --plain '*.txt' --sign "$w/key.sec" >/dev/null
  sign_ms=$(( $(ms) - t0 ))
fi
# What the preparation wrote goes to disk now, not into the measured runs.
sync

# One FTP server per release, its folder the login folder. Each serves until
# its standard input closes: a pipe this script holds open.
mkfifo "$w/hold"
exec 7<>"$w/hold"
serve() {
  /usr/bin/python3 "$root/tests/fixtures/ftpd.py" "$w/pub/$1" update x < "$w/hold" > "$w/port-$1" &
  echo $! >> "$w/pids"
  wait_until "[ -s '$w/port-$1' ]" 10
}

# Runs the updater on release $1; prints ms from the start click to the saved list.
run_updater() {
  local app=$w/app-$1 last pid wid
  mkdir -p "$app" && cp "$build"/src/skiff "$app/" && cp -r assets/upimg "$app/"
  [ -f "$w/pub/$1/update3.dat.minisig" ] && cp "$w/key.pub" "$app/update.pub"
  printf 'L 127.0.0.1 %s 60000 update\r\nend\r\n' "$(cut -d' ' -f2 "$w/port-$1")" > "$app/isp0.dat"
  last=$(tail -1 "$w/pub/$1/update3.dat" | cut -d' ' -f3)
  # A busy X server may refuse a connection: start again when no window came.
  for _ in 1 2 3; do
    "$app/skiff" & pid=$!
    echo "$pid" >> "$w/pids"
    for _ in $(seq 200); do
      wid=$(xdotool search --name '^update$' 2>/dev/null | head -1) && [ -n "$wid" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    [ -n "${wid:-}" ] && break
    kill "$pid" 2>/dev/null || true
  done
  [ -n "${wid:-}" ] || { echo "the updater shows no window" >&2; exit 1; }
  sleep 0.3
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + 304)) $((Y + 367)) click 1
  wait_until "[ -s '$app/update3.dat' ]" 30
  sleep 0.5
  local t0; t0=$(ms)
  xdotool mousemove $((X + 125)) $((Y + 390)) click 1
  wait_until "grep -qF '$last' '$app/update2.dat' 2>/dev/null" 120
  local t1; t1=$(ms)
  awk '/VmHWM/ {print $2}' /proc/$pid/status > "$w/rss-$1"
  # CPU of the updater over its whole life (start-up and plan included), in ms.
  awk -v hz="$(getconf CLK_TCK)" '{print int(($14 + $15) * 1000 / hz)}' /proc/$pid/stat > "$w/cpu-$1"
  kill $pid; wait $pid 2>/dev/null || true
  echo $((t1 - t0))
}

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
