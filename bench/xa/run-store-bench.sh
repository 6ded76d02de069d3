#!/usr/bin/env bash
# dtcd's two stores side by side: whole XA transactions (xa_load) through
# morvalen with dtcd on its SQLite store, then on a PostgreSQL store
# (dtcd --store), at 8 clients (or CLIENTS), in morvalen's default completion
# mode (one completion at a time: each waits for its own durable write, so the
# store's commit latency sets the pace) and with MORVALEN_PARALLEL_COMPLETIONS=1
# (the writes of concurrent completions share one commit); then the failover test's loop for
# the takeover time after a kill -9 of the active dtcd (median and worst over
# ROUNDS kills, the test's lease of 4000 ms, standby poll 100 ms).
#
#   bench/xa/run-store-bench.sh [BUILD_DIR] [SECONDS] [CLIENTS] [ROUNDS]
#
# Runs in a private network namespace with a private PostgreSQL 15 cluster
# (unix socket in a temporary directory, fsync and synchronous_commit on, on
# the same machine). Needs root (namespace, and runuser for PostgreSQL).
# Everything stops by itself.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
seconds=${2:-10}
clients=${3:-8}
rounds=${4:-10}
bin=$build/bin
pgbin=/usr/lib/postgresql/15/bin

if [ -z "${STORE_BENCH_IN_NAMESPACE:-}" ]; then
  exec env STORE_BENCH_IN_NAMESPACE=1 unshare --net -- "$0" "$build" "$seconds" "$clients" "$rounds"
fi
ip link set lo up

work=$(mktemp -d /tmp/store-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if [ -f "$work/pg/postmaster.pid" ]; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/pg" "$work/sock"
chown postgres "$work/pg" "$work/sock"
runuser -u postgres -- "$pgbin/initdb" -D "$work/pg" -A trust -U postgres >/dev/null
cat >>"$work/pg/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$work/sock'
fsync = on
synchronous_commit = on
CONF
runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/server.log" -w start >/dev/null

export DTCD_SOCKET=@store-bench-$$
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<" $2"; }

echo "== Whole XA transactions at $clients clients, ${seconds}s each, by dtcd's store"
printf "%-12s %-9s %10s %8s %8s %10s\n" store mode tps p50_ms p99_ms prepare_us
for run in sqlite:0 postgresql:0 sqlite:1 postgresql:1; do
  store=${run%:*} parallel=${run#*:}
  args=(--data-dir "$work/dtcd-$store")
  [ "$store" = postgresql ] && args+=(--store "host=$work/sock user=postgres dbname=postgres")
  "$bin/dtcd" "${args[@]}" >"$work/dtcd-$store.log" 2>&1 &
  dtcd_pid=$!
  pids+=("$dtcd_pid")
  for _ in $(seq 200); do ss -xl | grep -q "store-bench-$$" && break; sleep 0.05; done
  MORVALEN_PARALLEL_COMPLETIONS=$parallel "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
  morvalen_pid=$!
  pids+=("$morvalen_pid")
  for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done
  line=$("$bin/xa_load" "$clients" "$seconds" || true)
  mode=default; [ "$parallel" = 1 ] && mode=parallel
  printf "%-12s %-9s %10s %8s %8s %10s\n" "$store" "$mode" "$(field tps "$line")" "$(field p50_ms "$line")" \
    "$(field p99_ms "$line")" "$(field prepare_us "$line")"
  kill "$morvalen_pid" "$dtcd_pid" 2>/dev/null || true
  wait "$morvalen_pid" "$dtcd_pid" 2>/dev/null || true
  rm -rf "$work/dtcd-$store"
  [ "$store" = postgresql ] && runuser -u postgres -- "$pgbin/psql" -h "$work/sock" -qc \
    "SET client_min_messages = warning; DROP SCHEMA dtcd CASCADE" postgres >/dev/null
done

echo "== Takeover after kill -9 of the active dtcd, $rounds rounds"
MORVALEN_FAILOVER_ROUNDS=$rounds MORVALEN_BIN_DIR=$bin MORVALEN_LIB_DIR=$build/lib \
  "$bin/dtc_pg_failover_test" 2>&1 | grep -E '^round|^takeover|FAILED|Skipped' || true
