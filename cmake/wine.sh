#!/usr/bin/env bash
# Runs Windows programs under Wine for the build and its tests, in the build's
# own prefix (CMAKE_CROSSCOMPILING_EMULATOR is this script with its first two
# arguments):
#
#   wine.sh PREFIX LOADER PROGRAM [ARGUMENT...]   runs a program
#   wine.sh PREFIX LOADER --start                 only makes the prefix ready
#   wine.sh PREFIX LOADER --stop                  stops the prefix's wineserver
#
# Before a program runs, the prefix is made where there is none, and a
# wineserver is started for it with the prefix's services, all detached from
# this script's input and output: nothing a test leaves running may hold
# CTest's pipes, and CTest's test discovery may be the first to run a program
# in a cold prefix. The server ends by itself a minute after its last program
# (or at --stop). No debug channels; no offer to install Mono or Gecko.
#
# The 32-bit half of a new prefix (wineboot's 32-bit rundll32 registering
# every 32-bit library) is left out: where qemu runs 32-bit programs it would
# take minutes, and QEMU_CPU below makes qemu refuse at once (where the kernel
# runs 32-bit programs itself it has no effect). For the 32-bit loader, Wine's
# own 32-bit system files are linked into syswow64 instead, as wineboot would
# copy them.
set -u
prefix=$1 loader=$2
shift 2
bin=$(dirname "$loader")
wineserver=$bin/wineserver
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

if [ "${1-}" = --stop ]; then
  "$wineserver" -k 2>/dev/null
  exit 0
fi

fill_syswow64() {
  local pe=/usr/lib/i386-linux-gnu/wine/i386-windows sys=$prefix/drive_c/windows/syswow64
  [ -e "$sys/kernel32.dll" ] && return 0
  [ -d "$pe" ] || { echo "wine.sh: no 32-bit Wine libraries in $pe" >&2; return 1; }
  mkdir -p "$sys" && cp -sn "$pe"/* "$sys"/ && cp -sn "$prefix"/drive_c/windows/system32/*.nls "$sys"/
}

# Makes the prefix ready, one caller at a time. The lock's descriptor is kept
# from everything started here: the server would hold it for good.
ready() {
  mkdir -p "$prefix" || return 1
  exec 9>"$prefix.lock" && flock 9 || return 1
  # 0: a server was started now; 2: one runs already.
  "$wineserver" -p60 9>&- </dev/null >/dev/null 2>&1
  local started=$?
  if [ $started -ne 0 ] && [ $started -ne 2 ]; then
    echo "wine.sh: no wineserver starts for $prefix" >&2
    return 1
  fi
  if [ $started -eq 0 ] || [ ! -f "$prefix/system.reg" ]; then
    local init=--init
    [ -f "$prefix/system.reg" ] && init=
    QEMU_CPU=no-such-cpu "$bin/wine64" wineboot $init 9>&- </dev/null >"$prefix.log" 2>&1 ||
      { cat "$prefix.log" >&2; return 1; }
  fi
  if [ "$(basename "$loader")" != wine64 ]; then fill_syswow64 || return 1; fi
  exec 9>&-
}

ready || exit 1
[ "${1-}" = --start ] && exit 0
exec "$loader" "$@"
