#!/usr/bin/env bash
# Both programs' command lines: --help and --version on stdout with 0 (the
# updater's without a display), every mistake named on stderr with 2.
#   command_lines.sh BIN_DIR VERSION
set -uo pipefail
bin=$1 version=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect CODE OUT_WORDS ERR_WORDS COMMAND...
expect() {
  local code=$1 out_words=$2 err_words=$3; shift 3
  local out err rc
  out=$(env -u DISPLAY "$@" 2>/tmp/cl-err.$$); rc=$?
  err=$(cat /tmp/cl-err.$$); rm -f /tmp/cl-err.$$
  [ "$rc" -eq "$code" ] || fail "$* ended with $rc, not $code (stderr: $err)"
  [ -z "$out_words" ] || [[ "$out" == *"$out_words"* ]] || fail "$*: stdout lacks '$out_words'"
  [ -z "$err_words" ] || [[ "$err" == *"$err_words"* ]] || fail "$*: stderr lacks '$err_words': $err"
  if [ "$code" -eq 2 ] && [ -n "$out" ]; then fail "$*: wrote to stdout on a usage mistake"; fi
}

skiff=$bin/skiff publish=$bin/skiff-publish
expect 0 "usage: skiff" "" "$skiff" --help
expect 0 "usage: skiff" "" "$skiff" -h
expect 0 "skiff $version" "" "$skiff" --version
expect 2 "" "unknown option '--bogus'" "$skiff" --bogus
expect 0 "skiff $version" "" "$skiff" %U --version   # words that are not options are ignored
expect 2 "" "option '--version' takes no value" "$skiff" --version=3
expect 2 "" "unknown option '-x'" "$skiff" -x
expect 2 "" "--no-window needs --unattended" "$skiff" --no-window

expect 0 "usage: skiff-publish" "" "$publish" --help
expect 0 "skiff-publish $version" "" "$publish" --version
expect 2 "" "unknown option '--bogus'" "$publish" --bogus a b
expect 2 "" "option '--dry-run' takes no value" "$publish" --dry-run=yes a b
expect 2 "" "option '--release-version' needs a value" "$publish" a b --release-version
expect 2 "" "--codepage needs a number, not 'abc'" "$publish" --codepage abc a b
expect 2 "" "--pack needs FOLDER=NAME, not 'data'" "$publish" --pack data a b
expect 2 "" "--expires takes 1 to 36500, not 4294967297" "$publish" --expires 4294967297 a b
expect 2 "" "--serial needs a number, not '99999999999999999999'" "$publish" --serial 99999999999999999999 a b
expect 2 "" "give RELEASE_DIR and OUT_DIR" "$publish" only-one
expect 1 "" "does not exist" "$publish" /nonexistent/release /tmp/cl-out.$$
expect 0 "usage: skiff-publish" "" "$publish" verify --help
expect 2 "" "verify needs OUT_DIR" "$publish" verify
expect 2 "" "unknown option '--sign'" "$publish" verify --sign k dir
expect 1 "update3.dat: missing" "" "$publish" verify /nonexistent
expect 2 "" "kit needs --servers FILE" "$publish" kit out.tar.gz
expect 2 "" "option '--servers' needs a value" "$publish" kit --servers
expect 2 "" "kit needs OUT.tar.gz" "$publish" kit --servers s
[ ! -e /tmp/cl-out.$$ ] || fail "a refused publish wrote its output"

# --json gives what scripts can read: a dry run and a verify report.
work=$(mktemp -d /tmp/skiff-cl-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/rel"
printf 'one' > "$work/rel/a.txt"; printf 'two' > "$work/rel/b.bin"
"$publish" --release-version 1 "$work/rel" "$work/pub" >/dev/null || fail "publish"
printf 'changed' > "$work/rel/a.txt"; printf 'new' > "$work/rel/c.bin"; rm "$work/rel/b.bin"
"$publish" --dry-run --json --previous "$work/pub" "$work/rel" "$work/pub" > "$work/dry.json" || fail "dry run"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1]));
assert d["dry_run"] and d["added"] == ["c.bin"] and d["changed"] == ["a.txt"] and d["removed"] == ["b.bin"], d' \
  "$work/dry.json" || fail "dry-run JSON: $(cat "$work/dry.json")"
grep -q "b.bin" "$work/pub/update3.dat" || fail "the dry run changed the published folder"
b_served=$(awk '$3 == "b.bin" {print $2}' "$work/pub/update3.dat")
rm "$work/pub/$b_served"
"$publish" verify --json "$work/pub" > "$work/verify.json" && fail "verify passed a folder with a missing file"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1]));
assert not d["ok"] and d["entries"] == 2 and any(sys.argv[2] + " is missing" in p for p in d["problems"]), d' \
  "$work/verify.json" "$b_served" || fail "verify JSON: $(cat "$work/verify.json")"

# Web mirrors are for status: push passes them by, and refuses a file of nothing else.
printf 'https://cdn.example.com/game/\n' > "$work/web-mirrors"
expect 1 "" "no FTP mirror to push to" "$publish" push "$work/pub" --mirrors "$work/web-mirrors"
expect 2 "" "--mirrors FILE or --servers FILE, not both" "$publish" status --mirrors a --servers b

[ "$failures" -eq 0 ] || exit 1
echo "command lines: help, version and every mistake as expected"
