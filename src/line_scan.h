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

// find_non_digits() : bit i is set when s[i] is not a decimal digit, for the
// 16 bytes at s. The SSE2 version, which every x86-64 processor has, gives
// the same bits as the portable one.
inline uint32_t find_non_digits_portable(const char* s) {
  uint32_t bits = 0;
  for (int half = 0; half < 2; ++half) {
    uint64_t chunk = 0;
    std::memcpy(&chunk, s + 8 * half, sizeof chunk);
    // A byte is a digit when it is below 10 after the XOR; the top bit of each
    // byte says it is not, without carries between bytes.
    const uint64_t t = chunk ^ 0x3030303030303030u;
    const uint64_t flags =
        (t | ((t & 0x7F7F7F7F7F7F7F7Fu) + 0x7676767676767676u)) & 0x8080808080808080u;
    // The eight top bits gathered into the top byte.
    bits |= static_cast<uint32_t>((flags * 0x0002040810204081u) >> 56) << (8 * half);
  }
  return bits;
}

#ifdef __SSE2__
inline uint32_t find_non_digits(const char* s) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  // Signed compares: bytes from 0x80 up count as below '0'.
  const __m128i other = _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8('0')),
                                     _mm_cmpgt_epi8(bytes, _mm_set1_epi8('9')));
  return static_cast<uint32_t>(_mm_movemask_epi8(other));
}
#else
inline uint32_t find_non_digits(const char* s) { return find_non_digits_portable(s); }
#endif

// A data line holds at most this many values.
constexpr int MAX_CONVERSIONS = 16;

// Readable bytes a line to be scanned must have after its terminator: a
// number is looked at 16 bytes at a time, and a byte past them.
constexpr size_t LINE_PADDING = 32;

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

// check_integer_fits() : the integer token at the start of text, taken as
// "%d" takes it (white space, an optional sign, decimal digits). OK, or ERROR
// after a message naming the integer when it lies outside 32 bits.
int check_integer_fits(const char* text);

#endif
