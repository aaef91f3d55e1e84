// The integers the C library's scan with the whole line format reaches, for
// the differential tests and the fuzz harnesses: "%d" has no defined result
// beyond 32 bits, so such a line is a bad line, and the tests need the token
// as written to know the message.
#ifndef TVQ_SCAN_REFERENCE_H
#define TVQ_SCAN_REFERENCE_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "user_settings.h"

namespace scan_reference {

// Where sscanf with the line format stops after its first n conversions, or
// -1: the format cut after them, each assignment suppressed, then "%n".
inline int end_of_conversions(const char* line, int n) {
  std::string format;
  int seen = 0;
  for (const char* p = USER_LINE_FORMAT; *p != '\0' && seen < n; ++p) {
    format += *p;
    if (*p == '%') {
      format += '*';
      format += *++p;
      ++seen;
    }
  }
  format += "%n";
  int end = -1;
  std::sscanf(line, format.c_str(), &end);
  return end;
}

// The first of the count converted values that is an integer outside 32 bits,
// as written (sign and digits), or "" when there is none.
inline std::string refused_integer(const char* line, int count) {
  for (int i = 0; i < count && i < NUMBER_OF_DATA; ++i) {
    if (LINE_LAYOUT.kinds[i] != 'd') continue;
    const int start = i == 0 ? 0 : end_of_conversions(line, i);
    const int end = end_of_conversions(line, i + 1);
    std::string token(line + start, static_cast<size_t>(end - start));
    token.erase(0, token.find_first_not_of(" \t\n\v\f\r"));
    errno = 0;
    const long long value = std::strtoll(token.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return token;
  }
  return "";
}

}  // namespace scan_reference

#endif
