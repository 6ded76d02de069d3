#!/usr/bin/env bash
# Builds and runs every test: once in a plain build (with its Debian packages,
# scripts/package.sh), then under
# AddressSanitizer + UndefinedBehaviorSanitizer, then under ThreadSanitizer,
# then checks the lock annotations with a clang build (thread-safety: build
# only, -Wthread-safety as an error), then the Windows build (cross-built with
# mingw-w64) under Wine, then a short run of every fuzz target (clang,
# libFuzzer; tests/fuzz).
# Usage: scripts/test.sh [plain|asan|tsan|thread-safety|windows|fuzz-short|fuzz]...
#   default: plain asan tsan thread-safety windows fuzz-short
#   fuzz-short: FUZZ_SECONDS (default 5) per target, as CI runs it
#   fuzz:       FUZZ_SECONDS (default 600) per target, for long runs
set -euo pipefail
cd "$(dirname "$0")/.."

variants=("$@")
[ ${#variants[@]} -eq 0 ] && variants=(plain asan tsan thread-safety windows fuzz-short)
deps_options=()
for v in "${variants[@]}"; do
  [ "$v" = windows ] && deps_options+=(--windows)
done
scripts/deps.sh "${deps_options[@]}"

# The Windows variant: the unit tests under Wine (CTest), then the end-to-end
# checks of tests/win32/wine-e2e.sh (console run, service control manager),
# whose client is the Linux morvalenctl. Wine runs in a private, temporary
# prefix that is removed afterwards, with its server.
run_windows() {
  local windows_dir=build-windows windows_status=0 prefix
  echo "=== windows build ($windows_dir)"
  scripts/build-windows.sh "$windows_dir"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build morvalenctl
  echo "=== windows tests (Wine)"
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-wine.XXXXXX")
  (
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    wineboot -i >/dev/null 2>&1
    wineserver -w
    wineserver -p
    trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1' EXIT
    # The first program of a server starts Wine's own services, which keep
    # its standard output open: not one of the tests, whose output CTest reads.
    wine cmd /c exit </dev/null >/dev/null 2>&1
    ctest --test-dir "$windows_dir" -j"$(nproc)" --output-on-failure --timeout 600
  ) || windows_status=1
  rm -rf "$prefix"
  tests/support/netns-run.sh tests/win32/wine-e2e.sh "$windows_dir" build/bin/morvalenctl || windows_status=1
  return $windows_status
}

# Builds the fuzz targets alone (build-fuzz) and runs each for $1 seconds on a
# working copy of its kept seeds; a crash leaves its input in
# build-fuzz/fuzz-artifacts and fails the run. Prints the executions per target.
run_fuzz() {
  local seconds=$1 dir=build-fuzz failed=0
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DMORVALEN_FUZZ=ON -DBUILD_TESTING=OFF \
    -DMORVALEN_BENCH=OFF >/dev/null
  ninja -C "$dir" -j"$jobs" morvalen_fuzzers
  mkdir -p "$dir/fuzz-artifacts"
  for seeds in tests/fuzz/corpus/*/; do
    local name work log
    name=$(basename "$seeds")
    work="$dir/fuzz-corpus/$name"
    log="$dir/fuzz-artifacts/$name.log"
    mkdir -p "$work"
    if "$dir/bin/${name}_fuzz" -max_total_time="$seconds" -timeout=30 -max_len=2048 -print_final_stats=1 \
         -artifact_prefix="$dir/fuzz-artifacts/$name-" "$work" "$seeds" >"$log" 2>&1; then
      echo "fuzz $name: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1)"
    else
      echo "fuzz $name: FAILED (log: $log)"
      grep -E 'ERROR|_fuzz:|dtcd fuzz:|SUMMARY|Test unit written' "$log" | head -20
      failed=1
    fi
  done
  return $failed
}

jobs=$(nproc)
status=0
passed=0
failed=()
# Counts a variant's outcome (0 passed) for the summary that ends the run.
tally() {
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed+=("$1"); status=1; fi
}
for v in "${variants[@]}"; do
  if [ "$v" = windows ]; then
    outcome=0
    run_windows || outcome=1
    tally "$v" "$outcome"
    continue
  fi
  case "$v" in
    thread-safety)
      # Everything built with clang and MORVALEN_THREAD_SAFETY: a lock claim
      # (GUARDED_BY, REQUIRES) the code breaks fails the build. Nothing runs.
      echo "=== thread-safety build (build-thread-safety)"
      outcome=0
      CC=clang CXX=clang++ scripts/build.sh build-thread-safety -DCMAKE_BUILD_TYPE=Debug \
        -DMORVALEN_THREAD_SAFETY=ON || outcome=1
      tally "$v" "$outcome"
      continue ;;
    fuzz-short|fuzz)
      echo "=== $v"
      if [ "$v" = fuzz ]; then seconds=${FUZZ_SECONDS:-600}; else seconds=${FUZZ_SECONDS:-5}; fi
      outcome=0
      run_fuzz "$seconds" || outcome=1
      tally "$v" "$outcome"
      continue ;;
    plain) dir=build;      opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)  dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DMORVALEN_SANITIZE=address -DMORVALEN_BENCH=OFF) ;;
    tsan)  dir=build-tsan; opts=(-DCMAKE_BUILD_TYPE=Debug -DMORVALEN_SANITIZE=thread -DMORVALEN_BENCH=OFF) ;;
    *) echo "unknown variant: $v (plain, asan, tsan, thread-safety, windows, fuzz-short or fuzz)" >&2; exit 2 ;;
  esac
  echo "=== $v build ($dir)"
  scripts/build.sh "$dir" "${opts[@]}"
  if [ "$v" = plain ]; then
    # The Debian packages, which tests/package/deb-cycle.sh then runs.
    echo "=== $v packages ($dir/packages)"
    scripts/package.sh "$dir" || { tally "$v packages" 1; }
  fi
  echo "=== $v tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  outcome=0
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 || outcome=1
  tally "$v" "$outcome"
done
echo "=== summary${failed[*]:+ (failed: ${failed[*]})}"
echo "variants: $passed passed, ${#failed[@]} failed"
exit $status
