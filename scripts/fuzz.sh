#!/usr/bin/env bash
# Builds and runs the libFuzzer targets (clang, ASan+UBSan) in build/fuzz.
#   scripts/fuzz.sh TARGET MINUTES [FLAGS]  one target, long: its corpus grows in
#                                    build/fuzz/corpus/TARGET, seeded from fuzz/corpus/TARGET;
#                                    FLAGS go to libFuzzer (-jobs=1 logs to build/fuzz/logs/TARGET/)
#   scripts/fuzz.sh --all SECONDS    every fuzz/*_fuzz.cpp briefly from its seeds (CI)
#   scripts/fuzz.sh --flags FILE     the libFuzzer flags an options file gives
#   scripts/fuzz.sh --env FILE       the sanitizer settings it gives ([asan], [ubsan])
# A target's options are in fuzz/TARGET.options, in the INI form continuous
# fuzzing reads: `key = value` lines under [libfuzzer] become -key=value (a
# relative dict path is taken from fuzz/), [asan] and [ubsan] lines join into
# ASAN_OPTIONS and UBSAN_OPTIONS, other sections are for other engines,
# lines starting with # or ; are comments. A finding is written to
# build/fuzz/artifacts/ and ends the run with a failure.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz

usage() {
  echo "usage: scripts/fuzz.sh TARGET MINUTES [libFuzzer flags] | --all SECONDS | --flags FILE | --env FILE" >&2
  exit 2
}

configure() {
  [ -f "$build/build.ninja" ] && return
  cmake --preset fuzz >/dev/null
}

trim() {
  [[ "$1" =~ ^[[:space:]]*(.*[^[:space:]])?[[:space:]]*$ ]]
  echo "${BASH_REMATCH[1]}"
}

# options_section FILE SECTION: that section's `key=value` lines. A line that
# is not a section, a comment or `key = value` inside a section fails, so that a
# file in another form is not silently ignored.
options_section() {
  local file=$1 want=$2 line section="" key value n=0
  [ -f "$file" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    line=$(trim "$line")
    case "$line" in
      "" | \#* | \;*) continue ;;
      \[*\]) section=$(trim "${line:1:${#line}-2}") && continue ;;
    esac
    key=$(trim "${line%%=*}")
    value=$(trim "${line#*=}")
    if [[ "$line" != *=* || ! "$key" =~ ^[A-Za-z_][A-Za-z0-9_]*$ || -z "$section" ]]; then
      echo "$file:$n: expected key = value under a [section]: $line" >&2
      return 1
    fi
    [ "$section" = "$want" ] && echo "$key=$value"
  done <"$file"
  return 0
}

# options_flags FILE: its [libfuzzer] section as libFuzzer flags, one per line.
options_flags() {
  local text line
  text=$(options_section "$1" libfuzzer) || return 1
  [ -n "$text" ] || return 0
  while IFS= read -r line; do
    [[ "$line" = dict=* && "$line" != dict=/* ]] && line="dict=$root/fuzz/${line#dict=}"
    echo "-$line"
  done <<<"$text"
}

# options_env FILE: its [asan] and [ubsan] sections as the sanitizers'
# environment (ASAN_OPTIONS=a=1:b=2), one variable per line; what the caller's
# environment already sets comes after, so it wins.
options_env() {
  local section text var
  for section in asan ubsan; do
    text=$(options_section "$1" "$section") || return 1
    [ -n "$text" ] || continue
    var=${section^^}_OPTIONS
    text=$(paste -sd: <<<"$text")
    echo "$var=$text${!var:+:${!var}}"
  done
}

# run TARGET SECONDS WORK_CORPUS [libFuzzer flags...]
run() {
  local target=$1 seconds=$2 corpus=$3
  shift 3
  local seeds="$root/fuzz/corpus/$target" text flags=() env=()
  text=$(options_flags "$root/fuzz/$target.options") || return 1
  [ -z "$text" ] || mapfile -t flags <<<"$text"
  text=$(options_env "$root/fuzz/$target.options") || return 1
  [ -z "$text" ] || mapfile -t env <<<"$text"
  mkdir -p "$corpus" "$build/artifacts" "$build/logs/$target"
  local dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  # The working directory takes the logs of -jobs runs.
  (cd "$build/logs/$target" && env "${env[@]}" "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "${flags[@]}" "$@" "${dirs[@]}")
}

[ $# -ge 2 ] || usage
if [ "$1" = "--flags" ] || [ "$1" = "--env" ]; then
  [ $# -eq 2 ] || usage
  if [ "$1" = "--flags" ]; then (cd "$caller" && options_flags "$2"); else (cd "$caller" && options_env "$2"); fi
  exit
fi
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
