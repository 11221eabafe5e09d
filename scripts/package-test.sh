#!/usr/bin/env bash
# Builds the Debian package the way a packager would, from a clean copy of
# the tree (the files git tracks or would track, as they are now), and
# checks that it is whole and works:
#  - `dpkg-buildpackage -us -uc -b` builds it (a Release build, no tests);
#  - it installs, and `syncfolder --version` runs from it with the version
#    of debian/changelog;
#  - it holds the four programs, the man pages (every section of the
#    manual on one of them, with its text on exit statuses and the XDG
#    path), the bash completion (which completes the options the
#    programs' --help lists) and the systemd user unit, whose command
#    fails with status 3 on a bad configuration;
#  - `cmake --install` and the uninstall target leave nothing behind.
#
# Installing: as root on CI (CI=true: a throwaway machine) the package is
# installed for real with dpkg -i, which also proves that its dependencies
# are met and that dpkg accepts it, and purged at the end. Elsewhere it is
# unpacked with dpkg -x into a temporary folder and its dependencies are
# checked with apt-get --simulate, so that a developer's system is left
# alone. SF_PACKAGE_INSTALL=1 or 0 chooses either way; SF_PACKAGE_TEST=0
# (read by scripts/test.sh) skips this script; SF_PACKAGE_KEEP=1 keeps its
# temporary folder (the build log, the package) for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
sf_install_deps
sf_install_package_deps

top=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/sf-package.XXXXXX")
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    dpkg --purge syncfolder >/dev/null || echo "package-test: could not purge syncfolder" >&2
  fi
  if [ "${SF_PACKAGE_KEEP:-0}" = 1 ]; then
    echo "package-test: kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
step() { echo "package-test: $*"; }

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
src=$work/syncfolder-$version
mkdir -p "$src"

# The clean copy: no build folders, no ignored files; changes not yet
# committed are in it, files deleted but not yet committed are not.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
      if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done |
    tar --null -T - -cf - | tar -xf - -C "$src"
else
  tar --exclude-vcs --exclude='./build*' --exclude=./out --exclude=./demo -cf - . |
    tar -xf - -C "$src"
fi

step "building the package $version in $src"
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS
if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" \
        dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
  tail -n 60 "$work/build.log" >&2
  fail "dpkg-buildpackage (the whole log: $work/build.log, kept with SF_PACKAGE_KEEP=1)"
fi
step "built in $((SECONDS - start)) s"
# A section of the manual that no man page shows.
if grep "man-page.lua: warning" "$work/build.log" >&2; then
  fail "the man pages leave out part of docs/usage.md"
fi
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=$work/syncfolder_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $deb"

dpkg-deb -I "$deb" >"$work/info" || fail "dpkg-deb -I"
grep -q "^ Package: syncfolder$" "$work/info" || fail "the package is not named syncfolder"
grep -q "^ Depends: .*libsystemd0" "$work/info" ||
  fail "the package does not depend on libsystemd0: built without the journal"
# The unit is for users who choose it: not enabled at install for all
# (debhelper's script without --no-enable enables it unless the unit was
# installed before; with it, only a user's own earlier choice is renewed).
dpkg-deb -e "$deb" "$work/control"
if [ -f "$work/control/postinst" ] &&
   grep -q "deb-systemd-helper --user enable" "$work/control/postinst" &&
   ! grep -q "deb-systemd-helper --user debian-installed" "$work/control/postinst"; then
  fail "the package enables the user unit for every user"
fi

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for f in /usr/bin/syncfolder /usr/bin/syncfolder-monitor /usr/bin/syncfolder-server \
         /usr/bin/syncfolder-relay \
         /usr/share/man/man1/syncfolder.1.gz /usr/share/man/man1/syncfolder-monitor.1.gz \
         /usr/share/man/man5/syncfolder.conf.5.gz /usr/share/man/man8/syncfolder-server.8.gz \
         /usr/share/bash-completion/completions/syncfolder \
         /usr/share/bash-completion/completions/syncfolder-monitor \
         /usr/share/bash-completion/completions/syncfolder-server \
         /usr/share/bash-completion/completions/syncfolder-relay \
         /usr/lib/systemd/user/syncfolder.service \
         /usr/share/syncfolder/client.conf /usr/share/syncfolder/filter \
         /usr/share/doc/syncfolder/usage.md; do
  grep -qx "$f" "$work/contents" || fail "the package lacks $f"
done

if [ -n "${SF_PACKAGE_INSTALL:-}" ]; then
  install_for_real=$SF_PACKAGE_INSTALL
elif [ "$(id -u)" -eq 0 ] && [ "${CI:-}" = true ]; then
  install_for_real=1
else
  install_for_real=0
fi
if [ "$install_for_real" = 1 ] && dpkg-query -W -f='${Status}' syncfolder 2>/dev/null |
   grep -q "install ok installed"; then
  step "syncfolder is installed on this system already: unpacking instead of installing"
  install_for_real=0
fi
if [ "$install_for_real" = 1 ]; then
  step "installing with dpkg -i"
  installed=1
  dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i"; }
  root=""
else
  step "unpacking with dpkg -x (not installed: see the top of this script)"
  if command -v apt-get >/dev/null; then
    apt-get install --simulate -qq "$deb" >"$work/simulate.log" 2>&1 ||
      { cat "$work/simulate.log" >&2; fail "its dependencies cannot be met"; }
  fi
  root=$work/root
  dpkg-deb -x "$deb" "$root"
fi

said=$("$root/usr/bin/syncfolder" --version) || fail "syncfolder --version exits $?"
case $said in
  "syncfolder $version"*) ;;
  *) fail "syncfolder --version says '$said', debian/changelog $version" ;;
