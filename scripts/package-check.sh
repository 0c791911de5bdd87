#!/usr/bin/env bash
# Builds the Debian package from a configured build, installs it on this
# machine (as root), runs the installed programs, validates the desktop and
# AppStream files and the package, then removes the package again:
#   bash scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg -r brenix >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if dpkg-query -W -f='${Status}' brenix 2>/dev/null | grep -q "install ok installed"; then
  echo "package-check: brenix is already installed here; not touching it" >&2
  exit 1
fi

rm -f "$build"/brenix_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brenix_*.deb)
echo "package: $deb"
dpkg-deb -I "$deb" | grep -E "^ (Version|Depends):"

echo "=== lintian ==="
# Errors fail the check; warnings are printed.
lintian --tag-display-limit 0 --fail-on error "$deb"

echo "=== install ==="
dpkg -i "$deb" >/dev/null
installed=1
/usr/bin/brenix --version
(cd "$work" && /usr/bin/brenix demo --out "$work/recovered" --image "$work/demo.img") | tee "$work/demo.log"
grep -q "3 verified byte for byte" "$work/demo.log"
QT_QPA_PLATFORM=offscreen /usr/bin/brenix-gui --version
test -f /usr/share/brenix/rp.dat
MANWIDTH=80 man -l /usr/share/man/man1/brenix.1.gz | grep -q "brenix - find and recover"
MANWIDTH=80 man -l /usr/share/man/man1/brenix-gui.1.gz | grep -q "brenix-gui"

echo "=== desktop and AppStream files ==="
desktop-file-validate /usr/share/applications/brenix.desktop
appstreamcli validate --no-net /usr/share/metainfo/io.github.brenix.PhotoRecovery.metainfo.xml
for size in 16x16 32x32 48x48 64x64 128x128 256x256; do test -s "/usr/share/icons/hicolor/$size/apps/brenix.png"; done
test -s /usr/share/icons/hicolor/scalable/apps/brenix.svg

dpkg -r brenix >/dev/null
installed=0
test ! -e /usr/bin/brenix
echo "package-check: the package installs, runs and removes cleanly"
