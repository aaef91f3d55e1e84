// -b2rb block walk over arbitrary input files: the readable dump must match,
// byte for byte, the one laid down by the block format, and the conversion
// must succeed exactly when the file is a header, event blocks and an ender,
// with the walk's messages.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run_walk(data, size, &Cconverter::convert_binary_to_readable_binary, false);
  return 0;
}
