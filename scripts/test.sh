#!/usr/bin/env bash
# Installs what is missing (Debian packages, as root) and runs every test:
#
#   Linux        the Linux pieces with AddressSanitizer and
#                UndefinedBehaviorSanitizer, and their tests;
#   Windows 64   the same tree cross-built for 64-bit Windows (windows64), each
#                of its test programs run under Wine's 64-bit loader: the Win32
#                platform layer, the module, the emulated device and merlo.exe;
#   Windows 32   the release (windows: i686 MERLO.dll, stdcall, the package),
#                its export and import tables and package checks, and under
#                32-bit Wine every 32-bit test program where the kernel runs
#                32-bit programs itself, else one scripted merlo.exe session;
#   fuzzing      scripts/fuzz.sh.
#
# and prints one summary line for all of them.
#
#   scripts/test.sh          the above
#   scripts/test.sh --wine   runs every 32-bit Windows test program, even
#                            where 32-bit Wine runs under qemu (slow)
#
# Wine's loader for 32-bit Windows programs is itself a 32-bit Linux program.
# Where the kernel runs none, qemu's user-mode emulator runs it, registered
# with binfmt_misc: about a minute for each Windows process start, which is
# why the default run then starts one 32-bit process only.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

wine=no
for arg in "$@"; do
  case "$arg" in
    --wine) wine=yes ;;
    *) echo "usage: scripts/test.sh [--wine]"; exit 2 ;;
  esac
done

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libedit-dev clang-format zip unzip
  g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "apt-get install failed"; exit 1; }
fi

jobs=$(nproc)
log=$(mktemp -d)
status=0
started=$SECONDS
not_run=()  # parts that could not run here, with the reason

# Wine: each Windows build has a prefix of its own inside its build folder.
# CTest runs every Windows program through cmake/wine.sh, and a CTest fixture
# (wine_start, wine_stop) makes the prefix, starts its wineserver and services
# and stops them again. Should this script be broken off, the servers end by
# themselves a minute after their last program, or here:
stop_wine() {
  local build
  for build in windows64 windows; do
    [ -d "$root/build/$build/wineprefix" ] &&
      WINEPREFIX=$root/build/$build/wineprefix /usr/lib/wine/wineserver -k 2>/dev/null
  done
}
trap 'stop_wine; rm -rf "$log"' EXIT

# Makes 32-bit Windows programs runnable: 32-bit Wine, and where the kernel
# runs no 32-bit Linux programs, qemu's user-mode emulator registered with
# binfmt_misc. Prints why not and fails where that cannot be done.
enable_wine32() {
  if ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    [ "$(id -u)" -eq 0 ] || { echo "wine32:i386 is missing and this is no root"; return 1; }
    echo "Installing: wine32:i386"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386 \
      >/dev/null || { echo "apt-get install wine32:i386 failed"; return 1; }
  fi
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  echo "32-bit Linux programs do not run here: running 32-bit Wine through qemu-i386"
  [ "$(id -u)" -eq 0 ] || { echo "registering qemu-i386 needs root"; return 1; }
  if ! dpkg -s qemu-user-static >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user-static \
      >/dev/null || { echo "apt-get install qemu-user-static failed"; return 1; }
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      { echo "binfmt_misc cannot be mounted here"; return 1; }
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$binfmt/register" 2>/dev/null ||
      { echo "qemu-i386 cannot be registered with binfmt_misc"; return 1; }
  fi
  /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "32-bit Wine does not start"; return 1; }
}

# Runs CTest, keeps its output for the summary and names each skipped test
# with the reason it gave.
run_ctest() {
  local name=$1 build=$2
  shift 2
  ctest "$@" 2>&1 | tee "$log/$name-tests.txt" || status=1
  awk '/^[0-9]+\/[0-9]+ Test: /{test=$3}
       /: Skipped$/{getline reason; print "  skipped " test ": " reason}' \
    "$build/Testing/Temporary/LastTest.log" 2>/dev/null
}

# Configures and builds a preset, showing the log only when that fails.
build_preset() {
  local preset=$1
  cmake --preset "$preset" >"$log/$preset-configure.txt" 2>&1 ||
    { cat "$log/$preset-configure.txt"; exit 1; }
  cmake --build --preset "$preset" -j "$jobs" >"$log/$preset-build.txt" 2>&1 ||
    { tail -50 "$log/$preset-build.txt"; exit 1; }
}

echo "== Linux (sanitizers)"
build_preset asan
run_ctest asan build/asan --preset asan -j "$jobs"
echo "Linux part: $((SECONDS - started)) s"

echo "== Windows, 64-bit: every test program under Wine's 64-bit loader"
part_started=$SECONDS
build_preset windows64
run_ctest win64 build/windows64 --preset windows64 -j "$jobs"
echo "Windows 64-bit part: $((SECONDS - part_started)) s"

echo "== Windows, 32-bit: the release"
part_started=$SECONDS
build_preset windows
run_ctest win32 build/windows --preset windows -LE wine
session_started=$SECONDS
if ! reason=$(enable_wine32 2>&1); then
  echo "$reason"
  reason=$(tail -n 1 <<<"$reason")
  what="the 32-bit Windows test programs"
  [ "$wine" = yes ] || what="the 32-bit merlo.exe session"
  echo "NOT RUN: $what: $reason"
  not_run+=("$what: $reason")
else
  [ -n "$reason" ] && echo "$reason"
  # Where qemu runs 32-bit Linux programs, this setting makes it refuse at
  # once; where the kernel runs them, the loader starts.
  if QEMU_CPU=no-such-cpu /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "32-bit Linux programs run natively: every 32-bit Windows test program runs"
    wine=yes
  fi
  if [ "$wine" = yes ]; then
    what="the 32-bit Windows test programs"
    selection=(-L wine)
  else
    what="the 32-bit merlo.exe session"
    # 32-bit Wine under qemu's user-mode emulator now and then dies of a
    # signal that qemu does not hand to Wine, at a different command each
    # time (in up to about 2 of 5 attempts on these machines): the session
    # gets up to four attempts, and the summary says how many died so.
    selection=(-L session --repeat until-pass:4)
  fi
  # The fixture makes the prefix first (wine_start).
  run_ctest win32-wine build/windows --preset windows "${selection[@]}"
  died=$(grep -c "qemu: uncaught target signal" build/windows/Testing/Temporary/LastTest.log 2>/dev/null)
  if [ "${died:-0}" -gt 0 ]; then
    echo "NOTE: $died run(s) of a 32-bit Windows program died under qemu (qemu: uncaught target signal); see above"
  fi
  echo "${what^} (prefix included): $((SECONDS - session_started)) s"
fi
echo "Windows 32-bit part: $((SECONDS - part_started)) s"

echo "== Fuzzing"
bash scripts/fuzz.sh 2>&1 | tee "$log/fuzz-tests.txt" || status=1

# One line for all runs, from CTest's own counts; a skipped test counts as
# skipped, not as passed.
passed=0
failed=0
skipped=0
for f in "$log"/*-tests.txt; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$f" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    skip=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$f")
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
  else
    status=1
  fi
done
skipped=$((skipped + ${#not_run[@]}))
echo
for part in "${not_run[@]}"; do echo "NOT RUN: $part"; done
echo "Total time: $((SECONDS - started)) s"
echo "Tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] || status=1
exit $status
