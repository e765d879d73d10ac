#!/usr/bin/env bash
# Installs what bench/EngineBenchmark compares with beyond the test dependencies: libclamav's
# daemon (clamav-daemon) and its client (clamdscan). Run as root (or via sudo). Not part of the
# tests or CI.
#
# On a machine run by systemd, Debian's clamav-daemon enables clamav-daemon.service and
# clamav-daemon.socket (a socket in /run/clamav) when it is installed. The benchmark starts its
# own daemon with a private configuration and socket instead, so when this script is the one
# that installs the package it disables both units again: no system-wide daemon is left
# behind. Neither package contacts the network; the databases stay those the benchmark makes.
set -euo pipefail
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
missing=()
for package in clamav-daemon clamdscan; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
"${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
if [[ " ${missing[*]} " == *" clamav-daemon "* ]] && [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now clamav-daemon.service clamav-daemon.socket
fi
