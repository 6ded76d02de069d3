#!/usr/bin/env bash
# The bank under chaos: money is conserved across a JTA manager (Bitronix), two
# PostgreSQL databases, Morvalen and dtcd, whatever is killed when.
#
#   bench/chaos/run-bank.sh [BUILD_DIR] [ROUNDS] [SECONDS]
#
# Accounts live in two databases of a private PostgreSQL cluster. Each
# transfer is one Bitronix transaction (bench/chaos/Bank.java): a debit in
# database A through PostgreSQL's XA data source, Morvalen enlisted, and a
# credit in database B through dtc-pg-enlist with the branch's cookie; both
# record the transfer's id. Each round runs the transfers for SECONDS (default
# 4) on four threads and, at a random moment, kills -9 one of: the JVM,
# morvalen, dtcd, the participants, PostgreSQL (immediate stop), or nothing.
# Then everything left of the round is killed, whatever is down is started
# again, and recovery runs as docs/participants.md tells an operator: the
# manager's recovery (Bitronix on the same journal), then
# `dtc-pg-enlist --recover` on database B. After each round:
#   - the sum over both databases is what it was at the start;
#   - both databases hold the same transfers, and every transfer the
#     application saw committed is in both;
#   - no prepared transaction is left in either database, no branch in dtcd,
#     and no dangling record in the manager's journal.
# Prints a line per round and a summary; exits 1 on any violation.
#
# Runs in a private network namespace (port 1439, PostgreSQL's port and
# dtcd's socket are never shared); needs root (the namespace, and runuser for
# PostgreSQL). Everything stops by itself. CHAOS_SEED fixes the schedule;
# CHAOS_VICTIMS (a space-separated subset of "jvm morvalen dtcd participant
# postgres none") limits what may be killed;
# CHAOS_KEEP=1 keeps the work directory (logs, journal, stores) for a look.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
rounds=${2:-100}
seconds=${3:-4}
bin=$build/bin
pgbin=
for v in 15 16 17; do [ -x "/usr/lib/postgresql/$v/bin/initdb" ] && pgbin=/usr/lib/postgresql/$v/bin && break; done

if [ "$(id -u)" != 0 ] || [ -z "$pgbin" ] || [ ! -f "$build/java/morvalen-chaos.jar" ]; then
  echo "skipped: needs root, PostgreSQL and the built jars (java/morvalen-chaos.jar)"
  exit 77
fi
if [ -z "${CHAOS_IN_NAMESPACE:-}" ]; then
  exec env CHAOS_IN_NAMESPACE=1 unshare --net -- "$0" "$build" "$rounds" "$seconds"
fi
ip link set lo up

RANDOM=${CHAOS_SEED:-$$}
work=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-bank.XXXXXX")
chmod 755 "$work"
jars=$build/java/morvalen-chaos.jar:$build/java/morvalen-xa.jar:$build/java/morvalen-xa-bitronix.jar
for jar in btm geronimo-jta-1.2-spec slf4j-api slf4j-nop postgresql; do jars=$jars:/usr/share/java/$jar.jar; done
export DTCD_SOCKET=@morvalen-bank-$$
pgport=5432
conn_b="host=127.0.0.1 port=$pgport dbname=bank_b user=postgres"

