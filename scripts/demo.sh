#!/bin/sh
# Builds merlo, the module and the emulated device library, prepares a fresh
# copy of the demo device and starts merlo on it. Arguments go to merlo:
#   scripts/demo.sh            an interactive shell on the demo device
#   scripts/demo.sh ls         one command
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

# Build tools and libraries, installed only when missing (needs root).
missing=""
for package in cmake ninja-build g++ libcli11-dev libedit-dev googletest libgtest-dev; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "demo: installing$missing" >&2
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -q && apt-get install -y -q $missing
  else
    sudo apt-get update -q && sudo apt-get install -y -q $missing
  fi
fi

cmake --preset native >/dev/null
cmake --build --preset native --target merlo MERLO rapi

# A fresh working copy, so that the shell never changes the committed tree.
device="$repo/build/demo-device"
rm -rf "$device"
cp -R "$repo/demo/device" "$device"
mkdir -p "$device/Temp"
# Folders after their contents would not matter: setting a file's time leaves
# its folder's time alone.
grep -v '^#' "$repo/demo/dates.txt" | while read -r day time path; do
  [ -n "$day" ] || continue
  touch -d "$day $time" "$device/$path"
done
touch -d "2009-03-01 12:00" "$device/Temp"

exec "$repo/build/native/merlo" --device "$device" "$@"
