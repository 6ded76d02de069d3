#!/usr/bin/env bash
# Compiles and runs the Bitronix program of docs/java.md exactly as the page
# shows it: the java block that holds "public class BitronixExample" is cut out
# of the page, compiled with the page's classpath (Debian's jars and ours), and
# run against a private PostgreSQL cluster (TCP on 127.0.0.1:5432, as the
# program expects), dtcd and morvalen, all inside the caller's network
# namespace (tests/support/netns-run.sh). It passes when the program prints
# "committed order 42", the row is in PostgreSQL and no branch is left in dtcd.
#
# Usage: java-example.sh SOURCE_DIR BIN_DIR LIB_DIR JAVA JAVAC CLASSPATH
# Exit 0 passed, 1 failed, 77 skipped (PostgreSQL cannot be run here).
set -euo pipefail
src=$1 bin=$2 lib=$3 java=$4 javac=$5 classpath=$6

work=$(mktemp -d)
chmod 755 "$work"
pids=()
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_postgres=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -f "$work/pg/data/postmaster.pid" ]; then
    "${as_postgres[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "java-example: $*" >&2; exit 1; }

# Polls (bounded: about ten seconds) until the command succeeds.
wait_for() {
  for _ in $(seq 200); do
    if "$@" 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

# The program, as the page has it.
awk '/^```java$/ { inside = 1; text = ""; next }
     /^```$/ { if (inside && text ~ /public class BitronixExample/) { printf "%s", text; found = 1; exit }
               inside = 0; next }
     inside { text = text $0 "\n" }
     END { exit found ? 0 : 1 }' "$src/docs/java.md" >"$work/BitronixExample.java" ||
  fail "docs/java.md has no java block with public class BitronixExample"

# PostgreSQL refuses to run as root: as root, it runs as the postgres user.
[ -n "$pgbin" ] || { echo "skipped: no PostgreSQL server installed"; exit 77; }
if [ "$(id -u)" = 0 ]; then
  if ! id postgres >/dev/null 2>&1 || ! runuser -u postgres -- true 2>/dev/null; then
    echo "skipped: running as root without a usable postgres user"; exit 77
  fi
  as_postgres=(runuser -u postgres --)
fi
mkdir -p "$work/pg"
[ ${#as_postgres[@]} -eq 0 ] || chown postgres: "$work/pg"
"${as_postgres[@]}" "$pgbin/initdb" -D "$work/pg/data" -A trust -U postgres >"$work/initdb.log" 2>&1 ||
  fail "initdb failed: $(tail -n 3 "$work/initdb.log")"
"${as_postgres[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w -t 30 \
  -o "-c listen_addresses=127.0.0.1 -c port=5432 -k $work/pg -c max_prepared_transactions=10" start >/dev/null ||
  fail "PostgreSQL did not start: $(tail -n 3 "$work/pg/log")"
psql_as() { psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p 5432 "$@"; }
psql_as -U postgres -d postgres -c "CREATE ROLE app LOGIN PASSWORD 'app-password'" -c "CREATE DATABASE app OWNER app"
psql_as -U app -d app -c "CREATE TABLE orders (id int PRIMARY KEY, note text)"

# dtcd and the service.
export DTCD_SOCKET="@morvalen-java-example-$$"
"$bin/dtcd" --data-dir "$work/dtcd" >"$work/dtcd.log" 2>&1 &
pids+=($!)
wait_for "$bin/dtcctl" list >/dev/null || fail "dtcd did not start: $(cat "$work/dtcd.log")"
env -u NOTIFY_SOCKET LD_LIBRARY_PATH="$lib" "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
pids+=($!)
wait_for bash -c 'exec 3<>/dev/tcp/127.0.0.1/1439' || fail "morvalen did not start: $(cat "$work/morvalen.log")"

# Compile and run it from its own directory, as the page does.
cd "$work"
"$javac" -cp "$classpath" BitronixExample.java || fail "the example does not compile"
mkdir -p journal
"$java" -cp "$classpath:." BitronixExample 42 >"$work/out.log" 2>"$work/err.log" ||
  fail "the example failed: $(cat "$work/out.log" "$work/err.log")"
grep -qx "committed order 42" "$work/out.log" || fail "no 'committed order 42': $(cat "$work/out.log")"
grep -q "^cookie [0-9a-f]\+$" "$work/out.log" || fail "no cookie line: $(cat "$work/out.log")"
rows=$(psql_as -U app -d app -t -A -c "SELECT count(*) FROM orders WHERE id = 42")
[ "$rows" = 1 ] || fail "the order row is not in PostgreSQL ($rows)"
prepared=$(psql_as -U postgres -d app -t -A -c "SELECT count(*) FROM pg_prepared_xacts")
[ "$prepared" = 0 ] || fail "PostgreSQL holds $prepared prepared transaction(s)"
left=$("$bin/dtcctl" list | tail -n +2)
[ -z "$left" ] || fail "dtcd still holds branches: $left"
echo "java-example: committed order 42 through Bitronix, PostgreSQL and Morvalen"
