#!/usr/bin/env bash
# The soak: hundreds of connections to morvalen running whole transactions,
# connect/disconnect churn and transactions with a PostgreSQL participant, for
# SECONDS seconds, while dtcd is killed with SIGKILL every few minutes and
# started again; then a check that nothing was lost.
#
#   bench/soak/run-soak.sh [BUILD_DIR] [SECONDS] [CONNECTIONS] [KILL_EVERY]
#
# Defaults: build, 180 seconds, 300 held connections, and dtcd killed about
# every SECONDS/8 seconds (at least 15, at most 180; each interval is drawn
# between half and one and a half of it). The environment tunes the rest:
# SOAK_CHURN (8 threads connecting and disconnecting), SOAK_PARTICIPANTS (2
# threads running participant transactions, one after the other),
# SOAK_PAUSE_MS (1000: the pause between two transactions of a held
# connection), SOAK_KEEP=1 (keep the work directory).
#
# The load is bench/soak/soak_churn (see its header). The PostgreSQL
# participant is dtc-pg-enlist, enlisted through the branch's cookie, inserting
# a row tagged with the transaction; the cluster is a private one in the work
# directory, reached through a Unix socket there. After each restart of dtcd,
# `dtc-pg-enlist --recover` runs, as docs/participants.md tells an operator.
# At the end the load stops, the manager's recovery runs (soak_churn decides
# every prepared branch of the soak), then `--recover` until nothing is left,
# and the script checks:
#   - every participant transaction whose commit answered XA_OK has its row;
#     no transaction for which no commit was ever asked has one; no row
#     belongs to a transaction the load does not know;
#   - no prepared transaction is left in PostgreSQL (pg_prepared_xacts), no
#     branch in dtcd (dtcctl list), nothing of the soak prepared in morvalen;
#   - morvalen still runs, and its threads and descriptors are back at their
#     baseline (taken after a warm-up) within SOAK_TOLERANCE (default 2) each.
# It prints the threads, descriptors and resident memory of morvalen and dtcd
# at the baseline and at the end (dtcd's of its last incarnation), the
# load's totals, and one line per violation; exits 1 on any violation.
#
# Runs in a private network namespace (port 1439 and dtcd's socket are never
# shared); everything stops by itself. Needs root (PostgreSQL then runs as
# the user postgres) or unprivileged user namespaces.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
seconds=${2:-180}
connections=${3:-300}
kill_every=${4:-$(( seconds / 8 < 15 ? 15 : (seconds / 8 > 180 ? 180 : seconds / 8) ))}
churn=${SOAK_CHURN:-8}
participants=${SOAK_PARTICIPANTS:-2}
pause_ms=${SOAK_PAUSE_MS:-1000}
tolerance=${SOAK_TOLERANCE:-2}
bin=$build/bin
pgbin=
for v in 15 16 17; do [ -x "/usr/lib/postgresql/$v/bin/initdb" ] && pgbin=/usr/lib/postgresql/$v/bin && break; done
[ -n "$pgbin" ] || { echo "skipped: needs PostgreSQL's server programs"; exit 77; }

