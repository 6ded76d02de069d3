#!/usr/bin/env bash
# Builds Morvalen and runs it in the foreground (console run, port 1439) with
# the coordinator dtcd beside it; the coordinator keeps its durable state in
# ./data/dtcd. Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

mkdir -p data/dtcd
export DTCD_SOCKET="${DTCD_SOCKET:-@dtcd}"
build/bin/dtcd --data-dir data/dtcd &
dtcd_pid=$!
trap 'kill "$dtcd_pid" 2>/dev/null; wait "$dtcd_pid" 2>/dev/null || true' EXIT INT TERM

# Wait (bounded) until the coordinator answers.
for _ in $(seq 1 100); do
  if build/bin/dtcctl stats >/dev/null 2>&1; then break; fi
  if ! kill -0 "$dtcd_pid" 2>/dev/null; then echo "dtcd did not start" >&2; exit 1; fi
  sleep 0.1
done

build/bin/morvalen
