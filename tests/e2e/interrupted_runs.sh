#!/usr/bin/env bash
# Runs cut short: the real skiff is killed (kill -9) at random moments of a
# 50-file update, twenty times, and once the user exits in the middle of a
# download. After each, every file is the old one or the new one, update2.dat
# parses and records a new version only for bytes that are installed, and no
# temporary file outlives the next start (partial downloads are kept on
# purpose: the next run goes on from them).
#   interrupted_runs.sh BIN_DIR ASSETS_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 assets=$2 ftpd=$3
. "$(dirname "$0")/common.sh"
e2e_start kill
export LANG=en_US.UTF-8
rel=$work/release app=$work/app
mkdir -p "$rel/data" "$app"

# Release 2: 40 gzip files and 10 plain ones; release 1 installed before.
for i in $(seq 40); do head -c 262144 /dev/urandom > "$rel/data/f$i.bin"; done
for i in $(seq 10); do head -c 65536 /dev/urandom | base64 > "$rel/data/t$i.txt"; done
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 2 --plain '*.txt' >/dev/null
cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"
mkdir -p "$app/data"
printf 'KOVRAN\r\n' > "$app/update2.dat"
for f in "$rel"/data/*; do
  n=$(basename "$f"); printf 'old %s' "$n" > "$app/data/$n"; printf 'data\\%s 1\r\n' "$n" >> "$app/update2.dat"
done

# About 16 MB/s: a run takes most of a second, so kills land inside it.
start_ftpd "$work/pub" 16000000
printf 'Local 127.0.0.1 %s 5000 update\r\nend\r\n' "$port" > "$app/isp0.dat"

main_window() { xdotool search --name '^update$' 2>/dev/null | head -1; }
temporaries() { find "$app" -name '*.skiff-tmp-*' | wc -l; }

# Starts the updater and waits for its plan (the sequence has removed what
# an earlier run left by then).
start_and_plan() {
  rm -f "$app/update3.dat"
  (cd / && exec "$app/skiff") & skiff_pid=$!
  wait_for '[ -n "$(main_window)" ]' 100 || fail "no main window"
  sleep 0.3
  eval "$(xdotool getwindowgeometry --shell "$(main_window)")"
  xdotool mousemove $((X + 100 + 144 + 60)) $((Y + 352 + 15)) click 1   # confirm the server
  wait_for '[ -s "$app/update3.dat" ]' 100 || fail "update3.dat not fetched"
  sleep 0.3
}
click_start() { xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1; }

# Every file old or new, and update2.dat never ahead of the files.
check_invariants() {
  python3 - "$rel" "$app" <<'PY' || fail "invariants broken ($1)"
import os, sys
rel, app = sys.argv[1], sys.argv[2]
lines = open(os.path.join(app, "update2.dat"), "rb").read().split(b"\r\n")
assert lines[0] == b"KOVRAN" and lines[-1] == b"", "update2.dat does not parse"
recorded = {}
for line in lines[1:-1]:
    if not line:
        continue  # the empty line a list of only its header gains
    name, version = line.split(b" ")
    recorded[name.decode().replace("\\", "/")] = version.decode()
for name in os.listdir(os.path.join(rel, "data")):
    new = open(os.path.join(rel, "data", name), "rb").read()
    have = open(os.path.join(app, "data", name), "rb").read()
    assert have in (new, b"old " + name.encode()), name + " is half-written"
    version = recorded["data/" + name]
    assert version in ("1", "2"), name
    if version == "2":
        assert have == new, name + " recorded as 2 but not installed"
PY
}

for round in $(seq 20); do
  start_and_plan
  [ "$(temporaries)" -eq 0 ] || fail "round $round: the start did not remove the leftovers"
  check_invariants "round $round, before"
  click_start
  sleep "0.$((RANDOM % 80))"
  kill -9 "$skiff_pid"; wait "$skiff_pid" 2>/dev/null || true; skiff_pid=
  check_invariants "round $round, after kill"
done
echo "20 kills: every file old or new, update2.dat never ahead"

# The user leaves in the middle of the run: no temporary stays (partial
# downloads do: the next start goes on from them).
printf 'KOVRAN\r\n' > "$app/update2.dat"
find "$app" -name '*.skiff-part-*' -delete
start_and_plan
click_start
wait_for '[ -n "$(find "$app" -name "*.skiff-part-*")" ]' 50 || fail "no download in progress to interrupt"
sleep 0.2
xdotool mousemove $((X + 448 + 45)) $((Y + 377 + 13)) click 1          # exit picture
# Yes is the dialog's default button. xdotool may report an error when the
# dialog closes under it, which is what the key is for.
wait_for '[ -n "$(xdotool search --onlyvisible --name "^Confirm$" 2>/dev/null)" ]' 50 || fail "no exit question"
xdotool key --window "$(xdotool search --onlyvisible --name '^Confirm$' | head -1)" Return 2>/dev/null || true
wait_for '! kill -0 "$skiff_pid" 2>/dev/null' 30 || fail "the program did not end after the confirmed exit"
wait "$skiff_pid" 2>/dev/null || true; skiff_pid=
[ "$(temporaries)" -eq 0 ] || fail "temporaries left after an exit mid-download: $(find "$app" -name '*.skiff-tmp-*')"

# A last, undisturbed run brings everything in.
start_and_plan
click_start
wait_for 'python3 -c "import sys; sys.exit(open(\"$app/update2.dat\",\"rb\").read().count(b\" 2\r\n\") != 50)"' 300 ||
  fail "the last run did not finish"
check_invariants "final"
kill "$skiff_pid" 2>/dev/null; wait "$skiff_pid" 2>/dev/null || true; skiff_pid=
for f in "$rel"/data/*; do cmp -s "$f" "$app/data/$(basename "$f")" || fail "$(basename "$f") differs"; done
[ "$(temporaries)" -eq 0 ] || fail "temporaries left after a complete run"
echo "exit mid-download leaves nothing; a complete run installs all 50"
