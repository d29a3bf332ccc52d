#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Tavrik and runs every test.
# Usage: scripts/test.sh [preset]   (dev by default; asan and tsan also work)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
shift || true
ctest --test-dir "build/$preset" --output-on-failure -j"$(nproc)" "$@"
