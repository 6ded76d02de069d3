#!/usr/bin/env bash
# Builds and runs every test: once in a plain build, then under
# AddressSanitizer + UndefinedBehaviorSanitizer, then under ThreadSanitizer.
# Usage: scripts/test.sh [plain|asan|tsan]...   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

variants=("$@")
[ ${#variants[@]} -eq 0 ] && variants=(plain asan tsan)

jobs=$(nproc)
status=0
for v in "${variants[@]}"; do
  case "$v" in
    plain) dir=build;      opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)  dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DMORVALEN_SANITIZE=address -DMORVALEN_BENCH=OFF) ;;
    tsan)  dir=build-tsan; opts=(-DCMAKE_BUILD_TYPE=Debug -DMORVALEN_SANITIZE=thread -DMORVALEN_BENCH=OFF) ;;
    *) echo "unknown variant: $v (plain, asan or tsan)" >&2; exit 2 ;;
  esac
  echo "=== $v build ($dir)"
  scripts/build.sh "$dir" "${opts[@]}"
  echo "=== $v tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  if ! ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600; then
    status=1
  fi
done
exit $status
