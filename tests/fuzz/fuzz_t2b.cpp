// -t2b on arbitrary text: the output must be the header block, full event
// blocks of records of the layout's words and five head words (the last block
// with fewer, possibly none) and the ender block, or, after a bad data line,
// the header, the completed blocks and the unfinished block up to its last
// good record: the model's file (format_reference.h), byte for byte; on
// success its length is a multiple of 16384.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
  input->set(data, size);
  const std::string output_name = outputs->next();
  int status;
  {
    Cfile in;
    Cfile out;
    if (in.fopen_r(input->name()) != OK) fuzz::fail("fopen_r of the input");
    if (out.fopen_wb(output_name) != OK) fuzz::fail("fopen_wb of a fresh name");
    Cconverter converter;
    converter.set_file(&in, "in");
    converter.set_file(&out, "out");
    status = converter.convert_txt_to_binary();
    if (out.close() != OK) fuzz::fail("closing the output");
  }

  static bool ok;
  static fuzz::Bytes expected;
  reference::t2b(data, size, fuzz::settings(), ok, expected);
  fuzz::check(status == (ok ? OK : ERROR), "conversion status differs from the format's");
  struct stat st {};
  if (::stat(output_name.c_str(), &st) != 0) fuzz::fail("output vanished");
  const auto length = static_cast<size_t>(st.st_size);
  if (status == OK)
    fuzz::check(length % fuzz::BLOCK == 0 && length >= 3 * fuzz::BLOCK,
                "successful output is not whole blocks");
  static fuzz::Bytes got;
  fuzz::read_whole(output_name, got);
  fuzz::check(got.size() == expected.size(), "output length differs from the format's");
  fuzz::check(got == expected, "output bytes differ from the format's");
  ::unlink(output_name.c_str());
  return 0;
}
