#!/usr/bin/env bash
# Installs what is missing (Debian packages, as root), builds the Linux pieces
# with AddressSanitizer and UndefinedBehaviorSanitizer and the Windows pieces
# with mingw-w64, runs every test (the Windows ones under Wine) and prints one
# summary line for all of them.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libedit-dev clang-format zip unzip
  g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "apt-get install failed"; exit 1; }
fi

jobs=$(nproc)
log=$(mktemp -d)
status=0

echo "== Linux (sanitizers)"
cmake --preset asan >"$log/asan-configure.txt" 2>&1 || { cat "$log/asan-configure.txt"; exit 1; }
cmake --build --preset asan -j "$jobs" >"$log/asan-build.txt" 2>&1 || { tail -50 "$log/asan-build.txt"; exit 1; }
ctest --preset asan -j "$jobs" 2>&1 | tee "$log/asan-tests.txt" || status=1

echo "== Windows (under Wine)"
export WINEDEBUG=-all
export WINEPREFIX="$root/build/windows/wineprefix"
cmake --preset windows >"$log/win-configure.txt" 2>&1 || { cat "$log/win-configure.txt"; exit 1; }
cmake --build --preset windows -j "$jobs" >"$log/win-build.txt" 2>&1 || { tail -50 "$log/win-build.txt"; exit 1; }
mkdir -p "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver -w 2>/dev/null || true
ctest --preset windows 2>&1 | tee "$log/win-tests.txt" || status=1
wineserver -k 2>/dev/null || true

# One line for both runs, from CTest's own counts.
passed=0
failed=0
for f in "$log/asan-tests.txt" "$log/win-tests.txt"; do
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
echo "Tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
