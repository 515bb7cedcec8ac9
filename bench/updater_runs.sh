# Shared by the update benchmarks: a work folder, a display, FTP servers on
# loopback that this script starts (and ends, by their ids), and an updater
# run driven by clicks. Source it from the project folder after setting
# bench_script (the script, run again under Xvfb when there is no display).
root=$PWD
build=${SKIFF_BUILD:-build}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24" "$bench_script" "$@"; fi
w=$(mktemp -d /tmp/skiff-bench-XXXXXX)
# Only the processes this script started are ended, by their ids.
cleanup() { set +e; [ -f "$w/pids" ] && while read -r p; do kill "$p" 2>/dev/null; done < "$w/pids"; rm -rf "$w"; true; }
trap cleanup EXIT
export LANG=en_US.UTF-8 XDG_RUNTIME_DIR=$w/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Waits for a condition, at most $2 seconds; the benchmark fails rather than hangs.
wait_until() {
  local end=$(( $(date +%s) + $2 ))
  until eval "$1"; do [ "$(date +%s)" -lt "$end" ] || { echo "timed out waiting for: $1" >&2; exit 1; }; sleep 0.01; done
}

# Text of $2 MiB into $1: numbered lines of a few words, which gzip takes
# to about a ninth, as logs and data files of a client go.
make_text() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import random, sys
random.seed(3)
words = [b"update", b"client", b"mirror", b"release", b"player", b"launcher"]
with open(sys.argv[1], "wb") as f:
    line = 0
    while f.tell() < int(sys.argv[2]) << 20:
        f.write(b"%d " % line + b" ".join(random.choices(words, k=12)) + b"\n")
        line += 1
PY
}

# One FTP server per release, its folder the login folder; extra arguments go
# to the server (a rate in bytes per second, say). Each serves until its
# standard input closes: a pipe this script holds open.
mkfifo "$w/hold"
exec 7<>"$w/hold"
serve() {
  local name=$1; shift
  /usr/bin/python3 "$root/tests/fixtures/ftpd.py" "$w/pub/$name" update x "$@" < "$w/hold" > "$w/port-$name" &
  echo $! >> "$w/pids"
  wait_until "[ -s '$w/port-$name' ]" 10
}
# Runs the updater on release $1; prints ms from the start click to the saved list.
run_updater() {
  local app=$w/app-$1 last pid wid
  mkdir -p "$app" && cp "$build"/src/skiff "$app/" && cp -r assets/upimg "$app/"
  [ -f "$w/pub/$1/update3.dat.minisig" ] && cp "$w/key.pub" "$app/update.pub"
  # More mirrors of the same release: $mirrors names their releases' folders.
  { printf 'L 127.0.0.1 %s 60000 %s\r\n' "$(cut -d' ' -f2 "$w/port-$1")" ${SKIFF_USER:-update}
    for m in ${mirrors:-}; do printf 'M 127.0.0.1 %s 60000 update\r\n' "$(cut -d' ' -f2 "$w/port-$m")"; done
    printf 'end\r\n'; } > "$app/isp0.dat"
  last=$(tail -1 "$w/pub/$1/update3.dat" | cut -d' ' -f3)
  # A busy X server may refuse a connection: start again when no window came.
  for _ in 1 2 3; do
    "$app/skiff" & pid=$!
    echo "$pid" >> "$w/pids"
    for _ in $(seq 200); do
      wid=$(xdotool search --name '^update$' 2>/dev/null | head -1) && [ -n "$wid" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    [ -n "${wid:-}" ] && break
    kill "$pid" 2>/dev/null || true
  done
  [ -n "${wid:-}" ] || { echo "the updater shows no window" >&2; exit 1; }
  sleep 0.3
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + 304)) $((Y + 367)) click 1
  wait_until "[ -s '$app/update3.dat' ]" 30
  sleep 0.5
  local t0; t0=$(ms)
  xdotool mousemove $((X + 125)) $((Y + 390)) click 1
  wait_until "grep -qF '$last' '$app/update2.dat' 2>/dev/null" 120
  local t1; t1=$(ms)
  awk '/VmHWM/ {print $2}' /proc/$pid/status > "$w/rss-$1"
  # CPU of the updater over its whole life (start-up and plan included), in ms.
  awk -v hz="$(getconf CLK_TCK)" '{print int(($14 + $15) * 1000 / hz)}' /proc/$pid/stat > "$w/cpu-$1"
  kill $pid; wait $pid 2>/dev/null || true
  echo $((t1 - t0))
}

