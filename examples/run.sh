#!/usr/bin/env bash
# Builds tvqconverter and runs its three conversions on the bundled examples:
# text data lines to a block file, then that block file as a dump and as a
# listing. Outputs go to out/; the previous ones are removed first, since the
# program never overwrites an existing file. Last, a quick look at the block
# file from Python (the module tvq built beside the program).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/ensure_packages.sh cmake make g++ pybind11-dev python3-dev python3-numpy \
  python3-fsspec python3-aiohttp python3-zstandard
cmake -S . -B build-example -DTVQ_BUILD_TESTS=OFF >/dev/null
cmake --build build-example -j "$(nproc)" >/dev/null
mkdir -p out
rm -f out/run1001.tvq out/run1001.rb out/run1001.listing

echo "== tvqconverter -t2b examples/run1001.txt out/run1001.tvq"
build-example/tvqconverter -t2b examples/run1001.txt out/run1001.tvq
cmp out/run1001.tvq examples/run1001.tvq && echo "(out/run1001.tvq is identical to the bundled examples/run1001.tvq)"

echo "== tvqconverter -b2rb out/run1001.tvq out/run1001.rb"
build-example/tvqconverter -b2rb out/run1001.tvq out/run1001.rb
echo "-- first lines of out/run1001.rb:"
head -n 6 out/run1001.rb

echo "== tvqconverter -b2t out/run1001.tvq out/run1001.listing"
build-example/tvqconverter -b2t out/run1001.tvq out/run1001.listing
echo "-- out/run1001.listing:"
cat out/run1001.listing

echo "== python3 -m tvq info out/run1001.tvq   (the Python module, PYTHONPATH=build-example/python)"
PYTHONPATH=build-example/python /usr/bin/python3 -m tvq info out/run1001.tvq