# Outside the namespace: the work directory and the PostgreSQL cluster, so
# that the cluster runs as an ordinary user (initdb refuses root, and inside
# an unprivileged namespace everyone is root). Only a Unix socket in the work
# directory serves it.
if [ -z "${SOAK_WORK:-}" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-soak.XXXXXX")
  chmod 755 "$work"
  mkdir -p "$work/pg" "$work/pgsock"
  as_pg=()
  if [ "$(id -u)" = 0 ]; then
    chown postgres "$work/pg" "$work/pgsock"
    as_pg=(runuser -u postgres --)
  fi
  stop_postgres() { "${as_pg[@]}" "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true; }
  finish() {
    stop_postgres
    if [ -n "${SOAK_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
  }
  trap finish EXIT
  "${as_pg[@]}" "$pgbin/initdb" -D "$work/pg" -A trust -U postgres >/dev/null
  cat >>"$work/pg/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$work/pgsock'
max_connections = 60
max_prepared_transactions = 50
CONF
  "${as_pg[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/server.log" -w start >/dev/null
  "$pgbin/psql" -X -q -h "$work/pgsock" -U postgres -d postgres -c "CREATE DATABASE soak"
  "$pgbin/psql" -X -q -h "$work/pgsock" -U postgres -d soak -c "CREATE TABLE soak_rows (gtrid text PRIMARY KEY)"
  status=0
  SOAK_WORK=$work "$here/../../tests/support/netns-run.sh" "$0" "$build" "$seconds" "$connections" "$kill_every" ||
    status=$?
  exit "$status"
fi

work=$SOAK_WORK
conninfo="host=$work/pgsock dbname=soak user=postgres"
psql_soak() { "$pgbin/psql" -X -q -t -A -h "$work/pgsock" -U postgres -d soak -c "$1"; }
# Room for the held connections on both sides.
[ "$(ulimit -n)" -ge 4096 ] || ulimit -n 4096 2>/dev/null || true

dtcd_pid=
morvalen_pid=
load_pid=
cleanup() {
  [ -n "$load_pid" ] && kill -9 "$load_pid" 2>/dev/null
  [ -n "$dtcd_pid" ] && kill -9 "$dtcd_pid" 2>/dev/null
  [ -n "$morvalen_pid" ] && kill -9 "$morvalen_pid" 2>/dev/null
  wait 2>/dev/null || true
}
trap cleanup EXIT

export DTCD_SOCKET=@morvalen-soak-$$
start_dtcd() {
  NOTIFY_SOCKET= "$bin/dtcd" --data-dir "$work/dtcd" >>"$work/dtcd.log" 2>&1 &
  dtcd_pid=$!
  for _ in $(seq 200); do
    grep -q "morvalen-soak-$$" /proc/net/unix && return 0
    sleep 0.05
  done
  echo "dtcd did not start" >&2
  exit 1
}
# The participant's recovery as an operator runs it; its lines go to the log.
recover_participants() {
  echo "--- $1" >>"$work/recover.log"
  "$bin/dtc-pg-enlist" --recover --conninfo "$conninfo" >>"$work/recover.log" 2>&1 || true
}
# Branches dtcd holds, or "unknown" when dtcctl cannot say.
count_branches() {
  local out
  out=$("$bin/dtcctl" --json list 2>&1) || { echo unknown; return 0; }
  (grep -o '"state"' <<<"$out" || true) | wc -l
}
start_dtcd

NOTIFY_SOCKET= LD_LIBRARY_PATH="$build/lib" "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
morvalen_pid=$!
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done

threads_of() { awk '/^Threads:/ {print $2}' /proc/"$1"/status; }
fds_of() { ls /proc/"$1"/fd | wc -l; }
# threads, descriptors, resident memory (kB) of one process
figures() {
  printf 'threads=%s fds=%s rss_kb=%s' "$(threads_of "$1")" "$(fds_of "$1")" \
    "$(awk '/^VmRSS:/ {print $2}' /proc/"$1"/status)"
}
# The smallest thread and descriptor counts of morvalen seen over a second:
# the connection threads of clients that just left are gone by then.
settled_counts() {
  local t f min_t=999999 min_f=999999
  for _ in $(seq 10); do
    t=$(threads_of "$morvalen_pid"); f=$(fds_of "$morvalen_pid")
    [ "$t" -lt "$min_t" ] && min_t=$t
    [ "$f" -lt "$min_f" ] && min_f=$f
    sleep 0.1
  done
  echo "$min_t $min_f"
}

# Warm-up: a little of every kind of load, so that the binding to dtcd, both
# of its libraries and their connections are there before the baseline.
load=("$bin/soak_churn")
"${load[@]}" 3 2 1 200 1 "$bin/dtc-pg-enlist" "$conninfo" "$work/outcomes" >"$work/warmup.out"
read -r base_threads base_fds < <(settled_counts)
echo "start: morvalen $(figures "$morvalen_pid")"
echo "start: dtcd     $(figures "$dtcd_pid")"

"${load[@]}" "$seconds" "$connections" "$churn" "$pause_ms" "$participants" "$bin/dtc-pg-enlist" "$conninfo" \
  "$work/outcomes" >"$work/load.out" 2>>"$work/load.err" &
load_pid=$!
kills=0
end=$((SECONDS + seconds))
while kill -0 "$load_pid" 2>/dev/null; do
  wait_for=$((kill_every / 2 + RANDOM % (kill_every + 1)))
  [ $((SECONDS + wait_for)) -lt $((end - 15)) ] || break
  sleep "$wait_for"
  kill -9 "$dtcd_pid" 2>/dev/null || true
  wait "$dtcd_pid" 2>/dev/null || true
  kills=$((kills + 1))
  sleep 0.$((RANDOM % 10))
  start_dtcd
  recover_participants "after restart $kills"
done
violations=0
violation() { echo "VIOLATION: $*"; violations=$((violations + 1)); }
load_status=0
wait "$load_pid" || load_status=$?
load_pid=
cat "$work/load.out"
[ "$load_status" = 0 ] || violation "soak_churn ended with $load_status (something of the soak is still prepared in morvalen)"
echo "dtcd killed $kills times (about every $kill_every s)"
if ! kill -0 "$morvalen_pid" 2>/dev/null; then
  violation "morvalen is gone"
  tail -20 "$work/morvalen.log"
  exit 1
fi

# Recovery of the participants until nothing is left in doubt anywhere (each
# round at most a few seconds; a minute in all).
for round in $(seq 20); do
  recover_participants "final $round"
  prepared=$(psql_soak "SELECT count(*) FROM pg_prepared_xacts")
  branches=$(count_branches)
  [ "$prepared" = 0 ] && [ "$branches" = 0 ] && break
  sleep 2
done

# The service still serves whole transactions, and gets back to its baseline.
"${load[@]}" 2 2 0 200 >"$work/after.out" || violation "a transaction after the soak was left prepared"
sed 's/^load:/after:/' "$work/after.out"
read -r end_threads end_fds < <(settled_counts)
for _ in $(seq 30); do
  [ "$end_threads" -le $((base_threads + tolerance)) ] && [ "$end_fds" -le $((base_fds + tolerance)) ] && break
  read -r end_threads end_fds < <(settled_counts)
done
echo "end:   morvalen $(figures "$morvalen_pid")"
echo "end:   dtcd     $(figures "$dtcd_pid")"
echo "morvalen threads $base_threads -> $end_threads, descriptors $base_fds -> $end_fds (tolerance $tolerance)"
[ "$end_threads" -le $((base_threads + tolerance)) ] || violation "morvalen has $end_threads threads, $base_threads at the start"
[ "$end_fds" -le $((base_fds + tolerance)) ] || violation "morvalen has $end_fds descriptors, $base_fds at the start"

# Nothing lost: the rows against what the load was told.
awk '{last[$2] = $1} END {for (g in last) print last[g], g}' "$work/outcomes" | sort -k2 >"$work/final"
awk '$1 == "C" {print $2}' "$work/final" >"$work/committed"
awk '$1 == "R" {print $2}' "$work/final" >"$work/rolledback"
awk '{print $2}' "$work/final" >"$work/known"
psql_soak "SELECT gtrid FROM soak_rows ORDER BY gtrid" | sort >"$work/rows"
lost=$(comm -23 "$work/committed" "$work/rows")
extra=$(comm -12 "$work/rolledback" "$work/rows")
stray=$(comm -13 "$work/known" "$work/rows")
printf 'participant transactions: %d committed (XA_OK), %d rolled back, %d unknown; %d rows\n' \
  "$(wc -l <"$work/committed")" "$(wc -l <"$work/rolledback")" "$(grep -c '^U' "$work/final" || true)" \
  "$(wc -l <"$work/rows")"
printf 'participant recovery: %d committed, %d aborted, %d in-doubt lines\n' \
  "$(grep -c ' committed$' "$work/recover.log" || true)" "$(grep -c ' aborted$' "$work/recover.log" || true)" \
  "$(grep -c ' in-doubt ' "$work/recover.log" || true)"
[ -z "$lost" ] || violation "committed but no row: $(echo $lost | head -c 300)"
[ -z "$extra" ] || violation "rolled back but a row: $(echo $extra | head -c 300)"
[ -z "$stray" ] || violation "a row of no known transaction: $(echo $stray | head -c 300)"
[ "$prepared" = 0 ] || violation "$prepared prepared transactions left in PostgreSQL"
[ "$branches" = 0 ] || violation "$branches branches left in dtcd: $("$bin/dtcctl" list 2>&1 | head -5)"
if [ "$violations" = 0 ]; then echo "soak: nothing lost"; else echo "soak: $violations violations"; exit 1; fi
