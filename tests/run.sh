#!/usr/bin/env bash
# Builds tvqconverter with its tests and runs them all.
#   bash tests/run.sh                 plain build in build/
#   TVQ_SANITIZE=ON bash tests/run.sh  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
# What the build and the tests need, the Python module's included (and what
# its pandas, Dask, plotting and source parts use).
bash tools/ensure_packages.sh cmake make g++ libgtest-dev pybind11-dev python3-dev python3-numpy \
  python3-pytest python3-pandas python3-dask python3-distributed python3-matplotlib \
  python3-fsspec python3-aiohttp python3-zstandard
sanitize=${TVQ_SANITIZE:-OFF}
build=${TVQ_BUILD_DIR:-build}
[ "$sanitize" = ON ] && build=${TVQ_BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DTVQ_SANITIZE="$sanitize" -DTVQ_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
