#!/usr/bin/env bash
# End-to-end benchmark: syncfolder against an rsync daemon on loopback, each
# workload several times from a cold sync folder with warm caches. Prints a
# table of medians with the ratio ours/rsync and writes it to
# bench/results/<date>.md. Not a test: nothing here runs under scripts/test.sh.
#
#   bench/e2e.sh            full run (1 GiB files, 10,000 and 100,000 files, 5 runs)
#   bench/e2e.sh --quick    small sizes, one run: a check in a few minutes
#   options: --runs N, --only upload,delta,download,rescan,change,channel,
#            --work DIR (big trees; default /dev/shm), --no-build
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

quick=0 runs=5 only="" work="" build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --runs) runs="$2"; shift ;;
    --only) only="$2"; shift ;;
    --work) work="$2"; shift ;;
    --no-build) build=0 ;;
    *) echo "usage: $0 [--quick] [--runs N] [--only LIST] [--work DIR] [--no-build]" >&2; exit 2 ;;
  esac
  shift
done

sf_install_bench_deps
bdir=build-bench
if [ "$build" = 1 ]; then
  cmake -S . -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSF_BUILD_TESTS=OFF >/dev/null
  ninja -C "$bdir" syncfolder syncfolder-server channel_bench
fi

[ -n "$work" ] || { [ -d /dev/shm ] && work=/dev/shm || work=/tmp; }
work=$(mktemp -d "$work/sf-e2e.XXXXXX")
state=$(mktemp -d /tmp/sf-e2e-state.XXXXXX)
trap 'rm -rf "$work" "$state"' EXIT

mkdir -p bench/results
out="bench/results/$(date -u +%Y-%m-%d).md"
[ "$quick" = 1 ] && out="bench/results/$(date -u +%Y-%m-%d)-quick.md"
args=(--bin "$bdir/bin" --work "$work" --state-dir "$state" --runs "$runs" --out "$out")
[ "$quick" = 1 ] && args+=(--quick)
[ -n "$only" ] && args+=(--only "$only")
python3 bench/e2e.py "${args[@]}"
echo "written to $out"
