#!/usr/bin/env bash
# Installs the Debian package into a freshly bootstrapped Debian 12 root and
# runs it there, so its dependencies are checked against a system that has
# nothing else installed; then removes it again:
#   bash scripts/package-clean-root.sh [BUILD_DIR] [ROOT_DIR]
# Needs root, debootstrap and access to the Debian mirror ($MIRROR, default
# http://deb.debian.org/debian). The packages debootstrap fetches are kept in
# $CACHE_DIR (default /var/cache/brenix-clean-root) for the next run. The root
# is deleted at the end unless KEEP_ROOT=1. Each step prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
root=$(realpath -m "${2:-/tmp/brenix-clean-root}")
mirror=${MIRROR:-http://deb.debian.org/debian}
cache=${CACHE_DIR:-/var/cache/brenix-clean-root}

[ "$(id -u)" = 0 ] || { echo "package-clean-root: run as root" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "package-clean-root: install debootstrap" >&2; exit 1; }
[ ! -e "$root" ] || { echo "package-clean-root: $root exists; give a new folder" >&2; exit 1; }

mounted=0
cleanup() {
  if [ "$mounted" = 1 ]; then umount "$root/sys" "$root/proc" || true; fi
  if [ "${KEEP_ROOT:-0}" != 1 ]; then rm -rf --one-file-system "$root" "$root.debootstrap.log"; fi
}
trap cleanup EXIT

start=$SECONDS
step() {
  echo "=== $1 ($((SECONDS - start)) s so far) ==="
}
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "package"
rm -f "$build"/brenix_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brenix_*.deb)
echo "$deb"

step "debootstrap bookworm (minbase) into $root"
mkdir -p "$cache"
debootstrap --variant=minbase --cache-dir="$cache" bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
# /proc and /sys as a booted system has them (recovery refuses an output
# folder whose disk it cannot find in /sys).
mount -t proc proc "$root/proc"
mounted=1
mount -t sysfs sysfs "$root/sys"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"

step "apt-get install ./$(basename "$deb")"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "./tmp/$(basename "$deb")" \
  >"$root/tmp/install.log" 2>&1 || { tail -30 "$root/tmp/install.log" >&2; exit 1; }
grep -E "^(Unpacking|Setting up) brenix" "$root/tmp/install.log" || true
echo "packages in the root: $(in_root dpkg-query -W | wc -l)"

step "run the installed programs"
in_root brenix --version
in_root sh -c 'cd /tmp && brenix demo --out /tmp/x --image /tmp/demo.img' | tee "$root/tmp/demo.log"
grep -q "3 verified byte for byte" "$root/tmp/demo.log"
in_root env QT_QPA_PLATFORM=offscreen brenix-gui --version

step "dpkg -r brenix"
in_root dpkg -r brenix
for f in /usr/bin/brenix /usr/bin/brenix-gui /usr/share/brenix/rp.dat; do
  if in_root test -e "$f"; then echo "package-clean-root: $f is still there after dpkg -r" >&2; exit 1; fi
done

step "done"
echo "package-clean-root: the package installs, runs and removes cleanly in a new Debian 12 root in $((SECONDS - start)) s"
