#!/usr/bin/env bash
# Feeds scripts/check-layers.sh small trees: one that follows every arrow
# must pass, and each forbidden include must fail with a line that names the
# file, the include and the rule it breaks.
# Usage: check_layers_test.sh PATH/TO/check-layers.sh
set -uo pipefail
CHECK=${1:?usage: check_layers_test.sh PATH/TO/check-layers.sh}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
failed=0

fail() { echo "FAIL: $*" >&2; failed=1; }

# put FILE [INCLUDE...]: a source file that includes the given headers.
put() {
  local f=$1 inc; shift
  mkdir -p "$TMP/tree/$(dirname "$f")"
  : > "$TMP/tree/$f"
  for inc in "$@"; do echo "#include $inc" >> "$TMP/tree/$f"; done
}

fresh() {
  rm -rf "$TMP/tree"
  # Every layer including what it may: system headers, the layers below it,
  # its own folder, and a header next to it by a relative name.
  put lib/base/log.h '<vector>' '"sqlite3.h"'
  put lib/fs/file-ops.h '"lib/base/log.h"'
  put lib/net/channel.h '"lib/fs/file-ops.h"' '<lib/base/log.h>'
  put lib/proto/proto.h '"lib/net/channel.h"'
  put rsapi/rs-api.h '"lib/base/log.h"'
  put client/store/db.h '"lib/fs/file-ops.h"'
  put client/core/task.h '"client/store/db.h"' '"lib/net/channel.h"'
  put client/ui/ui.h '"client/core/task.h"'
  put client/local/detector.h '"client/core/task.h"'
  put client/sync/worker.cpp '"client/local/detector.h"' '"client/ui/ui.h"' '"lib/proto/proto.h"' '"rsapi/rs-api.h"'
  put client/client.cpp '"client/sync/worker.cpp"'
  put server/server.cpp '"lib/proto/proto.h"' '"rsapi/rs-api.h"' '"helper.h"'
  put server/helper.h
  put monitor/monitor.cpp '"client/store/db.h"' '"lib/proto/proto.h"'
  put tests/client/t.cpp '"client/sync/worker.cpp"' '"server/helper.h"'
  put bench/b.cpp '"client/client.cpp"'
  put fuzz/f.cpp '"client/sync/worker.cpp"'
}

fresh
out=$("$CHECK" "$TMP/tree" 2>&1) || fail "a tree that follows the rules was refused: $out"

# expect_violation FILE INCLUDE TEXT: adding the include to FILE must fail,
# and the message must name the file, the include and TEXT (the rule).
expect_violation() {
  local file=$1 inc=$2 text=$3 out
  fresh
  put "$file" "$inc"
  if out=$("$CHECK" "$TMP/tree" 2>&1); then
    fail "$file including $inc was accepted"
    return
  fi
  case $out in
    *"$file:1 includes $inc"*"$text"*) ;;
    *) fail "unclear message for $file including $inc: $out" ;;
  esac
}

expect_violation lib/base/x.h '"lib/fs/file-ops.h"' "lib/base may include only: nothing outside itself"
expect_violation lib/proto/x.cpp '"client/core/task.h"' "lib/proto may include only: lib/net lib/fs lib/base"
expect_violation lib/fs/x.cpp '<client/store/db.h>' "lib/fs may include only: lib/base"
expect_violation lib/conf/x.cpp '"lib/net/channel.h"' "lib/conf may include only: lib/fs lib/base"
expect_violation lib/net/x.cpp '"../../client/ui/ui.h"' "lib/net may include only"
expect_violation rsapi/x.cpp '"lib/fs/file-ops.h"' "rsapi may include only: lib/base"
expect_violation client/store/x.h '"client/core/task.h"' "client/store may include only: lib/fs lib/base"
expect_violation client/core/x.cpp '"client/ui/ui.h"' "client/core may include only"
expect_violation client/core/y.cpp '"lib/proto/proto.h"' "client/core may include only"
expect_violation client/ui/x.cpp '"client/local/detector.h"' "client/ui may include only"
expect_violation client/local/x.cpp '"client/sync/worker.cpp"' "client/local may include only"
expect_violation server/x.cpp '"client/store/db.h"' "server may include only: lib/base lib/fs lib/conf lib/net lib/proto rsapi"
expect_violation monitor/x.cpp '"client/core/task.h"' "monitor may include only: lib/base lib/fs lib/conf lib/net lib/proto client/store"
expect_violation lib/base/y.cpp '"tests/client/t.cpp"' "lib/base may include only"

# A folder under lib/ or client/ that no rule covers is refused, not waved through.
fresh
put client/engine/x.cpp '"lib/base/log.h"'
out=$("$CHECK" "$TMP/tree" 2>&1) && fail "a folder without a rule was accepted"
case $out in *"client/engine/x.cpp: its folder has no layer rule"*) ;; *) fail "unclear message for a folder without a rule: $out" ;; esac

[ $failed -eq 0 ] && echo "check-layers: all cases pass"
exit $failed
