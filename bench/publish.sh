#!/usr/bin/env bash
# Publishing 2,000 files of 500 MiB in all, beside tar czf of the same folder.
set -euo pipefail
cd "$(dirname "$0")/.."
w=$(mktemp -d /tmp/skiff-bench-XXXXXX)
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/rel/data"
python3 - "$w/rel" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
# Mixed content: half random (incompressible), half text-like.
for i in range(2000):
    size = 262144
    d = os.path.join(root, "data" if i % 4 == 0 else "files", "f%02d" % (i % 20))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%04d.bin" % i), "wb") as f:
        if i % 2:
            f.write(os.urandom(size))
        else:
            words = [b"alpha", b"beta", b"gamma", b"delta", b"update", b"client", b"%d" % i]
            f.write(b" ".join(random.choice(words) for _ in range(size // 5))[:size])
PY
sync
t0=$(date +%s%N); build/src/skiff-publish "$w/rel" "$w/out" --release-version 1 --pack data=data >/dev/null; t1=$(date +%s%N)
tar czf "$w/rel.tgz" -C "$w" rel; t2=$(date +%s%N)
p=$(( (t1 - t0) / 1000000 )) t=$(( (t2 - t1) / 1000000 ))
echo "publish 2000 files / 500 MiB: ${p} ms; tar czf ${t} ms; ratio $(awk "BEGIN{printf \"%.2f\", $p/$t}") (target <= 1.3)"
