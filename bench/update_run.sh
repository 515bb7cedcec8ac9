#!/usr/bin/env bash
# A full update over loopback: one 200 MiB "E" file, 500 small "O" files and
# "C" packs of 1000 small files, driven by clicks under Xvfb, beside a shell
# script that fetches the same with one curl run and gunzips it. Then the 500
# small files alone, beside wget --no-passive-ftp in one session.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${SKIFF_BUILD:-build}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24" "$0" "$@"; fi
w=$(mktemp -d /tmp/skiff-bench-XXXXXX)
# Only the updaters this script started are ended, by their ids.
cleanup() { set +e; [ -f "$w/pids" ] && while read -r p; do kill "$p" 2>/dev/null; done < "$w/pids"; [ -n "${FTPD_PID:-}" ] && { exec {FTPD[1]}>&-; kill "$FTPD_PID"; wait "$FTPD_PID"; } 2>/dev/null; rm -rf "$w"; true; }
trap cleanup EXIT
export LANG=en_US.UTF-8
ms() { echo $(( $(date +%s%N) / 1000000 )); }

mkdir -p "$w/rel/small" "$w/rel/data" "$w/small/small" "$w/pub"
head -c $((200 << 20)) /dev/urandom > "$w/rel/big.bin"
for i in $(seq 500); do head -c 4096 /dev/urandom > "$w/rel/small/s$i.txt"; done
for i in $(seq 1000); do head -c 2048 /dev/urandom > "$w/rel/data/d$i.bin"; done
cp "$w/rel/small/"* "$w/small/small/"
"$build"/src/skiff-publish "$w/rel" "$w/pub/full" --version 1 --pack data=data --plain '*.txt' >/dev/null
"$build"/src/skiff-publish "$w/small" "$w/pub/small" --version 1 --plain '*.txt' >/dev/null
# What the preparation wrote goes to disk now, not into the measured runs.
sync

coproc FTPD { exec /usr/bin/python3 "$root/tests/fixtures/ftpd.py" "$w/pub" update x; }
read -r _ port <&"${FTPD[0]}"

# Runs the updater on release $1 (a folder under pub/); prints ms from the start click to the saved list.
run_updater() {
  local app=$w/app-$1 last
  mkdir -p "$app" && cp "$build"/src/skiff "$app/" && cp -r assets/upimg "$app/"
  printf 'L 127.0.0.1 %s 60000 update\r\nend\r\n' "$port" > "$app/isp0.dat"
  # The login folder is pub/; point the versions list at the release's folder.
  sed "s#^\([EOC]\) \([^ ]*\)#\1 $1/\2#" "$w/pub/$1/update3.dat" > "$w/pub/update3.dat"
  last=$(tail -1 "$w/pub/update3.dat" | cut -d' ' -f3)
  "$app/skiff" & pid=$!
  echo "$pid" >> "$w/pids"
  until wid=$(xdotool search --name '^update$' 2>/dev/null | head -1) && [ -n "$wid" ]; do sleep 0.05; done
  sleep 0.3
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + 304)) $((Y + 367)) click 1
  until [ -s "$app/update3.dat" ]; do sleep 0.02; done
  sleep 0.5
  # Remote names carry the folder; the run downloads into the same folder below the app.
  mkdir -p "$app/$1"
  local t0; t0=$(ms)
  xdotool mousemove $((X + 125)) $((Y + 390)) click 1
  until grep -qF "$last" "$app/update2.dat" 2>/dev/null; do sleep 0.01; done
  local t1; t1=$(ms)
  awk '/VmHWM/ {print $2}' /proc/$pid/status > "$w/rss-$1"
  kill $pid; wait $pid 2>/dev/null || true
  echo $((t1 - t0))
}

full=$(run_updater full); full_rss=$(cat "$w/rss-full")
sync
t0=$(ms)
args=()
while read -r kind remote local version size; do
  [ "$kind" = E ] || [ "$kind" = O ] || [ "$kind" = C ] || continue
  args+=("ftp://update:x@127.0.0.1:$port/full/$remote" -o "$w/curl/$remote")
done < "$w/pub/full/update3.dat"
mkdir -p "$w/curl" && curl -s --ftp-port - "${args[@]}"
gunzip -f "$w/curl/"*.gz
t1=$(ms); curl_ms=$((t1 - t0))

sync
small=$(run_updater small)
sed -n 's/^O \([^ ]*\) .*/ftp:\/\/update:x@127.0.0.1:'"$port"'\/small\/\1/p' "$w/pub/small/update3.dat" > "$w/urls"
t0=$(ms); (cd "$w" && mkdir -p wget && cd wget && wget -q --no-passive-ftp -i "$w/urls"); t1=$(ms); wget_ms=$((t1 - t0))

echo "full update (200 MiB E, 500 O, 1000 files in C packs): skiff ${full} ms, curl+gunzip ${curl_ms} ms," \
     "ratio $(awk "BEGIN{printf \"%.2f\", $full/$curl_ms}") (target <= 1.2); skiff peak RSS $((full_rss / 1024)) MiB (target < 40)"
echo "500 small files: skiff $(awk "BEGIN{printf \"%.0f\", 500000/$small}") files/s, wget --no-passive-ftp $(awk "BEGIN{printf \"%.0f\", 500000/$wget_ms}") files/s"
