#!/usr/bin/env bash
# cmake --install of the build into a temporary prefix, then a project of its
# own (tests/package/client) found through find_package(MorvalenClient) and a
# program built with pkg-config alone, both run against the installed morvalen
# and dtcd: one whole transaction each way, and the participant library's
# DtcGetTransactionManager answered by the installed dtcd. Also: the installed
# dtcd.service names the prefix. Runs in a private network namespace.
# Usage: client-install.sh BUILD_DIR PROJECT_DIR GENERATOR CXX [SANITIZER_FLAGS]
set -uo pipefail
build=$1 project=$2 generator=$3 cxx=$4 flags=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-client.XXXXXX")
prefix=$work/prefix
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
grep -qx "ExecStart=$prefix/bin/dtcd --data-dir /var/lib/dtcd" "$prefix/lib/systemd/system/dtcd.service" ||
  fail "dtcd.service does not name $prefix/bin: $(grep ExecStart "$prefix/lib/systemd/system/dtcd.service")"
for file in include/morvalen/MorvalenClient.h include/morvalen/contract/xa.h include/morvalen/contract/txdtc.h \
            lib/libmorvalen_client.a lib/libxolehlp.so lib/cmake/MorvalenClient/MorvalenClientConfig.cmake \
            lib/pkgconfig/morvalen-client.pc share/man/man8/dtcctl.8.gz; do
  [ -e "$prefix/$file" ] || fail "$file was not installed"
done

# The project of its own, through CMake's package.
cmake -S "$project" -B "$work/project" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/project" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
# The same program through pkg-config alone.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cxx" -std=c++17 $flags -o "$work/one_transaction_pc" "$project/one_transaction.cpp" \
  $(pkg-config --cflags --libs morvalen-client) >"$work/pc.log" 2>&1 || { cat "$work/pc.log"; fail "pkg-config build"; }
if [ -f "$project/pg_participant.cpp" ] && pkg-config --exists morvalen-pg; then
  # shellcheck disable=SC2046
  "$cxx" -std=c++17 $flags -o "$work/pg_participant_pc" "$project/pg_participant.cpp" \
    $(pkg-config --cflags --libs morvalen-pg) >"$work/pcpg.log" 2>&1 || { cat "$work/pcpg.log"; fail "pkg-config build of the participant"; }
fi

# The installed pair, nothing from the build tree.
unset LD_LIBRARY_PATH LD_PRELOAD
export DTCD_SOCKET=$work/dtcd.sock
"$prefix/bin/dtcd" --data-dir "$work/dtcd" >"$work/dtcd.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -S "$DTCD_SOCKET" ] && break; sleep 0.05; done
# A sanitizer's runtime makes the dlopen of libmsdtcprx.so its own call, which
# does not search the program's RUNPATH: such a build names the directory.
if [ -n "$flags" ]; then
  LD_LIBRARY_PATH=$prefix/lib "$prefix/bin/morvalen" </dev/null >"$work/morvalen.log" 2>&1 &
else
  "$prefix/bin/morvalen" </dev/null >"$work/morvalen.log" 2>&1 &
fi
pids+=($!)
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done

"$work/project/one_transaction" installed-cmake:1 || fail "the transaction through find_package"
"$work/one_transaction_pc" installed-pkgconfig:1 || fail "the transaction through pkg-config"
"$work/project/resource_manager" || fail "DtcGetTransactionManager through the installed libxolehlp.so"
if [ -x "$work/project/pg_participant" ]; then
  "$work/project/pg_participant" || fail "the installed PostgreSQL participant"
fi
[ -x "$work/pg_participant_pc" ] && { "$work/pg_participant_pc" || fail "the participant built with pkg-config"; }
commits=$("$prefix/bin/dtcctl" stats | awk '$1 == "commits" {print $2}')
[ "${commits:-0}" -ge 2 ] || fail "dtcd counted ${commits:-no} commits, not 2"
[ $failed -eq 0 ] && echo "the installed client builds and runs a transaction"
[ $failed -eq 0 ] || { cat "$work/morvalen.log" "$work/dtcd.log"; }
exit $failed
