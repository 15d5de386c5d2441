#!/bin/bash
# How scripts/fuzz.sh reads a target's options file: each case is a file, the
# flags it must give, or FAIL when the file must be refused. Then every options
# file in fuzz/ must read without error (a file left in another form would
# otherwise be ignored by continuous fuzzing).
set -u
repo=$(cd "$(dirname "$0")/../.." && pwd)
fuzz=$repo/scripts/fuzz.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
status=0

check() {  # check NAME EXPECTED CONTENT [MODE]
  printf '%s' "$3" >"$dir/$1.options"
  local out rc
  # The caller's sanitizer settings are appended to the file's; CI sets its
  # own, so each case runs without them.
  out=$(env -u ASAN_OPTIONS -u UBSAN_OPTIONS "$fuzz" "${4:---flags}" "$dir/$1.options" 2>/dev/null)
  rc=$?
  if [ "$2" = FAIL ]; then
    [ $rc -ne 0 ] || { echo "FAIL: $1 was accepted, gave: $out"; status=1; }
  elif [ $rc -ne 0 ] || [ "$out" != "$2" ]; then
    echo "FAIL: $1 gave (exit $rc):"
    echo "$out"
    echo "expected:"
    echo "$2"
    status=1
  fi
}

nl=$'\n'
check plain "-max_len=64" "[libfuzzer]${nl}max_len = 64${nl}"
check spaces_no_newline "-max_len=64${nl}-timeout=5" "  [ libfuzzer ]${nl}	max_len=64  ${nl}timeout   =5"
check comments "-max_len=64" "# about it${nl}[libfuzzer]${nl}; old style${nl}${nl}  # indented${nl}max_len = 64${nl}"
check dict_relative "-dict=$repo/fuzz/http.dict" "[libfuzzer]${nl}dict = http.dict${nl}"
check dict_absolute "-dict=/usr/share/x.dict" "[libfuzzer]${nl}dict = /usr/share/x.dict${nl}"
check other_sections "-max_len=64" "[afl]${nl}dict = a.dict${nl}[libfuzzer]${nl}max_len = 64${nl}[honggfuzz]${nl}x = 1${nl}"
check value_with_equals "-only_ascii=1${nl}-exact_artifact_path=a=b" "[libfuzzer]${nl}only_ascii = 1${nl}exact_artifact_path = a=b${nl}"
check empty "" ""
check raw_flags FAIL "-max_len=64${nl}"
check raw_flags_in_section FAIL "[libfuzzer]${nl}-max_len=64${nl}"
check outside_section FAIL "max_len = 64${nl}[libfuzzer]${nl}"
check no_value_sign FAIL "[libfuzzer]${nl}max_len 64${nl}"
check empty_key FAIL "[libfuzzer]${nl}= 64${nl}"
# The sanitizers' sections become their environment; the caller's own settings
# come last, so they win.
check env_sections "ASAN_OPTIONS=malloc_context_size=0:detect_leaks=1${nl}UBSAN_OPTIONS=print_stacktrace=1" \
  "[libfuzzer]${nl}max_len = 64${nl}[asan]${nl}malloc_context_size = 0${nl}detect_leaks=1${nl}[ubsan]${nl}print_stacktrace = 1${nl}" --env
check env_none "" "[libfuzzer]${nl}max_len = 64${nl}" --env
check env_bad FAIL "[asan]${nl}malloc_context_size${nl}" --env
out=$(env -u UBSAN_OPTIONS ASAN_OPTIONS=malloc_context_size=5 "$fuzz" --env "$dir/env_sections.options" | head -1)
[ "$out" = "ASAN_OPTIONS=malloc_context_size=0:detect_leaks=1:malloc_context_size=5" ] ||
  { echo "FAIL: the caller's ASAN_OPTIONS do not come last: $out"; status=1; }

out=$("$fuzz" --flags "$dir/missing.options")
[ $? -eq 0 ] && [ -z "$out" ] || { echo "FAIL: a missing options file is not empty"; status=1; }

for f in "$repo"/fuzz/*.options; do
  "$fuzz" --flags "$f" >/dev/null || { echo "FAIL: $f does not read"; status=1; }
done
[ $status -eq 0 ] && echo "options files read as expected"
exit $status
