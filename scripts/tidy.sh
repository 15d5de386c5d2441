#!/usr/bin/env bash
# clang-tidy (.clang-tidy's checks) on the product's C++ sources a change touched
# (tests, benchmarks and fuzz targets are left out: their loops and copies are
# not worth the noise); any finding fails. The change is BASE..HEAD, BASE by default HEAD's first parent (the
# last commit, or everything a merge brought in).
#   scripts/tidy.sh [BUILD_DIR [BASE]]     (BUILD_DIR default build/default, configured)
# The whole tree takes several minutes on 2 cores:
#   run-clang-tidy -p build/default -j 2 -quiet
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
base=${2:-HEAD^1}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: configure first" >&2; exit 2; }
if ! git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  echo "tidy: no $base to compare with (a single commit?): nothing checked"
  exit 0
fi
# Only files the build compiles: the fuzz targets and deleted files have no entry.
mapfile -t files < <(git diff --name-only --diff-filter=d "$base" HEAD -- '*.cpp' ':!*/tests/*' ':!bench/*' ':!fuzz/*' |
  while read -r f; do grep -q "\"file\": \".*/$f\"" "$build/compile_commands.json" && echo "$f"; done)
if [ ${#files[@]} -eq 0 ]; then
  echo "tidy: no compiled C++ source changed since $base"
  exit 0
fi
echo "tidy: ${#files[@]} file(s) changed since $base"
clang-tidy -p "$build" --quiet --warnings-as-errors='*' "${files[@]}"
