#!/usr/bin/env bash
# Web mirrors in a real run of the updater, with no window and no click
# (--unattended --no-window), against nginx on loopback:
#   120 MiB from three mirrors limiting each connection to 10 MB/s: the run
#   (two sessions a mirror, as the list allows by default) beside aria2c
#   fetching the same file from the three addresses over as many
#   connections, and the limit size / (sessions x rate);
#   1,000 files of 4 KiB from one mirror, beside aria2c -j 8.
# Each figure is printed; nothing is judged.
#   SKIFF_BUILD=DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${SKIFF_BUILD:-build}" && pwd)
command -v aria2c >/dev/null || { echo "aria2c is not installed"; exit 1; }
w=$(mktemp -d /tmp/skiff-bench-web-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$w"
}
trap cleanup EXIT
ms() { date +%s%3N; }
ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }

# nginx serving folder $1, each connection limited to $2 bytes a second (0:
# no limit); its port in $port.
serve() {
  local root=$1 rate=$2 d
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  d=$w/nginx-$port
  mkdir -p "$d"
  local limit=""
  [ "$rate" != 0 ] && limit="limit_rate $rate;"
  cat > "$d/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1; pid $d/pid; error_log $d/error.log;
events { worker_connections 256; }
http {
  access_log off; default_type application/octet-stream; keepalive_timeout 30s; keepalive_requests 100000;
  client_body_temp_path $d/b; proxy_temp_path $d/p; fastcgi_temp_path $d/f; uwsgi_temp_path $d/u; scgi_temp_path $d/s;
  server { listen 127.0.0.1:$port; root $root; $limit }
}
EOF
  /usr/sbin/nginx -p "$d" -c "$d/nginx.conf" -e "$d/error.log" &
  pids+=($!)
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return; sleep 0.05; done
  echo "nginx did not start: $(cat "$d/error.log")"; exit 1
}

# A fresh player of release $1 whose isp0.dat lists the web mirrors on the
# ports given; prints the run's milliseconds.
run_updater() {
  local rel=$1 app=$w/app-$RANDOM i=0; shift
  mkdir -p "$app"
  cp "$build/src/skiff" "$app/"
  for p in "$@"; do printf 'W%d http://127.0.0.1:%d/ 0 5000 -\r\n' $((i += 1)) "$p"; done > "$app/isp0.dat"
  printf 'end\r\n' >> "$app/isp0.dat"
  local t0 rc=0
  t0=$(ms)
  env -u DISPLAY "$app/skiff" --unattended --no-window || rc=$?
  echo $(( $(ms) - t0 ))
  [ "$rc" -eq 0 ] || { echo "the run ended with $rc: $(tail -5 "$app/update.log")" >&2; exit 1; }
  rm -rf "$app"
}

mkdir -p "$w/big" "$w/small/s"
printf '#!/bin/sh\nexit 0\n' > "$w/big/portal.exe"
cp "$w/big/portal.exe" "$w/small/"
chmod +x "$w/big/portal.exe" "$w/small/portal.exe"
size=$((120 << 20))
head -c $size /dev/urandom > "$w/big/big.bin"
head -c $((1000 * 4096)) /dev/urandom | split -b 4096 -a 3 -d - "$w/small/s/f"
"$build"/src/skiff-publish "$w/big" "$w/pub-big" --release-version 1 >/dev/null
"$build"/src/skiff-publish "$w/small" "$w/pub-small" --release-version 1 --plain '*' >/dev/null
sync

rate=10000000
ports=()
for _ in 1 2 3; do serve "$w/pub-big" $rate; ports+=("$port"); done
skiff=$(run_updater big "${ports[@]}")
remote=$(awk '$3 == "big.bin" {print $2}' "$w/pub-big/update3.dat")
urls=()
for p in "${ports[@]}"; do urls+=("http://127.0.0.1:$p/$remote"); done
t0=$(ms)
aria2c -q -x2 -s6 --allow-overwrite=true -d "$w" -o aria.bin "${urls[@]}"
aria=$(( $(ms) - t0 ))
rm -f "$w/aria.bin"
limit=$(( size * 1000 / (6 * rate) ))
echo "120 MiB from three web mirrors at 10 MB/s per connection: skiff ${skiff} ms (6 sessions)," \
     "aria2c -x2 -s6 ${aria} ms (ratio $(ratio "$skiff" "$aria")); limit ${limit} ms (ratio $(ratio "$skiff" "$limit"))"

serve "$w/pub-small" 0
skiff=$(run_updater small "$port")
awk -v p="$port" 'NR > 1 && $1 == "O" {print "http://127.0.0.1:" p "/" $2}' "$w/pub-small/update3.dat" > "$w/list"
t0=$(ms)
aria2c -q -j 8 --allow-overwrite=true -d "$w/aria-small" -i "$w/list"
aria=$(( $(ms) - t0 ))
echo "1,000 files of 4 KiB from one web mirror: skiff ${skiff} ms (2 sessions, each file installed and recorded)," \
     "aria2c -j 8 ${aria} ms (ratio $(ratio "$skiff" "$aria"))"
