#!/usr/bin/env bash
# Builds Tachyload and opens its window (the README's run command). Without a
# display it says so and shows how to use the command-line program instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tachyload tachyload-cli
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the window needs one (or run it under xvfb-run)."
  echo "Use the command-line program instead, for example:"
  echo "  build/default/app/tachyload-cli --demo"
  echo "  build/default/app/tachyload-cli --help"
  exit 1
fi
exec build/default/app/tachyload "$@"
