#!/usr/bin/env bash
# Builds Tachyload and runs the whole test suite (the README's test command).
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# The window's tests run on Qt's offscreen platform.
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset"
