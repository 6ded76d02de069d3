#!/usr/bin/env bash
# Builds the Debian packages from the tree with CPack: morvalen (the service,
# dtcd and its libraries, dtcctl, morvalenctl, dtc-pg-enlist, both systemd
# units, manual pages, documentation) and, with a JDK, libmorvalen-java (the
# jars in /usr/share/java). Then lintian checks them; an error fails the run.
# Usage: scripts/package.sh [BUILD_DIR]   (default build; packages in BUILD_DIR/packages)
# Install them with: apt install ./build/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}

scripts/deps.sh
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
else
  cmake "$dir" >/dev/null
fi
# Only what the packages hold.
targets=(morvalen dtcd dtcctl morvalenctl msdtcprx xolehlp dtcclient)
grep -q '^LIBPQ_FOUND:INTERNAL=1' "$dir/CMakeCache.txt" && targets+=(dtc-pg-enlist)
for jar in morvalen_xa morvalen_xa_bitronix; do
  grep -q "^build $jar:" "$dir/build.ninja" && targets+=("$jar")
done
ninja -C "$dir" -j"$(nproc)" "${targets[@]}"

rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
echo "packages:"
ls -1 "$dir"/packages/*.deb

if command -v lintian >/dev/null; then
  # Errors fail the run; warnings and notes are shown.
  if lintian --fail-on error --tag-display-limit 0 "$dir"/packages/*.deb; then
    echo "lintian: no errors"
  else
    echo "lintian reported errors" >&2
    exit 1
  fi
fi
