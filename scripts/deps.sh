#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is
# missing. Sourced by the other scripts; needs root (or sudo) only when
# something must be installed.
set -euo pipefail

SF_PACKAGES=(build-essential cmake ninja-build pkg-config libsqlite3-dev libssl-dev
             librsync-dev libsystemd-dev pandoc bash-completion rdiff libgtest-dev
             libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-tidy clang-format
             tinyproxy)
# What building the Debian package needs besides (scripts/package-test.sh;
# debian/control's Build-Depends are the -dev packages above).
SF_PACKAGE_PACKAGES=(debhelper dpkg-dev)
# Only the end-to-end benchmark (bench/e2e.sh) needs these: the reference it
# measures against, and its driver.
SF_BENCH_PACKAGES=(rsync python3)

sf_install_deps() {
  sf_install_packages "${SF_PACKAGES[@]}"
}

sf_install_package_deps() {
  sf_install_packages "${SF_PACKAGE_PACKAGES[@]}"
}

sf_install_bench_deps() {
  sf_install_packages "${SF_BENCH_PACKAGES[@]}"
}

sf_install_packages() {
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root to install ${missing[*]}" >&2; return 1; }
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
