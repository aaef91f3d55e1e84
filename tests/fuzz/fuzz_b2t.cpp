// -b2t block walk over arbitrary input files: the text listing must match,
// byte for byte, the one laid down by the block format, and the conversion
// must succeed exactly when the file is a header, event blocks and an ender,
// with the walk's messages.
// The "records" inputs (see build_block_file) fill event blocks with corrupt
// records: segment sizes 0 and 1, sizes that disagree, records whose head or
// data would run past word 8191.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run_walk(data, size, &Cconverter::convert_binary_to_txt, true);
  return 0;
}