dtcd_pid=
morvalen_pid=
bank_pid=
# Kills this run's participants, and only those: the ones in this script's
# network namespace. Tests running beside the bank start dtc-pg-enlist from the
# same build, and a kill by name alone would take theirs as well.
kill_participants() {
  pkill -9 --ns $$ --nslist net -f "$bin/dtc-pg-enlist" 2>/dev/null || true
}
cleanup() {
  kill -9 $bank_pid $morvalen_pid $dtcd_pid 2>/dev/null || true
  kill_participants
  runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true
  if [ -n "${CHAOS_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
psql_at() { "$pgbin/psql" -X -q -t -A -h 127.0.0.1 -p "$pgport" -U postgres -d "$1" -c "$2"; }

start_dtcd() {
  "$bin/dtcd" --data-dir "$work/dtcd" >>"$work/dtcd.log" 2>&1 &
  dtcd_pid=$!
  for _ in $(seq 200); do "$bin/dtcctl" stats >/dev/null 2>&1 && return; sleep 0.05; done
  echo "dtcd did not start"; tail -5 "$work/dtcd.log"; exit 1
}
start_morvalen() {
  "$bin/morvalen" >>"$work/morvalen.log" 2>&1 &
  morvalen_pid=$!
  for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && return; sleep 0.05; done
  echo "morvalen did not start"; exit 1
}
postgres_up() { runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" status >/dev/null 2>&1; }
start_postgres() {
  runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/server.log" -w start >/dev/null
}

# The cluster, its two databases and their accounts.
mkdir -p "$work/pg" "$work/journal"
chown postgres "$work/pg"
runuser -u postgres -- "$pgbin/initdb" -D "$work/pg" -A trust -U postgres >/dev/null
cat >>"$work/pg/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $pgport
unix_socket_directories = ''
max_connections = 100
max_prepared_transactions = 100
CONF
start_postgres
for db in bank_a bank_b; do
  psql_at postgres "CREATE DATABASE $db"
  psql_at "$db" "CREATE TABLE accounts (id int PRIMARY KEY, balance bigint NOT NULL);
                 INSERT INTO accounts SELECT g, 1000 FROM generate_series(1, 10) g;
                 CREATE TABLE transfers (id bigint PRIMARY KEY, amount int NOT NULL)"
done
total=$(( $(psql_at bank_a "SELECT sum(balance) FROM accounts") + $(psql_at bank_b "SELECT sum(balance) FROM accounts") ))
start_dtcd
start_morvalen

log=$work/transfers.log
: >"$log"
violations=0
read -r -a victims <<<"${CHAOS_VICTIMS:-jvm morvalen dtcd participant postgres none}"
java=(java -cp "$jars" morvalen.chaos.Bank)

# Recovery as an operator runs it; true once nothing is left in doubt.
recover() {
  local round=$1
  "${java[@]}" recover "$work/journal" "$pgport" >>"$work/recover.log" 2>&1 || true
  "$bin/dtc-pg-enlist" --recover --conninfo "$conn_b" >>"$work/recover.log" 2>&1 || true
  "${java[@]}" recover "$work/journal" "$pgport" >>"$work/recover.log" 2>&1 || return 1
  echo "--- round $round" >>"$work/recover.log"
}

# The invariants; prints each violation and counts them.
check() {
  local round=$1 sum a_ids b_ids lost prepared branches
  sum=$(( $(psql_at bank_a "SELECT sum(balance) FROM accounts") + $(psql_at bank_b "SELECT sum(balance) FROM accounts") ))
  if [ "$sum" != "$total" ]; then echo "round $round: VIOLATION: the sum is $sum, not $total"; violations=$((violations + 1)); fi
  a_ids=$(psql_at bank_a "SELECT id FROM transfers ORDER BY id")
  b_ids=$(psql_at bank_b "SELECT id FROM transfers ORDER BY id")
  if [ "$a_ids" != "$b_ids" ]; then
    echo "round $round: VIOLATION: transfers in one database only: $(diff <(echo "$a_ids") <(echo "$b_ids") | grep '^[<>]' | head -5 | tr '\n' ' ')"
    violations=$((violations + 1))
  fi
  lost=$(comm -23 <(awk '$1 == "C" {print $2}' "$log" | sort) <(echo "$a_ids" | sort))
  if [ -n "$lost" ]; then echo "round $round: VIOLATION: committed but missing: $(echo $lost | head -c 200)"; violations=$((violations + 1)); fi
  prepared=$(( $(psql_at bank_a "SELECT count(*) FROM pg_prepared_xacts") ))
  if [ "$prepared" != 0 ]; then echo "round $round: VIOLATION: $prepared prepared transactions left"; violations=$((violations + 1)); fi
  # A branch whose manager died unprepared is rolled back by the service's
  # expiry; only one left in doubt (prepared, committing, heuristic) counts.
  if ! branches=$("$bin/dtcctl" --json list 2>&1); then
    echo "round $round: VIOLATION: dtcctl list failed: $branches"; violations=$((violations + 1))
  else
    branches=$( (grep -o -E '"state":"(prepared|committing|heuristic)"' <<<"$branches" || true) | wc -l)
    if [ "$branches" != 0 ]; then echo "round $round: VIOLATION: $branches branches left in doubt in dtcd"; violations=$((violations + 1)); fi
  fi
}

for round in $(seq "$rounds"); do
  readies=$(grep -c '^ready$' "$work/bank.log" 2>/dev/null || true)
  readies=${readies:-0}
  "${java[@]}" transfer "$work/journal" "$pgport" "$bin/dtc-pg-enlist" "$seconds" 4 "$log" $((round * 1000000)) \
    >>"$work/bank.log" 2>&1 &
  bank_pid=$!
  victim=${victims[$((RANDOM % ${#victims[@]}))]}
  # The kill's moment counts from when the manager is ready (its journal read),
  # so a slow start does not eat the round.
  for _ in $(seq 600); do
    [ "$(grep -c '^ready$' "$work/bank.log" || true)" -gt "$readies" ] && break
    alive "$bank_pid" || break
    sleep 0.1
  done
  sleep "$((1 + RANDOM % seconds)).$((RANDOM % 10))"
  case $victim in
    jvm) kill -9 "$bank_pid" 2>/dev/null || true ;;
    morvalen) kill -9 "$morvalen_pid" 2>/dev/null || true ;;
    dtcd) kill -9 "$dtcd_pid" 2>/dev/null || true ;;
    participant) kill_participants ;;
    postgres) runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true ;;
    none) ;;
  esac
  # The round ends: the application gets until its end plus a little, then
  # whatever is left of it goes the hard way too.
  for _ in $(seq $(( (seconds + 5) * 10 ))); do alive "$bank_pid" || break; sleep 0.1; done
  kill -9 "$bank_pid" 2>/dev/null || true
  wait "$bank_pid" 2>/dev/null || true
  kill_participants
  postgres_up || start_postgres
  alive "$dtcd_pid" || start_dtcd
  alive "$morvalen_pid" || start_morvalen
  clean=yes
  recover "$round" || clean=no
  before=$violations
  check "$round"
  [ "$clean" = yes ] || { echo "round $round: VIOLATION: the manager's journal keeps dangling records"; violations=$((violations + 1)); }
  printf 'round %d: killed %s; committed %d, rolled back %d, unknown %d so far; %s\n' "$round" "$victim" \
    "$(grep -c '^C' "$log" || true)" "$(grep -c '^R' "$log" || true)" "$(grep -c '^U' "$log" || true)" \
    "$([ "$violations" = "$before" ] && echo ok || echo VIOLATED)"
done

echo "bank: $rounds rounds, transfers committed $(grep -c '^C' "$log" || true)," \
  "rolled back $(grep -c '^R' "$log" || true), outcome unknown to the application $(grep -c '^U' "$log" || true);" \
  "violations $violations"
[ "$violations" = 0 ]
