#!/usr/bin/env bash
# Start-up with 20,000 installed files, nothing to update (bench/repair.cpp),
# for an earlier commit and for the working tree, alternating, on the same
# machine in the same minutes. The earlier commit is built in a temporary
# worktree; the working tree must be built already (scripts/build release).
#   bench/repair.sh [REV]     default REV: the last commit before the check of installed files
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rev=${1:-2f77700}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x1024x24" "$0" "$@"; fi
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
old=$(mktemp -d /tmp/skiff-against-XXXXXX)
trap 'git worktree remove --force "$old" >/dev/null 2>&1 || true; rm -rf "$old"' EXIT
git worktree add --detach "$old" "$rev" >/dev/null 2>&1
# The earlier tree with this benchmark added to it.
cp bench/repair.cpp "$old/bench/" && cp tests/FtpServer.h tests/TestSupport.h "$old/tests/"
cat >> "$old/bench/CMakeLists.txt" <<'CMAKE'
add_executable(bench_repair repair.cpp)
target_link_libraries(bench_repair PRIVATE forms)
target_include_directories(bench_repair PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(bench_repair PRIVATE SKIFF_FTPD_SCRIPT="${CMAKE_SOURCE_DIR}/tests/fixtures/ftpd.py"
  SKIFF_ASSETS_DIR="${CMAKE_SOURCE_DIR}/assets")
CMAKE
cmake -S "$old" -B "$old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$old/build" --target bench_repair -j"$(nproc)" >/dev/null
for round in 1 2 3; do
  echo "before ($rev):"; "$old/build/bench/bench_repair" | tail -3
  echo "after (working tree):"; "$root/build/bench/bench_repair" | tail -3
done
