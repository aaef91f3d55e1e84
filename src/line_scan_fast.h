// The fast path of the line scan, for plain decimal lines, nearly all of
// them: true with every value when the C library would convert all of the
// format's values, each up to white space or the line's end, and give
// exactly these bits; false says nothing.
//
// It is compiled twice, into a namespace of its own each time: for any
// x86-64 processor (line_scan.cpp), and with AVX2, BMI2 and FMA
// (line_scan_avx2.cpp, with TVQ_SCAN_AVX2 set), for the processors that have
// them. So it has no include guard, includes nothing (the file including it
// does, before its namespace) and holds nothing a linker could take from
// one build for the other.
//
// A line's tokens are found first, from masks of its byte classes 64 bytes
// at a time (the same pass finds where it ends), and then each is read on
// its own as a whole number of the format's kind: a decimal integer within
// 32 bits for "%d"; for "%f" a decimal float of up to 19 digits with an
// exponent of up to two digits, read without a loop (one product of two
// doubles, checked against float halfway points), and by std::from_chars
// otherwise. Anything else (a token that ends in other text, hexadecimal,
// infinities, a value that overflows) is left to the C library.

namespace {

constexpr uint64_t POWERS_OF_TEN[] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000};

// value_of_digits() : the value of the first n (0 to 8) bytes of chunk (in
// memory order), which the caller knows to be digits; no branch on n.
__attribute__((always_inline)) inline uint64_t value_of_digits(uint64_t chunk, int n) {
  // The digits moved to the top, so that the low bytes act as leading zeros;
  // in two shifts, since n = 0 moves them by all 64 bits.
  const int half_shift = 32 - 4 * n;
  uint64_t d = ((chunk & 0x0F0F0F0F0F0F0F0Fu) << half_shift) << half_shift;
  d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFu;    // pairs of digits
  d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFu;  // groups of four
  return (d * 10000 + (d >> 32)) & 0xFFFFFFFFu;
}

__attribute__((always_inline)) inline uint64_t load_eight(const char* s) {
  uint64_t chunk = 0;
  std::memcpy(&chunk, s, sizeof chunk);
  return chunk;
}

// Bytes kept below a point: entry 16 + k masks the low k bytes of eight, k
// from -16 (none) to 24 (all).
constexpr auto LOW_BYTES = [] {
  struct Table {
    uint64_t mask[41] = {};
  } table;
  for (int k = 1; k <= 24; ++k)
    table.mask[16 + k] = k >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * k)) - 1;
  return table;
}();

// eight_digits() : the value of count (0 to 8) digits at s; with a point at
// s[whole], the digits from it on are taken one byte further.
__attribute__((always_inline)) inline uint64_t eight_digits(const char* s, int whole, bool point, int count) {
  const uint64_t below_point = LOW_BYTES.mask[16 + whole] | (uint64_t{point} - 1);
  return value_of_digits((load_eight(s) & below_point) | (load_eight(s + 1) & ~below_point),
                         count);
}

// Digits of a mantissa read without a loop: below 10^19, within 64 bits.
constexpr int MAX_MANTISSA_DIGITS = 19;

#if defined(__SSE2__) && defined(__x86_64__)

// 19 bytes of ones, then 16 of zeros: the 16 bytes from 19 - k on keep the
// first k (0 to 19, at most 16 counting) bytes of a piece.
constexpr int MOST_FIRST_BYTES = 19;
alignas(64) constexpr unsigned char FIRST_BYTES[MOST_FIRST_BYTES + 16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

__attribute__((always_inline)) inline __m128i first_bytes(int k) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(FIRST_BYTES + MOST_FIRST_BYTES - k));
}

// sixteen_digits() : the first count (0 to 16) digits at s and as many zeros
// after them as make 16 digits, as one number; with a point at s[whole]
// (whole at most 19), the digits from it on are taken one byte further. Two
// digits, then four, then eight are joined by multiply-adds of 16-bit lanes.
__attribute__((always_inline)) inline uint64_t sixteen_digits(const char* s, int whole, bool point, int count) {
  const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 1));
  const __m128i below_point = first_bytes(16 + ((whole - 16) & -static_cast<int>(point)));
  const __m128i digits = _mm_or_si128(_mm_and_si128(below_point, here),
                                      _mm_andnot_si128(below_point, after));
  const __m128i values =
      _mm_and_si128(_mm_sub_epi8(digits, _mm_set1_epi8('0')), first_bytes(count));
