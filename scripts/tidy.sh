#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the sources of the
# gated folders (scripts/gates.sh), or of the folders given, in parallel, and
# fails on any finding. It needs the compilation database of a clang build
# (CMAKE_EXPORT_COMPILE_COMMANDS, on in CMakeLists.txt): scripts/test.sh's
# thread-safety build, build-clang, by default.
#
#   scripts/tidy.sh [-p BUILD_DIR] [-j JOBS] [folder ...]
#
# Headers are checked through the sources that include them, when they lie
# in one of the folders.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/gates.sh

build=${SF_CLANG_BUILD_DIR:-build-clang}
jobs=$(nproc 2>/dev/null || echo 2)
while getopts "p:j:" opt; do
  case "$opt" in
    p) build=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=("${SF_GATED_FOLDERS[@]}")

db="$build/compile_commands.json"
[ -f "$db" ] || { echo "tidy: no $db: configure a clang build there first (scripts/test.sh does)" >&2; exit 2; }
command -v clang-tidy >/dev/null || { echo "tidy: clang-tidy is not installed (scripts/deps.sh)" >&2; exit 2; }

root=$(pwd -P)
alt=$(IFS='|'; echo "${folders[*]}")
header_filter="^$root/($alt)/"
# The database's files under the folders (each once: a source built into two
# targets is checked once).
mapfile -t files < <(python3 - "$db" "$root" "${folders[@]}" <<'PY'
import json, os, sys
db, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
seen = set()
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if any(rel.startswith(f.rstrip("/") + "/") for f in folders) and path not in seen:
        seen.add(path)
        print(path)
PY
)
[ ${#files[@]} -gt 0 ] || { echo "tidy: no sources of ${folders[*]} in $db" >&2; exit 2; }

start=$(date +%s)
# One file per clang-tidy; its findings are printed together when it fails.
status=0
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} sh -c '
  out=$(clang-tidy -p "$1" --quiet --header-filter="$2" "$3" 2>&1) && exit 0
  printf "%s\n" "$out" | grep -v "^[0-9]* warnings\? generated\.$"
  exit 1' sh "$build" "$header_filter" {} || status=$?
elapsed=$(( $(date +%s) - start ))
if [ "$status" -ne 0 ]; then
  echo "tidy: findings above (${#files[@]} sources of ${folders[*]}, ${elapsed}s); fix them, or put a NOLINT(check) with the reason on a line where the check is wrong" >&2
  exit 1
fi
echo "tidy: ${#files[@]} sources of ${folders[*]} are clean (${elapsed}s, $jobs jobs)"
