#!/usr/bin/env bash
# The test command as a new user meets it: in a chroot that holds only what a new machine
# has, from a fresh clone of this repository's HEAD in root's home, with empty caches.
#   bash scripts/fresh-machine.sh PACKAGES [DIR]
# PACKAGES lists the new machine's Debian packages, one a line (a name, or tab-separated
# "apt NAME VERSION" rows; other rows are skipped). DIR (default /var/tmp/vaultkeep-fresh)
# gets the chroot, which is removed at the end; DIR.template keeps the machine before its
# first run, so later runs start in a minute: remove it when the package list changes.
# Needs root, debootstrap (installed if missing) and the host's apt sources, which the
# chroot is made from and uses. Prints the test command's output and its exit status.
set -euo pipefail
case ${1:-} in
"" | -h | --help) sed -n '2,10p' "$0"; exit $(($# ? 0 : 2)) ;;
esac
[ -f "$1" ] || { echo "fresh-machine: no package list $1" >&2; exit 2; }
PACKAGES=$(realpath "$1")
DIR=${2:-/var/tmp/vaultkeep-fresh}
TEMPLATE=$DIR.template
REPO=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine: needs root (chroot, mounts)" >&2; exit 1; }
SOURCES=/etc/apt/sources.list.d/debian.sources

# The chroot is removed only once nothing is mounted in it: /dev is the host's own.
cleanup() {
  local m
  for m in dev/pts dev sys proc; do
    if mountpoint -q "$DIR/$m" 2>/dev/null; then umount "$DIR/$m" || umount -l "$DIR/$m" || true; fi
  done
  if grep -q " $DIR/" /proc/mounts; then
    echo "fresh-machine: $DIR still has mounts; left in place" >&2
  else
    rm -rf "$DIR"
  fi
}
trap cleanup EXIT

if [ ! -f "$TEMPLATE/etc/debian_version" ]; then
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(awk '$1 == "URIs:" { print $2; exit }' "$SOURCES")
  rm -rf "$TEMPLATE.new"
  echo "fresh-machine: making $TEMPLATE ($suite, then the listed packages)"
  debootstrap --variant=minbase "$suite" "$TEMPLATE.new" "$mirror" >/dev/null
  rm -f "$TEMPLATE.new/etc/apt/sources.list"
  cp "$SOURCES" "$TEMPLATE.new/etc/apt/sources.list.d/"
  cp /etc/resolv.conf "$TEMPLATE.new/etc/"
  awk -F'\t' '/^#/ { next } NF == 1 { print $1 } $1 == "apt" { sub(/:.*/, "", $2); print $2 }' "$PACKAGES" >"$TEMPLATE.new/root/packages"
  mount -t proc proc "$TEMPLATE.new/proc"
  chroot "$TEMPLATE.new" bash -c 'apt-get update -qq && avail=() &&
    for p in $(cat /root/packages); do apt-cache show "$p" >/dev/null 2>&1 && avail+=("$p"); done &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${avail[@]}" >/dev/null 2>&1 &&
    echo "fresh-machine: ${#avail[@]} packages installed" && apt-get clean && rm -rf /var/lib/apt/lists/* /root/packages' ||
    { umount "$TEMPLATE.new/proc"; exit 1; }
  umount "$TEMPLATE.new/proc"
  mv -T "$TEMPLATE.new" "$TEMPLATE"
fi

rm -rf "$DIR"
cp -a "$TEMPLATE" "$DIR"
mount -t proc proc "$DIR/proc"
mount -t sysfs sys "$DIR/sys"
mount --bind /dev "$DIR/dev"
mount --bind /dev/pts "$DIR/dev/pts"
git clone -q "$REPO" "$DIR/root/vaultkeep"
start=$SECONDS
rc=0
chroot "$DIR" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 CI=true bash -c 'cd /root/vaultkeep && bash .ci/run' </dev/null || rc=$?
echo "fresh-machine: the test command exited $rc after $((SECONDS - start)) s"
exit "$rc"