#ifdef TVQ_SCAN_AVX2
  const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi16(0x010A));
#else
  const __m128i zero = _mm_setzero_si128();
  const __m128i pairs =
      _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(values, zero), _mm_set1_epi32(0x1000A)),
                      _mm_madd_epi16(_mm_unpackhi_epi8(values, zero), _mm_set1_epi32(0x1000A)));
#endif
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x10064));
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x12710));
  const auto both = static_cast<uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFFu) * 100000000 + (both >> 32);
}

#else

__attribute__((always_inline)) inline uint64_t sixteen_digits(const char* s, int whole, bool point, int count) {
  const int first = count < 8 ? count : 8;
  const int second = count - first;
  return eight_digits(s, whole, point, first) * POWERS_OF_TEN[8 - first] * 100000000 +
         eight_digits(s + 8, whole - 8, point, second) * POWERS_OF_TEN[8 - second];
}

#endif

// parse_exponent() : the exponent that fills the length (at least 1) bytes
// at s: "e" or "E", an optional sign and one or two digits, read without a
// branch. non_digits has bit i set when s[i] is not a digit. false for
// anything else.
__attribute__((always_inline)) inline bool parse_exponent(const char* s, int length,
                                                          uint64_t non_digits, int& exponent) {
  uint32_t bytes = 0;
  std::memcpy(&bytes, s, sizeof bytes);
  const int e = ((bytes | 0x20) & 0xFF) == 'e';
  if (length == 4) {
    // A sign and two digits, as "%e" writes them: every byte in its place.
    const uint32_t sign = (bytes >> 8) & 0xFF;
    const int negative = sign == '-';
    const int value =
        static_cast<int>((bytes >> 16) & 0xFF) * 10 + static_cast<int>(bytes >> 24) - 11 * '0';
    exponent = (value ^ -negative) + negative;  // -value when negative
    return e & (((sign - '+') & ~2u) == 0) & ((non_digits & 0xC) == 0);
  }
  const uint32_t after_e = (bytes >> 8) & 0xFF;
  const int negative = after_e == '-';
  const int sign = negative | (after_e == '+');
  const int count = length - 1 - sign;  // its digits
  const uint32_t digit_bytes = bytes >> (8 + 8 * sign);
  const int first = static_cast<int>(digit_bytes & 0xFF) - '0';
  const int second = static_cast<int>((digit_bytes >> 8) & 0xFF) - '0';
  const int two = count == 2;
  const int value = first * (1 + 9 * two) + second * two;
  exponent = (value ^ -negative) + negative;
  const int digits_only = ((non_digits >> (1 + sign)) & ((uint64_t{1} << (count & 3)) - 1)) == 0;
  return e & (static_cast<unsigned>(count - 1) <= 1) & digits_only;
}

// scan_integer() : a decimal integer within 32 bits, as "%d" reads it, that
// fills the length bytes at s; sign is 1 when it starts with a sign, and
// non_digits has bit i set when s[sign + i] is not a digit.
__attribute__((always_inline)) inline bool scan_integer(const char* s, int length, int sign,
                                                        uint64_t non_digits, uint32_t& raw) {
  const bool negative = *s == '-';
  s += sign;
  const int count = length - sign;
  // More than ten digits are refused anyway.
  if (static_cast<unsigned>(count - 1) >= 10 || (non_digits & ((1u << count) - 1)) != 0)
    return false;
  const int first = count < 8 ? count : 8;
  const auto magnitude = static_cast<int64_t>(
      value_of_digits(load_eight(s), first) * POWERS_OF_TEN[count - first] +
      value_of_digits(load_eight(s + 8), count - first));
  const int64_t value = (magnitude ^ -int64_t{negative}) + negative;  // -magnitude when negative
  if (value < INT32_MIN || value > INT32_MAX) return false;
  raw = static_cast<uint32_t>(static_cast<int32_t>(value));
  return true;
}

