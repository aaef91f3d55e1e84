// The scan of a data line. What it must give is defined by the C library:
// sscanf(line, USER_LINE_FORMAT, ...) in the "C" locale, value for value,
// with its count of values converted (-1 when the line ends before the
// first). scan_with_c_library() below is that definition, used as it stands
// for every line the fast path does not take.
//
// The fast path (line_scan_fast.h) takes the plain lines, nearly all of
// them; a differential test holds the two paths to the same values.
#include "line_scan.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "byte_masks.h"
#include "messages.h"
#include "tvq_constants.h"
#include "user_settings.h"

namespace {

// ------------------------------------------------ the definition: sscanf

// scan_with_c_library() : the line format one conversion at a time, each
// with the white space the format puts before it and a "%n" that carries the
// position on, so that every call's argument list matches its format. The
// count is the one sscanf with the whole format gives.
int scan_with_c_library(int32_t& count, const char* line, uint32_t* raw) {
  static const char* const PIECES[2][2] = {{"%d%n", " %d%n"}, {"%f%n", " %f%n"}};
  const char* p = line;
  for (int i = 0; i < NUMBER_OF_DATA; ++i) {
    const bool integer = LINE_LAYOUT.kinds[i] == 'd';
    const char* piece = PIECES[integer ? 0 : 1][LINE_LAYOUT.space_before[i] ? 1 : 0];
    int consumed = 0;
    int scanned = 0;
    if (integer) {
      if (check_integer_fits(p) == ERROR) {
        count = 0;
        return ERROR;
      }
      int value = 0;
      scanned = std::sscanf(p, piece, &value, &consumed);
      raw[i] = static_cast<uint32_t>(value);
    } else {
      float value = 0.0f;
      scanned = std::sscanf(p, piece, &value, &consumed);
      std::memcpy(&raw[i], &value, sizeof value);
    }
    if (scanned != 1) {
      // EOF: the line ended before this conversion, which is the whole
      // scan's result only when nothing was converted before it.
      count = scanned == EOF && i == 0 ? -1 : i;
      return OK;
    }
    p += consumed;
  }
  count = NUMBER_OF_DATA;
  return OK;
}

}  // namespace

namespace line_scan_baseline {
#include "line_scan_fast.h"
}  // namespace line_scan_baseline

#if TVQ_SCAN_HAS_AVX2
namespace line_scan_avx2 {
bool scan_plain_line(const char* line, size_t limit, uint32_t* raw);
bool scan_line_in_place(const char* text, size_t limit, uint32_t* raw, size_t& length);
}  // namespace line_scan_avx2
#endif

namespace {

// avx2_runs() : what line_scan_avx2.cpp is built for.
inline bool avx2_runs() {
#if TVQ_SCAN_HAS_AVX2
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

}  // namespace

bool scan_build_runs(Scan_build build) { return build == Scan_build::BASELINE || avx2_runs(); }

bool scan_plain_line(Scan_build build, const char* line, size_t limit, uint32_t* raw) {
#if TVQ_SCAN_HAS_AVX2
  if (build == Scan_build::AVX2) return line_scan_avx2::scan_plain_line(line, limit, raw);
#endif
  static_cast<void>(build);
  return line_scan_baseline::scan_plain_line(line, limit, raw);
}

bool scan_line_in_place(Scan_build build, const char* text, size_t limit, uint32_t* raw,
                        size_t& length) {
#if TVQ_SCAN_HAS_AVX2
  if (build == Scan_build::AVX2) return line_scan_avx2::scan_line_in_place(text, limit, raw, length);
#endif
  static_cast<void>(build);
  return line_scan_baseline::scan_line_in_place(text, limit, raw, length);
}

bool scan_plain_line(const char* line, size_t limit, uint32_t* raw) {
  return scan_plain_line(avx2_runs() ? Scan_build::AVX2 : Scan_build::BASELINE, line, limit, raw);
}

bool scan_line_in_place(const char* text, size_t limit, uint32_t* raw, size_t& length) {
  return scan_line_in_place(avx2_runs() ? Scan_build::AVX2 : Scan_build::BASELINE, text, limit,
                            raw, length);
}

int USER_SSCANF(int32_t& count, const char* line, uint32_t* raw) {
  // Plain decimal lines, nearly all of them, need no C library.
  if (scan_plain_line(line, SIZE_MAX, raw)) {
    count = NUMBER_OF_DATA;
    return OK;
  }
  return scan_with_c_library(count, line, raw);
}

int check_integer_fits(const char* text) {
  const char* p = text;
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
  say("integer %.*s does not fit in 32 bits\n", static_cast<int>(p - token), token);
  return ERROR;
}
