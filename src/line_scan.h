// The layout of a data line, read at compile time from the line format of the
// user settings, and the scan of a data line with that format: plain decimal
// lines without the C library, with the exact results of its "%d" and "%f" in
// the "C" locale; any other spelling with the C library, one conversion at a
// time.
#ifndef LINE_SCAN_H
#define LINE_SCAN_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// White space as the "C" locale's isspace() sees it.
constexpr bool is_c_space(char c) {
  constexpr uint64_t SPACES = (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                              (uint64_t{1} << '\v') | (uint64_t{1} << '\f') | (uint64_t{1} << '\r');
  const auto code = static_cast<unsigned char>(c);
  return code <= ' ' && ((SPACES >> code) & 1u) != 0;
}

// bytes_in_range() : bit i is set when low <= s[i] <= high (as unsigned
// bytes), for the 16 bytes at s; high - low at most 254. The SSE2 version,
// which every x86-64 processor has, gives the same bits as the portable one.
inline uint32_t bytes_in_range_portable(const char* s, unsigned char low, unsigned char high) {
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) {
    const auto offset = static_cast<unsigned char>(static_cast<unsigned char>(s[i]) - low);
    bits |= static_cast<uint32_t>(offset <= high - low) << i;
  }
  return bits;
}

#ifdef __SSE2__
inline uint32_t bytes_in_range(const char* s, unsigned char low, unsigned char high) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  if (low == high) {
    const __m128i equal = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(low)));
    return static_cast<uint32_t>(_mm_movemask_epi8(equal));
  }
  // Moved so that the range starts at -128, where a signed compare ends it.
  const __m128i moved = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(low + 128)));
  const __m128i inside = _mm_cmplt_epi8(moved, _mm_set1_epi8(static_cast<char>(high - low - 127)));
  return static_cast<uint32_t>(_mm_movemask_epi8(inside));
}
#else
inline uint32_t bytes_in_range(const char* s, unsigned char low, unsigned char high) {
  return bytes_in_range_portable(s, low, high);
}
#endif

// find_non_digits() : bit i is set when s[i] is not a decimal digit.
inline uint32_t find_non_digits(const char* s) { return bytes_in_range(s, '0', '9') ^ 0xFFFFu; }

// find_separators() : bit i is set when s[i] is white space or NUL.
inline uint32_t find_separators(const char* s) {
  return bytes_in_range(s, '\t', '\r') | bytes_in_range(s, ' ', ' ') | bytes_in_range(s, 0, 0);
}

// A data line holds at most this many values.
constexpr int MAX_CONVERSIONS = 16;

// Readable bytes a line to be scanned must have after its terminator: a
// line is looked at 64 bytes at a time, a number 16 bytes at a time.
constexpr size_t LINE_PADDING = 64;

// What a line format says: its conversions in order ('d' or 'f'), whether
// white space comes before each, and what makes it unusable.
struct Line_layout {
  int conversions = 0;
  char kinds[MAX_CONVERSIONS] = {};
  bool space_before[MAX_CONVERSIONS] = {};
  bool has_float = false;
  bool other_conversion = false;  // not plain %d or %f: width, length, '*', %%, %s, ...
  bool other_text = false;        // a character that is neither white space nor a conversion
  bool unseparated = false;       // two conversions without white space between them
};

constexpr Line_layout parse_line_format(const char* format) {
  Line_layout layout;
  bool space = false;
  for (const char* p = format; *p != '\0'; ++p) {
    if (is_c_space(*p)) {
      space = true;
      continue;
    }
    if (*p != '%') {
      layout.other_text = true;
      continue;
    }
    const char kind = p[1];
    if (kind != 'd' && kind != 'f') {
      layout.other_conversion = true;
      if (kind == '\0') break;
      ++p;
      continue;
    }
    ++p;
    if (layout.conversions > 0 && !space) layout.unseparated = true;
    if (layout.conversions < MAX_CONVERSIONS) {
      layout.kinds[layout.conversions] = kind;
      layout.space_before[layout.conversions] = space;
    }
    layout.has_float = layout.has_float || kind == 'f';
    ++layout.conversions;
    space = false;
  }
  return layout;
}

// scan_data_line() : scans a data line with the line format of the user
// settings, with exactly the results of the C library's sscanf: count gets
// the number of values converted, or -1 when the line ends before the first;
// raw gets the integers' values and the floats' bit patterns. The line needs
// LINE_PADDING readable bytes after its terminator. OK, or ERROR after a
// message when an integer the scan reaches does not fit in 32 bits (the C
// library's "%d" has no defined result for it).
int scan_data_line(int32_t& count, const char* line, uint32_t* raw);

// scan_plain_line() : the scan of scan_data_line() for the lines that need no
// C library: true, with every value in raw, when the line, which ends after
// length bytes or at a NUL, has the format's values all plain and each up to
// white space or the line's end. false says nothing: scan_data_line() decides.
// The line needs LINE_PADDING readable bytes after its end.
bool scan_plain_line(const char* line, size_t length, uint32_t* raw);

// check_integer_fits() : the integer token at the start of text, taken as
// "%d" takes it (white space, an optional sign, decimal digits). OK, or ERROR
// after a message naming the integer when it lies outside 32 bits.
int check_integer_fits(const char* text);

#endif
