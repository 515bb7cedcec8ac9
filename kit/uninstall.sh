#!/bin/sh
# Removes @NAME@ for you: its folder, with the client that the updater
# installed there, and its menu entry.
set -eu
name='@NAME@' title='@TITLE@'
# Run from the folder install.sh made, it removes that one; from the kit,
# the one install.sh would make now.
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$here/.menu-entry" ] && [ -f "$here/skiff" ]; then
  dest=$here
  menu=$(cat "$here/.menu-entry")
else
  data=${XDG_DATA_HOME:-$HOME/.local/share}
  dest=$data/$name
  menu=$data/applications/skiff-$name.desktop
fi
# Only a folder that this kit installed is removed.
if [ ! -f "$dest/skiff" ] || [ ! -f "$dest/isp0.dat" ]; then
  echo "$title is not installed in $dest" >&2
  rm -f "$menu"
  exit 1
fi
case $menu in */applications/skiff-"$name".desktop) rm -f "$menu" ;; esac
rm -rf "$dest"
echo "$title is removed"
