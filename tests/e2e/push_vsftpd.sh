#!/usr/bin/env bash
# push and status against vsftpd with a local user, as operators run it:
# a throw-away system user with a password, vsftpd on its own 127.0.0.1
# port with write access, one mirror over plain FTP and one over explicit
# TLS (its password from a netrc file, the server's certificate given with
# --cacert). vsftpd has no MLSD, so sizes are asked file by file. Needs root.
#   push_vsftpd.sh BIN_DIR
set -euo pipefail
bin=$1 e2e_no_display=1
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root for a throw-away local user"; exit 77; }
[ -x /usr/sbin/vsftpd ] || { echo "SKIP: vsftpd is not installed"; exit 77; }
. "$(dirname "$0")/common.sh"
e2e_start push-vsftpd
user=skiff-push-$$ pw=pw-$RANDOM-$RANDOM vsftpd_pid=
trap 'set +e; [ -z "$vsftpd_pid" ] || { kill "$vsftpd_pid"; wait "$vsftpd_pid"; }
      id "$user" >/dev/null 2>&1 && userdel "$user"; e2e_cleanup' EXIT
chmod 755 "$work"
home=$work/home
mkdir -p "$home/plain" /var/run/vsftpd/empty
useradd --system --no-create-home --home-dir "$home" --shell /bin/sh "$user"
echo "$user:$pw" | chpasswd
chown -R "$user" "$home"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port) pasv=$(free_port)
cat > "$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$home
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pasv
pasv_max_port=$((pasv + 50))
seccomp_sandbox=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
pam_service_name=vsftpd
ssl_enable=YES
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
allow_anon_ssl=NO
force_local_logins_ssl=NO
force_local_data_ssl=NO
require_ssl_reuse=NO
EOF
/usr/sbin/vsftpd "$work/vsftpd.conf" &
vsftpd_pid=$!
wait_for '(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null' 100 || fail "vsftpd did not start"

minisign -G -W -p "$work/update.pub" -s "$work/update.key" >/dev/null
mkdir -p "$work/rel/data"
head -c 200000 /dev/urandom > "$work/rel/data/a.bin"; printf 'readme' > "$work/rel/readme.txt"
"$bin/skiff-publish" --release-version 1 --serial 1 --plain '*.txt' --sign "$work/update.key" \
  "$work/rel" "$work/pub" >/dev/null
printf 'ftp://%s:%s@127.0.0.1:%s/plain/\nftps://%s@127.0.0.1:%s/tls\n' "$user" "$pw" "$port" "$user" "$port" \
  > "$work/mirrors"
printf 'machine 127.0.0.1 login %s password %s\n' "$user" "$pw" > "$work/netrc"
run() { "$bin/skiff-publish" "$@" --mirrors "$work/mirrors" --netrc "$work/netrc" --cacert "$work/cert.pem" \
  --json > "$work/out.json" 2> "$work/err"; }

run push "$work/pub" || fail "push to vsftpd: $(cat "$work/out.json" "$work/err")"
for m in plain tls; do
  cmp -s "$home/$m/update3.dat.minisig" "$work/pub/update3.dat.minisig" || fail "$m: the signature is not in place"
  for f in update3.dat $(awk 'NR > 1 {print $2}' "$work/pub/update3.dat"); do
    cmp -s "$home/$m/$f" "$work/pub/$f" || fail "$m: $f differs"
  done
  [ "$(stat -c %U "$home/$m/update3.dat")" = "$user" ] || fail "$m: not written as the local user"
done
run status --key "$work/update.pub" || fail "status: $(cat "$work/out.json")"
python3 -c 'import json,sys; m=json.load(open(sys.argv[1]))["mirrors"]
assert all(x["whole"] and x["newest"] and x["signature_checked"] and x["serial"] == 1 for x in m)' "$work/out.json" ||
  fail "status JSON: $(cat "$work/out.json")"
! grep -q "$pw" "$work/out.json" "$work/err" || fail "a password was printed"
echo "push to vsftpd with a local user, plain and TLS: release in place"
