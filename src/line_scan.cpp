#include "line_scan.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "tvq_constants.h"

namespace {

// Lines up to this length are scanned from a padded copy, so that digits can
// be read eight at a time; longer ones go to the C library.
constexpr size_t MAX_FAST_LINE = 120;
constexpr size_t PADDING = 16;

constexpr uint64_t POWERS_OF_TEN[] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000};

// parse_digits() : reads a run of decimal digits eight at a time and returns
// its length; value gets the digits appended. s needs eight readable bytes
// past the run. Beyond 19 digits the value wraps; callers check the count.
inline int parse_digits(const char*& s, uint64_t& value) {
  int count = 0;
  for (;;) {
    uint64_t chunk = 0;
    std::memcpy(&chunk, s, sizeof chunk);
    // A byte is a digit when its high nibble is 3 both before and after adding 6.
    const uint64_t high = chunk & 0xF0F0F0F0F0F0F0F0u;
    const uint64_t adjusted = (chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u;
    const uint64_t other = (high ^ 0x3030303030303030u) | (adjusted ^ 0x3030303030303030u);
    const int n = other != 0 ? __builtin_ctzll(other) / 8 : 8;
    if (n > 0) {
      // The run's digits, moved to the top so that the low bytes act as leading zeros.
      uint64_t d = (chunk - 0x3030303030303030u) << (8 * (8 - n));
      d = d * 10 + (d >> 8);
      d = (((d & 0x000000FF000000FFu) * (100 + (1000000ULL << 32))) +
           (((d >> 16) & 0x000000FF000000FFu) * (1 + (10000ULL << 32)))) >>
          32;
      value = value * POWERS_OF_TEN[n] + d;
      count += n;
      s += n;
    }
    if (n < 8) return count;
  }
}

// A signed decimal integer within 32 bits, as "%d" reads it.
bool scan_integer(const char*& p, uint32_t& raw) {
  const char* s = p;
  const bool negative = *s == '-';
  s += (*s == '-') | (*s == '+');
  uint64_t magnitude = 0;
  const int count = parse_digits(s, magnitude);
  if (count == 0 || count > 10) return false;
  const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return false;
  raw = static_cast<uint32_t>(static_cast<int32_t>(value));
  p = s;
  return true;
}

constexpr float EXACT_POWERS_OF_TEN[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                         1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr int MAX_EXACT_POWER = 10;
constexpr uint64_t MAX_EXACT_SIGNIFICAND = uint64_t{1} << 24;  // every integer up to it is a float
constexpr int MAX_DIGITS = 19;                                 // fit in 64 bits
constexpr int MAX_EXPONENT_DIGITS = 4;

// A decimal float: [sign] digits [. digits] [(e|E) [sign] digits], at least one
// digit before the exponent. Correctly rounded like the C library's strtof.
bool scan_float(const char*& p, uint32_t& raw) {
  const char* s = p;
  const bool negative = *s == '-';
  s += (*s == '-') | (*s == '+');
  const char* number = s;

  uint64_t significand = 0;
  int digits = parse_digits(s, significand);
  int exponent = 0;
  if (*s == '.') {
    ++s;
    const int fraction = parse_digits(s, significand);
    digits += fraction;
    exponent = -fraction;
  }
  if (digits == 0) return false;
  if ((*s | 0x20) == 'e') {
    const char* e = s + 1;
    const bool negative_exponent = *e == '-';
    e += (*e == '-') | (*e == '+');
    uint64_t value = 0;
    const int count = parse_digits(e, value);
    // "1e" without digits is taken apart by the C library its own way.
    if (count == 0 || count > MAX_EXPONENT_DIGITS) return false;
    exponent += negative_exponent ? -static_cast<int>(value) : static_cast<int>(value);
    s = e;
  }
  const char* end = s;

  float result = 0.0f;
  if (digits <= MAX_DIGITS && significand <= MAX_EXACT_SIGNIFICAND &&
      exponent >= -MAX_EXACT_POWER && exponent <= MAX_EXACT_POWER) {
    // Both operands are exact floats, so the one rounding of the product or
    // quotient gives the correctly rounded value.
    const auto exact = static_cast<float>(significand);
    result = exponent >= 0 ? exact * EXACT_POWERS_OF_TEN[exponent]
                           : exact / EXACT_POWERS_OF_TEN[-exponent];
  } else {
    float parsed = 0.0f;
    const auto [last, error] = std::from_chars(number, end, parsed, std::chars_format::general);
    if (error != std::errc() || last != end) return false;  // overflow, underflow: C library
    result = parsed;
  }
  if (negative) result = -result;
  std::memcpy(&raw, &result, sizeof raw);
  p = end;
  return true;
}

}  // namespace

bool scan_plain_line(const char* line, int integers, int floats, uint32_t* raw) {
  const size_t length = strnlen(line, MAX_FAST_LINE + 1);
  if (length > MAX_FAST_LINE) return false;
  char padded[MAX_FAST_LINE + 1 + PADDING] = {};
  std::memcpy(padded, line, length);

  const char* p = padded;
  const int values = integers + floats;
  for (int i = 0; i < values; ++i) {
    while (is_c_space(*p)) ++p;
    const bool scanned = i < integers ? scan_integer(p, raw[i]) : scan_float(p, raw[i]);
    if (!scanned) return false;
    // A number that does not end at white space may continue in ways only the
    // C library knows; the last one may also end the line.
    if (!is_c_space(*p) && !(i == values - 1 && *p == '\0')) return false;
  }
  return true;
}

int check_integer_fits(const char* line) {
  const char* p = line;
  while (is_c_space(*p)) ++p;
  const char* token = p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const char* digits = p;
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  uint64_t value = 0;
  bool too_large = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > limit) {
      too_large = true;
      value = limit + 1;  // saturate: the further digits only lengthen the message
    }
  }
  if (p == digits || !too_large) return OK;
  std::printf("integer %.*s does not fit in 32 bits\n", static_cast<int>(p - token), token);
  return ERROR;
}
