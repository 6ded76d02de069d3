#!/usr/bin/env bash
# Makes sure the Debian packages that building and testing need are installed.
# As root it installs what is missing; otherwise it prints the one apt-get line
# to run and fails. Safe to run again: it installs nothing that is present.
set -euo pipefail

# Options: --bench adds what the benchmarks need; --windows adds the
# cross compiler, GoogleTest's sources and Wine for the Windows build.
packages=(g++ cmake ninja-build pkg-config libsystemd-dev libsqlite3-dev
          # TLS on the listener and in the C++ client; the openssl command makes test certificates.
          libssl-dev openssl
          libgtest-dev libgmock-dev dbus-daemon iproute2 util-linux procps
          # The PostgreSQL participant (libpq) and the tests with a private PostgreSQL cluster;
          # the Java client (clients/java) and its tests under Bitronix.
          libpq-dev postgresql
          default-jdk-headless junit5 libbtm-java libgeronimo-jta-1.2-spec-java libslf4j-java
          libpostgresql-jdbc-java
          # The metrics endpoints of the service and dtcd (prometheus-cpp: core and pull).
          prometheus-cpp-dev
          # The fuzz targets (tests/fuzz): clang and its libFuzzer runtime.
          clang libclang-rt-14-dev
          # The Debian packages (scripts/package.sh) and their check; groff checks the manual pages.
          dpkg-dev fakeroot lintian groff-base)
for option in "$@"; do
  case "$option" in
    --bench) packages+=(gnuplot-nox) ;;  # the XA benchmark's chart; PostgreSQL is in the list above
    --windows) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64) ;;
    *) echo "unknown option: $option (--bench, --windows)" >&2; exit 2 ;;
  esac
done

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
