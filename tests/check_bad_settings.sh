#!/usr/bin/env bash
# Every inconsistent settings header must fail to compile with the text that
# says what is wrong. Each case edits a copy of a good settings file and
# compiles the settings alone (-fsyntax-only).
#   bash tests/check_bad_settings.sh [C++ COMPILER]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
cxx=${1:-${CXX:-c++}}
work=$(mktemp -d "${TMPDIR:-/tmp}/tvq-settings.XXXXXX")
trap 'rm -rf "$work"' EXIT
good=$repo/examples/settings/nine_values.h
printf '#include "user_settings.h"\n' >"$work/use.cpp"

compile() {  # settings file -> compiler output; status of the compiler
  "$cxx" -std=c++17 -fsyntax-only -I"$repo/src" -DTVQ_USER_SETTINGS="\"$1\"" "$work/use.cpp" 2>&1
}

if ! compile "$good" >"$work/log"; then
  cat "$work/log"
  echo "settings: FAILED: the good settings $good do not compile"
  exit 1
fi

nine='"%d %d %f %f %f %f %f %f %f"'
failed=0
# sed expression on the good file | text the compiler must print
while IFS='|' read -r edit expected; do
  [ -z "$edit" ] && continue
  sed -e "$edit" "$good" >"$work/bad.h"
  if compile "$work/bad.h" >"$work/log"; then
    echo "settings: FAILED: compiles after: $edit"
    failed=$((failed + 1))
  elif ! grep -qF -- "$expected" "$work/log"; then
    sed -n '1,12p' "$work/log"
    echo "settings: FAILED: no \"$expected\" after: $edit"
    failed=$((failed + 1))
  else
    echo "settings: refused as expected: $edit -> $(grep -m1 -oF -- "$expected" "$work/log")"
  fi
done <<EOF
s/NUMBER_OF_DATA = 9/NUMBER_OF_DATA = 8/|NUMBER_OF_DATA differs from the number of conversions in USER_LINE_FORMAT
s/$nine/"%d %d %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f"/; s/NUMBER_OF_DATA = 9/NUMBER_OF_DATA = 17/|USER_LINE_FORMAT: 1 to 16 conversions
s/$nine/""/; s/NUMBER_OF_DATA = 9/NUMBER_OF_DATA = 0/|USER_LINE_FORMAT: 1 to 16 conversions
s/$nine/"%d %d %f %f %f %f %f %f %5f"/|USER_LINE_FORMAT: only %d and %f conversions, without width, length or '*'
s/$nine/"%d %ld %f %f %f %f %f %f %f"/|USER_LINE_FORMAT: only %d and %f conversions, without width, length or '*'
s/$nine/"%d %*d %f %f %f %f %f %f %f"/|USER_LINE_FORMAT: only %d and %f conversions, without width, length or '*'
s/$nine/"%d %d %f %f %f %f %f %f %g"/|USER_LINE_FORMAT: only %d and %f conversions, without width, length or '*'
s/$nine/"%d,%d %f %f %f %f %f %f %f"/|USER_LINE_FORMAT: only conversions and white space between them
s/$nine/"%d%d %f %f %f %f %f %f %f"/|USER_LINE_FORMAT: the conversions must be separated by white space
s/DATA_SIZE = 4/DATA_SIZE = 2/|DATA_SIZE 2 takes only %d conversions: a float does not fit in one word
s/DATA_SIZE = 4/DATA_SIZE = 8/|DATA_SIZE: 2 or 4 bytes per value
s/user_header\[81\] = ".*"/user_header[] = "$(printf 'h%.0s' {1..81})"/|user_header: the header text, at most 80 characters, in a char[81]
s/user_ender\[81\] = ".*"/user_ender[] = "$(printf 'e%.0s' {1..81})"/|user_ender: the ender text, at most 80 characters, in a char[81]
s/user_run_number\[9\] = ".*"/user_run_number[] = "RUN-10001"/|user_run_number: at most 8 characters, in a char[9]
s/user_print_date\[11\] = ".*"/user_print_date[] = "01-JAN"/|user_print_date: at most 10 characters, in a char[11]
EOF
[ "$failed" -eq 0 ] || { echo "settings: $failed case(s) failed"; exit 1; }
echo "settings: every inconsistent edit is refused"