esac
for p in syncfolder-monitor syncfolder-server syncfolder-relay; do
  "$root/usr/bin/$p" --version >/dev/null || fail "$p --version"
done
step "$said"

# The man pages carry the manual's text: a few phrases of docs/usage.md on
# the exit statuses and the XDG paths, looked for in the page's words.
page_words() { zcat "$root$1" | tr '\n' ' ' | sed 's/\\-/-/g; s/\\f\[[A-Z]*\]//g; s/  */ /g'; }
has() {
  local page=$1 phrase=$2
  page_words "$page" | grep -qF -- "$phrase" || fail "$page lacks: $phrase"
}
has /usr/share/man/man1/syncfolder.1.gz '$XDG_CONFIG_HOME/syncfolder/client.conf'
has /usr/share/man/man1/syncfolder.1.gz 'another daemon runs on the same database folder'
has /usr/share/man/man1/syncfolder.1.gz 'syncfolder.conf(5)'
has /usr/share/man/man1/syncfolder-monitor.1.gz 'the UI port cannot be listened on'
has /usr/share/man/man1/syncfolder-monitor.1.gz '--attach'
has /usr/share/man/man5/syncfolder.conf.5.gz 'removal_guard_percent'
has /usr/share/man/man5/syncfolder.conf.5.gz '$XDG_CONFIG_HOME/syncfolder/client.conf'
has /usr/share/man/man8/syncfolder-server.8.gz '--share'
if command -v man >/dev/null; then
  for page in man1/syncfolder.1 man1/syncfolder-monitor.1 man5/syncfolder.conf.5 \
              man8/syncfolder-server.8; do
    MANWIDTH=80 man -l "$root/usr/share/man/$page.gz" >"$work/rendered" 2>/dev/null ||
      fail "man cannot show $page"
    [ "$(wc -l <"$work/rendered")" -gt 20 ] || fail "$page renders to almost nothing"
  done
fi

# The completion, as bash-completion loads it, asked as if Tab was pressed.
complete_line() {
  local file=$1
  shift
  bash --norc --noprofile -c '
    . /usr/share/bash-completion/bash_completion
    . "$0"
    compopt() { :; }   # only valid while bash itself completes
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _syncfolder "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' "$file" "$@"
}
comp=$root/usr/share/bash-completion/completions
complete_line "$comp/syncfolder" "$root/usr/bin/syncfolder" --ver | grep -qx -- --version ||
  fail "the completion does not offer syncfolder --version"
complete_line "$comp/syncfolder-monitor" "$root/usr/bin/syncfolder-monitor" --at |
  grep -qx -- --attach || fail "the completion does not offer syncfolder-monitor --attach"
complete_line "$comp/syncfolder-server" "$root/usr/bin/syncfolder-server" --sh |
  grep -qx -- --share= || fail "the completion does not offer syncfolder-server --share="
complete_line "$comp/syncfolder-server" "$root/usr/bin/syncfolder-server" --share /srv mk |
  grep -qx mkdir || fail "the completion does not offer syncfolder-server's mkdir"
complete_line "$comp/syncfolder-relay" "$root/usr/bin/syncfolder-relay" --al |
  grep -qx -- --allow= || fail "the completion does not offer syncfolder-relay --allow="

# The unit's own command, with %E as systemd fills it, on a configuration
# with a bad port: the daemon refuses (status 3), so the unit fails, and
# is not restarted.
unit=$root/usr/lib/systemd/user/syncfolder.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$exec_start" ] || fail "the unit has no ExecStart"
case $exec_start in
  /usr/bin/syncfolder\ %E/syncfolder/client.conf) ;;
  *) fail "the unit runs '$exec_start'" ;;
esac
grep -q '^RestartPreventExitStatus=.*\b3\b' "$unit" || fail "the unit restarts after status 3"
xdg=$work/home/.config
mkdir -p "$xdg/syncfolder" "$work/home/Sync"
printf 'watch = "%s"\ndb_loc = "%s"\nsession = "s-0123456789"\nserver = "127.0.0.1"\nport = 0\n' \
  "$work/home/Sync" "$work/home/db" >"$xdg/syncfolder/client.conf"
chmod 600 "$xdg/syncfolder/client.conf"
command=${exec_start//%E/$xdg}
set +e
HOME=$work/home XDG_CONFIG_HOME=$xdg $root$command </dev/null >"$work/unit.out" 2>"$work/unit.err"
status=$?
set -e
[ "$status" -eq 3 ] || { cat "$work/unit.err" >&2; fail "the unit's command exits $status, not 3"; }
grep -q "client.conf, line 5" "$work/unit.err" ||
  { cat "$work/unit.err" >&2; fail "the refusal does not name the file and line"; }

# `cmake --install` into a prefix of our own and the uninstall target,
# from the package's build folder.
obj=$(find "$src" -maxdepth 1 -type d -name 'obj-*' | head -n 1)
[ -n "$obj" ] || fail "no build folder obj-* in $src"
cmake --install "$obj" --prefix "$work/prefix" >/dev/null || fail "cmake --install"
[ -x "$work/prefix/bin/syncfolder" ] || fail "cmake --install put no $work/prefix/bin/syncfolder"
grep -q '^ExecStart=.*/prefix/bin/syncfolder %E/' "$work/prefix/lib/systemd/user/syncfolder.service" ||
  fail "the unit cmake --install writes does not name the installed daemon"
cmake --build "$obj" --target uninstall >/dev/null || fail "the uninstall target"
left=$(find "$work/prefix" ! -type d)
[ -z "$left" ] || fail "the uninstall target left: $left"

step "passed"
