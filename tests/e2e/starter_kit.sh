#!/usr/bin/env bash
# The starter kit end to end, as an end user without root would meet it: a
# signed release on a real pyftpdlib server, the kit made by skiff-publish,
# install.sh run from the unpacked kit, the updater's first run installing the
# whole client, the launch, and uninstall.sh leaving nothing behind.
#   starter_kit.sh BIN_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 ftpd=$2
. "$(dirname "$0")/common.sh"
e2e_start kit-e2e
chmod 755 "$work"

# The user: "nobody" when the tests run as root, else whoever runs them.
home=$work/home
mkdir -p "$home/Downloads" "$work/run"
chmod 700 "$work/run"
if [ "$(id -u)" = 0 ]; then
  user=nobody
  cp "${XAUTHORITY:-/dev/null}" "$work/xauth" 2>/dev/null || : > "$work/xauth"
  chown -R nobody: "$home" "$work/run" "$work/xauth"
  as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
else
  user=$(id -un)
  cp "${XAUTHORITY:-/dev/null}" "$work/xauth" 2>/dev/null || : > "$work/xauth"
  as_user=()
fi
user_env=(env -i "HOME=$home" "PATH=/usr/bin:/bin" "DISPLAY=$DISPLAY" "XAUTHORITY=$work/xauth"
          "XDG_RUNTIME_DIR=$work/run" "LANG=en_US.UTF-8")
for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do [ -n "${!v:-}" ] && user_env+=("$v=${!v}"); done

# The operator's side: a signed release with a launcher, served by pyftpdlib.
rel=$work/release
mkdir -p "$rel/bin" "$rel/data/maps"
head -c 300000 /dev/urandom > "$rel/bin/client.exe"
printf 'welcome\r\n' > "$rel/readme.txt"
head -c 5000 /dev/urandom > "$rel/data/maps/a.bin"
printf 'b' > "$rel/data/b.txt"
printf '#!/bin/sh\necho "started with $1 by $(id -un)" > "$(dirname "$0")/portal.log"\n' > "$rel/portal.exe"
chmod 755 "$rel/portal.exe"
minisign -G -W -p "$work/update.pub" -s "$work/update.key" >/dev/null
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 1 --pack data=data --plain '*.txt' \
  --sign "$work/update.key" --serial 1 --codepage 950 >/dev/null
"$bin/skiff-publish" verify --key "$work/update.pub" "$work/pub" >/dev/null || fail "the release does not verify"
chmod -R a+rX "$work/pub"
start_ftpd "$work/pub"
printf '北區 127.0.0.1 %s 5000 update\n' "$port" > "$work/servers"
"$bin/skiff-publish" kit --servers "$work/servers" --key "$work/update.pub" --release "$work/pub" --name democlient \
  --title "Demo's Client" --title-zh_TW 示範用戶端 \
  "$work/kit.tar.gz" >/dev/null || fail "kit"
chmod a+r "$work/kit.tar.gz"
# --unattended goes into the menu entry the kit's install.sh writes.
"$bin/skiff-publish" kit --servers "$work/servers" --codepage 950 --name democlient --unattended "$work/kit-u.tar.gz" >/dev/null ||
  fail "kit --unattended"
# (read whole first: grep -q may end before tar, whose SIGPIPE pipefail counts)
unattended_install=$(tar -xzOf "$work/kit-u.tar.gz" democlient/install.sh)
grep -qx "args='--unattended'" <<<"$unattended_install" ||
  fail "the unattended kit's install.sh does not pass --unattended"

