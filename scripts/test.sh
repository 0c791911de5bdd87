#!/usr/bin/env bash
# Installs what is missing, builds the release and the sanitizer builds, and
# runs the whole test suite in both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
for preset in release asan; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests ==="
  ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = release ]; then
    echo "=== Debian package ==="
    bash scripts/package-check.sh build/release
    echo "=== Debian package in a new Debian 12 root ==="
    bash scripts/package-clean-root.sh build/release "$(mktemp -u -d /tmp/brenix-clean-root.XXXXXX)"
  fi
done
# The Windows cross-build (MinGW-w64) and its tests under wine, after the Linux
# builds: windows_matches_linux compares it with build/release on the corpus.
echo "=== windows build ==="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "=== windows tests (wine) ==="
WINEPREFIX=$(mktemp -d /tmp/brenix-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
wine wineboot --init >/dev/null 2>&1 || true
status=0
ctest --preset windows -j "$jobs" || status=$?
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
exit "$status"
