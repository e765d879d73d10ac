#!/usr/bin/env bash
# Installs the Debian packages needed to build and test the scanner. Run as root (or via sudo).
# With --windows: the packages of the Windows cross build, its engine libraries (Debian's Rust
# with its standard library sources) and its tests under Wine instead, and a deb-src entry for
# this release: the Windows libraries are built from Debian's source packages.
set -euo pipefail
if [ "${1:-}" = --windows ]; then
    packages=(
        cmake make pkg-config g++-mingw-w64-x86-64-posix wine64 wixl msitools osslsigncode openssl
        bison dpkg-dev libgtest-dev gsoap
        libz-mingw-w64-dev patch perl rustc-web cargo-web rust-web-src
    )
else
    packages=(
        build-essential cmake
        libboost1.81-all-dev libboost-json1.81-dev
        libpugixml-dev gsoap libgsoap-dev libssl-dev libcurl4-openssl-dev libicu-dev
        libgtest-dev libgmock-dev
        osslsigncode openssl python3 pkg-config
        # The check of the shell scripts that CI runs first.
        shellcheck
        libclamav-dev clamav
        # The disk-image case of the cache tests (mkfs.ext4, mount through a loop device).
        e2fsprogs mount
        # clam.exe and the other harmless samples that libclamav's test databases detect.
        clamav-testfiles
        # The fuzz targets (tools/fuzz.sh): Clang with libFuzzer and the sanitizer runtimes,
        # the symbolizer for readable findings, and expat as a strict XML reader.
        clang libclang-rt-14-dev llvm-14 libexpat1-dev
    )
fi
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
. /etc/os-release
# A machine takes its release's updates and security fixes; a root made by debootstrap knows only
# the release itself, whose first rustc-web (1.85) lacks the crates its standard library needs.
update_sources=false
if ! grep -rqs -- "${VERSION_CODENAME}-security" /etc/apt/sources.list /etc/apt/sources.list.d; then
    "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/${VERSION_CODENAME}-security.list" >/dev/null <<EOF
deb http://deb.debian.org/debian ${VERSION_CODENAME}-updates main
deb http://deb.debian.org/debian-security ${VERSION_CODENAME}-security main
EOF
    update_sources=true
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ] || $update_sources; then
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The signature tests make RFC 3161 time stamps with osslsigncode's own authority (-TSA-certs,
# -TSA-key, -TSA-time), which came with osslsigncode 2.6; Debian 12 ships 2.5, its backports 2.9.
osslsigncode_version=$(dpkg-query -W -f='${Version}' osslsigncode)
if dpkg --compare-versions "$osslsigncode_version" lt 2.6; then
    backports=/etc/apt/sources.list.d/${VERSION_CODENAME}-backports.list
    [ -f "$backports" ] ||
        echo "deb http://deb.debian.org/debian ${VERSION_CODENAME}-backports main" |
        "${sudo_cmd[@]}" tee "$backports" >/dev/null
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
        -t "${VERSION_CODENAME}-backports" osslsigncode
fi
# Both lanes fetch sources: the Windows libraries are built from Debian's source packages, and the
# tests of the official-database updates take the clamav source package's signed test databases.
if ! apt-get source --print-uris pugixml >/dev/null 2>&1; then
    "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/corvane-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    "${sudo_cmd[@]}" apt-get update
fi
tools_folder=$(dirname "$0")
"$tools_folder/fetch-clamav-test-databases.sh"
