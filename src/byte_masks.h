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

// find_separators() : bit i is set when s[i] is white space or NUL.
inline uint32_t find_separators(const char* s) {
  return bytes_in_range(s, '\t', '\r') | bytes_in_range(s, ' ', ' ') | bytes_in_range(s, 0, 0);
}

#endif