// Powers of ten as doubles, each correctly rounded (relative error at most
// 2^-53), from 10^MIN_POWER to 10^MAX_POWER: enough for 19 digits of a float
// that is not denormal.
constexpr int MIN_POWER = -60;
constexpr int MAX_POWER = 40;
constexpr double POWERS_OF_TEN_DOUBLE[MAX_POWER - MIN_POWER + 1] = {
    1e-60, 1e-59, 1e-58, 1e-57, 1e-56, 1e-55, 1e-54, 1e-53, 1e-52, 1e-51, 1e-50, 1e-49, 1e-48, 1e-47,
    1e-46, 1e-45, 1e-44, 1e-43, 1e-42, 1e-41,
    1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27,
    1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13,
    1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
    1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,
    1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,
    1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40};

// A float is a double's value rounded to the float nearest to it, so it
// changes only where the double crosses a point halfway between two floats.
// Such a point, for a normal float, is a double whose 29 significand bits
// below the float's (52 - 23) are exactly 1000...0 (FLOAT_HALFWAY).
//
// The fast path computes significand * 10^exponent as one product of two
// doubles, with three roundings, each of relative error at most 2^-53: the
// significand's (none below 2^53, that is up to 15 digits), the power of
// ten's (correctly rounded) and the product's. The computed value v and the
// exact value x therefore differ by at most (1 + 2^-53)^3 - 1, just over
// 3 * 2^-53, of x. A unit in the last place of a double is more than 2^-53
// of its magnitude, so v lies less than four units from x, and the two round
// to the same float unless a halfway point lies within four units of v, that
// is unless v's 29 low bits are within 4 of FLOAT_HALFWAY. (Where v and x
// lie in different binades, the power of two between them is a float, not a
// halfway point.) GUARD is 16, four times that bound.
constexpr uint64_t BELOW_FLOAT_MASK = (uint64_t{1} << 29) - 1;
constexpr uint64_t FLOAT_HALFWAY = uint64_t{1} << 28;
constexpr uint64_t GUARD = 16;

// near_float_halfway() : whether the computed value may round to another
// float than the exact value does.
inline bool near_float_halfway(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & BELOW_FLOAT_MASK) - (FLOAT_HALFWAY - GUARD) <= 2 * GUARD;
}

// exact_value() : significand * 10^exponent when a double holds it exactly,
// and then rounding it to a float is correct even halfway between two floats
// (integers such as 3E+10 are); NaN otherwise.
__attribute__((noinline)) double exact_value(uint64_t significand, int exponent) {
  constexpr int MAX_EXACT_POWER = 22;  // 10^22 is the largest exact double power of ten
  constexpr double NOT_EXACT = std::numeric_limits<double>::quiet_NaN();
  if (exponent < -MAX_EXACT_POWER || exponent > MAX_EXACT_POWER) return NOT_EXACT;
  if (significand >= uint64_t{1} << 53) return NOT_EXACT;  // not a double itself
  const auto whole = static_cast<double>(significand);
  const double power = POWERS_OF_TEN_DOUBLE[(exponent < 0 ? -exponent : exponent) - MIN_POWER];
  // One rounding each; the remainder, computed exactly, says whether it was
  // needed.
  if (exponent >= 0) {
    const double value = whole * power;
    return std::fma(whole, power, -value) == 0.0 ? value : NOT_EXACT;
  }
  const double value = whole / power;
  return std::fma(value, power, -whole) == 0.0 ? value : NOT_EXACT;
}

// What float_bits() and scan_exponent_float() give for a token they leave
// to scan_float_token(): any value above 32 bits.
constexpr uint64_t NOT_TAKEN = uint64_t{1} << 32;

