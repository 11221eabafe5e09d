#!/usr/bin/env bash
# Fails when a source file includes a header from a folder its own folder may
# not depend on. The allowed arrows are the ones docs/architecture.md draws;
# the CMake libraries link the same way, so this check names the offending
# line before the linker (or, for a header-only use, nothing) would.
#
# Usage: scripts/check-layers.sh [ROOT]   (default: the repository root)
# Exit status: 0 when every include follows the rules, 1 otherwise, 2 on a
# usage error.
set -euo pipefail

ROOT=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
[ -d "$ROOT" ] || { echo "check-layers: no such folder: $ROOT" >&2; exit 2; }
cd "$ROOT"

LIB="lib/base lib/fs lib/conf lib/net lib/proto"

# What each layer may include besides itself. Layers not listed here:
# tests/, bench/ and fuzz/ (test code) may include anything; any other
# top-level folder is a tool (monitor/, relay/, ...) and gets TOOL_ALLOWED.
declare -A ALLOWED=(
  [lib/base]=""
  [lib/fs]="lib/base"
  [lib/conf]="lib/fs lib/base"
  [lib/net]="lib/fs lib/base"
  [lib/proto]="lib/net lib/fs lib/base"
  [rsapi]="lib/base"
  [client/store]="lib/fs lib/base"
  [client/core]="client/store lib/conf lib/net lib/fs lib/base"
  [client/ui]="client/core client/store lib/conf lib/net lib/fs lib/base"
  [client/local]="client/core client/store lib/conf lib/net lib/fs lib/base"
  [client/sync]="client/local client/ui client/core client/store $LIB rsapi"
  [client]="client/sync client/local client/ui client/core client/store $LIB rsapi"
  [server]="$LIB rsapi"
)
TOOL_ALLOWED="$LIB client/store"

# The layer a repository-relative path belongs to; empty for a folder that
# may include anything; "?" for a folder under lib/ or client/ without a rule.
layer_of() {
  local p=$1 top rest sub
  top=${p%%/*}
  [ "$top" = "$p" ] && { echo "?"; return; }  # a file at the root
  rest=${p#*/}
  case $top in
    tests|bench|fuzz) echo "" ;;
    lib)
      sub=${rest%%/*}
      if [ "$sub" != "$rest" ] && [ -n "${ALLOWED[lib/$sub]+x}" ]; then echo "lib/$sub"; else echo "?"; fi ;;
    client)
      sub=${rest%%/*}
      if [ "$sub" = "$rest" ]; then echo "client"  # client.cpp: the executable
      elif [ -n "${ALLOWED[client/$sub]+x}" ]; then echo "client/$sub"
      else echo "?"; fi ;;
    *) echo "$top" ;;
  esac
}

allowed_for() {
  local layer=$1
  if [ -n "${ALLOWED[$layer]+x}" ]; then echo "${ALLOWED[$layer]}"; else echo "$TOOL_ALLOWED"; fi
}

list_sources() {
  if git -C . rev-parse --is-inside-work-tree >/dev/null 2>&1 &&
     [ "$(git rev-parse --show-toplevel)" = "$(pwd -P)" ]; then
    git ls-files -co --exclude-standard
  else
    find . -mindepth 1 \( -name '.*' -o -name 'build*' \) -prune -o -type f -print | sed 's|^\./||'
  fi | grep -E '\.(h|hh|hpp|c|cc|cpp|inc)$' | sort
}

# Top-level folders whose headers count as the project's (an include of
# <vector> or "sqlite3.h" is not).
is_project_top() {
  [ -d "$1" ] && [ "$1" != "." ] && [ "$1" != ".." ]
}

failures=0
checked=0
while IFS= read -r file; do
  [ -f "$file" ] || continue
  from=$(layer_of "$file")
  [ -z "$from" ] && continue  # tests/, bench/, fuzz/
  checked=$((checked + 1))
  if [ "$from" = "?" ]; then
    echo "check-layers: $file: its folder has no layer rule; add one to scripts/check-layers.sh and docs/architecture.md" >&2
    failures=$((failures + 1))
    continue
  fi
  may=" $(allowed_for "$from") "
  dir=$(dirname "$file")
  while IFS=: read -r line spelled; do
    inc=${spelled:1:${#spelled}-2}
    # The compiler looks next to the including file first, then at the root.
    if [ -f "$dir/$inc" ]; then
      target=$(realpath -m --relative-to=. "$dir/$inc")
    elif is_project_top "${inc%%/*}" && [ "${inc%%/*}" != "$inc" ]; then
      target=$inc
    else
      continue  # a system or third-party header
    fi
    to=$(layer_of "$target")
    [ "$to" = "$from" ] && continue
    # Test code (layer "") is never a dependency of the product.
    if [ -n "$to" ]; then
      case "$may" in *" $to "*) continue ;; esac
      to_name=$to
    else
      to_name="${target%%/*}/"
    fi
    echo "check-layers: $file:$line includes $spelled ($to_name), but $from may include only: $(allowed_for "$from" | sed 's/^$/nothing outside itself/')" >&2
    failures=$((failures + 1))
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]+[>"]' "$file" |
           sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*([<"][^>"]+[>"]).*/\1:\2/')
done < <(list_sources)

if [ "$failures" -ne 0 ]; then
  echo "check-layers: $failures include(s) cross a forbidden direction (rules: scripts/check-layers.sh, docs/architecture.md)" >&2
  exit 1
fi
echo "check-layers: $checked files follow the dependency rules"
