// USER_SSCANF against the C library: for any line, the count and the bits of
// every converted value must be those of std::sscanf with the same format.
// The integer is compared only when its token lies within 32 bits (the C
// library's "%d" has no defined result beyond them).
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "user_settings.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool integer_token_fits(const char* line) {
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = size < static_cast<size_t>(MAX_ONE_LINE_LEN) - 1
                            ? size
                            : static_cast<size_t>(MAX_ONE_LINE_LEN) - 1;
  // Exactly as long as the line, so that a read past its terminator is seen.
  std::unique_ptr<char[]> line(new char[length + 1]);
  if (length > 0) std::memcpy(line.get(), data, length);
  line[length] = '\0';

  // Exactly the slots the line format fills.
  std::unique_ptr<uint32_t[]> raw(new uint32_t[NUMBER_OF_DATA]);
  for (int i = 0; i < NUMBER_OF_DATA; ++i) raw[i] = 0xA5A5A5A5u;
  int32_t count = -2;
  const int status = USER_SSCANF(count, line.get(), raw.get());
  const bool fits = integer_token_fits(line.get());
  // A line whose integer lies outside 32 bits is a bad line: the scan may
  // refuse it outright. Every other line must be scanned.
  if (status != OK) {
    if (status != ERROR || fits) fuzz::fail("USER_SSCANF refused a line whose integer fits");
    return 0;
  }

  int integer = 0;
  float values[5] = {};
  const int expected = std::sscanf(line.get(), "%d %f %f %f %f %f", &integer, &values[0],
                                   &values[1], &values[2], &values[3], &values[4]);
  if (count != expected) fuzz::fail("count differs from std::sscanf");
  if (count >= 1 && fits && raw[0] != static_cast<uint32_t>(integer))
    fuzz::fail("integer differs from std::sscanf");
  for (int i = 1; i < count; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &values[i - 1], sizeof bits);
    if (raw[i] != bits) fuzz::fail("float bits differ from std::sscanf");
  }
  return 0;
}
