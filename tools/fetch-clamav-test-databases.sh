#!/usr/bin/env bash
# Fetches the small, publisher-signed test databases that Debian's clamav source package keeps
# (unit_tests/input/freshclam_testfiles/test-1.cvd .. test-6.cvd) into a cache folder, for the
# tests of the official-database update paths. They are never copied into the source tree.
# Needs a deb-src entry for this release (tools/install-dependencies.sh sets one up).
# Usage: tools/fetch-clamav-test-databases.sh [FOLDER]
#   FOLDER defaults to $CORVANE_CLAMAV_TEST_DATABASES, else ~/.cache/corvane/clamav-test-databases.
set -euo pipefail
folder=${1:-${CORVANE_CLAMAV_TEST_DATABASES:-$HOME/.cache/corvane/clamav-test-databases}}
[ -f "$folder/.complete" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/fetch-debian-source.sh" --download-only clamav "$work"
archive=$(find "$work" -maxdepth 1 -name 'clamav_*.orig.tar.*' | head -n 1)
tar -xf "$archive" -C "$work" --wildcards '*/unit_tests/input/freshclam_testfiles/test-*.cvd'
mkdir -p "$folder"
cp "$work"/clamav-*/unit_tests/input/freshclam_testfiles/test-*.cvd "$folder/"
touch "$folder/.complete"
