#!/usr/bin/env bash
# Throughput and scale of the XA bridge, beside PostgreSQL's own two-phase commit.
#
#   bench/xa/run-xa-bench.sh [BUILD_DIR] [SECONDS] [CHART_PNG]
#
# Runs in a private network namespace (port 1439 and the coordinator's
# abstract socket are never shared), with dtcd and morvalen on a temporary
# data directory, and a private PostgreSQL 15 cluster (unix socket in the same
# temporary directory, fsync on) that it starts and stops itself. For
# N = 1, 8, 64 concurrent clients (PostgreSQL first, then each mode, each
# after a checkpoint and a sync) it prints XA transactions per second
# (start, end, prepare, commit) with p50/p99 latency in both completion modes
# (the default, bridgeLock held across the completions' coordinator calls; and
# MORVALEN_PARALLEL_COMPLETIONS=1), pgbench's transactions per second (BEGIN;
# UPDATE; PREPARE TRANSACTION; COMMIT PREPARED) and each mode's ratio to it;
# and the same whole transactions over TLS with client certificates (default
# completion mode, reused connections) with their ratio to plaintext in the same
# run (tls_ratio: the aim is at least 0.85 at 8 clients);
# then the p50 of each request at one client in both modes; then K = 1000,
# 10000, 30000 live branches with the resident memory and threads of morvalen
# and dtcd, and the p50 of one client's whole transaction beside them. Needs root (namespace, and runuser
# for PostgreSQL, which refuses to run as root). Everything stops by itself.
# The throughput table is also drawn (gnuplot, bench/xa/xa-throughput.gp) into
# CHART_PNG, by default BUILD_DIR/xa-throughput.png; without gnuplot
# (Debian's gnuplot-nox, scripts/deps.sh --bench) the chart is left out.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
seconds=${2:-10}
chart=${3:-$build/xa-throughput.png}
case "$chart" in /*) ;; *) chart=$PWD/$chart ;; esac
bin=$build/bin
pgbin=/usr/lib/postgresql/15/bin

if [ -z "${XA_BENCH_IN_NAMESPACE:-}" ]; then
  exec env XA_BENCH_IN_NAMESPACE=1 unshare --net -- "$0" "$build" "$seconds" "$chart"
fi
ip link set lo up

work=$(mktemp -d /tmp/xa-bench.XXXXXX)
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

export DTCD_SOCKET=@xa-bench-$$
"$bin/dtcd" --data-dir "$work/dtcd" >"$work/dtcd.log" 2>&1 &
dtcd_pid=$!
pids+=("$dtcd_pid")
for _ in $(seq 200); do ss -xl | grep -q "xa-bench-$$" && break; sleep 0.05; done

# Certificates for the TLS column: a CA, the service's, one client's.
tls=$work/tls
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench-ca \
  -keyout "$tls/ca.key" -out "$tls/ca.pem" >/dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1\n' >"$tls/server.ext"
for name in server client; do
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$name" \
    -keyout "$tls/$name.key" -out "$tls/$name.csr" >/dev/null 2>&1
  extension=(); [ "$name" = server ] && extension=(-extfile "$tls/server.ext")
  openssl x509 -req -in "$tls/$name.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
    "${extension[@]}" -out "$tls/$name.pem" >/dev/null 2>&1
done

morvalen_pid=
# Starts morvalen in a completion mode (0 default, 1 parallel, 2 default over
# TLS with client certificates), ending the one before.
start_morvalen() {
  if [ -n "$morvalen_pid" ]; then kill -9 "$morvalen_pid" 2>/dev/null || true; wait "$morvalen_pid" 2>/dev/null || true; fi
  if [ "$1" = 1 ]; then
    MORVALEN_PARALLEL_COMPLETIONS=1 "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
  elif [ "$1" = 2 ]; then
    MORVALEN_TLS_CERTIFICATE="$tls/server.pem" MORVALEN_TLS_KEY="$tls/server.key" \
      MORVALEN_TLS_CLIENT_CA="$tls/ca.pem" "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
  else
    "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
  fi
  morvalen_pid=$!
  pids+=("$morvalen_pid")
  for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done
}
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<" $2"; }

# The private PostgreSQL cluster.
mkdir -p "$work/pg" "$work/sock"
chown postgres "$work/pg" "$work/sock"
runuser -u postgres -- "$pgbin/initdb" -D "$work/pg" -A trust -U postgres >/dev/null
cat >>"$work/pg/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$work/sock'
max_connections = 100
max_prepared_transactions = 100
fsync = on
synchronous_commit = on
CONF
runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/server.log" -w start >/dev/null
runuser -u postgres -- "$pgbin/pgbench" -h "$work/sock" -U postgres -i -s 10 -q postgres >/dev/null 2>&1
cat >"$work/twophase.sql" <<'SQL'
\set aid random(1, 1000000)
\set delta random(-5000, 5000)
\set gid random(1, 2000000000)
BEGIN;
UPDATE pgbench_accounts SET abalance = abalance + :delta WHERE aid = :aid;
PREPARE TRANSACTION 'b:client_id-:gid';
COMMIT PREPARED 'b:client_id-:gid';
SQL
chmod 644 "$work/twophase.sql"

echo "== Throughput: whole XA transactions vs PostgreSQL two-phase commit, ${seconds}s each"
printf "%-8s %10s %8s %8s %10s %8s %8s %10s %8s %8s %10s %9s\n" clients default p50_ms p99_ms parallel p50_ms p99_ms pg_tps \
  ratio_d ratio_p tls tls_ratio
declare -A single
# Before each measurement: PostgreSQL writes its dirty pages out and the disk
# settles, so that no side pays for the writes of the one before it.
settle() {
  runuser -u postgres -- "$pgbin/psql" -h "$work/sock" -U postgres -qAt -c CHECKPOINT postgres >/dev/null 2>&1 || true
  sync
}
for n in 1 8 64; do
  declare -A tps p50 p99
  # PostgreSQL first, then each mode, interleaved per client count.
  jobs=$(( n < 2 ? 1 : 2 ))
  settle
  pg=$(runuser -u postgres -- "$pgbin/pgbench" -h "$work/sock" -U postgres -n -M simple -c "$n" -j "$jobs" \
         -T "$seconds" -f "$work/twophase.sql" postgres 2>/dev/null | sed -n 's/^tps = \([0-9.]*\).*/\1/p')
  for mode in 0 1 2; do
    settle
    start_morvalen "$mode"
    if [ "$mode" = 2 ]; then
      line=$(XA_LOAD_TLS_CA="$tls/ca.pem" XA_LOAD_TLS_CERT="$tls/client.pem" XA_LOAD_TLS_KEY="$tls/client.key" \
               "$bin/xa_load" "$n" "$seconds" || true)
    else
      line=$("$bin/xa_load" "$n" "$seconds" || true)
    fi
    tps[$mode]=$(field tps "$line"); p50[$mode]=$(field p50_ms "$line"); p99[$mode]=$(field p99_ms "$line")
    grep -q "errors=0" <<<"$line" || echo "   (mode $mode: $line)"
    if [ "$n" = 1 ]; then single[$mode]=$line; fi
  done
  rd=$(awk -v a="${tps[0]}" -v b="$pg" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')
  rp=$(awk -v a="${tps[1]}" -v b="$pg" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')
  rt=$(awk -v a="${tps[2]}" -v b="${tps[0]}" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')
  printf "%-8s %10s %8s %8s %10s %8s %8s %10.0f %8s %8s %10s %9s\n" "$n" "${tps[0]}" "${p50[0]}" "${p99[0]}" \
    "${tps[1]}" "${p50[1]}" "${p99[1]}" "${pg:-0}" "$rd" "$rp" "${tps[2]}" "$rt"
  echo "$n ${tps[0]:-0} ${tps[1]:-0} ${pg:-0}" >>"$work/throughput.dat"
done
runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -m fast stop >/dev/null
if command -v gnuplot >/dev/null; then
  gnuplot -e "data='$work/throughput.dat'; output='$chart'; subtitle='run of $(date -u +%Y-%m-%d), ${seconds} s a point'" \
    "$here/xa-throughput.gp" && echo "   chart: $chart"
else
  echo "   (no chart: gnuplot is not installed; scripts/deps.sh --bench installs gnuplot-nox)"
fi

echo "== One client: p50 of each request in microseconds"
printf "%-10s %8s %8s %8s %8s\n" mode start end prepare commit
for mode in 0 1; do
  name=$([ "$mode" = 0 ] && echo default || echo parallel)
  l=${single[$mode]}
  printf "%-10s %8s %8s %8s %8s\n" "$name" "$(field start_us "$l")" "$(field end_us "$l")" \
    "$(field prepare_us "$l")" "$(field commit_us "$l")"
done
start_morvalen 0

echo "== Scale: live branches (started, then suspended)"
for k in 1000 10000 30000; do
  "$bin/xa_scale" "$k" "$morvalen_pid" "$dtcd_pid" || echo "   (some branches failed at K=$k)"
done
