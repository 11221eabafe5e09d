#!/usr/bin/env bash
# Checks the include rules between folders, the formatting of the gated
# folders (scripts/check-format.sh) and the shape of the product code
# (scripts/check-shape.py: longest function and file, statics, unformatted
# files, per folder), builds the product with clang's thread-safety analysis
# and -Werror (build only: the locking annotations are checked at compile
# time) and runs clang-tidy over the gated folders (scripts/tidy.sh), builds
# everything under AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the whole test suite, then runs it again under ThreadSanitizer (the daemon
# is threads meeting in queues; races are faults even when the tests pass),
# and last runs every libFuzzer target of fuzz/ for a few seconds on its seed
# corpus (scripts/fuzz.sh; SF_FUZZ_SECONDS, 0 skips it). Before the fuzzing
# it builds the Debian package and checks it (scripts/package-test.sh;
# SF_PACKAGE_TEST=0 skips it).
# Usage: scripts/test.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
sf_install_deps

# Includes across a forbidden direction, an unformatted file of a gated
# folder, and a folder past its shape ceilings fail here, before any build.
scripts/check-layers.sh
scripts/check-format.sh
scripts/check-shape.py

JOBS=$(nproc 2>/dev/null || echo 2)

# A member touched without its mutex, or a REQUIRES function called without
# it, fails this build. Tests and benchmarks are left out to keep it short.
CLANG_BUILD=${SF_CLANG_BUILD_DIR:-build-clang}
cmake -S . -B "$CLANG_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DSF_THREAD_SAFETY=ON -DSF_BUILD_TESTS=OFF \
      -DSF_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$CLANG_BUILD" -j "$JOBS"
# Over the clang build's compilation database; about 1.5 minutes on 2 cores.
scripts/tidy.sh -p "$CLANG_BUILD" -j "$JOBS"

BUILD=${SF_TEST_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSF_SANITIZE=ON \
      -DSF_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
(cd "$BUILD" && ctest --output-on-failure --timeout 300 -j "$JOBS" "$@")

TSAN_BUILD=${SF_TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSF_TSAN=ON \
      -DSF_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$TSAN_BUILD" -j "$JOBS"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
(cd "$TSAN_BUILD" && ctest --output-on-failure --timeout 300 -j "$JOBS" "$@")

# The Debian package, built from a clean copy of the tree, installed (on CI)
# or unpacked, and checked; SF_PACKAGE_TEST=0 skips it for a quicker run.
if [ "${SF_PACKAGE_TEST:-1}" != 0 ]; then
  scripts/package-test.sh
fi

FUZZ_SECONDS=${SF_FUZZ_SECONDS:-2}
if [ "$FUZZ_SECONDS" != 0 ]; then
  scripts/fuzz.sh --seconds "$FUZZ_SECONDS"
fi
