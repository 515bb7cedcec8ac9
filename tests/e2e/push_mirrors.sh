#!/usr/bin/env bash
# push, status and prune with the real skiff-publish against three writable
# pyftpdlib mirrors: one with an older release that lacks a file, one empty,
# one that dies during its upload. The cut-off mirror must keep serving its
# old release whole; the next push continues the cut-off file and completes it.
#   push_mirrors.sh BIN_DIR FTPD_SCRIPT
set -euo pipefail
bin=$1 ftpd=$2 e2e_no_display=1
. "$(dirname "$0")/common.sh"
e2e_start push-e2e
trap 'rc=$?; [ $rc -eq 0 ] || cat "$work/err" 2>/dev/null; e2e_cleanup' EXIT
publish=$bin/skiff-publish pw=s3cret-pw
# check FILE PYTHON: assertions on the JSON in FILE, as d.
check() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); m=d.get('mirrors'); $2" "$1" ||
  fail "$1: $(cat "$1")"; }
served() { awk -v n="$2" '$3 == n {print $2}' "$1/update3.dat"; }
same_release() {  # MIRROR_DIR PUB_DIR: the mirror serves that release whole, byte for byte
  cmp -s "$1/update3.dat" "$2/update3.dat" && cmp -s "$1/update3.dat.minisig" "$2/update3.dat.minisig" || return 1
  for f in $(awk 'NR > 1 {print $2}' "$2/update3.dat"); do cmp -s "$1/$f" "$2/$f" || return 1; done
}

# Release 1, then release 2 (a.txt changed, old.bin gone, new.bin new) in the same folder.
rel=$work/rel
mkdir -p "$rel"
printf 'one' > "$rel/a.txt"; head -c 100000 /dev/urandom > "$rel/old.bin"
minisign -G -W -p "$work/update.pub" -s "$work/update.key" >/dev/null
"$publish" --release-version 1 --serial 1 --plain '*.txt' --sign "$work/update.key" "$rel" "$work/pub" >/dev/null
cp -r "$work/pub" "$work/pub1"
printf 'two' > "$rel/a.txt"; rm "$rel/old.bin"; head -c 600000 /dev/urandom > "$rel/new.bin"
"$publish" --release-version 2 --serial 2 --previous "$work/pub" --plain '*.txt' --sign "$work/update.key" \
  "$rel" "$work/pub" >/dev/null
[ -f "$work/pub/releases/000002.update3.dat" ] || fail "the publisher kept no releases/ history"
a1=$(served "$work/pub1" a.txt) old1=$(served "$work/pub1" old.bin) new2=$(served "$work/pub" new.bin)

for m in stale empty cut; do mkdir -p "$work/$m"; done
for m in stale cut; do cp "$work/pub1"/{update3.dat,update3.dat.minisig,"$a1","$old1"} "$work/$m/"; done
rm "$work/stale/$a1"
start_mirror stale "$work/stale" update "$pw" --writable; p_stale=$port
start_mirror empty "$work/empty" update "$pw" --writable; p_empty=$port
start_mirror cut "$work/cut" update "$pw" --writable --die-after-upload 300000
printf 'machine 127.0.0.1 login update password %s\n' "$pw" > "$work/netrc"
mirrors() {  # the empty mirror's password comes from the netrc file
  printf '# test mirrors\nftp://update:%s@127.0.0.1:%s/\n\nftp://update@127.0.0.1:%s\nftp://update:%s@127.0.0.1:%s/\n' \
    "$pw" "$p_stale" "$p_empty" "$pw" "$1" > "$work/mirrors"
}
mirrors "$port"
run() { "$publish" "$@" --mirrors "$work/mirrors" --netrc "$work/netrc" --json > "$work/out.json" 2> "$work/err"; }

# Before: the stale mirror lacks a file, the empty one has no list.
run status --key "$work/update.pub" && fail "status passed mirrors that are not all whole"
check "$work/out.json" "assert not d['ok'] and d['newest']['serial'] == 1
s, e, c = m; assert s['missing'] == ['$a1'] and s['serial'] == 1 and not s['whole'], s
assert e['answers'] and not e['has_list'] and c['newest'] and c['whole'] and c['signature_checked'], m"

# A push that the third mirror does not survive: the others get the release,
# the cut-off one still serves its old release whole.
run push "$work/pub" && fail "push passed with a mirror that died"
check "$work/out.json" "assert not d['ok'] and m[0]['ok'] and m[1]['ok'] and not m[2]['ok'], m
assert m[1]['files_uploaded'] == 2 and m[2]['step'] == 'uploading $new2' and m[2]['failure'], m"
same_release "$work/cut" "$work/pub1" || fail "the cut-off mirror's old release was touched"
same_release "$work/stale" "$work/pub" && same_release "$work/empty" "$work/pub" || fail "a mirror lacks the release"
part=$(stat -c %s "$work/cut/$new2")
[ "$part" -lt "$(stat -c %s "$work/pub/$new2")" ] || fail "the mirror died after the whole file"
! ls -a "$work"/{stale,empty} | grep -q '^\.skiff-upload-' || fail "temporaries left on the mirrors"

