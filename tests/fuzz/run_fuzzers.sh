#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each one for a bounded time.
#   bash tests/fuzz/run_fuzzers.sh [SECONDS_PER_HARNESS]   (default 30)
# Environment: TVQ_FUZZ_BUILD_DIR (default build-fuzz in the repository),
# TVQ_FUZZERS (default: all five harnesses, space-separated).
# Each harness first replays the saved regression inputs, then fuzzes a copy
# of its seed corpus (the committed corpus is never changed); the text
# harnesses also get the tokens of line.dict. Any finding fails the script;
# the input is kept under tests/fuzz/crashes/.
# Without clang++ (or its libFuzzer runtime) the script says so and succeeds
# without running anything.
set -euo pipefail

seconds=${1:-30}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [SECONDS_PER_HARNESS]" >&2
  exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${TVQ_FUZZ_BUILD_DIR:-$repo/build-fuzz}
fuzzers=${TVQ_FUZZERS:-fuzz_b2rb fuzz_b2t fuzz_data_line fuzz_t2b fuzz_scan_diff}

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
  echo "fuzz: SKIPPED: clang/clang++ not found (libFuzzer needs clang); no harness was run"
  exit 0
fi

# clang without its libFuzzer runtime cannot build the harnesses either.
probe=$(mktemp -d "${TMPDIR:-/tmp}/tvq-fuzz-probe.XXXXXX")
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >"$probe/log" 2>&1; then
  cat "$probe/log"
  rm -rf "$probe"
  echo "fuzz: SKIPPED: clang++ cannot link a libFuzzer binary (is libclang-rt-14-dev installed?); no harness was run"
  exit 0
fi
rm -rf "$probe"

echo "== fuzz: building the harnesses in $build"
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DTVQ_BUILD_FUZZERS=ON -DTVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target $fuzzers

work=$(mktemp -d "${TMPDIR:-/tmp}/tvq-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
crashes=$here/crashes
mkdir -p "$crashes"

passed=0
failed=0
for fuzzer in $fuzzers; do
  binary=$build/tests/fuzz/$fuzzer
  log=$work/$fuzzer.log
  status=0

  regressions=$here/regressions/$fuzzer
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
    echo "== fuzz: $fuzzer: replaying $(ls -A "$regressions" | wc -l) regression input(s)"
    "$binary" -runs=0 -timeout=10 -rss_limit_mb=2048 "$regressions" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
      tail -n 60 "$log"
      echo "fuzz: $fuzzer: FAILED on a regression input (exit $status)"
      failed=$((failed + 1))
      continue
    fi
  fi

  dict=()
  case $fuzzer in
    fuzz_data_line | fuzz_t2b | fuzz_scan_diff) dict=(-dict="$here/line.dict") ;;
  esac

  corpus=$work/corpus-$fuzzer
  mkdir -p "$corpus"
  cp "$here/corpus/$fuzzer/." "$corpus/" -R
  echo "== fuzz: $fuzzer: ${seconds}s"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "${dict[@]}" -artifact_prefix="$crashes/$fuzzer-" "$corpus" >"$log" 2>&1 || status=$?
  grep -a -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE' "$log" || true
  if [ "$status" -ne 0 ]; then
    grep -a -v '^#' "$log" | tail -n 60
    echo "fuzz: $fuzzer: FAILED (exit $status); input kept under $crashes"
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
