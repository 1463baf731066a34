#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Idempotent: when
# everything is present it only checks and returns.
#   bash scripts/setup.sh [linux|windows|packaging]...   (default: all three)
# linux: the Linux build, its tests, fuzz harnesses and demo; windows: the Windows build
# and Wine, and the Windows dependencies cross-built once (scripts/win-deps.sh);
# packaging: what scripts/packages.sh needs.
set -euo pipefail

LINUX=(
  build-essential cmake ninja-build pkg-config ccache
  libssl-dev libacl1-dev acl libzip-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libtss2-dev swtpm swtpm-tools
  clang-format
  python3 python3-pytest # the Python binding and its tests
  clang clang-14 libclang-rt-14-dev
)
# mingw-w64, its libgcrypt and zlib, Wine to run it, dpkg-dev for apt-get source.
WINDOWS=(
  cmake ninja-build ccache
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  libgcrypt-mingw-w64-dev libz-mingw-w64-dev wine64 dpkg-dev
)
PACKAGING=(build-essential cmake ninja-build dpkg-dev debhelper lintian)

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(linux windows packaging)
PACKAGES=()
for g in "${groups[@]}"; do
  case $g in
  linux) PACKAGES+=("${LINUX[@]}") ;;
  windows) PACKAGES+=("${WINDOWS[@]}") ;;
  packaging) PACKAGES+=("${PACKAGING[@]}") ;;
  *) echo "setup: unknown group $g (linux, windows or packaging)" >&2; exit 2 ;;
  esac
done

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
if [[ " ${groups[*]} " == *" windows "* ]]; then
  bash "$(dirname "$0")/win-deps.sh" >/dev/null
fi
