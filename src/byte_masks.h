// Byte classes found 16 bytes at a time: which bytes of a piece of text lie
// in a range (digits, white space, a newline), as one bit each. The SSE2
// version, which every x86-64 processor has, gives the same bits as the
// portable one.
#ifndef BYTE_MASKS_H
#define BYTE_MASKS_H

#include <cstdint>
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

// The bytes that part the tokens of a line and the ones that end it, 16 at
// a time: bit i of separators is set when s[i] is at most ' ' (white space,
// NUL and every other control character); of ends when s[i] is one of them
// that is not white space, or is a newline. A line's tokens are the runs of
// other bytes before its first end, and only white space lies between them.
struct Separator_bits {
  uint32_t separators;
  uint32_t ends;
};

inline Separator_bits find_separators_and_ends_portable(const char* s) {
  Separator_bits bits{0, 0};
  for (int i = 0; i < 16; ++i) {
    const char c = s[i];
    const bool separator = static_cast<unsigned char>(c) <= ' ';
    bits.separators |= uint32_t{separator} << i;
    bits.ends |= uint32_t{separator && (c == '\n' || !is_c_space(c))} << i;
  }
  return bits;
}

#ifdef __SSE2__
inline Separator_bits find_separators_and_ends(const char* s) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i separator = _mm_cmpeq_epi8(_mm_max_epu8(bytes, space), space);
  const __m128i from_tab = _mm_sub_epi8(bytes, _mm_set1_epi8('\t'));
  const __m128i tab_to_cr = _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8('\r' - '\t')), from_tab);
  const __m128i blank =
      _mm_or_si128(_mm_cmpeq_epi8(bytes, space),
                   _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')), tab_to_cr));
  return {static_cast<uint32_t>(_mm_movemask_epi8(separator)),
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(blank, separator)))};
}
#else
inline Separator_bits find_separators_and_ends(const char* s) {
  return find_separators_and_ends_portable(s);
}
#endif

#endif
