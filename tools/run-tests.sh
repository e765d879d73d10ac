#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test three times: a plain Linux build, a
# Linux build with AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build under
# Wine. Fails when any test or sanitizer check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
lap() { echo "== $1 done after $((SECONDS - started)) s"; }
tools/install-dependencies.sh
tools/install-dependencies.sh --windows
jobs=$(nproc)

# On a new machine the Windows lane's libraries (Boost and the rest, then the engine's) take most
# of an hour to build, much of it waiting on downloads and on Rust's one-crate-at-a-time stretches:
# they build in the background while the Linux lanes run. Later runs find their caches at once.
# The build runs in a session of its own, so that when a Linux lane fails, everything it started
# stops with it.
mkdir -p build-logs
background=
stop_background() {
    [ -z "$background" ] || kill -- -"$background" 2>/dev/null || true
}
trap stop_background EXIT
setsid -w tools/build-windows-libraries.sh >build-logs/windows-libraries.log 2>&1 &
background=$!

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
lap "Linux lane"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
lap "Sanitizer lane"

if ! wait "$background"; then
    tail -n 80 build-logs/windows-libraries.log
    echo "tools/build-windows-libraries.sh failed; its output is in build-logs/windows-libraries.log"
    exit 1
fi
background=
tail -n 2 build-logs/windows-libraries.log
lap "Windows libraries"

tools/run-windows-tests.sh
lap "Windows lane"