// float_bits() : the bits of the float nearest to value, the computed
// significand * 10^power, which lies between 10^-37 and 10^38 or is zero;
// NOT_TAKEN when only the C library can tell.
__attribute__((always_inline)) inline uint64_t float_bits(uint64_t significand, int power,
                                                          double value) {
  if (near_float_halfway(value)) {
    value = exact_value(significand, power);
    if (std::isnan(value)) return NOT_TAKEN;
  }
  const auto result = static_cast<float>(value);
  uint32_t bits = 0;
  std::memcpy(&bits, &result, sizeof bits);
  return bits;
}

// scan_exponent_float() : the bits of the float significand *
// 10^(power + exponent), the exponent being the length bytes at s (none when
// length is 0), with room the largest exponent that keeps the value below
// 10^38; non_digits has bit i set when s[i] is not a digit. NOT_TAKEN when
// the value is not a normal float far from its limits, or the exponent not
// of one or two digits.
__attribute__((always_inline)) inline uint64_t scan_exponent_float(uint64_t significand, int power,
                                                                   int room, const char* s,
                                                                   int length,
                                                                   uint64_t non_digits) {
  int exponent = 0;
  if (length != 0 && !parse_exponent(s, length, non_digits, exponent)) return NOT_TAKEN;
  // Below 10^38, so no overflow, and a power in the table.
  if (exponent > room || power + exponent < MIN_POWER) return NOT_TAKEN;
  power += exponent;
  const double value = static_cast<double>(significand) * POWERS_OF_TEN_DOUBLE[power - MIN_POWER];
  // No denormal: at least 10^-37, or zero.
  if ((value < 1e-37) & (significand != 0)) return NOT_TAKEN;
  return float_bits(significand, power, value);
}

// scan_float_token() : a float token the short path does not take: more
// digits, a longer exponent, a value near the limits of a float, or a value
// halfway between two floats that no double holds exactly. std::from_chars
// rounds correctly, as the C library does. The sign is taken here (from_chars
// takes no '+'); infinities, NaNs and hexadecimal floats are left to the C
// library, and so is a value that overflows or underflows.
[[maybe_unused]] __attribute__((noinline)) bool scan_float_token(const char* first,
                                                                 const char* last, uint32_t& raw) {
  const bool negative = *first == '-';
  first += (*first == '-') | (*first == '+');
  if (first == last || !(*first == '.' || (*first >= '0' && *first <= '9'))) return false;
  float result = 0.0f;
  const auto [end, error] = std::from_chars(first, last, result, std::chars_format::general);
  if (error != std::errc() || end != last) return false;
  std::memcpy(&raw, &result, sizeof raw);
  raw ^= uint32_t{negative} << 31;  // the sign bit, without a branch
  return true;
}

// A line is looked at 64 bytes at a time, in windows: bit i of a mask stands
// for byte i of the window. Its tokens are the runs of bytes that are
// neither white space nor NUL, before its end: its first newline or NUL, or
// the end of the bytes it has.
constexpr size_t WINDOW = 64;

// The byte classes of a window.
struct Byte_classes {
  uint64_t separators;  // white space or NUL
  uint64_t ends;        // newline or NUL
  uint64_t digits;
  uint64_t points;      // '.'
  uint64_t signs;       // '+' or '-'
};

#ifdef TVQ_SCAN_AVX2

// The bytes compared with, 32 of each.
enum Class_byte { TAB, TAB_TO_CR, SPACE, NEWLINE, ZERO, NINE, POINT, PLUS, MINUS, CLASS_BYTES };
struct Class_byte_table {
  alignas(32) char bytes[CLASS_BYTES][32];
};
constexpr Class_byte_table CLASS_BYTE_TABLE = [] {
  const char values[CLASS_BYTES] = {'\t', '\r' - '\t', ' ', '\n', '0', 9, '.', '+', '-'};
  Class_byte_table table{};
  for (int c = 0; c < CLASS_BYTES; ++c)
    for (char& byte : table.bytes[c]) byte = values[c];
  return table;
}();

__attribute__((always_inline)) inline __m256i class_bytes(Class_byte c) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(CLASS_BYTE_TABLE.bytes[c]));
}

