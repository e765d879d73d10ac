#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test three times: a plain Linux build, a
# Linux build with AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build under
# Wine. Fails when any test or sanitizer check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-dependencies.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

tools/run-windows-tests.sh
