#!/usr/bin/env bash
# End to end: the real skiff and skiff-publish, a real pyftpdlib server on
# 127.0.0.1 and xdotool clicks on the display that the test command provides.
#   updater_e2e.sh BIN_DIR ASSETS_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 assets=$2 ftpd=$3
. "$(dirname "$0")/common.sh"
e2e_start e2e
export LANG=en_US.UTF-8

# Release 2: a new file, a changed file, an unchanged file, a pack, and one
# entry whose announced size will be wrong.
rel=$work/release app=$work/app
mkdir -p "$rel/bin" "$rel/data/maps" "$app/bin"
head -c 700000 /dev/urandom > "$rel/bin/client.exe"
head -c 5000 /dev/urandom > "$rel/bin/engine.dll"
printf 'release 2\r\n' > "$rel/readme.txt"
printf 'new file\r\n' > "$rel/news.txt"
printf 'x=1\r\n' > "$rel/settings.ini"
head -c 3000 /dev/urandom > "$rel/data/maps/a.bin"
printf 'b' > "$rel/data/b.txt"
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 2 --pack data=data --plain '*.txt' >/dev/null
# settings.ini: announce a wrong size.
sed -i 's/^\([EO] [^ ]* settings.ini 2\) [0-9]*/\1 1/' "$work/pub/update3.dat"

cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"
cp "$rel/bin/engine.dll" "$app/bin/"
printf 'old client' > "$app/bin/client.exe"
printf 'old settings' > "$app/settings.ini"
printf 'KOVRAN\r\nbin\\client.exe 1\r\nbin\\engine.dll 2\r\nreadme.txt 1\r\nsettings.ini 1\r\n' > "$app/update2.dat"
printf '#!/bin/sh\necho "$0 $1" > "$(dirname "$0")/portal.log"\n' > "$app/portal.exe"
chmod +x "$app/portal.exe"

start_ftpd "$work/pub"
printf 'Local 127.0.0.1 %s 5000 update\r\nend\r\n' "$port" > "$app/isp0.dat"

# First start: plan, run, launch.
start_updater
wait_for '[ -s "$app/update3.dat" ]' 100 || fail "update3.dat not fetched"
sleep 1
xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1           # start
wait_for 'grep -q data.pack "$app/update2.dat"' 200 || fail "the run did not finish"
# settings.ini was not installed: a box says so; OK (its default button) closes it.
wait_for '[ -n "$(xdotool search --onlyvisible --name "^skiff$" 2>/dev/null)" ]' 50 || fail "no box about the failed entry"
xdotool key --window "$(xdotool search --onlyvisible --name '^skiff$' | head -1)" Return 2>/dev/null || true
wait_for '[ -z "$(xdotool search --onlyvisible --name "^skiff$" 2>/dev/null)" ]' 50 || fail "the box stayed"
sleep 0.3
xdotool mousemove $((X + 248 + 64)) $((Y + 377 + 13)) click 1          # launch
wait_for '[ -s "$app/portal.log" ]' 50 || fail "portal.exe not started"
end_updater

cmp "$rel/bin/client.exe" "$app/bin/client.exe" || fail "client.exe"
cmp "$rel/readme.txt" "$app/readme.txt" || fail "readme.txt"
cmp "$rel/news.txt" "$app/news.txt" || fail "news.txt"
cmp "$rel/data/maps/a.bin" "$app/data/maps/a.bin" || fail "pack member a.bin"
cmp "$rel/data/b.txt" "$app/data/b.txt" || fail "pack member b.txt"
[ "$(cat "$app/settings.ini")" = "old settings" ] || fail "settings.ini touched despite its size"
[ ! -e "$app/data.pack" ] || fail "the pack was left behind"
expected=$(printf 'KOVRAN\r\nbin\\client.exe 2\r\nbin\\engine.dll 2\r\nreadme.txt 2\r\nsettings.ini 1\r\nnews.txt 2\r\ndata.pack 2\r\n')
[ "$(cat "$app/update2.dat")" = "$expected" ] || { cat -A "$app/update2.dat"; fail "update2.dat"; }
[ "$(cat "$app/portal.log")" = "$app/portal.exe 1" ] || fail "portal.exe ran as: $(cat "$app/portal.log")"
echo "first start: installed, recorded and launched"

# Second start: only settings.ini (its size still wrong) is planned; fix the
# list so that nothing is, and the launch picture is offered at once.
sed -i 's/^\([EO] [^ ]* settings.ini\) 2/\1 1/' "$work/pub/update3.dat"
rm -f "$app/portal.log"
start_updater
# A third start while this one runs brings it forward and ends without a window.
"$app/skiff" 2>>"$work/skiff.err" || fail "second instance exit code"
[ "$(xdotool search --name '^update$' | wc -l)" -eq 1 ] || fail "second instance opened a window"
wait_for '[ -s "$app/update3.dat" ] && grep -q "settings.ini 1" "$app/update3.dat"' 100
sleep 1.5
xdotool mousemove $((X + 248 + 64)) $((Y + 377 + 13)) click 1          # launch: shown only when nothing is to do
wait_for '[ -s "$app/portal.log" ]' 50 || fail "nothing-to-update did not offer the launch picture"
end_updater
[ "$(cat "$app/update2.dat")" = "$expected" ] || fail "update2.dat changed on the second start"
echo "second start: nothing to update, single instance kept"

# Third start, with no display at all: release 3 comes in and the client is
# launched with no window and no click; with no server, the status says so.
printf 'release 3\r\n' > "$rel/readme.txt"
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 3 --pack data=data --plain '*.txt' \
  --previous "$work/pub" >/dev/null || fail "release 3"
rm -f "$app/portal.log"
env -u DISPLAY "$app/skiff" --unattended --no-window || fail "the run with no window ended with $?"
cmp "$rel/readme.txt" "$app/readme.txt" || fail "release 3 not installed with no window"
wait_for '[ -s "$app/portal.log" ]' 50 && [ "$(cat "$app/portal.log")" = "$app/portal.exe 1" ] || fail "no launch after the run with no window"
grep -q "unattended run ends with 0" "$app/update.log" || fail "the log does not tell how the run ended"
printf 'Local 127.0.0.1 1 5000 update\r\nend\r\n' > "$app/isp0.dat"
rc=0; env -u DISPLAY "$app/skiff" --unattended --no-window || rc=$?
[ "$rc" -eq 3 ] || fail "no server: ended with $rc, not 3"
echo "third start: updated and launched with no display"
