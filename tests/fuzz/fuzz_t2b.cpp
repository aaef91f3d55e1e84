// -t2b on arbitrary text: the output must be the header block, event blocks
// of 481 records of 17 words (the last one with fewer, possibly none) and the
// ender block, or, after a bad data line, the header, the completed blocks
// and the unfinished block up to its last good record. The expected file is
// built here from the line format and the block format and compared byte for
// byte; on success its length is a multiple of 16384.
#include <sys/stat.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Cconverter.h"
#include "Cfile.h"
#include "fuzz_support.h"

namespace {

fuzz::Input_file* input;
fuzz::Output_names* outputs;

constexpr size_t RECORDS_PER_BLOCK = 481;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool integer_fits(const char* line) {
  const char* p = line;
  while (is_space(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 1LL << 32) value = 1LL << 32;
  }
  return negative ? -value >= INT32_MIN : value <= INT32_MAX;
}

enum class Line { comment, bad, data };

// One line as the reader sees it (a C string): its kind, and for a data line
// the six 32-bit values.
Line classify(const char* line, uint32_t raw[6]) {
  const char first = line[0];
  if (first == '#' || first == 'c' || first == '%' || first == '\n') return Line::comment;
  if (first == '/' && line[1] == '/') return Line::comment;
  if (!integer_fits(line)) return Line::bad;
  int integer = 0;
  float values[5] = {};
  if (std::sscanf(line, "%d %f %f %f %f %f", &integer, &values[0], &values[1], &values[2],
                  &values[3], &values[4]) != 6)
    return Line::bad;
  raw[0] = static_cast<uint32_t>(integer);
  std::memcpy(&raw[1], values, sizeof values);
  return Line::data;
}

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

    uint32_t raw[6];
    const Line kind = classify(line, raw);
    if (kind == Line::comment) continue;
    if (kind == Line::bad) return;  // header, full blocks, the open block so far
    ++records;
    put16(expected.file, 17 | 0x8000);
    put16(expected.file, 1);
    put16(expected.file, static_cast<unsigned>(records));
    put16(expected.file, 14);
    put16(expected.file, 1);
    for (const uint32_t value : raw) {
      put16(expected.file, value & 0xFFFF);
      put16(expected.file, value >> 16);
    }
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
