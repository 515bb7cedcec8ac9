#!/bin/sh
# Installs @NAME@ for you, without root: copies this folder to your data
# folder, adds a menu entry and starts the updater, which brings in the whole
# client on its first run.
#   ./install.sh [--no-start]
set -eu
name='@NAME@'
title='@TITLE@' title_zh_tw='@TITLE_ZH_TW@' title_zh_cn='@TITLE_ZH_CN@'
# The updater's own options in the menu entry (--unattended: no click).
args='@ARGS@'
kit=$(cd "$(dirname "$0")" && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}
dest=$data/$name
menu=$data/applications/skiff-$name.desktop
start=1
case "${1:-}" in
  --no-start) start=0 ;;
  "") ;;
  *) echo "usage: ./install.sh [--no-start]" >&2; exit 2 ;;
esac

# The updater carries its libraries; the few it takes from the system are on
# every X11 desktop. Where one is missing, say which and how to get it, and
# install nothing.
start_error=$(mktemp)
if ! "$kit/skiff" --version >/dev/null 2>"$start_error"; then
  missing=$( { ldd "$kit/skiff" 2>/dev/null | sed -n 's/^[[:space:]]*\([^ ]*\) => not found.*/\1/p'
               sed -n 's/.*error while loading shared libraries: \([^:]*\):.*/\1/p' "$start_error"; } | sed "s|.*/||" | sort -u)
  echo "The updater of $name cannot start on this system:" >&2
  sed 's/^/  /' "$start_error" >&2
  rm -f "$start_error"
  if [ -n "$missing" ]; then
    echo "It needs these libraries (package on Debian/Ubuntu, Fedora, Arch):" >&2
    for lib in $missing; do
      lib=${lib##*/}
      case $lib in
        libX11.so*) p='libx11-6, libX11, libx11' ;;
        libXext.so*) p='libxext6, libXext, libxext' ;;
        libXinerama.so*) p='libxinerama1, libXinerama, libxinerama' ;;
        libXfixes.so*) p='libxfixes3, libXfixes, libxfixes' ;;
        libXcursor.so*) p='libxcursor1, libXcursor, libxcursor' ;;
        libXft.so*) p='libxft2, libXft, libxft' ;;
        libXrender.so*) p='libxrender1, libXrender, libxrender' ;;
        libfontconfig.so*) p='libfontconfig1, fontconfig, fontconfig' ;;
        libfreetype.so*) p='libfreetype6, freetype, freetype2' ;;
        libgcc_s.so*) p='libgcc-s1, libgcc, gcc-libs' ;;
        *) p='see your distribution' ;;
      esac
      echo "  $lib: $p" >&2
    done
  fi
  echo "Nothing was installed." >&2
  exit 1
fi
rm -f "$start_error"

mkdir -p "$dest" "$data/applications"
# Not writable by others whatever the umask: the updater here runs as you.
chmod 0755 "$dest"
# The updater's own files. What it installed, and the server chosen, stay
# when the kit is installed again.
cp -f "$kit/skiff" "$kit/isp0.dat" "$kit/icon.png" "$kit/uninstall.sh" "$dest/"
if [ -f "$kit/update.pub" ]; then cp -f "$kit/update.pub" "$dest/"; fi
# The serial of the release the kit was made with: older lists are refused
# from the first start. A folder that has seen a newer one keeps its own.
kit_serial=$({ tr -dc 0-9 < "$kit/update.serial"; } 2>/dev/null || true)
have_serial=$({ tr -dc 0-9 < "$dest/update.serial"; } 2>/dev/null || true)
if [ -n "$kit_serial" ] && { [ -z "$have_serial" ] || [ "$kit_serial" -gt "$have_serial" ]; }; then
  cp -f "$kit/update.serial" "$dest/"
fi
cp -Rf "$kit/upimg" "$dest/"

# Desktop entry values escape a backslash as \\; Exec's quoted argument
# escapes ", `, $ and \ with a backslash (so a backslash becomes four), and a
# literal % is %%.
string_value() { printf '%s' "$1" | sed 's/\\/\\\\/g'; }
exec_path=$(printf '%s' "$dest/skiff" | sed -e 's/\\/\\\\\\\\/g' -e 's/["`$]/\\\\&/g' -e 's/%/%%/g')
path_value=$(string_value "$dest")
tmp=$menu.tmp.$$
{
  printf '[Desktop Entry]\nType=Application\nName=%s\n' "$(string_value "$title")"
  [ -z "$title_zh_tw" ] || printf 'Name[zh_TW]=%s\n' "$(string_value "$title_zh_tw")"
  [ -z "$title_zh_cn" ] || printf 'Name[zh_CN]=%s\n' "$(string_value "$title_zh_cn")"
  printf 'Comment=Updates %s and starts it\n' "$(string_value "$title")"
  printf 'Exec="%s"%s\nPath=%s\nIcon=%s/icon.png\nTerminal=false\n' "$exec_path" "${args:+ $args}" "$path_value" "$path_value"
  # The updater's window class is skiff- and its folder's name: each game
  # has its own place in the dock.
  printf 'StartupWMClass=skiff-%s\n' "$name"
} > "$tmp"
mv -f "$tmp" "$menu"
# uninstall.sh finds the menu entry here, whatever XDG_DATA_HOME says then.
printf '%s\n' "$menu" > "$dest/.menu-entry"
echo "$title is installed in $dest; the menu entry is $menu"
echo "To remove it: $dest/uninstall.sh"
if [ "$start" = 1 ]; then exec "$dest/skiff" ${args:+"$args"}; fi
