#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, Linux and
# Windows builds both. Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  libssl-dev libacl1-dev acl libzip-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libtss2-dev swtpm swtpm-tools
  clang-format
  python3 python3-pytest # the Python binding and its tests
  clang clang-14 libclang-rt-14-dev
  # The Windows build: mingw-w64, its libgcrypt and zlib, Wine to run it, dpkg-dev for apt-get source.
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  libgcrypt-mingw-w64-dev libz-mingw-w64-dev wine64 dpkg-dev
  # The Debian packages (scripts/packages.sh).
  debhelper lintian
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run as root (or install them with apt-get)" >&2
    exit 1
  fi

  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# libzip and GoogleTest for Windows, cross-built once from Debian's sources and cached.
bash "$(dirname "$0")/win-deps.sh" >/dev/null
