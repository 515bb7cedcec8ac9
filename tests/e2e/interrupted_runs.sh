#!/usr/bin/env bash
# Runs cut short: the real skiff is killed (kill -9) at random moments of a
# 50-file update, twenty times, and once the user exits in the middle of a
# download. Each round starts from release 1 installed, so that every kill
# meets a run at work; the rounds say what each kill interrupted. After each,
# every file is the old one or the new one, update2.dat parses and records a
# new version only for bytes that are installed, and no temporary file
# outlives the next start (partial downloads are kept on purpose: the next
# run goes on from them).
#   interrupted_runs.sh BIN_DIR ASSETS_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 assets=$2 ftpd=$3
. "$(dirname "$0")/common.sh"
e2e_start kill
export LANG=en_US.UTF-8
rel=$work/release app=$work/app
mkdir -p "$rel/data" "$app/data"

# Release 2: 40 gzip files and 10 plain ones.
for i in $(seq 40); do head -c 262144 /dev/urandom > "$rel/data/f$i.bin"; done
for i in $(seq 10); do head -c 65536 /dev/urandom | base64 > "$rel/data/t$i.txt"; done
"$bin/skiff-publish" "$rel" "$work/pub" --release-version 2 --plain '*.txt' >/dev/null
cp "$bin/skiff" "$app/" && cp -r "$assets/upimg" "$app/"
# Release 1 installed: its bytes and its record (and a new update.log).
install_release_1() {
  rm -f "$app/update.log"
  printf 'KOVRAN\r\n' > "$app/update2.dat"
  for f in "$rel"/data/*; do
    n=$(basename "$f"); printf 'old %s' "$n" > "$app/data/$n"; printf 'data\\%s 1\r\n' "$n" >> "$app/update2.dat"
  done
}

# About 16 MB/s: a run takes most of a second.
start_ftpd "$work/pub" 16000000
printf 'Local 127.0.0.1 %s 5000 update\r\nend\r\n' "$port" > "$app/isp0.dat"

temporaries() { find "$app" -name '*.skiff-tmp-*' | wc -l; }
recorded() { grep -c $' 2\r$' "$app/update2.dat" || true; }  # update2.dat is saved once a run ends
installed() { grep -c ': installed$' "$app/update.log" 2>/dev/null || true; }  # one line a file

# Starts the updater and waits for its plan (the sequence has removed what
# an earlier run left by then).
start_and_plan() {
  rm -f "$app/update3.dat"
  start_updater
  wait_for '[ -s "$app/update3.dat" ]' 100 || fail "update3.dat not fetched"
  sleep 0.3
}
click_start() { xdotool mousemove $((X + 80 + 45)) $((Y + 377 + 13)) click 1; }

# Every file old or new, and update2.dat never ahead of the files. Given a
# file, also writes there what a kill interrupted, from what it left in the
# folder: a file downloading (its partial download short of its size; for a
# gzip file inflated into its temporary as it arrives), a whole download
# being put in place, update2.dat being saved (its temporary), the run
# between two files (update.log names the files in); or no work (before the
# first file, or the run over).
check() {
  python3 - "$rel" "$app" "$@" <<'PY' || fail "invariants broken ($1)"
import glob, os, sys
rel, app, when = sys.argv[1:4]
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
if len(sys.argv) < 5:
    sys.exit(0)
sizes = {f[2].replace("\\", "/"): int(f[4]) for f in (line.split(" ") for line in
         open(os.path.dirname(app) + "/pub/update3.dat", encoding="latin-1").read().splitlines()) if len(f) >= 5 and f[0] in ("E", "O")}
since = os.path.getmtime(os.path.dirname(app) + "/round")
parts = sorted((p for p in glob.glob(app + "/data/*.skiff-part-*") if os.path.getmtime(p) >= since), key=os.path.getmtime)
installed = open(app + "/update.log").read().count(": installed\n")
if glob.glob(app + "/update2.dat.skiff-tmp-*"):
    kind = "saving update2.dat"
elif parts:
    local = os.path.relpath(parts[-1], app).split(".skiff-part-")[0]
    kind = ("putting in place" if os.path.getsize(parts[-1]) >= sizes[local] else
            "downloading+inflating" if glob.glob(app + "/" + local + ".skiff-tmp-*") else "downloading")
else:
    kind = ("idle: not begun" if installed == 0 else "idle: all done" if "1" not in recorded.values() else
            "between files")
open(sys.argv[4], "w").write(kind)
PY
}

declare -A kinds=()
for round in $(seq 20); do
  install_release_1
  start_and_plan
  [ "$(temporaries)" -eq 0 ] || fail "round $round: the start did not remove the leftovers"
  check "round $round, before"
  touch "$work/round"
  click_start
  # The kill comes at a random point of the run: once a random number of
  # files are in (0 to 35 of the 50), and up to 40 ms later. The downloads
  # run ahead of the installs on two sessions, and the last files go in
  # within milliseconds of each other: a later kill would often find the
  # run over.
  after=$((RANDOM % 36))
  for _ in $(seq 1000); do [ "$(installed)" -lt "$after" ] || break; sleep 0.01; done
  sleep "0.0$((RANDOM % 5))"
  kill -9 "$skiff_pid"; end_updater 137
  check "round $round, after kill" "$work/kind"; kind=$(cat "$work/kind")
  echo "round $round: the kill interrupted $kind"
  kinds[$kind]=$(( ${kinds[$kind]:-0} + 1 ))
done
work_rounds=0
for kind in "${!kinds[@]}"; do
  echo "  ${kinds[$kind]} x $kind"
  [[ $kind == idle* ]] || work_rounds=$((work_rounds + ${kinds[$kind]}))
done
[ "$work_rounds" -ge 15 ] || fail "only $work_rounds of 20 kills met a run at work"
echo "20 kills, $work_rounds at work: every file old or new, update2.dat never ahead"

# The user leaves in the middle of the run: no temporary stays (partial
# downloads do: the next start goes on from them).
install_release_1
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
end_updater 0
[ "$(temporaries)" -eq 0 ] || fail "temporaries left after an exit mid-download: $(find "$app" -name '*.skiff-tmp-*')"

# A last, undisturbed run brings everything in.
start_and_plan
click_start
wait_for '[ "$(recorded)" -eq 50 ]' 300 || fail "the last run did not finish"
check "final"
kill "$skiff_pid"; end_updater 143
for f in "$rel"/data/*; do cmp -s "$f" "$app/data/$(basename "$f")" || fail "$(basename "$f") differs"; done
[ "$(temporaries)" -eq 0 ] || fail "temporaries left after a complete run"
echo "exit mid-download leaves nothing; a complete run installs all 50"
