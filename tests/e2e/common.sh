# Sourced by the end-to-end scripts: a work folder removed at the end, the
# test FTP server, bounded waits. A script keeps the pid of the updater it
# runs in skiff_pid; only that process and the server are ended.
#   e2e_start NAME         makes $work (/tmp/skiff-NAME-XXXXXX)
#   start_ftpd DIR [RATE]  serves DIR as user "update" on 127.0.0.1, sets $port
[ -n "${DISPLAY:-}" ] || { echo "needs a display (run under xvfb-run)"; exit 1; }
skiff_pid=
e2e_cleanup() {
  set +e
  [ -n "${skiff_pid:-}" ] && kill -9 "$skiff_pid" 2>/dev/null
  exec {FTPD[1]}>&- 2>/dev/null || true
  [ -n "${FTPD_PID:-}" ] && { kill "$FTPD_PID" 2>/dev/null; wait "$FTPD_PID" 2>/dev/null; }
  [ -n "${work:-}" ] && rm -rf "$work"
  return 0
}
e2e_start() {
  work=$(mktemp -d "/tmp/skiff-$1-XXXXXX")
  trap e2e_cleanup EXIT
}
fail() { echo "FAIL: $*"; exit 1; }
wait_for() {  # condition, tenths of a second
  for _ in $(seq "$2"); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
start_ftpd() {
  coproc FTPD { exec /usr/bin/python3 "$ftpd" "$1" update x ${2:+"$2"}; }
  read -r _ port <&"${FTPD[0]}"
}
