#!/usr/bin/env bash
# The long form of the crash matrix (tests/e2e/CrashMatrix_test.cpp): many
# rounds of kill -9 of dtcd and of morvalen at every kill point under load,
# each round checked from the clients' own record.
#
#   bench/crash/run-crash-matrix.sh [BUILD_DIR] [ROUNDS] [WORKERS] [BRANCHES]
#       defaults: build 400 8 8  (ROUNDS a multiple of 16 covers every point
#       for both victims equally)
#
# Runs the test binary in a private network namespace and prints its summary
# line "crash matrix: rounds=... branches=... violations=...". Exits non-zero
# on any violation.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
rounds=${2:-400}
workers=${3:-8}
branches=${4:-8}

export MORVALEN_BIN_DIR=$build/bin MORVALEN_LIB_DIR=$build/lib MORVALEN_SOURCE_DIR=$source_dir
export MORVALEN_CRASH_ROUNDS=$rounds MORVALEN_CRASH_WORKERS=$workers MORVALEN_CRASH_BRANCHES=$branches
log=$(mktemp "${TMPDIR:-/tmp}/crash-matrix.XXXXXX")
trap 'rm -f "$log"' EXIT
start=$SECONDS
status=0
"$source_dir/tests/support/netns-run.sh" "$build/bin/e2e_CrashMatrix_test" \
  --gtest_filter='CrashMatrix.*' >"$log" 2>&1 || status=$?
grep -E '^crash matrix:|Failure|round [0-9]+|OK \]|FAILED' "$log" || true
echo "elapsed: $((SECONDS - start)) s"
exit "$status"
