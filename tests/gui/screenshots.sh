#!/usr/bin/env bash
# Renders every page and dialog of the desktop application into PNG files:
#   bash tests/gui/screenshots.sh [OUT_DIR] [BUILD_DIR]
# Uses a real X server (Xvfb) when xvfb-run is installed, else Qt's offscreen platform.
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
ls "$out"
