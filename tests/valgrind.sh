#!/usr/bin/env bash
# Runs the end-to-end tests with every run of tvqconverter under valgrind's
# memcheck. A memory error or a definite leak makes the run exit with status
# 99 and print its report on stderr, which the tests see as a wrong exit
# status.
#   bash tests/valgrind.sh [BINARY]    default: build/tvqconverter
# BINARY must be a build without sanitizers (-DTVQ_SANITIZE=OFF). The test
# classes run in parallel, one job per processor (TVQ_JOBS=n to change).
# Exits with status 0 when every test passed (skips allowed), 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/tvqconverter}
if [ ! -x "$binary" ]; then
  echo "valgrind.sh: $binary is not an executable file" >&2
  exit 2
fi
binary=$(realpath "$binary")
if ! command -v valgrind >/dev/null; then
  echo "valgrind.sh: valgrind is not installed" >&2
  exit 2
fi
if grep -q __asan_init "$binary"; then
  echo "valgrind.sh: $binary is built with AddressSanitizer, which cannot run under valgrind" >&2
  exit 2
fi

export TVQCONVERTER=$binary
# The write() that makes no progress, injected into the program by the tests
# that find it (built with the tests, beside the binary).
shim=$(dirname "$binary")/tests/libtvq_zero_write_shim.so
[ -f "$shim" ] && export TVQ_ZERO_WRITE_SHIM=$shim
# A definite leak counts as an error, on every path. --vgdb=no: no gdb
# server FIFOs and files in /tmp.
export TVQ_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --vgdb=no"
export PYTHONDONTWRITEBYTECODE=1
jobs=${TVQ_JOBS:-$(nproc)}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

cd "$root/tests/e2e"
# One job per test class. The classes with the most runs go first, so that
# the jobs end at about the same time.
/usr/bin/python3 - >"$logs/tests" <<'LIST'
import glob
import unittest

FIRST = ("test_b2rb.Walk", "test_b2t.Walk", "test_faults.TruncatedBlockFiles",
         "test_t2b.TextToBinary", "test_cli.OpenFailures", "test_faults.NonRegularInputs",
         "test_faults.WriteLimits")


def classes(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from classes(item)
        else:
            yield "%s.%s" % (type(item).__module__, type(item).__name__)


names = []
for path in sorted(glob.glob("test_*.py")):
    for name in classes(unittest.defaultTestLoader.loadTestsFromName(path[:-3])):
        if name not in names:
            names.append(name)
names.sort(key=lambda name: FIRST.index(name) if name in FIRST else len(FIRST))
print("\n".join(names))
LIST
# TVQ_VALGRIND_SKIP: a regular expression of test classes left out (for
# classes that only check arguments and opening, which the sanitizer build
# covers as well).
if [ -n "${TVQ_VALGRIND_SKIP:-}" ]; then
  grep -v -E "$TVQ_VALGRIND_SKIP" "$logs/tests" >"$logs/kept" || true
  echo "valgrind.sh: leaving out $(grep -c -E "$TVQ_VALGRIND_SKIP" "$logs/tests") classes matching $TVQ_VALGRIND_SKIP"
  mv "$logs/kept" "$logs/tests"
fi

echo "valgrind.sh: $(valgrind --version), $binary, $(wc -l <"$logs/tests") test classes, $jobs jobs"
start=$SECONDS
# shellcheck disable=SC2016
xargs -P "$jobs" -I{} sh -c '
  begin=$(date +%s)
  if /usr/bin/python3 -m unittest {} >"$1/{}.log" 2>&1; then result=ok; else result=FAILED; fi
  echo "$result" >"$1/{}.result"
  printf "%-6s %4ss %s\n" "$result" $(( $(date +%s) - begin )) {}
' sh "$logs" <"$logs/tests"

failed=0
ran=0
skipped=0
while read -r name; do
  log="$logs/$name.log"
  count=$(sed -n 's/^Ran \([0-9]*\) tests\{0,1\} in .*/\1/p' "$log")
  ran=$((ran + ${count:-0}))
  skips=$(sed -n 's/.*skipped=\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  skipped=$((skipped + ${skips:-0}))
  if [ "$(cat "$logs/$name.result" 2>/dev/null)" != ok ]; then
    failed=$((failed + 1))
    echo "==== $name"
    cat "$log"
  fi
done <"$logs/tests"

echo "valgrind.sh: $ran tests, $skipped skipped, $failed of $(wc -l <"$logs/tests") test" \
     "classes failed, $((SECONDS - start)) s"
[ "$failed" -eq 0 ]
