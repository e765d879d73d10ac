#!/usr/bin/env bash
# Fetches Debian's newest source package of PACKAGE that apt can reach into FOLDER (the current
# folder by default): unpacked, and its unpacked folder printed; with --download-only, only the
# files apt downloads, and nothing printed. Every script that needs a Debian source goes through
# here. Needs a deb-src entry for this release (tools/install-dependencies.sh sets one up).
# Usage: tools/fetch-debian-source.sh [--download-only] PACKAGE [FOLDER]
set -euo pipefail
download_only=()
if [ "${1:-}" = --download-only ]; then
    download_only=(--download-only)
    shift
fi
package=$1
folder=${2:-.}
cd "$folder"
# A half-unpacked folder of an earlier, interrupted run would be taken for the source.
rm -rf "$package"-[0-9]* "$package"_*
if ! apt-get source --only-source "${download_only[@]}" "$package" >"$package.fetch.log" 2>&1; then
    cat "$package.fetch.log" >&2
    exit 1
fi
[ ${#download_only[@]} -gt 0 ] && exit 0
source=$(find "$PWD" -maxdepth 1 -type d -name "$package-[0-9]*" | head -n 1)
[ -n "$source" ] || { echo "apt-get source $package unpacked nothing" >&2; exit 1; }
echo "$source"
