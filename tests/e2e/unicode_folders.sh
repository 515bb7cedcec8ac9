#!/usr/bin/env bash
# Application folders whose names the locale's code page cannot spell
# (Cyrillic, Chinese, an emoji) under LANG=C, en_US.UTF-8 and zh_TW.UTF-8:
# the real skiff updates a client there and launches it.
#   unicode_folders.sh BIN_DIR ASSETS_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 assets=$2 ftpd=$3
. "$(dirname "$0")/common.sh"
e2e_start unicode
rel=$work/release
mkdir -p "$rel/bin" "$rel/data"
head -c 200000 /dev/urandom > "$rel/bin/client.exe"
printf 'readme\r\n' > "$rel/readme.txt"
printf 'member' > "$rel/data/m.txt"
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 3 --pack data=data --plain '*.txt' >/dev/null
start_ftpd "$work/pub"

for lang in C en_US.UTF-8 zh_TW.UTF-8; do
  for name in "Загрузки" "下载" "🎮 games"; do
    export LANG=$lang
    app=$work/$lang/$name/app
    mkdir -p "$app" && cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"
    printf '#!/bin/sh\necho "$1" > "$(dirname "$0")/portal.log"\n' > "$app/portal.exe"
    chmod +x "$app/portal.exe"
    printf 'Local 127.0.0.1 %s 5000 update\r\nend\r\n' "$port" > "$app/isp0.dat"
    start_updater
    wait_for '[ -s "$app/update3.dat" ]' 100 || fail "$lang $name: update3.dat not fetched: $(cat "$app/update.log")"
    sleep 0.5
    xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1       # start
    wait_for 'grep -q data.pack "$app/update2.dat" 2>/dev/null' 100 || fail "$lang $name: the run did not finish"
    sleep 0.3
    xdotool mousemove $((X + 248 + 64)) $((Y + 377 + 13)) click 1      # launch
    wait_for '[ -s "$app/portal.log" ]' 50 || fail "$lang $name: portal.exe not started"
    end_updater
    cmp "$rel/bin/client.exe" "$app/bin/client.exe" && cmp "$rel/readme.txt" "$app/readme.txt" &&
      cmp "$rel/data/m.txt" "$app/data/m.txt" || fail "$lang $name: files differ"
    [ "$(cat "$app/portal.log")" = 1 ] || fail "$lang $name: portal.exe ran with '$(cat "$app/portal.log")'"
    echo "$lang, folder $name: updated and launched"
  done
done
