#!/usr/bin/env bash
# Fails when a source of the gated folders (scripts/gates.sh), or of the
# folders or files given, differs from what clang-format makes of it with the
# repository's .clang-format, and names each such file.
#
#   scripts/check-format.sh [--fix] [folder-or-file ...]
#
# --fix formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/gates.sh

fix=0
if [ "${1:-}" = "--fix" ]; then
  fix=1
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${SF_GATED_FOLDERS[@]}")
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed (scripts/deps.sh)" >&2; exit 2; }

mapfile -t files < <(find "${targets[@]}" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort)
bad=()
checked=0
for f in "${files[@]}"; do
  skip=0
  for x in "${SF_FORMAT_EXCLUDED[@]}"; do [ "$f" = "$x" ] && skip=1; done
  [ $skip -eq 1 ] && continue
  checked=$((checked + 1))
  if [ $fix -eq 1 ]; then
    clang-format -i "$f"
  elif ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
    bad+=("$f")
  fi
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'check-format: not formatted: %s\n' "${bad[@]}" >&2
  echo "check-format: ${#bad[@]} of $checked files differ from .clang-format; scripts/check-format.sh --fix formats them" >&2
  exit 1
fi
echo "check-format: $checked files of ${targets[*]} are formatted"
