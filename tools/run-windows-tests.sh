#!/usr/bin/env bash
# The Windows lane: builds the Windows libraries once into their cache (see
# build-windows-dependencies.sh), cross-builds the program, the test doubles and the tests with
# mingw-w64, and runs every test under Wine. Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build-windows-dependencies.sh
jobs=$(nproc)

cmake -S . -B build-windows -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-mingw-w64-x86_64.cmake
cmake --build build-windows -j "$jobs"
ctest --test-dir build-windows --output-on-failure -j "$jobs"
