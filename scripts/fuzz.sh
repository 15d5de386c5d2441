#!/usr/bin/env bash
# Builds and runs the libFuzzer targets (clang, ASan+UBSan) in build/fuzz.
#   scripts/fuzz.sh TARGET MINUTES [FLAGS]  one target, long: its corpus grows in
#                                    build/fuzz/corpus/TARGET, seeded from fuzz/corpus/TARGET;
#                                    FLAGS go to libFuzzer (-jobs=1 logs to build/fuzz/logs/TARGET/)
#   scripts/fuzz.sh --all SECONDS    every fuzz/*_fuzz.cpp briefly from its seeds (CI)
# A target's extra libFuzzer flags are read from fuzz/TARGET.options (one per line,
# a relative -dict= path is taken from fuzz/). A finding is written to
# build/fuzz/artifacts/ and ends the run with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz

usage() {
  echo "usage: scripts/fuzz.sh TARGET MINUTES [libFuzzer flags] | --all SECONDS" >&2
  exit 2
}

configure() {
  [ -f "$build/build.ninja" ] && return
  cmake --preset fuzz >/dev/null
}

# The flags of fuzz/$1.options, one per line; blank lines and # comments skipped.
target_flags() {
  local file="fuzz/$1.options" line
  [ -f "$file" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    [ -n "$line" ] || continue
    case "$line" in
      -dict=/*) ;;
      -dict=*) line="-dict=$root/fuzz/${line#-dict=}" ;;
    esac
    echo "$line"
  done <"$file"
}

# run TARGET SECONDS WORK_CORPUS [libFuzzer flags...]
run() {
  local target=$1 seconds=$2 corpus=$3
  shift 3
  local seeds="$root/fuzz/corpus/$target" flags
  mkdir -p "$corpus" "$build/artifacts" "$build/logs/$target"
  mapfile -t flags < <(target_flags "$target")
  local dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  # The working directory takes the logs of -jobs runs.
  (cd "$build/logs/$target" && "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "${flags[@]}" "$@" "${dirs[@]}")
}

[ $# -ge 2 ] || usage
configure
if [ "$1" = "--all" ]; then
  seconds=$2
  [ $# -eq 2 ] || usage
  cmake --build "$build" --target tl_fuzz
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  for src in fuzz/*_fuzz.cpp; do
    target=$(basename "$src" .cpp)
    echo "== $target, $seconds s"
    if ! run "$target" "$seconds" "$work/$target" >"$work/$target.log" 2>&1; then
      tail -40 "$work/$target.log"
      echo "$target failed" >&2
      exit 1
    fi
    grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units' "$work/$target.log" || true
  done
  exit 0
fi
target=$1
minutes=$2
[ -f "fuzz/$target.cpp" ] || { echo "no fuzz/$target.cpp" >&2; exit 2; }
[[ "$minutes" =~ ^[0-9]+$ ]] || usage
shift 2
cmake --build "$build" --target "$target"
run "$target" $((minutes * 60)) "$build/corpus/$target" "$@"
