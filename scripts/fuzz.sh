#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan+UBSan) in build-fuzz
# and runs each one on its seed corpus.
#
#   scripts/fuzz.sh [--seconds N | --runs N] [--keep] [target ...]
#
# --seconds N   run each target for N seconds (default 60)
# --runs N      run each target for N executions instead
# --keep        add the new inputs a run finds to the seed corpus in the tree
#               (by default they go to build-fuzz/corpus/<target>, which the
#               next run reuses)
# target        fuzz_pull, pull, ... (default: every target built)
#
# A crash, a sanitizer report, a leak or a time-out fails the run; the input
# is kept as build-fuzz/artifacts/<target>-crash-... Replay it with
#   build-fuzz/bin/<target> <file>
# and once the fault is fixed, copy it into fuzz/corpus/<name>/ as a
# regression. Environment: SF_FUZZ_BUILD_DIR (default build-fuzz),
# SF_FUZZ_NICE (a nice level for the runs, e.g. 19 for long runs).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
sf_install_deps

seconds=60
runs=""
keep=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done

BUILD=${SF_FUZZ_BUILD_DIR:-build-fuzz}
JOBS=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSF_FUZZ=ON -DSF_BUILD_TESTS=OFF -DSF_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target fuzzers >/dev/null

if [ ${#targets[@]} -eq 0 ]; then
  for f in "$BUILD"/bin/fuzz_*; do targets+=("$(basename "$f")"); done
fi

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
nice_cmd=()
[ -n "${SF_FUZZ_NICE:-}" ] && nice_cmd=(nice -n "$SF_FUZZ_NICE")

failed=0
printf '%-20s %12s %8s  %s\n' target executions seconds result
for t in "${targets[@]}"; do
  t=${t#fuzz_}
  bin="$BUILD/bin/fuzz_$t"
  seed="fuzz/corpus/$t"
  [ -x "$bin" ] || { echo "no such target: fuzz_$t" >&2; failed=1; continue; }
  work="$BUILD/corpus/$t"
  [ $keep -eq 1 ] && work="$seed"
  mkdir -p "$work" "$seed"
  limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  log="$BUILD/logs/fuzz_$t.log"
  start=$(date +%s)
  set +e
  "${nice_cmd[@]}" "$bin" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/fuzz_$t-" "$work" "$seed" >"$log" 2>&1
  rc=$?
  set -e
  took=$(( $(date +%s) - start ))
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  result=ok
  if [ $rc -ne 0 ]; then
    result="FAILED (exit $rc, see $log)"
    failed=1
  fi
  printf '%-20s %12s %8s  %s\n' "fuzz_$t" "${execs:-?}" "$took" "$result"
  if [ $rc -ne 0 ]; then grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -5 >&2; fi
done
exit $failed
