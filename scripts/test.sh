#!/usr/bin/env bash
# Builds Tachyload and runs the whole test suite (the README's test command).
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/setup.sh
scripts/install-test-servers.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# The window's tests run on Qt's offscreen platform.
export QT_QPA_PLATFORM=offscreen
# LeakSanitizer: system libraries' own leaks are not ours.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
ctest --preset "$preset"
