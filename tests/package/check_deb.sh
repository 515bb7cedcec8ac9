#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from this build,
# unpacked into a temporary root, its programs run from there, its man pages
# rendered, its declared dependencies read, and installed and removed by dpkg
# in a root of its own (the machine's own packages are never touched).
#   check_deb.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d /tmp/skiff-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/skiff_*.deb)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"

root=$work/root
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/skiff-publish" --version | grep -qx "skiff-publish $version" || fail "skiff-publish --version"
"$root/usr/bin/skiff-publish" --version | grep -q "MIT licence" || fail "skiff-publish --version names no licence"
for doc in copyright README.md LICENSE changelog.gz; do
  [ -f "$root/usr/share/doc/skiff/$doc" ] || fail "no /usr/share/doc/skiff/$doc"
done
grep -q "^License: LGPL-2+ with FLTK static linking exception" "$root/usr/share/doc/skiff/copyright" ||
  fail "the copyright file does not name FLTK's licence"
# lintian, where installed: no error, no warning but those the package explains.
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian"; }
else
  echo "NOTE: lintian is not installed; the package was not linted"
fi
env -u DISPLAY "$root/usr/lib/skiff/skiff" --version | grep -qx "skiff $version" || fail "skiff --version without a display"
[ ! -e "$root/usr/bin/skiff" ] || fail "the updater must not be on the PATH: it runs from the client's folder"
for page in man1/skiff.1 man1/skiff-publish.1 man5/skiff-files.5; do
  f=$root/usr/share/man/$page.gz
  [ -f "$f" ] || { fail "no $page"; continue; }
  out=$(MANWIDTH=80 LANG=C.UTF-8 man --warnings -l "$f" 2>"$work/man.err") || fail "man -l $page failed"
  [ ! -s "$work/man.err" ] || fail "$page: $(cat "$work/man.err")"
  grep -q "^NAME" <<<"$out" || fail "$page does not render"
done
depends=$(dpkg-deb -f "$deb" Depends)
# The updater carries its libraries in itself: on a player's desktop it
# needs X, Xft, fontconfig and glibc, nothing a distribution may lack.
needed=$(objdump -p "$root/usr/lib/skiff/skiff" | awk '/NEEDED/ {print $2}' |
  grep -vE '^lib(X11|Xext|Xinerama|Xfixes|Xcursor|Xft|Xrender|fontconfig|freetype|gcc_s|m|c)\.so\.[0-9]+$|^ld-linux' || true)
[ -z "$needed" ] || fail "the updater needs libraries a desktop may lack: $needed"
# ... and no glibc newer than 2.34 (Debian 12, Ubuntu 22.04, Fedora 35, Arch).
newest=$(objdump -T "$root/usr/lib/skiff/skiff" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
[ "$(printf '%s\nGLIBC_2.34\n' "$newest" | sort -V | tail -1)" = GLIBC_2.34 ] ||
  fail "the updater asks for $newest: $(objdump -T "$root/usr/lib/skiff/skiff" | grep -E 'GLIBC_2\.(3[5-9]|[4-9])' | awk '{print $NF}' | tr '\n' ' ')"
for p in libfltk1.3 zlib1g libsodium23 libcurl4 libssl3; do
  grep -qE "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p: $depends"
done

# The installed layout is enough to make a starter kit.
printf 'North 127.0.0.1 21 5000 update\n' > "$work/servers"
"$root/usr/bin/skiff-publish" kit --servers "$work/servers" --name pkgtest "$work/kit.tar.gz" >/dev/null ||
  fail "kit from the installed layout"
tar -tzf "$work/kit.tar.gz" > "$work/kit.list"
grep -qx 'pkgtest/skiff' "$work/kit.list" || fail "the kit lacks the updater"
grep -qx 'pkgtest/upimg/0c.jpg' "$work/kit.list" || fail "the kit lacks the skins"
grep -qx 'pkgtest/LICENSE.txt' "$work/kit.list" || fail "the kit lacks the licence notices"

# dpkg installs and removes it, leaving no file behind.
admin=$work/dpkg/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" && : > "$admin/status"
dpkg_in=(dpkg --root="$work/dpkg" --log=/dev/null --force-depends --force-not-root --force-script-chrootless)
"${dpkg_in[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
[ -x "$work/dpkg/usr/bin/skiff-publish" ] || fail "dpkg -i did not install skiff-publish"
"${dpkg_in[@]}" -r skiff >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
left=$(find "$work/dpkg/usr" -type f 2>/dev/null || true)
[ -z "$left" ] || fail "dpkg -r left: $left"

[ "$failures" -eq 0 ] || exit 1
echo "package: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB; runs, renders, depends on $depends"
