#!/usr/bin/env bash
# Fetching over every mirror at once, driven by clicks under Xvfb, against
# three mirrors (threaded test servers) that limit each data connection:
#   one 60 MiB entry at 10 MB/s per connection: the run as the list allows
#   by default (2 sessions on each mirror), as "connections=1 mirrors=one"
#   asks (one session, as runs always were), curl's single connection, and
#   the limits the three mirrors allow with one and with two connections;
#   the same bytes published as a gzip entry (the publisher's default);
#   the same with one of the three mirrors at a tenth of the others' rate;
#   200 MiB of text as a gzip entry (about a ninth of it on the wire),
#   beside the time to fetch its .gz at the three mirrors' limit plus
#   nothing: inflating should hide behind the download;
#   1,000 changed files of 1 KiB with 10 ms added to every reply (a long
#   link): the default run beside the one-session run.
#   SKIFF_BUILD=DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bench_script=$0
. bench/updater_runs.sh

mkdir -p "$w/big" "$w/small/files" "$w/pub"
head -c $((60 << 20)) /dev/urandom > "$w/big/big.bin"
for i in $(seq 1000); do head -c 1024 /dev/urandom > "$w/small/files/f$i.bin"; done
for what in big small; do
  "$build"/src/skiff-publish "$w/$what" "$w/pub/$what" --release-version 1 --plain '*.bin' >/dev/null
  "$build"/src/skiff-publish "$w/$what" "$w/pub/$what-one" --release-version 1 --plain '*.bin' \
      --connections 1 --mirrors one >/dev/null
  for k in 2 3; do cp -al "$w/pub/$what" "$w/pub/$what$k"; cp -al "$w/pub/$what-one" "$w/pub/$what-one$k"; done
done
"$build"/src/skiff-publish "$w/big" "$w/pub/gz" --release-version 1 >/dev/null
for k in 2 3; do cp -al "$w/pub/gz" "$w/pub/gz$k"; done
for k in s1 s2 s3; do cp -al "$w/pub/big" "$w/pub/$k"; done
mkdir -p "$w/text"
make_text "$w/text/text.log" 200
"$build"/src/skiff-publish "$w/text" "$w/pub/t1" --release-version 1 >/dev/null
for k in t2 t3; do cp -al "$w/pub/t1" "$w/pub/$k"; done
sync

rate=10000000
for r in big big2 big3 big-one big-one2 big-one3 gz gz2 gz3; do serve "$r" $rate --threaded; done
serve s1 $rate --threaded; serve s2 $rate --threaded; serve s3 $((rate / 10)) --threaded
for r in t1 t2 t3; do serve "$r" $rate --threaded; done
for r in small small2 small3 small-one small-one2 small-one3; do serve "$r" --delay-ms 10; done

ratio() { awk "BEGIN{printf \"%.2f\", $1/$2}"; }
big=$(mirrors="big2 big3" run_updater big)
one=$(mirrors="big-one2 big-one3" run_updater big-one)
remote=$(awk 'NR == 2 {print $2}' "$w/pub/big/update3.dat")
t0=$(ms); curl -s "ftp://update:x@127.0.0.1:$(cut -d' ' -f2 "$w/port-big")/$remote" -o /dev/null; curl_ms=$(( $(ms) - t0 ))
bytes=$((60 << 20))
limit3=$(( bytes * 1000 / (3 * rate) )); limit6=$(( bytes * 1000 / (6 * rate) ))
echo "60 MiB, 10 MB/s per connection, 3 mirrors: skiff ${big} ms (2 sessions each), one session ${one} ms, curl ${curl_ms} ms;" \
     "limit ${limit3} ms with one connection per mirror (ratio $(ratio "$big" "$limit3"), target <= 1.2)," \
     "${limit6} ms with two (ratio $(ratio "$big" "$limit6"))"
gz=$(mirrors="gz2 gz3" run_updater gz)
echo "the same as a gzip entry: skiff ${gz} ms (ratio $(ratio "$gz" "$limit3") to the one-connection limit)"
slow=$(mirrors="s2 s3" run_updater s1)
limit_slow=$(( bytes * 1000 / (2 * 2 * rate + 2 * rate / 10) ))
echo "one of the three mirrors at 1 MB/s per connection: skiff ${slow} ms; limit ${limit_slow} ms with two connections each" \
     "(ratio $(ratio "$slow" "$limit_slow"))"
text=$(mirrors="t2 t3" run_updater t1)
gz_bytes=$(awk 'NR == 2 {print $5}' "$w/pub/t1/update3.dat")
limit_text=$(( gz_bytes * 1000 / (6 * rate) ))
echo "200 MiB of text as gzip (${gz_bytes} bytes on the wire): skiff ${text} ms; its download at the limit" \
     "${limit_text} ms (ratio $(ratio "$text" "$limit_text"))"

small=$(mirrors="small2 small3" run_updater small)
small_one=$(mirrors="small-one2 small-one3" run_updater small-one)
echo "1000 files of 1 KiB, 10 ms per reply, 3 mirrors: skiff ${small} ms, one session ${small_one} ms," \
     "ratio $(ratio "$small" "$small_one") (target <= 0.25)"
