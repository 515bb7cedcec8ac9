#!/bin/sh
# Installs @NAME@ for you, without root: copies this folder to your data
# folder, adds a menu entry and starts the updater, which brings in the whole
# client on its first run.
#   ./install.sh [--no-start]
set -eu
name='@NAME@'
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

mkdir -p "$dest" "$data/applications"
# The updater's own files. What it installed, and the server chosen, stay
# when the kit is installed again.
cp -f "$kit/skiff" "$kit/isp0.dat" "$kit/icon.png" "$kit/uninstall.sh" "$dest/"
if [ -f "$kit/update.pub" ]; then cp -f "$kit/update.pub" "$dest/"; fi
cp -Rf "$kit/upimg" "$dest/"

# Exec's quoted argument escapes ", `, $ and \ with a backslash, which the
# file's own string syntax doubles.
exec_path=$(printf '%s' "$dest/skiff" | sed 's/[\\"`$]/\\\\&/g')
tmp=$menu.tmp.$$
cat > "$tmp" <<DESKTOP
[Desktop Entry]
Type=Application
Name=$name
Comment=Updates $name and starts it
Exec="$exec_path"
Path=$dest
Icon=$dest/icon.png
Terminal=false
StartupWMClass=skiff
DESKTOP
mv -f "$tmp" "$menu"
echo "$name is installed in $dest; the menu entry is $menu"
echo "To remove it: $dest/uninstall.sh"
if [ "$start" = 1 ]; then exec "$dest/skiff"; fi
