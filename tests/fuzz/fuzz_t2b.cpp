// -t2b on arbitrary text: the output must be the header block, full event
// blocks of records of the layout's words and five head words (the last block
// with fewer, possibly none) and the ender block, or, after a bad data line, the header, the completed blocks
// and the unfinished block up to its last good record. The expected file is
// built here from the line format and the block format and compared byte for
// byte; on success its length is a multiple of 16384.
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

constexpr size_t RECORD_BYTES = 2 * (WORDS_PER_LINE + 5);
// as many records as fit between the block's head and its two closing markers
constexpr size_t RECORDS_PER_BLOCK = (fuzz::BLOCK - 8 - 4) / RECORD_BYTES;

void put16(fuzz::Bytes& out, unsigned value) {
  out.push_back(static_cast<unsigned char>(value & 0xFF));
  out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

struct Expected {
  bool ok = false;
  fuzz::Bytes file;
};

TVQ_FUZZ_NO_COVERAGE void reference_t2b(const uint8_t* data, size_t size, Expected& expected) {
  expected.ok = false;
  expected.file.clear();
  fuzz::append_user_block(expected.file, 1);
  size_t block_start = expected.file.size();
  size_t records = 0;
  auto open_block = [&] {
    block_start = expected.file.size();
    put16(expected.file, 0);
    expected.file.insert(expected.file.end(), 6, 0);
    records = 0;
  };
  auto close_block = [&] {
    put16(expected.file, 0xFFFF);
    put16(expected.file, 0xFFFF);
    expected.file.resize(block_start + fuzz::BLOCK, 0);
  };
  open_block();

  static char line[MAX_ONE_LINE_LEN];
  const size_t limit = static_cast<size_t>(MAX_ONE_LINE_LEN) - 1;
  size_t pos = 0;
  while (pos < size) {
    size_t length = 0;
    while (pos + length < size && length < limit) {
      if (data[pos + length++] == '\n') break;
    }
    std::memcpy(line, data + pos, length);
    line[length] = '\0';
    pos += length;

    static fuzz::Line_reference ref;
    fuzz::read_line_reference(line, ref);
    if (ref.kind == fuzz::Line_reference::comment) continue;
    if (ref.kind == fuzz::Line_reference::bad) return;  // header, full blocks, the open block so far
    ++records;
    put16(expected.file, (WORDS_PER_LINE + 5) | 0x8000);
    put16(expected.file, 1);
    put16(expected.file, static_cast<unsigned>(records));
    put16(expected.file, WORDS_PER_LINE + 2);
    put16(expected.file, 1);
    for (int32_t i = 0; i < WORDS_PER_LINE; ++i) put16(expected.file, ref.words[i]);
    // A full block is closed at once, before the next line is read: a bad
    // line or the end of the input then meets a new, empty block.
    if (records == RECORDS_PER_BLOCK) {
      close_block();
      open_block();
    }
  }
  close_block();
  fuzz::append_user_block(expected.file, 0xFFFF);
  expected.ok = true;
}

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

  static Expected expected;
  reference_t2b(data, size, expected);
  fuzz::check(status == (expected.ok ? OK : ERROR), "conversion status differs from the format's");
  struct stat st {};
  if (::stat(output_name.c_str(), &st) != 0) fuzz::fail("output vanished");
  const auto length = static_cast<size_t>(st.st_size);
  if (status == OK)
    fuzz::check(length % fuzz::BLOCK == 0 && length >= 3 * fuzz::BLOCK,
                "successful output is not whole blocks");
  static fuzz::Bytes got;
  fuzz::read_whole(output_name, got);
  fuzz::check(got.size() == expected.file.size(), "output length differs from the format's");
  fuzz::check(got == expected.file, "output bytes differ from the format's");
  ::unlink(output_name.c_str());
  return 0;
}
