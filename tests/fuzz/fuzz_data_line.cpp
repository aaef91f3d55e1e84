// Cdata_reader on arbitrary lines: each line of the input (cut as the line
// reads cut it: after a newline, or after MAX_ONE_LINE_LEN - 1 bytes) goes
// through line() and process_line() on one reader, as the lines of a block do.
// The result must be the one the line format gives (comment, bad line, or
// the words of the C library's scan of the line), and get_data must serve
// exactly the valid indexes. An input that begins with fuzz::BUILT_LINE is
// the data line built from it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Cdata_reader.h"
#include "fuzz_support.h"

namespace {

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

  static reference::Line ref;
  reference::read_line(line, fuzz::settings(), ref);
  if (ref.kind == reference::Line::comment) {
    fuzz::check(result == COMMENT, "comment line not reported as COMMENT");
    check_no_words(reader);
    return;
  }
  if (ref.kind == reference::Line::bad) {
    fuzz::check(result == ERROR, "bad data line accepted");
    check_no_words(reader);
    return;
  }
  fuzz::check(result == OK, "good data line refused");
  const int words = fuzz::settings().words_per_line();
  fuzz::check(reader.get_number_of_word() == words, "good data line gives the wrong number of words");
  for (int32_t i = 0; i < words; ++i) {
    data_t word = 0;
    fuzz::check(reader.get_data(word, i) == OK, "get_data refused a word of a good line");
    fuzz::check(static_cast<uint16_t>(word) == ref.words[i], "data word differs from the scan");
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
  if (size > 0 && data[0] == fuzz::BUILT_LINE) {
    const std::string line = fuzz::built_line(data + 1, size - 1);
    check_line(*reader, line.data(), line.size());
    return 0;
  }
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
