#!/usr/bin/env bash
# Installs what is missing, builds, and recovers the deleted pictures of the
# built-in demo disk image into ./recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
./build/release/src/cli/brenix demo --out recovered "$@"