inline Byte_classes classify(const char* bytes) {
  Byte_classes classes{};
  for (size_t i = 0; i < WINDOW; i += 32) {
    const __m256i piece = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const auto equal = [&](Class_byte c) { return _mm256_cmpeq_epi8(piece, class_bytes(c)); };
    // low to low + count, as unsigned bytes
    const auto within = [&](Class_byte low, Class_byte count) {
      const __m256i moved = _mm256_sub_epi8(piece, class_bytes(low));
      return _mm256_cmpeq_epi8(_mm256_min_epu8(moved, class_bytes(count)), moved);
    };
    const auto bits = [](__m256i marks) {
      return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(marks))};
    };
    const __m256i nul = _mm256_cmpeq_epi8(piece, _mm256_setzero_si256());
    classes.separators |=
        bits(_mm256_or_si256(_mm256_or_si256(within(TAB, TAB_TO_CR), equal(SPACE)), nul)) << i;
    classes.ends |= bits(_mm256_or_si256(equal(NEWLINE), nul)) << i;
    classes.digits |= bits(within(ZERO, NINE)) << i;
    classes.points |= bits(equal(POINT)) << i;
    classes.signs |= bits(_mm256_or_si256(equal(PLUS), equal(MINUS))) << i;
  }
  return classes;
}

#else

inline Byte_classes classify(const char* bytes) {
  Byte_classes classes{};
  for (size_t i = 0; i < WINDOW; i += 16) {
    const char* piece = bytes + i;
    classes.separators |= uint64_t{find_separators(piece)} << i;
    classes.ends |= uint64_t{bytes_in_range(piece, '\n', '\n') | bytes_in_range(piece, 0, 0)} << i;
    classes.digits |= uint64_t{bytes_in_range(piece, '0', '9')} << i;
    classes.points |= uint64_t{bytes_in_range(piece, '.', '.')} << i;
    classes.signs |=
        uint64_t{bytes_in_range(piece, '+', '+') | bytes_in_range(piece, '-', '-')} << i;
  }
  return classes;
}

#endif

// The tokens of a line seen through a window.
struct Token_window {
  const char* bytes;
  size_t left;      // bytes of the line from bytes on, to the end of those it has
  uint64_t starts;  // the first byte of each token not taken yet
  uint64_t ends;    // the byte after each of them
  uint64_t non_digits;  // bytes that are not decimal digits, and all past the line's end
  uint64_t points;
  uint64_t signs;
  bool line_ended;  // the line ends in the window
};

// window_of() : the tokens of the line from bytes on, left bytes of it,
// with classes the classes of those bytes.
inline Token_window window_of(const Byte_classes& classes, const char* bytes, size_t left) {
  const uint64_t before_limit = left < WINDOW ? (uint64_t{1} << left) - 1 : ~uint64_t{0};
  const uint64_t in_line = ((classes.ends & (0 - classes.ends)) - 1) & before_limit;
  const uint64_t tokens = ~classes.separators & in_line;
  // Past the line's end no byte is a digit: a number ends there.
  return {bytes,
          left,
          tokens & ~(tokens << 1),
          ~tokens & (tokens << 1),
          ~(classes.digits & in_line),
          classes.points,
          classes.signs,
          classes.ends != 0 || left < WINDOW};
}

inline int lowest_bit(uint64_t mask) { return __builtin_ctzll(mask); }

// next_window() : moves on to the window where the next token ends; false
// when the line has no more tokens, or when one is longer than a window.
__attribute__((noinline)) bool next_window(Token_window& window) {
  while (window.ends == 0) {
    size_t step = WINDOW;
    if (window.starts != 0) {
      // A token runs on past the window: the next window starts with it.
      step = static_cast<size_t>(lowest_bit(window.starts));
      if (step == 0) return false;
    } else if (window.line_ended) {
      return false;
    }
    window = window_of(classify(window.bytes + step), window.bytes + step, window.left - step);
  }
  return true;
}

