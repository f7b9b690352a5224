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
#                32-bit programs itself, else the tests labelled "release";
#   fuzzing      scripts/fuzz.sh.
#
# and prints one summary line for all of them, after the last lines of each
# failed test's output and the command that runs it alone.
#
#   scripts/test.sh          the above
#   scripts/test.sh --wine   runs every 32-bit Windows test program, even
#                            where 32-bit Wine runs under qemu (slow)
#
# Wine's loader for 32-bit Windows programs is itself a 32-bit Linux program.
# Where the kernel runs none, qemu's user-mode emulator runs it, registered
# with binfmt_misc: about a minute for each Windows process start, and now and
# then a process killed or hung by the emulator (scripts/wine32_runs.sh counts
# how often), which is why the default run then starts only the few 32-bit
# processes that run reliably there. Every test has a time limit, so that a
# hung one cannot hold the run.
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
  libcli11-dev libedit-dev clang-format zip unzip python3-pyte
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
# with the reason it gave. The first two arguments name the part and its
# build folder; the rest go to CTest and start with --preset NAME.
run_ctest() {
  local name=$1 build=$2
  shift 2
  ctest "$@" 2>&1 | tee "$log/$name-tests.txt" || status=1
  awk '/^[0-9]+\/[0-9]+ Test: /{test=$3}
       /: Skipped$/{getline reason; print "  skipped " test ": " reason}' \
    "$build/Testing/Temporary/LastTest.log" 2>/dev/null
  report_failures "$name" "$build" "$2"
}

# For each test that failed in the last run of a part: the last lines of its
# output and the one command that runs it again alone. Kept for the end of the
# run, where they are not lost among the other parts' output.
report_failures() {
  local name=$1 build=$2 preset=$3 test how pattern
  while read -r test how; do
    pattern=$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$test")
    {
      if [ "$how" = Timeout ]; then
        echo "FAILED: $test ($preset): hung, ended at its time limit; the last lines of its output:"
      else
        echo "FAILED: $test ($preset); the last lines of its output:"
      fi
      awk -v test="$test" '
        $0 ~ "^[0-9]+/[0-9]+ Testing: " && substr($0, index($0, ": ") + 2) == test {found=1; next}
        found && /^-+$/ {found=0; inside=1; n=0; next}
        inside && /^<end of output>$/ {inside=0; kept=n; for (i = 1; i <= n; i++) last[i] = line[i]; next}
        inside {line[++n] = $0}
        END {if (!kept) print "    (none)"
             start = kept > 15 ? kept - 14 : 1; for (i = start; i <= kept; i++) print "    " last[i]}' \
        "$build/Testing/Temporary/LastTest.log" 2>/dev/null
      echo "  run it alone: (cd $root && ctest --preset $preset -R '^$pattern\$' --output-on-failure)"
    } >>"$log/failures.txt"
  done < <(sed -n '/^The following tests FAILED:/,/^Errors while running CTest/p' "$log/$name-tests.txt" |
    sed -nE 's/^[[:space:]]+[0-9]+ - (.+) \(([A-Za-z ]+)\)$/\1 \2/p')
}

# Configures and builds a preset, showing the log only when that fails.
build_preset() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >"$log/$preset-configure.txt" 2>&1 ||
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
# How 32-bit Windows programs run here: natively, under qemu, or not at all.
if ! reason=$(enable_wine32 2>&1); then
  echo "$reason"
  wine32=none
  reason=$(tail -n 1 <<<"$reason")
else
  [ -n "$reason" ] && echo "$reason"
  # Where qemu runs 32-bit Linux programs, this setting makes it refuse at
  # once; where the kernel runs them, the loader starts.
  if QEMU_CPU=no-such-cpu /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "32-bit Linux programs run natively: every 32-bit Windows test program runs"
    wine32=native
  else
    wine32=qemu
  fi
fi
# A test program counts as hung after this many seconds; under qemu, where
# every 32-bit test program runs only with --wine, some take the better part
# of an hour.
limit=300
[ "$wine32" = qemu ] && [ "$wine" = yes ] && limit=3600
build_preset windows -DMERLO_WINE_TEST_TIMEOUT=$limit
run_ctest win32 build/windows --preset windows -LE 'wine|release'
wine_started=$SECONDS
if [ "$wine32" = none ]; then
  echo "NOT RUN: the 32-bit Windows test programs: $reason"
  not_run+=("the 32-bit Windows test programs: $reason")
else
  if [ "$wine32" = native ] || [ "$wine" = yes ]; then
    what="the 32-bit Windows test programs"
    selection=(-L wine)
  else
    # qemu's user-mode emulator now and then kills or hangs a 32-bit Wine
    # process that a Windows signal reaches after one of its threads ended:
    # here only the tests labelled "release" run, which draw no such signal,
    # each with one more attempt should it die all the same. The others are
    # named below with what scripts/wine32_runs.sh measured of them.
    what="the 32-bit release tests"
    selection=(-L release --repeat until-pass:2)
    while IFS='|' read -r tests why; do
      echo "NOT RUN: $tests (32-bit, under qemu): $why"
      not_run+=("$tests (32-bit, under qemu): $why")
    done <<'EOT'
merlo_module_tests|whole, it died in 5 of 5 runs: its three cases that ask for a volume's serial number draw that signal, as the smallest program asking the same after a thread ended crashed or failed in 7 of 7 runs (merlo_release_module_tests runs the rest)
merlo_integration_tests|most of its cases start merlo.exe or a second process: hours at a minute a process start
merlo_windows_tests|clean in 5 of 5 runs, too few to count as reliable
merlo_windows_names_session, merlo_windows_system_device|two and three merlo.exe runs: the names session was clean in 3 of 3 runs, too few to count as reliable
merlo_windows_console_session|Wine's console under qemu was not measured
EOT
  fi
  # The fixture makes the prefix first (wine_start).
  run_ctest win32-wine build/windows --preset windows "${selection[@]}"
  console=$log/win32-wine-tests.txt
  died=$(grep -c "qemu: uncaught target signal" build/windows/Testing/Temporary/LastTest.log 2>/dev/null)
  hung=$(grep -c '\*\*\*Timeout' "$console")
  if [ "${died:-0}" -gt 0 ] || [ "${hung:-0}" -gt 0 ]; then
    echo "NOTE: of the 32-bit Windows test runs, ${died:-0} died under qemu (qemu: uncaught target signal) and ${hung:-0} hung (ended at their time limit); see above"
  fi
  echo "${what^} (prefix included): $((SECONDS - wine_started)) s"
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
[ -s "$log/failures.txt" ] && cat "$log/failures.txt" && echo
for part in "${not_run[@]}"; do echo "NOT RUN: $part"; done
echo "Total time: $((SECONDS - started)) s"
echo "Tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] || status=1
exit $status
