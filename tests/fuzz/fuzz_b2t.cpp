// -b2t block walk over arbitrary input files: the text listing must match,
// byte for byte, the one laid down by the block format, and the conversion
// must succeed exactly when the file is a header, event blocks and an ender.
// The "records" inputs (see build_block_file) fill event blocks with corrupt
// records: segment sizes 0 and 1, sizes that disagree, records whose head or
// data would run past word 8191.
#include <cstddef>
#include <cstdint>

#include "Cconverter.h"
#include "Cfile.h"
#include "fuzz_support.h"

namespace {
fuzz::Input_file* input;
fuzz::Output_names* outputs;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  input = new fuzz::Input_file;
  outputs = new fuzz::Output_names;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Bytes file;
  fuzz::build_block_file(data, size, file);
  input->set(file.data(), file.size());
  const std::string output_name = outputs->next();

  int status;
  {
    Cfile in;
    Cfile out;
    if (in.fopen_rb(input->name()) != OK) fuzz::fail("fopen_rb of the input");
    if (out.fopen_w(output_name) != OK) fuzz::fail("fopen_w of a fresh name");
    Cconverter converter;
    converter.set_file(&in, "in");
    converter.set_file(&out, "out");
    status = converter.convert_binary_to_txt();
    if (out.close() != OK) fuzz::fail("closing the output");
  }
  static fuzz::Walk_result expected;
  fuzz::reference_b2t(file, expected);
  fuzz::check_output(expected, status, output_name);
  ::unlink(output_name.c_str());
  return 0;
}
