// The dump's and the listing's text: a table of hexadecimal digit pairs with
// a portable and an SSSE3 formatter of dump lines, and the table of the
// listing's decimal words.
#include "text_format.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TVQ_DUMP_VECTOR 1
#endif

namespace {

// Two lower-case hexadecimal digits per byte value.
struct Hex_pairs {
  char digits[256][2];
  constexpr Hex_pairs() : digits() {
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      digits[i][0] = hex[i >> 4];
      digits[i][1] = hex[i & 15];
    }
  }
};
constexpr Hex_pairs HEX_PAIRS;

}  // namespace

const uint64_t* decimal_table() {
  alignas(64) static uint64_t table[65536];
  // Built once, whichever thread asks first.
  static const bool built = [] {
    for (uint32_t value = 0; value < 65536; ++value) {
      unsigned char text[8] = {' ', ' ', ' ', ' ', ' ', ' ', 0, 0};
      const uint32_t length = value < 10000 ? 5 : 6;
      uint32_t rest = value;
      uint32_t at = length - 2;
      do {
        text[at--] = static_cast<unsigned char>('0' + rest % 10);
        rest /= 10;
      } while (rest != 0);
      text[7] = static_cast<unsigned char>(length);
      std::memcpy(&table[value], text, 8);
    }
    return true;
  }();
  static_cast<void>(built);
  return table;
}

char* format_dump_lines_portable(const int16_t* words, size_t lines, char* out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(words);
  for (size_t line = 0; line < lines; ++line) {
    for (int word = 0; word < DUMP_WORDS_PER_LINE; ++word) {
      std::memcpy(out, HEX_PAIRS.digits[bytes[1]], 2);  // high byte first: "%04x"
      std::memcpy(out + 2, HEX_PAIRS.digits[bytes[0]], 2);
      out[4] = ' ';
      out += 5;
      bytes += 2;
    }
    *out++ = '\n';
  }
  return out;
}

#ifdef TVQ_DUMP_VECTOR

namespace {

// A dump line is stored as three 16-byte pieces, at 0, 16 and 25 (the last
// two overlap). The eight words' digits sit in two registers, words 0-3 in
// one and 4-7 in the other, each word as the digits of its low byte, then
// those of its high byte. For every piece and register, SHUFFLE picks the
// digits in "%04x" order (-128 where the byte comes from elsewhere) and TEXT
// holds the spaces and the newline.
struct Dump_masks {
  static constexpr int PIECE_AT[3] = {0, 16, 25};
  signed char shuffle[3][2][16];
  char text[3][16];
  constexpr Dump_masks() : shuffle(), text() {
    for (int piece = 0; piece < 3; ++piece) {
      for (int i = 0; i < 16; ++i) {
        const int at = PIECE_AT[piece] + i;
        const int word = at / 5;
        const int digit = at % 5;
        shuffle[piece][0][i] = -128;
        shuffle[piece][1][i] = -128;
        text[piece][i] = 0;
        if (at == DUMP_LINE_LEN - 1) {
          text[piece][i] = '\n';
        } else if (digit == 4) {
          text[piece][i] = ' ';
        } else {
          constexpr int ORDER[4] = {2, 3, 0, 1};  // high byte's digits first
          shuffle[piece][word / 4][i] = static_cast<signed char>(4 * (word % 4) + ORDER[digit]);
        }
      }
    }
  }
};
constexpr Dump_masks DUMP_MASKS;

inline __m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

}  // namespace

__attribute__((target("ssse3"))) char* format_dump_lines_vector(const int16_t* words,
                                                                 size_t lines, char* out) {
  const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b',
                                       'c', 'd', 'e', 'f');
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  __m128i shuffle[3][2];
  __m128i text[3];
  for (int piece = 0; piece < 3; ++piece) {
    shuffle[piece][0] = load16(DUMP_MASKS.shuffle[piece][0]);
    shuffle[piece][1] = load16(DUMP_MASKS.shuffle[piece][1]);
    text[piece] = load16(DUMP_MASKS.text[piece]);
  }
  for (size_t line = 0; line < lines; ++line) {
    const __m128i bytes = load16(words + line * DUMP_WORDS_PER_LINE);
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(bytes, low_nibble));
    const __m128i first = _mm_unpacklo_epi8(high, low);  // words 0-3
    const __m128i second = _mm_unpackhi_epi8(high, low);  // words 4-7
    for (int piece = 0; piece < 3; ++piece) {
      const __m128i part = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first, shuffle[piece][0]),
                                                     _mm_shuffle_epi8(second, shuffle[piece][1])),
                                        text[piece]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + Dump_masks::PIECE_AT[piece]), part);
    }
    out += DUMP_LINE_LEN;
  }
  return out;
}

bool has_dump_vector() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

#else

char* format_dump_lines_vector(const int16_t* words, size_t lines, char* out) {
  return format_dump_lines_portable(words, lines, out);
}

bool has_dump_vector() { return false; }

#endif

char* format_dump_lines(const int16_t* words, size_t lines, char* out) {
  return has_dump_vector() ? format_dump_lines_vector(words, lines, out)
                           : format_dump_lines_portable(words, lines, out);
}