// scan_float_parts() : the float of the token of length bytes at s, up to
// 19 digits with an exponent of one or two digits, if any, that is a normal
// float far from its limits: nearly every float of a data file, those
// printed for a round trip ("%.16e", 17 digits) included. sign is 1 when it
// starts with a sign; other and points have bit i set when s[sign + i] is
// not a digit, or is a point, and other has it from the token's end on. A
// plain decimal of up to 16 digits, the most common, is read here, any other
// with scan_exponent_float(). false leaves the token to scan_float_token().
__attribute__((always_inline)) inline bool scan_float_parts(const char* s, int sign, int length,
                                                            uint64_t other, uint64_t points,
                                                            uint32_t& raw) {
  const bool negative = *s == '-';
  const char* const mantissa = s + sign;
  const int size = length - sign;  // from the mantissa on
  const int whole = __builtin_ctzll(other);
  const bool point = (points >> whole) & 1;
  const int digits = whole + __builtin_ctzll(other >> (whole + point));
  const int after = digits + point;  // the mantissa's bytes
  if (static_cast<unsigned>(digits - 1) >= MAX_MANTISSA_DIGITS) return false;
  uint64_t significand = 0;
  uint64_t bits = 0;
  if (digits > 16) {
    if (whole == 1) {
      // One digit before the point, as "%e" writes: the 16 after it are
      // read as they lie, and any more after them.
      significand = static_cast<uint64_t>(mantissa[0] - '0') * 10000000000000000u +
                    sixteen_digits(mantissa + 2, 16, false, 16);
      if (digits > 17)
        significand = significand * POWERS_OF_TEN[digits - 17] +
                      eight_digits(mantissa + 18, 8, false, digits - 17);
    } else {
      significand = sixteen_digits(mantissa, whole, point, 16) * POWERS_OF_TEN[digits - 16] +
                    eight_digits(mantissa + 16, whole - 16, point, digits - 16);
    }
    bits = scan_exponent_float(significand, whole - digits, 38 - whole, mantissa + after,
                               size - after, other >> after);
  } else {
    significand = sixteen_digits(mantissa, whole, point, digits);
    if (after != size) {
      bits = scan_exponent_float(significand, whole - 16, 38 - whole, mantissa + after,
                                 size - after, other >> after);
    } else {
      // At most 16 digits and no exponent: 10^-16 <= value < 10^16, or zero.
      const int power = whole - 16;
      bits = float_bits(significand, power,
                        static_cast<double>(significand) * POWERS_OF_TEN_DOUBLE[power - MIN_POWER]);
    }
  }
  if (bits == NOT_TAKEN) return false;
  raw = static_cast<uint32_t>(bits) ^ (uint32_t{negative} << 31);
  return true;
}

// scan_token() : the token of a window from start to end as a number of the
// line format's kind, its sign, digits and point read from the window's
// masks, so that reading the digits waits for no byte. true when it is plain
// and the whole token, so that the C library would read the same number and
// end at the same place.
template <char KIND>
__attribute__((always_inline)) inline bool scan_token(const Token_window& window, int start,
                                                      int end, uint32_t& raw) {
  const int sign = static_cast<int>((window.signs >> start) & 1);
  const int at = start + sign;
  const uint64_t other = window.non_digits >> at;
  if constexpr (KIND == 'd') {
    return scan_integer(window.bytes + start, end - start, sign, other, raw);
  } else {
    // The token within the 64 bits of the masks from at.
    return (end - at <= 40 &&
            scan_float_parts(window.bytes + start, sign, end - start, other,
                             window.points >> at, raw)) ||
           scan_float_token(window.bytes + start, window.bytes + end, raw);
  }
}

// scan_window() : the format's numbers from the one at FIRST on when the
// window holds all their tokens, found first, without a branch, and then
// read each on its own, so that they are read side by side. false when the
// window holds fewer tokens, or a token is not a plain number. last is set
// to the end of the last token.
template <size_t FIRST, size_t... I>
__attribute__((always_inline)) inline bool scan_window(const Token_window& window, uint32_t* raw,
                                                       const char*& last,
                                                       std::index_sequence<I...>) {
  constexpr size_t COUNT = sizeof...(I);
  uint64_t starts[COUNT];
  uint64_t ends[COUNT];
  uint64_t next_start = window.starts;
  uint64_t next_end = window.ends;
  ((starts[I] = next_start, ends[I] = next_end, next_start &= next_start - 1,
    next_end &= next_end - 1),
   ...);
  if (ends[COUNT - 1] == 0) return false;
  last = window.bytes + lowest_bit(ends[COUNT - 1]);
  return (scan_token<LINE_LAYOUT.kinds[FIRST + I]>(window, lowest_bit(starts[I]),
                                                   lowest_bit(ends[I]), raw[FIRST + I]) &&
          ...);
}

