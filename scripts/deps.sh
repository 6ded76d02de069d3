#!/usr/bin/env bash
# Makes sure the Debian packages that building and testing need are installed.
# As root it installs what is missing; otherwise it prints the one apt-get line
# to run and fails. Safe to run again: it installs nothing that is present.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libsystemd-dev libsqlite3-dev
          libgtest-dev libgmock-dev dbus-daemon iproute2 util-linux procps
          libpq-dev postgresql)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
