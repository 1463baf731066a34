#!/usr/bin/env bash
# The Debian packages (debian/): libvaultkeep1, libvaultkeep-dev, vaultkeep and, when the tree
# has the Python module, python3-vaultkeep.
#
#   bash scripts/packages.sh build [VERSION]   builds them into build/packages/ (VERSION: the
#                                               changelog's by default) and runs lintian on them
#   bash scripts/packages.sh check             as root, on a machine without Vaultkeep: installs
#       them, runs the demo story with the installed tool and the C story built with pkg-config,
#       upgrades to a rebuilt package, removes and purges, shows the vault's data kept, and
#       finally removes everything it put on the machine (packages, group, /var/lib/vaultkeep).
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$PWD/build/packages

# build VERSION: a copy of the tree (what git tracks or would track) in build/packages/stage,
# built there, since dpkg-buildpackage writes its results beside the source.
build() {
  bash scripts/setup.sh linux packaging
  local version=${1:-$(dpkg-parsechangelog -l debian/changelog -S Version)}
  local stage=$OUT/stage/vaultkeep # one name for every version, so ccache serves a rebuild
  rm -rf "$stage" && mkdir -p "$stage"
  git ls-files -z --cached --others --exclude-standard | grep -zv '^build' | xargs -0 cp --parents -t "$stage"
  if [ "$version" != "$(dpkg-parsechangelog -l debian/changelog -S Version)" ]; then
    { printf 'vaultkeep (%s) unstable; urgency=medium\n\n  * Rebuilt as %s.\n\n -- %s  %s\n\n' "$version" \
        "$version" "$(dpkg-parsechangelog -l debian/changelog -S Maintainer)" "$(date -R)"
      cat debian/changelog; } >"$stage/debian/changelog"
  fi
  if command -v ccache >/dev/null && [ -w "${CCACHE_DIR:=/var/cache/vaultkeep/ccache}" ]; then
    export CCACHE_DIR CCACHE_BASEDIR=$stage CCACHE_NOHASHDIR=true
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  fi
  (cd "$stage" && DEB_BUILD_OPTIONS="parallel=${JOBS:-2}" nice dpkg-buildpackage -b -us -uc >"$OUT/build-$version.log" 2>&1) ||
    { tail -n 40 "$OUT/build-$version.log"; return 1; }
  mv "$OUT"/stage/*_"$version"_*.deb "$OUT"/stage/*_"$version"_*.changes "$OUT"/stage/*_"$version"_*.buildinfo "$OUT/"
  rm -rf "$stage"
  ls "$OUT"/*_"$version"_*.deb
  # Errors fail the build; warnings and notes are shown.
  lintian --fail-on error --suppress-tags-from-file /dev/null "$OUT"/vaultkeep_"$version"_*.changes
  echo "lintian: no errors"
}

check() {
  [ "$(id -u)" -eq 0 ] || { echo "packages.sh check: run as root" >&2; exit 1; }
  if dpkg-query -W libvaultkeep1 vaultkeep >/dev/null 2>&1 || getent group vaultkeep >/dev/null ||
    [ -e /var/lib/vaultkeep ]; then
    echo "packages.sh check: Vaultkeep (a package, the group vaultkeep or /var/lib/vaultkeep) is already here" >&2
    exit 1
  fi
  local v1 v2
  v1=$(dpkg-parsechangelog -l debian/changelog -S Version)
  v2=$v1+rebuild1
  [ -e "$OUT/vaultkeep_${v1}_amd64.changes" ] || build "$v1"
  [ -e "$OUT/vaultkeep_${v2}_amd64.changes" ] || build "$v2"
  tmp=$(mktemp -d /tmp/vaultkeep-packages-XXXXXX) # global: leave removes it
  trap leave EXIT
  export DEBIAN_FRONTEND=noninteractive

  say "Install $v1"
  apt-get install -y -qq $(debs "$v1") >/dev/null
  getent group vaultkeep
  ls -ld /var/lib/vaultkeep "/var/lib/vaultkeep/Program Files" /var/lib/vaultkeep/registry
  bash scripts/exports.sh "$(dirname "$(dpkg -L libvaultkeep1 | grep '/libVaultkeep.so.1$')")"

  say "The demo story with the installed tool, on the machine root"
  bash scripts/demo.sh --installed >"$tmp/demo.log" 2>&1 || { cat "$tmp/demo.log"; exit 1; }
  echo "demo story: every step behaved as expected"

  say "The C story, built with pkg-config against the installed development package"
  make -s -C "$tmp" -f "$PWD/examples/c/Makefile" VPATH="$PWD/examples/c"
  "$tmp/story" "$tmp/carol.zip"
  if [ -n "$(debs "$v1" python3-vaultkeep)" ]; then
    # The system's Python, which searches the package's folder (another python3 may come first on PATH).
    /usr/bin/python3 -c 'import vaultkeep; print("python3-vaultkeep:", vaultkeep.__file__)'
  fi

  say "Data to keep: an application with one credential"
  printf 'kept secret' >"$tmp/secret" && printf 'pw' >"$tmp/pw"
  vaultkeep register-app --app Kept --secret-file "$tmp/secret"
  printf 'kept-token' | vaultkeep store --app Kept --user dora --id token --secret-file "$tmp/secret" \
    --password-file "$tmp/pw" --data-file -

  say "Upgrade to $v2 (postinst runs vaultkeep init on the laid-out root)"
  apt-get install -y -qq $(debs "$v2") >/dev/null
  dpkg-query -W libvaultkeep1 vaultkeep
  vaultkeep retrieve --app Kept --user dora --id token --secret-file "$tmp/secret" --password-file "$tmp/pw"
  echo

  say "Remove, then purge: the vault's data stays"
  apt-get remove -y -qq $(installed) >/dev/null
  find /var/lib/vaultkeep/ProgramData -path '*Kept*' | sed 's/^/kept: /'
  dpkg --purge $(installed)
  [ -n "$(find /var/lib/vaultkeep/ProgramData -path '*Kept*/app.bin')" ] || { echo "the data is gone" >&2; exit 1; }
  echo "packages.sh check: installed, upgraded, removed and purged with the data kept"
}

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# The package files of one version (only those named, if any).
debs() {
  local v=$1 p
  shift
  for p in ${@:-libvaultkeep1 libvaultkeep-dev vaultkeep python3-vaultkeep}; do
    ls "$OUT"/${p}_"$v"_*.deb 2>/dev/null || true # not the -dbgsym packages
  done
}
# Our packages dpkg knows, installed or with files left (postrm of a purge to run).
installed() {
  dpkg-query -W -f='${db:Status-Status} ${Package}\n' vaultkeep libvaultkeep-dev libvaultkeep1 python3-vaultkeep \
    2>/dev/null | awk '$1 != "not-installed" {print $2}' || true # dpkg-query fails for a name it never saw
}
# Leaves the machine as it was: what the packages installed and made, and the scratch folder.
leave() {
  local p
  p=$(installed)
  [ -z "$p" ] || dpkg --purge $p >/dev/null
  rm -rf /var/lib/vaultkeep "$tmp"
  groupdel vaultkeep 2>/dev/null || true
  echo "packages.sh check: removed the packages, /var/lib/vaultkeep and the group vaultkeep again"
}

case "${1:-}" in
build) build "${2:-}" ;;
check) check ;;
*) echo "usage: $0 build [VERSION] | check" >&2 && exit 64 ;;
esac
