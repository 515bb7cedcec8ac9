#!/usr/bin/env bash
# The mirror set-ups of docs/MIRRORS.md, started from the files in
# docs/mirrors/ with only their placeholders set: a signed release pushed by
# skiff-publish through the upload configuration (TLS, a throw-away upload
# account), then served from that folder by each player configuration in
# turn (vsftpd anonymous, vsftpd with a throw-away named account, pyftpdlib)
# to a fresh updater whose isp0.dat is the guide's example line for that
# set-up. Each installs the release byte for byte and refuses an upload.
# Needs root (local users, a PAM service).
#   mirror_guide.sh BIN_DIR
set -euo pipefail
bin=$1
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root for throw-away local users"; exit 77; }
[ -x /usr/sbin/vsftpd ] || { echo "SKIP: vsftpd is not installed"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
guide=$here/../../docs/MIRRORS.md mirrors=$here/../../docs/mirrors
. "$here/common.sh"
e2e_start mirror-guide
export LANG=en_US.UTF-8
player=skiff-pl-$$ uploader=skiff-up-$$ pam=skiff-mirror-test-$$ pw=pw-$RANDOM-$RANDOM server_pid=
stop_server() {
  [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid"; } 2>/dev/null || true
  server_pid=
}
trap 'set +e; stop_server; for u in "$player" "$uploader"; do id "$u" >/dev/null 2>&1 && userdel "$u"; done
      rm -f "/etc/pam.d/$pam"; e2e_cleanup' EXIT
trap 'exit 143' TERM INT HUP  # the accounts go whatever ends the test

# The guide's layout: root's /srv/skiff, release/ in it owned by the upload
# account; both accounts without a login shell, through the guide's PAM file.
chmod 755 "$work"
srv=$work/srv
mkdir -p "$srv/release" /var/run/vsftpd/empty
useradd --system --no-create-home --home-dir "$srv" --shell /usr/sbin/nologin "$uploader"
useradd --system --no-create-home --home-dir "$srv/release" --shell /usr/sbin/nologin "$player"
printf '%s:%s\n%s:x\n' "$uploader" "$pw" "$player" | chpasswd
chown "$uploader" "$srv/release"
cp "$mirrors/skiff-mirror.pam" "/etc/pam.d/$pam"
echo "$uploader" > "$work/upload-users"
echo "$player" > "$work/players"

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# $placed: a copy of a shipped file with the value of each "KEY<SEP>" line
# replaced; a key the file lacks fails the test.
placed() {  # FILE SEP KEY=VALUE...
  local sep=$2 kv; placed=$work/$(basename "$1"); cp "$1" "$placed"; shift 2
  for kv in "$@"; do
    grep -q "^${kv%%=*}$sep" "$placed" || fail "$(basename "$placed") has no ${kv%%=*}"
    sed -i "s|^${kv%%=*}$sep.*|${kv%%=*}$sep${kv#*=}|" "$placed"
  done
}
wait_port() {  # NAME ERRORS: the server NAME takes connections on $port, or the test fails with ERRORS
  wait_for '(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null' 100 || fail "$1 did not start: $(tr -d '\r' < "$2")"
}
# vsftpd from a shipped file, on its own ports; appended, the lines only a
# test needs: the foreground, no log file, no seccomp sandbox (which some
# containers refuse).
start_vsftpd() {  # FILE KEY=VALUE...
  local pasv; port=$(free_port) pasv=$(free_port)
  placed "$1" = listen_address=127.0.0.1 listen_port="$port" pasv_min_port="$pasv" pasv_max_port=$((pasv + 9)) "${@:2}"
  printf 'background=NO\nxferlog_enable=NO\nseccomp_sandbox=NO\nsecure_chroot_dir=/var/run/vsftpd/empty\n' >> "$placed"
  # vsftpd tells why it cannot start on its standard input.
  /usr/sbin/vsftpd "$placed" 0<> "$work/vsftpd.err" & server_pid=$!
  wait_port "vsftpd from $(basename "$1")" "$work/vsftpd.err"
}

# The upload account: push the release over TLS.
minisign -G -W -p "$work/update.pub" -s "$work/update.key" >/dev/null
mkdir -p "$work/rel/bin" "$work/rel/data"
head -c 300000 /dev/urandom > "$work/rel/bin/client.exe"
head -c 5000 /dev/urandom > "$work/rel/data/a.bin"
printf 'welcome\r\n' > "$work/rel/readme.txt"
printf '#!/bin/sh\necho "started with $1" > "$(dirname "$0")/portal.log"\n' > "$work/rel/portal.exe"
chmod 755 "$work/rel/portal.exe"
"$bin/skiff-publish" "$work/rel" "$work/pub" --release-version 1 --serial 1 --pack data=data --plain '*.txt' \
  --sign "$work/update.key" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null
start_vsftpd "$mirrors/vsftpd-upload.conf" local_root="$srv" userlist_file="$work/upload-users" pam_service_name="$pam" \
  rsa_cert_file="$work/cert.pem" rsa_private_key_file="$work/key.pem"
printf 'ftps://%s@127.0.0.1:%s/release/\n' "$uploader" "$port" > "$work/mirrors"
printf 'machine 127.0.0.1 login %s password %s\n' "$uploader" "$pw" > "$work/netrc"
"$bin/skiff-publish" push "$work/pub" --mirrors "$work/mirrors" --netrc "$work/netrc" --cacert "$work/cert.pem" \
  > "$work/push.out" 2>&1 || fail "push through vsftpd-upload.conf: $(cat "$work/push.out")"
! curl -sS --max-time 20 "ftp://127.0.0.1:$port/" --user "$uploader:$pw" > /dev/null 2> "$work/curl.err" ||
  fail "vsftpd-upload.conf took a login without TLS"
grep -q ' 530' "$work/curl.err" || fail "the login without TLS was not refused: $(cat "$work/curl.err")"
stop_server
for f in update3.dat update3.dat.minisig $(awk 'NR > 1 {print $2}' "$work/pub/update3.dat"); do
  cmp -s "$work/pub/$f" "$srv/release/$f" || fail "push: $f differs"
done
echo "vsftpd-upload.conf: the release pushed over TLS"
entries=$(awk 'NR > 1' "$work/pub/update3.dat" | wc -l)

# One player's first start against the server on $port: the whole release
# comes in, recorded in update2.dat; then the launch ends the updater.
update_from() {  # LABEL USER: the guide's isp0.dat line LABEL, its user replaced when USER is given
  local app=$work/app-$1 line main dialog X Y rc=0
  line=$(grep -m1 "^$1 " "$guide") || fail "the guide has no isp0.dat line $1"
  mkdir -p "$app" && cp "$bin/skiff" "$work/update.pub" "$app/" && cp -r "$bin/upimg" "$app/"
  awk -v port="$port" -v user="$2" '{$2 = "127.0.0.1"; $3 = port; if (user != "") $5 = user
    printf "%s\r\nend\r\n", $0}' <<< "$line" > "$app/isp0.dat"
  (cd / && exec "$app/skiff") & skiff_pid=$!
  await_dialog "$1"
  confirm_server
  wait_for '[ -s "$app/update3.dat" ]' 100 || fail "$1: update3.dat not fetched: $(cat "$app/update.log")"
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1          # start
  wait_for '[ "$(tr -d "\r" 2>/dev/null < "$app/update2.dat" | awk "NR > 1 && NF" | wc -l)" = "$entries" ]' 200 ||
    fail "$1: the run did not finish: $(cat "$app/update.log")"
  sleep 0.5
  xdotool mousemove $((X + 248 + 64)) $((Y + 377 + 13)) click 1         # launch
  wait_for '[ -s "$app/portal.log" ]' 50 || fail "$1: the client was not launched"
  wait "$skiff_pid" || rc=$?; skiff_pid=
  [ "$rc" = 0 ] || fail "$1: the updater ended with $rc"
  for f in bin/client.exe data/a.bin readme.txt portal.exe; do
    cmp "$work/rel/$f" "$app/$f" || fail "$1: $f not installed as released"
  done
  diff <(awk 'NR > 1 {print $3, $4}' "$work/pub/update3.dat" | sort) \
       <(tr -d '\r' < "$app/update2.dat" | awk 'NR > 1 && NF' | sort) || fail "$1: update2.dat"
  grep -q 'update3.dat taken, signature valid' "$app/update.log" || fail "$1: $(cat "$app/update.log")"
}
# The configuration itself refuses (REPLY), not only the folder's modes.
refuses_upload() {  # USER REPLY
  echo probe > "$work/probe.txt"
  ! curl -sS -v --max-time 20 -T "$work/probe.txt" "ftp://127.0.0.1:$port/probe.txt" --user "$1:x" 2> "$work/curl.err" ||
    fail "an upload as $1 was taken"
  grep -q "^< $2" "$work/curl.err" || fail "the upload as $1 was not refused with $2: $(grep '^<' "$work/curl.err")"
  [ ! -e "$srv/release/probe.txt" ] || fail "probe.txt was written"
}

start_vsftpd "$mirrors/vsftpd-anonymous.conf" anon_root="$srv/release"
update_from North ""
refuses_upload anonymous "550 Permission denied."
stop_server
echo "vsftpd-anonymous.conf: installed, upload refused"

start_vsftpd "$mirrors/vsftpd-named.conf" local_root="$srv/release" userlist_file="$work/players" pam_service_name="$pam"
update_from South "$player"
refuses_upload "$player" "550 Permission denied."
stop_server
echo "vsftpd-named.conf: installed, upload refused"

# pyftpdlib as the guide runs it: as an unprivileged user.
port=$(free_port) pasv=$(free_port)
placed "$mirrors/pyftpdlib-mirror.py" ' = ' RELEASE="\"$srv/release\"" ADDRESS='"127.0.0.1"' PORT="$port" \
  PASSIVE_PORTS="range($pasv, $((pasv + 10)))"
chmod 644 "$placed"
setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- /usr/bin/python3 "$placed" 2> "$work/py.err" & server_pid=$!
wait_port pyftpdlib-mirror.py "$work/py.err"
update_from West ""
refuses_upload update "550 Not enough privileges."
stop_server
echo "pyftpdlib-mirror.py: installed, upload refused"
