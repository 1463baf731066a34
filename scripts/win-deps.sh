#!/usr/bin/env bash
# Cross-builds the Windows dependencies Debian packages no mingw build of (libzip,
# GoogleTest) from Debian's own source packages, into a cache the Windows build
# reuses: $VK_WIN_DEPS (default /var/cache/vaultkeep/mingw-deps). A stamp per
# package records the source version and the toolchain file, so a rerun with
# nothing changed returns at once. Sources come from the Debian archive only.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
DEPS=${VK_WIN_DEPS:-/var/cache/vaultkeep/mingw-deps}
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
mkdir -p "$DEPS/src" "$DEPS/stamps"

# apt-get source needs deb-src lines: the machine's own archive entries, copied as such.
src_list=/etc/apt/sources.list.d/vaultkeep-deb-src.sources
ensure_deb_src() {
  [ -f "$src_list" ] || [ -f "${src_list%.sources}.list" ] && return 0
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src_list.new"
    mv "$src_list.new" "$src_list"
  elif grep -q '^deb ' /etc/apt/sources.list 2>/dev/null; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"${src_list%.sources}.list"
  else
    echo "win-deps: no Debian archive entry to copy as deb-src" >&2
    exit 1
  fi
  apt-get update -qq
}

# Candidate source version of a package, e.g. 1.7.3-1.
source_version() { apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2; exit}'; }

# build NAME CMAKE-ARGS...: fetch NAME's Debian source, configure, build and install into $DEPS.
build() {
  local name=$1
  shift
  ensure_deb_src
  local version key
  version=$(source_version "$name")
  [ -n "$version" ] || { echo "win-deps: no source package $name" >&2; exit 1; }
  key="$version $(sha256sum "$toolchain" | cut -c1-16) $*"
  if [ -f "$DEPS/stamps/$name" ] && [ "$(cat "$DEPS/stamps/$name")" = "$key" ]; then
    return 0
  fi
  echo "win-deps: cross-building $name $version"
  local work="$DEPS/src/$name"
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && apt-get source -qq --download-only "$name=$version" >/dev/null 2>&1 &&
    dpkg-source -x --no-check ./*.dsc tree >/dev/null)
  cmake -S "$work/tree" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS" -DVK_WIN_DEPS="$DEPS" -Wno-dev "$@" >"$work/configure.log" 2>&1
  nice cmake --build "$work/build" -j"${JOBS:-2}" >"$work/build.log"
  cmake --install "$work/build" >/dev/null
  rm -rf "$work"
  echo "$key" >"$DEPS/stamps/$name"
}

# libzip: static, deflate only (zlib from mingw's package); no tools, tests or docs.
build libzip -DBUILD_SHARED_LIBS=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
  -DENABLE_WINDOWS_CRYPTO=ON -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_OSSFUZZ=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
# GoogleTest with GoogleMock, static.
build googletest -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF
echo "$DEPS"
