#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every unit and end-to-end test, builds, checks and installs the Debian package, then
# fuzzes the request parser and the MCP message reader for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_SANITIZE=ON -DVELMAR_WERROR=ON >/dev/null
ninja -C "$build"

# Each layer includes only the layers below it, and each library's headers stay in the one
# folder that speaks to that library.
python3 scripts/check-layout.py

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j2

# The Debian package: built without sanitizers, checked by lintian, installed and run.
bash scripts/package-check.sh

fuzz_build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_FUZZ=ON \
  -DVELMAR_TESTS=OFF -DVELMAR_BENCH=OFF >/dev/null
ninja -C "$fuzz_build" request_fuzz mcp_fuzz
# Each target from its own seed corpus, for a bounded time.
for target in request_fuzz:corpus mcp_fuzz:corpus-mcp; do
  corpus=$(mktemp -d)
  cp "fuzz/${target#*:}"/* "$corpus"/
  "$fuzz_build"/fuzz/"${target%%:*}" -max_total_time="${VELMAR_FUZZ_SECONDS:-60}" -max_len=4096 -print_final_stats=1 \
    "$corpus" 2>&1 | tail -n 3
  rm -rf "$corpus"
done
echo "fuzzing: no crash"
