#!/usr/bin/env bash
# Runs the randomized two-client soak (tests/soak) for a given time, in the
# ASan+UBSan build.
#
#   scripts/soak.sh [--minutes N] [--seed S] [--fault-seed F]
#
# --minutes N     length of the random phase (default 10)
# --seed S        replay a run: the seed a run prints ("soak: seed S")
# --fault-seed F  replay the proxy's faults too ("fault-proxy: seed F")
# The figures (operations, faults, kills, versions lost) are printed at the
# end; the daemons' and server's logs of a failed run are in its message.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
sf_install_deps

minutes=10
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --seed) export SF_SOAK_SEED="$2"; shift 2 ;;
    --fault-seed) export SF_FAULT_SEED="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

BUILD=${SF_TEST_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSF_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)" --target soak_tests syncfolder syncfolder-server
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export SF_SOAK_SECONDS=$(( minutes * 60 ))
export SF_SOAK_FOLDER_REMOVALS=${SF_SOAK_FOLDER_REMOVALS:-1}
exec "$BUILD/bin/soak_tests"
