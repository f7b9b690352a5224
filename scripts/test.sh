#!/usr/bin/env bash
# Installs what is missing (Debian packages, as root), builds the Linux pieces
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs their tests,
# cross-builds the Windows pieces with mingw-w64 and runs the Windows checks
# that need no Windows (export and import tables, the release package), and
# prints one summary line for all of them.
#
#   scripts/test.sh          the above
#   scripts/test.sh --wine   also runs the Windows test programs under Wine
#
# Where the kernel runs no 32-bit programs, Wine runs under qemu's user-mode
# emulator: making its prefix takes some twenty minutes and every Windows
# process about a minute, so the Wine run is asked for, not taken by default.
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
  g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
[ "$wine" = yes ] && packages+=(wine wine32:i386)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$wine" = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "apt-get install failed"; exit 1; }
fi

jobs=$(nproc)
log=$(mktemp -d)
status=0
started=$SECONDS

echo "== Linux (sanitizers)"
cmake --preset asan >"$log/asan-configure.txt" 2>&1 || { cat "$log/asan-configure.txt"; exit 1; }
cmake --build --preset asan -j "$jobs" >"$log/asan-build.txt" 2>&1 || { tail -50 "$log/asan-build.txt"; exit 1; }
ctest --preset asan -j "$jobs" 2>&1 | tee "$log/asan-tests.txt" || status=1
echo "Linux part: $((SECONDS - started)) s"

echo "== Windows (cross-built)"
windows_started=$SECONDS
cmake --preset windows >"$log/win-configure.txt" 2>&1 || { cat "$log/win-configure.txt"; exit 1; }
cmake --build --preset windows -j "$jobs" >"$log/win-build.txt" 2>&1 || { tail -50 "$log/win-build.txt"; exit 1; }
if [ "$wine" = yes ]; then
  # Wine's loader for 32-bit Windows programs is itself a 32-bit Linux program.
  # Where the kernel runs none (IA-32 emulation switched off, as on some virtual
  # machines), qemu's user-mode emulator runs them, registered with binfmt_misc.
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "32-bit Linux programs do not run here: running Wine through qemu-i386 (slow)"
    if ! dpkg -s qemu-user-static >/dev/null 2>&1; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user-static \
        >/dev/null || { echo "apt-get install qemu-user-static failed"; exit 1; }
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/qemu-i386" ]; then
      magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
      mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
      echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$binfmt/register"
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "Wine does not start"; exit 1; }
  fi
  # The tests run Wine with this prefix themselves (CMAKE_CROSSCOMPILING_EMULATOR);
  # it is made once here so that no test pays for it.
  export WINEDEBUG=-all
  export WINEPREFIX="$root/build/windows/wineprefix"
  mkdir -p "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w 2>/dev/null || true
  ctest --preset windows 2>&1 | tee "$log/win-tests.txt" || status=1
  wineserver -k 2>/dev/null || true
else
  ctest --preset windows -LE wine 2>&1 | tee "$log/win-tests.txt" || status=1
fi
echo "Windows part: $((SECONDS - windows_started)) s"

echo "== Fuzzing"
bash scripts/fuzz.sh 2>&1 | tee "$log/fuzz-tests.txt" || status=1

# One line for both runs, from CTest's own counts.
passed=0
failed=0
for f in "$log/asan-tests.txt" "$log/win-tests.txt" "$log/fuzz-tests.txt"; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$f" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    status=1
  fi
done
rm -rf "$log"
echo
echo "Total time: $((SECONDS - started)) s"
echo "Tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
