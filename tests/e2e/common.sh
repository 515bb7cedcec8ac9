# Sourced by the end-to-end scripts: a work folder removed at the end, the
# test FTP server, bounded waits. A script keeps the pid of the updater it
# runs in skiff_pid; only that process and the server are ended.
#   e2e_start NAME         makes $work (/tmp/skiff-NAME-XXXXXX)
#   start_ftpd DIR [RATE]  serves DIR as user "update" on 127.0.0.1, sets $port
#   await_dialog [WHAT], confirm_server  the updater's window and server dialog
#   start_updater          starts $app/skiff (pid in skiff_pid, standard error appended to
#                          $work/skiff.err), confirms the first server; X and Y then hold
#                          the main window's place
#   end_updater [STATUS]   waits for it: the exit status must be STATUS (0 unless told;
#                          137 after a kill -9) and skiff.err must hold no sanitizer report
#   start_mirror NAME DIR USER PASSWORD [OPTIONS]  one more server (ftpd.py's OPTIONS), sets
#                          $port and ${NAME}_pid; stop_mirror NAME ends it
# A script that needs no display sets e2e_no_display=1 before sourcing this.
[ -n "${DISPLAY:-}" ] || [ -n "${e2e_no_display:-}" ] || { echo "needs a display (run under xvfb-run)"; exit 1; }
e2e_servers=()
skiff_pid=
e2e_cleanup() {
  set +e
  [ -n "${skiff_pid:-}" ] && kill -9 "$skiff_pid" 2>/dev/null
  [ -z "${FTPD_PID:-}" ] || exec {FTPD[1]}>&- 2>/dev/null || true
  [ -n "${FTPD_PID:-}" ] && { kill "$FTPD_PID" 2>/dev/null; wait "$FTPD_PID" 2>/dev/null; }
  for name in "${e2e_servers[@]}"; do stop_mirror "$name"; done
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
start_mirror() {  # the server reads a fifo we hold open: it also ends when this shell does
  local name=$1 fifo=$work/.ftpd-$1 fd; shift
  stop_mirror "$name"
  rm -f "$fifo" "$fifo.out"; mkfifo "$fifo"
  /usr/bin/python3 "$ftpd" "$@" < "$fifo" > "$fifo.out" &
  printf -v "${name}_pid" %s $!
  exec {fd}> "$fifo"
  printf -v "${name}_fd" %s "$fd"
  e2e_servers+=("$name")
  wait_for 'grep -q "^PORT" "$fifo.out"' 100 || fail "the FTP server $name did not start"
  port=$(awk '/^PORT/ {print $2}' "$fifo.out")
}
stop_mirror() {
  local pid_var=${1}_pid fd_var=${1}_fd
  [ -z "${!fd_var:-}" ] || eval "exec ${!fd_var}>&-"
  [ -z "${!pid_var:-}" ] || { kill "${!pid_var}" 2>/dev/null; wait "${!pid_var}" 2>/dev/null; } || true
  printf -v "$pid_var" %s ""; printf -v "$fd_var" %s ""
  return 0
}
main_window() { xdotool search --name '^update$' 2>/dev/null | head -1; }
window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
# Waits for the updater $skiff_pid's main window ($main) and server dialog
# ($dialog); WHAT, when given, names the run in a failure.
await_dialog() {
  wait_for '[ -n "$(window "^update$")" ]' 100 || fail "${1:+$1: }no main window"
  main=$(window '^update$')
  wait_for 'dialog=$(xdotool search --onlyvisible --pid "$skiff_pid" 2>/dev/null | grep -v "^$main$" | head -1); [ -n "$dialog" ]' 50 ||
    fail "${1:+$1: }no server dialog"
}
confirm_server() {  # the dialog's confirm picture
  eval "$(xdotool getwindowgeometry --shell "$dialog")"
  xdotool mousemove $((X + 144 + 60)) $((Y + 352 + 15)) click 1
}
start_updater() {
  (cd / && exec "$app/skiff") 2>>"$work/skiff.err" & skiff_pid=$!
  wait_for '[ -n "$(main_window)" ]' 100 || fail "no main window"
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$(main_window)")"
  xdotool mousemove $((X + 100 + 144 + 60)) $((Y + 352 + 15)) click 1   # confirm the server
}
end_updater() {
  local status=0
  wait "$skiff_pid" || status=$?
  skiff_pid=
  [ "$status" -eq "${1:-0}" ] || { cat "$work/skiff.err" 2>/dev/null; fail "the updater ended with status $status, not ${1:-0}"; }
  if grep -qsE 'ERROR: AddressSanitizer|runtime error:|LeakSanitizer|ThreadSanitizer' "$work/skiff.err"; then
    cat "$work/skiff.err"; fail "a sanitizer report in the updater's standard error"
  fi
}
