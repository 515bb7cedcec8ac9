#!/usr/bin/env bash
# Runs a benchmark for an earlier commit and for the working tree in one go,
# so that a change is judged on the same machine in the same minutes.
#   bench/against.sh REV ftp            bench_transfers ftp, 5 rounds each, alternating
#   bench/against.sh REV update_run     bench/update_run.sh, 3 rounds each, alternating
# REV is built in a temporary worktree (removed afterwards); the working tree
# must be built already (scripts/build release).
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:?usage: bench/against.sh REV ftp|update_run}
what=${2:?usage: bench/against.sh REV ftp|update_run}
old=$(mktemp -d /tmp/skiff-against-XXXXXX)
trap 'git worktree remove --force "$old" >/dev/null 2>&1 || true; rm -rf "$old"' EXIT
git worktree add --detach "$old" "$rev" >/dev/null 2>&1
cmake -S "$old" -B "$old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$old/build" -j"$(nproc)" >/dev/null

case "$what" in
  ftp)
    for round in 1 2 3 4 5; do
      echo "before: $("$old/build/bench/bench_transfers" ftp | grep 'FTP download')"
      echo "after:  $(build/bench/bench_transfers ftp | grep 'FTP download')"
    done ;;
  update_run)
    for round in 1 2 3; do
      echo "before:"; SKIFF_BUILD="$old/build" bench/update_run.sh
      echo "after:"; bench/update_run.sh
    done ;;
  *) echo "unknown benchmark $what" >&2; exit 2 ;;
esac
