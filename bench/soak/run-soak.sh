#!/usr/bin/env bash
# The soak: connect/disconnect churn against morvalen for SECONDS seconds
# while dtcd is killed with SIGKILL at random intervals and started again.
#
#   bench/soak/run-soak.sh [BUILD_DIR] [SECONDS] [THREADS]     (defaults: build 180 16)
#
# Runs in a private network namespace with dtcd and morvalen on a temporary
# data directory; everything stops by itself. Prints the threads, open
# descriptors and resident memory of morvalen and of dtcd at the start (after
# a short warm-up), and at the end once the load has stopped and the service
# has had a few seconds to settle, plus the churn's totals. dtcd's end figures
# are those of its last incarnation. Needs root or unprivileged namespaces.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
seconds=${2:-180}
threads=${3:-16}
bin=$build/bin

if [ -z "${SOAK_IN_NAMESPACE:-}" ]; then
  exec env SOAK_IN_NAMESPACE=1 "$here/../../tests/support/netns-run.sh" "$0" "$build" "$seconds" "$threads"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-soak.XXXXXX")
dtcd_pid=
morvalen_pid=
cleanup() {
  [ -n "$dtcd_pid" ] && kill -9 "$dtcd_pid" 2>/dev/null
  [ -n "$morvalen_pid" ] && kill -9 "$morvalen_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
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
start_dtcd

NOTIFY_SOCKET= LD_LIBRARY_PATH="$build/lib" "$bin/morvalen" >"$work/morvalen.log" 2>&1 &
morvalen_pid=$!
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/1439) 2>/dev/null && break; sleep 0.05; done

# threads, descriptors, resident memory (kB) of one process
figures() {
  local pid=$1
  printf 'threads=%s fds=%s rss_kb=%s' \
    "$(awk '/^Threads:/ {print $2}' /proc/"$pid"/status)" \
    "$(ls /proc/"$pid"/fd | wc -l)" \
    "$(awk '/^VmRSS:/ {print $2}' /proc/"$pid"/status)"
}

"$bin/soak_churn" "$threads" 5 >/dev/null   # warm-up: the binding, the first threads
echo "start: morvalen $(figures "$morvalen_pid")"
echo "start: dtcd     $(figures "$dtcd_pid")"

"$bin/soak_churn" "$threads" "$seconds" >"$work/churn.out" &
churn_pid=$!
kills=0
end=$((SECONDS + seconds))
while [ $SECONDS -lt $((end - 10)) ] && kill -0 "$churn_pid" 2>/dev/null; do
  sleep $((5 + RANDOM % 15))
  [ $SECONDS -lt $((end - 10)) ] || break
  kill -9 "$dtcd_pid"
  wait "$dtcd_pid" 2>/dev/null || true
  kills=$((kills + 1))
  sleep 0.$((RANDOM % 10))
  start_dtcd
done
wait "$churn_pid"
cat "$work/churn.out"
echo "dtcd killed $kills times"
if ! kill -0 "$morvalen_pid" 2>/dev/null; then
  echo "morvalen is gone" >&2
  cat "$work/morvalen.log" >&2
  exit 1
fi
sleep 5   # let connection threads of the last clients finish
echo "end:   morvalen $(figures "$morvalen_pid")"
echo "end:   dtcd     $(figures "$dtcd_pid")"
# The service still serves a whole branch after all of it.
"$bin/soak_churn" 1 1 | sed 's/^/after: /'