# The same mirror back: the next push appends the rest of the cut-off file.
start_mirror cut "$work/cut" update "$pw" --writable --log "$work/cut.log"
mirrors "$port"
# Held against the release about to ship, status names the mirror without
# it, the cut-off file and a temporary a push left; no key, so no signature verdict.
touch "$work/cut/.skiff-upload-0123-update3.dat"
rc=0; "$publish" status "$work/pub" --mirrors "$work/mirrors" --netrc "$work/netrc" > "$work/status" || rc=$?
[ $rc -eq 1 ] || fail "status OUT_DIR ended with $rc after a cut-off push: $(cat "$work/status")"
for line in "127.0.0.1:$port/: does not serve the release of $work/pub" "127.0.0.1:$port/: partial: $new2 has $part bytes" \
  "127.0.0.1:$port/: .skiff-upload-0123-update3.dat is a temporary" "signature cannot be verified without --key" \
  "2 of 3 mirrors serve it whole"; do
  grep -qF "$line" "$work/status" || fail "status OUT_DIR does not say '$line': $(cat "$work/status")"
done
rm "$work/cut/.skiff-upload-0123-update3.dat"
run push "$work/pub" || fail "the second push failed: $(cat "$work/out.json" "$work/err")"
check "$work/out.json" "assert d['ok'] and m[0]['already_current'] and m[1]['already_current'], m
assert 0 < m[2]['bytes_uploaded'] < $(stat -c %s "$work/pub/$new2"), m[2]"
grep -q "^APPE $new2" "$work/cut.log" || fail "the cut-off upload was sent again whole"
grep -q '^RNFR .skiff-upload-' "$work/cut.log" || fail "the list was not renamed into place"
same_release "$work/cut" "$work/pub" || fail "the completed mirror does not serve the release"
run status --key "$work/update.pub" || fail "status after the push: $(cat "$work/out.json")"
check "$work/out.json" "assert d['ok'] and all(x['newest'] and x['whole'] and x['serial'] == 2 for x in m), m"
run status "$work/pub" --key "$work/update.pub" || fail "status OUT_DIR after the push: $(cat "$work/out.json")"
check "$work/out.json" "assert d['release']['signature_checked'] and all(x['serves_release'] for x in m), d"

# Pruning the mirrors: only release 1's own files go, and our temporaries;
# a file we never published stays.
touch "$work/stale/other.txt" "$work/stale/.skiff-upload-0123-update3.dat"
run push "$work/pub" --prune 1 || fail "push --prune: $(cat "$work/out.json" "$work/err")"
check "$work/out.json" "assert [x['pruned'] for x in m] == [2, 0, 2], m"
expected=$( (cd "$work/pub" && printf '%s\n' update3.dat update3.dat.minisig other.txt \
  $(awk 'NR > 1 {print $2}' update3.dat)) | sort)
[ "$(ls -A "$work/stale" | sort)" = "$expected" ] || fail "pruned wrongly: $(ls -A "$work/stale")"
same_release "$work/stale" "$work/pub" || fail "pruning broke the release"

# Pruning the published folder: the same rule; the bookkeeping stays.
"$publish" prune "$work/pub" --keep 1 --dry-run > "$work/dry" && [ -f "$work/pub/$old1" ] || fail "the dry run removed"
"$publish" prune "$work/pub" --keep 1 --json > "$work/out.json" || fail "prune failed"
check "$work/out.json" "assert d['lists'] == ['000001.update3.dat'] and sorted(d['files']) == sorted(['$a1', '$old1'])"
[ -f "$work/pub/release.sums" ] && [ ! -e "$work/pub/releases/000001.update3.dat" ] || fail "prune took the wrong files"
"$publish" verify --key "$work/update.pub" "$work/pub" >/dev/null || fail "the pruned folder does not verify"

# Never a password in what the tool says; a bad mirrors file is named by line.
! grep -rq "$pw" "$work/out.json" "$work/err" "$work/dry" || fail "a password was printed"
printf 'ftp://update@127.0.0.1:21/\nftp://%s@/nohost\n' "$pw" > "$work/bad"
"$publish" status --mirrors "$work/bad" > /dev/null 2> "$work/err" && fail "a bad mirrors file was taken"
grep -q "bad:2: " "$work/err" && ! grep -q "$pw" "$work/err" || fail "bad line message: $(cat "$work/err")"
rc=0; "$publish" push "$work/pub" 2> "$work/err" || rc=$?
[ $rc -eq 2 ] && grep -q -- "--mirrors" "$work/err" || fail "push without --mirrors ended with $rc"
echo "push, status and prune: mirrors brought in step, a cut-off push left the old release whole"
