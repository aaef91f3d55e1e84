// The C library's scan of a line with the whole line format, the oracle of
// the differential tests and the fuzz harnesses: its count, its values, and
// the first integer it reaches outside 32 bits ("%d" has no defined result
// beyond them, so such a line is a bad line; the token as written is in the
// message).
#ifndef TVQ_SCAN_REFERENCE_H
#define TVQ_SCAN_REFERENCE_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "user_settings.h"

namespace scan_reference {

// Destinations of a whole-format scan: conversion i stores into d[i] or f[i].
struct Destinations {
  int d[MAX_CONVERSIONS];
  float f[MAX_CONVERSIONS];
};

// sscanf with the whole line format, one row per layout the program may be
// built with; each call's destinations match its format.
#define LAYOUT_ROW(FORMAT, ...) \
  {FORMAT, [](const char* line, Destinations& v) { return std::sscanf(line, FORMAT, __VA_ARGS__); }}
const struct {
  const char* format;
  int (*scan)(const char* line, Destinations& v);
} LAYOUT_ROWS[] = {
    LAYOUT_ROW("%d %f %f %f %f %f", &v.d[0], &v.f[1], &v.f[2], &v.f[3], &v.f[4], &v.f[5]),
    LAYOUT_ROW("%d %d %f %f %f %f %f %f %f", &v.d[0], &v.d[1], &v.f[2], &v.f[3], &v.f[4],
               &v.f[5], &v.f[6], &v.f[7], &v.f[8]),
    LAYOUT_ROW("%d %d %d %d %d %d %d %d %d %d", &v.d[0], &v.d[1], &v.d[2], &v.d[3], &v.d[4],
               &v.d[5], &v.d[6], &v.d[7], &v.d[8], &v.d[9]),
};
#undef LAYOUT_ROW

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

struct Scan {
  int count;                       // sscanf's result
  uint32_t raw[MAX_CONVERSIONS];   // integers' values, floats' bit patterns
  std::string refused_integer;     // the first integer reached outside 32 bits, or ""
};

// false when no row holds the line format the program is built with.
inline bool scan_whole_format(const char* line, Scan& scan) {
  for (const auto& row : LAYOUT_ROWS) {
    if (std::strcmp(row.format, USER_LINE_FORMAT) != 0) continue;
    Destinations v{};
    scan.count = row.scan(line, v);
    for (int i = 0; i < NUMBER_OF_DATA; ++i) {
      if (LINE_LAYOUT.kinds[i] == 'd') scan.raw[i] = static_cast<uint32_t>(v.d[i]);
      else std::memcpy(&scan.raw[i], &v.f[i], sizeof scan.raw[i]);
    }
    scan.refused_integer = refused_integer(line, scan.count);
    return true;
  }
  return false;
}

// The WORDS_PER_LINE data words of a scan of all values; false when a value
// does not fit in its word (DATA_SIZE 2).
inline bool data_words(const Scan& scan, uint16_t* words) {
  for (int i = 0; i < NUMBER_OF_DATA; ++i) {
    const uint32_t value = scan.raw[i];
    if (DATA_SIZE == 4) {
      words[2 * i] = static_cast<uint16_t>(value & 0xFFFFu);
      words[2 * i + 1] = static_cast<uint16_t>(value >> 16);
    } else if (static_cast<int32_t>(value) >= INT16_MIN && static_cast<int32_t>(value) <= INT16_MAX) {
      words[i] = static_cast<uint16_t>(value);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace scan_reference

#endif
