#!/usr/bin/env bash
# The Debian packages as built by scripts/package.sh, extracted into a
# temporary root: their layout, units and maintainer scripts, then one whole
# transaction (morvalenctl cycle) through the extracted morvalen, its extracted
# libmsdtcprx.so and an extracted dtcd. Runs in a private network namespace
# (tests/support/netns-run.sh): port 1439 is the namespace's own.
# Usage: deb-cycle.sh PACKAGE_DIR   (exit 77: the packages were not built)
set -uo pipefail
packages=$1
shopt -s nullglob
debs=("$packages"/morvalen_*.deb)
if [ ${#debs[@]} -eq 0 ]; then
  echo "skipped: no Debian packages in $packages; scripts/package.sh builds them"
  exit 77
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-deb.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap cleanup EXIT
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if ! "$@" >/dev/null 2>&1; then echo "FAILED: $what"; failed=1; fi
}

for deb in "$packages"/*.deb; do
  dpkg-deb -x "$deb" "$root/fs" || { echo "cannot extract $deb"; exit 1; }
done
fs=$root/fs
echo "extracted: $(cd "$packages" && echo *.deb)"

# Layout: programs, the private libraries, units, pages, package documents.
for program in morvalen dtcd dtcctl morvalenctl; do
  check "/usr/bin/$program is there" test -x "$fs/usr/bin/$program"
done
for library in libmsdtcprx.so libxolehlp.so libdtcclient.so; do
  check "/usr/lib/morvalen/$library is there" test -f "$fs/usr/lib/morvalen/$library"
done
for page in man8/morvalen.8 man8/dtcd.8 man8/dtcctl.8 man1/morvalenctl.1; do
  check "/usr/share/man/$page.gz is there" test -f "$fs/usr/share/man/$page.gz"
done
check "copyright and changelog" test -f "$fs/usr/share/doc/morvalen/copyright" -a -f "$fs/usr/share/doc/morvalen/changelog.gz"
check "operations.md is there" test -f "$fs/usr/share/doc/morvalen/operations.md"
units=$fs/lib/systemd/system
check "Morvalen.service wants dtcd.service" grep -qx 'Wants=dtcd.service' "$units/Morvalen.service"
check "Morvalen.service is ordered after dtcd.service" grep -q '^After=dtcd.service' "$units/Morvalen.service"
for unit in dtcd.service Morvalen.service; do
  check "$unit runs as morvalen" grep -qx 'User=morvalen' "$units/$unit"
  check "$unit has NoNewPrivileges" grep -qx 'NoNewPrivileges=yes' "$units/$unit"
  check "$unit has ProtectSystem=strict" grep -qx 'ProtectSystem=strict' "$units/$unit"
done
check "dtcd.service runs /usr/bin/dtcd" grep -qx 'ExecStart=/usr/bin/dtcd --data-dir /var/lib/dtcd' "$units/dtcd.service"
check "dtcd.service has its state directory" grep -qx 'StateDirectory=dtcd' "$units/dtcd.service"
check "Morvalen.service runs /usr/bin/morvalen" grep -qx 'ExecStart=/usr/bin/morvalen' "$units/Morvalen.service"
check "postinst makes the system user" sh -c "dpkg-deb -I '${debs[0]}' postinst | grep -q 'adduser --system'"
check "the package depends on adduser" sh -c "dpkg-deb -f '${debs[0]}' Depends | grep -q adduser"
java=("$packages"/libmorvalen-java_*.deb)
if [ ${#java[@]} -gt 0 ]; then
  check "morvalen-xa.jar is in /usr/share/java" test -f "$fs/usr/share/java/morvalen-xa.jar"
fi
if command -v systemd-analyze >/dev/null; then
  # The units' own syntax (unknown keys, bad values) as systemd reads them;
  # what the extracted root cannot offer (other units, a running manager) aside.
  out=$(systemd-analyze verify --man=no --root="$fs" "$units/dtcd.service" "$units/Morvalen.service" 2>&1 |
        grep -iE 'unknown|invalid|failed to parse|bad' | grep -v 'Failed to connect\|bus')
  if [ -n "$out" ]; then echo "FAILED: systemd-analyze: $out"; failed=1; fi
fi

# One whole transaction through the extracted programs and libraries only.
unset LD_LIBRARY_PATH LD_PRELOAD
export DTCD_SOCKET=$root/dtcd.sock
mkdir "$root/data"
"$fs/usr/bin/dtcd" --data-dir "$root/data/dtcd" >"$root/dtcd.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -S "$DTCD_SOCKET" ] && break; sleep 0.05; done
[ -S "$DTCD_SOCKET" ] || { echo "dtcd did not listen"; cat "$root/dtcd.log"; exit 1; }
"$fs/usr/bin/morvalen" </dev/null >"$root/morvalen.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done

if "$fs/usr/bin/morvalenctl" cycle packaged-1 >"$root/cycle.out" 2>&1; then
  echo "cycle: $(tr '\n' ' ' <"$root/cycle.out")"
else
  echo "FAILED: morvalenctl cycle"; cat "$root/cycle.out" "$root/morvalen.log" "$root/dtcd.log"; failed=1
fi
stats=$("$fs/usr/bin/dtcctl" stats 2>&1)
check "dtcd saw the commit" grep -qE '^commits[ :=]+[1-9]' <<<"$stats"
check "the service loaded the packaged libmsdtcprx.so" \
  grep -q "$fs/usr/lib/morvalen/libmsdtcprx.so" "/proc/${pids[1]}/maps"
[ $failed -eq 0 ] && echo "the packages hold a working service"
exit $failed
