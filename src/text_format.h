// The text the two listings are made of, formatted from tables rather than
// with printf: the dump's "%04x " words, eight to a line, and the listing's
// "%4d " words.
#ifndef TEXT_FORMAT_H
#define TEXT_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tvq_constants.h"

constexpr int DUMP_WORDS_PER_LINE = 8;
constexpr int DUMP_LINE_LEN = DUMP_WORDS_PER_LINE * 5 + 1;  // "xxxx " x8 and '\n'
constexpr int DUMP_LINES = WORDS_PER_BLOCK / DUMP_WORDS_PER_LINE;

// The dump's text for lines of eight words: "%04x " per word and a newline
// per line, 41 characters a line; returns the end of the text. The vector
// version is used where the processor has it and gives the same bytes.
char* format_dump_lines(const int16_t* words, size_t lines, char* out);
char* format_dump_lines_portable(const int16_t* words, size_t lines, char* out);
bool has_dump_vector();
char* format_dump_lines_vector(const int16_t* words, size_t lines, char* out);

// decimal_table() : "%4d " of every word value: its text in the first bytes
// of an 8-byte entry and its length (5, or 6 from 10000 on) in the last
// byte. Built on first use.
const uint64_t* decimal_table();

// put_word() : the 8 bytes of the entry are stored, the length counted; the
// bytes past the text are overwritten by what follows.
inline char* put_word(char* p, const uint64_t* decimal, uint32_t value) {
  const uint64_t entry = decimal[value];
  std::memcpy(p, &entry, 8);
  return p + (entry >> 56);
}

#endif