// scan_after_first() : the format's numbers when the first token lies in
// the window first and the others in rest, a window from the second token
// on: a line a little longer than a window.
template <size_t COUNT = NUMBER_OF_DATA>
inline bool scan_after_first(const Token_window& first, const Token_window& rest, uint32_t* raw,
                             const char*& last) {
  if constexpr (COUNT == 1) {
    return false;
  } else {
    return scan_token<LINE_LAYOUT.kinds[0]>(first, lowest_bit(first.starts),
                                            lowest_bit(first.ends), raw[0]) &&
           scan_window<1>(rest, raw, last, std::make_index_sequence<COUNT - 1>());
  }
}

__extension__ typedef unsigned __int128 Wide_mask;

inline int lowest_bit(Wide_mask mask) {
  const auto low = static_cast<uint64_t>(mask);
  return low != 0 ? lowest_bit(low) : 64 + lowest_bit(static_cast<uint64_t>(mask >> 64));
}

// scan_here() : the token of length bytes at s as a number of the line
// format's kind, as scan_token() reads it, its sign, digits and point found
// among its own first 32 bytes.
template <char KIND>
__attribute__((always_inline)) inline bool scan_here(const char* s, int length, uint32_t& raw) {
  const int sign = (*s == '-') | (*s == '+');
  const uint64_t digits =
      bytes_in_range(s, '0', '9') | uint64_t{bytes_in_range(s + 16, '0', '9')} << 16;
  // Past the token no byte counts as a digit.
  const uint64_t other = (~digits | ~uint64_t{0} << (length < 32 ? length : 32)) >> sign;
  if constexpr (KIND == 'd') {
    return scan_integer(s, length, sign, other, raw);
  } else {
    const uint64_t points =
        bytes_in_range(s, '.', '.') | uint64_t{bytes_in_range(s + 16, '.', '.')} << 16;
    return (length <= 32 && scan_float_parts(s, sign, length, other, points >> sign, raw)) ||
           scan_float_token(s, s + length, raw);
  }
}

// scan_two_windows() : the format's numbers when the first two windows hold
// all their tokens, found as scan_window() finds them in one; each number is
// read from its own bytes. false when they hold fewer, or a token is not a
// plain number.
template <size_t... I>
__attribute__((always_inline)) inline bool scan_two_windows(const Byte_classes& first,
                                                            const char* line, size_t limit,
                                                            uint32_t* raw, const char*& last,
                                                            std::index_sequence<I...>) {
  constexpr size_t COUNT = sizeof...(I);
  const Byte_classes second = classify(line + WINDOW);
  const Wide_mask separators = first.separators | Wide_mask{second.separators} << WINDOW;
  const Wide_mask ends = first.ends | Wide_mask{second.ends} << WINDOW;
  const Wide_mask before_limit = limit < 2 * WINDOW ? (Wide_mask{1} << limit) - 1 : ~Wide_mask{0};
  const Wide_mask tokens = ~separators & ((ends & (0 - ends)) - 1) & before_limit;
  Wide_mask starts[COUNT];
  Wide_mask token_ends[COUNT];
  Wide_mask next_start = tokens & ~(tokens << 1);
  Wide_mask next_end = ~tokens & (tokens << 1);
  ((starts[I] = next_start, token_ends[I] = next_end, next_start &= next_start - 1,
    next_end &= next_end - 1),
   ...);
  if (token_ends[COUNT - 1] == 0) return false;
  last = line + lowest_bit(token_ends[COUNT - 1]);
  return (scan_here<LINE_LAYOUT.kinds[I]>(line + lowest_bit(starts[I]),
                                          lowest_bit(token_ends[I]) - lowest_bit(starts[I]),
                                          raw[I]) &&
          ...);
}

