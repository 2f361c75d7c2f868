#!/usr/bin/env bash
# Builds volpack three times (a normal build, one with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a 64-bit Windows cross build run under Wine)
# and runs the whole test suite in each; fuzzes the image reader for a minute.
# Installs the build tools and the image readers the end-to-end tests use when
# they are missing (Debian/Ubuntu).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVOLPACK_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

# The image reader and volume checker against a minute of fuzzing from the
# committed seeds (in a scratch copy, so the seeds stay as committed).
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLPACK_FUZZ=ON \
  -DVOLPACK_BUILD_TESTS=OFF
cmake --build build-fuzz -j"$jobs" --target verify_fuzz
fuzz_corpus=$(mktemp -d)
trap 'rm -rf "$fuzz_corpus"' EXIT
cp tests/fuzz/corpus/* "$fuzz_corpus"/
build-fuzz/verify_fuzz -max_total_time=60 -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 "$fuzz_corpus"

tools/test-windows.sh
