#!/usr/bin/env bash
# A run by the delta form killed (kill -9) at several moments while a
# player on release 1 updates a 40 MiB file to release 2 from a slow
# mirror: after each kill the file is the old one or the new one and
# update2.dat is never ahead of it; the next start removes what the kill
# left and its run makes the file from the chunks it lacks.
#   delta_kill.sh BIN_DIR ASSETS_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 assets=$2 ftpd=$3
. "$(dirname "$0")/common.sh"
e2e_start delta
export LANG=en_US.UTF-8
src=$work/src app=$work/app
mkdir -p "$src" "$app"
head -c 30000000 /dev/urandom | base64 > "$src/big.bin"
printf '#!/bin/sh\nexit 0\n' > "$src/portal.exe" && chmod 755 "$src/portal.exe"
"$bin/skiff-publish" "$src" "$work/r1" --release-version 101 --delta >/dev/null 2>&1
old=$(sha256sum < "$src/big.bin")
cp "$src/big.bin" "$work/big1.bin"
for at in 1000000 15000000 31000000; do printf 'release 2 was here' | dd of="$src/big.bin" bs=1 seek=$at conv=notrunc 2>/dev/null; done
"$bin/skiff-publish" "$src" "$work/pub" --release-version 102 --previous "$work/r1" --delta >/dev/null 2>&1
new=$(sha256sum < "$src/big.bin")
cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"
# About 100 KB/s: the chunks take a second or more to come.
start_ftpd "$work/pub" 100000
printf 'Local 127.0.0.1 %s 5000 update\r\nend\r\n' "$port" > "$app/isp0.dat"
printf '0\r\n' > "$app/isp1.dat"
run() { (cd / && exec "$app/skiff" --unattended) 2>>"$work/skiff.err" & skiff_pid=$!; }
for delay in 0.2 0.4 0.6 0.8; do
  # Release 1 installed.
  cp "$work/big1.bin" "$app/big.bin"
  cp "$src/portal.exe" "$app/portal.exe"
  printf 'KOVRAN\r\nbig.bin 101\r\nportal.exe 101\r\n' > "$app/update2.dat"
  rm -f "$app/update.log"
  run
  sleep "$delay"
  # A run over before its kill is fine too: the verdict is the files'.
  kill -9 "$skiff_pid" 2>/dev/null || true
  wait "$skiff_pid" 2>/dev/null || true
  skiff_pid=
  left=$(find "$app" -name '*.skiff-tmp-*' | wc -l)
  now=$(sha256sum < "$app/big.bin")
  [ "$now" = "$old" ] || [ "$now" = "$new" ] || fail "after a kill at ${delay} s big.bin is neither release"
  if grep -q $'^big.bin 102\r$' "$app/update2.dat"; then [ "$now" = "$new" ] || fail "update2.dat ahead of big.bin"; fi
  echo "kill at ${delay} s: $left temporaries left, big.bin $([ "$now" = "$new" ] && echo new || echo old)"
  run
  end_updater 0
  [ "$(sha256sum < "$app/big.bin")" = "$new" ] || fail "the run after the kill at ${delay} s did not bring release 2"
  grep -q $'^big.bin 102\r$' "$app/update2.dat" || fail "update2.dat does not record big.bin 102"
  [ "$(find "$app" -name '*.skiff-tmp-*' | wc -l)" -eq 0 ] || fail "temporaries left after the run"
  grep -q 'big.bin: made from its delta form' "$app/update.log" || { cat "$app/update.log"; fail "big.bin not made from its delta form"; }
done
echo "4 kills: big.bin old or new each time, and made from its delta form by the next run"
