#!/bin/sh
# Removes @NAME@ for you: its folder, with the client that the updater
# installed there, and its menu entry.
set -eu
name='@NAME@'
data=${XDG_DATA_HOME:-$HOME/.local/share}
dest=$data/$name
menu=$data/applications/skiff-$name.desktop
# Only a folder that this kit installed is removed.
if [ ! -f "$dest/skiff" ] || [ ! -f "$dest/isp0.dat" ]; then
  echo "$name is not installed in $dest" >&2
  rm -f "$menu"
  exit 1
fi
rm -f "$menu"
rm -rf "$dest"
echo "$name is removed"
