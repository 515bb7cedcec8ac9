#!/usr/bin/env bash
# The real skiff as a user meets it: Escape in the server dialog, a second
# start while the dialog is up or the window is minimised, and an exit
# confirmed while a silent server is being tried.
#   window_and_instance.sh BIN_DIR ASSETS_DIR
set -euo pipefail
bin=$1 assets=$2
. "$(dirname "$0")/common.sh"
e2e_start window
silent_pid= other_pid=
trap '[ -z "$other_pid" ] || kill -9 "$other_pid"; [ -z "$silent_pid" ] || kill "$silent_pid"; e2e_cleanup' EXIT
export LANG=en_US.UTF-8
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
app=$work/app
mkdir -p "$app" && cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"

# A server that accepts and never says a word: the login waits on it.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
held = []
while True:
    c, _ = s.accept(); held.append(c)' "$port" & silent_pid=$!
printf 'Silent 127.0.0.1 %s 20000 update\r\nend\r\n' "$port" > "$app/isp0.dat"

# Top-level windows, top-most first, as the X server stacks them.
stacking() { xwininfo -root -children 2>/dev/null | awk '/^ +0x/ {print $1}'; }
above() {  # true when window $1 lies above window $2
  local first; first=$(stacking | grep -i -E "^$(printf '0x%x' "$1")\$|^$(printf '0x%x' "$2")\$" | head -1)
  [ "$first" = "$(printf '0x%x' "$1")" ]
}

(cd / && exec "$app/skiff") 2>>"$work/skiff.err" & skiff_pid=$!
# The dialog has no title; it is the other visible top-level window of skiff.
await_dialog

# Escape does nothing in the dialog.
xdotool key --window "$dialog" Escape 2>/dev/null || true
sleep 0.5
[ -n "$(xdotool search --onlyvisible --pid "$skiff_pid" | grep "^$dialog$")" ] || fail "Escape closed the dialog"
[ ! -e "$app/isp1.dat" ] || fail "Escape confirmed a server"

# A second start while the dialog is up: it ends at once, and the dialog
# stays above the main window and clickable.
xdotool windowraise "$main"
timeout 10 "$app/skiff" || fail "the second start did not end with 0"
sleep 0.3
above "$dialog" "$main" || fail "the dialog is below the main window after a second start"
confirm_server
wait_for '[ -s "$app/isp1.dat" ]' 50 || fail "the dialog could not be clicked"
echo "Escape keeps the dialog; a second start keeps it on top and usable"

# Now the login waits on the silent server. A minimised window comes back
# when the program is started again.
sleep 0.5
xdotool windowunmap "$main"
wait_for '[ -z "$(window "^update$")" ]' 30 || fail "could not minimise the window"
timeout 10 "$app/skiff" || fail "the second start did not end with 0"
wait_for '[ -n "$(window "^update$")" ]' 30 || fail "a minimised window was not restored"
echo "a second start restores a minimised window"

# The exit confirmed while the silent server is being tried ends the
# program well before the server's 20 s time-out, and no box follows.
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 448 + 45)) $((Y + 377 + 13)) click 1           # exit picture
wait_for '[ -n "$(window "^Confirm$")" ]' 50 || fail "no exit question"
xdotool key --window "$(window '^Confirm$')" Return 2>/dev/null || true
t0=$(date +%s%N)
wait_for '! kill -0 "$skiff_pid" 2>/dev/null' 100 || fail "the program lives on after the confirmed exit"
elapsed=$(( ($(date +%s%N) - t0) / 1000000 ))
end_updater 0
[ -z "$(window '^skiff$')" ] || fail "a box appeared after the exit"
echo "the confirmed exit ended the program in $elapsed ms, without a box"

# The next start gets its own window: nothing holds the instance claim.
# Words a desktop launcher passes are ignored (and logged), and another
# game's updater runs beside it.
(cd / && exec "$app/skiff" %U file:///x) 2>>"$work/skiff.err" & skiff_pid=$!
wait_for '[ -n "$(window "^update$")" ]' 100 || fail "the next start has no window"
grep -q "arguments ignored: '%U' 'file:///x'" "$app/update.log" || fail "the ignored arguments are not logged"
mkdir -p "$work/other" && cp -r "$app/skiff" "$app/upimg" "$app/isp0.dat" "$work/other/"
(cd / && exec "$work/other/skiff") & other_pid=$!
wait_for '[ "$(xdotool search --onlyvisible --name "^update$" | wc -l)" -ge 2 ]' 100 ||
  fail "a second game's updater did not open its own window"
kill "$skiff_pid" "$other_pid"; wait "$other_pid" 2>/dev/null || true; other_pid=; end_updater 143
echo "the next start has its own window, stray arguments ignored, another game's updater beside it"

# The window is grouped with the menu entry by its class.
(cd / && exec "$app/skiff") 2>>"$work/skiff.err" & skiff_pid=$!
wait_for '[ -n "$(window "^update$")" ]' 100 || fail "no window"
xprop -id "$(window '^update$')" WM_CLASS | grep -q '"skiff-app"' || fail "window class: $(xprop -id "$(window '^update$')" WM_CLASS)"
# A start with another runtime folder cannot find the first by its title;
# the folder's own lock ends it all the same, with no window of its own.
mkdir -m 700 "$work/run2"
XDG_RUNTIME_DIR=$work/run2 timeout 10 "$app/skiff" || fail "a start with another runtime folder did not end with 0"
[ "$(xdotool search --onlyvisible --name '^update$' | wc -l)" -eq 1 ] || fail "two updaters on one folder"
kill "$skiff_pid"; end_updater 143
echo "the window's class is skiff-app, after its folder"

# No server answers: "Disconnected", the log names the failed step, and the
# exit after it ends with code 3.
closed=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'Closed 127.0.0.1 %s 2000 update\r\nend\r\n' "$closed" > "$app/isp0.dat"
rm -f "$app/update.log"
(cd / && exec "$app/skiff") 2>>"$work/skiff.err" & skiff_pid=$!
await_dialog
confirm_server
wait_for '[ -n "$(window "^skiff$")" ]' 100 || fail "no Disconnected box"
sleep 0.3
# The box sits over the main window, centred.
centre() { eval "$(xdotool getwindowgeometry --shell "$1")"; echo $((X + WIDTH / 2)) $((Y + HEIGHT / 2)); }
read -r bx by <<<"$(centre "$(window '^skiff$')")"; read -r mx my <<<"$(centre "$main")"
[ $(( (bx - mx) * (bx - mx) + (by - my) * (by - my) )) -le 400 ] || fail "the box is centred at $bx,$by, the window at $mx,$my"
xdotool key --window "$(window '^skiff$')" Return 2>/dev/null || true
wait_for '[ -z "$(window "^skiff$")" ]' 50 || fail "the box stayed"
grep -q "server Closed (127.0.0.1:$closed): connect failed" "$app/update.log" || { cat "$app/update.log"; fail "the log does not name the failed connect"; }
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 448 + 45)) $((Y + 377 + 13)) click 1           # exit picture
wait_for '[ -n "$(window "^Confirm$")" ]' 50 || fail "no exit question"
xdotool key --window "$(window '^Confirm$')" Return 2>/dev/null || true
wait_for '! kill -0 "$skiff_pid" 2>/dev/null' 30 || fail "the program lives on after the confirmed exit"
end_updater 3
echo "no server: Disconnected, the failed connect in the log, exit code 3"
