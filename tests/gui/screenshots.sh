#!/usr/bin/env bash
# Renders every page and dialog of the desktop application into PNG files:
#   bash tests/gui/screenshots.sh [OUT_DIR] [BUILD_DIR]
# Uses a real X server (Xvfb) when xvfb-run is installed, else Qt's offscreen platform.
# The drive and results pages show the built-in demo disk as the real engines
# scan it. Each picture is then reduced to 256 colours where that is smaller
# (ImageMagick) and recompressed without loss (optipng).
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(realpath -m "${1:-screenshots}")
build=${2:-build/release}
test_bin="$build/tests/gui/gui_test"
[ -x "$test_bin" ] || { echo "build $test_bin first (BRENIX_BUILD_GUI=ON)" >&2; exit 1; }
mkdir -p "$out"
if command -v xvfb-run >/dev/null; then
  BRENIX_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
    "$test_bin" --gtest_filter='Screenshots.*'
else
  BRENIX_SCREENSHOT_DIR="$out" "$test_bin" --gtest_filter='Screenshots.*'
fi
if command -v convert >/dev/null; then
  for f in "$out"/*.png; do
    convert "$f" -strip -colors 256 "PNG8:$f.256" &&
      if [ "$(stat -c %s "$f.256")" -lt "$(stat -c %s "$f")" ]; then mv "$f.256" "$f"; else rm -f "$f.256"; fi
  done
fi
if command -v optipng >/dev/null; then
  optipng -quiet -o2 -strip all "$out"/*.png
else
  echo "optipng not installed: the pictures are left as written" >&2
fi
ls "$out"
