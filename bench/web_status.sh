#!/usr/bin/env bash
# status against a web mirror (nginx on 127.0.0.1 with docs/mirrors/nginx-mirror.conf):
# 2,000 files of 32 KiB and one of 256 MiB sized by one-byte ranges, then read
# through and hashed (--deep), each beside curl asking the same of the same
# server in one process (one kept-alive connection, bytes to /dev/null).
set -euo pipefail
cd "$(dirname "$0")/.."
w=$(mktemp -d /tmp/skiff-bench-XXXXXX)
pid=
trap '[ -z "$pid" ] || kill "$pid"; wait 2>/dev/null; rm -rf "$w"' EXIT
mkdir -p "$w/rel/files" "$w/ng"
python3 - "$w/rel" <<'PY'
import os, sys
for i in range(2000):
    with open(os.path.join(sys.argv[1], "files", "f%04d.bin" % i), "wb") as f:
        f.write(os.urandom(32768))
with open(os.path.join(sys.argv[1], "large.bin"), "wb") as f:
    for _ in range(256):
        f.write(os.urandom(1 << 20))
PY
build/src/skiff-publish --release-version 1 --plain '*' "$w/rel" "$w/out" >/dev/null 2>&1
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$w/ng/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $w/ng/pid; error_log $w/ng/error.log;
events { worker_connections 64; }
http { access_log off; client_body_temp_path $w/ng/b; proxy_temp_path $w/ng/p; fastcgi_temp_path $w/ng/f;
  uwsgi_temp_path $w/ng/u; scgi_temp_path $w/ng/s;
  server { listen 127.0.0.1:$port; root $w/out; include $PWD/docs/mirrors/nginx-mirror.conf; } }
CONF
/usr/sbin/nginx -p "$w/ng" -c "$w/ng/nginx.conf" -e "$w/ng/error.log" & pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/update3.dat" && break; sleep 0.1; done
base=http://127.0.0.1:$port/
printf '%s\n' "$base" > "$w/mirrors"
awk -v b="$base" 'NR > 1 {print "url = \"" b $2 "\"\noutput = /dev/null"}' "$w/out/update3.dat" > "$w/curl.conf"
ms() { local t0 t1; t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N); echo $(( (t1 - t0) / 1000000 )); }
cat "$w"/out/* > /dev/null 2>&1 || true   # the page cache holds the files for both
s=$(ms build/src/skiff-publish status "$w/out" --mirrors "$w/mirrors")
c=$(ms curl -s -r 0-0 -K "$w/curl.conf")
echo "web status, 2001 files sized by one-byte ranges: ${s} ms; curl -r 0-0 the same: ${c} ms"
s=$(ms build/src/skiff-publish status "$w/out" --mirrors "$w/mirrors" --deep)
c=$(ms curl -s -K "$w/curl.conf")
echo "web status --deep, 318 MiB read and hashed: ${s} ms; curl reading them to /dev/null: ${c} ms"
