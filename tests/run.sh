#!/usr/bin/env bash
# Builds tvqconverter with its tests and runs them all.
#   bash tests/run.sh                 plain build in build/
#   TVQ_SANITIZE=ON bash tests/run.sh  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=${TVQ_SANITIZE:-OFF}
build=${TVQ_BUILD_DIR:-build}
[ "$sanitize" = ON ] && build=${TVQ_BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DTVQ_SANITIZE="$sanitize" -DTVQ_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