# The user's side: unpack and install; install.sh starts the updater.
"${as_user[@]}" "${user_env[@]}" tar -xzf "$work/kit.tar.gz" -C "$home/Downloads"
# As root, a private mount namespace hides libraries from the updater: a
# desktop without one it needs gets a refusal that names it and its
# packages; a desktop without the project's own (FLTK, libsodium, libjpeg,
# OpenSSL, libcurl) runs the kit all the same.
hidden=()
hide() { local l; for l in "$@"; do hidden+=("$(readlink -f "/usr/lib/x86_64-linux-gnu/$l")"); done; }
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  # without LIB... -- COMMAND: COMMAND (same pid) with each LIB an empty file
  without() { exec unshare -m sh -c 'for l; do [ "$l" = -- ] && break; mount --bind /dev/null "$l" || exit 1; done
                                while [ "$1" != -- ]; do shift; done; shift; exec "$@"' hide "$@"; }
  lib=$(readlink -f /usr/lib/x86_64-linux-gnu/libXft.so.2)
  rc=0; (without "$lib" -- "${as_user[@]}" "${user_env[@]}" sh "$home/Downloads/democlient/install.sh" --no-start) \
    > "$work/refused.out" 2>&1 || rc=$?
  [ "$rc" -eq 1 ] || { cat "$work/refused.out"; fail "install.sh without libXft ended with $rc, not 1"; }
  grep -q "libXft.so.2: libxft2, libXft, libxft" "$work/refused.out" || { cat "$work/refused.out"; fail "the refusal names no package"; }
  [ ! -e "$home/.local/share/democlient" ] && [ ! -e "$home/.local/share/applications" ] ||
    fail "install.sh installed although the updater cannot start"
  echo "install.sh on a desktop without libXft: refused, names the packages, installs nothing"
  if [[ "$(objdump -p "$bin/skiff")" == *"NEEDED"*"libfltk"* ]]; then
    # The sanitizer build links as it is: it cannot run without them.
    echo "NOTE: this updater is not linked into one file: the project's libraries stay in view"
    launch=()
  else
    hide libfltk.so.1.3 libsodium.so.23 libjpeg.so.62 libcrypto.so.3 libssl.so.3 libcurl.so.4
    ! (without "${hidden[@]}" -- "$bin/skiff-publish" --version) >/dev/null 2>&1 || fail "the libraries are not hidden"
    launch=(without "${hidden[@]}" --)
  fi
else
  echo "NOTE: not root or no mount namespaces: the kit runs with the system's libraries in view"
  launch=()
fi
"${launch[@]}" "${as_user[@]}" "${user_env[@]}" sh -c 'cd "$HOME/Downloads/democlient" && exec ./install.sh' > "$work/install.out" 2>&1 &
skiff_pid=$!
dest=$home/.local/share/democlient
menu=$home/.local/share/applications/skiff-democlient.desktop
wait_for '[ -n "$(window "^update$")" ]' 100 || { cat "$work/install.out"; fail "install.sh did not start the updater"; }
main=$(window '^update$')
xprop -id "$main" WM_CLASS | grep -q '"skiff-democlient"' || fail "the window's class: $(xprop -id "$main" WM_CLASS)"
grep -qx 'StartupWMClass=skiff-democlient' "$menu" || fail "the menu entry lacks StartupWMClass"
grep -qx "Name=Demo's Client" "$menu" && grep -qx 'Name\[zh_TW\]=示範用戶端' "$menu" || fail "the menu entry's names: $(grep ^Name "$menu")"
grep -qx "Exec=\"$dest/skiff\"" "$menu" || fail "the menu entry's Exec: $(grep Exec "$menu")"
grep -qx "Icon=$dest/icon.png" "$menu" || fail "the menu entry's icon"
[ "$(cat "$dest/update.serial")" = "$(printf '1\r')" ] || fail "the kit's serial was not installed"
iconv -f BIG5 -t UTF-8 < "$dest/isp0.dat" | grep -q "^北區 " || fail "the server name is not in the release's code page"
[ "$(stat -c %a "$dest") $(stat -c %a "$dest/upimg")" = "755 755" ] || fail "folder modes: $(stat -c %a "$dest" "$dest/upimg")"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$menu" || fail "the menu entry is not valid"
fi

# First run: nothing is installed yet, so the whole client comes in.
await_dialog
confirm_server
wait_for '[ -s "$dest/update3.dat" ]' 100 || fail "update3.dat not fetched"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1           # start
wait_for 'grep -q data.pack "$dest/update2.dat" 2>/dev/null' 200 || fail "the first run did not finish"
sleep 0.5
xdotool mousemove $((X + 248 + 64)) $((Y + 377 + 13)) click 1          # launch
wait_for '[ -s "$dest/portal.log" ]' 50 || fail "the client was not launched"
rc=0; wait "$skiff_pid" || rc=$?; skiff_pid=
[ "$rc" -eq 0 ] || fail "the updater ended with $rc after the launch"
[ "$(cat "$dest/portal.log")" = "started with 1 by $user" ] || fail "launcher: $(cat "$dest/portal.log")"
for f in bin/client.exe readme.txt data/maps/a.bin data/b.txt portal.exe; do
  cmp "$rel/$f" "$dest/$f" || fail "$f not installed as released"
done
[ -z "$(find "$dest" ! -user "$user")" ] || fail "files not owned by the user: $(find "$dest" ! -user "$user")"
grep -q "the launcher .* started" "$dest/update.log" || fail "the log does not name the launch"
echo "install.sh: installed for $user, the first run brought the whole client, the launch worked"

# Uninstall: the folder and the menu entry go; nothing else was left.
"${as_user[@]}" "${user_env[@]}" XDG_DATA_HOME="$home/elsewhere" "$dest/uninstall.sh" >/dev/null ||
  fail "uninstall.sh failed"
left=$(find "$home/.local" -type f -o -type l)
[ -z "$left" ] || fail "left behind: $left"
[ ! -e "$dest" ] || fail "the folder is still there"
echo "uninstall.sh: nothing left"

# A data folder whose path holds what a menu entry must escape: the Exec
# line read back as the Desktop Entry rules read it names the program.
odd='odd \ "q" $x %u'
"${as_user[@]}" env HOME="$home" XDG_DATA_HOME="$home/$odd" sh "$home/Downloads/democlient/install.sh" --no-start \
  >/dev/null || fail "install.sh in an odd folder"
python3 - "$home/$odd/applications/skiff-democlient.desktop" "$home/$odd/democlient/skiff" <<'PY' || fail "the Exec line of an odd folder"
import sys
line = next(l for l in open(sys.argv[1], encoding="utf-8") if l.startswith("Exec="))[5:].rstrip("\n")
value = line.replace("\\\\", "\\")   # the string level: \\ is one backslash
assert value.startswith('"') and value.endswith('"'), value
arg, i = "", 1
while i < len(value) - 1:
    if value[i] == "\\": i += 1
    arg += value[i]; i += 1
arg = arg.replace("%%", "%")
assert arg == sys.argv[2], (arg, sys.argv[2])
PY
"${as_user[@]}" env HOME="$home" XDG_DATA_HOME="$home/$odd" "$home/$odd/democlient/uninstall.sh" >/dev/null