// scan_token_by_token() : the format's numbers window after window, each
// window starting where a token runs on past the last one: for lines whose
// tokens lie wider apart.
template <size_t I = 0>
bool scan_token_by_token(Token_window window, uint32_t* raw, const char*& last) {
  if constexpr (I == static_cast<size_t>(NUMBER_OF_DATA)) {
    return true;
  } else {
    if (window.ends == 0 && !next_window(window)) return false;
    const int start = lowest_bit(window.starts);
    const int end = lowest_bit(window.ends);
    window.starts &= window.starts - 1;
    window.ends &= window.ends - 1;
    last = window.bytes + end;
    return scan_token<LINE_LAYOUT.kinds[I]>(window, start, end, raw[I]) &&
           scan_token_by_token<I + 1>(window, raw, last);
  }
}

// scan_long_line() : a line whose first window, of classes first, does not
// hold all its numbers. One a little longer, which that window holds all but
// one or two of, fits a window from its second token on; longer ones, of
// long numbers, mostly fit two windows; any other is read window after
// window.
__attribute__((noinline)) bool scan_long_line(const Byte_classes& first,
                                              const Token_window& window, const char* line,
                                              size_t limit, uint32_t* raw, const char*& last) {
  if constexpr (NUMBER_OF_DATA > 1) {
    uint64_t ends = window.ends;
    for (int k = 0; k < NUMBER_OF_DATA - 3; ++k) ends &= ends - 1;
    const uint64_t second_start = window.starts & (window.starts - 1);
    if (ends != 0) {
      if (second_start != 0) {
        const char* at = window.bytes + lowest_bit(second_start);
        const Token_window rest = window_of(classify(at), at, limit - static_cast<size_t>(at - line));
        if (scan_after_first(window, rest, raw, last)) return true;
      }
    } else if (limit > WINDOW && scan_two_windows(first, line, limit, raw, last,
                                                  std::make_index_sequence<NUMBER_OF_DATA>())) {
      return true;
    }
  }
  return scan_token_by_token(window, raw, last);
}

// scan_line() : the format's numbers when the line, which ends at its first
// newline or NUL or after limit bytes, has them all plain; last is set to
// the end of the last token.
__attribute__((always_inline)) inline bool scan_line(const char* line, size_t limit,
                                                     uint32_t* raw, const char*& last) {
  const Byte_classes classes = classify(line);
  const Token_window window = window_of(classes, line, limit);
  if (!window.line_ended) return scan_long_line(classes, window, line, limit, raw, last);
  return scan_window<0>(window, raw, last, std::make_index_sequence<NUMBER_OF_DATA>());
}

// leave_vectors() : the AVX2 build leaves the upper halves of the vector
// registers clear, so that the code around it, built without AVX, does not
// pay for them.
inline void leave_vectors() {
#ifdef TVQ_SCAN_AVX2
  _mm256_zeroupper();
#endif
}

}  // namespace

// The entries of line_scan.h, for this build.

bool scan_plain_line(const char* line, size_t limit, uint32_t* raw) {
  const char* last = nullptr;
  const bool plain = scan_line(line, limit, raw, last);
  leave_vectors();
  return plain;
}

bool scan_line_in_place(const char* text, size_t limit, uint32_t* raw, size_t& length) {
  const char* end = nullptr;
  const bool plain = scan_line(text, limit, raw, end);
  leave_vectors();
  if (!plain) return false;
  // What follows the last number up to the newline is not read: most lines
  // end right after it, with or without a carriage return.
  const auto left = static_cast<size_t>(text + limit - end);
  const char* newline = end + (left > 1 && end[0] == '\r');
  if (left == 0 || *newline != '\n') {
    newline = static_cast<const char*>(std::memchr(end, '\n', left));
    if (newline == nullptr) return false;
  }
  length = static_cast<size_t>(newline - text) + 1;
  return true;
}
