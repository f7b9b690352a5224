#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the fuzz preset), replays each seed corpus of
# tests/fuzz/corpus/, then fuzzes each target for 20 seconds. Prints CTest's
# summary line, each target's executions per second, and where the input of a
# crash was kept (build/fuzz/artifacts/<target>/crash-*). Called by
# scripts/test.sh; installs clang (as root) only when it is missing.
set -uo pipefail
cd "$(dirname "$0")/.."

missing=()
for p in clang libclang-rt-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" \
    >/dev/null || { echo "apt-get install failed"; exit 1; }
fi

jobs=$(nproc)
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
cmake --preset fuzz >"$log/configure.txt" 2>&1 || { cat "$log/configure.txt"; exit 1; }
cmake --build --preset fuzz -j "$jobs" >"$log/build.txt" 2>&1 || { tail -50 "$log/build.txt"; exit 1; }

artifacts=build/fuzz/artifacts
find "$artifacts" -type f -delete 2>/dev/null
ctest --preset fuzz -j "$jobs"
status=$?

echo "Executions per second:"
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
     /^stat::average_exec_per_sec:/ { printf "  %-20s %s\n", name, $2 }' \
  build/fuzz/Testing/Temporary/LastTest.log
crashes=$(find "$artifacts" -type f 2>/dev/null)
if [ -n "$crashes" ]; then
  echo "Inputs that made a target fail, kept for replay (build/fuzz/fuzz_<target> FILE):"
  sed 's/^/  /' <<<"$crashes"
  status=1
fi
exit $status
