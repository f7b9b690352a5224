#!/usr/bin/env bash
# Runs 32-bit Windows programs of the release build (build/windows, made by
# `cmake --build --preset windows`) again and again under 32-bit Wine in the
# build's prefix, and counts how each run ended: clean, crashed (a signal
# killed it, as qemu's "uncaught target signal"), hung (no end within its time
# limit) or failed (it ended, but not as it should). Where the kernel runs no
# 32-bit programs, 32-bit Wine runs under qemu's user-mode emulator (see
# scripts/test.sh), and this tells what runs reliably there.
#
#   scripts/wine32_runs.sh [-n RUNS] [-j JOBS] [PROGRAM...]
#
# RUNS defaults to 20 and JOBS (runs at once) to 2. The programs:
#
#   minimal                 the smallest console program (merlo_minimal_program)
#   minimal-thread          the same, after a thread of its own has ended
#   minimal-volume          the same, after 20 questions for a folder's volume
#   minimal-thread-volume   both: the volume questions after the thread ended
#   version                 merlo.exe --version
#   ls, cd, get             merlo.exe with one command on the emulated device
#   unit                    the 32-bit unit tests
#   release                 the release's test where 32-bit Wine runs under
#                           qemu (CTest's label "release")
#   session                 the scripted merlo.exe session of the tests
#
# With no program named, all of them. Prints one line per run as it ends, then
# the table; each run's files stay in build/windows/wine32_runs/ unless clean.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/windows
runs=20
jobs=2
while getopts n:j: option; do
  case $option in
    n) runs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '/^#   scripts/p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
all=(minimal minimal-thread minimal-volume minimal-thread-volume version ls cd get unit release
  session)
programs=("${@:-${all[@]}}")
[ -x "$build/merlo.exe" ] || { echo "no release build in $build"; exit 2; }
work=$build/wine32_runs
mkdir -p "$work"
wine=("$root/cmake/wine.sh" "$build/wineprefix" /usr/lib/wine/wine)
"${wine[@]}" --start || exit 1

# One run: prints "PROGRAM N RESULT SECONDS".
one_run() {
  local program=$1 n=$2
  local dir=$work/$program-$n
  rm -rf "$dir"
  mkdir -p "$dir/device/Docs" "$dir/pc"
  echo "a report" >"$dir/device/Docs/report.txt"
  local device="Z:${dir//\//\\}\\device" pc="Z:${dir//\//\\}\\pc"
  local limit=300 expect= command
  case $program in
    minimal) command=("${wine[@]}" "$build/merlo_minimal_program.exe") ;;
    minimal-thread) command=("${wine[@]}" "$build/merlo_minimal_program.exe" thread) ;;
    minimal-volume) command=("${wine[@]}" "$build/merlo_minimal_program.exe" volume) ;;
    minimal-thread-volume)
      command=("${wine[@]}" "$build/merlo_minimal_program.exe" thread volume) ;;
    version) command=("${wine[@]}" "$build/merlo.exe" --version) expect=merlo ;;
    ls) command=("${wine[@]}" "$build/merlo.exe" --device "$device" ls) expect=Docs ;;
    cd) command=("${wine[@]}" "$build/merlo.exe" --device "$device" "cd Docs") ;;
    get)
      command=("${wine[@]}" "$build/merlo.exe" --device "$device" "get Docs\\report.txt \"$pc\"")
      expect="copied 1 of 1" ;;
    unit) command=("${wine[@]}" "$build/merlo_unit_tests.exe" --gtest_brief=1) limit=900 ;;
    release) command=(bash -c "$release_commands") limit=600 ;;
    session)
      command=(cmake "-DRUN=$(IFS=';'; echo "${wine[*]}")" "-DMERLO_EXE=$build/merlo.exe"
        "-DWORK_DIR=$dir/session" -P "$root/tests/windows/merlo_session.cmake")
      limit=600 ;;
    *) echo "$program $n unknown 0"; return ;;
  esac
  local started=$SECONDS result
  (cd "$dir" && timeout -k 10 "$limit" "${command[@]}" >"$dir/out.txt" 2>"$dir/err.txt" </dev/null)
  local status=$?
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    result=hung
  elif grep -q "uncaught target signal" "$dir/out.txt" "$dir/err.txt" || [ $status -gt 128 ]; then
    result=crashed
  elif [ $status -eq 0 ] && { [ -z "$expect" ] || grep -q "$expect" "$dir/out.txt"; }; then
    result=clean
  else
    result=failed
  fi
  [ "$result" = clean ] && rm -rf "$dir"
  echo "$program $n $result $((SECONDS - started))"
}
# The commands of the tests labelled "release", one after the other, without
# the fixture's start and stop of the prefix's server.
release_commands=$(ctest --test-dir "$build" -L release -N -V |
  sed -n 's/^[0-9]*: Test command: //p' | grep -v -e '"--start"$' -e '"--stop"$' | sed 's/$/ \&\&/')
release_commands="${release_commands} true"
export -f one_run
export work build root release_commands
# The array as bash declares it, so that paths with blanks stay whole.
export wine_declared=$(declare -p wine)

lines=$work/lines.txt
: >"$lines"
for n in $(seq 1 "$runs"); do
  for program in "${programs[@]}"; do echo "$program $n"; done
done | xargs -P "$jobs" -L 1 bash -c 'eval "$wine_declared"; one_run "$@"' _ | tee "$lines"

echo
printf '%-22s %5s %6s %8s %5s %7s\n' program runs clean crashed hung failed
for program in "${programs[@]}"; do
  awk -v p="$program" '$1 == p {n++; c[$3]++}
    END {printf "%-22s %5d %6d %8d %5d %7d\n", p, n, c["clean"], c["crashed"], c["hung"], c["failed"]}' \
    "$lines"
done
