// Cdata_reader on arbitrary lines: each line of the input (cut as the line
// reads cut it: after a newline, or after MAX_ONE_LINE_LEN - 1 bytes) goes
// through line() and process_line() on one reader, as the lines of a block do.
// The result must be the one the line format gives (comment, bad line, or
// twelve words holding the C library's scan of the line), and get_data must
// serve exactly the valid indexes.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Cdata_reader.h"
#include "fuzz_support.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_comment(const char* line) {
  const char first = line[0];
  if (first == '#' || first == 'c' || first == '%' || first == '\n') return true;
  return first == '/' && line[1] == '/';
}

// The integer token as "%d" takes it; false when it has digits and its value
// lies outside the signed 32-bit range.
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

void check_get_data(const Cdata_reader& reader) {
  const int words = reader.get_number_of_word();
  fuzz::check(words >= 0 && words <= Cdata_reader::MAX_WORDS, "number of words out of range");
  static const int32_t FAR[] = {INT32_MIN, -1000000, 1000000, INT32_MAX};
  for (int32_t index = -3; index < Cdata_reader::MAX_WORDS + 3; ++index) {
    data_t word = 0x5555;
    const int result = reader.get_data(word, index);
    if (index >= 0 && index < words)
      fuzz::check(result == OK, "get_data refused a valid index");
    else
      fuzz::check(result == ERROR && word == 0, "get_data served an invalid index");
  }
  for (const int32_t index : FAR) {
    data_t word = 0x5555;
    fuzz::check(reader.get_data(word, index) == ERROR && word == 0, "get_data served a far index");
  }
}

// A comment or bad line leaves no words of an earlier line to be served.
void check_no_words(const Cdata_reader& reader) {
  fuzz::check(reader.get_number_of_word() == 0, "words of an earlier line still served");
  check_get_data(reader);
}

void check_line(Cdata_reader& reader, const char* piece, size_t length) {
  char* line = reader.line();
  std::memcpy(line, piece, length);
  line[length] = '\0';
  const int result = reader.process_line();
  // process_line may not write into the line it was given.
  fuzz::check(std::memcmp(line, piece, length) == 0 && line[length] == '\0',
              "process_line changed the line");

  if (is_comment(line)) {
    fuzz::check(result == COMMENT, "comment line not reported as COMMENT");
    check_no_words(reader);
    return;
  }
  if (!integer_fits(line)) {
    fuzz::check(result == ERROR, "integer outside 32 bits accepted");
    check_no_words(reader);
    return;
  }
  int integer = 0;
  float values[5] = {};
  const int count = std::sscanf(line, "%d %f %f %f %f %f", &integer, &values[0], &values[1],
                                &values[2], &values[3], &values[4]);
  if (count != 6) {
    fuzz::check(result == ERROR, "line with fewer than six values accepted");
    check_no_words(reader);
    return;
  }
  fuzz::check(result == OK, "good data line refused");
  fuzz::check(reader.get_number_of_word() == 12, "good data line does not give twelve words");
  uint32_t raw[6];
  raw[0] = static_cast<uint32_t>(integer);
  std::memcpy(&raw[1], values, sizeof values);
  for (int32_t i = 0; i < 12; ++i) {
    data_t word = 0;
    fuzz::check(reader.get_data(word, i) == OK, "get_data refused a word of a good line");
    const auto expected = static_cast<uint16_t>(i % 2 == 0 ? raw[i / 2] & 0xFFFFu : raw[i / 2] >> 16);
    fuzz::check(static_cast<uint16_t>(word) == expected, "data word differs from the scan");
  }
  check_get_data(reader);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto reader = std::make_unique<Cdata_reader>();
  check_get_data(*reader);
  const char* text = reinterpret_cast<const char*>(data);
  size_t pos = 0;
  for (int lines = 0; lines < 16 && pos < size; ++lines) {
    const size_t limit = static_cast<size_t>(MAX_ONE_LINE_LEN) - 1;
    size_t length = 0;
    while (pos + length < size && length < limit) {
      if (text[pos + length++] == '\n') break;
    }
    check_line(*reader, text + pos, length);
    pos += length;
  }
  return 0;
}
